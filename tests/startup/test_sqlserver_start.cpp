// The start-up on a server engine: the connection, the way through the master
// database when the database is missing, the log-in failures told apart, and
// --init-db. SQL Server itself is not at hand: its driver (FreeTDS) is run
// against no server, and the whole way is run on the PostgreSQL server of the
// test run, which takes SQL Server's place with the same start-up code.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "startup/init_db.h"
#include "startup/module_start.h"
#include "startup/scramble.h"
#include "support/fake_env.h"
#include "support/pg_server.h"

namespace tolven {
namespace {

using platform::MsgKind;
using testing::FakeEnv;
using testing::FakeUi;
using testing::PgConfigured;
using testing::PgTarget;
using testing::ReadAll;
using testing::TempDir;
using testing::WriteAll;

class ServerStart : public ::testing::Test {
 protected:
  ServerStart() { env.programFolder = program.path(); }

  // TOLVEN.INI for the PostgreSQL server of the test run and a database.
  std::string PgIni(const std::string& database, const std::string& user = "") {
    const db::OdbcTarget t = PgTarget(database);
    return "[DATABASE]\r\nENGINE=POSTGRESQL\r\nODBCDRIVER=" + t.driver + "\r\nSERVER=" + t.server +
           "\r\nUSER=" + (user.empty() ? t.user : user) + "\r\nPWD=geheim\r\nCATALOG=" + database +
           "\r\n[PFADE]\r\nEXE=" + install.path() + "\r\n[SETUP]\r\nKASSNR=2\r\n";
  }
  int Start(const std::string& ini) {
    WriteAll(config / "TOLVEN.INI", ini);
    ui = FakeUi();
    state = StartupState();
    connection.reset();
    start = std::make_unique<ModuleStart>(env, ui, config.path());
    return start->Main(state, connection);
  }
  int InitDb() {
    ui = FakeUi();
    ModuleStart init(env, ui, config.path());
    return InitDatabase(init, ui);
  }
  // The message texts, one per line, for comparing the whole conversation.
  std::string Messages() const {
    std::string out;
    for (const auto& m : ui.messages) out += (m.kind == MsgKind::Critical ? "! " : "i ") + m.text + "\n";
    return out;
  }
  bool DatabaseExists(const std::string& name) {
    std::string error;
    auto admin = testing::OpenPg("postgres", error);
    db::DbError err;
    auto rs = admin ? admin->Query("SELECT datname FROM pg_database WHERE datname = '" + name + "'", err) : nullptr;
    return rs && !rs->Eof();
  }

  TempDir config, program, install;
  FakeEnv env;
  FakeUi ui;
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  std::unique_ptr<ModuleStart> start;
};

// No server needed: what ends the start before or at the first connection.
TEST_F(ServerStart, SettingsAndServersThatCannotWorkEndWithTheirOwnMessage) {
  const std::string iniPath = config / "TOLVEN.INI";
  struct Case {
    const char* what;
    std::string ini;
    std::vector<std::string> messages;  // beginnings, in order
  };
  const std::string base = "[PFADE]\r\nEXE=" + install.path() + "\r\n[DATABASE]\r\nPWD=x\r\n";
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
    EXPECT_EQ(connection, nullptr);
    ASSERT_EQ(ui.messages.size(), c.messages.size()) << Messages();
    for (size_t i = 0; i < c.messages.size(); ++i) {
      EXPECT_TRUE(StartsWith(ui.messages[i].text, c.messages[i])) << ui.messages[i].text;
    }
    EXPECT_EQ(Messages().find("'master'"), std::string::npos) << "no attempt to create a database";
    EXPECT_EQ(Messages().find("geheim"), std::string::npos);
  }
}

// The server engine's keys are read, never written into the shared INI file.
TEST_F(ServerStart, ServerKeysOfTheGatewayAreNotWrittenBack) {
  EXPECT_EQ(Start("[DATABASE]\r\nSERVER=127.0.0.1,1\r\nPWD=x\r\n[PFADE]\r\nEXE=" + install.path() + "\r\n"),
            kExitNoDatabase);
  const std::string ini = ReadAll(config / "TOLVEN.INI");
  for (const char* key : {"ENGINE", "ODBCDRIVER", "CATALOG", "TDSVERSION"}) {
    EXPECT_EQ(ini.find(std::string(key) + "="), std::string::npos) << key;
  }
  EXPECT_NE(ini.find("PWDC=" + HexEncode(ScrambleText("x"))), std::string::npos);
}

class ServerStartOnPg : public ServerStart {
 protected:
  void SetUp() override {
    if (!PgConfigured()) GTEST_SKIP() << "TOLVEN_TEST_PG is not set (scripts/test starts a PostgreSQL server)";
  }
  void TearDown() override {
    connection.reset();
    for (const auto& name : made) testing::DropPgDatabase(name);
  }
  std::string NewName() {
    made.push_back(testing::UniquePgDatabaseName("startup"));
    return made.back();
  }
  std::vector<std::string> made;
};

TEST_F(ServerStartOnPg, ProbesOnTheServerFillTheState) {
  for (const bool dayFirst : {false, true}) {
    SCOPED_TRACE(dayFirst ? "server takes DD.MM.YYYY" : "server takes ISO and MM/DD/YYYY");
    const std::string name = NewName();
    std::string error;
    ASSERT_TRUE(testing::CreatePgDatabase(name, true, error)) << error;
    if (dayFirst) {
      auto admin = testing::OpenPg("postgres", error);
      db::DbError err;
      ASSERT_TRUE(admin && admin->Execute("ALTER DATABASE " + name + " SET DateStyle = 'ISO, DMY'", err)) << err.text;
    }
    ASSERT_EQ(Start(PgIni(name)), kExitOk) << Messages();
    EXPECT_EQ(Messages(), "");
    EXPECT_EQ(ui.statuses[3], "Verbindung zum Datenbank-Server wird aufgebaut...");
    EXPECT_EQ(state.engine, "POSTGRESQL");
    EXPECT_EQ(state.datumFormat, dayFirst ? "D" : "E");
    EXPECT_EQ(state.boolTrueWert, -1);
    EXPECT_EQ(state.mwst[1], Rate::FromPercent(19));
    EXPECT_EQ(state.sprache, "DE");
    EXPECT_EQ(state.kasse, 2);
    EXPECT_EQ(connection->dialect().Name(), std::string("POSTGRESQL"));
    // The probed date literal is the one the server takes.
    db::DbError err;
    const std::string literal = dayFirst ? "'05.03.2026 10:00:00'" : "'2026-03-05 10:00:00'";
    EXPECT_TRUE(connection->Execute("UPDATE system SET moddate = " + literal, err)) << err.text;
    EXPECT_EQ(start->ini().Read(kIniFile, "DATABASE", "PWD"), "");
  }
}

TEST_F(ServerStartOnPg, MissingDatabaseIsCreatedThroughTheMasterDatabaseThenInitDbFillsIt) {
  const std::string name = NewName();
  const std::string server = PgTarget(name).server;
  EXPECT_EQ(Start(PgIni(name)), kExitProbeFailed);
  ASSERT_GE(ui.messages.size(), 3u) << Messages();
  EXPECT_TRUE(StartsWith(ui.messages[0].text, "Die Verbindung zur Datenbank '" + name +
                                                  "' konnte nicht hergestellt werden.\r\n\r\nFehler: "));
  EXPECT_NE(ui.messages[0].text.find("does not exist"), std::string::npos) << ui.messages[0].text;
  EXPECT_EQ(ui.messages[1].text, "Die Datenbank '" + name + "' auf Server '" + server +
                                     "' wurde nicht gefunden. Es wird versucht, die Datenbank anzulegen. Dazu muss "
                                     "der Zugriff auf die 'master'-Datenbank mit User 'sa' ohne Passwort ermöglicht "
                                     "werden.");
  EXPECT_EQ(ui.messages[1].kind, MsgKind::Information);
  EXPECT_EQ(ui.messages[2].text, "Datenbank '" + name + "' wurde angelegt.");
  EXPECT_NE(std::find(ui.statuses.begin(), ui.statuses.end(), "Datenbank wird angelegt..."), ui.statuses.end());
  EXPECT_TRUE(DatabaseExists(name));
  // The new database is empty: the probes find no `system` table and end the start.
  EXPECT_NE(Messages().find("! Unbekanntes Datumsformat !\n"), std::string::npos) << Messages();
  EXPECT_NE(Messages().find("! Boolean-TRUE-Wert konnte nicht ermittelt werden.\n"), std::string::npos);
  connection.reset();
  start.reset();

  ASSERT_EQ(InitDb(), kExitOk) << Messages();
  EXPECT_EQ(ui.logLines, std::vector<std::string>{"Datenbank angelegt."});
  ASSERT_EQ(Start(PgIni(name)), kExitOk) << Messages();
  EXPECT_EQ(Messages(), "");
  connection.reset();
  start.reset();

  // A database with tables is left as it is.
  EXPECT_EQ(InitDb(), kExitNoDatabase);
  EXPECT_EQ(Messages(), "! Die Datenbank enthält bereits Tabellen; es wurde nichts geändert.\n");
}

TEST_F(ServerStartOnPg, AWrongLoginEndsWithTheHintAndCreatesNothing) {
  const std::string name = NewName();
  EXPECT_EQ(Start(PgIni(name, "kein_benutzer")), kExitNoDatabase);
  ASSERT_EQ(ui.messages.size(), 2u) << Messages();
  EXPECT_NE(ui.messages[0].text.find("role \"kein_benutzer\" does not exist"), std::string::npos);
  EXPECT_EQ(ui.messages[1].text, "Bitte tragen Sie Benutzer und Anmeldepasswort für die Datenbank in der Datei " +
                                     config / "TOLVEN.INI" + " ein und versuchen es erneut.");
  EXPECT_EQ(ui.messages[1].kind, MsgKind::Information);
  EXPECT_FALSE(DatabaseExists(name));
}

// A login that may not create databases: the refusal is reported, never a
// database announced as created.
TEST_F(ServerStartOnPg, ARefusedCreateDatabaseIsReported) {
  const std::string name = NewName();
  const std::string role = testing::UniquePgDatabaseName("ohne_recht");
  std::string error;
  auto admin = testing::OpenPg("postgres", error);
  ASSERT_TRUE(admin) << error;
  db::DbError err;
  ASSERT_TRUE(admin->Execute("CREATE ROLE " + role + " LOGIN NOCREATEDB", err)) << err.text;
  EXPECT_EQ(Start(PgIni(name, role)), kExitNoDatabase);
  admin->Execute("DROP ROLE " + role, err);
  ASSERT_EQ(ui.messages.size(), 3u) << Messages();
  EXPECT_TRUE(
      StartsWith(ui.messages[2].text, "Die Datenbank '" + name + "' konnte nicht angelegt werden.\r\n\r\nFehler: "))
      << ui.messages[2].text;
  EXPECT_NE(ui.messages[2].text.find("permission denied"), std::string::npos) << ui.messages[2].text;
  EXPECT_EQ(Messages().find("wurde angelegt"), std::string::npos);
  EXPECT_FALSE(DatabaseExists(name));
}

}  // namespace
}  // namespace tolven
