#include "db/station_context.h"

#include <cstdint>
#include <cstdio>

#include "common/text.h"

namespace tolven::db {

Status StationContext::ExecSQLRepeatable(const std::string& sql) {
  Status st = ExecSQL(sql);
  if (st || conn_->InTransaction() || !st.IsConflict()) return st;
  return ExecSQL(sql);
}

Status StationContext::ExecSQLOn(Connection& connection, const std::string& sql) { return connection.Execute(sql); }

Status StationContext::ExecSQLWith(const std::string& sql, const std::vector<SqlArg>& args) {
  return conn_->ExecuteWith(sql, args);
}

Result<ResultSet> StationContext::OpenOn(Connection& connection, const std::string& sql) {
  return connection.Query(sql);
}

std::optional<std::string> StationContext::WaiterName(int32_t kanr) {
  auto rs = Open("SELECT name FROM kassi WHERE kanr = " + std::to_string(kanr));
  if (!rs || rs->Eof()) return std::nullopt;
  return GetFieldValue(*rs, "name").AsString();
}

Status StationContext::CreateOwnTable(const std::string& table, const std::string& columns) {
  Status st = ExecSQL(dialect().CreateTableIfMissing(table, columns));
  if (st || Open("SELECT COUNT(*) AS n FROM " + table)) return Status::Ok();
  return st;
}

std::string StationContext::SqlDate(const Date& date) const {
  return "'" + (state_.datumFormat == "D" ? FormatDMY(date) : FormatISODate(date)) + "'";
}

std::string StationContext::SqlDateTime(const Date& date, const std::string& timeText) const {
  return "'" + DateTimeText(date, timeText) + "'";
}

std::string StationContext::DateTimeText(const Date& date, const std::string& timeText) const {
  return (state_.datumFormat == "D" ? FormatDMY(date) : FormatISODate(date)) + " " + timeText;
}

std::string StationContext::SqlBool(bool flag) const {
  if (!flag) return " 0 ";
  return state_.boolTrueWert == 1 ? " 1 " : " -1 ";
}

std::string StationContext::SqlNow() {
  DateTime now = env_.Now();
  return SqlDateTime(now.date, FormatHMS(now));
}

namespace {
// MAX(bunr) of the older period + 1 (none: 1). A failure when it cannot be
// read: a counter seeded with 1 instead would hand out the older period's
// numbers again.
Result<int32_t> NextBelegNrOn(Connection& connection) {
  auto rs = connection.Query("SELECT MAX(bunr) AS nummer FROM kassea");
  if (!rs) return rs.status();
  int64_t max = rs->Eof() ? 0 : GetFieldValue(*rs, "nummer").AsInt64();
  if (max < 0) max = 0;
  if (max >= INT32_MAX) return Status::Error("Die Belegnummern der Tabelle kassea sind ausgeschöpft.");
  return static_cast<int32_t>(max + 1);
}
}  // namespace

Result<int32_t> StationContext::TryUniqueNr(const std::string& name, Connection& connection, int32_t start,
                                            int32_t maximum) {
  const std::string where = " WHERE name = " + SqlText(name) + " ";
  // Touching the row first takes its write lock on every engine, so the read
  // below and the update after it cannot interleave with another station.
  if (Status touched = connection.ExecuteWith("UPDATE uniquenr SET wert = wert WHERE name = ?", {name}); !touched) {
    return touched;
  }
  auto rs = connection.Query("SELECT * FROM uniquenr" + where);
  if (!rs) return rs.status();
  if (rs->Eof()) {
    Result<int32_t> number = name == "KABUBUNR" ? NextBelegNrOn(connection) : Result<int32_t>(start);
    if (!number) return number;
    Status inserted =
        connection.Execute("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ( " + SqlText(name) + " , " +
                           NumStr(int64_t{*number} + 1) + " , " + NumStr(start) + " , " + NumStr(maximum) + " ) ");
    if (!inserted) return inserted;
    return number;
  }
  int64_t wert = GetFieldValue(*rs, "wert").AsInt64();
  int64_t maxwert = GetFieldValue(*rs, "maxwert").AsInt64();
  // A row without a usable maximum (NULL or 0, as other programs may leave it)
  // would wrap at every draw and hand out its start value again and again; and
  // no number beyond 32 bits may be handed out.
  if (maxwert <= 0) maxwert = 999999999;
  if (maxwert > INT32_MAX) maxwert = INT32_MAX;
  if (wert > maxwert) wert = GetFieldValue(*rs, "startwert").AsInt64();
  if (Status st = connection.ExecuteWith("UPDATE uniquenr SET wert = ? WHERE name = ?", {wert + 1, name}); !st) {
    return st;
  }
  return static_cast<int32_t>(wert);
}

Result<int32_t> StationContext::GetUniqueNr(const std::string& name, Connection& connection, int32_t start,
                                            int32_t maximum) {
  if (start == 0) start = 1;
  if (maximum == 0) maximum = 999999999;
  const bool own = !connection.InTransaction();
  Status failure;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (own) {
      failure = connection.BeginTrans();
      if (!failure) break;
    }
    Result<int32_t> number = TryUniqueNr(name, connection, start, maximum);
    if (own) {
      Status stored = number ? connection.CommitTrans() : Status::Ok();
      if (!stored) number = stored;
      if (!number) (void)connection.RollbackTrans();  // what failed is reported below
    }
    if (number) return number;
    failure = number.status();
    // A new counter inserted by another station at the same moment: read it again.
    if (!own) break;
  }
  LogSqlError("Zähler " + name + " konnte nicht gelesen werden: " + failure.message(), true);
  return failure;
}

Result<int32_t> StationContext::GetNextBelegNr() { return NextBelegNrOn(*conn_); }

int32_t StationContext::GetAccountForName(const std::string& designation) {
  auto rs = conn_->Query("SELECT konto FROM kontenrahmen WHERE bez = " + SqlText(designation));
  if (!rs || rs->Eof()) return 0;
  return GetFieldValue(*rs, "konto").AsInt();
}

void StationContext::WriteSysLog(const std::string& type, std::string& text) {
  text = ReplaceAll(text, "'", "\xB4");  // the log has always stored ´ for '
  std::string memo = text.size() > 100 ? text : "";
  std::string sql = "INSERT INTO syslog (datumzeit, filnr, kasse, staid, kanr, kaname, typ, memotext, txt) VALUES (" +
                    SqlNow() + " , " + NumStr(state_.filiale) + " , " + NumStr(state_.kasse) + " , " +
                    SqlText(state_.staId.substr(0, 30)) + " , " + NumStr(state_.kaNr) + " , " +
                    SqlText(state_.kaName.substr(0, 30)) + " , " + SqlText(type) + " , " + SqlText(memo) + " , " +
                    SqlText(text.substr(0, 100)) + " ) ";
  if (Status st = ExecSQL(sql); !st) {
    ui_.MessageBox("SysLog-Eintrag fehlgeschlagen.\r\n" + text + "\r\n" + st.message(), platform::MsgKind::Critical);
  }
}

void StationContext::WriteSysLogMemo(const std::string& type, const std::string& text, std::string memo) {
  memo = ReplaceAll(memo, "'", "\xB4");
  std::string sql = "INSERT INTO syslog (datumzeit, filnr, kasse, staid, kanr, kaname, typ, txt, memotext) VALUES (" +
                    SqlNow() + " , " + NumStr(state_.filiale) + " , " + NumStr(state_.kasse) + " , " +
                    SqlText(state_.staId.substr(0, 30)) + " , " + NumStr(state_.kaNr) + " , " +
                    SqlText(state_.kaName.substr(0, 30)) + " , " + SqlText(type) + " , " +
                    SqlText(text.substr(0, 100)) + " , " + SqlText(memo) + " ) ";
  if (Status st = ExecSQL(sql); !st) {
    ui_.MessageBox("SysLog-Eintrag fehlgeschlagen.\r\n" + text + "\r\n" + st.message(), platform::MsgKind::Critical);
  }
}

std::string StationContext::SqlErrorLogPath() {
  DateTime now = env_.Now();
  char yy[8];
  std::snprintf(yy, sizeof yy, "%02d", now.date.year % 100);
  return state_.logPfad + "SQLERR" + yy + ".LOG";
}

void StationContext::LogSqlError(const std::string& message, bool quiet) {
  // The syslog turns "'" into "´"; the box and the file show the text as stored.
  std::string text = message;
  WriteSysLog("F", text);
  if (!quiet) ui_.MessageBox(text, platform::MsgKind::Critical, "ACHTUNG");
  DateTime now = env_.Now();
  std::string line =
      FormatDMY(now.date) + " " + FormatHMS(now) + " " + std::to_string(state_.kasse) + " " + text + "\r\n";
  (void)env_.AppendFile(SqlErrorLogPath(), line);  // a log that cannot be written must not stop the caller
}

}  // namespace tolven::db
