// What differs between the engines at the place a statement is built. Every
// statement is written in SQL Server's dialect; where another engine needs
// another form, the caller asks the dialect of its connection for it.
#pragma once

#include <cstdint>
#include <string>

namespace tolven::db {

class Dialect {
 public:
  virtual ~Dialect() = default;
  // "MSSQL", "SQLITE", "POSTGRESQL": the ENGINE value of TOLVEN.INI.
  virtual const char* Name() const = 0;
  // Name of the built-in schema script ("mssql", "sqlite", "postgresql").
  virtual const char* SchemaName() const = 0;
  // "SELECT TOP n <rest>" or "SELECT <rest> LIMIT n"; rest holds columns, FROM,
  // WHERE and ORDER BY.
  virtual std::string SelectTop(int n, const std::string& rest) const = 0;
  // A column name that is a keyword on some engine (the column `limit`).
  virtual std::string Column(const std::string& name) const = 0;
  // "" for an engine without databases on a server.
  virtual std::string CreateDatabase(const std::string& name) const = 0;
  // The database a login can always reach, from which a missing one is created.
  virtual std::string AdminDatabase() const = 0;
  // Length of a text in characters.
  virtual std::string Len(const std::string& expr) const = 0;
  // Runs first in every transaction: one lock that every station's transaction
  // takes at its start, so that settlements of two stations run one after the
  // other instead of locking rows in different orders and deadlocking
  // half-way. The statement fails when the lock is not granted in time. ""
  // when the engine's BEGIN locks by itself.
  virtual std::string LockForWriting() const = 0;
  // Session setting: how long a statement waits for a lock held by another
  // station. 0 means not at all: it fails at once. "" when the engine has no
  // such setting.
  virtual std::string LockWait(int seconds) const = 0;
  // A query for use inside a transaction whose rows stay locked against other
  // writers until the transaction ends, taken on the rows themselves (the POS
  // programs do not take LockForWriting): "SELECT columns FROM table WHERE
  // where" with the engine's row-lock form.
  virtual std::string SelectLocked(const std::string& columns, const std::string& table,
                                   const std::string& where) const = 0;
  // A query whose column "n" counts the tables of the connected database.
  virtual std::string CountTables() const = 0;
  // Savepoints inside a transaction, so that one failed statement can be
  // undone without the rest. "" where a failed statement ends the whole
  // transaction anyway (SQL Server under XACT_ABORT).
  virtual std::string Savepoint(const std::string& name) const = 0;
  virtual std::string RollbackToSavepoint(const std::string& name) const = 0;
  virtual std::string ReleaseSavepoint(const std::string& name) const = 0;
  // Creates one of the gateway's own tables when it is missing and leaves an
  // existing one alone; `columns` in the common forms (INT, BIGINT, VARCHAR(n)).
  virtual std::string CreateTableIfMissing(const std::string& table, const std::string& columns) const = 0;
  // Takes this station's lock for the life of the session: it fails at once,
  // with StationLockBusyText in its error, while another session holds it.
  // "" when the engine has no server sessions (SQLite locks a file instead).
  virtual std::string StationLock(int32_t station) const = 0;
  // The same for a register id (KASSENID): the receipts' QR texts name the
  // register, so two stations must never sign under one id. It fails with
  // kRegisterLockBusyText while another session holds it.
  virtual std::string RegisterLock(const std::string& registerId) const = 0;
  // True when a writer locks the whole database, so that one connection
  // writes at a time (SQLite); the servers lock rows.
  virtual bool OneWriter() const { return false; }
};

inline constexpr const char* kRegisterLockBusyText = "Kassen-ID ist bereits angemeldet";

// The part of the station lock's error that says another gateway holds it.
std::string StationLockBusyText(int32_t station);

// SQL Server as the statements are written.
const Dialect& SqlServerDialect();
const Dialect& SqliteDialect();
const Dialect& PostgresDialect();
// The dialect of an ENGINE value (case-insensitive; "" is SQL Server);
// nullptr for an unknown engine.
const Dialect* DialectByName(const std::string& engine);

}  // namespace tolven::db
