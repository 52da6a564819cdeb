#include "loop/worker_threads.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tolven::loop {

// Shared with the threads, so that one still busy when the pool goes finds
// its queue alive.
struct WorkerThreads::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> tasks;
  int threads = 0;
  int idle = 0;
  int maxThreads = 0;
  bool stopping = false;

  static void Work(const std::shared_ptr<State>& self) {
    std::unique_lock lock(self->mutex);
    for (;;) {
      if (self->tasks.empty()) {
        if (self->stopping) break;
        // Counted idle until a Submit claims this thread.
        ++self->idle;
        self->wake.wait(lock, [&self] { return self->stopping || !self->tasks.empty(); });
        continue;
      }
      std::function<void()> task = std::move(self->tasks.front());
      self->tasks.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
    --self->threads;
  }
};

WorkerThreads::WorkerThreads(int maxThreads) : state_(std::make_shared<State>()) {
  state_->maxThreads = maxThreads < 1 ? 1 : maxThreads;
}

WorkerThreads::~WorkerThreads() {
  std::lock_guard lock(state_->mutex);
  state_->stopping = true;
  state_->wake.notify_all();
}

void WorkerThreads::Submit(std::function<void()> task) {
  std::lock_guard lock(state_->mutex);
  state_->tasks.push_back(std::move(task));
  if (state_->idle > 0 || state_->threads >= state_->maxThreads) {
    if (state_->idle > 0) --state_->idle;
    state_->wake.notify_one();
    return;
  }
  ++state_->threads;
  std::thread([state = state_] { State::Work(state); }).detach();
}

}  // namespace tolven::loop
