// Settings texts of serial ports, their termios translation, and the real
// POSIX port against a pseudo-terminal (stalls and XON/XOFF).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "platform/posix_serial.h"
#include "platform/serial_settings.h"

namespace tolven::testing {
namespace {

using platform::Handshake;

TEST(SerialSettingsText, AcceptedAndRefused) {
  struct Case {
    const char* text;
    bool ok;
    int baud;
    char parity;
    int data, stop;
  } cases[] = {
      {"9600,N,8,1", true, 9600, 'N', 8, 1},     {"115200,o,8,1", true, 115200, 'O', 8, 1},
      {" 19200 , e , 7 , 2 ", true, 19200, 'E', 7, 2}, {"2400,M,5,1.5", true, 2400, 'M', 5, 2},
      {"9600,N,8", false, 0, 0, 0, 0},          {"9600,N,8,1,1", false, 0, 0, 0, 0},
      {"9600x,N,8,1", false, 0, 0, 0, 0},       {"-9600,N,8,1", false, 0, 0, 0, 0},
      {"9600,NO,8,1", false, 0, 0, 0, 0},       {"9600,N,9,1", false, 0, 0, 0, 0},
      {"9600,N,8,3", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    platform::SerialSettings s;
    Status st = platform::ParseSerialSettings(c.text, s);
    EXPECT_EQ(st.ok(), c.ok) << c.text;
    if (!c.ok || !st.ok()) continue;
    EXPECT_EQ(s.baud, c.baud) << c.text;
    EXPECT_EQ(s.parity, c.parity) << c.text;
    EXPECT_EQ(s.dataBits, c.data) << c.text;
    EXPECT_EQ(s.stopBits, c.stop) << c.text;
  }
}

TEST(SerialTermios, FlagsForSettingsAndHandshake) {
  struct Case {
    const char* text;
    Handshake hs;
    speed_t speed;
    tcflag_t size, parity;  // parity: the PARENB/PARODD/CMSPAR bits expected
    bool twoStop;
  } cases[] = {
      {"9600,N,8,1", Handshake::None, B9600, CS8, 0, false},
      {"115200,O,8,1", Handshake::None, B115200, CS8, PARENB | PARODD, false},
      {"19200,E,7,2", Handshake::XonXoff, B19200, CS7, PARENB, true},
      {"38400,M,8,1", Handshake::RtsCts, B38400, CS8, PARENB | PARODD | CMSPAR, false},
      {"1200,S,5,1.5", Handshake::None, B1200, CS5, PARENB | CMSPAR, true},
  };
  for (const Case& c : cases) {
    termios t{};
    // Start from a cooked terminal so that the translation has something to switch off.
    t.c_iflag = ICRNL | IXON | IXANY | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CRTSCTS | HUPCL;
    ASSERT_TRUE(platform::SerialSettingsToTermios(c.text, c.hs, t).ok()) << c.text;
    EXPECT_EQ(cfgetospeed(&t), c.speed) << c.text;
    EXPECT_EQ(cfgetispeed(&t), c.speed) << c.text;
    EXPECT_EQ(t.c_cflag & CSIZE, c.size) << c.text;
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.parity) << c.text;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop) << c.text;
    EXPECT_EQ((t.c_iflag & INPCK) != 0, c.parity != 0) << c.text;
    EXPECT_TRUE(t.c_cflag & CLOCAL) << "a printer without carrier must not block the port";
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & HUPCL) << "unrelated bits are kept";
    EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), c.hs == Handshake::XonXoff) << c.text;
    EXPECT_EQ((t.c_iflag & IXANY), 0u);
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.hs == Handshake::RtsCts) << c.text;
    EXPECT_EQ(t.c_oflag & OPOST, 0u) << "bytes leave unchanged";
    EXPECT_EQ(t.c_iflag & (ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  }
}

TEST(SerialTermios, RefusedTextsLeaveTheStructureAlone) {
  for (const char* text : {"14400,N,8,1", "9600,Q,8,1", "abc"}) {
    termios t{};
    t.c_cflag = CS7 | PARENB;
    EXPECT_FALSE(platform::SerialSettingsToTermios(text, Handshake::None, t).ok()) << text;
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS7 | PARENB)) << text;
  }
}

struct Pty {
  int master = -1, slave = -1;
  std::string name;
  Pty() {
    char buf[256] = {};
    if (::openpty(&master, &slave, buf, nullptr, nullptr) == 0) name = buf;
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  std::string ReadFor(int ms) {
    std::string got;
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) return got;
      char buf[4096];
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) return got;
      got.append(buf, static_cast<size_t>(n));
    }
  }
};

TEST(PosixSerialPort, OpenRefusesBadSettingsAndMissingDevices) {
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  auto port = platform::MakeSerialPort();
  Status st = port->Open(pty.name, "9600,N,9,1", Handshake::None);
  EXPECT_FALSE(st.ok());
  EXPECT_FALSE(port->IsOpen());
  st = port->Open("/dev/tolven-none", "9600,N,8,1", Handshake::None);
  EXPECT_EQ(st.message(), "open(/dev/tolven-none): No such file or directory");
  EXPECT_EQ(st.osError(), ENOENT);
  EXPECT_FALSE(port->Write("x").ok()) << "writing a closed port is an error";
}

TEST(PosixSerialPort, StalledPrinterGivesAnErrorInsteadOfHangingTheGateway) {
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  auto port = platform::MakeSerialPort(200);
  ASSERT_TRUE(port->Open(pty.name, "9600,N,8,1", Handshake::None).ok());
  // Nobody reads: the terminal's buffer fills and stays full.
  Status st = port->Write(std::string(1 << 20, 'x'));
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(st.osError(), ETIMEDOUT);
  EXPECT_NE(st.message().find("write(" + pty.name + ")"), std::string::npos) << st.message();
}

TEST(PosixSerialPort, XoffHoldsTheOutputUntilXon) {
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  auto port = platform::MakeSerialPort(10000);
  ASSERT_TRUE(port->Open(pty.name, "9600,N,8,1", Handshake::XonXoff).ok());
  const char xoff = 0x13, xon = 0x11;
  ASSERT_EQ(::write(pty.master, &xoff, 1), 1);
  pty.ReadFor(50);  // let the stop take effect
  auto writing = std::async(std::launch::async, [&] { return port->Write("Beleg\r\n"); });
  EXPECT_EQ(pty.ReadFor(150), "") << "nothing may pass while the printer said XOFF";
  ASSERT_EQ(::write(pty.master, &xon, 1), 1);
  EXPECT_TRUE(writing.get().ok());
  EXPECT_EQ(pty.ReadFor(500), "Beleg\r\n");
}

}  // namespace
}  // namespace tolven::testing
