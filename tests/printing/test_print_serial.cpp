// A serial printout through the real POSIX port into a pseudo-terminal whose
// other side stands in for the printer: the bytes that arrive.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include "print_engine_fixture.h"

namespace tolven::testing {
namespace {

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
  PrintEngineRig r;
  ASSERT_TRUE(r.ini.Write("TOLVEN.INI", "PORTS", "COM3", printer.device).ok());
  r.Code("HANDSHAKE", "NONE");
  r.Code("PRTINIT", "27,64");
  r.Code("UMLAUTKONVERTIERUNG", "1");
  r.Code("SCHUBLADE", "27,112,0,25,250");
  r.Code("KÜCHENSUMMER", "27,112,0,250,252");
  r.Code("FARBE1", "27,114,252");
  r.Code("SERIAL-DELAY", "5");  // a byte list: 5 x 10 ms

  // Printer commands are not converted, nor is the QR code's data (byte 250
  // would otherwise become "u", 252 byte 129).
  const std::string drawer = Bytes({27, 112, 0, 25, 250}), buzzer = Bytes({27, 112, 0, 250, 252});
  const std::string qr = Bytes({29, 40, 107, 4, 0, 49, 65, 50, 0}) + "ä";
  std::vector<std::string> lines = {
      "Grüße aus der Küche", drawer, buzzer, qr, Bytes({27, 114, 252}) + "Café 3,50 €" + Bytes({27, 114, 0}), "Ende\f"};
  for (int i = 0; i < 54; ++i) lines.push_back("Position " + std::to_string(i) + std::string(30, '.'));
  ASSERT_TRUE(r.engine->MyPrint(lines, "COM3", true, false).ok()) << r.ui.messages.at(0).text;

  // Drawer codes travel without a line end, a form feed line as it is.
  std::string expected = Bytes({27, 64, 27, 116, 2}) + "Gr" + Bytes({129, 225}) + "e aus der K" + Bytes({129}) +
                         "che\r\n" + drawer + buzzer + "\r\n" + qr + "\r\n" + Bytes({27, 114, 252}) + "Cafe 3,50 " +
                         Bytes({213, 27, 114, 0}) + "\r\nEnde\f";
  for (int i = 0; i < 54; ++i) expected += "Position " + std::to_string(i) + std::string(30, '.') + "\r\n";
  EXPECT_EQ(HexEncode(printer.Received()), HexEncode(expected + Bytes({29, 86, 49}) + "\r\n"));
  // 60 lines without handshake: a pause after each of lines 51..59, on the fake clock.
  EXPECT_EQ(r.env.sleeps(), std::vector<int>(9, 50));
  for (const char* s : {"Schubladenöffnung...", "QR-Code-Druck...", "Papiervorschub...", "Papierschnitt..."})
    EXPECT_TRUE(r.HadStatus(s)) << s;
}

}  // namespace
}  // namespace tolven::testing
