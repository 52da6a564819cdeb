// A serial printout through the real POSIX serial port into a pseudo-terminal
// whose other side stands in for the printer: the bytes must arrive exactly.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/text.h"
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
    reader_ = std::thread([this] { Read(); });
  }
  ~PtyPrinter() {
    Stop();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return !device_.empty(); }
  const std::string& device() const { return device_; }
  std::string Stop() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    return received_;
  }

 private:
  void Read() {
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      int ready = ::poll(&p, 1, 100);
      if (ready > 0 && (p.revents & POLLIN)) {
        char buf[4096];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) received_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (stop_) return;  // quiet and told to stop
    }
  }

  int master_ = -1, slave_ = -1;  // the slave stays open so the master never sees a hang-up
  std::string device_;
  std::string received_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

TEST(SerialPty, PrintoutArrivesByteForByte) {
  PtyPrinter printer;
  ASSERT_TRUE(printer.ok()) << "openpty failed";
  DruckRig r;
  ASSERT_TRUE(r.ini.Write("TOLVEN.INI", "PORTS", "COM3", printer.device()).ok());
  r.Code("HANDSHAKE", "NONE");
  r.Code("PRTINIT", "27,64");
  r.Code("UMLAUTKONVERTIERUNG", "1");
  printing::frmDruck2::Devices devices;
  devices.serialPort = [] { return platform::MakeSerialPort(); };
  printing::frmDruck2 engine(r.env, r.ui, r.ini, [&r](const std::string& n) { return printing::GetPrinterCode(r.ini, n); },
                             devices, r.log, r.dir.path() + "/");

  const std::string drawer = Bytes({27, 112, 0, 9, 1});
  const std::string qr = Bytes({29, 40, 107, 4, 0, 49, 65, 50, 0});
  std::vector<std::string> lines = {"Grüße aus der Küche", drawer, qr, "Preis 3,50 €"};
  for (int i = 0; i < 56; ++i) lines.push_back("Position " + std::to_string(i) + std::string(30, '.'));
  ASSERT_TRUE(engine.MyPrint(lines, "COM3", true, false).ok()) << (r.ui.messages.empty() ? "" : r.ui.messages[0].text);
  std::string received = printer.Stop();

  std::string expected = Bytes({27, 64, 27, 116, 2});
  expected += "Gr" + Bytes({129, 225}) + "e aus der K" + Bytes({129}) + "che\r\n";
  expected += drawer;
  expected += qr + "\r\n";
  expected += "Preis 3,50 " + Bytes({213}) + "\r\n";
  for (int i = 0; i < 56; ++i) expected += "Position " + std::to_string(i) + std::string(30, '.') + "\r\n";
  expected += Bytes({29, 86, 49}) + "\r\n";
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_EQ(HexEncode(received), HexEncode(expected));
  // 60 lines without handshake: a 35 ms pause after each of lines 51..59, on the fake clock.
  EXPECT_EQ(r.env.sleeps(), std::vector<int>(9, 35));
  EXPECT_TRUE(r.ui.messages.empty());
}

}  // namespace
}  // namespace tolven::testing
