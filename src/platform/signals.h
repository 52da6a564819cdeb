// Closing the main window: SIGINT and SIGTERM ask the loop to end after its pass.
#pragma once

namespace tolven::platform {

// Installs the handlers once; StopRequested() turns true on the first signal.
void InstallStopHandlers();
bool StopRequested();
// For tests and for a stop requested from inside the program.
void RequestStop();
void ResetStop();

}  // namespace tolven::platform
