#include "display/customer_display.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "support/fake_devices.h"
#include "support/test_db.h"

namespace tolven::display {
namespace {

using platform::Handshake;
using testing::FakeSerialPort;

const std::string kEsc = "\x1B", kFF = "\x0C";

TEST(DisplayKind, TypeTextDecidesKindAndPort) {
  const std::tuple<const char*, int, int> cases[] = {  // type, kind, port; the station's own port is 5
      {"VGA 2. Bildschirm", 12, 0}, {"IBM 8100", 2, 4}, {"EPSON DM-D110", 5, 5}, {"Epson ir-700", 5, 4},
      {"EPSON SR-610", 5, 3}, {"EPSON IR-320", 5, 3}, {"toshiba c-10", 17, 2}, {"TOSHIBA C-10", 17, 2},
      {"Toshiba LCD", 8, 5}, {"GLANCETRON 8003", 1, 5}, {"Jarltech 8650", 7, 5}, {"GLANCETRON 8036", 13, 5},
      {"JARLTECH 8035", 14, 5}, {"Glancetron 8802", 9, 3}, {"JARLTECH", 6, 5}, {"Aures Galeo", 10, 7},
      {"Kundenanzeige", 3, 5}, {"", 3, 5},
      // The first word in table order wins.
      {"EPSON VGA", 12, 0}, {"GLANCETRON 8100", 2, 4}, {"NCR TOSHIBA", 8, 5},
  };
  for (const auto& [type, kind, port] : cases) {
    const DisplayKind k = CustomerDisplay::DetermineKind(type, 5);
    EXPECT_EQ(std::make_pair(k.kind, k.comPort), std::make_pair(kind, port)) << type;
  }
  EXPECT_EQ(CustomerDisplay::DisplayUmlauts("ÄÜÖäüöß"), "AeUeOeaeueoess");
}

class DisplayTest : public ::testing::Test {
 protected:
  DisplayTest() { Make(); }
  // A fresh display whose factory hands out one fake port. The converter stands
  // in for the printer's character table, to show that it is applied.
  void Make() {
    pending_ = std::make_unique<FakeSerialPort>();
    fake = pending_.get();
    display = std::make_unique<CustomerDisplay>(
        db.tools(), ini, [this] { ++portsMade; return std::move(pending_); },
        [](const std::string& t) { return ReplaceAll(t, "ä", "\x84"); });
  }
  void Open(const std::string& type, int comdisp) {
    db.Exec("DELETE FROM systemhw");
    db.Exec("INSERT INTO systemhw (filnr, kasse, comdisp, disptyp) VALUES (1, 1, " + std::to_string(comdisp) + ", " +
            db::SqlText(type) + ")");
    display->OpenDisplay();
  }
  // The writes of one update on a display of the type.
  std::vector<std::string> Show(const std::string& type, const std::string& text1, const std::string& text2) {
    Open(type, 1);
    fake->writes.clear();
    display->ShowDisplay(text1, text2);
    return fake->writes;
  }

  testing::TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  std::unique_ptr<FakeSerialPort> pending_;
  FakeSerialPort* fake = nullptr;
  int portsMade = 0;
  std::unique_ptr<CustomerDisplay> display;
};

TEST_F(DisplayTest, OpeningSetsUpThePortAndResetsTheDisplay) {
  struct Case {
    const char* type;
    int comdisp;
    std::string port;  // device and settings
    Handshake hs;
    bool lines;  // DTR and RTS raised
    std::vector<std::string> writes;
    std::vector<int> sleeps;
  } cases[] = {
      {"Kundenanzeige", 2, "/dev/ttyS1 9600,N,8,1", Handshake::None, false, {std::string(40, ' ')}, {}},
      {"EPSON DM-D110", 5, "/dev/ttyS4 9600,N,8,1", Handshake::None, false,
       {kEsc + "@", "\x1F\x01", std::string("\x1F" "C\0", 3), kFF}, {200}},
      {"Toshiba C-10", 0, "/dev/ttyS1 115200,O,8,1", Handshake::None, false, {kEsc + "[2J\r"}, {}},
      {"IBM 8100", 0, "/dev/ttyS3 9600,N,8,1", Handshake::RtsCtsXonXoff, true,
       {kEsc + " ", kEsc + "#", std::string("\x1B*\0", 3), std::string("\x1B)\0", 3)}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    Make();
    const size_t sleepsBefore = db.env().sleeps().size();
    Open(c.type, c.comdisp);
    EXPECT_TRUE(display->initialised());
    EXPECT_EQ(fake->device + " " + fake->settings, c.port);
    EXPECT_TRUE(fake->handshake == c.hs && (fake->dtr && fake->rts) == c.lines);
    EXPECT_EQ(fake->writes, c.writes);
    EXPECT_EQ(std::vector<int>(db.env().sleeps().begin() + static_cast<long>(sleepsBefore), db.env().sleeps().end()),
              c.sleeps);
  }
  EXPECT_TRUE(db.ui().messages.empty());

  // The device comes through the PORTS section; opening again keeps the open port.
  Make();
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "PORTS", "COM4", "/dev/ttyUSB0"));
  Open("Epson IR-700", 0);
  display->OpenDisplay();
  EXPECT_EQ(fake->device + " " + std::to_string(fake->opens) + " " + std::to_string(fake->writes.size()),
            "/dev/ttyUSB0 1 8");  // reset twice, opened once
}

TEST_F(DisplayTest, UpdatesCutAndPadTwentyCharacterLines) {
  const std::string l1 = "Belegdruck...       ", l2 = "12,50 EUR plus Trink";
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"Kundenanzeige", {l1 + l2}},
      {"EPSON", {kFF, l1 + "\r" + l2}},
      {"IBM 8100", {kEsc + " ", kEsc + "(11" + l1, kEsc + "(21" + l2}},
      {"TOSHIBA C-10", {kEsc + "[2J" + kEsc + "[\x01;\x01H", l1 + "\r\n" + l2}},
      {"PAYPOINT", {"\xE7\x44" + l1 + l2 + "\x7E"}},
  };
  for (const auto& [type, writes] : cases) EXPECT_EQ(Show(type, "Belegdruck...", l2 + "geld"), writes) << type;
  // Control characters and a frame's end mark become blanks; the character table is applied.
  EXPECT_EQ(Show("PAYPOINT", "K\xE4\x1B=1~", ""),
            std::vector<std::string>{"\xE7\x44K\x84 =1 " + std::string(34, ' ') + "\x7E"});
  // The small display has 16 characters and no German letters.
  EXPECT_EQ(Show("MINIO", "Grüße aus Köln", "Straße"),
            (std::vector<std::string>{kFF, "Gruesse aus Koel\r", "Strasse         "}));
}

TEST_F(DisplayTest, NoPortLeavesTheDisplayClosedAndSilent) {
  Open("Kundenanzeige", 0);
  Open("CITIZEN", -3);
  db.Exec("DELETE FROM systemhw");  // no row for the station
  display->OpenDisplay();
  display->ShowDisplay("Belegdruck...", "");
  EXPECT_FALSE(display->initialised());
  EXPECT_EQ(display->port(), nullptr);
  EXPECT_EQ(fake->opens, 0);
  EXPECT_TRUE(db.ui().messages.empty());
}

TEST_F(DisplayTest, PortFailuresAreReportedAndTheNextOpeningTriesAgain) {
  fake->failOpen = true;
  Open("EPSON", 2);
  EXPECT_EQ(db.ui().messages.at(0).text,
            "Kundendisplay-Port kann nicht geöffnet werden: open(/dev/ttyS1): No such file or directory");
  EXPECT_FALSE(display->initialised());
  fake->failOpen = false;
  display->OpenDisplay();
  EXPECT_TRUE(display->initialised());

  // A display unplugged later: the dead port is closed, so the next opening finds it again.
  fake->failWrite = true;
  display->ShowDisplay("Belegdruck...", "");
  EXPECT_TRUE(db.ui().HasMessage("Anzeige auf Kundendisplay nicht möglich."));
  EXPECT_EQ(display->port(), nullptr);
  fake->failWrite = false;
  display->OpenDisplay();
  EXPECT_EQ(fake->opens, 3);
  EXPECT_EQ(display->port(), fake);

  // Without its configuration the display keeps what it had.
  db.Exec("DROP TABLE systemhw");
  display->OpenDisplay();
  EXPECT_TRUE(db.ui().HasMessage("Kundendisplay-Einstellungen können nicht gelesen werden: "));
  EXPECT_EQ(display->port(), fake);
}

TEST_F(DisplayTest, MonitorProgramGetsItsFile) {
  Open("VGA", 1);
  EXPECT_TRUE(portsMade == 0 && display->initialised());
  EXPECT_EQ(db.env().startedPrograms, std::vector<std::string>{db.state().exePfad + "vskddisp.exe"});
  const std::string file = db.state().exePfad + "disp1.txt";
  display->ShowDisplay("Belegdruck...", "", {{2, "Cola 0,3l"}, {1, "Pommes"}});
  EXPECT_EQ(testing::ReadAll(file), "2;Cola 0,3l\r\n1;Pommes\r\n\r\n");

  db.env().FailOperation("write", "disp1.txt");
  display->ShowDisplay(".", "");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_TRUE(StartsWith(db.ui().messages[0].text, "Anzeige auf Kundendisplay nicht möglich.\r\n\r\nFehler beim Dateizugriff: "));
  EXPECT_EQ(testing::ReadAll(file), "2;Cola 0,3l\r\n1;Pommes\r\n\r\n");  // the last complete file stays
}

}  // namespace
}  // namespace tolven::display
