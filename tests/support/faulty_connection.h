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

#include "support/pass_through_connection.h"

namespace tolven::testing {

class FaultyConnection final : public PassThroughConnection {
 public:
  FaultyConnection(db::Connection& inner, bool conflicts = false, bool savepoints = true)
      : PassThroughConnection(inner), conflicts_(conflicts), savepoints_(savepoints) {}

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

  bool Execute(const std::string& sql, db::DbError& err) override {
    return Ended(!Trip(sql, err) && inner_.Execute(sql, err));
  }
  bool ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args, db::DbError& err) override {
    return Ended(!Trip(sql, err) && inner_.ExecuteWith(sql, args, err));
  }
  std::unique_ptr<db::ResultSet> Query(const std::string& sql, db::DbError& err) override {
    auto rs = Trip(sql, err) ? nullptr : inner_.Query(sql, err);
    Ended(rs != nullptr);
    return rs;
  }
  bool BeginTrans(db::DbError& err) override { return !Trip("BEGIN", err) && inner_.BeginTrans(err); }
  bool CommitTrans(db::DbError& err) override { return Ended(!Trip("COMMIT", err) && inner_.CommitTrans(err)); }
  // SQL Server's dialect has no savepoints; an order's statements are the same in every dialect.
  const db::Dialect& dialect() const override { return savepoints_ ? inner_.dialect() : db::SqlServerDialect(); }
  // A savepoint and its release are counted; going back to one never fails,
  // like a rollback.
  bool Savepoint(const std::string& name, db::DbError& err) override {
    return !Trip("SAVEPOINT " + name, err) && inner_.Savepoint(name, err);
  }
  bool ReleaseSavepoint(const std::string& name, db::DbError& err) override {
    return !Trip("RELEASE " + name, err) && inner_.ReleaseSavepoint(name, err);
  }

 private:
  // True when this call is the one to fail (err is filled then).
  bool Trip(const std::string& what, db::DbError& err) {
    const bool fail = (++calls_ == failAt_ && failAt_ > 0) || (what == failing_ && times_ > 0);
    log_.push_back((fail ? "!! " : "") + what);
    if (!fail) return false;
    failed_ = true;
    failing_ = what;
    --times_;
    err.Clear();
    err.number = conflicts_ ? 1205 : 5;
    err.nativeNumbers = {err.number};
    err.text = "Injizierter Fehler bei Aufruf " + std::to_string(calls_);
    err.source = "FaultyConnection";
    return true;
  }
  bool Ended(bool ok) {
    db::DbError ignored;
    if (!ok && !savepoints_ && inner_.InTransaction()) inner_.RollbackTrans(ignored);
    return ok;
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
