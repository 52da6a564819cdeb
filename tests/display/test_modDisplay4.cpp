#include "display/modDisplay4.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/fake_devices.h"
#include "support/test_db.h"

namespace tolven::display {
namespace {

using platform::Handshake;
using testing::FakeSerialPort;

std::string B(std::initializer_list<int> codes) {
  std::string s;
  for (int c : codes) s.push_back(static_cast<char>(c));
  return s;
}
std::string Blanks(size_t n) { return std::string(n, ' '); }

TEST(DisplayKind, TypeTextDecidesKindAndPort) {
  struct Case { const char* type; int comdisp, kind, port; };
  const std::vector<Case> cases = {
      {"VGA 2. Bildschirm", 5, 12, 0}, {"IBM 8100", 5, 2, 4}, {"SurePOS 500", 5, 4, 4},
      {"EPSON DM-D110", 5, 5, 5}, {"Epson ir-700", 5, 5, 4}, {"EPSON SR-610", 5, 5, 3}, {"EPSON IR-320", 5, 5, 3},
      {"Citizen", 5, 5, 5}, {"Columbus", 5, 18, 1}, {"toshiba c-10", 5, 17, 2}, {"TOSHIBA C-10", 5, 17, 2},
      {"Toshiba LCD", 5, 8, 5}, {"SANGO", 5, 21, 7}, {"Yuno", 5, 22, 6}, {"AURES ODP", 5, 10, 5},
      {"Aures Galeo", 5, 10, 7}, {"GLANCETRON 8003", 5, 1, 5}, {"Jarltech 8650", 5, 7, 5},
      {"GLANCETRON 8036", 5, 13, 5}, {"JARLTECH 8035", 5, 14, 5}, {"Glancetron 8802", 5, 9, 3},
      {"JARLTECH", 5, 6, 5}, {"PT-62", 5, 5, 6}, {"Imprex", 5, 5, 4}, {"MINIO", 5, 20, 4},
      {"HP AP5000", 5, 15, 5}, {"NCR 5975", 5, 16, 5}, {"PayPoint", 5, 23, 2}, {"NETTUN", 5, 24, 7},
      {"Kundenanzeige", 5, 3, 5}, {"", 0, 3, 0},
      // First word in table order wins.
      {"EPSON VGA", 5, 12, 0}, {"GLANCETRON 8100", 5, 2, 4}, {"NCR TOSHIBA", 5, 8, 5}, {"CITIZEN EPSON IR-700", 5, 5, 4},
  };
  for (const auto& c : cases) {
    DisplayKind k = modDisplay4::DetermineKind(c.type, c.comdisp);
    EXPECT_EQ(k.kind, c.kind) << c.type;
    EXPECT_EQ(k.comPort, c.port) << c.type;
  }
}

TEST(DisplayUmlauts, GermanLettersSpelledOut) {
  EXPECT_EQ(modDisplay4::DisplayUmlauts("äüöÄÜÖß"), "aeueoeAeUeOess");
  EXPECT_EQ(modDisplay4::DisplayUmlauts("Grüße, Köln"), "Gruesse, Koeln");
  EXPECT_EQ(modDisplay4::DisplayUmlauts("Café €"), "Café €");
}

class DisplayTest : public ::testing::Test {
 protected:
  DisplayTest() {
    pending_ = std::make_unique<FakeSerialPort>();
    fake = pending_.get();
    // A stand-in for the printer's character conversion: shows that it is applied.
    auto convert = [](const std::string& t) { return ReplaceAll(t, "ä", B({132})); };
    display = std::make_unique<modDisplay4>(
        db.tools(), ini, [this] { ++portsMade; return std::move(pending_); }, convert);
  }
  void Configure(const std::string& type, int comdisp) {
    db.Exec("DELETE FROM systemhw");
    db.Exec("INSERT INTO systemhw (filnr, kasse, comdisp, disptyp) VALUES (1, 1, " + std::to_string(comdisp) + ", " +
            db::SqlText(type) + ")");
  }
  void Open(const std::string& type, int comdisp) {
    Configure(type, comdisp);
    display->OpenDisplay();
  }

  testing::TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  std::unique_ptr<FakeSerialPort> pending_;
  FakeSerialPort* fake;
  int portsMade = 0;
  std::unique_ptr<modDisplay4> display;
};

TEST_F(DisplayTest, OpeningSetsUpPortAndResetsDisplayByKind) {
  struct Case {
    const char* type; int comdisp; const char* device; const char* settings; Handshake hs; bool lines;
    std::vector<std::string> writes; std::vector<int> sleeps;
  };
  const std::string esc = B({27});
  const std::vector<Case> cases = {
      {"Kundenanzeige", 2, "/dev/ttyS1", "9600,N,8,1", Handshake::None, false, {Blanks(40)}, {}},
      {"EPSON DM-D110", 5, "/dev/ttyS4", "9600,N,8,1", Handshake::None, false,
       {esc + "@", B({31, 1}), B({31, 'C', 0}), B({12})}, {200}},
      {"Toshiba C-10", 0, "/dev/ttyS1", "115200,O,8,1", Handshake::None, false, {esc + "[2J\r"}, {}},
      {"TOSHIBA", 3, "/dev/ttyS2", "9600,O,8,1", Handshake::None, false, {esc + "[2J\r"}, {}},
      {"COLUMBUS", 0, "/dev/ttyS0", "38400,N,8,1", Handshake::RtsCts, false,
       {esc + "@", B({31, 1}), B({31, 'C', 0}), B({12})}, {200}},
      {"IBM 8100", 0, "/dev/ttyS3", "9600,N,8,1", Handshake::RtsCts, true,
       {esc + " ", esc + "#", esc + "*" + B({0}), esc + ")" + B({0})}, {}},
      {"NETTUN", 0, "/dev/ttyS6", "19200,N,8,1", Handshake::None, false, {esc + "=2", esc + "@", B({12})}, {50, 50}},
      {"SANGO", 0, "/dev/ttyS6", "9600,N,8,1", Handshake::None, false, {esc + "@", esc + "_" + B({0})}, {200}},
      {"PAYPOINT", 0, "/dev/ttyS1", "9600,N,8,1", Handshake::None, false,
       {B({0xE7, 0x42, 1, 0x7E}), B({0xE7, 0x43, 1, 0x7E})}, {}},
      {"JARLTECH 8036", 1, "/dev/ttyS0", "19200,N,8,1", Handshake::None, false, {esc + "`" + B({1}), B({2})}, {}},
      {"AURES", 4, "/dev/ttyS3", "9600,N,8,1", Handshake::None, false, {B({12}), esc + "R" + B({2}), esc + "t" + B({19})}, {}},
      {"HP AP5000", 1, "/dev/ttyS0", "38400,N,8,1", Handshake::None, false, {Blanks(40) + "\r"}, {}},
      {"MINIO", 0, "/dev/ttyS3", "9600,N,8,1", Handshake::None, false, {}, {}},
  };
  for (const auto& c : cases) {
    pending_ = std::make_unique<FakeSerialPort>();
    fake = pending_.get();
    display = std::make_unique<modDisplay4>(db.tools(), ini, [this] { return std::move(pending_); }, nullptr);
    size_t sleepsBefore = db.env().sleeps().size();
    Open(c.type, c.comdisp);
    EXPECT_TRUE(display->initialised()) << c.type;
    EXPECT_EQ(fake->device, c.device) << c.type;
    EXPECT_EQ(fake->settings, c.settings) << c.type;
    EXPECT_EQ(fake->handshake, c.hs) << c.type;
    EXPECT_EQ(fake->dtr && fake->rts, c.lines) << c.type;
    EXPECT_EQ(fake->writes, c.writes) << c.type;
    std::vector<int> sleeps(db.env().sleeps().begin() + static_cast<long>(sleepsBefore), db.env().sleeps().end());
    EXPECT_EQ(sleeps, c.sleeps) << c.type;
  }
  EXPECT_TRUE(db.ui().messages.empty());
}

TEST_F(DisplayTest, PortNumberComesThroughPortsSectionAndStaysOpen) {
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "PORTS", "COM4", "/dev/ttyUSB0"));
  db.Exec("UPDATE system SET disptxt1 = 'Willkommen', disptxt2 = 'Danke'");
  Open("Epson IR-700", 0);
  EXPECT_EQ(fake->device, "/dev/ttyUSB0");
  EXPECT_EQ(display->disptxt1(), "Willkommen");
  EXPECT_EQ(display->disptxt2(), "Danke");
  display->OpenDisplay();  // the open port is kept; the display is reset again
  EXPECT_EQ(fake->opens, 1);
  EXPECT_EQ(fake->writes.size(), 8u);
  EXPECT_EQ(display->port(), fake);
}

TEST_F(DisplayTest, UpdatesCutAndPadLinesByKind) {
  struct Case { const char* type; std::string t1, t2; std::vector<std::string> writes; };
  const std::string esc = B({27}), ff = B({12});
  const std::string l1 = "Belegdruck...       ", l2 = "12,50 EUR           ";
  const std::vector<Case> cases = {
      {"Kundenanzeige", "Belegdruck...", "12,50 EUR", {l1 + l2}},
      {"Kundenanzeige", "Ein sehr langer Displaytext", "", {"Ein sehr langer Disp" + Blanks(20)}},
      {"Kundenanzeige", "Kä\x1B=1", "", {"K" + B({132}) + " =1" + Blanks(15 + 20)}},
      {"EPSON", "Belegdruck...", "12,50 EUR plus Trinkgeld", {ff, l1 + "\r" + "12,50 EUR plus Trink"}},
      {"IBM 8100", "Belegdruck...", "12,50 EUR", {esc + " ", esc + "(11" + l1, esc + "(21" + l2}},
      {"JARLTECH 8650", "Belegdruck...", "12,50 EUR", {B({30}) + l1 + "\r\n", l2}},
      {"GLANCETRON 8036", "Belegdruck...", "12,50 EUR", {esc + "+" + l1 + "\r\n" + l2}},
      {"JARLTECH 8035", "Belegdruck...", "12,50 EUR", {esc + "QA" + l1 + "\r", esc + "QB" + l2 + "\r"}},
      {"HP AP5000", "Belegdruck...", "12,50 EUR", {ff, l1 + "\r" + l2}},
      {"TOSHIBA C-10", "Belegdruck...", "12,50 EUR", {esc + "[2J" + esc + "[" + B({1}) + ";" + B({1}) + "H", l1 + "\r\n" + l2}},
      {"SANGO", "Belegdruck...", "12,50 EUR", {ff, esc + "FA" + l1 + "\r", esc + "FB" + l2 + "\r"}},
      {"MINIO", "Grüße aus Köln", "Straße", {ff, "Gruesse aus Koel\r", "Strasse         "}},
      {"PAYPOINT", "A~B", "", {B({0xE7, 0x44}) + "A B" + Blanks(37) + B({0x7E})}},
  };
  for (const auto& c : cases) {
    Open(c.type, 1);
    fake->writes.clear();
    display->ShowDisplay(c.t1, c.t2);
    EXPECT_EQ(fake->writes, c.writes) << c.type << " / " << c.t1;
  }
}

TEST_F(DisplayTest, NoPortLeavesDisplayClosedAndSilent) {
  struct Case { const char* type; int comdisp; bool hasRow; };
  for (const Case& c : std::vector<Case>{{"Kundenanzeige", 0, true}, {"EPSON", 0, true}, {"CITIZEN", -3, true},
                                          {"", 0, false}}) {
    if (c.hasRow) Configure(c.type, c.comdisp); else db.Exec("DELETE FROM systemhw");
    display->OpenDisplay();
    display->ShowDisplay("Belegdruck...", "");
    EXPECT_FALSE(display->initialised()) << c.type;
    EXPECT_EQ(display->port(), nullptr) << c.type;
  }
  EXPECT_EQ(fake->opens, 0);
  EXPECT_TRUE(fake->written.empty());
  EXPECT_TRUE(db.ui().messages.empty());
}

TEST_F(DisplayTest, PortThatFailsToOpenIsReportedAndRetriedNextTime) {
  fake->failOpen = true;
  Open("EPSON", 2);
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].text,
            "Kundendisplay-Port kann nicht geöffnet werden: open(/dev/ttyS1): No such file or directory");
  EXPECT_FALSE(display->initialised());
  EXPECT_EQ(display->port(), nullptr);
  display->ShowDisplay("Belegdruck...", "");
  EXPECT_TRUE(fake->written.empty());

  fake->failOpen = false;
  display->OpenDisplay();
  EXPECT_TRUE(display->initialised());
  EXPECT_EQ(fake->writes.size(), 4u);
}

TEST_F(DisplayTest, DeadPortIsClosedSoTheNextOpeningFindsTheDisplayAgain) {
  Open("Kundenanzeige", 1);
  fake->failWrite = true;
  display->ShowDisplay("Belegdruck...", "");
  EXPECT_TRUE(db.ui().HasMessage("Anzeige auf Kundendisplay nicht möglich."));
  EXPECT_EQ(display->port(), nullptr);
  fake->failWrite = false;
  display->OpenDisplay();
  EXPECT_EQ(fake->opens, 2);
  EXPECT_NE(display->port(), nullptr);
}

TEST_F(DisplayTest, UnreadableConfigurationKeepsTheOpenDisplay) {
  Open("Kundenanzeige", 1);
  db.Exec("DROP TABLE systemhw");
  display->OpenDisplay();
  EXPECT_TRUE(db.ui().HasMessage("Kundendisplay-Einstellungen können nicht gelesen werden: "));
  EXPECT_EQ(display->port(), fake);
  EXPECT_EQ(fake->opens, 1);
}

TEST_F(DisplayTest, MonitorProgramGetsItsFile) {
  Open("VGA", 1);
  EXPECT_EQ(portsMade, 0);
  EXPECT_TRUE(display->initialised());
  EXPECT_EQ(db.env().startedPrograms, std::vector<std::string>{db.state().exePfad + "vskddisp.exe"});
  const std::string file = db.state().exePfad + "disp1.txt";
  display->ShowDisplay("Belegdruck...", "", {{2, "Cola 0,3l"}, {1, "Pommes"}});
  EXPECT_EQ(testing::ReadAll(file), "2;Cola 0,3l\r\n1;Pommes\r\n\r\n");
  display->ShowDisplay(".", "");
  EXPECT_EQ(testing::ReadAll(file), "\r\n\r\n\r\n");

  db.env().FailOperation("write", "disp1.txt");
  display->ShowDisplay(".", "");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].text.rfind("Anzeige auf Kundendisplay nicht möglich.\r\n\r\nFehler beim Dateizugriff: ", 0), 0u);
  EXPECT_EQ(testing::ReadAll(file), "\r\n\r\n\r\n");  // the last complete file stays
}

class NoProgramEnv : public testing::FakeEnv {
 public:
  Status StartProgram(const std::string& path, const std::vector<std::string>&) override {
    return Status::Error("posix_spawn(" + path + "): No such file or directory", 2);
  }
};

TEST_F(DisplayTest, MonitorProgramThatCannotStartIsReported) {
  NoProgramEnv env;
  db::DbTools tools(db.conn(), db.state(), env, db.ui());
  modDisplay4 d(tools, ini, nullptr, nullptr);
  Configure("VGA", 0);
  d.OpenDisplay();
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_EQ(db.ui().messages[0].text,
            "Softwaremodul für externen Kundenmonitor kann nicht gestartet werden.\r\n\r\n"
            "Prüfen Sie, ob die Datei VSKDDISP.EXE vorhanden ist.\r\n\r\n"
            "Windows-Fehler: posix_spawn(" + db.state().exePfad + "vskddisp.exe): No such file or directory");
  d.ShowDisplay("Belegdruck...", "", {{1, "Test"}});  // the file is still written for when it runs
  EXPECT_EQ(testing::ReadAll(db.state().exePfad + "disp1.txt"), "1;Test\r\n\r\n\r\n");
}

TEST_F(DisplayTest, PaypointStartsTheConfiguredProgramWhenItExists) {
  const std::string exe = db.folder() + "/bcs.bin";
  Open("PAYPOINT", 0);
  EXPECT_TRUE(db.env().startedPrograms.empty());
  EXPECT_NE(testing::ReadAll(ini.PathOf("TOLVEN.INI")).find("EXE="), std::string::npos);

  ASSERT_TRUE(ini.Write("TOLVEN.INI", "BCS", "EXE", exe));
  display->OpenDisplay();
  EXPECT_TRUE(db.env().startedPrograms.empty());  // configured, but not there
  testing::WriteAll(exe, "x");
  display->OpenDisplay();
  EXPECT_EQ(db.env().startedPrograms, std::vector<std::string>{exe});
}

}  // namespace
}  // namespace tolven::display
