// --init-db: creates every table of the schema in the configured, empty database.
#pragma once

#include "startup/startup.h"

namespace tolven {

// Refuses, changing nothing, when the database already holds tables.
int InitDatabase(Startup& start, platform::Ui& ui);

}  // namespace tolven
