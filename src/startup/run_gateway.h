// From start-up to the end of the process.
#pragma once

#include "platform/env.h"
#include "platform/ui.h"
#include "startup/module_start.h"

namespace tolven {

// Runs the start-up, then the gateway until a stop is requested. Returns the exit status.
int RunGateway(ModuleStart& start, platform::Env& env, platform::Ui& ui);

}  // namespace tolven
