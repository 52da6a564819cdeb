// A db::Connection that passes every call on to another one: the test doubles
// that count, break or hold up some calls override only those. The first
// failure of a transaction stays the base's answer (none) unless a double
// passes it on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "db/connection.h"

namespace tolven::testing {

class PassThroughConnection : public db::Connection {
 public:
  explicit PassThroughConnection(db::Connection& inner) : inner_(inner) {}

  bool IsOpen() const override { return inner_.IsOpen(); }
  void Close() override { inner_.Close(); }
  bool Execute(const std::string& sql, db::DbError& err) override { return inner_.Execute(sql, err); }
  bool ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args, db::DbError& err) override {
    return inner_.ExecuteWith(sql, args, err);
  }
  std::unique_ptr<db::ResultSet> Query(const std::string& sql, db::DbError& err) override {
    return inner_.Query(sql, err);
  }
  bool BeginTrans(db::DbError& err) override { return inner_.BeginTrans(err); }
  bool CommitTrans(db::DbError& err) override { return inner_.CommitTrans(err); }
  bool RollbackTrans(db::DbError& err) override { return inner_.RollbackTrans(err); }
  bool InTransaction() const override { return inner_.InTransaction(); }
  bool Savepoint(const std::string& name, db::DbError& err) override { return inner_.Savepoint(name, err); }
  bool RollbackToSavepoint(const std::string& name, db::DbError& err) override {
    return inner_.RollbackToSavepoint(name, err);
  }
  bool ReleaseSavepoint(const std::string& name, db::DbError& err) override {
    return inner_.ReleaseSavepoint(name, err);
  }
  void SetCommandTimeout(int seconds) override { inner_.SetCommandTimeout(seconds); }
  const db::Dialect& dialect() const override { return inner_.dialect(); }

 protected:
  db::Connection& inner_;
};

}  // namespace tolven::testing
