// Stopping the gateway: SIGINT, SIGTERM (and SIGQUIT) ask the loop to take no
// new file and to end once the jobs under way are done; SIGHUP and every other
// signal that would end the process by default is ignored. Only SIGKILL ends
// the gateway in the middle of its work.
#pragma once

namespace tolven::platform {

// Installs the handlers once; StopRequested() turns true on the first signal.
void InstallStopHandlers();
bool StopRequested();
// For tests and for a stop requested from inside the program.
void RequestStop();
void ResetStop();

}  // namespace tolven::platform
