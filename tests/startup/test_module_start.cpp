#include "startup/module_start.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "startup/scramble.h"
#include "startup_fixture.h"

namespace tolven {
namespace {

using platform::MsgKind;
using testing::FakeUi;
using testing::StartupTest;
using testing::WriteAll;

TEST_F(StartupTest, SqliteStartFillsTheStateInOrder) {
  PutIni(SqliteIni("-3"));
  ASSERT_EQ(RunMain(), kExitOk);
  for (const auto& m : ui_.messages) ADD_FAILURE() << m.text;

  EXPECT_EQ(ui_.statuses, (std::vector<std::string>{"Lese INI...", "Prüfe Datumsformat...",
                                                    "Datenbank wird geöffnet...",
                                                    "Verbindung zum Datenbank-Server wird aufgebaut...",
                                                    "Prüfe Datenbank-Datumsformat..."}));
  EXPECT_TRUE(ui_.inputPrompts.empty());  // the embedded engine has no login
  ASSERT_TRUE(connection_ && connection_->IsOpen());

  EXPECT_EQ(state_.engine, "SQLITE");
  EXPECT_EQ(state_.dbTyp, "MS-SQL");
  EXPECT_EQ(state_.filiale, 1);
  EXPECT_EQ(state_.kasse, 3);
  EXPECT_EQ(state_.exePfad, exe_ + "/");
  EXPECT_EQ(state_.logPfad, exe_ + "/LOG/2026/");
  EXPECT_TRUE(env_.FolderExists(exe_ + "/LOG/2026/TSE"));
  EXPECT_EQ(state_.archivPfad, exe_ + "/ARCHIV/");
  EXPECT_EQ(state_.archivDtaPfad, exe_ + "/ARCHIV/DTA/");
  EXPECT_EQ(state_.archivBonPfad, exe_ + "/ARCHIV/BON/");
  EXPECT_EQ(state_.reKopfDatei, program_ / "REKOPF.RTF");
  EXPECT_EQ(state_.voucherDatei, program_ / "voucher.RTF");
  EXPECT_EQ(state_.datumFormat, "E");  // the engine stores ISO dates only
  EXPECT_EQ(state_.boolTrueWert, -1);
  EXPECT_EQ(state_.mwst[0].units, 0);
  EXPECT_EQ(state_.mwst[1], Rate::FromPercent(19));
  EXPECT_EQ(state_.mwst[2], Rate::FromPercent(7));
  EXPECT_EQ(state_.sprache, "DE");
  EXPECT_TRUE(state_.tseInUse && state_.tseViaServer && state_.dbIsClientServer);
  EXPECT_EQ(state_.kaNr, 0);
  EXPECT_EQ(state_.kaName, "");
  EXPECT_EQ(db_.Scalar("SELECT moddate FROM system"), "2000-12-31");
  EXPECT_EQ(db_.Scalar("SELECT booltest FROM system"), "-1");

  // Missing keys were written back with their defaults, in the order they are read.
  EXPECT_EQ(Ini(), "[DATABASE]\r\nENGINE=SQLITE\r\nSERVER=(local)\r\nUSER=sa\r\nPWD=\r\nPWDC=\r\nPROVIDER=\r\n"
                   "JET-PROVIDER=4.0\r\n[PFADE]\r\nDATENBANK=" + db_.folder() + "\r\nEXE=" + exe_ +
                   "\r\nELPAY=C:\\Programme\\ElPay\\ElPay\\\r\n[SETUP]\r\nKASSNR=-3\r\n");
}

TEST_F(StartupTest, StationNumberAndFolders) {
  struct Case {
    std::string kassnr;
    int32_t kasse;
  };
  const std::vector<Case> cases = {
      {"-3", 3}, {"abc", 0}, {"7", 7}, {" 12 ", 12}, {"2.5", 2}, {"5x", 5}, {"-2147483648", 0}, {"2147483647", 2147483647},
  };
  for (const auto& c : cases) {
    PutIni(SqliteIni(c.kassnr));
    ModuleStart start(env_, ui_, config_.path());
    StartupState state;
    ASSERT_EQ(start.ReadConfiguration(state, true), kExitOk);
    EXPECT_EQ(state.kasse, c.kasse) << "KASSNR=" << c.kassnr;
  }

  // An empty KASSNR and a missing EXE take their defaults and write them back.
  PutIni("[DATABASE]\r\nENGINE=SQLITE\r\n[SETUP]\r\nKASSNR=\r\n");
  env_.SetNow(DateTime{Date{2027, 1, 1}, 0, 0, 0, 0});
  ModuleStart start(env_, ui_, config_.path());
  StartupState state;
  ASSERT_EQ(start.ReadConfiguration(state, true), kExitOk);
  EXPECT_EQ(state.kasse, 1);
  EXPECT_EQ(state.exePfad, program_.path() + "/");
  EXPECT_EQ(state.logPfad, program_.path() + "/LOG/2027/");
  EXPECT_EQ(state.datenbankPfad, program_.path());
  EXPECT_EQ(start.ini().Read(kIniFile, "SETUP", "KASSNR"), "1");
  EXPECT_EQ(start.ini().Read(kIniFile, "PFADE", "EXE"), program_.path() + "/");

  // A trailing separator is not doubled.
  PutIni("[DATABASE]\r\nENGINE=sqlite\r\n[PFADE]\r\nEXE=" + exe_ + "/\r\n");
  ASSERT_EQ(start.ReadConfiguration(state, true), kExitOk);
  EXPECT_EQ(state.exePfad, exe_ + "/");
  EXPECT_EQ(state.engine, "SQLITE");
}

TEST_F(StartupTest, MissingDatabaseFileIsReportedAndNotCreated) {
  testing::TempDir empty;
  PutIni(SqliteIni("1", empty.path()));
  EXPECT_EQ(RunMain(), kExitNoDatabase);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_EQ(ui_.messages[0].kind, MsgKind::Critical);
  EXPECT_NE(ui_.messages[0].text.find(empty / "tolven.db"), std::string::npos) << ui_.messages[0].text;
  EXPECT_NE(ui_.messages[0].text.find("--init-db"), std::string::npos);
  EXPECT_FALSE(env_.FileExists(empty / "tolven.db"));
  EXPECT_EQ(connection_, nullptr);
}

TEST_F(StartupTest, SecondInstanceEndsAtOnce) {
  PutIni(SqliteIni());
  ASSERT_EQ(RunMain(), kExitOk);
  const std::string iniBefore = Ini();

  FakeUi secondUi;
  ModuleStart second(env_, secondUi, config_.path());
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  EXPECT_EQ(second.Main(state, connection), kExitAlreadyRunning);
  ASSERT_EQ(secondUi.messages.size(), 1u);
  EXPECT_EQ(secondUi.messages[0].text, "Programm läuft bereits.");
  EXPECT_EQ(secondUi.messages[0].kind, MsgKind::Information);
  EXPECT_TRUE(secondUi.statuses.empty());
  EXPECT_EQ(connection, nullptr);
  EXPECT_FALSE(state.tseInUse);
  EXPECT_EQ(Ini(), iniBefore);

  start_.reset();  // the first gateway ends: the next start works
  FakeUi thirdUi;
  ModuleStart third(env_, thirdUi, config_.path());
  EXPECT_EQ(third.Main(state, connection), kExitOk);
}

TEST_F(StartupTest, UnusableConfigurationFolderIsNotTakenForARunningGateway) {
  FakeUi ui;
  ModuleStart start(env_, ui, config_ / "missing");
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  EXPECT_EQ(start.Main(state, connection), kExitNoLock);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].kind, MsgKind::Critical);
  EXPECT_EQ(ui.messages[0].text.find("Programm läuft bereits."), std::string::npos);
  EXPECT_NE(ui.messages[0].text.find(config_ / "missing/tolvenpda.lock"), std::string::npos);
}

// The `system` table of another server: the probes find out what it accepts.
struct ProbeCase {
  const char* name;
  std::string moddate;   // column definition
  std::string booltest;  // column definition
  std::string extra;     // statement run after the table was made
  int rc;
  std::string datumFormat;
  int16_t boolTrueWert;
  std::vector<std::string> messages;  // beginnings, in order
};

TEST_F(StartupTest, DateAndBooleanProbes) {
  const std::string mdy = "DATETIME CHECK (moddate NOT GLOB '[0-9][0-9].[0-9][0-9].*')";
  const std::vector<ProbeCase> cases = {
      {"accepts DD.MM.YYYY", "VARCHAR(20)", "SMALLINT", "", kExitOk, "D", -1, {}},
      {"rejects DD.MM.YYYY", mdy, "SMALLINT", "", kExitOk, "E", -1, {}},
      {"no date at all", "DATETIME CHECK (moddate IS NULL)", "SMALLINT", "", kExitOk, "E", -1,
       {"Unbekanntes Datumsformat !"}},
      {"rejects -1", "VARCHAR(20)", "SMALLINT CHECK (booltest >= 0)", "", kExitOk, "D", 1,
       {"BoolTest-Fehler (3): CHECK constraint failed"}},
      // A bit column: -1 goes in, 1 comes back.
      {"stores -1 as 1", "VARCHAR(20)", "SMALLINT",
       "CREATE TRIGGER bit_like AFTER UPDATE OF booltest ON system WHEN NEW.booltest < 0 "
       "BEGIN UPDATE system SET booltest = 1; END",
       kExitOk, "D", 1, {}},
      {"holds no true", "VARCHAR(20)", "SMALLINT CHECK (booltest = 0)", "", kExitProbeFailed, "D", 0,
       {"BoolTest-Fehler (2): ", "BoolTest-Fehler (3): ", "Boolean-TRUE-Wert konnte nicht ermittelt werden."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    db_.Exec("DROP TABLE IF EXISTS system");
    db_.Exec("CREATE TABLE system (moddate " + c.moddate + ", booltest " + c.booltest +
             ", mwst1 NUMERIC(9,4), mwst2 NUMERIC(9,4), sprache VARCHAR(10))");
    db_.Exec("INSERT INTO system (mwst1, mwst2, booltest) VALUES (16, 7.5, 0)");
    if (!c.extra.empty()) db_.Exec(c.extra);
    PutIni(SqliteIni());
    ui_ = FakeUi();
    state_ = StartupState();
    connection_.reset();

    EXPECT_EQ(RunMain(), c.rc);
    EXPECT_EQ(state_.datumFormat, c.datumFormat);
    EXPECT_EQ(state_.boolTrueWert, c.boolTrueWert);
    ASSERT_EQ(ui_.messages.size(), c.messages.size());
    for (size_t i = 0; i < c.messages.size(); ++i) {
      EXPECT_EQ(ui_.messages[i].text.rfind(c.messages[i], 0), 0u) << ui_.messages[i].text;
      EXPECT_EQ(ui_.messages[i].kind, MsgKind::Critical);
    }
    if (c.rc == kExitOk) {
      EXPECT_EQ(state_.mwst[1], Rate::FromPercent(16));
      EXPECT_EQ(state_.mwst[2], Rate{75000});
      EXPECT_EQ(state_.sprache, "");  // NULL language reads as ""
    } else {
      EXPECT_FALSE(connection_->IsOpen());
    }
    start_.reset();
  }
}

// SQL Server: the password steps. The engine itself is not there yet, so the
// start ends with a clear message after them.
TEST_F(StartupTest, PlainPasswordIsCodedAndTheSecondStartAsksNothing) {
  PutIni("[DATABASE]\r\nENGINE=MSSQL\r\nSERVER=kasse01\r\nUSER=pos\r\nPWD=geheim\r\n");
  EXPECT_EQ(RunMain(), kExitNoDatabase);
  EXPECT_TRUE(ui_.inputPrompts.empty());
  EXPECT_EQ(start_->password(), "geheim");
  const std::string coded = HexEncode(ScrambleText("geheim"));
  EXPECT_EQ(start_->ini().Read(kIniFile, "DATABASE", "PWD"), "");
  EXPECT_EQ(start_->ini().Read(kIniFile, "DATABASE", "PWDC"), coded);
  EXPECT_EQ(Ini().find("geheim"), std::string::npos);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_NE(ui_.messages[0].text.find("MSSQL"), std::string::npos) << ui_.messages[0].text;
  EXPECT_EQ(ui_.messages[0].text.find("geheim"), std::string::npos);  // no password on screen
  start_.reset();

  FakeUi secondUi;
  ModuleStart second(env_, secondUi, config_.path());
  StartupState state;
  std::unique_ptr<db::Connection> connection;
  EXPECT_EQ(second.Main(state, connection), kExitNoDatabase);
  EXPECT_TRUE(secondUi.inputPrompts.empty());
  EXPECT_EQ(second.password(), "geheim");
  EXPECT_EQ(second.ini().Read(kIniFile, "DATABASE", "PWDC"), coded);
}

TEST_F(StartupTest, WithoutAnyPasswordTheInputBoxAsksAndAnEmptyAnswerEnds) {
  PutIni("[SETUP]\r\nKASSNR=7\r\n");
  ui_.inputAnswer = "";
  EXPECT_EQ(RunMain(), kExitNoPassword);
  EXPECT_EQ(ui_.inputPrompts,
            std::vector<std::string>{"DATENBANK-ZUGRIFF: Bitte geben Sie das Passwort für den Benutzer 'sa' ein"});
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_EQ(ui_.messages[0].text, "Ohne Passwort ist leider kein Zugang zum SQL-Server möglich.");
  EXPECT_EQ(ui_.messages[0].kind, MsgKind::Critical);
  EXPECT_EQ(ui_.statuses, std::vector<std::string>{"Lese INI..."});
  // The section was created with the defaults read so far, and nothing else.
  EXPECT_EQ(Ini(), "[SETUP]\r\nKASSNR=7\r\n[DATABASE]\r\nSERVER=(local)\r\nUSER=sa\r\nPWD=\r\nPWDC=\r\n");
  EXPECT_FALSE(env_.FolderExists(program_ / "LOG"));
}

TEST_F(StartupTest, PasswordFromTheInputBoxIsStoredCoded) {
  PutIni("[DATABASE]\r\nUSER=kellner\r\n");
  ui_.inputAnswer = "pa'ss wört";
  EXPECT_EQ(RunMain(), kExitNoDatabase);  // engine not there yet
  EXPECT_EQ(ui_.inputPrompts,
            std::vector<std::string>{"DATENBANK-ZUGRIFF: Bitte geben Sie das Passwort für den Benutzer 'kellner' ein"});
  EXPECT_EQ(start_->ini().Read(kIniFile, "DATABASE", "PWDC"), HexEncode(ScrambleText("pa'ss wört")));
  EXPECT_EQ(start_->ini().Read(kIniFile, "DATABASE", "PWD"), "");
  EXPECT_EQ(ScrambleText(HexDecode(start_->ini().Read(kIniFile, "DATABASE", "PWDC"))), "pa'ss wört");
}

TEST(ScrambleText, FixedKeystreamAppliedTwiceGivesTheInput) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(ScrambleText(ScrambleText(all)), all);
  EXPECT_EQ(ScrambleText(""), "");
  EXPECT_NE(ScrambleText("geheim"), "geheim");
  // Coded passwords in every installation's INI depend on these codes: pinned.
  EXPECT_EQ(HexEncode(ScrambleText(std::string(8, '\0'))), "1AC041E0E0E14A62");
  EXPECT_EQ(HexEncode(ScrambleText(std::string(101, '\0'))).substr(192), "C3DCFBF078");
  EXPECT_EQ(ScrambleText(std::string(102, '\0')).back(), ScrambleText(std::string(1, '\0')).front());
}

TEST(SqlServerConnectionString, ValuesWithSpecialCharactersAreBraced) {
  EXPECT_EQ(ModuleStart::SqlServerConnectionString("FreeTDS", "kasse01", "sa", "pw", "tolven"),
            "Driver=FreeTDS;Server=kasse01;UID=sa;PWD=pw;Database=tolven;ClientCharset=CP1252");
  EXPECT_EQ(ModuleStart::SqlServerConnectionString("FreeTDS", "(local)", "sa", "", "tolven"),
            "Driver=FreeTDS;Server=(local);UID=sa;Database=tolven;ClientCharset=CP1252");
  EXPECT_EQ(ModuleStart::SqlServerConnectionString("ODBC Driver 18", "srv", "sa", "a;b}c", "tolven"),
            "Driver={ODBC Driver 18};Server=srv;UID=sa;PWD={a;b}}c};Database=tolven;ClientCharset=CP1252");
}

}  // namespace
}  // namespace tolven
