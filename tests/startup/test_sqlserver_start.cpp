// The start-up on a server engine: the connection, the way through the master
// database when the database is missing, the log-in failures told apart, and
// --init-db. SQL Server itself is not at hand: its driver (FreeTDS) is run
// against no server, and the whole way is run on the PostgreSQL server of the
// test run, which takes SQL Server's place with the same start-up code.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/text.h"
#include "startup_fixture.h"
#include "support/pg_server.h"

namespace tolven {
namespace {

using platform::MsgKind;
using testing::PgTarget;

// TOLVEN.INI for the PostgreSQL server of the test run and a database.
class ServerStart : public testing::StartupTest {
 protected:
  std::string PgIni(const std::string& database, const std::string& user = "") {
    const db::OdbcTarget t = PgTarget(database);
    return "[DATABASE]\r\nENGINE=POSTGRESQL\r\nODBCDRIVER=" + t.driver + "\r\nSERVER=" + t.server +
           "\r\nUSER=" + (user.empty() ? t.user : user) + "\r\nPWD=geheim\r\nCATALOG=" + database +
           "\r\n[PFADE]\r\nEXE=" + install_.path() + "\r\n[SETUP]\r\nKASSNR=2\r\n";
  }
  bool DatabaseExists(const std::string& name) {
    std::string error;
    auto admin = testing::OpenPg("postgres", error);
    db::DbError err;
    auto rs = admin ? admin->Query("SELECT datname FROM pg_database WHERE datname = '" + name + "'", err) : nullptr;
    return rs && !rs->Eof();
  }
  // A database name of the server, dropped at the end.
  std::string NewName() {
    made.push_back(testing::UniquePgDatabaseName("startup"));
    return made.back();
  }
  void TearDown() override {
    connection_.reset();
    for (const auto& name : made) testing::DropPgDatabase(name);
  }
  std::vector<std::string> made;
};

#define REQUIRE_PG() \
  if (!testing::PgConfigured()) GTEST_SKIP() << "TOLVEN_TEST_PG is not set (scripts/test starts a PostgreSQL server)"

// No server needed: what ends the start before or at the first connection.
TEST_F(ServerStart, SettingsAndServersThatCannotWorkEndWithTheirOwnMessage) {
  const std::string iniPath = config_ / "TOLVEN.INI";
  struct Case {
    const char* what;
    std::string ini;
    std::vector<std::string> messages;  // beginnings, in order
  };
  const std::string base = "[PFADE]\r\nEXE=" + install_.path() + "\r\n[DATABASE]\r\nPWD=x\r\n";
  const std::vector<Case> cases = {
      {"SQL Server not there (FreeTDS)", base + "SERVER=127.0.0.1,1\r\n",
       {"Die Verbindung zur Datenbank 'tolven' konnte nicht hergestellt werden.\r\n\r\nFehler: 20009\r\n",
        "Der Datenbank-Server '127.0.0.1,1' ist nicht erreichbar. Prüfen Sie SERVER im Abschnitt DATABASE der Datei " +
            iniPath}},
      {"PostgreSQL not there", base + "ENGINE=POSTGRESQL\r\nSERVER=127.0.0.1,1\r\n",
       {"Die Verbindung zur Datenbank 'tolven' konnte nicht hergestellt werden.",
        "Der Datenbank-Server '127.0.0.1,1'"}},
      {"driver not installed", base + "SERVER=127.0.0.1,1\r\nODBCDRIVER=Kein Treiber\r\n",
       {"Die Verbindung zur Datenbank 'tolven' konnte nicht hergestellt werden.",
        "Der ODBC-Treiber 'Kein Treiber' ist nicht installiert"}},
      {"database name that would change the statement", base + "SERVER=127.0.0.1,1\r\nCATALOG=tolven; DROP x\r\n",
       {"Der Datenbankname 'tolven; DROP x' (CATALOG im Abschnitt DATABASE der Datei " + iniPath + ") ist ungültig"}},
      {"unknown engine", base + "ENGINE=ORACLE\r\n", {"Das Datenbank-System 'ORACLE' wird nicht unterstützt."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Start(c.ini), kExitNoDatabase);
    EXPECT_EQ(connection_, nullptr);
    ASSERT_EQ(ui_.messages.size(), c.messages.size()) << Messages();
    for (size_t i = 0; i < c.messages.size(); ++i) {
      EXPECT_TRUE(StartsWith(ui_.messages[i].text, c.messages[i])) << ui_.messages[i].text;
    }
    EXPECT_EQ(Messages().find("'master'"), std::string::npos) << "no attempt to create a database";
    // The gateway's own keys are read, never written into the shared INI file.
    for (const char* key : {"ENGINE=", "ODBCDRIVER=", "CATALOG=", "TDSVERSION="}) {
      EXPECT_TRUE(c.ini.find(key) != std::string::npos || Ini().find(key) == std::string::npos) << key;
    }
  }
}

TEST_F(ServerStart, MissingDatabaseIsCreatedThroughTheMasterDatabaseThenInitDbFillsIt) {
  REQUIRE_PG();
  const std::string name = NewName();
  const std::string server = PgTarget(name).server;
  EXPECT_EQ(Start(PgIni(name)), kExitProbeFailed);
  ASSERT_GE(ui_.messages.size(), 3u) << Messages();
  EXPECT_TRUE(StartsWith(ui_.messages[0].text, "Die Verbindung zur Datenbank '" + name +
                                                  "' konnte nicht hergestellt werden.\r\n\r\nFehler: "));
  EXPECT_NE(ui_.messages[0].text.find("does not exist"), std::string::npos) << ui_.messages[0].text;
  EXPECT_EQ(ui_.messages[1].text, "Die Datenbank '" + name + "' auf Server '" + server +
                                     "' wurde nicht gefunden. Es wird versucht, die Datenbank anzulegen. Dazu muss "
                                     "der Zugriff auf die 'master'-Datenbank mit User 'sa' ohne Passwort ermöglicht "
                                     "werden.");
  EXPECT_EQ(ui_.messages[1].kind, MsgKind::Information);
  EXPECT_EQ(ui_.messages[2].text, "Datenbank '" + name + "' wurde angelegt.");
  EXPECT_NE(std::find(ui_.statuses.begin(), ui_.statuses.end(), "Datenbank wird angelegt..."), ui_.statuses.end());
  EXPECT_TRUE(DatabaseExists(name));
  // The new database is empty: the probes find no `system` table and end the start.
  EXPECT_NE(Messages().find("! Unbekanntes Datumsformat !\n"), std::string::npos) << Messages();
  EXPECT_NE(Messages().find("! Boolean-TRUE-Wert konnte nicht ermittelt werden.\n"), std::string::npos);
  connection_.reset();
  start_.reset();

  ASSERT_EQ(InitDb(), kExitOk) << Messages();
  EXPECT_EQ(ui_.logLines, std::vector<std::string>{"Datenbank angelegt."});
  ASSERT_EQ(Start(PgIni(name)), kExitOk) << Messages();
  EXPECT_EQ(Messages(), "");
  connection_.reset();
  start_.reset();

  // A database with tables is left as it is.
  EXPECT_EQ(InitDb(), kExitNoDatabase);
  EXPECT_EQ(Messages(), "! Die Datenbank enthält bereits Tabellen; es wurde nichts geändert.\n");
}

// A login the server refuses, and one that may not create databases: each
// refusal is reported, never a database announced as created.
TEST_F(ServerStart, WrongOrPowerlessLoginsCreateNothing) {
  REQUIRE_PG();
  const std::string name = NewName();
  EXPECT_EQ(Start(PgIni(name, "kein_benutzer")), kExitNoDatabase);
  EXPECT_EQ(ui_.messages.size(), 2u) << Messages();
  EXPECT_EQ(Messages().find("'master'"), std::string::npos) << "a wrong login tries no database creation";

  const std::string role = testing::UniquePgDatabaseName("ohne_recht");
  std::string error;
  auto admin = testing::OpenPg("postgres", error);
  ASSERT_TRUE(admin) << error;
  db::DbError err;
  ASSERT_TRUE(admin->Execute("CREATE ROLE " + role + " LOGIN NOCREATEDB", err)) << err.text;
  EXPECT_EQ(Start(PgIni(name, role)), kExitNoDatabase);
  admin->Execute("DROP ROLE " + role, err);
  ASSERT_EQ(ui_.messages.size(), 3u) << Messages();
  EXPECT_TRUE(
      StartsWith(ui_.messages[2].text, "Die Datenbank '" + name + "' konnte nicht angelegt werden.\r\n\r\nFehler: "))
      << ui_.messages[2].text;
  EXPECT_NE(ui_.messages[2].text.find("permission denied"), std::string::npos) << ui_.messages[2].text;
  EXPECT_EQ(Messages().find("wurde angelegt"), std::string::npos);
  EXPECT_FALSE(DatabaseExists(name));
}

}  // namespace
}  // namespace tolven
