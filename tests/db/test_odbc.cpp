// The server engines as far as they go without a server: connection strings,
// diagnostic records and what they say about a failed log-in, and the
// statement texts of SQL Server.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "db/dialect.h"
#include "db/odbc_connection.h"
#include "db/odbc_diagnostics.h"

namespace tolven::db {
namespace {

OdbcTarget Target(OdbcEngine engine, std::string server, std::string user, std::string password,
                  std::string tds = "") {
  return {.engine = engine, .driver = "", .server = std::move(server), .user = std::move(user),
          .password = std::move(password), .database = "tolven", .tdsVersion = std::move(tds), .encrypt = "",
          .trustServerCertificate = ""};
}

TEST(OdbcConnectionString, DsnLessWithTheOptionsEachEngineNeeds) {
  const std::string freeTds = ";Database=tolven;APP=tolvenpda;ClientCharset=CP1252;TDS_Version=";
  // server, user, password, TDS version -> the part between the driver and the options
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"(local)", "sa", "geheim", ""}, "Server=localhost;UID=sa;PWD=geheim"},
      {{"kasse01,1433", "sa", "x", ""}, "Server=kasse01;Port=1433;UID=sa;PWD=x"},
      {{".\\SQLEXPRESS", "sa", "x", "7.3"}, "Server=localhost\\SQLEXPRESS;UID=sa;PWD=x"},
      {{"srv,notaport", "sa", "x", ""}, "Server=srv,notaport;UID=sa;PWD=x"},
      {{"srv", "sa", "", ""}, "Server=srv;UID=sa"},  // no password: the master database is opened
  };
  // (Braces around values FreeTDS would misread: the stand-in server tests.)
  for (const auto& [t, expected] : cases) {
    EXPECT_EQ(OdbcConnectionString(Target(OdbcEngine::SqlServer, t[0], t[1], t[2], t[3])),
              "Driver={FreeTDS};" + expected + freeTds + (t[3].empty() ? "7.4" : t[3]))
        << t[0] << " / " << t[1];
  }

  // Microsoft's driver: port after a comma, the ODBC rule for braces, encryption as configured.
  OdbcTarget ms = Target(OdbcEngine::SqlServer, "kasse01,1433", "sa", "p}w;x");
  ms.driver = "ODBC Driver 18 for SQL Server";
  EXPECT_EQ(OdbcConnectionString(ms),
            "Driver={ODBC Driver 18 for SQL Server};Server=kasse01,1433;UID=sa;PWD={p}}w;x};Database=tolven;"
            "APP=tolvenpda");
  ms.server = "(local)\\SQLEXPRESS";
  ms.encrypt = "yes";
  ms.trustServerCertificate = "yes";
  EXPECT_EQ(OdbcConnectionString(ms),
            "Driver={ODBC Driver 18 for SQL Server};Server=localhost\\SQLEXPRESS;UID=sa;PWD={p}}w;x};"
            "Database=tolven;APP=tolvenpda;Encrypt=yes;TrustServerCertificate=yes");
  ms.password = "x};y";
  EXPECT_EQ(UnsendableLogin(ms), "") << "the ODBC rule can write every value";
  // Another driver keeps the ODBC rule and the keys of old.
  OdbcTarget other = Target(OdbcEngine::SqlServer, "srv,1433", "sa", "p}w");
  other.driver = "SQL Server";
  EXPECT_EQ(OdbcConnectionString(other),
            "Driver={SQL Server};Server=srv;Port=1433;UID=sa;PWD={p}}w};Database=tolven;ClientCharset=CP1252");
  OdbcTarget encrypted = Target(OdbcEngine::SqlServer, "srv", "sa", "x");
  encrypted.encrypt = "ja";
  EXPECT_EQ(OdbcConnectionString(encrypted), "Driver={FreeTDS};Server=srv;UID=sa;PWD=x" + freeTds + "7.4;Encryption=require");
  EXPECT_EQ(OdbcConnectionString(Target(OdbcEngine::Postgres, "db.local,5433", "kasse", "pw")),
            "Driver={PostgreSQL ANSI};Server=db.local;Port=5433;UID=kasse;PWD=pw;Database=tolven;Protocol=7.4-0;"
            "BoolsAsChar=0;UseServerSidePrepare=0;UseDeclareFetch=0");
  OdbcTarget named = Target(OdbcEngine::SqlServer, "(local)", "sa", "geheim");
  // For messages: the password never shows.
  const std::string forLog = OdbcConnectionStringForLog(named);
  EXPECT_TRUE(forLog.find("geheim") == std::string::npos && forLog.find("PWD=***") != std::string::npos) << forLog;
  EXPECT_EQ(OdbcConnectionStringForLog(Target(OdbcEngine::SqlServer, "srv", "sa", "")).find("PWD"), std::string::npos);
}

// Records as FreeTDS, unixODBC and psqlODBC deliver them.
TEST(OdbcDiagnostics, LoginFailuresAreToldApartByTheirRecords) {
  struct Case {
    std::string what;
    OdbcEngine engine;
    std::vector<DiagRecord> records;
    OpenFailure failure;
    int32_t number;
  };
  const std::string ft = "[FreeTDS][SQL Server]";
  const DiagRecord loginFailed{"28000", 18456, ft + "Login failed for user 'sa'."};
  const DiagRecord unableToConnect{"08001", 0, ft + "Unable to connect to data source"};
  const auto ss = OdbcEngine::SqlServer;
  std::vector<Case> cases = {
      {"missing database", ss,
       {{"42000", 4060, ft + "Cannot open database \"tolven\" requested by the login. The login failed."}, loginFailed,
        unableToConnect},
       OpenFailure::MissingDatabase, 4060},
      {"default database unavailable", ss,
       {{"42000", 4064, ft + "Cannot open user default database. Login failed."}, loginFailed},
       OpenFailure::MissingDatabase, 4064},
      {"wrong password", ss, {loginFailed, unableToConnect}, OpenFailure::BadLogin, 18456},
      {"wrong password, state only", ss, {{"28000", 0, ft + "Login incorrect."}}, OpenFailure::BadLogin, -1},
      {"wrong password, German text only", ss,
       {{"S1000", 0, "[Microsoft][ODBC SQL Server Driver]Fehler bei der Anmeldung für den Benutzer 'sa'."}},
       OpenFailure::BadLogin, -1},
      {"server not there", ss,
       {{"08S01", 20009, ft + "Unable to connect: Adaptive Server is unavailable or does not exist"}, unableToConnect},
       OpenFailure::Unreachable, 20009},
      // A server that accepts and never answers: no server number, so nothing to create.
      {"log-in time-out", ss, {{"HYT00", 0, ft + "Login timeout expired"}, unableToConnect}, OpenFailure::Unreachable,
       -1},
      {"time-out with a server number", ss, {{"HYT00", 0, ft + "Timeout"}, {"42000", 262, ft + "denied"}},
       OpenFailure::Other, -1},
      {"driver not installed", ss,
       {{"01000", 0, "[unixODBC][Driver Manager]Can't open lib 'FreeTDS' : file not found"}}, OpenFailure::NoDriver,
       -1},
      {"something else", ss, {{"42000", 262, ft + "CREATE DATABASE permission denied."}}, OpenFailure::Other, 262},
  };
  // psqlODBC tells everything in one record, 08001 / 101.
  const std::string pgFailed = "connection to server at \"127.0.0.1\", port 5432 failed: ";
  for (const auto& [text, failure] : std::vector<std::pair<std::string, OpenFailure>>{
           {pgFailed + "FATAL:  database \"tolven\" does not exist\n", OpenFailure::MissingDatabase},
           {pgFailed + "FATAL:  role \"kasse\" does not exist\n", OpenFailure::BadLogin},
           {pgFailed + "FATAL:  password authentication failed for user \"kasse\"\n", OpenFailure::BadLogin},
           {pgFailed + "Connection refused\n\tIs the server running on that host and accepting TCP/IP connections?\n",
            OpenFailure::Unreachable},
           {"could not translate host name \"kasse9\" to address: Name or service not known\n",
            OpenFailure::Unreachable}})
    cases.push_back({text, OdbcEngine::Postgres, {{"08001", 101, text}}, failure, 101});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DbError err;
    FillError(c.engine, c.records, err);
    EXPECT_EQ(ClassifyOpenFailure(c.engine, err), c.failure);
    EXPECT_EQ(err.number, c.number);
    EXPECT_EQ(err.nativeNumbers.size(), c.records.size());
    EXPECT_FALSE(err.text.empty());
    EXPECT_EQ(err.text.find("[FreeTDS]"), std::string::npos) << err.text;
    EXPECT_EQ(err.text.find('\n'), std::string::npos) << err.text;
  }
}

TEST(OdbcDiagnostics, ErrorTextNumberStateAndSource) {
  DbError err;
  auto told = [&] { return std::to_string(err.number) + "|" + err.sqlState + "|" + err.text + "|" + err.source; };
  FillError(OdbcEngine::SqlServer,
            {{"01000", 5701, "[FreeTDS][SQL Server]Changed database context to 'tolven'."},
             {"42S02", 208, "[FreeTDS][SQL Server]Invalid object name 'kasx'."}},
            err);
  // The error, not the warning in front of it.
  EXPECT_EQ(told(), "208|42S02|Invalid object name 'kasx'.|FreeTDS SQL Server");
  EXPECT_EQ(err.nativeNumbers, (std::vector<int32_t>{5701, 208}));
  FillError(OdbcEngine::Postgres,
            {{"42P01", 1, "ERROR: relation \"kasx\" does not exist;\nError while executing the query"}}, err);
  EXPECT_EQ(told(), "1|42P01|relation \"kasx\" does not exist|PostgreSQL");
  // Only warnings: they are all there is to tell.
  FillError(OdbcEngine::SqlServer, {{"01000", 0, "[FreeTDS][SQL Server]Adaptive Server connection failed"}}, err);
  EXPECT_EQ(told(), "-1|01000|Adaptive Server connection failed|FreeTDS SQL Server");
  // A failure is never error number 0, and never without a text.
  FillError(OdbcEngine::SqlServer, {}, err);
  EXPECT_TRUE(err.number == -1 && !err.text.empty());
}

TEST(HoldsSeveralStatements, OnlyWhatFollowsAnUnquotedSemicolonCounts) {
  for (const char* sql : {"SELECT 1", "SELECT 1;", "SELECT 1 ;  \r\n", "SELECT * FROM kunden WHERE name = 'a;b'",
                          "SELECT * FROM kunden WHERE name = 'O''Neil; x'", "SELECT \"a;b\" FROM t",
                          "SELECT [a;b] FROM t", "SELECT 1 -- ; DELETE\n", "SELECT 1 /* ; DELETE */"})
    EXPECT_FALSE(HoldsSeveralStatements(sql)) << sql;
  for (const char* sql : {"SELECT 1; DELETE FROM kass", "SELECT 1;DELETE FROM kass", "SELECT 1; 'x'"})
    EXPECT_TRUE(HoldsSeveralStatements(sql)) << sql;
}

// SQL Server's texts: no server of that kind runs in the tests. The other
// engines' texts are run against their engines throughout the suite.
TEST(Dialects, StatementTextsOfSqlServer) {
  const Dialect& d = SqlServerDialect();
  EXPECT_EQ(d.SelectTop(1, "saldo FROM kdkto ORDER BY datumzeit DESC"),
            "SELECT TOP 1 saldo FROM kdkto ORDER BY datumzeit DESC");
  EXPECT_EQ(d.CreateDatabase("tolven") + "|" + d.AdminDatabase() + "|" + d.Len("txt"),
            "CREATE DATABASE tolven COLLATE Latin1_General_CI_AS|Master|LEN(txt)");
  for (const char* name : {"MSSQL", "mssql", ""}) EXPECT_EQ(DialectByName(name), &d) << name;  // empty ENGINE too
  EXPECT_EQ(DialectByName("POSTGRESQL"), &PostgresDialect());
  EXPECT_EQ(DialectByName("oracle"), nullptr);
  // SQL Server reports a lock it did not grant by a return value only: it must be turned into an error.
  const std::string lock = d.LockForWriting();
  EXPECT_NE(lock.find("EXEC @r = sp_getapplock"), std::string::npos) << lock;
  EXPECT_NE(lock.find("IF @r < 0 RAISERROR("), std::string::npos) << lock;
  // Rows locked by the query itself.
  EXPECT_EQ(d.SelectLocked("id", "bestellung", "id IN ( 7 )"),
            "SELECT id FROM bestellung WITH (UPDLOCK, ROWLOCK) WHERE id IN ( 7 )");
}

}  // namespace
}  // namespace tolven::db
