// The gateway's one thread as an event loop. Every piece of work that waits (a
// file's hand-over, an order's TSE requests and kitchen receipts, a settlement)
// runs as a job on a fiber of its own. The rules for code that runs in a job
// are in docs/ARCHITECTURE.md ("Code in a job"); in short:
// - SleepMs pauses the job and the loop runs the others meanwhile;
// - RunBlocking (and every file call of this Env, and every statement on a
//   job's own connection) runs on a worker thread while only this job waits;
// - nothing else may block, and no job pauses with a transaction open on a
//   connection other jobs share;
// - per-call state lives on the job's stack or in its Job, never in members
//   of objects every job uses.
// A rule broken (a pause inside a transaction, a hold taken twice or against
// the hold order) ends a test's process at once; in production it is
// reported through SetReporter and the job goes on the safe way.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fiber.h"
#include "platform/forwarding_env.h"

namespace tolven::loop {

class WorkerThreads;

// What the loop keeps of one job.
struct Job {
  uint64_t id = 0;
  std::unique_ptr<platform::Fiber> fiber;
  int64_t dueMs = 0;
  bool parked = false;          // waits for Wake (a hold)
  bool awaitingWorker = false;  // waits for its call on a worker thread
  int transactions = 0;         // database transactions open in this job
  bool ownConnection = false;   // its statements go to a connection of its own
  // State kept for this job alone by the modules it passes through (a leased
  // connection), dropped when it ends.
  std::map<const void*, std::shared_ptr<void>> locals;
  // Run when the job's work is over, newest first (return what it leased).
  std::vector<std::function<void()>> atEnd;
};

// The job running on this thread now; nullptr outside any.
Job* CurrentJob();
// Told by every database transaction as it begins and ends.
void NoteTransaction(bool begun);

class EventLoop final : public platform::ForwardingEnv {
 public:
  explicit EventLoop(platform::Env& base);
  ~EventLoop() override;

  // Starts `work` as a job; it first runs at the next turn. What it throws
  // ends that job with a report, never the process.
  void Spawn(std::function<void()> work);
  // Runs the jobs that are due, and again as their pauses end, for `ms`
  // milliseconds; sleeps when none is due.
  void RunFor(int ms);
  // Runs until every job has ended.
  void RunUntilIdle();
  size_t jobCount() const { return jobs_.size(); }
  bool InJob() const { return CurrentJob() != nullptr; }
  // Whether the running job may pause now (in a job, no transaction open).
  bool MayPause() const;

  // Where rule breaches and failed jobs are told in production (the log).
  // Without one, a breach ends the process: every test that breaks a rule
  // fails at that spot.
  void SetReporter(std::function<void(const std::string&)> report) { report_ = std::move(report); }
  void Breach(const std::string& what);

  // From now on RunBlocking and the file calls go to worker threads (the
  // gateway); until then they run in place, as on a test's fake clock.
  void UseWorkerThreads() { useWorkers_ = true; }

  // The running job waits until Wake(its id); for holds.
  void Park();
  void Wake(uint64_t jobId);

  // Env: SleepMs pauses the running job; RunBlocking and the file calls run
  // on a worker thread while the job waits.
  void SleepMs(int ms) override;
  void RunBlocking(const std::function<void()>& work) override;
  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  platform::FileInfo GetFileInfo(const std::string& path) override;
  Status DeleteFile(const std::string& path) override;
  Status RenameFile(const std::string& from, const std::string& to) override;
  Status ReadFile(const std::string& path, std::string& contents) override;
  Status ReadRegularFile(const std::string& path, int64_t maxBytes, std::string& contents) override;
  Status ReadFileHead(const std::string& path, int64_t maxBytes, std::string& contents) override;
  Status WriteFile(const std::string& path, const std::string& contents) override;
  Status WriteFileAtomic(const std::string& path, const std::string& contents) override;
  Status AppendFile(const std::string& path, const std::string& contents) override;
  Status CreateFolder(const std::string& path) override;
  std::vector<std::string> ListFiles(const std::string& folder) override;

 private:
  // Resumes every job whose time has come, in the order of their due times.
  void RunDue();
  // Waits up to `ms` for a worker thread to finish a job's call.
  void AwaitWorkers(int64_t ms);
  void Finish(Job& job);
  template <class T>
  T Offloaded(const std::function<T()>& call);

  std::function<void(const std::string&)> report_;
  std::vector<std::unique_ptr<Job>> jobs_;
  uint64_t nextId_ = 1;
  bool stackShortReported_ = false;
  bool useWorkers_ = false;
  std::unique_ptr<WorkerThreads> workers_;
  // Jobs whose worker call is done, filled by the worker threads.
  std::mutex doneMutex_;
  std::condition_variable doneSignal_;
  std::vector<uint64_t> done_;
  int offloaded_ = 0;
};

}  // namespace tolven::loop
