// From start-up to the end of the process: builds every module on the one
// connection and runs the main window until a stop is requested.
#pragma once

#include "fiscal/modTSE.h"
#include "platform/env.h"
#include "platform/ui.h"
#include "startup/module_start.h"

namespace tolven {

// Returns the exit status.
int RunGateway(ModuleStart& start, platform::Env& env, platform::Ui& ui);

// Texts of the receipt QR code: TOLVEN.INI section "TSE", keys KASSENID (default
// "TOLVENPDA-" + station), SIGALGORITHMUS (default ecdsa-plain-SHA384), PUBLICKEY.
fiscal::TseIdentity ReadTseIdentity(const platform::IniFile& ini, const StartupState& state);

}  // namespace tolven
