// From start-up to the end of the process: builds every module on the one
// connection and runs the poll loop until a stop is requested.
#pragma once

#include "fiscal/tse.h"
#include "platform/env.h"
#include "platform/ui.h"
#include "startup/startup.h"
#include "status/service.h"

namespace tolven {

// Returns the exit status. Message boxes after the start-up also become alerts
// of the status page.
int RunGateway(Startup& start, platform::Env& env, platform::Ui& consoleUi);

// Texts of the receipt QR code: section TSE of TOLVEN.INI (see ini_settings.h).
fiscal::TseIdentity ReadTseIdentity(const platform::IniFile& ini, const StartupState& state);

// The status page: section STATUS of TOLVEN.INI.
status::StatusConfig ReadStatusConfig(const platform::IniFile& ini);

}  // namespace tolven
