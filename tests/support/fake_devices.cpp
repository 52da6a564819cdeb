#include "support/fake_devices.h"

namespace tolven::testing {

Status FakeSerialPort::Open(const std::string& dev, const std::string& s, platform::Handshake h) {
  ++opens;
  device = dev;
  settings = s;
  handshake = h;
  if (failOpen) return Status::Error("open(" + dev + "): No such file or directory", 2);
  open = true;
  return Status::Ok();
}

Status FakeSerialPort::SetLines(bool d, bool r) {
  dtr = d;
  rts = r;
  return Status::Ok();
}

Status FakeSerialPort::Write(const std::string& bytes) {
  if (!open) return Status::Error("write(" + device + "): port not open", 9);
  if (failWrite) return Status::Error("write(" + device + "): Input/output error", 5);
  writes.push_back(bytes);
  return Status::Ok();
}

}  // namespace tolven::testing
