// Stopping the gateway on Windows: Ctrl-C and Ctrl-Break ask the loop to end
// after its pass. Closing the console window, logging off and shutting down
// do the same, but the system ends the process as soon as the handler
// returns, so the handler waits (bounded, within the system's limit) until
// the program says it has finished.
#include <atomic>

#include "platform/signals.h"
#include "platform/system_service.h"
#include "platform/win32/system.h"

namespace tolven::platform {

namespace {

// The system allows about five seconds after a close, log-off or shutdown.
constexpr DWORD kFinishWaitMs = 4000;

std::atomic<bool> g_stop{false};  // set from the handler's thread, so it cannot live in an object
HANDLE g_finished = nullptr;      // signalled by StopFinished

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: g_stop.store(true); return TRUE;
    case CTRL_LOGOFF_EVENT:
      // A service hears every user's log-off; it is not meant for it.
      if (RunningAsService()) return TRUE;
      [[fallthrough]];
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stop.store(true);
      // The service manager gives a service its own time to stop.
      if (!RunningAsService() && g_finished) WaitForSingleObject(g_finished, kFinishWaitMs);
      return TRUE;
    default: return FALSE;
  }
}

}  // namespace

void InstallStopHandlers() {
  if (g_finished) return;
  g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

bool StopRequested() { return g_stop.load(); }
void RequestStop() { g_stop.store(true); }
void ResetStop() { g_stop.store(false); }

void StopFinished() {
  if (g_finished) SetEvent(g_finished);
}

}  // namespace tolven::platform
