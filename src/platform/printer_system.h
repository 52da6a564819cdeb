// The system's print spooler.
#pragma once

#include <string>
#include <vector>

#include "common/status.h"

namespace tolven::platform {

class PrinterSystem {
 public:
  virtual ~PrinterSystem() = default;
  virtual std::vector<std::string> InstalledPrinters() = 0;
  virtual std::string DefaultPrinter() = 0;
  // Bytes passed through to the printer unchanged (receipt printers).
  virtual Status SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) = 0;
  // Plain text, laid out by the spooler (other printers).
  virtual Status SubmitText(const std::string& printer, const std::string& title, const std::string& text) = 0;
};

}  // namespace tolven::platform
