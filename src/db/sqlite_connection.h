// The embedded engine: one SQLite database file, for the demo and single-station
// installations. Durable: write-ahead log with a full sync at every commit, so a
// committed receipt survives a power loss.
#pragma once

#include <memory>
#include <string>

#include "db/connection.h"

namespace tolven::db {

// Opens the database file (UTF-8 conversion of the name inside). With create
// false a missing file is an error, never an empty new database.
std::unique_ptr<Connection> OpenSqlite(const std::string& path, bool create, DbError& err);

// Runs a script of several statements (the schema).
bool ExecuteSqliteScript(Connection& connection, const std::string& script, DbError& err);

}  // namespace tolven::db
