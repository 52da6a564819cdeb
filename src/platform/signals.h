// Stopping the gateway: SIGINT, SIGTERM (and SIGQUIT) ask the loop to end
// after its pass; SIGHUP and every other signal that would end the process by
// default is ignored. Only SIGKILL ends the gateway in the middle of a pass.
#pragma once

namespace tolven::platform {

// Installs the handlers once; StopRequested() turns true on the first signal.
void InstallStopHandlers();
bool StopRequested();
// For tests and for a stop requested from inside the program.
void RequestStop();
void ResetStop();

}  // namespace tolven::platform
