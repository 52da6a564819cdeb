// A serial printout through the real POSIX serial port into a pseudo-terminal
// whose other side stands in for the printer: the bytes must arrive exactly.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "druck_fixture.h"

namespace tolven::testing {
namespace {

// The printer's end of the line: collects everything until told to stop and
// the line has been quiet for a moment.
class PtyPrinter {
 public:
  PtyPrinter() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    device_ = name;
    reader_ = std::thread([this] {
      for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0 && (p.revents & POLLIN)) {
          char buf[4096];
          ssize_t n = ::read(master_, buf, sizeof buf);
          if (n > 0) received_.append(buf, static_cast<size_t>(n));
        } else if (stop_) {
          return;  // quiet and told to stop
        }
      }
    });
  }
  ~PtyPrinter() {
    Stop();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  const std::string& device() const { return device_; }
  std::string Stop() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    return received_;
  }

 private:
  int master_ = -1, slave_ = -1;  // the slave stays open so the master never sees a hang-up
  std::string device_, received_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

TEST(SerialPty, PrintoutArrivesByteForByte) {
  PtyPrinter printer;
  ASSERT_FALSE(printer.device().empty()) << "openpty failed";
  DruckRig r(true);
  r.Port("COM3", printer.device());
  r.Code("HANDSHAKE", "NONE");
  r.Code("PRTINIT", "27,64");
  r.Code("UMLAUTKONVERTIERUNG", "1");

  const std::string drawer = Bytes({27, 112, 0, 9, 1});
  const std::string qr = Bytes({29, 40, 107, 4, 0, 49, 65, 50, 0}) + "ä";  // QR data is not converted
  std::vector<std::string> lines = {"Grüße aus der Küche", drawer, qr, "Café 3,50 €", "Ende\f"};
  for (int i = 0; i < 55; ++i) lines.push_back("Position " + std::to_string(i) + std::string(30, '.'));
  ASSERT_TRUE(r.engine->MyPrint(lines, "COM3", true, false).ok()) << r.OnlyMessage();
  std::string received = printer.Stop();

  std::string expected = Bytes({27, 64, 27, 116, 2});
  expected += "Gr" + Bytes({129, 225}) + "e aus der K" + Bytes({129}) + "che\r\n";
  expected += drawer;        // drawer codes travel without a line end
  expected += qr + "\r\n";
  expected += "Cafe 3,50 " + Bytes({213}) + "\r\n";
  expected += "Ende\f";      // a form feed line as it is
  for (int i = 0; i < 55; ++i) expected += "Position " + std::to_string(i) + std::string(30, '.') + "\r\n";
  expected += Bytes({29, 86, 49}) + "\r\n";
  EXPECT_EQ(HexEncode(received), HexEncode(expected));
  // 60 lines without handshake: a 35 ms pause after each of lines 51..59, on the fake clock.
  EXPECT_EQ(r.env.sleeps(), std::vector<int>(9, 35));
  EXPECT_TRUE(r.ui.messages.empty());
  for (const char* s : {"Schubladenöffnung...", "QR-Code-Druck...", "Papiervorschub...", "Papierschnitt..."})
    EXPECT_TRUE(r.HadStatus(s)) << s;
}

}  // namespace
}  // namespace tolven::testing
