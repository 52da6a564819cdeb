// Serial channels: against recording ports what the engine asks of the port,
// the pauses on the fake clock, failures and the printer behind the customer
// display; through the real POSIX port into a pseudo-terminal whose other side
// stands in for the printer, the bytes that arrive.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>

#include "display/customer_display.h"
#include "print_engine_fixture.h"
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

TEST(SerialChannel, PortSettingsHandshakeAndLinesFollowTheCodesAndFailuresAbandonThePrintout) {
  struct Case {
    const char *channel, *baud, *handshake;  // nullptr: not configured
    bool cut;
    std::string port;  // device, settings, handshake
  } cases[] = {
      {"COM1", nullptr, nullptr, true, "/dev/ttyS0 9600,N,8,1 1"},
      {"COM10", "19200", "XONXOFF", true, "/dev/ttyS0 19200,N,8,1 1"},  // "COM1"
      {"COM2", nullptr, "KEIN", false, "/dev/ttyS1 9600,N,8,1 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    PrintEngineRig r;
    if (c.baud) r.Code("BAUD", c.baud);
    if (c.handshake) r.Code("HANDSHAKE", c.handshake);
    ASSERT_TRUE(r.engine->MyPrint({"Grüße"}, c.channel, c.cut, false).ok());
    ASSERT_EQ(r.serialPorts.size(), 1u);
    const FakeSerialPort& p = *r.serialPorts[0];
    EXPECT_EQ(p.device + " " + p.settings + " " + std::to_string(static_cast<int>(p.handshake)), c.port);
    // Printers waiting for DSR see the lines raised; the port is closed after the printout.
    EXPECT_TRUE(p.dtr && p.rts && !p.open);
    // Without UMLAUTKONVERTIERUNG the text goes out unconverted.
    EXPECT_EQ(p.written, kInit + "Grüße\r\n" + (c.cut ? kCut : ""));
    EXPECT_EQ(r.engine->statusText(), "Belegdruck beendet.");
  }
  for (bool failOpen : {true, false}) {
    SCOPED_TRACE(failOpen ? "open" : "write");
    PrintEngineRig r;
    r.serialFailOpen = failOpen;
    r.serialFailWrite = !failOpen;
    EXPECT_FALSE(r.engine->MyPrint({"x", "y"}, "COM10", true, false).ok());
    EXPECT_TRUE(StartsWith(r.OnlyMessage(), "Fehler bei Druck auf COM1\r\n\r\nWindows meldet: ")) << r.OnlyMessage();
    EXPECT_TRUE(r.ui.messages.at(0).kind == platform::MsgKind::Critical && !r.serialPorts[0]->open);
  }
}

TEST(SerialChannel, PausesAfterTheFirstLinesOnTheFakeClock) {
  struct Case {
    const char *handshake, *delay;  // SERIAL-DELAY as a byte list
    bool slow;
    int lines, pauses, pauseMs;
    bool warned;
  } cases[] = {
      {"NONE", nullptr, true, 60, 19, 250, false},  // slow printer: lines 41..59; 51..59 at 35 ms otherwise
      {"NONE", "5", false, 53, 2, 50, false},
      {"NONE", "100", false, 52, 1, 35, true},  // refused with a warning, the pause stays
      {"", nullptr, false, 1000, 0, 0, false},  // XON/XOFF: no pauses below 1000 lines
      {"", nullptr, true, 1002, 2, 1, false},
      {"", "5", false, 1001, 1, 1, false},  // the handshake wins over SERIAL-DELAY
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lines) + " lines, delay " + (c.delay ? c.delay : "-"));
    PrintEngineRig r;
    if (*c.handshake) r.Code("HANDSHAKE", c.handshake);
    if (c.delay) r.Code("SERIAL-DELAY", c.delay);
    ASSERT_TRUE(r.engine->MyPrint(Numbered(c.lines), "COM1", true, c.slow).ok());
    EXPECT_EQ(r.env.sleeps(), std::vector<int>(static_cast<size_t>(c.pauses), c.pauseMs));
    EXPECT_EQ(r.ui.HasMessage("Falsche Einstellung für 'SERIAL-DELAY' in 'KASSEPRTCODES.INI'."), c.warned);
  }
}

// The printer behind the customer display prints between the pass-through
// codes of the display kind; the display shows its texts around the printout.
TEST(DisplayChannel, PrintsBetweenThePassThroughCodesOfTheDisplayKindOrFailsWhenClosed) {
  const std::tuple<const char*, int, std::string, std::string> cases[] = {
      {"EPSON DM-D110", 2, Bytes({27, 61, 1}), Bytes({27, 61, 2})},
      {"GLANCETRON 8003", 2, Bytes({27, 95, 80}), Bytes({27, 95, 68})},
      {"EPSON", 0, "", ""},  // no port configured: the display stays closed
  };
  for (const auto& [type, comdisp, on, off] : cases) {
    SCOPED_TRACE(type);
    TestDb db;
    RecordingLog log;
    platform::IniFile ini{db.env(), db.folder()};
    FakeSerialPort* port = nullptr;
    display::CustomerDisplay display{db.tools(), ini,
                                     [&] { return std::unique_ptr<platform::SerialPort>(port = new FakeSerialPort); },
                                     [](const std::string& t) { return printing::ConvertUmlauts(t); }};
    printing::ChannelPrintEngine engine{db.env(),
                                        db.ui(),
                                        ini,
                                        [&](const std::string& n) { return printing::GetPrinterCode(ini, n); },
                                        printing::ChannelPrintEngine::Devices{nullptr, nullptr, nullptr, &display},
                                        log,
                                        db.folder() + "/"};
    db.Exec("INSERT INTO systemhw (filnr, kasse, comdisp, disptyp) VALUES (1, 1, " + std::to_string(comdisp) + ", '" +
            type + "')");
    const bool printed = engine.MyPrint(Numbered(28), "DISP", true, false).ok();
    EXPECT_EQ(printed, comdisp != 0);
    if (!printed) {
      EXPECT_TRUE(db.ui().HasMessage("Fehler bei Druck auf DISP\r\n\r\nWindows meldet: "));
      continue;
    }
    std::string printout = on + kInit;
    for (const auto& l : Numbered(28)) printout += l + "\r\n";
    const size_t at = port->written.find(printout + kCut + off);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(port->written.substr(0, at).find("Belegdruck..."), std::string::npos) << "shown before the printout";
    EXPECT_NE(port->written.find('.', at + printout.size()), std::string::npos) << "\".\" shown afterwards";
    EXPECT_TRUE(port->open) << "the port stays with the display";
    EXPECT_EQ(std::count(db.env().sleeps().begin(), db.env().sleeps().end(), 35), 2)
        << "35 ms after every line from line 26 on";
  }
}

// The printer's end of a pseudo-terminal. The printout fits into the terminal's
// buffer, so it is read after the printout; the slave stays open so that the
// master never sees a hang-up.
struct PtyPrinter {
  int master = -1, slave = -1;
  std::string device;

  PtyPrinter() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) device = name;
  }
  // What arrived until the line has been quiet for 100 ms.
  std::string Received() {
    std::string got;
    char buf[4096];
    for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, 100) > 0;) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  ~PtyPrinter() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
};

TEST(SerialPty, PrintoutArrivesByteForByte) {
  PtyPrinter printer;
  ASSERT_FALSE(printer.device.empty()) << "openpty failed";
  PrintEngineRig r(true);
  r.Port("COM3", printer.device);
  r.Code("HANDSHAKE", "NONE");
  r.Code("PRTINIT", "27,64");
  r.Code("UMLAUTKONVERTIERUNG", "1");
  r.Code("SCHUBLADE", "27,112,0,25,250");
  r.Code("KÜCHENSUMMER", "27,112,0,250,252");
  r.Code("FARBE1", "27,114,252");

  // Printer commands are not converted, nor is the QR code's data (byte 250
  // would otherwise become "u", 252 byte 129).
  const std::string drawer = Bytes({27, 112, 0, 25, 250}), buzzer = Bytes({27, 112, 0, 250, 252});
  const std::string qr = Bytes({29, 40, 107, 4, 0, 49, 65, 50, 0}) + "ä";
  std::vector<std::string> lines = {
      "Grüße aus der Küche", drawer, buzzer, qr, Bytes({27, 114, 252}) + "Café 3,50 €" + Bytes({27, 114, 0}), "Ende\f"};
  for (int i = 0; i < 54; ++i) lines.push_back("Position " + std::to_string(i) + std::string(30, '.'));
  ASSERT_TRUE(r.engine->MyPrint(lines, "COM3", true, false).ok()) << r.OnlyMessage();

  // Drawer codes travel without a line end, a form feed line as it is.
  std::string expected = Bytes({27, 64, 27, 116, 2}) + "Gr" + Bytes({129, 225}) + "e aus der K" + Bytes({129}) +
                         "che\r\n" + drawer + buzzer + "\r\n" + qr + "\r\n" + Bytes({27, 114, 252}) + "Cafe 3,50 " +
                         Bytes({213, 27, 114, 0}) + "\r\nEnde\f";
  for (int i = 0; i < 54; ++i) expected += "Position " + std::to_string(i) + std::string(30, '.') + "\r\n";
  EXPECT_EQ(HexEncode(printer.Received()), HexEncode(expected + kCut));
  // 60 lines without handshake: a 35 ms pause after each of lines 51..59, on the fake clock.
  EXPECT_EQ(r.env.sleeps(), std::vector<int>(9, 35));
  EXPECT_TRUE(r.ui.messages.empty());
  for (const char* s : {"Schubladenöffnung...", "QR-Code-Druck...", "Papiervorschub...", "Papierschnitt..."})
    EXPECT_TRUE(r.HadStatus(s)) << s;
}

}  // namespace
}  // namespace tolven::testing
