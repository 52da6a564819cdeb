// The schema scripts, built into the program so that --init-db needs no files.
#pragma once

#include <string>

namespace tolven::db {

// "sqlite", "mssql", "postgresql"; "" for an engine without a script.
std::string SchemaScript(const std::string& engine);

}  // namespace tolven::db
