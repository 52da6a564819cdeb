// A db::Connection wrapper that makes the Nth database call fail: the
// countdown fault injection that proves a procedure all-or-nothing. Counted
// calls are Execute, ExecuteWith, Query, BeginTrans and CommitTrans; a
// rollback is never failed, since it is what the failure path relies on.
// Switches: the failure looks like another station's lock (SQL Server's
// deadlock), and SQL Server as the gateway meets it: no savepoints, and under
// XACT_ABORT a failed statement rolls the whole transaction back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/forwarding_connection.h"

namespace tolven::testing {

class FaultyConnection final : public db::ForwardingConnection {
 public:
  FaultyConnection(db::Connection& inner, bool conflicts = false, bool savepoints = true)
      : ForwardingConnection(inner), conflicts_(conflicts), savepoints_(savepoints) {}

  // Call number n (from 1, counted from now on) fails, and the same statement
  // again when it comes again, `times` in all (a lock that stays); 0 switches it off.
  void FailCall(int64_t n, int times = 1) {
    failAt_ = n;
    times_ = times;
    failing_.clear();
    calls_ = 0;
    failed_ = false;
    log_.clear();
  }
  bool failed() const { return failed_; }
  // Every counted call in order; the failed one is marked with "!! ".
  const std::vector<std::string>& log() const { return log_; }

  Status Execute(const std::string& sql) override {
    Status tripped = Trip(sql);
    return Ended(tripped ? base().Execute(sql) : tripped);
  }
  Status ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args) override {
    Status tripped = Trip(sql);
    return Ended(tripped ? base().ExecuteWith(sql, args) : tripped);
  }
  Result<db::ResultSet> Query(const std::string& sql) override {
    Status tripped = Trip(sql);
    Result<db::ResultSet> rs = tripped ? base().Query(sql) : Result<db::ResultSet>(tripped);
    (void)Ended(rs.status());
    return rs;
  }
  Status BeginTrans() override {
    Status tripped = Trip("BEGIN");
    return tripped ? base().BeginTrans() : tripped;
  }
  Status CommitTrans() override {
    Status tripped = Trip("COMMIT");
    return Ended(tripped ? base().CommitTrans() : tripped);
  }
  // SQL Server's dialect has no savepoints; an order's statements are the same in every dialect.
  const db::Dialect& dialect() const override { return savepoints_ ? base().dialect() : db::SqlServerDialect(); }
  // A savepoint and its release are counted; going back to one never fails,
  // like a rollback.
  Status Savepoint(const std::string& name) override {
    Status tripped = Trip("SAVEPOINT " + name);
    return tripped ? base().Savepoint(name) : tripped;
  }
  Status ReleaseSavepoint(const std::string& name) override {
    Status tripped = Trip("RELEASE " + name);
    return tripped ? base().ReleaseSavepoint(name) : tripped;
  }
  // The first failure of a transaction is the base's answer (none) unless
  // the call that failed was passed on.
  Status TransactionFailure() const override { return Status::Ok(); }

 private:
  // The injected failure when this call is the one to fail; ok otherwise.
  Status Trip(const std::string& what) {
    const bool fail = (++calls_ == failAt_ && failAt_ > 0) || (what == failing_ && times_ > 0);
    log_.push_back((fail ? "!! " : "") + what);
    if (!fail) return Status::Ok();
    failed_ = true;
    failing_ = what;
    --times_;
    return Status::EngineError("Injizierter Fehler bei Aufruf " + std::to_string(calls_), conflicts_ ? 1205 : 5, "",
                               conflicts_ ? ErrorKind::Conflict : ErrorKind::Other, "FaultyConnection");
  }
  Status Ended(Status outcome) {
    if (!outcome && !savepoints_ && base().InTransaction()) (void)base().RollbackTrans();
    return outcome;
  }

  bool conflicts_, savepoints_;
  std::string failing_;
  int times_ = 0;
  int64_t failAt_ = 0;
  int64_t calls_ = 0;
  bool failed_ = false;
  std::vector<std::string> log_;
};

}  // namespace tolven::testing
