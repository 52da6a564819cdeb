// A db::Connection wrapper that makes the Nth database call fail: the
// countdown fault injection that proves a procedure all-or-nothing. Counted
// calls are Execute, ExecuteWith, Query, BeginTrans and CommitTrans; a
// rollback is never failed, since it is what the failure path relies on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/connection.h"

namespace tolven::testing {

class FaultyConnection final : public db::Connection {
 public:
  explicit FaultyConnection(db::Connection& inner) : inner_(inner) {}

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

  bool IsOpen() const override { return inner_.IsOpen(); }
  void Close() override { inner_.Close(); }
  bool Execute(const std::string& sql, db::DbError& err) override;
  bool ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args, db::DbError& err) override;
  std::unique_ptr<db::ResultSet> Query(const std::string& sql, db::DbError& err) override;
  bool BeginTrans(db::DbError& err) override;
  bool CommitTrans(db::DbError& err) override;
  bool RollbackTrans(db::DbError& err) override { return inner_.RollbackTrans(err); }
  bool InTransaction() const override { return inner_.InTransaction(); }
  // A savepoint and its release are counted; going back to one never fails,
  // like a rollback.
  bool Savepoint(const std::string& name, db::DbError& err) override;
  bool ReleaseSavepoint(const std::string& name, db::DbError& err) override;
  bool RollbackToSavepoint(const std::string& name, db::DbError& err) override {
    return inner_.RollbackToSavepoint(name, err);
  }
  void SetCommandTimeout(int seconds) override { inner_.SetCommandTimeout(seconds); }
  const db::Dialect& dialect() const override { return inner_.dialect(); }

 private:
  // True when this call is the one to fail (err is filled then).
  bool Trip(const std::string& what, db::DbError& err);

  db::Connection& inner_;
  int64_t failAt_ = 0;
  int64_t calls_ = 0;
  bool failed_ = false;
  std::vector<std::string> log_;
};

}  // namespace tolven::testing
