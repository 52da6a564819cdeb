// One database transaction as a scope: begun by Begin(), stored only by a
// Commit() that succeeds, rolled back when the scope is left otherwise. A
// transaction the engine has already ended on its own (a deadlock victim, a
// lost session, an engine that aborts the whole transaction after a failed
// statement), or one with a failed statement not undone to a savepoint, is
// never committed as if it were whole: Commit() reports it.
#pragma once

#include "common/status.h"
#include "db/connection.h"

namespace tolven::db {

class Transaction {
 public:
  explicit Transaction(Connection& connection) : conn_(connection) {}
  ~Transaction() { Rollback(); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  Status Begin();
  // Stores the transaction. On failure nothing of it is stored and it is over.
  Status Commit();
  // Ends the transaction without storing it; nothing when none is open.
  void Rollback();

  // Savepoints inside it (see Connection::Savepoint).
  Status Savepoint(const std::string& name);
  Status RollbackToSavepoint(const std::string& name);
  Status ReleaseSavepoint(const std::string& name);

  // The first failed statement of the open transaction, asked before its
  // rollback (ok when none failed): tells why nothing could be stored.
  Status Failure() const;
  bool open() const { return open_; }

 private:
  // Rolls back what the connection still holds open.
  void End();
  // The event loop learns of it: no job pauses inside a transaction.
  void SetOpen(bool open);

  Connection& conn_;
  bool open_ = false;
};

}  // namespace tolven::db
