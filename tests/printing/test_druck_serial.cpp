// Serial channels against recording ports: what the engine asks of the port,
// the pauses on the fake clock, failures, and the printer behind the customer
// display.
#include <gtest/gtest.h>

#include <algorithm>

#include "display/modDisplay4.h"
#include "druck_fixture.h"
#include "printing/convert_umlauts.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

const std::string kInit = Bytes({27, 116, 2});
const std::string kCut = Bytes({29, 86, 49}) + "\r\n";

std::vector<std::string> Numbered(int n) {
  std::vector<std::string> lines;
  for (int i = 0; i < n; ++i) lines.push_back("Zeile " + std::to_string(i));
  return lines;
}

TEST(SerialChannel, PortSettingsHandshakeAndLinesFollowTheCodes) {
  using platform::Handshake;
  struct Case {
    const char* channel;
    const char *baud, *handshake, *portsEntry;  // nullptr: not configured
    bool cut;
    std::string device, settings;
    Handshake mode;
  } cases[] = {
      {"COM1", nullptr, nullptr, nullptr, true, "/dev/ttyS0", "9600,N,8,1", Handshake::XonXoff},
      {"COM10", "19200", "XONXOFF", nullptr, true, "/dev/ttyS0", "19200,N,8,1", Handshake::XonXoff},  // "COM1"
      {"COM3", "38400", "xonxoff", "/dev/ttyUSB0", false, "/dev/ttyUSB0", "38400,N,8,1", Handshake::XonXoff},
      {"COM2", nullptr, "KEIN", nullptr, false, "/dev/ttyS1", "9600,N,8,1", Handshake::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    DruckRig r;
    if (c.baud) r.Code("BAUD", c.baud);
    if (c.handshake) r.Code("HANDSHAKE", c.handshake);
    if (c.portsEntry) r.Port(c.channel, c.portsEntry);
    ASSERT_TRUE(r.engine->MyPrint({"Grüße"}, c.channel, c.cut, false).ok());
    ASSERT_EQ(r.serialPorts.size(), 1u);
    const FakeSerialPort& p = *r.serialPorts[0];
    EXPECT_EQ(p.device, c.device);
    EXPECT_EQ(p.settings, c.settings);
    EXPECT_EQ(p.handshake, c.mode);
    EXPECT_TRUE(p.dtr && p.rts) << "printers waiting for DSR see the lines raised";
    EXPECT_FALSE(p.open) << "closed after the printout";
    // Without UMLAUTKONVERTIERUNG the text goes out unconverted.
    EXPECT_EQ(p.written, kInit + "Grüße\r\n" + (c.cut ? kCut : ""));
    EXPECT_EQ(r.engine->statusText(), "Belegdruck beendet.");
  }
}

TEST(SerialChannel, PausesAfterTheFirstLinesOnTheFakeClock) {
  struct Case {
    const char* handshake;
    const char* delay;  // SERIAL-DELAY as a byte list
    bool slow;
    int lines, pauses, pauseMs;
    bool warned;
  } cases[] = {
      {"NONE", nullptr, true, 60, 19, 250, false},  // slow printer: lines 41..59; 51..59 at 35 ms otherwise
      {"NONE", "5", false, 53, 2, 50, false},
      {"NONE", "99", false, 52, 1, 990, false},
      {"NONE", "100", false, 52, 1, 35, true},  // refused with a warning, the pause stays
      {"NONE", "0", false, 52, 1, 35, false},
      {"", nullptr, false, 1000, 0, 0, false},  // XON/XOFF: no pauses below 1000 lines
      {"", nullptr, true, 1002, 2, 1, false},
      {"", "5", false, 1001, 1, 1, false},  // the handshake wins over SERIAL-DELAY
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lines) + " lines, delay " + (c.delay ? c.delay : "-"));
    DruckRig r;
    if (*c.handshake) r.Code("HANDSHAKE", c.handshake);
    if (c.delay) r.Code("SERIAL-DELAY", c.delay);
    ASSERT_TRUE(r.engine->MyPrint(Numbered(c.lines), "COM1", true, c.slow).ok());
    EXPECT_EQ(r.env.sleeps(), std::vector<int>(static_cast<size_t>(c.pauses), c.pauseMs));
    EXPECT_EQ(r.ui.HasMessage("Falsche Einstellung für 'SERIAL-DELAY' in 'KASSEPRTCODES.INI'."), c.warned);
    EXPECT_EQ(r.log.Has("WARNUNG: Falsche Einstellung"), c.warned);
  }
}

TEST(SerialChannel, PortFailuresAbandonThePrintout) {
  for (bool failOpen : {true, false}) {
    SCOPED_TRACE(failOpen ? "open" : "write");
    DruckRig r;
    r.serialFailOpen = failOpen;
    r.serialFailWrite = !failOpen;
    EXPECT_FALSE(r.engine->MyPrint({"x", "y"}, "COM10", true, false).ok());
    ASSERT_EQ(r.ui.messages.size(), 1u);
    EXPECT_TRUE(StartsWith(r.ui.messages[0].text, "Fehler bei Druck auf COM1\r\n\r\nWindows meldet: "))
        << r.ui.messages[0].text;
    EXPECT_EQ(r.ui.messages[0].kind, platform::MsgKind::Critical);
    EXPECT_TRUE(r.log.Has("FEHLER: Fehler bei Druck auf COM1 Windows meldet: "));
    EXPECT_FALSE(r.serialPorts[0]->open);
    EXPECT_TRUE(r.env.sleeps().empty());
  }
}

// The printer behind the customer display, with the real display module.
struct DisplayRig {
  TestDb db;
  RecordingLog log;
  platform::IniFile ini{db.env(), db.folder()};
  std::vector<std::unique_ptr<FakeSerialPort>> ports;
  display::modDisplay4 display{db.tools(), ini,
                               [this]() -> std::unique_ptr<platform::SerialPort> {
                                 ports.push_back(std::make_unique<FakeSerialPort>());
                                 return std::make_unique<SerialProxy>(*ports.back());
                               },
                               [](const std::string& t) { return printing::ConvertUmlauts(t); }};
  printing::frmDruck2 engine{db.env(), db.ui(), ini,
                             [this](const std::string& n) { return printing::GetPrinterCode(ini, n); },
                             printing::frmDruck2::Devices{nullptr, nullptr, nullptr, &display},
                             log, db.folder() + "/"};

  DisplayRig(const std::string& type, int comdisp) {
    db.Exec("INSERT INTO systemhw (filnr, kasse, comdisp, disptyp) VALUES (1, 1, " + std::to_string(comdisp) + ", '" +
            type + "')");
  }
};

TEST(DisplayChannel, PrintsBetweenThePassThroughCodesOfTheDisplayKind) {
  struct Case {
    const char* type;
    std::string on, off;
  } cases[] = {
      {"EPSON DM-D110", Bytes({27, 61, 1}), Bytes({27, 61, 2})},
      {"GLANCETRON 8003", Bytes({27, 95, 80}), Bytes({27, 95, 68})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    DisplayRig r(c.type, 2);
    ASSERT_TRUE(r.engine.MyPrint(Numbered(28), "DISP", true, false).ok());
    ASSERT_EQ(r.ports.size(), 1u);
    const std::string& w = r.ports[0]->written;
    std::string printout = c.on + kInit;
    for (const auto& l : Numbered(28)) printout += l + "\r\n";
    printout += kCut + c.off;
    size_t at = w.find(printout);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(w.substr(0, at).find("Belegdruck..."), std::string::npos) << "shown before the printout";
    EXPECT_NE(w.find('.', at + printout.size()), std::string::npos) << "\".\" shown afterwards";
    EXPECT_TRUE(r.ports[0]->open) << "the port stays with the display";
    EXPECT_EQ(std::count(r.db.env().sleeps().begin(), r.db.env().sleeps().end(), 35), 2)
        << "35 ms after every line from line 26 on";
  }
}

TEST(DisplayChannel, ClosedDisplayPortAbandonsThePrintout) {
  DisplayRig r("EPSON", 0);  // no port configured: the display stays closed
  EXPECT_FALSE(r.engine.MyPrint({"x"}, "DISP", true, false).ok());
  EXPECT_TRUE(r.db.ui().HasMessage("Fehler bei Druck auf DISP\r\n\r\nWindows meldet: "));
}

}  // namespace
}  // namespace tolven::testing
