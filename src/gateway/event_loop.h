// The gateway's one thread as an event loop. Every piece of work that waits (a
// file's hand-over, an order's TSE requests and kitchen receipts, a settlement)
// runs as a job on a fiber of its own; where the code says SleepMs, the job
// pauses and the loop runs the others, and resumes it when its time is due.
// The waits stay as long as they are for their own file or transaction; they
// no longer hold up another terminal.
//
// The loop is also the Env every module gets: all calls go to the real one,
// except SleepMs inside a job. A job never pauses with a database transaction
// open (the pause guard says so): then it sleeps as before, so no other job
// can put its statements into that transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/forwarding_env.h"
#include "platform/fiber.h"

namespace tolven::gateway {

class EventLoop final : public platform::ForwardingEnv {
 public:
  explicit EventLoop(platform::Env& base) : ForwardingEnv(base) {}
  ~EventLoop() override;

  // Starts `work` as a job; it first runs at the next turn.
  void Spawn(std::function<void()> work);
  // Runs the jobs that are due, and again as their pauses end, for `ms`
  // milliseconds; sleeps when none is due.
  void RunFor(int ms);
  // Runs until every job has ended.
  void RunUntilIdle();
  size_t jobCount() const { return jobs_.size(); }
  bool InJob() const { return platform::Fiber::Current() != nullptr; }
  // False while a job must not pause (a transaction is open on the connection).
  void SetPauseGuard(std::function<bool()> mayPause) { mayPause_ = std::move(mayPause); }

  // Env: the real one, except that SleepMs pauses the running job.
  void SleepMs(int ms) override;

 private:
  struct Job {
    std::unique_ptr<platform::Fiber> fiber;
    int64_t dueMs = 0;
  };
  // Resumes every job whose time has come, in the order of their due times.
  void RunDue();
  Job* Running();

  std::function<bool()> mayPause_;
  std::vector<std::unique_ptr<Job>> jobs_;
};

}  // namespace tolven::gateway
