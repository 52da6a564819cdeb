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
// The program has finished its work after a stop: on Windows a console that
// is being closed (or a log-off or shutdown) waits for this before the system
// ends the process. Nothing on POSIX, where a signal ends nothing by itself.
void StopFinished();

}  // namespace tolven::platform
