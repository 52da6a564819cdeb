// Serial ports through the Win32 communications functions. A write is a series
// of short blocking WriteFile calls (the port's write time-out), so that a
// device that stops taking bytes is noticed and never holds the caller for
// longer than the stall limit; partial writes are continued inside.
#include <algorithm>
#include <cstdint>

#include "common/text.h"
#include "platform/env.h"
#include "platform/serial_settings.h"
#include "platform/win32/serial.h"

namespace tolven::platform {

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(int stallMs, Env* waits) : stallMs_(stallMs), waits_(waits) {}
  ~Win32SerialPort() override { Close(); }

  Status Open(const std::string& device, const std::string& settings, Handshake handshake) override {
    Close();
    DCB check{};
    if (Status st = SerialSettingsToDcb(settings, handshake, check); !st)
      return Status::Error("CreateFileW(" + device + "): " + st.message());
    const std::string path = SerialDevicePath(device);
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFileW(" + device + ")");
    auto fail = [&](const std::string& call) {
      Status st = LastWin32Error(call + "(" + device + ")");
      CloseHandle(h);
      return st;
    };
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(h, &dcb)) return fail("GetCommState");
    (void)SerialSettingsToDcb(settings, handshake, dcb);
    if (!SetCommState(h, &dcb)) return fail("SetCommState");
    // Reads come back at once; a write waits at most one slice, then reports
    // what the device took in that time.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = kWriteSliceMs;
    if (!SetCommTimeouts(h, &timeouts)) return fail("SetCommTimeouts");
    (void)PurgeComm(h, PURGE_RXCLEAR);  // nothing the printer said before concerns this printout
    handle_ = h;
    device_ = device;
    rtsHandshake_ = handshake == Handshake::RtsCts || handshake == Handshake::RtsCtsXonXoff;
    return Status::Ok();
  }

  Status SetLines(bool dtr, bool rts) override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return Status::Error("EscapeCommFunction(" + device_ + "): port not open", ERROR_INVALID_HANDLE);
    if (!EscapeCommFunction(handle_, dtr ? SETDTR : CLRDTR))
      return LastWin32Error("EscapeCommFunction(" + device_ + ", " + (dtr ? "SETDTR" : "CLRDTR") + ")");
    // Under RTS/CTS handshake the driver owns RTS and refuses to be told.
    if (rtsHandshake_) return Status::Ok();
    if (!EscapeCommFunction(handle_, rts ? SETRTS : CLRRTS))
      return LastWin32Error("EscapeCommFunction(" + device_ + ", " + (rts ? "SETRTS" : "CLRRTS") + ")");
    return Status::Ok();
  }

  Status Write(const std::string& bytes) override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return Status::Error("WriteFile(" + device_ + "): port not open", ERROR_INVALID_HANDLE);
    size_t done = 0;
    int64_t lastTaken = NowMs();
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kMaxChunk));
      DWORD written = 0;
      if (!::WriteFile(handle_, bytes.data() + done, chunk, &written, nullptr)) {
        const DWORD err = GetLastError();
        // Some drivers report the run-out slice as an error instead of a short count.
        if (err != ERROR_TIMEOUT && err != ERROR_SEM_TIMEOUT) return Win32Error("WriteFile(" + device_ + ")", err);
      }
      if (written > 0) {
        done += written;
        lastTaken = NowMs();
        // The driver holds a write until it is sent: a slow printer would keep
        // other jobs waiting for the whole printout without this.
        if (waits_ && written < chunk) waits_->SleepMs(0);
        continue;
      }
      if (NowMs() - lastTaken >= stallMs_) return Win32Error("WriteFile(" + device_ + ")", ERROR_TIMEOUT);
      // The slice has already been waited in WriteFile; with `waits` other jobs run in between.
      if (waits_) waits_->SleepMs(kWaitSliceMs);
    }
    return Status::Ok();
  }

  Status Read(std::string& bytes, size_t maxBytes, int timeoutMs) override {
    bytes.clear();
    if (handle_ == INVALID_HANDLE_VALUE)
      return Status::Error("ReadFile(" + device_ + "): port not open", ERROR_INVALID_HANDLE);
    const int64_t started = NowMs();
    while (bytes.size() < maxBytes) {
      char buf[64];
      DWORD got = 0;
      // Comes back at once with what the driver holds (see the time-outs above).
      if (!::ReadFile(handle_, buf, static_cast<DWORD>(std::min(sizeof buf, maxBytes - bytes.size())), &got, nullptr))
        return LastWin32Error("ReadFile(" + device_ + ")");
      if (got > 0) {
        bytes.append(buf, got);
        continue;
      }
      if (!bytes.empty() || NowMs() - started >= timeoutMs) break;
      if (waits_) {
        waits_->SleepMs(kWaitSliceMs);
      } else {
        ::Sleep(kWaitSliceMs);
      }
    }
    return Status::Ok();
  }

  void Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  static constexpr DWORD kWriteSliceMs = 20;
  static constexpr int kWaitSliceMs = 10;
  static constexpr size_t kMaxChunk = 64 * 1024;

  int64_t NowMs() { return waits_ ? waits_->MonotonicMs() : static_cast<int64_t>(GetTickCount64()); }

  int stallMs_;
  Env* waits_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string device_;
  bool rtsHandshake_ = false;
};

}  // namespace

Status SerialSettingsToDcb(const std::string& settings, Handshake handshake, DCB& dcb) {
  SerialSettings s;
  if (Status st = ParseSerialSettings(settings, s); !st) return st;
  const bool xon = handshake == Handshake::XonXoff || handshake == Handshake::RtsCtsXonXoff;
  const bool rtsCts = handshake == Handshake::RtsCts || handshake == Handshake::RtsCtsXonXoff;

  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<DWORD>(s.baud);
  dcb.fBinary = TRUE;
  dcb.ByteSize = static_cast<BYTE>(s.dataBits);
  switch (s.parity) {
    case 'E': dcb.Parity = EVENPARITY; break;
    case 'O': dcb.Parity = ODDPARITY; break;
    case 'M': dcb.Parity = MARKPARITY; break;
    case 'S': dcb.Parity = SPACEPARITY; break;
    default: dcb.Parity = NOPARITY; break;
  }
  dcb.fParity = s.parity != 'N';
  dcb.StopBits = s.stopBits == 1 ? ONESTOPBIT : s.dataBits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  // Modem lines are not waited for, except CTS under RTS/CTS handshake.
  dcb.fOutxCtsFlow = rtsCts;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = xon;
  dcb.fInX = xon;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.XonChar = kXon;
  dcb.XoffChar = kXoff;
  if (xon && dcb.XonLim == 0) dcb.XonLim = 512;
  if (xon && dcb.XoffLim == 0) dcb.XoffLim = 512;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  // A framing or parity error must not stop every later write until cleared.
  dcb.fAbortOnError = FALSE;
  return Status::Ok();
}

std::string SerialDevicePath(const std::string& device) {
  const std::string upper = ToUpper(device);
  if (upper.size() > 3 && StartsWith(upper, "COM") && StrictWholeNumber(upper.substr(3))) return "\\\\.\\" + device;
  return device;
}

std::unique_ptr<SerialPort> MakeSerialPort(int stallMs) { return std::make_unique<Win32SerialPort>(stallMs, nullptr); }

std::unique_ptr<SerialPort> MakeSerialPort(Env& waits) { return std::make_unique<Win32SerialPort>(30000, &waits); }

std::unique_ptr<SerialPort> MakeSerialPort() { return MakeSerialPort(30000); }

}  // namespace tolven::platform
