// --init-db: creates every table of the schema in the configured, empty database.
#pragma once

#include "startup/module_start.h"

namespace tolven {

// Refuses, changing nothing, when the database already holds tables.
int InitDatabase(ModuleStart& start, platform::Ui& ui);

}  // namespace tolven
