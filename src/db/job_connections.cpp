#include "db/job_connections.h"

#include <optional>

#include "loop/event_loop.h"

namespace tolven::db {

namespace {

// After a connection could not be opened, jobs share the station's for this long.
constexpr int64_t kRetryOpenMs = 30000;
// How often a job that finds every connection in use looks again, outside a loop.
constexpr int kWaitForOneMs = 5;

// How a call of the connection ended, whatever it returns.
const Status& OutcomeOf(const Status& status) { return status; }
template <class T>
const Status& OutcomeOf(const Result<T>& result) {
  return result.status();
}

}  // namespace

JobConnections::JobConnections(Connection& station, platform::Env& env, Opener open, size_t maxOpen)
    : station_(station),
      env_(env),
      loop_(dynamic_cast<loop::EventLoop*>(&env)),
      open_(std::move(open)),
      maxOpen_(maxOpen),
      oneWriter_(station.dialect().OneWriter()) {}

JobConnections::~JobConnections() { Close(); }

Connection& JobConnections::Current() {
  loop::Job* job = loop::CurrentJob();
  if (job == nullptr) return station_;
  if (auto leased = job->locals.find(this); leased != job->locals.end()) {
    return *static_cast<Connection*>(leased->second.get());
  }
  Connection* c = nullptr;
  while (c == nullptr) {
    if (auto given = handedOver_.find(job->id); given != handedOver_.end()) {
      c = given->second;
      handedOver_.erase(given);
    } else if (!idle_.empty()) {
      c = idle_.back();
      idle_.pop_back();
    } else if (all_.size() + opening_ < maxOpen_ && env_.MonotonicMs() >= retryOpenAtMs_) {
      std::unique_ptr<Connection> opened;
      ++opening_;
      env_.RunBlocking([this, &opened] {
        // Not opened: the job shares the station's connection, which is what
        // it did before there were more.
        if (auto result = open_()) opened = std::move(*result);
      });
      --opening_;
      if (!opened) {
        retryOpenAtMs_ = env_.MonotonicMs() + kRetryOpenMs;
        break;
      }
      opened->SetCommandTimeout(commandTimeout_);
      all_.push_back(std::move(opened));
      c = all_.back().get();
    } else if (all_.size() + opening_ >= maxOpen_ && job->transactions == 0) {
      // Every one in use: the next one given back is handed to the job that
      // has waited longest.
      if (loop_ != nullptr && loop_->MayPause()) {
        waiting_.push_back(job->id);
        loop_->Park();
      } else {
        env_.SleepMs(kWaitForOneMs);
      }
    } else {
      break;
    }
  }
  if (c == nullptr) {
    // None to be had: this job stays on the station's connection, in place.
    job->ownConnection = false;
    job->locals[this] = std::shared_ptr<void>(&station_, [](void*) {});
    return station_;
  }
  job->ownConnection = true;
  job->locals[this] = std::shared_ptr<void>(c, [](void*) {});
  // Once per job: what it still holds when it ends goes back.
  if (job->locals.emplace(&idle_, nullptr).second) {
    job->atEnd.push_back([this, job] { GiveBack(*job); });
  }
  return *c;
}

void JobConnections::GiveBack(loop::Job& job) {
  auto leased = job.locals.find(this);
  if (leased == job.locals.end()) return;
  auto* c = static_cast<Connection*>(leased->second.get());
  if (c == &station_) return;  // the job stays on it to its end
  if (c->InTransaction()) {
    // Left open by a job that ended: never handed to the next one.
    (void)c->RollbackTrans();  // nothing of it can be stored any more
  }
  c->SetCommandTimeout(commandTimeout_);
  timeouts_.erase(c);
  job.locals.erase(leased);
  GiveWriter(job);
  if (waiting_.empty()) {
    idle_.push_back(c);
    return;
  }
  const uint64_t next = waiting_.front();
  waiting_.pop_front();
  handedOver_[next] = c;
  loop_->Wake(next);
}

void JobConnections::TakeWriter(loop::Job& job) {
  if (!oneWriter_ || !job.ownConnection || writer_ == job.id) return;
  if (writer_ != 0 && loop_ != nullptr && loop_->MayPause()) {
    writerWaiting_.push_back(job.id);
    // The writer hands the slot over when it gives its connection back.
    while (writer_ != job.id) loop_->Park();
    return;
  }
  // Free, or no way to wait here: the engine's own lock decides.
  if (writer_ == 0) writer_ = job.id;
}

void JobConnections::GiveWriter(const loop::Job& job) {
  if (writer_ != job.id) return;
  writer_ = 0;
  if (writerWaiting_.empty()) return;
  writer_ = writerWaiting_.front();
  writerWaiting_.pop_front();
  loop_->Wake(writer_);
}

const Connection& JobConnections::CurrentConst() const {
  const loop::Job* job = loop::CurrentJob();
  if (job == nullptr) return station_;
  auto leased = job->locals.find(this);
  return leased == job->locals.end() ? station_ : *static_cast<const Connection*>(leased->second.get());
}

template <class F>
auto JobConnections::On(Connection& c, Where where, F&& call) {
  if (&c == &station_) return call(c);
  std::optional<decltype(call(c))> result;
  if (oneWriter_ && where != Where::Worker) {
    // The embedded engine answers from its cache or a local file at once; only
    // a lock wait takes long. So the statement runs here, not waiting for a
    // lock, and only a database that is busy sends it to a worker thread.
    if (where == Where::HereUnlessBusy) c.SetCommandTimeout(0);
    result.emplace(call(c));
    if (where == Where::HereUnlessBusy) c.SetCommandTimeout(TimeoutOf(c));
    // Busy: another program holds the lock, and the statement did nothing.
    if (where == Where::Here || !OutcomeOf(*result).IsConflict()) {
      if (!c.InTransaction()) GiveBack(*loop::CurrentJob());
      return std::move(*result);
    }
    result.reset();
  }
  env_.RunBlocking([&result, &call, &c] { result.emplace(call(c)); });
  // Between transactions the connection serves other jobs: a job waiting for
  // a lock holds one, a job that only reads needs one only while it reads.
  if (!c.InTransaction()) GiveBack(*loop::CurrentJob());
  return std::move(*result);
}

int JobConnections::TimeoutOf(const Connection& c) const {
  auto set = timeouts_.find(&c);
  return set == timeouts_.end() ? commandTimeout_ : set->second;
}

JobConnections::Where JobConnections::ForStatement(const Connection& c) const {
  // Inside a transaction the embedded engine's writer holds its lock already.
  return c.InTransaction() ? Where::Here : Where::Worker;
}

bool JobConnections::IsOpen() const { return CurrentConst().IsOpen(); }

void JobConnections::Close() {
  for (auto& c : all_) c->Close();
}

Status JobConnections::Execute(const std::string& sql) {
  Connection& w = Writing();
  return On(w, ForStatement(w), [&](Connection& c) { return c.Execute(sql); });
}

Status JobConnections::ExecuteWith(const std::string& sql, const std::vector<SqlArg>& args) {
  Connection& w = Writing();
  return On(w, ForStatement(w), [&](Connection& c) { return c.ExecuteWith(sql, args); });
}

Result<ResultSet> JobConnections::Query(const std::string& sql) {
  Connection& r = Current();
  return On(r, r.InTransaction() ? Where::Here : Where::HereUnlessBusy, [&](Connection& c) { return c.Query(sql); });
}

Status JobConnections::BeginTrans() {
  return On(Writing(), Where::HereUnlessBusy, [&](Connection& c) { return c.BeginTrans(); });
}

Connection& JobConnections::Writing() {
  Connection& c = Current();
  if (loop::Job* job = loop::CurrentJob()) TakeWriter(*job);
  return c;
}

Status JobConnections::CommitTrans() {
  return On(Current(), Where::Worker, [&](Connection& c) { return c.CommitTrans(); });
}

Status JobConnections::RollbackTrans() {
  return On(Current(), Where::Worker, [&](Connection& c) { return c.RollbackTrans(); });
}

bool JobConnections::InTransaction() const {
  const loop::Job* job = loop::CurrentJob();
  // A job that has not yet leased one has begun nothing.
  if (job != nullptr && !job->locals.count(this)) return false;
  return CurrentConst().InTransaction();
}

Status JobConnections::TransactionFailure() const { return CurrentConst().TransactionFailure(); }

Status JobConnections::Savepoint(const std::string& name) {
  return On(Current(), Where::Here, [&](Connection& c) { return c.Savepoint(name); });
}

Status JobConnections::RollbackToSavepoint(const std::string& name) {
  return On(Current(), Where::Here, [&](Connection& c) { return c.RollbackToSavepoint(name); });
}

Status JobConnections::ReleaseSavepoint(const std::string& name) {
  return On(Current(), Where::Here, [&](Connection& c) { return c.ReleaseSavepoint(name); });
}

void JobConnections::SetCommandTimeout(int seconds) {
  if (loop::CurrentJob() == nullptr) {
    // The station's setting is what every job's connection starts with.
    commandTimeout_ = seconds;
    station_.SetCommandTimeout(seconds);
    return;
  }
  Connection& c = Current();
  c.SetCommandTimeout(seconds);
  timeouts_[&c] = seconds;
}

}  // namespace tolven::db
