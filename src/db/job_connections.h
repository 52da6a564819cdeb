// The connection every module is given, as the event loop's jobs see it: each
// job gets a connection of its own for a statement or a transaction, and its
// statements run on a worker thread while only that job waits. A statement
// waiting for another program's lock (a busy SQLite file, a row lock on the
// server) then costs only its own job, and one job's transaction never sees
// another job's statements.
//
// The embedded engine (SQLite) answers from its cache or a local file at
// once; only its lock waits take long. There a statement runs in place without
// waiting for a lock and goes to a worker thread only when the database is
// busy (a commit and a write outside a transaction always go, as they sync
// the file).
//
// Where the engine lets one connection write at a time (SQLite), this
// station's jobs queue for that here, first come first served, from the start
// of a transaction (or a statement outside one) until the connection is given
// back: a short order then waits for a long one of another terminal as long as
// that takes, instead of failing on the engine's busy time-out. Another
// program's lock is still waited for only that long.
//
// Outside any job (start-up, the poller's pass) calls go to the station's own
// connection, in place; it also keeps the station's session lock. When no
// further connection can be opened, a job falls back to the station's
// connection and its statements run in place, as they did before.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "db/connection.h"
#include "loop/event_loop.h"
#include "platform/env.h"

namespace tolven::db {

class JobConnections final : public Connection {
 public:
  using Opener = std::function<Result<std::unique_ptr<Connection>>()>;
  // At most `maxOpen` connections besides the station's; a job that finds
  // them all in use waits for one.
  JobConnections(Connection& station, platform::Env& env, Opener open, size_t maxOpen = 8);
  ~JobConnections() override;

  bool IsOpen() const override;
  void Close() override;
  Status Execute(const std::string& sql) override;
  Status ExecuteWith(const std::string& sql, const std::vector<SqlArg>& args) override;
  Result<ResultSet> Query(const std::string& sql) override;
  Status BeginTrans() override;
  Status CommitTrans() override;
  Status RollbackTrans() override;
  bool InTransaction() const override;
  Status TransactionFailure() const override;
  Status Savepoint(const std::string& name) override;
  Status RollbackToSavepoint(const std::string& name) override;
  Status ReleaseSavepoint(const std::string& name) override;
  void SetCommandTimeout(int seconds) override;
  const Dialect& dialect() const override { return station_.dialect(); }
  // Only on the station's session: its lock must not travel with a job.
  Status ExecuteForSession(const std::string& sql) override { return station_.ExecuteForSession(sql); }

 private:
  // The running job's connection, leased at its first call.
  Connection& Current();
  // The same, for a statement that may write: with the writer slot.
  Connection& Writing();
  const Connection& CurrentConst() const;
  // Returns the job's connection to the idle ones; called between
  // transactions, and when the job ends (an open one is rolled back then).
  void GiveBack(loop::Job& job);
  // The engine's one writer slot, for the running job on its own connection
  // (no-op where the engine has none or the job already has it).
  void TakeWriter(loop::Job& job);
  void GiveWriter(const loop::Job& job);
  // Where a statement of the job's own connection runs (on the embedded
  // engine; a server's statements always go to a worker thread): on a worker
  // thread; here, on the loop's thread; here unless the database is busy,
  // then on a worker thread waiting for the lock.
  enum class Where { Worker, Here, HereUnlessBusy };
  // Runs `call` on `c` as `where` says; in place when `c` is the station's.
  template <class F>
  auto On(Connection& c, Where where, F&& call);
  // A write outside a transaction may wait for a lock (and syncs the file).
  Where ForStatement(const Connection& c) const;
  int TimeoutOf(const Connection& c) const;

  Connection& station_;
  platform::Env& env_;
  loop::EventLoop* loop_;  // null outside the gateway's loop: waits are then pauses
  Opener open_;
  size_t maxOpen_;
  int commandTimeout_ = 30;
  size_t opening_ = 0;         // connections being opened by paused jobs
  int64_t retryOpenAtMs_ = 0;  // after a failure to open one, not before
  std::vector<std::unique_ptr<Connection>> all_;
  std::vector<Connection*> idle_;
  std::deque<uint64_t> waiting_;                // jobs waiting for a connection, first come first
  std::map<uint64_t, Connection*> handedOver_;  // given back to a waiting job, not yet taken up
  const bool oneWriter_;
  std::map<const Connection*, int> timeouts_;  // a job's own command time-out, while it has the connection
  uint64_t writer_ = 0;                        // the job writing now; 0: none
  std::deque<uint64_t> writerWaiting_;         // jobs waiting to write, first come first
};

}  // namespace tolven::db
