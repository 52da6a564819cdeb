#include "db/transaction.h"

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
  if (Status begun = conn_.BeginTrans(); !begun) return begun;
  SetOpen(true);
  return Status::Ok();
}

Status Transaction::Failure() const { return open_ ? conn_.TransactionFailure() : Status::Ok(); }

Status Transaction::Commit() {
  if (!open_) return Status::Error("Es ist keine Transaktion offen.");
  SetOpen(false);
  if (!conn_.InTransaction()) {
    // Ended by the engine: what ran after that was not part of it. The first
    // failure, when the connection still knows it, says why.
    const Status why = conn_.TransactionFailure();
    return Status::EngineError(kEndedEarly, why.code(), why.state(), why.kind(), why.source());
  }
  if (Status first = conn_.TransactionFailure(); !first) {
    // A statement of it failed and was not undone to a savepoint: some
    // engines have aborted the transaction then, and none stores half of it.
    End();
    return first.Prefixed("Die Transaktion wurde wegen eines Fehlers zurückgesetzt: ");
  }
  if (Status stored = conn_.CommitTrans(); !stored) {
    End();
    return stored.message().empty() ? stored.Prefixed(kEndedEarly) : stored;
  }
  return Status::Ok();
}

Status Transaction::Savepoint(const std::string& name) { return conn_.Savepoint(name); }

Status Transaction::RollbackToSavepoint(const std::string& name) { return conn_.RollbackToSavepoint(name); }

Status Transaction::ReleaseSavepoint(const std::string& name) { return conn_.ReleaseSavepoint(name); }

void Transaction::Rollback() {
  if (!open_) return;
  SetOpen(false);
  End();
}

void Transaction::End() {
  // Rolling back is the way out of a failure already reported.
  if (conn_.InTransaction()) (void)conn_.RollbackTrans();
}

}  // namespace tolven::db
