// The Windows print spooler. Names and titles are Windows-1252 like every text
// of the program and are converted at this edge. Raw jobs go to the printer
// unchanged; text jobs are set here with a fixed-pitch font, eight lines per
// inch, so that they come out as the Linux spooler's text filter sets them.
#pragma once

#include <string>
#include <vector>

#include "platform/printer_system.h"

namespace tolven::platform {

class Win32PrinterSystem final : public PrinterSystem {
 public:
  // Local printers and connections to shared ones.
  std::vector<std::string> InstalledPrinters() override;
  // "" when no default printer is set.
  std::string DefaultPrinter() override;
  // Datatype "RAW"; a job that fails half-way is deleted from the queue.
  Status SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) override;
  // Ten characters per inch.
  Status SubmitText(const std::string& printer, const std::string& title, const std::string& text) override;
  Status SubmitTextJob(const std::string& printer, const std::string& title, const std::string& text,
                       const TextLayout& layout) override;
  // The printer's driver name; "" when the printer is missing.
  std::string MakeAndModel(const std::string& printer) override;
  // Whether the spooler lists printers; the error names the call.
  Status Reachable() override;
};

// A text job's lines page by page, as the text filter sets them: lines end at
// "\n" (a "\r" before it is dropped), a form feed starts a new page, a page
// holds `linesPerPage` lines and a line `columns` characters (longer lines go
// on on the next line), tabs stop every eight columns and other control
// characters are dropped. No page after a last form feed or line end.
std::vector<std::vector<std::string>> TextPages(const std::string& text, int columns, int linesPerPage);

}  // namespace tolven::platform
