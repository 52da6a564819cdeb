#include "db/odbc_connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/cp1252.h"
#include "common/text.h"
#include "db/odbc_api.h"
#include "db/odbc_diagnostics.h"
#include "db/station_context.h"
#include "platform/system_text.h"

namespace tolven::db {

namespace {

// Whole-number decimal texts ("19.0000") become integers and the others
// doubles, as the embedded engine stores NUMERIC values, so every engine hands
// the same values to the program.
Value DecimalValue(const std::string& text) {
  std::string t = TrimBlanks(text);
  size_t dot = t.find('.');
  bool whole = true;
  if (dot != std::string::npos) {
    for (size_t i = dot + 1; i < t.size(); ++i) {
      if (t[i] != '0') whole = false;
    }
  }
  if (whole) {
    std::string digits = t.substr(0, dot);
    char* end = nullptr;
    long long v = std::strtoll(digits.c_str(), &end, 10);
    if (end && *end == '\0' && !digits.empty() && digits != "-") return Value(static_cast<int64_t>(v));
  }
  return Value(std::strtod(t.c_str(), nullptr));
}

ColumnKind KindOfSqlType(SQLSMALLINT type) {
  switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR: return ColumnKind::Text;
    case SQL_BIT: return ColumnKind::Bool;
    case SQL_TYPE_DATE: return ColumnKind::Date;
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME: return ColumnKind::DateTime;
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT: return ColumnKind::Integer;
    case SQL_DECIMAL:
    case SQL_NUMERIC: return ColumnKind::Decimal;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: return ColumnKind::Float;
    default: return ColumnKind::Other;
  }
}

std::string TwoDigits(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02u", v % 100u);
  return b;
}

// Dates as the embedded engine stores them: "YYYY-MM-DD" and
// "YYYY-MM-DD HH:MM:SS", with ".mmm" where the row holds milliseconds.
std::string FormatDate(int year, unsigned month, unsigned day) {
  char b[16];
  std::snprintf(b, sizeof b, "%04d-", year);
  return b + TwoDigits(month) + "-" + TwoDigits(day);
}

class StatementHandle {
 public:
  StatementHandle() = default;
  ~StatementHandle() {
    if (h_) SQLFreeHandle(SQL_HANDLE_STMT, h_);
  }
  StatementHandle(const StatementHandle&) = delete;
  StatementHandle& operator=(const StatementHandle&) = delete;
  SQLHSTMT* out() { return &h_; }
  SQLHSTMT get() const { return h_; }

 private:
  SQLHSTMT h_ = SQL_NULL_HSTMT;
};

// An error of the driver manager itself, which has no diagnostic record.
void ManagerError(DriverError& err, const char* text) {
  err.number = -1;
  err.text = text;
  err.source = "ODBC";
  err.nativeNumbers = {-1};
}

SqlServerDriver DriverOf(const OdbcTarget& target) {
  return SqlServerDriverOf(target.driver.empty() ? DefaultOdbcDriver(target.engine) : target.driver);
}

// PostgreSQL takes UTF-8; FreeTDS converts from CP1252 itself; Microsoft's
// drivers take the system's narrow text: UTF-8 on Linux, the ANSI code page
// (1252 on the POS computers) on Windows.
bool WireIsUtf8(const OdbcTarget& target) {
  if (target.engine == OdbcEngine::Postgres) return true;
  const SqlServerDriver kind = DriverOf(target);
  return (kind == SqlServerDriver::Microsoft || kind == SqlServerDriver::Classic) && platform::NarrowSystemTextIsUtf8();
}

// A new session of `target` on `env`; SQL_NULL_HDBC with err filled when the
// server cannot be reached or refuses.
SQLHDBC Connect(SQLHENV env, const OdbcTarget& target, int timeout, DriverError& err) {
  const std::string unsendable = UnsendableLogin(target);
  if (!unsendable.empty()) {
    // Sent anyway, the driver would cut the value and the server would refuse
    // a log-in nobody typed; it is a log-in problem for the operator to mend.
    ManagerError(err, unsendable.c_str());
    err.sqlState = "28000";
    err.source = "tolvenpda";
    return SQL_NULL_HDBC;
  }
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    ManagerError(err, "Der ODBC-Treibermanager kann keine Verbindung anlegen.");
    return SQL_NULL_HDBC;
  }
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout)), 0);
  std::string text = OdbcConnectionString(target);
  if (WireIsUtf8(target)) text = Cp1252ToUtf8(text);
  SQLCHAR out[1024];
  SQLSMALLINT outLen = 0;
  SQLRETURN rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                  static_cast<SQLSMALLINT>(text.size()), out, sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    ReadDiagnostics(SQL_HANDLE_DBC, dbc, target.engine, rc, err);
    if (err.text.empty()) ManagerError(err, "Keine Verbindung zum Datenbankserver.");
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    return SQL_NULL_HDBC;
  }
  return dbc;
}

class OdbcConnection final : public Connection {
 public:
  OdbcConnection(OdbcTarget target, SQLHENV env, SQLHDBC dbc, int timeoutSeconds, platform::Env& clock)
      : target_(std::move(target)),
        engine_(target_.engine),
        utf8_(WireIsUtf8(target_)),
        checkUndefinedBytes_(engine_ == OdbcEngine::SqlServer && !utf8_),
        env_(env),
        dbc_(dbc),
        timeout_(timeoutSeconds),
        clock_(clock) {}
  ~OdbcConnection() override { Close(); }

  // Settings every session needs before the first statement of the program.
  bool Setup(DriverError& err) {
    if (engine_ == OdbcEngine::Postgres) {
      // The database may be in any encoding; the program converts to and from UTF-8.
      if (!Execute("SET client_encoding = 'UTF8'", err)) return false;
    } else {
      // As on PostgreSQL: a failed statement ends the transaction it is in.
      if (!Execute("SET XACT_ABORT ON", err)) return false;
    }
    pendingLockWait_ = true;
    if (!ApplyLockWait(err)) return false;
    for (const std::string& sql : sessionStatements_) {
      if (!Execute(sql, err)) return false;
    }
    return true;
  }

  // The interface's calls: the driver's records become the program's Status here.
  Status ExecuteForSession(const std::string& sql) override {
    DriverError err;
    if (!Execute(sql, err)) return StatusOf(err);
    sessionStatements_.push_back(sql);
    return Status::Ok();
  }
  Status Execute(const std::string& sql) override {
    DriverError err;
    return Outcome(Execute(sql, err), err);
  }
  Result<ResultSet> Query(const std::string& sql) override {
    DriverError err;
    std::unique_ptr<ResultSet> rs = Query(sql, err);
    if (!rs) return StatusOf(err);
    return std::move(*rs);
  }
  Status BeginTrans() override {
    DriverError err;
    return Outcome(BeginTrans(err), err);
  }
  Status CommitTrans() override {
    DriverError err;
    return Outcome(CommitTrans(err), err);
  }
  Status RollbackTrans() override {
    DriverError err;
    return Outcome(RollbackTrans(err), err);
  }

  bool IsOpen() const override { return dbc_ != SQL_NULL_HDBC; }

  void Close() override {
    if (dbc_ != SQL_NULL_HDBC) {
      if (inTransaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
      dbc_ = SQL_NULL_HDBC;
    }
    if (env_ != SQL_NULL_HENV) {
      SQLFreeHandle(SQL_HANDLE_ENV, env_);
      env_ = SQL_NULL_HENV;
    }
    inTransaction_ = false;
  }

  bool Execute(const std::string& sql, DriverError& err) {
    err.Clear();
    if (Refused(err)) return false;
    return ExecuteNow(sql, err);
  }

  std::unique_ptr<ResultSet> Query(const std::string& sql, DriverError& err) {
    err.Clear();
    if (Refused(err)) return nullptr;
    return QueryNow(sql, err);
  }

 private:
  // The statement itself, without the failed-transaction check.
  bool ExecuteNow(const std::string& sql, DriverError& err) {
    if (!Revive(err)) return false;
    if (IsBlank(sql)) {
      Own(err, "Leere SQL-Anweisung.");
      return Failed(err);
    }
    if (!inTransaction_ && !ApplyLockWait(err)) return false;
    StatementHandle st;
    if (!Run(sql, st, err)) return Failed(err);
    if (!DrainResults(st, err)) return Failed(err);
    return true;
  }

  std::unique_ptr<ResultSet> QueryNow(const std::string& sql, DriverError& err) {
    if (!Revive(err)) return nullptr;
    if (IsBlank(sql) || HoldsSeveralStatements(sql)) {
      Own(err, IsBlank(sql) ? "Leere SQL-Anweisung." : "Eine Abfrage darf nur eine Anweisung enthalten.");
      Failed(err);
      return nullptr;
    }
    if (!inTransaction_ && !ApplyLockWait(err)) return nullptr;
    StatementHandle st;
    if (!Run(sql, st, err)) {
      Failed(err);
      return nullptr;
    }
    // Row counts of statements in front of the query come first on SQL Server.
    SQLSMALLINT columns = 0;
    for (;;) {
      SQLRETURN rc = SQLNumResultCols(st.get(), &columns);
      if (!SQL_SUCCEEDED(rc)) return FailStatement(st, rc, err);
      if (columns > 0) break;
      rc = SQLMoreResults(st.get());
      if (rc == SQL_NO_DATA)
        return std::make_unique<ResultSet>(std::vector<std::string>{}, std::vector<ColumnKind>{},
                                           std::vector<std::vector<Value>>{});
      if (!SQL_SUCCEEDED(rc)) return FailStatement(st, rc, err);
    }
    std::vector<std::string> names;
    std::vector<ColumnKind> kinds;
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(columns); ++i) {
      SQLCHAR name[256] = {0};
      SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLRETURN rc = SQLDescribeCol(st.get(), i, name, sizeof name, &nameLen, &type, &size, &digits, &nullable);
      if (!SQL_SUCCEEDED(rc)) return FailStatement(st, rc, err);
      names.push_back(FromWire(reinterpret_cast<const char*>(name)));
      kinds.push_back(KindOfSqlType(type));
    }
    std::vector<std::vector<Value>> rows;
    for (;;) {
      SQLRETURN rc = SQLFetch(st.get());
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) return FailStatement(st, rc, err);
      std::vector<Value> row;
      row.reserve(names.size());
      for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(columns); ++i) {
        Value v;
        if (!ReadColumn(st, i, kinds[i - 1], v, err)) {
          Failed(err);
          return nullptr;
        }
        row.push_back(std::move(v));
      }
      rows.push_back(std::move(row));
    }
    // Whatever the batch holds behind the query must have worked too.
    if (!DrainResults(st, err)) {
      Failed(err);
      return nullptr;
    }
    return std::make_unique<ResultSet>(std::move(names), std::move(kinds), std::move(rows));
  }

 public:
  bool BeginTrans(DriverError& err) {
    err.Clear();
    if (!IsOpen()) return Closed(err);
    if (inTransaction_) {
      Own(err, "Es ist bereits eine Transaktion offen.");
      return false;
    }
    if (!Revive(err) || !ApplyLockWait(err)) return false;
    SQLRETURN rc =
        SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
    if (!SQL_SUCCEEDED(rc)) {
      ReadDiagnostics(SQL_HANDLE_DBC, dbc_, engine_, rc, err);
      return Failed(err);
    }
    inTransaction_ = true;
    failedInTransaction_ = false;
    firstFailure_.Clear();
    const std::string lock = dialect().LockForWriting();
    if (!lock.empty() && !Execute(lock, err)) {
      DriverError ignored;
      EndTransaction(SQL_ROLLBACK, ignored);
      return false;
    }
    return true;
  }

  bool CommitTrans(DriverError& err) {
    err.Clear();
    if (!IsOpen()) return Closed(err);
    if (!inTransaction_) {
      Own(err, "Es ist keine Transaktion offen.");
      return false;
    }
    // A server whose transaction was aborted by a failed statement answers a
    // COMMIT with a silent rollback; a half-written settlement must never be
    // reported as stored.
    if (failedInTransaction_) {
      DriverError ignored;
      EndTransaction(SQL_ROLLBACK, ignored);
      err = firstFailure_;
      err.text = "Die Transaktion wurde wegen eines Fehlers zurückgesetzt: " + firstFailure_.text;
      return false;
    }
    if (!EndTransaction(SQL_COMMIT, err)) {
      DriverError ignored;
      EndTransaction(SQL_ROLLBACK, ignored);
      return false;
    }
    return true;
  }

  bool RollbackTrans(DriverError& err) {
    err.Clear();
    if (!IsOpen()) return Closed(err);
    if (!inTransaction_) {
      Own(err, "Es ist keine Transaktion offen.");
      return false;
    }
    return EndTransaction(SQL_ROLLBACK, err);
  }

  bool InTransaction() const override { return inTransaction_; }

  Status TransactionFailure() const override {
    return inTransaction_ && failedInTransaction_ ? StatusOf(firstFailure_) : Status::Ok();
  }

  // A rollback to a savepoint makes a transaction usable again that a failed
  // statement after the savepoint had aborted: it is the one statement a
  // failed transaction still runs, and the commit must not roll it back for
  // that failure.
  Status RollbackToSavepoint(const std::string& name) override {
    const std::string sql = dialect().RollbackToSavepoint(name);
    if (sql.empty() || !inTransaction_) return Connection::RollbackToSavepoint(name);
    DriverError err;
    if (!ExecuteNow(sql, err)) return StatusOf(err);
    failedInTransaction_ = false;
    firstFailure_.Clear();
    return Status::Ok();
  }

  // The time-out bounds every statement; how long a statement waits for a lock
  // of another station is a session setting, changed between transactions only,
  // so a rollback can never undo it.
  void SetCommandTimeout(int seconds) override {
    timeout_ = seconds < 0 ? 0 : seconds;
    pendingLockWait_ = true;
    if (!inTransaction_) {
      DriverError ignored;
      ApplyLockWait(ignored);
    }
  }

  const Dialect& dialect() const override {
    return engine_ == OdbcEngine::Postgres ? PostgresDialect() : SqlServerDialect();
  }

 private:
  static bool IsBlank(const std::string& sql) { return sql.find_first_not_of(" \t\r\n;") == std::string::npos; }
  bool Utf8() const { return utf8_; }
  std::string ToWire(const std::string& text) const { return Utf8() ? Cp1252ToUtf8(text) : text; }
  std::string FromWire(const std::string& text) const { return Utf8() ? Utf8ToCp1252(text) : text; }

  // Once a statement of the transaction has failed, the server has aborted
  // it (PostgreSQL) or already rolled it back (SQL Server under XACT_ABORT,
  // where the driver would run the next statement on its own and commit it).
  // Every further statement is refused with that first failure until the
  // rollback, so nothing after it is stored or read as if it belonged.
  bool Refused(DriverError& err) const {
    if (!inTransaction_ || !failedInTransaction_) return false;
    err = firstFailure_;
    err.text = "Anweisung nicht ausgeführt, die Transaktion ist nach einem Fehler abgebrochen: " + firstFailure_.text;
    return true;
  }

  bool ApplyLockWait(DriverError& err) {
    if (!pendingLockWait_ || !IsOpen()) return true;
    pendingLockWait_ = false;
    const std::string sql = dialect().LockWait(timeout_);
    if (sql.empty()) return true;
    StatementHandle st;
    if (!Run(sql, st, err) || !DrainResults(st, err)) {
      pendingLockWait_ = true;
      return false;
    }
    return true;
  }

  // Allocates a statement with the time-out and runs the text. SQL_NO_DATA (a
  // searched UPDATE or DELETE that met no row) is success.
  bool Run(const std::string& sql, StatementHandle& st, DriverError& err) {
    if (!IsOpen()) return Closed(err);
    // FreeTDS's conversion stops at these bytes and reports "Memory allocation
    // failure"; say what is wrong instead, and send nothing.
    if (checkUndefinedBytes_) {
      const size_t at = UndefinedCp1252Byte(sql);
      if (at != std::string::npos) {
        char code[8];
        std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(static_cast<unsigned char>(sql[at])));
        Own(err, std::string("Der Text enthält das Zeichen mit dem Code ") + code +
                     " (hex), das im Zeichensatz Windows-1252 nicht belegt ist; der Datenbanktreiber kann es nicht "
                     "an den SQL Server übertragen (Stelle " +
                     std::to_string(at + 1) + " der Anweisung).");
        return false;
      }
    }
    SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, dbc_, st.out());
    if (!SQL_SUCCEEDED(rc)) {
      ReadDiagnostics(SQL_HANDLE_DBC, dbc_, engine_, rc, err);
      return false;
    }
    SQLSetStmtAttr(st.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_)),
                   SQL_IS_UINTEGER);
    std::string wire = ToWire(sql);
    rc = SQLExecDirect(st.get(), reinterpret_cast<SQLCHAR*>(wire.data()), static_cast<SQLINTEGER>(wire.size()));
    if (rc == SQL_NO_DATA || SQL_SUCCEEDED(rc)) return true;
    ReadDiagnostics(SQL_HANDLE_STMT, st.get(), engine_, rc, err);
    return false;
  }

  bool DrainResults(StatementHandle& st, DriverError& err) {
    for (;;) {
      SQLRETURN rc = SQLMoreResults(st.get());
      if (rc == SQL_NO_DATA) return true;
      if (!SQL_SUCCEEDED(rc)) {
        ReadDiagnostics(SQL_HANDLE_STMT, st.get(), engine_, rc, err);
        return false;
      }
    }
  }

  std::unique_ptr<ResultSet> FailStatement(StatementHandle& st, SQLRETURN rc, DriverError& err) {
    ReadDiagnostics(SQL_HANDLE_STMT, st.get(), engine_, rc, err);
    Failed(err);
    return nullptr;
  }

  bool ReadColumn(StatementHandle& st, SQLUSMALLINT column, ColumnKind kind, Value& v, DriverError& err) {
    SQLLEN ind = 0;
    SQLRETURN rc;
    switch (kind) {
      case ColumnKind::Integer:
      case ColumnKind::Bool: {
        SQLBIGINT n = 0;
        rc = SQLGetData(st.get(), column, SQL_C_SBIGINT, &n, sizeof n, &ind);
        if (SQL_SUCCEEDED(rc) && ind != SQL_NULL_DATA) v = Value(static_cast<int64_t>(n));
        break;
      }
      case ColumnKind::Float: {
        double d = 0;
        rc = SQLGetData(st.get(), column, SQL_C_DOUBLE, &d, sizeof d, &ind);
        if (SQL_SUCCEEDED(rc) && ind != SQL_NULL_DATA) v = Value(d);
        break;
      }
      case ColumnKind::Date: {
        SQL_DATE_STRUCT d{};
        rc = SQLGetData(st.get(), column, SQL_C_TYPE_DATE, &d, sizeof d, &ind);
        if (SQL_SUCCEEDED(rc) && ind != SQL_NULL_DATA) v = Value(FormatDate(d.year, d.month, d.day));
        break;
      }
      case ColumnKind::DateTime: {
        SQL_TIMESTAMP_STRUCT t{};
        rc = SQLGetData(st.get(), column, SQL_C_TYPE_TIMESTAMP, &t, sizeof t, &ind);
        if (SQL_SUCCEEDED(rc) && ind != SQL_NULL_DATA) {
          std::string text = FormatDate(t.year, t.month, t.day) + " " + TwoDigits(t.hour) + ":" + TwoDigits(t.minute) +
                             ":" + TwoDigits(t.second);
          // Milliseconds only where a row has them (the bonus ledger orders by them).
          if (t.fraction / 1000000 != 0) {
            char ms[8];
            std::snprintf(ms, sizeof ms, ".%03u", static_cast<unsigned>(t.fraction / 1000000));
            text += ms;
          }
          v = Value(std::move(text));
        }
        break;
      }
      default: {
        std::string text;
        bool null = false;
        rc = ReadText(st, column, text, null);
        if (SQL_SUCCEEDED(rc) && !null) {
          text = FromWire(text);
          v = kind == ColumnKind::Decimal ? DecimalValue(text) : Value(std::move(text));
        }
        break;
      }
    }
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      ReadDiagnostics(SQL_HANDLE_STMT, st.get(), engine_, rc, err);
      return false;
    }
    return true;
  }

  // Long texts come in pieces; each piece but the last fills the buffer.
  SQLRETURN ReadText(StatementHandle& st, SQLUSMALLINT column, std::string& text, bool& null) {
    char chunk[4096];
    for (;;) {
      SQLLEN ind = 0;
      SQLRETURN rc = SQLGetData(st.get(), column, SQL_C_CHAR, chunk, sizeof chunk, &ind);
      if (rc == SQL_NO_DATA) return SQL_SUCCESS;
      if (!SQL_SUCCEEDED(rc)) return rc;
      if (ind == SQL_NULL_DATA) {
        null = true;
        return SQL_SUCCESS;
      }
      const bool partial = rc == SQL_SUCCESS_WITH_INFO && (ind == SQL_NO_TOTAL || ind >= SQLLEN{sizeof chunk});
      size_t got = partial ? sizeof chunk - 1 : static_cast<size_t>(ind);
      text.append(chunk, got);
      if (!partial) return SQL_SUCCESS;
    }
  }

  bool EndTransaction(SQLSMALLINT how, DriverError& err) {
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_, how);
    bool ok = SQL_SUCCEEDED(rc);
    if (!ok) ReadDiagnostics(SQL_HANDLE_DBC, dbc_, engine_, rc, err);
    // Back to one statement, one transaction, whatever the end was.
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
    inTransaction_ = false;
    failedInTransaction_ = false;
    DriverError ignored;
    ApplyLockWait(ignored);
    return ok;
  }

  // Remembers the first failure inside a transaction and a session the
  // server has lost; returns false.
  bool Failed(const DriverError& err) {
    if (inTransaction_ && !failedInTransaction_) {
      failedInTransaction_ = true;
      firstFailure_ = err;
    }
    if (!lost_ && SessionLost(err)) lost_ = true;
    return false;
  }

  // A broken link (class 08), a server that ended the session (57P0x), or a
  // driver that says the connection is dead.
  bool SessionLost(const DriverError& err) const {
    if (err.sqlState.compare(0, 2, "08") == 0 || err.sqlState.compare(0, 4, "57P0") == 0) return true;
    SQLUINTEGER dead = SQL_CD_FALSE;
    return dbc_ != SQL_NULL_HDBC &&
           SQL_SUCCEEDED(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr)) &&
           dead == SQL_CD_TRUE;
  }

  // After a lost session the next statement outside a transaction opens a new
  // one (a server restart or a network break must not need the gateway
  // restarted). The failed statement itself is never repeated: the server may
  // have done it before the link broke. Tries at most every few seconds, so a
  // server that stays away does not hold every statement for the log-in time.
  bool Revive(DriverError& err) {
    if (!lost_ || inTransaction_ || dbc_ == SQL_NULL_HDBC) return true;
    const int64_t now = clock_.MonotonicMs();
    if (now < nextRevivalMs_) {
      Own(err, "Die Verbindung zum Datenbankserver ist unterbrochen; neuer Versuch in wenigen Sekunden.");
      return false;
    }
    nextRevivalMs_ = now + kRevivalPauseMs;
    DriverError why;
    // The loop waits for this log-in: a short limit, whatever the statements get.
    SQLHDBC fresh = Connect(env_, target_, kReconnectLoginTimeoutSeconds, why);
    if (fresh == SQL_NULL_HDBC) {
      err = why;
      err.text =
          "Die Verbindung zum Datenbankserver ist unterbrochen; neuer Verbindungsaufbau fehlgeschlagen: " + why.text;
      return false;
    }
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    dbc_ = fresh;
    lost_ = false;
    failedInTransaction_ = false;
    if (Setup(err)) return true;
    lost_ = true;
    return false;
  }

  void Own(DriverError& err, const std::string& text) const {
    err.number = -1;
    err.text = text;
    err.source = "tolvenpda";
    err.nativeNumbers = {-1};
  }

  bool Closed(DriverError& err) const {
    Own(err, "Die Datenbankverbindung ist geschlossen.");
    return false;
  }

  OdbcTarget target_;
  OdbcEngine engine_;
  bool utf8_;
  bool checkUndefinedBytes_;
  SQLHENV env_;
  SQLHDBC dbc_;
  int timeout_;
  bool inTransaction_ = false;
  bool failedInTransaction_ = false;
  bool pendingLockWait_ = false;
  bool lost_ = false;
  platform::Env& clock_;
  int64_t nextRevivalMs_ = std::numeric_limits<int64_t>::min();  // the first attempt comes at once
  DriverError firstFailure_;
  std::vector<std::string> sessionStatements_;  // repeated on a revived session
};

}  // namespace

Result<std::unique_ptr<Connection>> OpenOdbc(const OdbcTarget& target, int timeoutSeconds, platform::Env& clock,
                                             OpenFailure* failure) {
  DriverError err;
  auto failed = [&] {
    if (failure) *failure = ClassifyOpenFailure(target.engine, err);
    return StatusOf(err);
  };
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
    ManagerError(err, "Der ODBC-Treibermanager kann nicht verwendet werden.");
    return failed();
  }
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  const int timeout = timeoutSeconds < 0 ? 0 : timeoutSeconds;
  SQLHDBC dbc = Connect(env, target, timeout, err);
  if (dbc == SQL_NULL_HDBC) {
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return failed();
  }
  auto conn = std::make_unique<OdbcConnection>(target, env, dbc, timeout, clock);
  if (!conn->Setup(err)) return failed();  // the connection closes itself
  return std::unique_ptr<Connection>(std::move(conn));
}

}  // namespace tolven::db
