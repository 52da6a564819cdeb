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
  // Every signal that would end the process by default ends it after the pass
  // instead, so a settlement is never cut between its commit and its signature.
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaction(sig, &sa, nullptr);
  // The gateway runs unattended: closing the shell that started it or a
  // log-rotation hook's SIGHUP must not stop the terminals; a printer or socket
  // going away must not kill it either, nor any other signal whose default is
  // to end the process (a file that grows too large fails its write instead).
  for (int sig :
       {SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGXFSZ, SIGXCPU, SIGSTKFLT}) {
    signal(sig, SIG_IGN);
  }
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) signal(sig, SIG_IGN);
}

bool StopRequested() { return g_stop.load(); }
void RequestStop() { g_stop.store(true); }
void ResetStop() { g_stop.store(false); }
void StopFinished() {}

}  // namespace tolven::platform
