#include "gateway/event_loop.h"

#include <algorithm>

namespace tolven::gateway {

EventLoop::~EventLoop() { RunUntilIdle(); }

void EventLoop::Spawn(std::function<void()> work) {
  auto job = std::make_unique<Job>();
  job->fiber = std::make_unique<platform::Fiber>(std::move(work));
  job->dueMs = base().MonotonicMs();
  jobs_.push_back(std::move(job));
}

EventLoop::Job* EventLoop::Running() {
  platform::Fiber* fiber = platform::Fiber::Current();
  for (auto& job : jobs_) {
    if (job->fiber.get() == fiber) return job.get();
  }
  return nullptr;
}

void EventLoop::SleepMs(int ms) {
  Job* job = InJob() ? Running() : nullptr;
  if (job == nullptr || (mayPause_ && !mayPause_())) {
    base().SleepMs(ms);
    return;
  }
  job->dueMs = base().MonotonicMs() + std::max(ms, 0);
  platform::Fiber::Suspend();
}

void EventLoop::RunDue() {
  for (;;) {
    const int64_t now = base().MonotonicMs();
    Job* next = nullptr;
    for (auto& job : jobs_) {
      if (job->dueMs <= now && (next == nullptr || job->dueMs < next->dueMs)) next = job.get();
    }
    if (next == nullptr) return;
    // Not due again until it pauses anew; a job that only ends is removed below.
    next->dueMs = INT64_MAX;
    next->fiber->Resume();
    if (next->fiber->finished()) {
      jobs_.erase(std::find_if(jobs_.begin(), jobs_.end(), [next](const auto& j) { return j.get() == next; }));
    }
  }
}

void EventLoop::RunFor(int ms) {
  const int64_t until = base().MonotonicMs() + ms;
  for (;;) {
    RunDue();
    const int64_t now = base().MonotonicMs();
    if (now >= until) return;
    int64_t wake = until;
    for (const auto& job : jobs_) wake = std::min(wake, job->dueMs);
    base().SleepMs(static_cast<int>(std::max<int64_t>(wake - now, 0)));
  }
}

void EventLoop::RunUntilIdle() {
  while (!jobs_.empty()) RunFor(50);
}

}  // namespace tolven::gateway
