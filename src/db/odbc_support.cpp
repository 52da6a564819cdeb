// Connection strings, diagnostic records, failure classes and schema scripts of
// the ODBC engines: everything about them that needs no server.
#include <algorithm>

#include "common/cp1252.h"
#include "common/text.h"
#include "db/odbc_api.h"
#include "db/odbc_connection.h"
#include "db/odbc_diagnostics.h"
#include "platform/system_text.h"

namespace tolven::db {

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return ToUpper(text).find(ToUpper(part)) != std::string::npos;
}

// "(local)" and "." are SQL Server's names for this machine; the drivers here
// resolve host names only.
std::string HostName(const std::string& host) {
  std::string u = ToUpper(host);
  if (u.empty() || u == "(LOCAL)" || u == "." || u == "(LOCALHOST)") return "localhost";
  return host;
}

// "host,port" -> host and port; "host\instance" stays whole (the driver asks
// the server's browser service for the instance's port).
void SplitServer(const std::string& server, std::string& host, std::string& port) {
  std::string s = TrimBlanks(server);
  port.clear();
  size_t comma = s.rfind(',');
  if (comma != std::string::npos) {
    std::string p = TrimBlanks(s.substr(comma + 1));
    if (!p.empty() && std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      port = p;
      s = TrimBlanks(s.substr(0, comma));
    }
  }
  size_t slash = s.find('\\');
  if (slash != std::string::npos) {
    host = HostName(s.substr(0, slash)) + s.substr(slash);
  } else {
    host = HostName(s);
  }
}

// "yes"/"no" and their usual spellings; "" for anything else.
std::string YesNo(const std::string& value) {
  const std::string u = ToUpper(TrimBlanks(value));
  if (u == "YES" || u == "JA" || u == "TRUE" || u == "1" || u == "ON" || u == "MANDATORY") return "yes";
  if (u == "NO" || u == "NEIN" || u == "FALSE" || u == "0" || u == "OFF" || u == "OPTIONAL") return "no";
  return "";
}

std::string BuildString(const OdbcTarget& t, const std::string& password) {
  std::string host, port;
  SplitServer(t.server, host, port);
  const std::string driver = t.driver.empty() ? DefaultOdbcDriver(t.engine) : t.driver;
  const SqlServerDriver kind = t.engine == OdbcEngine::SqlServer ? SqlServerDriverOf(driver) : SqlServerDriver::Other;
  auto value = [&](const std::string& v) { return kind == SqlServerDriver::FreeTds ? FreeTdsValue(v) : OdbcValue(v); };
  // Driver names hold blanks ("PostgreSQL ANSI"); braces are the usual form for them.
  std::string s = "Driver={" + ReplaceAll(driver, "}", "}}") + "};Server=";
  if (kind == SqlServerDriver::Microsoft || kind == SqlServerDriver::Classic) {
    // Microsoft's drivers have no port key: the port follows the host after a comma.
    s += value(port.empty() ? host : host + "," + port);
  } else {
    s += value(host);
    if (!port.empty()) s += ";Port=" + port;
  }
  s += ";UID=" + value(t.user);
  if (!password.empty()) s += ";PWD=" + value(password);
  s += ";Database=" + value(t.database);
  if (t.engine == OdbcEngine::Postgres) {
    // 7.4-0: a failed statement aborts the transaction on the server, so the
    // rest of a settlement cannot be committed without it. BoolsAsChar=0:
    // booleans are numbers. Server-side prepare off: every statement is sent as
    // it is, as the program has no parameters.
    s += ";Protocol=7.4-0;BoolsAsChar=0;UseServerSidePrepare=0;UseDeclareFetch=0";
    return s;
  }
  // The program's name shows in the server's session list, so an administrator
  // sees who holds the application lock.
  if (kind != SqlServerDriver::Other) s += ";APP=tolvenpda";
  if (kind == SqlServerDriver::Microsoft || kind == SqlServerDriver::Classic) {
    // Their character set follows the process's locale or code page; the newer
    // one encrypts and checks the certificate unless told otherwise. The
    // classic one knows Encrypt and TrustServerCertificate as yes/no only.
    if (!TrimBlanks(t.encrypt).empty()) s += ";Encrypt=" + value(TrimBlanks(t.encrypt));
    if (!TrimBlanks(t.trustServerCertificate).empty()) {
      s += ";TrustServerCertificate=" + value(TrimBlanks(t.trustServerCertificate));
    }
    return s;
  }
  s += ";ClientCharset=CP1252";
  // A driver of unknown kind gets the keys of old: only what is configured.
  if (kind == SqlServerDriver::Other) {
    if (!t.tdsVersion.empty()) s += ";TDS_Version=" + value(t.tdsVersion);
    return s;
  }
  s += ";TDS_Version=" + value(t.tdsVersion.empty() ? std::string(kDefaultTdsVersion) : t.tdsVersion);
  const std::string encrypt = YesNo(t.encrypt);
  if (!encrypt.empty()) s += std::string(";Encryption=") + (encrypt == "yes" ? "require" : "off");
  return s;
}

// "[FreeTDS][SQL Server]Login failed" -> source "FreeTDS SQL Server", text "Login failed".
void StripPrefixes(std::string& message, std::string& source) {
  std::string s;
  while (!message.empty() && message[0] == '[') {
    size_t end = message.find(']');
    if (end == std::string::npos) break;
    if (!s.empty()) s += " ";
    s += message.substr(1, end - 1);
    message.erase(0, end + 1);
  }
  if (!s.empty()) source = s;
}

// One line: line ends and tabs of multi-line server texts become single blanks;
// the fixed tail psqlODBC appends to every server error goes.
std::string OneLine(std::string text) {
  for (const char* tail : {"Error while executing the query", "Error while preparing parameters"}) {
    size_t at = text.find(tail);
    if (at != std::string::npos) text.erase(at);
  }
  std::string out;
  bool blank = false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  while (!out.empty() && out.back() == ';') out.pop_back();
  return out;
}

}  // namespace

bool IsPlainDatabaseName(const std::string& name) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (name.empty() || name.size() > 63 || !letter(name[0])) return false;
  return std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '_'; });
}

std::string DefaultOdbcDriver(OdbcEngine engine) {
  return engine == OdbcEngine::Postgres ? "PostgreSQL ANSI" : platform::DefaultSqlServerOdbcDriver();
}

std::string OdbcValue(const std::string& value) {
  if (value.find_first_of(";{}=") == std::string::npos && TrimBlanks(value) == value) return value;
  return "{" + ReplaceAll(value, "}", "}}") + "}";
}

std::string FreeTdsValue(const std::string& value) {
  if (value.find_first_of(";{}=") == std::string::npos && TrimBlanks(value) == value) return value;
  return "{" + value + "}";
}

bool FreeTdsValueWritable(const std::string& value) { return value.find("};") == std::string::npos; }

SqlServerDriver SqlServerDriverOf(const std::string& driver) {
  const std::string u = ToUpper(driver);
  if (u.find("FREETDS") != std::string::npos || u.find("LIBTDSODBC") != std::string::npos) {
    return SqlServerDriver::FreeTds;
  }
  if ((u.find("ODBC DRIVER") != std::string::npos && u.find("SQL SERVER") != std::string::npos) ||
      u.find("MSODBCSQL") != std::string::npos) {
    return SqlServerDriver::Microsoft;
  }
  // "SQL Server" is Windows' own driver there; on Linux odbcinst.ini may give
  // that name to any driver, which then keeps the keys of old.
  const bool windowsName = u == "SQL SERVER" && ToUpper(platform::DefaultSqlServerOdbcDriver()) == u;
  if (windowsName || u.find("SQLSRV32") != std::string::npos) return SqlServerDriver::Classic;
  return SqlServerDriver::Other;
}

std::string UnsendableLogin(const OdbcTarget& target) {
  if (target.engine != OdbcEngine::SqlServer) return "";
  const std::string driver = target.driver.empty() ? DefaultOdbcDriver(target.engine) : target.driver;
  if (SqlServerDriverOf(driver) != SqlServerDriver::FreeTds) return "";
  const char* what = !FreeTdsValueWritable(target.user)       ? "Der Benutzername"
                     : !FreeTdsValueWritable(target.password) ? "Das Passwort"
                                                              : nullptr;
  if (what) {
    return std::string(what) +
           " enthält die Zeichenfolge '};', die der ODBC-Treiber FreeTDS nicht übermitteln "
           "kann. Wählen Sie für die Datenbank-Anmeldung einen Benutzernamen und ein Passwort ohne '};'.";
  }
  // FreeTDS sends the log-in as Latin-1: "€" and the other characters of 80
  // to 9F hex would reach the server as other characters, and the server
  // would refuse a password nobody typed.
  auto latin1Differs = [](const std::string& v) {
    return std::any_of(v.begin(), v.end(), [](char c) {
      return static_cast<unsigned char>(c) >= 0x80 && static_cast<unsigned char>(c) <= 0x9F;
    });
  };
  what = latin1Differs(target.user) ? "Der Benutzername" : latin1Differs(target.password) ? "Das Passwort" : nullptr;
  if (!what) return "";
  return std::string(what) +
         " enthält ein Zeichen wie \"€\" oder \"Š\", das der ODBC-Treiber FreeTDS nicht unverändert übermitteln "
         "kann. Wählen Sie für die Datenbank-Anmeldung einen Benutzernamen und ein Passwort ohne solche Zeichen.";
}

std::string OdbcConnectionString(const OdbcTarget& target) { return BuildString(target, target.password); }

std::string OdbcConnectionStringForLog(const OdbcTarget& target) {
  return BuildString(target, target.password.empty() ? "" : "***");
}

void FillError(OdbcEngine engine, const std::vector<DiagRecord>& records, DriverError& err) {
  err.Clear();
  err.source = engine == OdbcEngine::Postgres ? "PostgreSQL" : "SQL Server";
  const DiagRecord* first = nullptr;
  for (const DiagRecord& r : records) {
    if (r.sqlState.rfind("01", 0) != 0) {
      first = &r;
      break;
    }
  }
  const bool onlyWarnings = first == nullptr;
  if (onlyWarnings && !records.empty()) first = &records.front();
  std::string source;
  for (const DiagRecord& r : records) {
    err.nativeNumbers.push_back(r.native == 0 ? -1 : r.native);
    if (!onlyWarnings && r.sqlState.rfind("01", 0) == 0) continue;
    std::string message = r.message;
    std::string recordSource;
    StripPrefixes(message, recordSource);
    message = OneLine(message);
    // PostgreSQL's severity word in front says nothing the failure does not.
    for (const char* severity : {"ERROR: ", "FATAL: ", "PANIC: "}) {
      if (message.rfind(severity, 0) == 0) message.erase(0, std::string(severity).size());
    }
    if (source.empty()) source = recordSource;
    if (message.empty() || err.text.find(message) != std::string::npos) continue;
    if (!err.text.empty()) err.text += " / ";
    err.text += message;
  }
  if (!source.empty()) err.source = source;
  if (first) {
    err.number = first->native == 0 ? -1 : first->native;
    err.sqlState = first->sqlState;
  } else {
    err.number = -1;
  }
  if (err.text.empty()) err.text = "Unbekannter Datenbankfehler";
}

void ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, OdbcEngine engine, SQLRETURN rc, DriverError& err) {
  std::vector<DiagRecord> records;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[8] = {0};
    SQLINTEGER native = 0;
    std::string message(1024, '\0');
    SQLSMALLINT len = 0;
    SQLRETURN r = SQLGetDiagRec(handleType, handle, i, state, &native, reinterpret_cast<SQLCHAR*>(message.data()),
                                static_cast<SQLSMALLINT>(message.size()), &len);
    if (r == SQL_SUCCESS_WITH_INFO && len >= static_cast<SQLSMALLINT>(message.size())) {
      message.assign(static_cast<size_t>(len) + 1, '\0');
      r = SQLGetDiagRec(handleType, handle, i, state, &native, reinterpret_cast<SQLCHAR*>(message.data()),
                        static_cast<SQLSMALLINT>(message.size()), &len);
    }
    if (!SQL_SUCCEEDED(r)) break;
    message.resize(std::min(static_cast<size_t>(len < 0 ? 0 : len), message.size()));
    if (engine == OdbcEngine::Postgres) message = Utf8ToCp1252(message);
    records.push_back({reinterpret_cast<const char*>(state), static_cast<int32_t>(native), message});
    if (i > 50) break;
  }
  FillError(engine, records, err);
  if (records.empty()) err.text = "ODBC-Aufruf fehlgeschlagen (Rückgabewert " + std::to_string(rc) + ")";
}

OpenFailure ClassifyOpenFailure(OdbcEngine engine, const DriverError& err) {
  auto has = [&](int32_t n) {
    return std::find(err.nativeNumbers.begin(), err.nativeNumbers.end(), n) != err.nativeNumbers.end();
  };
  // The driver manager found no driver: no server was even asked.
  if (err.sqlState.rfind("IM", 0) == 0 || Contains(err.text, "Can't open lib") ||
      Contains(err.text, "Data source name not found")) {
    return OpenFailure::NoDriver;
  }
  if (engine == OdbcEngine::SqlServer) {
    // 4060 comes together with 18456 ("login failed"), and its German text
    // ends in "Fehler bei der Anmeldung": it must win over both.
    if (has(4060) || has(4064)) return OpenFailure::MissingDatabase;
    if (has(18456) || err.sqlState == "28000" || Contains(err.text, "Fehler bei der Anmeldung")) {
      return OpenFailure::BadLogin;
    }
    if (has(20009) || err.sqlState == "08S01" || has(20013)) return OpenFailure::Unreachable;
    // A log-in time-out or a refused connection with no number of the server's
    // own (FreeTDS's are 20000 and up): nobody answered, so creating the
    // database would only wait for the same silence twice more.
    const bool serverNumber =
        std::any_of(err.nativeNumbers.begin(), err.nativeNumbers.end(), [](int32_t n) { return n > 0 && n < 20000; });
    if ((err.sqlState == "HYT00" || err.sqlState == "08001") && !serverNumber) return OpenFailure::Unreachable;
    return OpenFailure::Other;
  }
  // PostgreSQL through psqlODBC: every refused connection is 08001; the server's
  // texts (English in the clusters the gateway is tested on) tell them apart.
  if (Contains(err.text, "database \"") && Contains(err.text, "does not exist")) return OpenFailure::MissingDatabase;
  if (Contains(err.text, "authentication failed") || Contains(err.text, "role \"") ||
      Contains(err.text, "no password supplied") || Contains(err.text, "no pg_hba.conf entry") ||
      err.sqlState == "28000" || err.sqlState == "28P01") {
    return OpenFailure::BadLogin;
  }
  if (Contains(err.text, "could not connect") || Contains(err.text, "Connection refused") ||
      Contains(err.text, "could not translate host name") || Contains(err.text, "timeout expired") ||
      Contains(err.text, "Is the server running")) {
    return OpenFailure::Unreachable;
  }
  return OpenFailure::Other;
}

std::vector<std::string> SplitScript(const std::string& script) {
  std::vector<std::string> out;
  std::string current;
  bool inQuote = false;
  auto flush = [&]() {
    std::string s = current;
    current.clear();
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && (s.back() == ';' || space(s.back()))) s.pop_back();
    size_t start = 0;
    while (start < s.size() && space(s[start])) ++start;
    if (start < s.size()) out.push_back(s.substr(start));
  };
  size_t pos = 0;
  while (pos <= script.size()) {
    size_t end = script.find('\n', pos);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = end + 1;
    std::string trimmed = TrimBlanks(line);
    if (!inQuote && (ToUpper(trimmed) == "GO" || trimmed.rfind("--", 0) == 0 || trimmed.empty())) {
      if (ToUpper(trimmed) == "GO") flush();
      if (end == script.size()) break;
      continue;
    }
    for (char c : line) {
      if (c == '\'') inQuote = !inQuote;
    }
    current += line;
    current += '\n';
    if (!inQuote && !trimmed.empty() && trimmed.back() == ';') flush();
    if (end == script.size()) break;
  }
  flush();
  return out;
}

bool HoldsSeveralStatements(const std::string& sql) {
  bool ended = false;
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (c == '\'' || c == '"' || c == '[') {
      const char close = c == '[' ? ']' : c;
      // A doubled closing character inside is part of the quoted text.
      for (++i; i < sql.size(); ++i) {
        if (sql[i] == close) {
          if (i + 1 < sql.size() && sql[i + 1] == close) {
            ++i;
            continue;
          }
          break;
        }
      }
      if (ended) return true;
      continue;
    }
    if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      size_t end = sql.find('\n', i);
      i = end == std::string::npos ? sql.size() : end;
      continue;
    }
    if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      size_t end = sql.find("*/", i + 2);
      i = end == std::string::npos ? sql.size() : end + 1;
      continue;
    }
    if (c == ';') {
      ended = true;
      continue;
    }
    if (ended && c != ' ' && c != '\t' && c != '\r' && c != '\n') return true;
  }
  return false;
}

Status ExecuteScript(Connection& connection, const std::string& script) {
  if (Status begun = connection.BeginTrans(); !begun) return begun;
  for (const std::string& statement : SplitScript(script)) {
    if (Status done = connection.Execute(statement); !done) {
      (void)connection.RollbackTrans();  // the failure below says why
      return Status::EngineError(done.message() + " (" + statement.substr(0, 80) + ")", done.code(), done.state(),
                                 done.kind(), done.source());
    }
  }
  return connection.CommitTrans();
}

}  // namespace tolven::db
