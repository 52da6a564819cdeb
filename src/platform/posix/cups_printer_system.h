// The print spooler through libcups. Every call opens its own connection to
// the scheduler named by `server` - a host, "host:port" or the path of a local
// socket - or, when empty, by the environment variable CUPS_SERVER and then by
// the client configuration. Names and titles are Windows-1252 like every text
// of the program and are converted at this edge; text jobs go out as UTF-8.
// Nothing here ever prompts for a password or waits without a limit. The
// object keeps no state between calls, so calls may come from several threads.
#pragma once

#include <memory>
#include <string>

#include "platform/printer_system.h"

namespace tolven::platform {

class CupsPrinterSystem final : public PrinterSystem {
 public:
  explicit CupsPrinterSystem(std::string server = "");

  // Queues, without instances; empty when the scheduler cannot be reached.
  std::vector<std::string> InstalledPrinters() override;
  // The scheduler's (or the user's) default queue; empty when there is none.
  std::string DefaultPrinter() override;
  // Raw job: the bytes reach the printer unchanged (document format
  // application/vnd.cups-raw). An error names the call and the scheduler's reason.
  Status SubmitRaw(const std::string& printer, const std::string& title, const std::string& bytes) override;
  // Text job (text/plain), eight lines per inch so that a page of 75 lines and
  // the page-break marker fits A4 and Letter.
  Status SubmitText(const std::string& printer, const std::string& title, const std::string& text) override;
  // The same with the width of the characters set ("cpi"); eight lines per inch stay.
  Status SubmitTextJob(const std::string& printer, const std::string& title, const std::string& text,
                       const TextLayout& layout) override;
  // The queue's "printer-make-and-model" (for a raw queue whatever the
  // administrator wrote there); "" when the queue or the scheduler is missing.
  std::string MakeAndModel(const std::string& printer) override;
  // Whether the scheduler takes connections; the error names the call and the scheduler.
  Status Reachable() override;

  // The scheduler this object talks to, as resolved for the next call.
  std::string Server() const;

 private:
  Status Submit(const std::string& printer, const std::string& title, const std::string& data, bool raw,
                int charsPerInch = 0);
  std::string server_;
};

}  // namespace tolven::platform
