// Settings texts of serial ports, their termios translation, and the real
// POSIX port against a pseudo-terminal (XON/XOFF, a closed port).
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
  const struct {
    const char* text;
    Handshake hs;
    speed_t speed;
    tcflag_t cflag, iflag;
  } cases[] = {
      {"115200,O,8,1", Handshake::None, B115200, CS8 | PARENB | PARODD, INPCK},
      {" 19200 , e , 7 , 2 ", Handshake::XonXoff, B19200, CS7 | PARENB | CSTOPB, INPCK | IXON | IXOFF},
      {"38400,M,8,1", Handshake::RtsCts, B38400, CS8 | PARENB | PARODD | CMSPAR | CRTSCTS, INPCK},
      {"9600,N,8,1", Handshake::RtsCtsXonXoff, B9600, CS8 | CRTSCTS, IXON | IXOFF},
      {"1200,S,5,1.5", Handshake::None, B1200, CS5 | PARENB | CMSPAR | CSTOPB, INPCK},
  };
  for (const auto& c : cases) {
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
  for (const char* text : {"14400,N,8,1", "9600,NO,8,1", "9600,N,8", "9600,N,8,1,1", "9600x,N,8,1", "-9600,N,8,1",
                           "9600,N,9,1", "9600,N,8,3"}) {
    termios t{};
    t.c_cflag = CS7 | PARENB;
    EXPECT_FALSE(platform::SerialSettingsToTermios(text, Handshake::None, t).ok()) << text;
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS7 | PARENB)) << "a refused text leaves the structure alone";
  }
}

TEST(PosixSerialPort, XoffHoldsTheBytesUntilXonAndAClosedPortIsAnError) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  auto readFor = [&](int ms) {
    std::string got;
    char buf[256];
    for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, ms) > 0;) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  };
  auto port = platform::MakeSerialPort(10000);
  EXPECT_EQ(port->Open("/dev/tolven-none", "9600,N,8,1", Handshake::None).message(),
            "open(/dev/tolven-none): No such file or directory");
  EXPECT_FALSE(port->Write("x").ok()) << "writing a closed port is an error";
  ASSERT_TRUE(port->Open(name, "9600,N,8,1", Handshake::XonXoff).ok());
  const char xoff = 0x13, xon = 0x11;
  ASSERT_EQ(::write(master, &xoff, 1), 1);
  readFor(50);  // let the stop take effect
  auto writing = std::async(std::launch::async, [&] { return port->Write("Beleg\r\n"); });
  EXPECT_EQ(readFor(150), "") << "nothing may pass while the printer said XOFF";
  ASSERT_EQ(::write(master, &xon, 1), 1);
  EXPECT_TRUE(writing.get().ok());
  EXPECT_EQ(readFor(500), "Beleg\r\n");
  port.reset();
  ::close(slave);
  ::close(master);
}

}  // namespace
}  // namespace tolven::testing
