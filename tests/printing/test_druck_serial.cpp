// Serial channels against recording ports: what the engine asks of the port
// (device, settings, handshake, lines), the bytes in order, the pauses on the
// fake clock, the print log, and the customer display's pass-through.
#include <gtest/gtest.h>

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

TEST(SerialChannel, PortSettingsFollowTheCodes) {
  struct Case {
    const char* channel;
    const char* baud;       // nullptr: not configured
    const char* handshake;  // nullptr: not configured
    const char* portsEntry;
    std::string device, settings;
    platform::Handshake mode;
  } cases[] = {
      {"COM1", nullptr, nullptr, nullptr, "/dev/ttyS0", "9600,N,8,1", platform::Handshake::XonXoff},
      {"COM10", "19200", "XONXOFF", nullptr, "/dev/ttyS0", "19200,N,8,1", platform::Handshake::XonXoff},
      {"COM3", "38400", "xonxoff", "/dev/ttyUSB0", "/dev/ttyUSB0", "38400,N,8,1", platform::Handshake::XonXoff},
      {"COM2", nullptr, "KEIN", nullptr, "/dev/ttyS1", "9600,N,8,1", platform::Handshake::None},
  };
  for (const Case& c : cases) {
    DruckRig r;
    if (c.baud) r.Code("BAUD", c.baud);
    if (c.handshake) r.Code("HANDSHAKE", c.handshake);
    if (c.portsEntry) {
      ASSERT_TRUE(r.ini.Write("TOLVEN.INI", "PORTS", c.channel, c.portsEntry).ok());
    }
    ASSERT_TRUE(r.engine->MyPrint({"x"}, c.channel, true, false).ok()) << c.channel;
    ASSERT_EQ(r.serialPorts.size(), 1u);
    const FakeSerialPort& p = *r.serialPorts[0];
    EXPECT_EQ(p.device, c.device) << c.channel;
    EXPECT_EQ(p.settings, c.settings) << c.channel;
    EXPECT_EQ(p.handshake, c.mode) << c.channel;
    EXPECT_TRUE(p.dtr && p.rts) << "printers waiting for DSR see the lines raised";
    EXPECT_FALSE(p.open) << "closed after the printout";
    EXPECT_EQ(r.engine->statusText(), "Belegdruck beendet.");
  }
}

TEST(SerialChannel, BytesInOrderForEveryKindOfLine) {
  DruckRig r;
  r.Code("HANDSHAKE", "NONE");
  r.Code("PRTINIT", "27,64");
  r.Code("UMLAUTKONVERTIERUNG", "1");
  const std::string drawer = Bytes({27, 112, 0, 9, 1});
  const std::string drawer2Long = Bytes({27, 112, 1, 100, 100});
  const std::string qr = Bytes({29, 40, 107, 3, 0, 49, 80, 48}) + "https://ä";
  const std::string feed = "Ende" + Bytes({12});
  std::vector<std::string> lines = {"Grüße", drawer, qr, feed, drawer2Long, "Café €"};
  ASSERT_TRUE(r.engine->MyPrint(lines, "COM1", true, false).ok());
  const FakeSerialPort& p = *r.serialPorts[0];
  std::vector<std::string> expected = {
      Bytes({27, 64}),
      kInit,
      "Gr" + Bytes({129, 225}) + "e\r\n",
      drawer,           // drawer codes travel without a line end
      qr + "\r\n",      // QR data is not converted
      feed,             // a form feed line as it is
      drawer2Long,
      "Cafe " + Bytes({213}) + "\r\n",
      kCut,
  };
  EXPECT_EQ(p.writes, expected);
  for (const char* s : {"Schubladenöffnung...", "QR-Code-Druck...", "Papiervorschub...", "Papierschnitt...",
                        "Belegdruck Zeile 5 von 5. Bitte warten..."})
    EXPECT_TRUE(r.HadStatus(s)) << s;
}

TEST(SerialChannel, NoConversionUnlessSwitchedOnAndNoCutWhenNotAsked) {
  DruckRig r;
  ASSERT_TRUE(r.engine->MyPrint({"Grüße"}, "COM1", false, false).ok());
  EXPECT_EQ(r.serialPorts[0]->written, kInit + "Grüße\r\n");
}

TEST(SerialChannel, PausesAfterTheFirstLinesOnTheFakeClock) {
  struct Case {
    const char* handshake;
    const char* delay;  // SERIAL-DELAY as a byte list
    bool slow;
    int lines;
    int pauses, pauseMs;
    bool warned;
  } cases[] = {
      {"NONE", nullptr, false, 60, 9, 35, false},    // lines 51..59
      {"NONE", nullptr, true, 60, 19, 250, false},   // lines 41..59
      {"NONE", "5", false, 53, 2, 50, false},
      {"NONE", "99", false, 52, 1, 990, false},
      {"NONE", "100", false, 52, 1, 35, true},       // refused with a warning, the pause stays
      {"NONE", "0", false, 52, 1, 35, false},
      {"", nullptr, false, 1000, 0, 0, false},       // XON/XOFF: no pauses below 1000 lines
      {"", nullptr, true, 1002, 2, 1, false},
      {"", "5", false, 1001, 1, 1, false},           // the handshake wins over SERIAL-DELAY
  };
  for (const Case& c : cases) {
    DruckRig r;
    if (*c.handshake) r.Code("HANDSHAKE", c.handshake);
    if (c.delay) r.Code("SERIAL-DELAY", c.delay);
    ASSERT_TRUE(r.engine->MyPrint(Numbered(c.lines), "COM1", true, c.slow).ok());
    ASSERT_EQ(r.env.sleeps().size(), static_cast<size_t>(c.pauses)) << c.lines << " " << (c.delay ? c.delay : "");
    for (int ms : r.env.sleeps()) EXPECT_EQ(ms, c.pauseMs);
    EXPECT_EQ(r.ui.HasMessage("Falsche Einstellung für 'SERIAL-DELAY' in 'KASSEPRTCODES.INI'. Geben Sie Werte "
                              "zwischen 1 und 100 an (n*10 msec)."),
              c.warned);
    EXPECT_EQ(r.log.Has("WARNUNG: Falsche Einstellung"), c.warned);
  }
}

TEST(SerialChannel, PrintLogWhenSwitchedOn) {
  DruckRig r;
  r.Code("PRTLOG", "JA");
  r.Code("HANDSHAKE", "NONE");
  r.env.SetNow(DateTime{Date{2026, 12, 5}, 9, 7, 3, 42});
  ASSERT_TRUE(r.engine->MyPrint({"Tisch 4", Bytes({27, 112, 0, 9, 1})}, "COM2", true, false).ok());
  std::string expected;
  for (const std::string& l :
       {std::string("---"), std::string("Starte Druck..."), std::string("Handshake: NONE"),
        std::string("Port 2 geöffnet"), std::string("2 Druckzeilen"),
        "0001: " + std::string("Tisch 4") + std::string(38, ' ') + " | 54697363682034",
        "0002: .p..." + std::string(40, ' ') + " | 1B70000901", std::string("Sende Code für Schubladenöffnung..."),
        std::string("Sende Code für Papierschnitt..."), std::string("Schließe Port..."),
        std::string("Druckvorgang beendet.")})
    expected += "09:07:03,042 " + l + "\r\n";
  EXPECT_EQ(r.PrintLogFile(), expected);
}

TEST(SerialChannel, PortThatCannotOpenAbandonsThePrintout) {
  DruckRig r;
  r.serialFailOpen = true;
  Status st = r.engine->MyPrint({"x"}, "COM10", true, false);
  EXPECT_FALSE(st.ok());
  ASSERT_EQ(r.ui.messages.size(), 1u);
  EXPECT_EQ(r.ui.messages[0].text,
            "Fehler bei Druck auf COM1\r\n\r\nWindows meldet: open(/dev/ttyS0): No such file or directory");
  EXPECT_EQ(r.ui.messages[0].kind, platform::MsgKind::Critical);
  EXPECT_TRUE(r.log.Has("FEHLER: Fehler bei Druck auf COM1 Windows meldet: open(/dev/ttyS0)"));
  EXPECT_TRUE(r.serialPorts[0]->written.empty());
}

TEST(SerialChannel, WriteFailureIsAnErrorAndClosesThePort) {
  DruckRig r;
  r.serialFailWrite = true;
  EXPECT_FALSE(r.engine->MyPrint({"x", "y"}, "COM1", true, false).ok());
  EXPECT_FALSE(r.serialPorts[0]->open);
  EXPECT_TRUE(r.ui.HasMessage("Fehler bei Druck auf COM1"));
  EXPECT_TRUE(r.env.sleeps().empty());
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

  explicit DisplayRig(const std::string& type, int comdisp) {
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
    DisplayRig r(c.type, 2);
    std::vector<std::string> lines = Numbered(28);
    ASSERT_TRUE(r.engine.MyPrint(lines, "DISP", true, false).ok()) << c.type;
    ASSERT_EQ(r.ports.size(), 1u);
    const std::string& w = r.ports[0]->written;
    std::string printout = c.on + kInit;
    for (const auto& l : lines) printout += l + "\r\n";
    printout += kCut + c.off;
    size_t at = w.find(printout);
    ASSERT_NE(at, std::string::npos) << c.type;
    EXPECT_NE(w.substr(0, at).find("Belegdruck..."), std::string::npos) << "shown before the printout";
    EXPECT_NE(w.find('.', at + printout.size()), std::string::npos) << "\".\" shown afterwards";
    EXPECT_TRUE(r.ports[0]->open) << "the port stays with the display";
    // Behind the display: 35 ms after every line from line 26 on.
    std::vector<int> pauses;
    for (int ms : r.db.env().sleeps())
      if (ms == 35) pauses.push_back(ms);
    EXPECT_EQ(pauses.size(), 2u) << c.type;
  }
}

TEST(DisplayChannel, SlowPrinterKeepsItsLongerPause) {
  DisplayRig r("EPSON", 2);
  ASSERT_TRUE(r.engine.MyPrint(Numbered(27), "DISP", true, true).ok());
  int longPauses = 0;
  for (int ms : r.db.env().sleeps()) longPauses += ms == 250;
  EXPECT_EQ(longPauses, 1);
}

TEST(DisplayChannel, ClosedDisplayPortAbandonsThePrintout) {
  DisplayRig r("EPSON", 0);  // no port configured: the display stays closed
  EXPECT_FALSE(r.engine.MyPrint({"x"}, "DISP", true, false).ok());
  EXPECT_TRUE(r.db.ui().HasMessage("Fehler bei Druck auf DISP\r\n\r\nWindows meldet: "));
  EXPECT_TRUE(r.log.Has("FEHLER: Fehler bei Druck auf DISP"));

  DruckRig without;  // no display module at all
  EXPECT_FALSE(without.engine->MyPrint({"x"}, "DISP", true, false).ok());
  EXPECT_TRUE(without.ui.HasMessage("Fehler bei Druck auf DISP"));
}

}  // namespace
}  // namespace tolven::testing
