// The start-up as the gateway runs it: the shared INI keys, passwords, the
// probes of the database, the server engines' failures and the way through
// the master database, the folders, temporary files and database an installed
// gateway meets, a second gateway of the same station, and --check.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/cp1252.h"
#include "common/text.h"
#include "startup/check.h"
#include "startup/ini_settings.h"
#include "startup/init_db.h"
#include "startup/run_gateway.h"
#include "startup/scramble.h"
#include "startup/startup.h"
#include "support/fake_devices.h"
#include "support/pg_server.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

const std::string kSep = platform::kPathSepText;

// A configuration folder with TOLVEN.INI, a program folder, an installation
// folder and a real SQLite database, for running the start-up as the gateway does.
class StartupTest : public ::testing::Test {
 protected:
  StartupTest() { env_.programFolder = program_.path(); }  // never the real /opt/tolven

  void PutIni(const std::string& contents) { WriteAll(config_ / "TOLVEN.INI", contents); }
  std::string Ini() const { return ReadAll(config_ / "TOLVEN.INI"); }
  // A start in start_, which holds the instance lock until it is reset.
  int RunMain() {
    start_ = std::make_unique<Startup>(env_, ui_, config_.path());
    return start_->Main(state_, connection_);
  }
  // A fresh start on the given INI, with a new screen and state.
  int Start(const std::string& ini) {
    start_.reset();
    connection_.reset();
    PutIni(ini);
    ui_ = FakeUi();
    state_ = StartupState();
    return RunMain();
  }
  // --init-db, after the first start has ended.
  int InitDb() {
    connection_.reset();
    ui_ = FakeUi();
    start_ = std::make_unique<Startup>(env_, ui_, config_.path());
    return InitDatabase(*start_, ui_);
  }
  // The message texts, one per line ("!" critical, "i" otherwise).
  std::string Messages() const {
    std::string out;
    for (const auto& m : ui_.messages) out += (m.kind == platform::MsgKind::Critical ? "! " : "i ") + m.text + "\n";
    return out;
  }

  TempDir config_, program_, install_;
  TestDb db_;
  FakeEnv env_;
  FakeUi ui_;
  std::string exe_ = install_ / "kasse";
  StartupState state_;
  std::unique_ptr<db::Connection> connection_;
  std::unique_ptr<Startup> start_;
};

// SQL Server, without TOLVEN.INI: the password steps come before the engine
// is reached, and the keys the POS programs expect get their defaults, in the
// order they are read; the keys of our own never enter the shared file.
TEST_F(StartupTest, PasswordsSettingsAndServersThatCannotWorkEndTheStartWithTheirOwnMessage) {
  EXPECT_EQ(RunMain(), kExitNoPassword);  // an empty answer ends the start
  EXPECT_EQ(ui_.inputPrompts,
            std::vector<std::string>{"DATENBANK-ZUGRIFF: Bitte geben Sie das Passwort für den Benutzer 'sa' ein"});
  EXPECT_EQ(Messages(), "! Ohne Passwort ist leider kein Zugang zum SQL-Server möglich.\n");
  ui_ = FakeUi();
  ui_.inputAnswer = "pa'ss wört";
  EXPECT_EQ(RunMain(), kExitNoDatabase);
  // Asked, but never accepted by a server: nothing is coded.
  EXPECT_EQ(Ini(),
            "[DATABASE]\r\nSERVER=(local)\r\nUSER=sa\r\nPWD=\r\nPWDC="
            "\r\nPROVIDER=\r\nJET-PROVIDER=4.0\r\n[PFADE]\r\nDATENBANK=" +
                program_.path() + "\r\nEXE=" + program_.path() + kSep +
                "\r\nELPAY=C:\\Programme\\ElPay\\ElPay\\\r\n[SETUP]\r\nKASSNR=1\r\n");

  // What else ends the start before or at the first connection: no server needed.
  const std::string iniPath = config_ / "TOLVEN.INI";
  const std::string base = "[PFADE]\r\nEXE=" + install_.path() + "\r\n[DATABASE]\r\nPWD=x\r\n";
  const std::string failed = "Die Verbindung zur Datenbank 'tolven' konnte nicht hergestellt werden.";
  const std::string unreachable = "Der Datenbank-Server '127.0.0.1,1' ist nicht erreichbar. Prüfen Sie SERVER im ";
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      // the messages' beginnings
      {base + "SERVER=127.0.0.1,1\r\n",
       {failed + "\r\n\r\nFehler: 20009\r\n", unreachable + "Abschnitt DATABASE der Datei " + iniPath}},
      {base + "ENGINE=POSTGRESQL\r\nSERVER=127.0.0.1,1\r\n", {failed, "Der Datenbank-Server '127.0.0.1,1'"}},
      {base + "SERVER=127.0.0.1,1\r\nODBCDRIVER=Kein Treiber\r\n",
       {failed, "Der ODBC-Treiber 'Kein Treiber' ist nicht installiert"}},
      {base + "SERVER=127.0.0.1,1\r\nCATALOG=tolven; DROP x\r\n",
       {"Der Datenbankname 'tolven; DROP x' (CATALOG im Abschnitt DATABASE der Datei " + iniPath + ") ist ungültig"}},
  };
#ifdef _WIN32
  return;  // the messages below are FreeTDS's and psqlODBC's
#endif
  for (const auto& [ini, messages] : cases) {
    EXPECT_EQ(Start(ini), kExitNoDatabase);
    EXPECT_EQ(connection_, nullptr);
    // A plain password is coded only once a server accepted it.
    EXPECT_NE(Ini().find("\r\nPWD=x\r\n"), std::string::npos) << Ini();
    EXPECT_NE(Ini().find("\r\nPWDC=\r\n"), std::string::npos) << Ini();
    ASSERT_EQ(ui_.messages.size(), messages.size()) << ini << Messages();
    for (size_t i = 0; i < messages.size(); ++i)
      EXPECT_TRUE(StartsWith(ui_.messages[i].text, messages[i])) << Messages();
  }
}

// A TOLVEN.INI this user may not write only costs the written-back entries:
// said once in the log, and the start goes on to the server.
TEST_F(StartupTest, ARefusedWriteBackIsLoggedOnceAndStopsNothing) {
  env_.FailOperation("write", "TOLVEN.INI");
  ui_.inputAnswer = "x";
  EXPECT_EQ(RunMain(), kExitNoDatabase);
  ASSERT_EQ(ui_.logLines.size(), 1u);
  EXPECT_TRUE(StartsWith(ui_.logLines[0], "Hinweis: TOLVEN.INI kann nicht geschrieben werden")) << ui_.logLines[0];
}

// Empty TSE keys take their defaults, so the receipt's QR code never has an empty field.
TEST_F(StartupTest, EmptyTseKeysTakeTheirDefaults) {
  PutIni("[TSE]\r\nKASSENID=\r\nSIGALGORITHMUS= \r\n");
  state_.kasse = 4;
  const fiscal::TseIdentity id = ReadTseIdentity(platform::IniFile(env_, config_.path()), state_);
  EXPECT_EQ(id.registerId + " " + id.signatureAlgorithm, "TOLVENPDA-4 ecdsa-plain-SHA384");
}

// The README's table of the keys is the one the program reads with.
TEST(IniSettings, ReadmeShowsTheTableOfKeys) {
  const std::string readme = ReadAll(std::string(TOLVEN_SOURCE_DIR) + "/README.md");
  EXPECT_NE(readme.find("\n\n" + SettingsMarkdownTable() + "\n"), std::string::npos)
      << "README.md, section TOLVEN.INI, should hold the table " << SettingsMarkdownTable();
}

// A fixed keystream, applied byte by byte; coding twice gives the input.
TEST(ScrambleText, FixedKeystream) {
  // Coded passwords in every installation's INI depend on these codes, pinned
  // by a weighted sum over the whole keystream (modulo a prime above 101 x
  // 255): any single changed code changes it.
  const std::string keystream = ScrambleText(std::string(101, '\0'));
  uint32_t sum = 0;
  for (size_t i = 0; i < keystream.size(); ++i)
    sum += static_cast<uint32_t>(i + 1) * static_cast<uint8_t>(keystream[i]);
  EXPECT_EQ(sum % 65521, 21632u);
  EXPECT_EQ(ScrambleText(std::string(102, '\0')).back(), ScrambleText(std::string(1, '\0')).front());
}

class InstalledStart : public StartupTest {
 protected:
  InstalledStart() {
    std::filesystem::create_directories(pda1_ / "in");
    db_.Exec("UPDATE system SET pfadppcsync1 = '" + pda1_ / "in" + "', pfadppcsync3 = '" + pda3_.path() +
             "/', kuebonport1 = 'FILE:" + out_ / "kueche.txt" + "', bondruckport = 'COM1'");
    db_.Exec("INSERT INTO kueprtparam (drucker, name) VALUES (1, 'Küche')");
    PutIni("[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nDATENBANK=" + db_.folder() + "\r\nEXE=" + exe_ +
           "\r\n[SETUP]\r\nKASSNR=-3\r\n[PORTS]\r\nCOM1=" + out_ / "ttyFake" + "\r\n");
    WriteAll(out_ / "ttyFake", "");
  }
  std::string Check(const std::string& configFolder = "") {
    ui_ = FakeUi();
    Startup start(env_, ui_, configFolder.empty() ? config_.path() : configFolder);
    checkRc_ = CheckInstallation(start, env_, ui_, spooler_);
    std::string out;
    for (const auto& l : ui_.logLines) out += l + "\n";
    return out;
  }

  TempDir pda1_, pda3_, out_, otherConfig_;
  FakePrinterSystem spooler_;
  int checkRc_ = -1;
};

// A database that cannot be written, a flag that holds no true value at all,
// or a second gateway of the same station ends the start; --check.
TEST_F(InstalledStart, RefusedDatabasesFailedProbesASecondGatewayOfTheStationAndCheck) {
  env_.FailOperation("writable", "tolven.db");
  EXPECT_EQ(RunMain(), kExitDatabaseReadOnly);
  const std::string file = db_.folder() + kSep + "tolven.db";
  EXPECT_EQ(Messages(), "! Die Datenbank-Datei '" + file +
                            "' kann nicht beschrieben werden; das Programm wird beendet.\r\n\r\nDas Gateway braucht "
                            "Schreibrecht auf die Datei und ihren Ordner.\r\nopen(" +
                            file + "): injected fault\n");
  EXPECT_EQ(db_.Scalar("SELECT moddate FROM system"), "");  // no probe wrote
  env_.ClearFaults();

  db_.Exec(
      "CREATE TRIGGER no_true BEFORE UPDATE OF booltest ON system WHEN NEW.booltest <> 0 "
      "BEGIN SELECT RAISE(ABORT, 'nur 0'); END");
  EXPECT_EQ(Start(Ini()), kExitProbeFailed);
  EXPECT_EQ(state_.datumFormat + std::to_string(state_.boolTrueWert) + " " + std::to_string(state_.kasse), "E0 3");
  EXPECT_EQ(Messages(),
            "! BoolTest-Fehler (2): nur 0\n! BoolTest-Fehler (3): nur 0\n! Boolean-TRUE-Wert konnte nicht "
            "ermittelt werden.\n");
  db_.Exec("DROP TRIGGER no_true");

  ASSERT_EQ(Start(Ini()), kExitOk) << Messages();
  // A copied TOLVEN.INI in another configuration folder: same database, same KASSNR.
  WriteAll(otherConfig_ / "TOLVEN.INI", Ini());
  FakeUi ui;
  StartupState state;
  std::unique_ptr<db::Connection> other;
  EXPECT_EQ(Startup(env_, ui, otherConfig_.path()).Main(state, other), kExitStationInUse);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(StartsWith(ui.messages[0].text, "Ein anderes Gateway arbeitet bereits als Kasse 3 mit dieser Datenbank"))
      << ui.messages[0].text;
  start_.reset();  // the first gateway ends: its station is free again
  EXPECT_EQ(Startup(env_, ui, otherConfig_.path()).Main(state, other), kExitOk);

  // --check beside a running gateway, once the start made the folders: says OK
  // and changes nothing, or names each problem.
  db_.Exec("UPDATE system SET moddate = NULL, booltest = 0");
  const std::string ini = Ini();
  std::string out = Check();
  EXPECT_EQ(checkRc_, kExitOk) << out;
  EXPECT_EQ(Ini(), ini);
  EXPECT_EQ(db_.Scalar("SELECT COALESCE(moddate, 'leer') || '/' || booltest FROM system"), "leer/0");

  std::filesystem::remove_all(exe_ + "/ARCHIV");
  env_.FailOperation("writable", exe_);  // and cannot be made
  std::filesystem::remove(out_ / "ttyFake");
  db_.Exec(
      "UPDATE system SET kuebonport2 = 'NETZ', kuebonprt2 = 'Kueche', kuebonport3 = 'XYZ', pdaprt5 = 'Bar', "
      "pfadppcsync2 = " +
      db::SqlText(pda1_ / "weg"));
  env_.FailOperation("writable", pda3_.path());
  db_.Exec("DELETE FROM kueprtparam");
  PutIni(ReplaceAll(Ini(), "PWDC=\r\n", "PWDC=4142\r\n"));  // a coded password every user may read
  ::chmod((config_ / "TOLVEN.INI").c_str(), 0644);
  env_.FailOperation("writable", "tolvenpda.lock");  // an ordinary user's Windows folder
  out = Check();
  EXPECT_EQ(checkRc_, kExitCheckFailed);
  for (const std::string& line : std::vector<std::string>{
           "FEHLER  Beleg-Archiv: Ordner " + exe_ + kSep + "ARCHIV" + kSep +
               "BON existiert nicht und kann nicht angelegt werden",
           "FEHLER  Orderterminal 2: Ordner " + pda1_ / "weg" + " existiert nicht",
           "FEHLER  Orderterminal 3: Ordner " + pda3_.path() + " kann nicht beschrieben werden",
           "FEHLER  Drucker system.bondruckport: Gerät " + out_ / "ttyFake",
           "FEHLER  Drucker system.kuebonport2: Drucker 'Kueche' ist im Drucksystem nicht eingerichtet",
           "FEHLER  Drucker system.kuebonport3: unbekannter Ausgabekanal 'XYZ'",
           "FEHLER  Drucker system.pdaprt5: Drucker 'Bar' ist im Drucksystem nicht eingerichtet",
           "FEHLER  Küchendrucker 1 (kueprtparam): Keine Einstellungen für Drucker 1 gefunden.",
#ifdef _WIN32  // the system's lock alone keeps a second gateway out
           "FEHLER  Passwortschutz: " + config_ / "TOLVEN.INI" + " ist lesbar für ",
           "OK      Sperrdatei: " + config_ / "tolvenpda.lock" + " nicht beschreibbar, die Sperre des Systems genügt",
#else
           "FEHLER  Passwortschutz: " + config_ / "TOLVEN.INI" + " ist für alle Benutzer lesbar (Modus 0644)",
           "FEHLER  Sperrdatei: " + config_ / "tolvenpda.lock" + " kann nicht angelegt werden",
#endif
       })
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  EXPECT_FALSE(env_.FolderExists(exe_ + kSep + "ARCHIV"));  // nothing made
}

// The register id names the station in every receipt's QR code: a second
// station signing under it (KASSENID copied, or set to another station's
// default) is refused like a second gateway of the same KASSNR.
TEST_F(InstalledStart, TwoStationsWithOneRegisterIdAreRefused) {
  ASSERT_EQ(RunMain(), kExitOk) << Messages();  // station 3, register id TOLVENPDA-3
  FakeUi ui;
  StartupState state;
  std::unique_ptr<db::Connection> other;
  const std::string station4 = ReplaceAll(Ini(), "KASSNR=-3", "KASSNR=4");
  for (const std::string id : {" TOLVENPDA-3", "tolvenpda-3"}) {
    WriteAll(otherConfig_ / "TOLVEN.INI", station4 + "[TSE]\r\nKASSENID=" + id + "\r\n");
    ui = FakeUi();
    EXPECT_EQ(Startup(env_, ui, otherConfig_.path()).Main(state, other), kExitStationInUse);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(StartsWith(ui.messages[0].text,
                           "Ein anderes Gateway arbeitet bereits mit der Kassen-ID '" + TrimBlanks(id) + "'"))
        << ui.messages[0].text;
    const std::string out = Check(otherConfig_.path());
    EXPECT_NE(out.find("FEHLER  Kasse 4, Kassen-ID '" + TrimBlanks(id) + "': ein Gateway einer anderen Kasse"),
              std::string::npos)
        << out;
    EXPECT_EQ(checkRc_, kExitCheckFailed);
  }
  WriteAll(otherConfig_ / "TOLVEN.INI", station4);  // TOLVENPDA-4
  EXPECT_EQ(Startup(env_, ui, otherConfig_.path()).Main(state, other), kExitOk);
  EXPECT_NE(Check().find("OK      Kasse 3, Kassen-ID 'TOLVENPDA-3': vom laufenden Gateway angemeldet"),
            std::string::npos);
  EXPECT_EQ(checkRc_, kExitOk);
}

// TOLVEN.INI as Notepad saves it: UTF-8, with or without a byte-order mark
// before the first section, is read as UTF-8 and stays UTF-8 when a key is
// written back; what cannot be read faithfully ends the start and fails --check.
TEST_F(InstalledStart, IniFilesInUtf8AreConvertedAndOtherEncodingsRefused) {
  const std::string folder = exe_ +
                             " M\xFC"
                             "ller";  // Windows-1252, as inside the program
  const std::string ansi = ReplaceAll(Ini(), "EXE=" + exe_, "EXE=" + folder);
  for (const std::string mark : {"\xEF\xBB\xBF", ""}) {
    ASSERT_EQ(Start(mark + Cp1252ToUtf8(ansi)), kExitOk) << Messages();
    EXPECT_EQ(state_.exePfad, folder + kSep);
    EXPECT_EQ(state_.engine, "SQLITE");
    EXPECT_TRUE(env_.FolderExists(folder + kSep + "ARCHIV" + kSep + "BON"));
    // The keys written back (USER, PWD ...) went in as UTF-8 behind the same mark.
    EXPECT_TRUE(StartsWith(Ini(), mark + "[DATABASE]\r\nENGINE=SQLITE\r\nSERVER=(local)")) << Ini();
    EXPECT_NE(Ini().find("EXE=" + Cp1252ToUtf8(folder) + "\r\n"), std::string::npos) << Ini();
  }
  const std::vector<std::pair<std::string, std::string>> refused = {
      {std::string("\xFF\xFE[\0D\0", 6), "ist als UTF-16 (Unicode) gespeichert"},
      {Cp1252ToUtf8(ansi) + "[BON]\r\nKOPF=\xC5\x81\xC3\xB3\x64\xC5\xBA\r\n",  // a Polish name
       "ist als UTF-8 gespeichert und enthält in Zeile 11 Zeichen, die es in Windows-1252 nicht gibt"},
      {"\xEF\xBB\xBF" + ansi, "ist als UTF-8 gespeichert und enthält in Zeile 5"},  // the mark over ANSI text
  };
  for (const auto& [contents, why] : refused) {
    EXPECT_EQ(Start(contents), kExitBadConfiguration);
    ASSERT_EQ(ui_.messages.size(), 1u) << Messages();
    EXPECT_NE(ui_.messages[0].text.find(why), std::string::npos) << Messages();
    EXPECT_EQ(Ini(), contents);  // nothing written back into it
    EXPECT_NE(Check().find("FEHLER  Konfiguration: " + (config_ / "TOLVEN.INI") + " " + why), std::string::npos);
    EXPECT_EQ(checkRc_, kExitCheckFailed);
  }
}

// A wrong log-in creates nothing; a missing database is created through the
// master database, found empty by the probes, then filled by --init-db once.
TEST_F(StartupTest, MissingDatabaseIsCreatedThroughTheMasterDatabaseThenInitDbFillsIt) {
  if (!PgConfigured()) GTEST_SKIP() << "TOLVEN_TEST_PG is not set (scripts/test starts a PostgreSQL server)";
  const std::string name = UniquePgDatabaseName("startup");
  const db::OdbcTarget t = PgTarget(name);
  auto ini = [&](const std::string& user) {
    return "[DATABASE]\r\nENGINE=POSTGRESQL\r\nODBCDRIVER=" + t.driver + "\r\nSERVER=" + t.server + "\r\nUSER=" + user +
           "\r\nPWD=geheim\r\nCATALOG=" + name + "\r\n";
  };
  // A refused login has a status of its own (the service is not restarted on
  // it) and leaves the password as typed.
  EXPECT_EQ(Start(ini("kein_benutzer")), kExitLoginRefused);
  EXPECT_EQ(ui_.messages.size(), 2u) << Messages();
  EXPECT_EQ(Messages().find("'master'"), std::string::npos) << "a wrong login tries no database creation";
  EXPECT_NE(Ini().find("\r\nPWD=geheim\r\n"), std::string::npos) << Ini();
  EXPECT_NE(Ini().find("\r\nPWDC=\r\n"), std::string::npos) << Ini();

  EXPECT_EQ(Start(ini(t.user)), kExitProbeFailed);
  EXPECT_NE(Messages().find("\ni Datenbank '" + name + "' wurde angelegt.\n"), std::string::npos) << Messages();
  ASSERT_EQ(InitDb(), kExitOk) << Messages();
  // Accepted by the server: now coded.
  EXPECT_NE(Ini().find("\r\nPWDC=" + HexEncode(ScrambleText("geheim")) + "\r\n"), std::string::npos) << Ini();
  EXPECT_EQ(InitDb(), kExitNoDatabase);  // a database with tables is left as it is
  EXPECT_EQ(Messages(), "! Die Datenbank enthält bereits Tabellen; es wurde nichts geändert.\n");
  DropPgDatabase(name);
}

}  // namespace
}  // namespace tolven::testing
