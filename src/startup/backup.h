// `tolvenpda --backup FILE`: a copy of the SQLite database taken while the
// gateway runs, checked before it is put in place.
#pragma once

#include <string>

#include "platform/env.h"
#include "platform/ui.h"
#include "startup/startup.h"

namespace tolven {

// Writes the copy under a temporary name beside `target`, checks it
// (integrity_check) and renames it into place, so `target` is either the
// previous backup or a whole new one. kExitOk, kExitBackupFailed, or
// kExitUsage for a configuration without the embedded engine (a server keeps
// its own backups).
int BackupDatabase(Startup& start, platform::Env& env, platform::Ui& ui, const std::string& target);

}  // namespace tolven
