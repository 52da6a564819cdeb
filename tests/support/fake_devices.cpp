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
  written += bytes;
  writes.push_back(bytes);
  return Status::Ok();
}

Status FakePrinterSystem::SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) {
  if (reject) return Status::Error("cupsPrintFile(" + printer + "): The printer or class is not accepting jobs.");
  jobs.push_back({printer, title, bytes, true});
  return Status::Ok();
}

Status FakePrinterSystem::SubmitText(const std::string& printer, const std::string& title, const std::string& text) {
  if (reject) return Status::Error("cupsPrintFile(" + printer + "): The printer or class is not accepting jobs.");
  jobs.push_back({printer, title, text, false});
  return Status::Ok();
}

}  // namespace tolven::testing
