// The start-up on a server engine: the log-in failures told apart, the way
// through the master database when the database is missing, and --init-db.
// SQL Server itself is not at hand: its driver (FreeTDS) is run against no
// server, and the whole way on the PostgreSQL server of the test run, which
// takes SQL Server's place with the same start-up code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "startup_fixture.h"
#include "support/pg_server.h"

namespace tolven {
namespace {

using testing::PgTarget;
using testing::StartupTest;

// What ends the start before or at the first connection: no server needed.
TEST_F(StartupTest, SettingsAndServersThatCannotWorkEndWithTheirOwnMessage) {
  const std::string iniPath = config_ / "TOLVEN.INI";
  const std::string base = "[PFADE]\r\nEXE=" + install_.path() + "\r\n[DATABASE]\r\nPWD=x\r\n";
  const std::string failed = "Die Verbindung zur Datenbank 'tolven' konnte nicht hergestellt werden.";
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {  // messages' beginnings
      {base + "SERVER=127.0.0.1,1\r\n",
       {failed + "\r\n\r\nFehler: 20009\r\n", "Der Datenbank-Server '127.0.0.1,1' ist nicht erreichbar. Prüfen Sie "
                                              "SERVER im Abschnitt DATABASE der Datei " + iniPath}},
      {base + "ENGINE=POSTGRESQL\r\nSERVER=127.0.0.1,1\r\n", {failed, "Der Datenbank-Server '127.0.0.1,1'"}},
      {base + "SERVER=127.0.0.1,1\r\nODBCDRIVER=Kein Treiber\r\n",
       {failed, "Der ODBC-Treiber 'Kein Treiber' ist nicht installiert"}},
      {base + "SERVER=127.0.0.1,1\r\nCATALOG=tolven; DROP x\r\n",
       {"Der Datenbankname 'tolven; DROP x' (CATALOG im Abschnitt DATABASE der Datei " + iniPath + ") ist ungültig"}},
      {base + "ENGINE=ORACLE\r\n", {"Das Datenbank-System 'ORACLE' wird nicht unterstützt."}},
  };
  for (const auto& [ini, messages] : cases) {
    SCOPED_TRACE(ini);
    EXPECT_EQ(Start(ini), kExitNoDatabase);
    EXPECT_EQ(connection_, nullptr);
    ASSERT_EQ(ui_.messages.size(), messages.size()) << Messages();
    for (size_t i = 0; i < messages.size(); ++i) EXPECT_TRUE(StartsWith(ui_.messages[i].text, messages[i])) << Messages();
    // The gateway's own keys are read, never written into the shared INI file.
    for (const char* key : {"ENGINE=", "ODBCDRIVER=", "CATALOG=", "TDSVERSION="})
      EXPECT_TRUE(ini.find(key) != std::string::npos || Ini().find(key) == std::string::npos) << key;
  }
}

// A wrong log-in creates nothing; a missing database is created through the
// master database, found empty by the probes, then filled by --init-db once.
TEST_F(StartupTest, MissingDatabaseIsCreatedThroughTheMasterDatabaseThenInitDbFillsIt) {
  if (!testing::PgConfigured()) GTEST_SKIP() << "TOLVEN_TEST_PG is not set (scripts/test starts a PostgreSQL server)";
  const std::string name = testing::UniquePgDatabaseName("startup");
  const db::OdbcTarget t = PgTarget(name);
  auto ini = [&](const std::string& user) {
    return "[DATABASE]\r\nENGINE=POSTGRESQL\r\nODBCDRIVER=" + t.driver + "\r\nSERVER=" + t.server + "\r\nUSER=" + user +
           "\r\nPWD=geheim\r\nCATALOG=" + name + "\r\n[PFADE]\r\nEXE=" + install_.path() + "\r\n[SETUP]\r\nKASSNR=2\r\n";
  };
  EXPECT_EQ(Start(ini("kein_benutzer")), kExitNoDatabase);
  EXPECT_EQ(ui_.messages.size(), 2u) << Messages();
  EXPECT_EQ(Messages().find("'master'"), std::string::npos) << "a wrong login tries no database creation";

  EXPECT_EQ(Start(ini(t.user)), kExitProbeFailed);
  ASSERT_GE(ui_.messages.size(), 3u) << Messages();
  EXPECT_NE(ui_.messages[0].text.find("does not exist"), std::string::npos) << ui_.messages[0].text;
  EXPECT_EQ(ui_.messages[1].text, "Die Datenbank '" + name + "' auf Server '" + t.server +
                                     "' wurde nicht gefunden. Es wird versucht, die Datenbank anzulegen. Dazu muss "
                                     "der Zugriff auf die 'master'-Datenbank mit User 'sa' ohne Passwort ermöglicht "
                                     "werden.");
  EXPECT_EQ(ui_.messages[1].kind, platform::MsgKind::Information);
  EXPECT_EQ(ui_.messages[2].text, "Datenbank '" + name + "' wurde angelegt.");
  EXPECT_NE(Messages().find("! Boolean-TRUE-Wert konnte nicht ermittelt werden.\n"), std::string::npos);
  connection_.reset();
  start_.reset();
  ASSERT_EQ(InitDb(), kExitOk) << Messages();
  ASSERT_EQ(Start(ini(t.user)), kExitOk) << Messages();
  connection_.reset();
  start_.reset();
  EXPECT_EQ(InitDb(), kExitNoDatabase);  // a database with tables is left as it is
  EXPECT_EQ(Messages(), "! Die Datenbank enthält bereits Tabellen; es wurde nichts geändert.\n");
  testing::DropPgDatabase(name);
}

}  // namespace
}  // namespace tolven
