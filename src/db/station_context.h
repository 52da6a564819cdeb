// What every module of the gateway works with on this station: the database
// connection, the start-up state, the clock and files (Env) and the operator's
// messages (Ui), with the statements they all share: statements with an error
// report instead of an exception, dates and booleans in the forms the
// connected database accepts, counters, the system log table and the SQL
// error log file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/datetime.h"
#include "common/result.h"
#include "common/status.h"
#include "db/connection.h"
#include "db/sql_values.h"
#include "db/startup_state.h"
#include "platform/env.h"
#include "platform/ui.h"

namespace tolven::db {

class StationContext {
 public:
  StationContext(Connection& connection, const StartupState& state, platform::Env& env, platform::Ui& ui)
      : conn_(&connection), state_(state), env_(env), ui_(ui) {}

  Connection& connection() { return *conn_; }
  const Dialect& dialect() const { return conn_->dialect(); }
  const StartupState& state() const { return state_; }
  platform::Env& env() { return env_; }
  platform::Ui& ui() { return ui_; }

  Status ExecSQL(const std::string& sql) { return ExecSQLOn(*conn_, sql); }
  // A statement with "?" marks and their values (see Connection::ExecuteWith).
  Status ExecSQLWith(const std::string& sql, const std::vector<SqlArg>& args);
  static Status ExecSQLOn(Connection& connection, const std::string& sql);
  // Creates one of the gateway's own tables when it is missing. Two stations
  // starting together may both try: when the create fails but the table is
  // there now, that is success.
  Status CreateOwnTable(const std::string& table, const std::string& columns);
  // A statement that may run twice with the same effect (it sets values,
  // never adds to them): outside a transaction it runs once more when a lock
  // conflict stopped it. Inside one it is not repeated, since the conflict
  // has ended the whole transaction.
  Status ExecSQLRepeatable(const std::string& sql);
  // A read-only result set on the connection.
  Result<ResultSet> Open(const std::string& sql) { return OpenOn(*conn_, sql); }
  static Result<ResultSet> OpenOn(Connection& connection, const std::string& sql);
  // The name of operator (waiter) `kanr` in kassi; nothing when there is no
  // such operator or the lookup failed.
  std::optional<std::string> WaiterName(int32_t kanr);
  // How kitchen receipts and the log name a waiter: "3 - Anna", "3 - unbekannt".
  std::string WaiterText(int32_t kanr) { return std::to_string(kanr) + " - " + WaiterName(kanr).value_or("unbekannt"); }

  std::string SqlDate(const Date& date) const;
  std::string SqlDateTime(const Date& date, const std::string& timeText) const;
  // The same date and time as a value for a "?" mark (no quotes).
  std::string DateTimeText(const Date& date, const std::string& timeText) const;
  std::string SqlBool(bool flag) const;
  // SqlDateTime of the current local time.
  std::string SqlNow();

  // The next number of a named counter. Read and advance happen under a write
  // lock (inside the caller's transaction, or a transaction of its own), so two
  // stations never get the same number. A start or maximum of 0 means default.
  // A failure is written to the SQL error log as well.
  Result<int32_t> GetUniqueNr(const std::string& name, Connection& connection, int32_t start = 1,
                              int32_t maximum = 999999999);
  Result<int32_t> GetUniqueNr(const std::string& name, int32_t start = 1, int32_t maximum = 999999999) {
    return GetUniqueNr(name, *conn_, start, maximum);
  }
  // The largest receipt number of the older period (kassea) + 1, 1 when it has
  // none; a failure when it cannot be read.
  Result<int32_t> GetNextBelegNr();
  int32_t GetAccountForName(const std::string& designation);

  void WriteSysLog(const std::string& type, std::string& text);
  void WriteSysLog(const std::string& type, const std::string& text) {
    std::string copy = text;
    WriteSysLog(type, copy);
  }
  void WriteSysLogMemo(const std::string& type, const std::string& text, std::string memo);
  void LogSqlError(const std::string& text, bool quiet = false);
  std::string SqlErrorLogPath();

 private:
  Result<int32_t> TryUniqueNr(const std::string& name, Connection& connection, int32_t start, int32_t maximum);

  Connection* conn_;
  const StartupState& state_;
  platform::Env& env_;
  platform::Ui& ui_;
};

}  // namespace tolven::db
