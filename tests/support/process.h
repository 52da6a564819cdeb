// Running the real binaries in end-to-end tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tolven::testing {

class ChildProcess {
 public:
  // Starts the program with extra environment variables; standard output and
  // error go to `outputFile`.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outputFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int sig);
  pid_t pid() const { return pid_; }  // for the benchmark's process figures
  // Waits up to timeoutMs for the end; returns the exit status, -1 on time-out, 128+n for a signal.
  int Wait(int timeoutMs);
  // SIGTERM, then SIGKILL when it has not ended within timeoutMs; the exit status.
  int Stop(int timeoutMs);

 private:
  pid_t pid_ = -1;
};

// Runs the program to its end and returns its exit status.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& outputFile, int timeoutMs = 30000);

// Polls until the predicate holds or the time is up.
bool WaitFor(const std::function<bool()>& predicate, int timeoutMs);
// The bound on waiting for an event of a running gateway (a page up, a file
// taken, a row, a line): only a wait that never ends costs it, and a busy
// machine has taken more than 10 s to start a gateway.
inline constexpr int kEventWaitMs = 60000;

}  // namespace tolven::testing
