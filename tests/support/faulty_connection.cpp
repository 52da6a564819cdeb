#include "support/faulty_connection.h"

namespace tolven::testing {

bool FaultyConnection::Trip(const std::string& what, db::DbError& err) {
  ++calls_;
  const bool fail = failAt_ > 0 && calls_ == failAt_;
  log_.push_back((fail ? "!! " : "") + what);
  if (!fail) return false;
  failed_ = true;
  err.Clear();
  err.number = 5;
  err.text = "Injizierter Fehler bei Aufruf " + std::to_string(calls_);
  err.source = "FaultyConnection";
  return true;
}

bool FaultyConnection::Execute(const std::string& sql, db::DbError& err) {
  if (Trip(sql, err)) return false;
  return inner_.Execute(sql, err);
}

bool FaultyConnection::ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args, db::DbError& err) {
  if (Trip(sql, err)) return false;
  return inner_.ExecuteWith(sql, args, err);
}

std::unique_ptr<db::ResultSet> FaultyConnection::Query(const std::string& sql, db::DbError& err) {
  if (Trip(sql, err)) return nullptr;
  return inner_.Query(sql, err);
}

bool FaultyConnection::BeginTrans(db::DbError& err) {
  if (Trip("BEGIN", err)) return false;
  return inner_.BeginTrans(err);
}

bool FaultyConnection::CommitTrans(db::DbError& err) {
  if (Trip("COMMIT", err)) return false;
  return inner_.CommitTrans(err);
}

bool FaultyConnection::Savepoint(const std::string& name, db::DbError& err) {
  if (Trip("SAVEPOINT " + name, err)) return false;
  return inner_.Savepoint(name, err);
}

bool FaultyConnection::ReleaseSavepoint(const std::string& name, db::DbError& err) {
  if (Trip("RELEASE " + name, err)) return false;
  return inner_.ReleaseSavepoint(name, err);
}

}  // namespace tolven::testing
