// A Connection that hands every call to another one. Wrappers that watch or
// change a few calls (the status page's health of the last statement, the
// tests' fault injection) derive from it and override only those.
#pragma once

#include <string>
#include <vector>

#include "db/connection.h"

namespace tolven::db {

class ForwardingConnection : public Connection {
 public:
  explicit ForwardingConnection(Connection& base) : base_(base) {}

  bool IsOpen() const override { return base_.IsOpen(); }
  void Close() override { base_.Close(); }
  Status Execute(const std::string& sql) override { return base_.Execute(sql); }
  Status ExecuteWith(const std::string& sql, const std::vector<SqlArg>& args) override {
    return base_.ExecuteWith(sql, args);
  }
  Result<ResultSet> Query(const std::string& sql) override { return base_.Query(sql); }
  Status BeginTrans() override { return base_.BeginTrans(); }
  Status CommitTrans() override { return base_.CommitTrans(); }
  Status RollbackTrans() override { return base_.RollbackTrans(); }
  bool InTransaction() const override { return base_.InTransaction(); }
  Status TransactionFailure() const override { return base_.TransactionFailure(); }
  Status Savepoint(const std::string& name) override { return base_.Savepoint(name); }
  Status RollbackToSavepoint(const std::string& name) override { return base_.RollbackToSavepoint(name); }
  Status ReleaseSavepoint(const std::string& name) override { return base_.ReleaseSavepoint(name); }
  void SetCommandTimeout(int seconds) override { base_.SetCommandTimeout(seconds); }
  const Dialect& dialect() const override { return base_.dialect(); }
  Status ExecuteForSession(const std::string& sql) override { return base_.ExecuteForSession(sql); }

 protected:
  Connection& base() const { return base_; }

 private:
  Connection& base_;
};

}  // namespace tolven::db
