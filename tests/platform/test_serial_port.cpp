// Settings texts of serial ports, their termios translation, and the real
// POSIX port against a pseudo-terminal (stalls and XON/XOFF).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <future>

#include "platform/posix_serial.h"

namespace tolven::testing {
namespace {

using platform::Handshake;

TEST(SerialSettings, TermiosForSettingsAndHandshake) {
  const tcflag_t kept = CLOCAL | CREAD | HUPCL;  // no carrier may block the port; unrelated bits stay
  struct Case {
    const char* text;
    Handshake hs;
    speed_t speed;
    tcflag_t cflag, iflag;
  } cases[] = {
      {"9600,N,8,1", Handshake::None, B9600, CS8, 0},
      {"115200,O,8,1", Handshake::None, B115200, CS8 | PARENB | PARODD, INPCK},
      {" 19200 , e , 7 , 2 ", Handshake::XonXoff, B19200, CS7 | PARENB | CSTOPB, INPCK | IXON | IXOFF},
      {"38400,M,8,1", Handshake::RtsCts, B38400, CS8 | PARENB | PARODD | CMSPAR | CRTSCTS, INPCK},
      {"9600,N,8,1", Handshake::RtsCtsXonXoff, B9600, CS8 | CRTSCTS, IXON | IXOFF},
      {"1200,S,5,1.5", Handshake::None, B1200, CS5 | PARENB | CMSPAR | CSTOPB, INPCK},
  };
  for (const Case& c : cases) {
    termios t{};  // a cooked terminal, so the translation has something to switch off
    t.c_iflag = ICRNL | IXON | IXANY | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CRTSCTS | HUPCL;
    ASSERT_TRUE(platform::SerialSettingsToTermios(c.text, c.hs, t).ok()) << c.text;
    EXPECT_TRUE(cfgetospeed(&t) == c.speed && cfgetispeed(&t) == c.speed) << c.text;
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | kept), c.cflag | kept) << c.text;
    EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF | IXANY | ICRNL | ISTRIP), c.iflag) << c.text;
    EXPECT_EQ((t.c_oflag & OPOST) | (t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)), 0u) << "bytes leave unchanged";
  }
  for (const char* text : {"14400,N,8,1", "9600,Q,8,1", "9600,NO,8,1", "9600,N,8", "9600,N,8,1,1", "9600x,N,8,1",
                           "-9600,N,8,1", "9600,N,9,1", "9600,N,8,3"}) {
    termios t{};
    t.c_cflag = CS7 | PARENB;
    EXPECT_FALSE(platform::SerialSettingsToTermios(text, Handshake::None, t).ok()) << text;
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS7 | PARENB)) << "a refused text leaves the structure alone";
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
    char buf[4096];
    for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, ms) > 0;) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
};

TEST(PosixSerialPort, RefusalsAndAStalledPrinterGiveErrorsInsteadOfHanging) {
  Pty pty;
  ASSERT_FALSE(pty.name.empty());
  auto port = platform::MakeSerialPort(200);
  EXPECT_FALSE(port->Open(pty.name, "9600,N,9,1", Handshake::None).ok() || port->IsOpen());
  Status st = port->Open("/dev/tolven-none", "9600,N,8,1", Handshake::None);
  EXPECT_EQ(st.message(), "open(/dev/tolven-none): No such file or directory");
  EXPECT_EQ(st.osError(), ENOENT);
  EXPECT_FALSE(port->Write("x").ok()) << "writing a closed port is an error";

  ASSERT_TRUE(port->Open(pty.name, "9600,N,8,1", Handshake::None).ok());
  st = port->Write(std::string(1 << 20, 'x'));  // nobody reads: the buffer fills and stays full
  EXPECT_EQ(st.osError(), ETIMEDOUT);
  EXPECT_NE(st.message().find("write(" + pty.name + ")"), std::string::npos) << st.message();
}

TEST(PosixSerialPort, XoffHoldsTheBytesUntilXon) {
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
