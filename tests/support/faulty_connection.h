// A db::Connection wrapper that makes the Nth database call fail: the
// countdown fault injection that proves a procedure all-or-nothing. Counted
// calls are Execute, ExecuteWith, Query, BeginTrans and CommitTrans; a
// rollback is never failed, since it is what the failure path relies on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/pass_through_connection.h"

namespace tolven::testing {

class FaultyConnection final : public PassThroughConnection {
 public:
  using PassThroughConnection::PassThroughConnection;

  // Call number n (from 1, counted from now on) fails once; 0 switches it off.
  void FailCall(int64_t n) {
    failAt_ = n;
    calls_ = 0;
    failed_ = false;
    log_.clear();
  }
  bool failed() const { return failed_; }
  // Every counted call in order; the failed one is marked with "!! ".
  const std::vector<std::string>& log() const { return log_; }

  bool Execute(const std::string& sql, db::DbError& err) override {
    return !Trip(sql, err) && inner_.Execute(sql, err);
  }
  bool ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args, db::DbError& err) override {
    return !Trip(sql, err) && inner_.ExecuteWith(sql, args, err);
  }
  std::unique_ptr<db::ResultSet> Query(const std::string& sql, db::DbError& err) override {
    return Trip(sql, err) ? nullptr : inner_.Query(sql, err);
  }
  bool BeginTrans(db::DbError& err) override { return !Trip("BEGIN", err) && inner_.BeginTrans(err); }
  bool CommitTrans(db::DbError& err) override { return !Trip("COMMIT", err) && inner_.CommitTrans(err); }
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
    const bool fail = ++calls_ == failAt_ && failAt_ > 0;
    log_.push_back((fail ? "!! " : "") + what);
    if (!fail) return false;
    failed_ = true;
    err.Clear();
    err.number = 5;
    err.text = "Injizierter Fehler bei Aufruf " + std::to_string(calls_);
    err.source = "FaultyConnection";
    return true;
  }

  int64_t failAt_ = 0;
  int64_t calls_ = 0;
  bool failed_ = false;
  std::vector<std::string> log_;
};

}  // namespace tolven::testing
