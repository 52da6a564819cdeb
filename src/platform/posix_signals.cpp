#include <signal.h>

#include <atomic>

#include "platform/signals.h"

namespace tolven::platform {

namespace {
std::atomic<bool> g_stop{false};  // set from a signal handler, so it cannot live in an object

extern "C" void OnStopSignal(int) { g_stop.store(true); }
}  // namespace

void InstallStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a printer or socket going away must not kill the gateway
}

bool StopRequested() { return g_stop.load(); }
void RequestStop() { g_stop.store(true); }
void ResetStop() { g_stop.store(false); }

}  // namespace tolven::platform
