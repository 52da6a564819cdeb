// The start-up as an installed gateway meets it: folders it makes and checks,
// a database it cannot write, a second gateway with the same station number,
// temporary files a crash left behind, and --check.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "startup/check.h"
#include "startup/installation.h"
#include "startup_fixture.h"
#include "support/fake_devices.h"

namespace tolven {
namespace {

using testing::FakeUi;
using testing::ReadAll;
using testing::StartupTest;
using testing::TempDir;
using testing::WriteAll;

class InstalledStart : public StartupTest {
 protected:
  InstalledStart() {
    std::filesystem::create_directories(pda1_ / "in");
    db_.Exec("UPDATE system SET pfadppcsync1 = '" + pda1_ / "in" + "', pfadppcsync3 = '" + pda3_.path() +
             "/', kuebonport1 = 'FILE:" + out_ / "kueche.txt" + "', bondruckport = 'COM1'");
    db_.Exec("INSERT INTO kueprtparam (drucker, name) VALUES (1, 'Küche')");
    PutIni(SqliteIni("3") + "[PORTS]\r\nCOM1=" + out_ / "ttyFake" + "\r\n");
    WriteAll(out_ / "ttyFake", "");
  }
  std::string Check() {
    ui_ = FakeUi();
    Startup start(env_, ui_, config_.path());
    checkRc_ = CheckInstallation(start, env_, ui_, spooler_);
    std::string out;
    for (const auto& l : ui_.logLines) out += l + "\n";
    return out;
  }

  TempDir pda1_, pda3_, out_;
  testing::FakePrinterSystem spooler_;
  int checkRc_ = -1;
};

TEST_F(InstalledStart, FoldersAreMadeForTheYearAndEveryFolderMustBeWritable) {
  ASSERT_EQ(RunMain(), kExitOk) << Messages();
  EXPECT_TRUE(env_.FolderExists(exe_ + "/ARCHIV/DTA"));
  // A start in a new year makes that year's log folder.
  env_.SetNow(DateTime{Date{2027, 1, 1}, 0, 5, 0, 0});
  ASSERT_EQ(Start(Ini()), kExitOk) << Messages();
  EXPECT_TRUE(env_.FolderExists(exe_ + "/LOG/2027/TSE"));

  // Each failure names its folder and ends the start with its own status.
  struct Case {
    std::string fault, folder;
  };
  for (const Case& c : std::vector<Case>{{"ARCHIV/BON", exe_ + "/ARCHIV/BON"},
                                         {pda3_.path(), pda3_.path()},
                                         {"2027/TSE", exe_ + "/LOG/2027/TSE"}}) {
    env_.ClearFaults();
    env_.FailOperation("writable", c.fault);
    EXPECT_EQ(Start(Ini()), kExitFolderNotWritable) << c.fault;
    ASSERT_EQ(ui_.messages.size(), 1u) << Messages();
    EXPECT_TRUE(StartsWith(ui_.messages[0].text, "Der Ordner '" + c.folder + "' (")) << Messages();
    EXPECT_NE(ui_.messages[0].text.find("kann nicht beschrieben werden"), std::string::npos);
  }
  env_.ClearFaults();
  // A terminal's folder that is missing (a share not mounted) is not made.
  std::filesystem::remove_all(pda1_ / "in");
  EXPECT_EQ(Start(Ini()), kExitFolderNotWritable);
  EXPECT_TRUE(
      StartsWith(ui_.messages.at(0).text, "Der Ordner '" + pda1_ / "in" + "' (Orderterminal 1) existiert nicht"))
      << Messages();
  EXPECT_FALSE(env_.FolderExists(pda1_ / "in"));
}

TEST_F(InstalledStart, ADatabaseFileThatCannotBeWrittenIsSaidSoAndNothingIsProbed) {
  env_.FailOperation("writable", "tolven.db");
  EXPECT_EQ(RunMain(), kExitDatabaseReadOnly);
  EXPECT_EQ(Messages(), "! Die Datenbank-Datei '" + db_.folder() + "/tolven.db' kann nicht beschrieben werden; das "
                        "Programm wird beendet.\r\n\r\nDas Gateway braucht Schreibrecht auf die Datei und ihren Ordner."
                        "\r\nopen(" + db_.folder() + "/tolven.db): injected fault\n");
  EXPECT_EQ(db_.Scalar("SELECT moddate FROM system"), "");  // no probe wrote

  env_.ClearFaults();
  env_.FailOperation("writable", db_.folder());  // the folder takes the journal
  EXPECT_EQ(Start(Ini()), kExitDatabaseReadOnly);
}

TEST_F(InstalledStart, ASecondGatewayOfTheSameStationIsRefused) {
  ASSERT_EQ(RunMain(), kExitOk) << Messages();
  // A copied TOLVEN.INI in another configuration folder: same database, same KASSNR.
  TempDir otherConfig;
  WriteAll(otherConfig / "TOLVEN.INI", Ini());
  FakeUi ui;
  EXPECT_EQ(OtherStart(otherConfig.path(), ui), kExitStationInUse);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(StartsWith(ui.messages[0].text, "Ein anderes Gateway arbeitet bereits als Kasse 3 mit dieser Datenbank"))
      << ui.messages[0].text;
  EXPECT_NE(ui.messages[0].text.find(otherConfig / "TOLVEN.INI"), std::string::npos);
  // Another station number on the same database is fine; once the first
  // gateway ends, its station is free again.
  WriteAll(otherConfig / "TOLVEN.INI", SqliteIni("4"));
  EXPECT_EQ(OtherStart(otherConfig.path(), ui), kExitOk);
  start_.reset();
  WriteAll(otherConfig / "TOLVEN.INI", SqliteIni("3"));
  EXPECT_EQ(OtherStart(otherConfig.path(), ui), kExitOk);
}

TEST_F(InstalledStart, OnlyThisStationsLeftoverTemporaryFilesAreRemoved) {
  const std::vector<std::string> mine{out_ / "kueche.txt.tmpK3-4711", pda1_ / "in/info.kas.tmpK3-12",
                                      exe_ + "/ARCHIV/BON/BON7.BON.tmpK3-99", config_ / "TOLVEN.INI.tmpK3-5"};
  const std::vector<std::string> others{out_ / "kueche.txt.tmpK4-4711", out_ / "kueche.txt.tmp4711",
                                        out_ / "kueche.txt.tmpK31-1", out_ / "kueche.txt"};
  std::filesystem::create_directories(exe_ + "/ARCHIV/BON");
  for (const auto& f : mine) WriteAll(f, "half");
  for (const auto& f : others) WriteAll(f, "keep");
  ASSERT_EQ(RunMain(), kExitOk) << Messages();
  for (const auto& f : mine) EXPECT_FALSE(std::filesystem::exists(f)) << f;
  for (const auto& f : others) EXPECT_TRUE(std::filesystem::exists(f)) << f;
  platform::DefaultEnv().SetTempMark("");
}

TEST_F(InstalledStart, CheckSaysOkAndChangesNothingOrNamesEachProblem) {
  ASSERT_EQ(RunMain(), kExitOk) << Messages();  // folders made
  start_.reset();
  connection_.reset();
  db_.Exec("UPDATE system SET moddate = NULL, booltest = 0");
  const std::string ini = Ini();
  std::string out = Check();
  EXPECT_EQ(checkRc_, kExitOk) << out;
  EXPECT_EQ(out.find("FEHLER"), std::string::npos) << out;
  for (const std::string& line : std::vector<std::string>{"OK      Datenbank: SQLITE", "OK      Boolean-TRUE-Wert: -1",
                                  "OK      Orderterminal 1: " + pda1_ / "in", "OK      Drucker system.bondruckport: " +
                                  out_ / "ttyFake", "OK      TSE-Server-Tabelle tse_server_req: 0 Zeilen"}) {
    EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
  }
  EXPECT_EQ(Ini(), ini);
  EXPECT_EQ(db_.Scalar("SELECT COALESCE(moddate, 'leer') || '/' || booltest FROM system"), "leer/0");

  std::filesystem::remove_all(exe_ + "/ARCHIV");
  env_.FailOperation("writable", exe_);  // and cannot be made
  std::filesystem::remove(out_ / "ttyFake");
  db_.Exec("UPDATE system SET kuebonport2 = 'NETZ', kuebonprt2 = 'Kueche', kuebonport3 = 'XYZ', "
           "pfadppcsync2 = '" + pda1_ / "weg" + "'");
  env_.FailOperation("writable", pda3_.path());
  db_.Exec("DELETE FROM kueprtparam");
  out = Check();
  EXPECT_EQ(checkRc_, kExitCheckFailed);
  for (const std::string& line : std::vector<std::string>{
           "FEHLER  Beleg-Archiv: Ordner " + exe_ + "/ARCHIV/BON existiert nicht und kann nicht angelegt werden",
           "FEHLER  Orderterminal 2: Ordner " + pda1_ / "weg" + " existiert nicht",
           "FEHLER  Orderterminal 3: Ordner " + pda3_.path() + " kann nicht beschrieben werden",
           "FEHLER  Drucker system.bondruckport: Gerät " + out_ / "ttyFake",
           "FEHLER  Drucker system.kuebonport2: Drucker 'Kueche' ist im Drucksystem nicht eingerichtet",
           "FEHLER  Drucker system.kuebonport3: unbekannter Ausgabekanal 'XYZ'",
           "FEHLER  Küchendrucker 1 (kueprtparam): Keine Einstellungen für Drucker 1 gefunden.",
           "OK      Datenbank: SQLITE"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  }
  EXPECT_EQ(out.find("Passwortschutz"), std::string::npos) << "no password, nothing to protect";
  EXPECT_FALSE(env_.FolderExists(exe_ + "/ARCHIV"));  // nothing made
  env_.ClearFaults();
  EXPECT_NE(Check().find("OK      Beleg-Archiv: " + exe_ + "/ARCHIV/BON (wird beim Start angelegt)"),
            std::string::npos);

  // A coded password in a file every user may read.
  PutIni(ReplaceAll(Ini(), "PWDC=\r\n", "PWDC=4142\r\n"));
  ::chmod((config_ / "TOLVEN.INI").c_str(), 0644);
  EXPECT_NE(Check().find("FEHLER  Passwortschutz: " + config_ / "TOLVEN.INI" +
                         " ist für alle Benutzer lesbar (Modus 0644)"),
            std::string::npos);
  ::chmod((config_ / "TOLVEN.INI").c_str(), 0600);
  EXPECT_NE(Check().find("OK      Passwortschutz"), std::string::npos);

  // Without a database nothing further can be looked at, and that is said.
  PutIni(SqliteIni("3", out_.path()));
  EXPECT_NE(Check().find("FEHLER  Datenbank: " + out_ / "tolven.db existiert nicht"), std::string::npos);
  EXPECT_EQ(checkRc_, kExitCheckFailed);
}

}  // namespace
}  // namespace tolven
