#include "loop/event_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>

#include "loop/worker_threads.h"

namespace tolven::loop {

namespace {

thread_local Job* running = nullptr;

// A job whose stack the system cannot give now tries again after this long.
constexpr int kStackRetryMs = 200;

}  // namespace

Job* CurrentJob() { return running; }

void NoteTransaction(bool begun) {
  if (running != nullptr) running->transactions += begun ? 1 : -1;
}

EventLoop::EventLoop(platform::Env& base) : ForwardingEnv(base), workers_(std::make_unique<WorkerThreads>()) {}

EventLoop::~EventLoop() { RunUntilIdle(); }

void EventLoop::Spawn(std::function<void()> work) {
  auto job = std::make_unique<Job>();
  Job* self = job.get();
  job->id = nextId_++;
  job->fiber = std::make_unique<platform::Fiber>([this, self, work = std::move(work)] {
    std::string failure;
    try {
      work();
    } catch (const std::bad_alloc&) {
      failure = "kein Speicher frei";
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "unbekannter Fehler";
    }
    if (!failure.empty()) {
      const std::string text = "FEHLER: Auftrag abgebrochen: " + failure;
      if (report_) {
        report_(text);
      } else {
        std::fprintf(stderr, "%s\n", text.c_str());
      }
    }
    Finish(*self);
  });
  job->dueMs = base().MonotonicMs();
  jobs_.push_back(std::move(job));
}

void EventLoop::Finish(Job& job) {
  while (!job.atEnd.empty()) {
    std::function<void()> last = std::move(job.atEnd.back());
    job.atEnd.pop_back();
    try {
      last();
    } catch (...) {
      // What could not be given back stays with the job that ends now.
    }
  }
  job.locals.clear();
}

bool EventLoop::MayPause() const {
  const Job* job = CurrentJob();
  return job != nullptr && job->transactions == 0;
}

void EventLoop::Breach(const std::string& what) {
  const std::string text = "FEHLER: Regel der Ereignisschleife verletzt: " + what;
  if (!report_) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::abort();
  }
  report_(text);
}

void EventLoop::SleepMs(int ms) {
  Job* job = CurrentJob();
  if (job == nullptr) {
    base().SleepMs(ms);
    return;
  }
  if (job->transactions > 0 && !job->ownConnection) {
    // Another job's statements would land in this transaction. A pause of
    // 0 only offers the others a turn: there it is simply not taken.
    if (ms <= 0) return;
    Breach("Pause bei offener Transaktion");
    base().SleepMs(ms);
    return;
  }
  job->dueMs = base().MonotonicMs() + std::max(ms, 0);
  platform::Fiber::Suspend();
}

void EventLoop::Park() {
  Job* job = CurrentJob();
  if (job == nullptr) {
    Breach("Warten außerhalb eines Auftrags");
    return;
  }
  job->parked = true;
  job->dueMs = INT64_MAX;
  platform::Fiber::Suspend();
}

void EventLoop::Wake(uint64_t jobId) {
  for (auto& job : jobs_) {
    if (job->id == jobId && job->parked) {
      job->parked = false;
      job->dueMs = base().MonotonicMs();
    }
  }
}

void EventLoop::RunBlocking(const std::function<void()>& work) {
  Job* job = CurrentJob();
  // On a connection every job shares, a pause inside a transaction would let
  // another job's statements into it: then the call runs in place.
  if (!useWorkers_ || job == nullptr || (job->transactions > 0 && !job->ownConnection)) {
    work();
    return;
  }
  std::exception_ptr failure;
  const uint64_t id = job->id;
  ++offloaded_;
  workers_->Submit([this, &work, &failure, id] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(doneMutex_);
    done_.push_back(id);
    doneSignal_.notify_one();
  });
  job->awaitingWorker = true;
  // Only the worker's report wakes it.
  while (job->awaitingWorker) {
    job->dueMs = INT64_MAX;
    platform::Fiber::Suspend();
  }
  if (failure) std::rethrow_exception(failure);
}

template <class T>
T EventLoop::Offloaded(const std::function<T()>& call) {
  std::optional<T> result;
  RunBlocking([&result, &call] { result.emplace(call()); });
  return std::move(*result);
}

bool EventLoop::FileExists(const std::string& path) {
  return Offloaded<bool>([&] { return base().FileExists(path); });
}
bool EventLoop::FolderExists(const std::string& path) {
  return Offloaded<bool>([&] { return base().FolderExists(path); });
}
platform::FileInfo EventLoop::GetFileInfo(const std::string& path) {
  return Offloaded<platform::FileInfo>([&] { return base().GetFileInfo(path); });
}
Status EventLoop::DeleteFile(const std::string& path) {
  return Offloaded<Status>([&] { return base().DeleteFile(path); });
}
Status EventLoop::RenameFile(const std::string& from, const std::string& to) {
  return Offloaded<Status>([&] { return base().RenameFile(from, to); });
}
Status EventLoop::ReadFile(const std::string& path, std::string& contents) {
  return Offloaded<Status>([&] { return base().ReadFile(path, contents); });
}
Status EventLoop::ReadRegularFile(const std::string& path, int64_t maxBytes, std::string& contents) {
  return Offloaded<Status>([&] { return base().ReadRegularFile(path, maxBytes, contents); });
}
Status EventLoop::ReadFileHead(const std::string& path, int64_t maxBytes, std::string& contents) {
  return Offloaded<Status>([&] { return base().ReadFileHead(path, maxBytes, contents); });
}
Status EventLoop::WriteFile(const std::string& path, const std::string& contents) {
  return Offloaded<Status>([&] { return base().WriteFile(path, contents); });
}
Status EventLoop::WriteFileAtomic(const std::string& path, const std::string& contents) {
  return Offloaded<Status>([&] { return base().WriteFileAtomic(path, contents); });
}
Status EventLoop::AppendFile(const std::string& path, const std::string& contents) {
  return Offloaded<Status>([&] { return base().AppendFile(path, contents); });
}
Status EventLoop::CreateFolder(const std::string& path) {
  return Offloaded<Status>([&] { return base().CreateFolder(path); });
}
std::vector<std::string> EventLoop::ListFiles(const std::string& folder) {
  return Offloaded<std::vector<std::string>>([&] { return base().ListFiles(folder); });
}

void EventLoop::RunDue() {
  {
    std::lock_guard lock(doneMutex_);
    for (uint64_t id : done_) {
      --offloaded_;
      for (auto& job : jobs_) {
        if (job->id == id) {
          job->awaitingWorker = false;
          job->dueMs = base().MonotonicMs();
        }
      }
    }
    done_.clear();
  }
  for (;;) {
    const int64_t now = base().MonotonicMs();
    Job* next = nullptr;
    for (auto& job : jobs_) {
      if (job->dueMs <= now && (next == nullptr || job->dueMs < next->dueMs)) next = job.get();
    }
    if (next == nullptr) return;
    // Not due again until it pauses anew; a job that only ends is removed below.
    next->dueMs = INT64_MAX;
    running = next;
    const bool ran = next->fiber->Resume();
    running = nullptr;
    if (!ran) {
      // No stack to be had now: the job waits and tries again.
      next->dueMs = now + kStackRetryMs;
      if (!stackShortReported_ && report_) report_("FEHLER: kein Speicher für einen weiteren Auftrag; er wartet.");
      stackShortReported_ = true;
      return;
    }
    stackShortReported_ = false;
    if (next->fiber->finished()) {
      jobs_.erase(std::find_if(jobs_.begin(), jobs_.end(), [next](const auto& j) { return j.get() == next; }));
    }
  }
}

void EventLoop::AwaitWorkers(int64_t ms) {
  const int64_t before = base().MonotonicMs();
  bool finished = false;
  {
    std::unique_lock lock(doneMutex_);
    finished = doneSignal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !done_.empty(); });
  }
  // On a clock of its own (a test's) the time waited passes there as well.
  const int64_t waited = base().MonotonicMs() - before;
  if (!finished && waited < ms) base().SleepMs(static_cast<int>(ms - waited));
}

void EventLoop::RunFor(int ms) {
  const int64_t until = base().MonotonicMs() + ms;
  for (;;) {
    RunDue();
    const int64_t now = base().MonotonicMs();
    if (now >= until) return;
    int64_t wake = until;
    for (const auto& job : jobs_) wake = std::min(wake, job->dueMs);
    const int64_t wait = std::max<int64_t>(wake - now, 0);
    if (offloaded_ > 0) {
      AwaitWorkers(wait);
    } else {
      base().SleepMs(static_cast<int>(wait));
    }
  }
}

void EventLoop::RunUntilIdle() {
  while (!jobs_.empty()) RunFor(50);
}

}  // namespace tolven::loop
