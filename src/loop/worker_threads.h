// Threads that run the calls jobs may not make on the loop's thread (a
// device, the spooler, a share, a database statement). A call that hangs holds
// only its thread; more are started as needed, up to a limit beyond which
// calls wait their turn.
#pragma once

#include <functional>
#include <memory>

namespace tolven::loop {

class WorkerThreads {
 public:
  explicit WorkerThreads(int maxThreads = 32);
  // Threads still busy (a call that hangs) are left to end on their own.
  ~WorkerThreads();
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;

  // Runs `task` on a worker thread. It must not throw.
  void Submit(std::function<void()> task);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tolven::loop
