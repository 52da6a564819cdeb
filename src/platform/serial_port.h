// Serial ports (printers, pole displays, the beverage dispenser).
#pragma once

#include <memory>
#include <string>

#include "common/status.h"

namespace tolven::platform {

class Env;

// RtsCtsXonXoff: both at once, as some displays want (the line is held by CTS
// and by XOFF alike).
enum class Handshake { None, XonXoff, RtsCts, RtsCtsXonXoff };

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // settings: "9600,N,8,1" (baud, parity N/E/O/M/S, data bits, stop bits).
  virtual Status Open(const std::string& device, const std::string& settings, Handshake handshake) = 0;
  virtual Status SetLines(bool dtr, bool rts) = 0;
  // Writes every byte; partial writes and interrupted calls are retried inside.
  virtual Status Write(const std::string& bytes) = 0;
  // What the device sends within `timeoutMs`, at most `maxBytes`; empty when
  // it says nothing. A port that cannot read answers empty.
  virtual Status Read(std::string& bytes, size_t maxBytes, int timeoutMs) {
    (void)maxBytes;
    (void)timeoutMs;
    bytes.clear();
    return Status::Ok();
  }
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

std::unique_ptr<SerialPort> MakeSerialPort();
// A port whose waits for a busy device go through `waits` (the event loop).
std::unique_ptr<SerialPort> MakeSerialPort(Env& waits);

}  // namespace tolven::platform
