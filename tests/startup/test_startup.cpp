#include "startup/startup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "db/db_tools.h"
#include "startup/run_gateway.h"
#include "startup/scramble.h"
#include "startup_fixture.h"

namespace tolven {
namespace {

using testing::FakeUi;
using testing::StartupTest;

TEST_F(StartupTest, SqliteStartFillsTheState) {
  PutIni(SqliteIni("-3"));
  ASSERT_EQ(RunMain(), kExitOk) << Messages();
  EXPECT_EQ(Messages(), "");
  EXPECT_TRUE(ui_.inputPrompts.empty());  // the embedded engine has no login
  ASSERT_TRUE(connection_ && connection_->IsOpen());
  EXPECT_EQ(state_.exePfad, exe_ + "/");  // the separator is added
  EXPECT_EQ(state_.datumFormat, "E");  // the engine stores ISO dates only
}

// The keys the POS programs expect get their defaults, in the order they are
// read; the keys of our own never enter the shared file.
TEST_F(StartupTest, WithoutTolvenIniTheSharedKeysAreWrittenWithTheirDefaults) {
  Startup start(env_, ui_, config_.path());
  StartupState state;
  ASSERT_EQ(start.ReadConfiguration(state, false), kExitOk);
  const std::string folder = program_.path();
  EXPECT_EQ(Ini(), "[DATABASE]\r\nSERVER=(local)\r\nUSER=sa\r\nPWD=\r\nPWDC=\r\nPROVIDER=\r\nJET-PROVIDER=4.0\r\n"
                   "[PFADE]\r\nDATENBANK=" + folder + "\r\nEXE=" + folder + "/\r\n"
                   "ELPAY=C:\\Programme\\ElPay\\ElPay\\\r\n[SETUP]\r\nKASSNR=1\r\n");
}

TEST_F(StartupTest, EmptyTseKeysTakeTheirDefaults) {
  PutIni("[TSE]\r\nKASSENID=\r\nSIGALGORITHMUS= \r\n");
  StartupState state;
  state.kasse = 4;
  const fiscal::TseIdentity id = ReadTseIdentity(platform::IniFile(env_, config_.path()), state);
  EXPECT_EQ(id.registerId + " " + id.signatureAlgorithm, "TOLVENPDA-4 ecdsa-plain-SHA384");
}

// The README's table of the keys is the one the program reads with.
TEST(IniSettings, ReadmeShowsTheTableOfKeys) {
  const std::string readme = testing::ReadAll(std::string(TOLVEN_SOURCE_DIR) + "/README.md");
  EXPECT_NE(readme.find("\n\n" + SettingsMarkdownTable() + "\n"), std::string::npos)
      << "README.md, section TOLVEN.INI, should hold:\n" << SettingsMarkdownTable();
}

TEST_F(StartupTest, StationNumberAndFolders) {
  Startup start(env_, ui_, config_.path());
  StartupState state;
  for (auto [kassnr, kasse] : std::vector<std::pair<std::string, int32_t>>{
           {"-3", 3}, {"abc", 0}, {" 12 ", 12}, {"2.5", 2}, {"-2147483648", 0}, {"2147483647", 2147483647}}) {
    PutIni(SqliteIni(kassnr));
    ASSERT_EQ(start.ReadConfiguration(state, true), kExitOk);
    EXPECT_EQ(state.kasse, kasse) << "KASSNR=" << kassnr;
  }
  // An empty KASSNR and a missing EXE take their defaults and write them back.
  PutIni("[DATABASE]\r\nENGINE=sqlite\r\n[SETUP]\r\nKASSNR=\r\n");
  env_.SetNow(DateTime{Date{2027, 1, 1}, 0, 0, 0, 0});
  ASSERT_EQ(start.ReadConfiguration(state, true), kExitOk);
  EXPECT_EQ(state.engine, "SQLITE");
  EXPECT_EQ(state.kasse, 1);
  EXPECT_EQ(state.logPfad, program_.path() + "/LOG/2027/");
  EXPECT_EQ(start.ini().Read(kIniFile, "SETUP", "KASSNR") + " " + start.ini().Read(kIniFile, "PFADE", "EXE"),
            "1 " + program_.path() + "/");
  PutIni("[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nEXE=" + exe_ + "/\r\n");
  ASSERT_EQ(start.ReadConfiguration(state, true), kExitOk);
  EXPECT_EQ(state.exePfad, exe_ + "/");  // not doubled
}

// A second start and the schema creation on an existing database are covered
// end to end; here what only shows inside: files that are no database, an
// incomplete schema, a lock folder that does not exist.
TEST_F(StartupTest, InitDbNeverTouchesAnExistingFileAndNoLockFolderIsNoRunningGateway) {
  testing::TempDir dbFolder;
  const std::string notes = "Notizen, keine Datenbank\r\n" + std::string(5000, 'x');
  testing::WriteAll(dbFolder / "tolven.db", notes);
  PutIni(SqliteIni("2", dbFolder.path()));
  EXPECT_EQ(InitDb(), kExitNoDatabase);
  EXPECT_EQ(testing::ReadAll(dbFolder / "tolven.db"), notes) << "a file that is no database is never overwritten";

  std::filesystem::remove(dbFolder / "tolven.db");
  ASSERT_EQ(InitDb(), kExitOk);
  ASSERT_EQ(RunMain(), kExitOk) << Messages();
  EXPECT_EQ(state_.mwst[1], Rate::FromPercent(19));
  db::DbError err;
  ASSERT_TRUE(connection_->Execute("DROP TABLE tische", err)) << err.text;  // even an incomplete schema stays
  EXPECT_EQ(InitDb(), kExitNoDatabase);
  EXPECT_NE(Messages().find("bereits Tabellen"), std::string::npos);
  EXPECT_FALSE(connection_->Query("SELECT COUNT(*) FROM tische", err));

  FakeUi ui;
  EXPECT_EQ(OtherStart(config_.path(), ui), kExitAlreadyRunning);
  EXPECT_TRUE(ui.statuses.empty());
  EXPECT_EQ(OtherStart(config_ / "missing", ui), kExitNoLock);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_NE(ui.messages[0].text.find(config_ / "missing/tolvenpda.lock"), std::string::npos) << "not 'läuft bereits'";
  start_.reset();  // the first gateway ends: the next start works
  EXPECT_EQ(OtherStart(config_.path(), ui), kExitOk);
}

TEST_F(StartupTest, DateAndBooleanProbes) {
  struct Case {
    const char* name;
    std::string moddate, booltest;  // column definitions
    int rc;
    std::string datumFormat;
    int16_t boolTrueWert;
    std::vector<std::string> messages;  // beginnings, in order
    std::string extra = "";             // run after the table was made
  };
  const std::string text = "VARCHAR(20)", number = "SMALLINT";
  const std::vector<Case> cases = {
      {"accepts DD.MM.YYYY", text, number, kExitOk, "D", -1, {}},
      {"rejects DD.MM.YYYY", "DATETIME CHECK (moddate NOT GLOB '[0-9][0-9].[0-9][0-9].*')", number, kExitOk, "E", -1, {}},
      {"no date at all", "DATETIME CHECK (moddate IS NULL)", number, kExitOk, "E", -1, {"Unbekanntes Datumsformat !"}},
      {"rejects -1", text, "SMALLINT CHECK (booltest >= 0)", kExitOk, "D", 1,
       {"BoolTest-Fehler (3): CHECK constraint failed"}},
      {"stores -1 as 1", text, number, kExitOk, "D", 1, {},  // like a bit column
       "CREATE TRIGGER bit_like AFTER UPDATE OF booltest ON system WHEN NEW.booltest < 0 "
       "BEGIN UPDATE system SET booltest = 1; END"},
      {"holds no true", text, "SMALLINT CHECK (booltest = 0)", kExitProbeFailed, "D", 0,
       {"BoolTest-Fehler (2): ", "BoolTest-Fehler (3): ", "Boolean-TRUE-Wert konnte nicht ermittelt werden."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    db_.Exec("DROP TABLE IF EXISTS system");
    db_.Exec("CREATE TABLE system (moddate " + c.moddate + ", booltest " + c.booltest +
             ", mwst1 NUMERIC(9,4), mwst2 NUMERIC(9,4), sprache VARCHAR(10))");
    db_.Exec("INSERT INTO system (mwst1, mwst2, booltest) VALUES (16, 7.5, 0)");
    if (!c.extra.empty()) db_.Exec(c.extra);
    EXPECT_EQ(Start(SqliteIni()), c.rc);
    EXPECT_EQ(state_.datumFormat, c.datumFormat);
    EXPECT_EQ(state_.boolTrueWert, c.boolTrueWert);
    ASSERT_EQ(ui_.messages.size(), c.messages.size());
    for (size_t i = 0; i < c.messages.size(); ++i) EXPECT_TRUE(StartsWith(ui_.messages[i].text, c.messages[i]));
    if (c.rc == kExitOk) {
      EXPECT_EQ(state_.mwst[2], Rate{75000});
      EXPECT_EQ(state_.sprache, "");  // NULL reads as ""
    } else {
      EXPECT_FALSE(connection_->IsOpen());
    }
  }
}

// SQL Server: the password steps come before the engine is reached.
TEST_F(StartupTest, PasswordsAreAskedForCodedAndNeverKeptInPlain) {
  PutIni("[SETUP]\r\nKASSNR=7\r\n[DATABASE]\r\nUSER=kellner\r\n");
  EXPECT_EQ(RunMain(), kExitNoPassword);  // an empty answer ends the start
  EXPECT_EQ(ui_.inputPrompts,
            std::vector<std::string>{"DATENBANK-ZUGRIFF: Bitte geben Sie das Passwort für den Benutzer 'kellner' ein"});
  EXPECT_EQ(Messages(), "! Ohne Passwort ist leider kein Zugang zum SQL-Server möglich.\n");
  // Only the defaults read so far were written.
  EXPECT_EQ(Ini(), "[SETUP]\r\nKASSNR=7\r\n[DATABASE]\r\nUSER=kellner\r\nSERVER=(local)\r\nPWD=\r\nPWDC=\r\n");
  EXPECT_FALSE(env_.FolderExists(program_ / "LOG"));

  ui_ = FakeUi();
  ui_.inputAnswer = "pa'ss wört";
  EXPECT_EQ(RunMain(), kExitNoDatabase);
  EXPECT_EQ(ScrambleText(HexDecode(start_->ini().Read(kIniFile, "DATABASE", "PWDC"))), "pa'ss wört");

  // A plain password in the file is coded, and the next start asks nothing.
  PutIni("[DATABASE]\r\nENGINE=MSSQL\r\nSERVER=kasse01\r\nUSER=pos\r\nPWD=geheim\r\n");
  ui_ = FakeUi();
  EXPECT_EQ(RunMain(), kExitNoDatabase);
  const std::string coded = HexEncode(ScrambleText("geheim"));
  EXPECT_EQ(start_->ini().Read(kIniFile, "DATABASE", "PWD") + "/" + start_->ini().Read(kIniFile, "DATABASE", "PWDC"),
            "/" + coded);
  EXPECT_EQ(Ini().find("geheim"), std::string::npos);
  EXPECT_EQ(Messages().find("geheim"), std::string::npos) << "no password on screen";
  ui_ = FakeUi();
  EXPECT_EQ(RunMain(), kExitNoDatabase);
  EXPECT_TRUE(ui_.inputPrompts.empty());
  EXPECT_EQ(start_->password(), "geheim");
  EXPECT_EQ(Startup::SqlServerConnectionString("ODBC Driver 18", "srv", "sa", "a;b}c", "tolven"),
            "Driver={ODBC Driver 18};Server=srv;UID=sa;PWD={a;b}}c};Database=tolven;ClientCharset=CP1252");
}

TEST(ScrambleText, FixedKeystreamAppliedTwiceGivesTheInput) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(ScrambleText(ScrambleText(all)), all);
  // Coded passwords in every installation's INI depend on these codes: pinned.
  EXPECT_EQ(HexEncode(ScrambleText(std::string(8, '\0'))), "1AC041E0E0E14A62");
  // A weighted sum over the whole keystream (modulo a prime above 101 x 255):
  // any single changed code changes it.
  const std::string keystream = ScrambleText(std::string(101, '\0'));
  uint32_t sum = 0;
  for (size_t i = 0; i < keystream.size(); ++i) sum += static_cast<uint32_t>(i + 1) * static_cast<uint8_t>(keystream[i]);
  EXPECT_EQ(sum % 65521, 21632u);
  EXPECT_EQ(ScrambleText(std::string(102, '\0')).back(), ScrambleText(std::string(1, '\0')).front());
}

}  // namespace
}  // namespace tolven
