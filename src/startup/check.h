// `tolvenpda --check`: the installation looked over without changing anything
// (no INI write-back, no database write that is kept, no folder made). One line
// per item, "OK" or "FEHLER" with the problem.
#pragma once

#include "platform/printer_system.h"
#include "platform/ui.h"
#include "startup/startup.h"

namespace tolven {

// kExitOk when every item is in order, otherwise kExitCheckFailed. The lines
// go to ui.LogLine.
int CheckInstallation(Startup& start, platform::Env& env, platform::Ui& ui, platform::PrinterSystem& spooler);

}  // namespace tolven
