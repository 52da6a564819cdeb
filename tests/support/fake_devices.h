// Recording stand-ins for serial ports and the print spooler:
// they keep what the code asked for (settings, handshake, lines) and every byte.
#pragma once

#include <string>
#include <vector>

#include "platform/printer_system.h"
#include "platform/serial_port.h"

namespace tolven::testing {

class FakeSerialPort : public platform::SerialPort {
 public:
  Status Open(const std::string& device, const std::string& settings, platform::Handshake handshake) override;
  Status SetLines(bool dtr, bool rts) override;
  Status Write(const std::string& bytes) override;
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }

  // What was asked for.
  std::string device, settings;
  platform::Handshake handshake = platform::Handshake::None;
  bool dtr = false, rts = false, open = false;
  int opens = 0;
  std::vector<std::string> writes;  // every byte, one entry per Write call
  // Switches.
  bool failOpen = false;
  bool failWrite = false;
};

class FakePrinterSystem : public platform::PrinterSystem {
 public:
  struct Job {
    std::string printer, title, data;
    bool raw;
  };
  std::vector<std::string> InstalledPrinters() override { return printers; }
  std::string DefaultPrinter() override { return defaultPrinter; }
  Status SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) override {
    jobs.push_back({printer, title, bytes, true});
    return Status::Ok();
  }
  Status SubmitText(const std::string& printer, const std::string& title, const std::string& text) override {
    jobs.push_back({printer, title, text, false});
    return Status::Ok();
  }

  std::vector<std::string> printers{"Kasse", "Buero"};
  std::string defaultPrinter = "Buero";
  std::vector<Job> jobs;
};

}  // namespace tolven::testing
