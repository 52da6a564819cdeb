#include "db/transaction.h"

#include "db/db_tools.h"
#include "loop/event_loop.h"

namespace tolven::db {

namespace {
constexpr const char* kEndedEarly = "Transaktion vorzeitig beendet";
}

void Transaction::SetOpen(bool open) {
  if (open != open_) loop::NoteTransaction(open);
  open_ = open;
}

Status Transaction::Begin() {
  if (open_) return Status::Error("Es ist bereits eine Transaktion offen.");
  DbError err;
  if (!conn_.BeginTrans(err)) return StatusOf(err);
  SetOpen(true);
  return Status::Ok();
}

Status Transaction::Failure() const {
  DbError first;
  if (!open_ || !conn_.TransactionFailure(first)) return Status::Ok();
  return StatusOf(first);
}

Status Transaction::Commit() {
  if (!open_) return Status::Error("Es ist keine Transaktion offen.");
  SetOpen(false);
  if (!conn_.InTransaction()) {
    // Ended by the engine: what ran after that was not part of it. The first
    // failure, when the connection still knows it, says why.
    DbError first;
    (void)conn_.TransactionFailure(first);
    const Status why = StatusOf(first);
    return Status::EngineError(kEndedEarly, why.code(), why.state(), why.kind(), why.source());
  }
  DbError err;
  if (conn_.TransactionFailure(err)) {
    // A statement of it failed and was not undone to a savepoint: some
    // engines have aborted the transaction then, and none stores half of it.
    End();
    err.text = "Die Transaktion wurde wegen eines Fehlers zurückgesetzt: " + err.text;
    return StatusOf(err);
  }
  if (!conn_.CommitTrans(err)) {
    End();
    if (err.text.empty()) err.text = kEndedEarly;
    return StatusOf(err);
  }
  return Status::Ok();
}

Status Transaction::Savepoint(const std::string& name) {
  DbError err;
  return conn_.Savepoint(name, err) ? Status::Ok() : StatusOf(err);
}

Status Transaction::RollbackToSavepoint(const std::string& name) {
  DbError err;
  return conn_.RollbackToSavepoint(name, err) ? Status::Ok() : StatusOf(err);
}

Status Transaction::ReleaseSavepoint(const std::string& name) {
  DbError err;
  return conn_.ReleaseSavepoint(name, err) ? Status::Ok() : StatusOf(err);
}

void Transaction::Rollback() {
  if (!open_) return;
  SetOpen(false);
  End();
}

void Transaction::End() {
  DbError ignored;
  if (conn_.InTransaction()) conn_.RollbackTrans(ignored);
}

}  // namespace tolven::db
