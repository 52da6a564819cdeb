// Serial ports through termios. Interrupted calls and partial writes are
// handled here; the callers see whole writes or an error naming the device.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "common/cp1252.h"
#include "platform/env.h"
#include "platform/posix/error.h"
#include "platform/posix/serial.h"
#include "platform/serial_settings.h"

namespace tolven::platform {

namespace {

bool SpeedConstant(int baud, speed_t& speed) {
  static const struct {
    int baud;
    speed_t speed;
  } kSpeeds[] = {
      {50, B50},         {75, B75},         {110, B110},     {134, B134},     {150, B150},       {200, B200},
      {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},   {2400, B2400},     {4800, B4800},
      {9600, B9600},     {19200, B19200},   {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
      {460800, B460800}, {921600, B921600},
#endif
  };
  for (const auto& s : kSpeeds) {
    if (s.baud == baud) {
      speed = s.speed;
      return true;
    }
  }
  return false;
}

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(int stallMs, Env* waits) : stallMs_(stallMs), waits_(waits) {}
  ~PosixSerialPort() override { Close(); }

  Status Open(const std::string& device, const std::string& settings, Handshake handshake) override {
    Close();
    termios check{};
    if (Status st = SerialSettingsToTermios(settings, handshake, check); !st)
      return Status::Error("open(" + device + "): " + st.message());
    std::string native = Cp1252ToUtf8(device);
    int fd;
    do {
      // Non-blocking, so that a write can wait with a limit instead of forever.
      fd = ::open(native.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return PosixError("open(" + device + ")", errno);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
      int err = errno;
      ::close(fd);
      return PosixError("tcgetattr(" + device + ")", err);
    }
    (void)SerialSettingsToTermios(settings, handshake, t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
      int err = errno;
      ::close(fd);
      return PosixError("tcsetattr(" + device + ")", err);
    }
    (void)::tcflush(fd, TCIFLUSH);  // nothing the printer said before concerns this printout
    fd_ = fd;
    device_ = device;
    return Status::Ok();
  }

  Status SetLines(bool dtr, bool rts) override {
    if (fd_ < 0) return Status::Error("ioctl(" + device_ + "): port not open", EBADF);
    int on = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
    int off = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
    if (on && ::ioctl(fd_, TIOCMBIS, &on) != 0) return PosixError("ioctl(" + device_ + ", TIOCMBIS)", errno);
    if (off && ::ioctl(fd_, TIOCMBIC, &off) != 0) return PosixError("ioctl(" + device_ + ", TIOCMBIC)", errno);
    return Status::Ok();
  }

  Status Write(const std::string& bytes) override {
    if (fd_ < 0) return Status::Error("write(" + device_ + "): port not open", EBADF);
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return PosixError("write(" + device_ + ")", errno);
      if (Status st = WaitWritable(); !st) return st;
    }
    return Status::Ok();
  }

  Status Read(std::string& bytes, size_t maxBytes, int timeoutMs) override {
    bytes.clear();
    if (fd_ < 0) return Status::Error("read(" + device_ + "): port not open", EBADF);
    const int64_t started = waits_ ? waits_->MonotonicMs() : 0;
    int waited = 0;
    while (bytes.size() < maxBytes) {
      char buf[64];
      const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, maxBytes - bytes.size()));
      if (n > 0) {
        bytes.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return PosixError("read(" + device_ + ")", errno);
      const int elapsed = waits_ ? static_cast<int>(waits_->MonotonicMs() - started) : waited;
      if (!bytes.empty() || elapsed >= timeoutMs) break;
      // The answer is a moment away: short pauses, in which other jobs run.
      if (waits_) {
        waits_->SleepMs(10);
      } else {
        pollfd p{fd_, POLLIN, 0};
        (void)::poll(&p, 1, 10);
        waited += 10;
      }
    }
    return Status::Ok();
  }

  // Until the device takes bytes again, at most the stall limit. With `waits`
  // the wait is a series of short pauses, in which other jobs run.
  Status WaitWritable() {
    const int64_t started = waits_ ? waits_->MonotonicMs() : 0;
    for (;;) {
      pollfd p{fd_, POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&p, 1, waits_ ? 0 : stallMs_);
      } while (ready < 0 && errno == EINTR);
      if (ready < 0) return PosixError("poll(" + device_ + ")", errno);
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return PosixError("write(" + device_ + ")", EIO);
      if (ready > 0) return Status::Ok();
      if (!waits_ || waits_->MonotonicMs() - started >= stallMs_)
        return PosixError("write(" + device_ + ")", ETIMEDOUT);
      waits_->SleepMs(kWaitSliceMs);
    }
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);  // not retried: on Linux the descriptor is gone even after EINTR
    fd_ = -1;
  }

  bool IsOpen() const override { return fd_ >= 0; }

 private:
  static constexpr int kWaitSliceMs = 10;
  int stallMs_;
  Env* waits_;
  int fd_ = -1;
  std::string device_;
};

}  // namespace

Status SerialSettingsToTermios(const std::string& settings, Handshake handshake, termios& t) {
  SerialSettings s;
  if (Status st = ParseSerialSettings(settings, s); !st) return st;
  speed_t speed;
  if (!SpeedConstant(s.baud, speed))
    return Status::Error("Übertragungsrate " + std::to_string(s.baud) + " nicht unterstützt");

  t.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
  // A printer that does not drive the carrier line must not block the port.
  t.c_cflag |= CLOCAL | CREAD;
  switch (s.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  switch (s.parity) {
    case 'E': t.c_cflag |= PARENB; break;
    case 'O': t.c_cflag |= PARENB | PARODD; break;
    case 'M': t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 'S': t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (s.parity != 'N') t.c_iflag |= INPCK;
  if (s.stopBits == 2) t.c_cflag |= CSTOPB;
  if (handshake == Handshake::XonXoff || handshake == Handshake::RtsCtsXonXoff) t.c_iflag |= IXON | IXOFF;
  if (handshake == Handshake::RtsCts || handshake == Handshake::RtsCtsXonXoff) t.c_cflag |= CRTSCTS;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return Status::Ok();
}

std::unique_ptr<SerialPort> MakeSerialPort(int stallMs) { return std::make_unique<PosixSerialPort>(stallMs, nullptr); }

std::unique_ptr<SerialPort> MakeSerialPort(Env& waits) { return std::make_unique<PosixSerialPort>(30000, &waits); }

std::unique_ptr<SerialPort> MakeSerialPort() { return MakeSerialPort(30000); }

}  // namespace tolven::platform
