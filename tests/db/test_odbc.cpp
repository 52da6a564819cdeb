// The server engines as far as they go without a server: connection strings,
// diagnostic records and what they say about a failed log-in, and the
// statements a query may hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/odbc_connection.h"
#include "db/odbc_diagnostics.h"
#include "platform/system_text.h"

namespace tolven::db {
namespace {

OdbcTarget Target(OdbcEngine engine, std::string server, std::string password, std::string driver = "FreeTDS",
                  std::string tds = "", std::string encrypt = "") {
  // engine, driver, server, user, password, database, TDS version, encryption, server certificate trusted
  return {engine, driver, server, "sa", password, "tolven", tds, encrypt, encrypt};
}

TEST(OdbcConnectionString, DsnLessWithTheOptionsEachEngineNeeds) {
  const std::string freeTds = ";Database=tolven;APP=tolvenpda;ClientCharset=CP1252;TDS_Version=";
  const std::string ms = "ODBC Driver 18 for SQL Server", msTail = ";UID=sa;PWD={p}}w;x};Database=tolven;APP=tolvenpda";
  const auto ss = OdbcEngine::SqlServer;
  const std::vector<std::pair<OdbcTarget, std::string>> cases = {
      {Target(ss, "(local)", "geheim"), "Driver={FreeTDS};Server=localhost;UID=sa;PWD=geheim" + freeTds + "7.4"},
      {Target(ss, "kasse01,1433", "x"), "Driver={FreeTDS};Server=kasse01;Port=1433;UID=sa;PWD=x" + freeTds + "7.4"},
      {Target(ss, ".\\SQLEXPRESS", "x", "FreeTDS", "7.3", "ja"),
       "Driver={FreeTDS};Server=localhost\\SQLEXPRESS;UID=sa;PWD=x" + freeTds + "7.3;Encryption=require"},
      // No password: the master database is opened.
      {Target(ss, "srv", ""), "Driver={FreeTDS};Server=srv;UID=sa" + freeTds + "7.4"},
      // Microsoft's driver: port after a comma, the ODBC rule for braces, encryption as configured.
      {Target(ss, "kasse01,1433", "p}w;x", ms, "", "yes"),
       "Driver={" + ms + "};Server=kasse01,1433" + msTail + ";Encrypt=yes;TrustServerCertificate=yes"},
      // Windows' own driver: as Microsoft's newer ones, with what it was told.
      {Target(ss, "kasse01,1433", "x", "SQLSRV32.DLL"),
       "Driver={SQLSRV32.DLL};Server=kasse01,1433;UID=sa;PWD=x;Database=tolven;APP=tolvenpda"},
      // Another driver keeps the ODBC rule and the keys of old.
      {Target(ss, "srv,1433", "p}w", "TDS-Treiber"),
       "Driver={TDS-Treiber};Server=srv;Port=1433;UID=sa;PWD={p}}w};Database=tolven;ClientCharset=CP1252"},
      {Target(OdbcEngine::Postgres, "db.local,5433", "pw", ""),
       "Driver={PostgreSQL ANSI};Server=db.local;Port=5433;UID=sa;PWD=pw;Database=tolven;Protocol=7.4-0;"
       "BoolsAsChar=0;UseServerSidePrepare=0;UseDeclareFetch=0"},
  };
  for (const auto& [target, expected] : cases) EXPECT_EQ(OdbcConnectionString(target), expected);
  // Without a driver named, the one every machine of the platform has; on Linux
  // a driver registered as "SQL Server" is whatever odbcinst.ini says it is.
  const std::string native = platform::DefaultSqlServerOdbcDriver();
  EXPECT_EQ(OdbcConnectionString(Target(ss, "srv", "", "")).rfind("Driver={" + native + "};Server=srv;UID=sa", 0), 0u);
  EXPECT_EQ(SqlServerDriverOf("SQL Server"),
            native == "SQL Server" ? SqlServerDriver::Classic : SqlServerDriver::Other);
  // For messages: the password never shows.
  EXPECT_EQ(OdbcConnectionStringForLog(Target(ss, "srv", "geheim")),
            "Driver={FreeTDS};Server=srv;UID=sa;PWD=***" + freeTds + "7.4");
  EXPECT_EQ(UnsendableLogin(Target(ss, "srv", "x};y", ms)), "") << "the ODBC rule can write every value";
}

// Records as FreeTDS delivers them (psqlODBC's, a server not there and a
// driver not installed: the start-up tests): what a failed log-in means, and
// the number, state and text of the first record that is not a warning.
TEST(OdbcDiagnostics, FailuresAreToldApartByTheirRecords) {
  struct Case {
    std::vector<DiagRecord> records;
    OpenFailure failure;
    std::string told;  // number|state|text, the text's beginning
  };
  const std::string ft = "[FreeTDS][SQL Server]";
  const DiagRecord loginFailed{"28000", 18456, ft + "Login failed for user 'sa'."};
  const DiagRecord unableToConnect{"08001", 0, ft + "Unable to connect to data source"};
  const DiagRecord noDatabase{"42000", 4060, ft + "Cannot open database \"tolven\" requested by the login."};
  const DiagRecord german{"S1000", 0, "[Microsoft][ODBC SQL Server Driver]Fehler bei der Anmeldung für 'sa'."};
  const std::vector<Case> cases = {
      {{noDatabase, loginFailed, unableToConnect}, OpenFailure::MissingDatabase, "4060|42000|Cannot open"},
      {{loginFailed, unableToConnect}, OpenFailure::BadLogin, "18456|28000|Login failed"},
      {{{"28000", 0, ft + "Login incorrect."}}, OpenFailure::BadLogin, "-1|28000|Login incorrect."},
      {{german}, OpenFailure::BadLogin, "-1|S1000|Fehler"},
      // A server that accepts and never answers: no server number, so nothing to create.
      {{{"HYT00", 0, ft + "Login timeout expired"}, unableToConnect}, OpenFailure::Unreachable, "-1|HYT00|Login t"},
      {{{"HYT00", 0, ft + "Timeout"}, {"42000", 262, ft + "denied"}}, OpenFailure::Other, "-1|HYT00|Timeout / "},
      {{{"42000", 262, ft + "CREATE DATABASE permission denied."}}, OpenFailure::Other, "262|42000|CREATE"},
      // The error, not the warning in front of it; no record at all is still a failure with a text.
      {{{"01000", 5701, ft + "Changed database context to 'tolven'."}, {"42S02", 208, ft + "Invalid object 'x'."}},
       OpenFailure::Other,
       "208|42S02|Invalid object 'x'.|FreeTDS SQL Server"},
      {{}, OpenFailure::Other, "-1||Unbekannter Datenbankfehler|SQL Server"},
  };
  for (const auto& c : cases) {
    DriverError err;
    FillError(OdbcEngine::SqlServer, c.records, err);
    const std::string told = std::to_string(err.number) + "|" + err.sqlState + "|" + err.text + "|" + err.source;
    EXPECT_EQ(told.substr(0, c.told.size()), c.told);
    EXPECT_EQ(ClassifyOpenFailure(OdbcEngine::SqlServer, err), c.failure) << told;
    EXPECT_EQ(err.nativeNumbers.size(), c.records.size()) << told;
    EXPECT_EQ(err.text.find_first_of("[\n"), std::string::npos) << told;  // no driver prefix, one line
  }
}

TEST(HoldsSeveralStatements, OnlyWhatFollowsAnUnquotedSemicolonCounts) {
  for (const char* sql : {"SELECT 1 ;  \r\n", "SELECT 'O''Neil; x'", "SELECT \"a;b\", [a;b] FROM t",
                          "SELECT 1 -- ; DELETE\n", "SELECT 1 /* ; DELETE */"})
    EXPECT_FALSE(HoldsSeveralStatements(sql)) << sql;
  for (const char* sql : {"SELECT 1;DELETE FROM kass", "SELECT 1; 'x'"})
    EXPECT_TRUE(HoldsSeveralStatements(sql)) << sql;
}

}  // namespace
}  // namespace tolven::db
