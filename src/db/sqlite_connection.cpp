#include "db/sqlite_connection.h"

#include <sqlite3.h>

#include <cstdlib>
#include <list>

#include "common/cp1252.h"
#include "common/text.h"
#include "db/driver_error.h"

namespace tolven::db {

namespace {

ColumnKind KindOfDecl(const char* decl) {
  if (!decl) return ColumnKind::Other;
  std::string d = ToUpper(decl);
  auto has = [&](const char* w) { return d.find(w) != std::string::npos; };
  if (has("CHAR") || has("TEXT") || has("CLOB")) return ColumnKind::Text;
  if (has("BOOL") || has("BIT")) return ColumnKind::Bool;
  if (has("DATETIME") || has("TIMESTAMP")) return ColumnKind::DateTime;
  if (has("DATE")) return ColumnKind::Date;
  if (has("INT")) return ColumnKind::Integer;
  if (has("DEC") || has("NUMERIC") || has("MONEY")) return ColumnKind::Decimal;
  if (has("REAL") || has("FLOA") || has("DOUB")) return ColumnKind::Float;
  return ColumnKind::Other;
}

class SqliteConnection final : public Connection {
 public:
  explicit SqliteConnection(sqlite3* db) : db_(db) { SetCommandTimeout(30); }
  ~SqliteConnection() override { Close(); }

  bool IsOpen() const override { return db_ != nullptr; }

  void Close() override {
    for (auto& kept : prepared_) sqlite3_finalize(kept.second);
    prepared_.clear();
    if (db_) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
    }
  }

  // A text of several statements runs them all in order, as the server runs a
  // batch; the first failure ends it and is reported.
  Status Execute(const std::string& sql) override {
    DriverError err;
    return Outcome(!Ended(err) && Run(sql, err), err);
  }

  Status ExecuteWith(const std::string& sql, const std::vector<SqlArg>& args) override {
    DriverError err;
    return Outcome(!Ended(err) && RunWith(sql, args, err), err);
  }

  Result<ResultSet> Query(const std::string& sql) override {
    DriverError err;
    std::unique_ptr<ResultSet> rs = Ended(err) ? nullptr : RunQuery(sql, err);
    if (!rs) return StatusOf(err);
    return std::move(*rs);
  }

  Status BeginTrans() override {
    DriverError err;
    if (!Run("BEGIN IMMEDIATE", err)) return StatusOf(err);
    firstFailure_.Clear();
    inTransaction_ = true;
    return Status::Ok();
  }

  Status CommitTrans() override {
    DriverError err;
    if (Ended(err)) {
      inTransaction_ = false;
      return StatusOf(err);
    }
    bool ok = Run("COMMIT", err);
    if (ok || sqlite3_get_autocommit(db_)) inTransaction_ = false;
    return Outcome(ok, err);
  }

  // A transaction the engine already rolled back on its own is over: its
  // rollback succeeds without asking the engine.
  Status RollbackTrans() override {
    DriverError err;
    const bool over = inTransaction_ && db_ && sqlite3_get_autocommit(db_);
    bool ok = over || Run("ROLLBACK", err);
    inTransaction_ = false;
    return Outcome(ok, err);
  }

  // False once the engine has ended the transaction on its own: the caller
  // who learns so here knows it is over, and the refusal of its statements
  // (see Ended) ends with that.
  bool InTransaction() const override {
    if (inTransaction_ && db_ && sqlite3_get_autocommit(db_)) inTransaction_ = false;
    return inTransaction_ && db_;
  }

  Status TransactionFailure() const override {
    return inTransaction_ && firstFailure_.number != 0 ? StatusOf(firstFailure_) : Status::Ok();
  }

  Status RollbackToSavepoint(const std::string& name) override {
    Status undone = Connection::RollbackToSavepoint(name);
    if (undone) firstFailure_.Clear();
    return undone;
  }

  void SetCommandTimeout(int seconds) override {
    if (db_) sqlite3_busy_timeout(db_, seconds * 1000);
  }

  const Dialect& dialect() const override { return SqliteDialect(); }

  sqlite3* handle() { return db_; }

 private:
  // The engine rolls a transaction back on its own after some failures (a
  // full disk, an I/O error). A statement sent after that would run outside
  // the caller's transaction and be stored on its own: it is refused until
  // the caller rolls back or has asked InTransaction.
  bool Ended(DriverError& err) const {
    if (!inTransaction_ || !db_ || !sqlite3_get_autocommit(db_)) return false;
    err = firstFailure_;
    if (err.number == 0) {
      err.number = SQLITE_ABORT;
      err.source = "SQLite";
      err.nativeNumbers = {err.number};
    }
    err.text = "Anweisung nicht ausgeführt, die Transaktion wurde von der Datenbank beendet" +
               (firstFailure_.text.empty() ? std::string(".") : ": " + firstFailure_.text);
    return true;
  }

  bool Run(const std::string& sql, DriverError& err) {
    std::string utf8 = Cp1252ToUtf8(sql);
    const char* rest = utf8.c_str();
    bool any = false;
    for (;;) {
      sqlite3_stmt* stmt = Prepare(rest, err);
      if (!stmt) {
        if (err.number != 0) return false;
        break;
      }
      any = true;
      int rc;
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      }
      bool ok = rc == SQLITE_DONE;
      if (!ok) Fail(err);
      sqlite3_finalize(stmt);
      if (!ok) return false;
    }
    if (!any) EmptyStatement(err);
    return any;
  }

  bool RunWith(const std::string& sql, const std::vector<SqlArg>& args, DriverError& err) {
    sqlite3_stmt* stmt = Prepared(sql, err);
    if (!stmt) return false;
    if (sqlite3_bind_parameter_count(stmt) != static_cast<int>(args.size())) {
      err.number = SQLITE_RANGE;
      err.text = "Anzahl der Werte passt nicht zur Anweisung.";
      err.source = "SQLite";
      return false;
    }
    int rc = SQLITE_OK;
    for (size_t i = 0; i < args.size() && rc == SQLITE_OK; ++i) {
      const int at = static_cast<int>(i) + 1;
      const std::string& text = args[i].text();
      switch (args[i].kind()) {
        case SqlArg::Kind::Null: rc = sqlite3_bind_null(stmt, at); break;
        case SqlArg::Kind::Number:
          // As the engine reads the same literal in a text.
          rc = text.find('.') == std::string::npos
                   ? sqlite3_bind_int64(stmt, at, std::strtoll(text.c_str(), nullptr, 10))
                   : sqlite3_bind_double(stmt, at, std::strtod(text.c_str(), nullptr));
          break;
        case SqlArg::Kind::Text: {
          const std::string utf8 = Cp1252ToUtf8(text);
          rc = sqlite3_bind_text(stmt, at, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
          break;
        }
      }
    }
    if (rc == SQLITE_OK) {
      while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      }
    }
    const bool ok = rc == SQLITE_DONE;
    if (!ok) Fail(err);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return ok;
  }

  std::unique_ptr<ResultSet> RunQuery(const std::string& sql, DriverError& err) {
    // A reader never runs a second statement hidden behind the first.
    sqlite3_stmt* stmt = PrepareSingle(sql, "Eine Abfrage darf nur eine Anweisung enthalten.", err);
    if (!stmt) return nullptr;
    int n = sqlite3_column_count(stmt);
    std::vector<std::string> names;
    std::vector<ColumnKind> kinds;
    for (int i = 0; i < n; ++i) {
      names.push_back(Utf8ToCp1252(sqlite3_column_name(stmt, i)));
      kinds.push_back(KindOfDecl(sqlite3_column_decltype(stmt, i)));
    }
    std::vector<std::vector<Value>> rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<Value> row;
      row.reserve(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) {
        switch (sqlite3_column_type(stmt, i)) {
          case SQLITE_INTEGER: row.emplace_back(static_cast<int64_t>(sqlite3_column_int64(stmt, i))); break;
          case SQLITE_FLOAT: row.emplace_back(sqlite3_column_double(stmt, i)); break;
          case SQLITE_NULL: row.emplace_back(); break;
          default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
            int len = sqlite3_column_bytes(stmt, i);
            row.emplace_back(Utf8ToCp1252(std::string(text ? text : "", static_cast<size_t>(len))));
          }
        }
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
      Fail(err);
      sqlite3_finalize(stmt);
      return nullptr;
    }
    sqlite3_finalize(stmt);
    return std::make_unique<ResultSet>(std::move(names), std::move(kinds), std::move(rows));
  }

  // The statement kept prepared for this text, prepared now when it is not
  // (the least recently used one makes room). One statement only.
  sqlite3_stmt* Prepared(const std::string& sql, DriverError& err) {
    for (auto it = prepared_.begin(); it != prepared_.end(); ++it) {
      if (it->first != sql) continue;
      prepared_.splice(prepared_.begin(), prepared_, it);
      return prepared_.front().second;
    }
    sqlite3_stmt* stmt = PrepareSingle(sql, "Eine Anweisung mit Werten darf nur eine Anweisung enthalten.", err);
    if (!stmt) return nullptr;
    if (prepared_.size() >= kPreparedKept) {
      sqlite3_finalize(prepared_.back().second);
      prepared_.pop_back();
    }
    prepared_.emplace_front(sql, stmt);
    return stmt;
  }

  // The one statement of `sql`; nullptr with err filled when there is none,
  // it does not compile, or another follows it (`severalText`).
  sqlite3_stmt* PrepareSingle(const std::string& sql, const char* severalText, DriverError& err) {
    std::string utf8 = Cp1252ToUtf8(sql);
    const char* rest = utf8.c_str();
    sqlite3_stmt* stmt = Prepare(rest, err);
    if (!stmt) {
      if (err.number == 0) EmptyStatement(err);
      return nullptr;
    }
    if (sqlite3_stmt* more = Prepare(rest, err); more || err.number != 0) {
      sqlite3_finalize(more);
      sqlite3_finalize(stmt);
      err.number = SQLITE_MISUSE;
      err.text = severalText;
      err.source = "SQLite";
      return nullptr;
    }
    return stmt;
  }

  // The next statement of a UTF-8 text; `rest` moves behind it. nullptr with
  // err.number 0 when only blanks, semicolons or comments are left.
  sqlite3_stmt* Prepare(const char*& rest, DriverError& err) {
    if (!db_) {
      err.number = SQLITE_MISUSE;
      err.text = "Die Datenbankverbindung ist geschlossen.";
      err.source = "SQLite";
      return nullptr;
    }
    while (*rest) {
      sqlite3_stmt* stmt = nullptr;
      const char* tail = nullptr;
      if (sqlite3_prepare_v2(db_, rest, -1, &stmt, &tail) != SQLITE_OK) {
        Fail(err);
        return nullptr;
      }
      bool moved = tail != rest;
      rest = tail;
      if (stmt) return stmt;
      if (!moved) break;
    }
    return nullptr;
  }

  static void EmptyStatement(DriverError& err) {
    err.number = SQLITE_MISUSE;
    err.text = "Leere SQL-Anweisung.";
    err.source = "SQLite";
  }

  // Fills err from the engine; the first failure inside a transaction is kept.
  void Fail(DriverError& err) {
    err.number = sqlite3_extended_errcode(db_);
    err.text = Utf8ToCp1252(sqlite3_errmsg(db_));
    err.source = "SQLite";
    err.nativeNumbers = {err.number};
    if (inTransaction_ && firstFailure_.number == 0) firstFailure_ = err;
  }

  static constexpr size_t kPreparedKept = 16;

  sqlite3* db_;
  mutable bool inTransaction_ = false;
  DriverError firstFailure_;                                   // of the open transaction
  std::list<std::pair<std::string, sqlite3_stmt*>> prepared_;  // most recently used first
};

}  // namespace

Result<std::unique_ptr<Connection>> OpenSqlite(const std::string& path, bool create) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(Cp1252ToUtf8(path).c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    DriverError err;
    err.number = rc;
    err.text = db ? Utf8ToCp1252(sqlite3_errmsg(db)) : "out of memory";
    err.text += " (" + path + ")";
    err.source = "SQLite";
    if (db) sqlite3_close_v2(db);
    return StatusOf(err);
  }
  auto conn = std::make_unique<SqliteConnection>(db);
  // WAL lets readers of other stations go on during a settlement; FULL makes
  // every commit reach the disk before it returns. A file that cannot switch
  // to WAL still works, only with readers waiting for writers.
  (void)conn->Query("PRAGMA journal_mode=WAL");
  if (Status synced = conn->Execute("PRAGMA synchronous=FULL"); !synced) return synced;
  // A bounded page cache (512 KiB: the counters, the articles, the top of every
  // index and the day's rows) keeps the process the same size all day however
  // large the file grows; older pages come from the system's file cache.
  (void)conn->Execute("PRAGMA cache_size=-512");
  return std::unique_ptr<Connection>(std::move(conn));
}

namespace {

Status SqliteError(sqlite3* db, const std::string& what, const std::string& path) {
  return Status::EngineError(what + "(" + path + "): " + Utf8ToCp1252(db ? sqlite3_errmsg(db) : "out of memory"),
                             db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM, "", ErrorKind::Other, "SQLite");
}

// Closes the handle whatever happens on the way.
struct Handle {
  sqlite3* db = nullptr;
  ~Handle() { sqlite3_close_v2(db); }
};

}  // namespace

Status BackupSqlite(const std::string& source, const std::string& target, int64_t& pages) {
  pages = 0;
  Handle from, to;
  if (sqlite3_open_v2(Cp1252ToUtf8(source).c_str(), &from.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    return SqliteError(from.db, "open", source);
  }
  sqlite3_busy_timeout(from.db, 30000);
  if (sqlite3_open_v2(Cp1252ToUtf8(target).c_str(), &to.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    return SqliteError(to.db, "open", target);
  }
  sqlite3_backup* backup = sqlite3_backup_init(to.db, "main", from.db, "main");
  if (!backup) return SqliteError(to.db, "sqlite3_backup_init", target);
  // All pages in one step: a step-wise copy would start over whenever the
  // gateway commits in between, which on a busy evening may be for ever.
  int rc = SQLITE_OK;
  for (int tries = 0; tries < 100; ++tries) {
    rc = sqlite3_backup_step(backup, -1);
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
    sqlite3_sleep(100);
  }
  pages = sqlite3_backup_pagecount(backup);
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) return SqliteError(to.db, "sqlite3_backup_step", source);
  char* message = nullptr;
  if (sqlite3_exec(to.db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, &message) != SQLITE_OK) {
    sqlite3_free(message);
    return SqliteError(to.db, "journal_mode", target);
  }
  sqlite3_stmt* check = nullptr;
  if (sqlite3_prepare_v2(to.db, "PRAGMA integrity_check", -1, &check, nullptr) != SQLITE_OK) {
    return SqliteError(to.db, "integrity_check", target);
  }
  std::string verdict;
  while (sqlite3_step(check) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    verdict += std::string(verdict.empty() ? "" : "; ") + (text ? text : "");
  }
  sqlite3_finalize(check);
  if (verdict != "ok") {
    return Status::Error("integrity_check(" + target +
                         "): " + Utf8ToCp1252(verdict.empty() ? "kein Ergebnis" : verdict));
  }
  if (sqlite3_close(to.db) != SQLITE_OK) return SqliteError(to.db, "close", target);
  to.db = nullptr;
  return Status::Ok();
}

Status ExecuteSqliteScript(Connection& connection, const std::string& script) {
  auto* conn = dynamic_cast<SqliteConnection*>(&connection);
  if (!conn) return Status::Error("not a SQLite connection");
  char* message = nullptr;
  std::string utf8 = Cp1252ToUtf8(script);
  if (sqlite3_exec(conn->handle(), utf8.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    DriverError err;
    err.number = sqlite3_extended_errcode(conn->handle());
    err.text = Utf8ToCp1252(message ? message : "");
    err.source = "SQLite";
    sqlite3_free(message);
    return StatusOf(err);
  }
  return Status::Ok();
}

}  // namespace tolven::db
