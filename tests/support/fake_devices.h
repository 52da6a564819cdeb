// Recording stand-ins for serial ports and the print spooler:
// they keep what the code asked for (settings, handshake, lines) and every byte.
#pragma once

#include <memory>
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
  std::string written;              // every byte, in order
  std::vector<std::string> writes;  // one entry per Write call
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
  Status SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) override;
  Status SubmitText(const std::string& printer, const std::string& title, const std::string& text) override;

  std::vector<std::string> printers{"Kasse", "Buero"};
  std::string defaultPrinter = "Buero";
  std::vector<Job> jobs;
  bool reject = false;
};

}  // namespace tolven::testing
