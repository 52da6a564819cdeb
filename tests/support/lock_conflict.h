// Lock conflicts between two stations, made for real on the engine of the
// run, and a connection wrapper that lets the other station give way at the
// moment a piece of work is run again.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/connection.h"

namespace tolven::testing {

// The second station holds a write lock until Release (or its end): on SQLite
// the database's write lock, on PostgreSQL the row locks of `rowsSql` (an
// UPDATE), taken in a transaction of its own as a POS program would, without
// the gateway's transaction lock. A writer of the first station that may not
// wait then fails with a lock conflict.
class HeldLock {
 public:
  HeldLock(db::Connection& second, const std::string& rowsSql);
  ~HeldLock() { Release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  void Release();

 private:
  db::Connection& second_;
  bool held_ = false;
  bool sqlite_ = false;
};

// Passes every call on; runs `beforeBegin` just before the given transaction
// begin (counted from 1) and `beforeExecute` before the given Execute.
class WatchedConnection final : public db::Connection {
 public:
  explicit WatchedConnection(db::Connection& inner) : inner_(inner) {}

  int begins = 0;
  int executes = 0;
  int beginAt = 0;
  int executeAt = 0;
  std::function<void()> action;

  bool IsOpen() const override { return inner_.IsOpen(); }
  void Close() override { inner_.Close(); }
  bool Execute(const std::string& sql, db::DbError& err) override {
    if (++executes == executeAt && action) action();
    return inner_.Execute(sql, err);
  }
  bool ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args, db::DbError& err) override {
    return inner_.ExecuteWith(sql, args, err);
  }
  std::unique_ptr<db::ResultSet> Query(const std::string& sql, db::DbError& err) override {
    return inner_.Query(sql, err);
  }
  bool BeginTrans(db::DbError& err) override {
    if (++begins == beginAt && action) action();
    return inner_.BeginTrans(err);
  }
  bool CommitTrans(db::DbError& err) override { return inner_.CommitTrans(err); }
  bool RollbackTrans(db::DbError& err) override { return inner_.RollbackTrans(err); }
  bool InTransaction() const override { return inner_.InTransaction(); }
  bool TransactionFailure(db::DbError& err) const override { return inner_.TransactionFailure(err); }
  bool Savepoint(const std::string& name, db::DbError& err) override { return inner_.Savepoint(name, err); }
  bool RollbackToSavepoint(const std::string& name, db::DbError& err) override {
    return inner_.RollbackToSavepoint(name, err);
  }
  bool ReleaseSavepoint(const std::string& name, db::DbError& err) override {
    return inner_.ReleaseSavepoint(name, err);
  }
  void SetCommandTimeout(int seconds) override { inner_.SetCommandTimeout(seconds); }
  const db::Dialect& dialect() const override { return inner_.dialect(); }

 private:
  db::Connection& inner_;
};

}  // namespace tolven::testing
