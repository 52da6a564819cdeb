// The connection every module is given, as the event loop's jobs see it: each
// job gets a connection of its own for a statement or a transaction, and its
// statements run on a worker thread while only that job waits. A statement
// waiting for another program's lock (a busy SQLite file, a row lock on the
// server) then costs only its own job, and one job's transaction never sees
// another job's statements.
//
// Outside any job (start-up, the poller's pass) calls go to the station's own
// connection, in place; it also keeps the station's session lock. When no
// further connection can be opened, a job falls back to the station's
// connection and its statements run in place, as they did before.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "db/connection.h"
#include "loop/event_loop.h"
#include "platform/env.h"

namespace tolven::db {

class JobConnections final : public Connection {
 public:
  using Opener = std::function<std::unique_ptr<Connection>(DbError& err)>;
  // At most `maxOpen` connections besides the station's; a job that finds
  // them all in use waits for one.
  JobConnections(Connection& station, platform::Env& env, Opener open, size_t maxOpen = 8);
  ~JobConnections() override;

  bool IsOpen() const override;
  void Close() override;
  bool Execute(const std::string& sql, DbError& err) override;
  bool ExecuteWith(const std::string& sql, const std::vector<SqlArg>& args, DbError& err) override;
  std::unique_ptr<ResultSet> Query(const std::string& sql, DbError& err) override;
  bool BeginTrans(DbError& err) override;
  bool CommitTrans(DbError& err) override;
  bool RollbackTrans(DbError& err) override;
  bool InTransaction() const override;
  bool TransactionFailure(DbError& err) const override;
  bool Savepoint(const std::string& name, DbError& err) override;
  bool RollbackToSavepoint(const std::string& name, DbError& err) override;
  bool ReleaseSavepoint(const std::string& name, DbError& err) override;
  void SetCommandTimeout(int seconds) override;
  const Dialect& dialect() const override { return station_.dialect(); }
  // Only on the station's session: its lock must not travel with a job.
  bool ExecuteForSession(const std::string& sql, DbError& err) override {
    return station_.ExecuteForSession(sql, err);
  }

 private:
  // The running job's connection, leased at its first call.
  Connection& Current();
  const Connection& CurrentConst() const;
  // Returns the job's connection to the idle ones; called between
  // transactions, and when the job ends (an open one is rolled back then).
  void GiveBack(loop::Job& job);
  // Runs `call` on `c`: on a worker thread when `c` is the job's own.
  template <class F>
  auto On(Connection& c, F&& call);

  Connection& station_;
  platform::Env& env_;
  Opener open_;
  size_t maxOpen_;
  int commandTimeout_ = 30;
  size_t opening_ = 0;          // connections being opened by paused jobs
  int64_t retryOpenAtMs_ = 0;   // after a failure to open one, not before
  std::vector<std::unique_ptr<Connection>> all_;
  std::vector<Connection*> idle_;
};

}  // namespace tolven::db
