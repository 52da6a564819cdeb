// The system's print spooler.
#pragma once

#include <memory>
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

  // How a text job is set: characters per inch across (0: the spooler's default).
  struct TextLayout {
    int charsPerInch = 0;
  };
  // A text job with its layout; spoolers without layout options print plain text.
  virtual Status SubmitTextJob(const std::string& printer, const std::string& title, const std::string& text,
                               const TextLayout& layout) {
    (void)layout;
    return SubmitText(printer, title, text);
  }
  // The printer's make and model as the spooler describes it; "" when unknown.
  virtual std::string MakeAndModel(const std::string& printer) {
    (void)printer;
    return "";
  }
  // Ok when the spooler answers; otherwise its error. An empty list of printers
  // or no default printer says nothing about this.
  virtual Status Reachable() { return Status::Ok(); }
};

// The system's spooler: the scheduler of the client configuration on Linux,
// the Windows spooler on Windows.
std::unique_ptr<PrinterSystem> MakePrinterSystem();

}  // namespace tolven::platform
