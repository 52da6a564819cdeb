#include "db/dialect.h"

#include "common/text.h"
#include "db/station_context.h"

namespace tolven::db {

namespace {

// One fixed name for the gateway's transaction lock, the same on every station.
constexpr const char* kLockName = "tolvenpda";
// PostgreSQL's advisory locks are named by a number: "tolv" in ASCII.
constexpr const char* kLockKey = "1953459318";
// The first number of the register ids' session locks ("tolw").
constexpr const char* kRegisterLockKey = "1953459319";

class SqlServer final : public Dialect {
 public:
  const char* Name() const override { return "MSSQL"; }
  const char* SchemaName() const override { return "mssql"; }
  std::string SelectTop(int n, const std::string& rest) const override {
    return "SELECT TOP " + std::to_string(n) + " " + rest;
  }
  std::string Column(const std::string& name) const override { return name == "limit" ? "[limit]" : name; }
  // Code page 1252 and case-insensitive, whatever the server's default: a UTF-8
  // default would count bytes in varchar columns.
  std::string CreateDatabase(const std::string& name) const override {
    return "CREATE DATABASE " + name + " COLLATE Latin1_General_CI_AS";
  }
  std::string AdminDatabase() const override { return "Master"; }
  std::string Len(const std::string& expr) const override { return "LEN(" + expr + ")"; }
  // A transaction lock needs an open transaction, and EXEC alone does not
  // open the driver's implicit one. sp_getapplock reports a lock it did not
  // get by its return value, not by an error; the RAISERROR turns that into a
  // failing statement.
  std::string LockForWriting() const override {
    return std::string("IF @@TRANCOUNT = 0 BEGIN TRANSACTION; DECLARE @r INT; EXEC @r = sp_getapplock @Resource = '") +
           kLockName +
           "', @LockMode = 'Exclusive', @LockOwner = 'Transaction'; "
           "IF @r < 0 RAISERROR('Sperre " +
           kLockName + " nicht erhalten (%d)', 16, 1, @r)";
  }
  std::string LockWait(int seconds) const override {
    return "SET LOCK_TIMEOUT " + std::to_string(seconds > 0 ? seconds * 1000 : 0);
  }
  std::string SelectLocked(const std::string& columns, const std::string& table,
                           const std::string& where) const override {
    return "SELECT " + columns + " FROM " + table + " WITH (UPDLOCK, ROWLOCK) WHERE " + where;
  }
  std::string CountTables() const override {
    return "SELECT COUNT(*) AS n FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_TYPE = 'BASE TABLE'";
  }
  // SAVE TRANSACTION exists, but with XACT_ABORT on any error rolls back the
  // whole transaction, so a savepoint could never be returned to.
  std::string Savepoint(const std::string&) const override { return ""; }
  std::string RollbackToSavepoint(const std::string&) const override { return ""; }
  std::string ReleaseSavepoint(const std::string&) const override { return ""; }
  // No IF NOT EXISTS for tables: the catalog is asked in the same batch.
  std::string CreateTableIfMissing(const std::string& table, const std::string& columns) const override {
    return "IF OBJECT_ID(N'" + table + "', N'U') IS NULL CREATE TABLE " + table + " ( " + columns + " )";
  }
  // Owned by the session, so it goes when the gateway's connection goes
  // (also when the process dies); @LockTimeout 0 does not wait.
  std::string StationLock(int32_t station) const override {
    const std::string n = std::to_string(station);
    return std::string("DECLARE @r INT; EXEC @r = sp_getapplock @Resource = '") + kLockName + "-kasse-" + n +
           "', @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; "
           "IF @r < 0 RAISERROR('" +
           StationLockBusyText(station) + " (%d)', 16, 1, @r)";
  }
  std::string RegisterLock(const std::string& registerId) const override {
    return std::string("DECLARE @r INT; EXEC @r = sp_getapplock @Resource = ") +
           SqlText(std::string(kLockName) + "-kassenid-" + registerId) +
           ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; "
           "IF @r < 0 RAISERROR('" +
           kRegisterLockBusyText + " (%d)', 16, 1, @r)";
  }
};

class Sqlite final : public Dialect {
 public:
  const char* Name() const override { return "SQLITE"; }
  bool OneWriter() const override { return true; }
  const char* SchemaName() const override { return "sqlite"; }
  std::string SelectTop(int n, const std::string& rest) const override {
    return "SELECT " + rest + " LIMIT " + std::to_string(n);
  }
  std::string Column(const std::string& name) const override { return name == "limit" ? "\"limit\"" : name; }
  std::string CreateDatabase(const std::string&) const override { return ""; }
  std::string AdminDatabase() const override { return ""; }
  std::string Len(const std::string& expr) const override { return "LENGTH(" + expr + ")"; }
  // BEGIN IMMEDIATE takes the database's write lock itself.
  std::string LockForWriting() const override { return ""; }
  std::string LockWait(int) const override { return ""; }
  // The write transaction (BEGIN IMMEDIATE) already keeps every other writer out.
  std::string SelectLocked(const std::string& columns, const std::string& table,
                           const std::string& where) const override {
    return "SELECT " + columns + " FROM " + table + " WHERE " + where;
  }
  std::string CountTables() const override {
    return "SELECT COUNT(*) AS n FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' ESCAPE '!'";
  }
  std::string Savepoint(const std::string& name) const override { return "SAVEPOINT " + name; }
  std::string RollbackToSavepoint(const std::string& name) const override { return "ROLLBACK TO SAVEPOINT " + name; }
  std::string ReleaseSavepoint(const std::string& name) const override { return "RELEASE SAVEPOINT " + name; }
  std::string CreateTableIfMissing(const std::string& table, const std::string& columns) const override {
    return "CREATE TABLE IF NOT EXISTS " + table + " ( " + columns + " )";
  }
  std::string StationLock(int32_t) const override { return ""; }
  std::string RegisterLock(const std::string&) const override { return ""; }
};

class Postgres final : public Dialect {
 public:
  const char* Name() const override { return "POSTGRESQL"; }
  const char* SchemaName() const override { return "postgresql"; }
  std::string SelectTop(int n, const std::string& rest) const override {
    return "SELECT " + rest + " LIMIT " + std::to_string(n);
  }
  std::string Column(const std::string& name) const override { return name == "limit" ? "\"limit\"" : name; }
  std::string CreateDatabase(const std::string& name) const override { return "CREATE DATABASE " + name; }
  std::string AdminDatabase() const override { return "postgres"; }
  std::string Len(const std::string& expr) const override { return "LENGTH(" + expr + ")"; }
  // Released by the commit or rollback; it waits as long as lock_timeout allows.
  std::string LockForWriting() const override { return std::string("SELECT pg_advisory_xact_lock(") + kLockKey + ")"; }
  // lock_timeout 0 would mean "wait for ever"; one millisecond is "not at all".
  std::string LockWait(int seconds) const override {
    return "SET lock_timeout = " + std::to_string(seconds > 0 ? seconds * 1000 : 1);
  }
  std::string SelectLocked(const std::string& columns, const std::string& table,
                           const std::string& where) const override {
    return "SELECT " + columns + " FROM " + table + " WHERE " + where + " FOR UPDATE";
  }
  std::string CountTables() const override {
    return "SELECT COUNT(*) AS n FROM information_schema.tables WHERE table_schema = current_schema() "
           "AND table_type = 'BASE TABLE'";
  }
  std::string Savepoint(const std::string& name) const override { return "SAVEPOINT " + name; }
  std::string RollbackToSavepoint(const std::string& name) const override { return "ROLLBACK TO SAVEPOINT " + name; }
  std::string ReleaseSavepoint(const std::string& name) const override { return "RELEASE SAVEPOINT " + name; }
  std::string CreateTableIfMissing(const std::string& table, const std::string& columns) const override {
    return "CREATE TABLE IF NOT EXISTS " + table + " ( " + columns + " )";
  }
  // The two-number form lives apart from the one-number transaction lock.
  std::string StationLock(int32_t station) const override {
    return std::string("DO $$BEGIN IF NOT pg_try_advisory_lock(") + kLockKey + ", " + std::to_string(station) +
           ") THEN RAISE EXCEPTION '" + StationLockBusyText(station) + "'; END IF; END$$";
  }
  // Keyed by the id's hash: ids that collide only refuse a start wrongly,
  // never let two stations share one.
  std::string RegisterLock(const std::string& registerId) const override {
    return std::string("DO $$BEGIN IF NOT pg_try_advisory_lock(") + kRegisterLockKey + ", hashtext(" +
           SqlText(registerId) + ")) THEN RAISE EXCEPTION '" + kRegisterLockBusyText + "'; END IF; END$$";
  }
};

}  // namespace

std::string StationLockBusyText(int32_t station) {
  return "Kasse " + std::to_string(station) + " ist bereits angemeldet";
}

const Dialect& SqlServerDialect() {
  static const SqlServer d;
  return d;
}
const Dialect& SqliteDialect() {
  static const Sqlite d;
  return d;
}
const Dialect& PostgresDialect() {
  static const Postgres d;
  return d;
}

const Dialect* DialectByName(const std::string& engine) {
  std::string e = ToUpper(TrimBlanks(engine));
  if (e.empty() || e == "MSSQL") return &SqlServerDialect();
  if (e == "SQLITE") return &SqliteDialect();
  if (e == "POSTGRESQL") return &PostgresDialect();
  return nullptr;
}

}  // namespace tolven::db
