// The print-line buffer and the printer-command vocabulary. Every printout is
// composed here as whole lines (plain text, command characters, or both) and
// handed as a whole to the print engine with its output channel.
#pragma once

#include <string>
#include <vector>

#include "common/status.h"
#include "platform/ini_file.h"
#include "platform/ui.h"

namespace tolven::printing {

inline constexpr const char* kPrinterCodesIni = "KASSEPRTCODES.INI";
inline constexpr int kMaxPrintLines = 4001;  // indices 0..4000

// What the buffer hands a printout to (implemented by ChannelPrintEngine).
class PrintEngine {
 public:
  virtual ~PrintEngine() = default;
  // Delivers the lines to the channel; an error when nothing (or not all) could be
  // delivered, so that callers can keep what did not print.
  virtual Status MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                         bool slowPrinter) = 0;
};

// The lookup behind PrintLineBuffer::GetPrinterCode, for the print engine, which
// reads the same file without holding the buffer.
std::string GetPrinterCode(platform::IniFile& ini, const std::string& name);

class PrintLineBuffer {
 public:
  // Printer codes are read from KASSEPRTCODES.INI in the configuration folder of `ini`.
  PrintLineBuffer(platform::IniFile& ini, platform::Ui& ui, PrintEngine& engine);

  void ResetPrintLines();
  // Stores the line while fewer than 4001 are held; the first refused line of a
  // printout shows the message once, later ones are dropped silently.
  void AddPrintLine(const std::string& text);
  // Hands the lines to the engine and returns its outcome: lines 0..count as
  // CurrentLines gave them before the first printout, since other jobs may fill
  // the buffer while one printout's copies go out.
  Status PrintLines(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd = true,
                    bool slowPrinter = false);
  // The command for a symbolic name: the fixed ESC/POS bytes, replaced by a
  // non-empty entry in section "CODES" (a byte list, or the text itself for the
  // text settings). A name looked up and not configured is written back empty.
  std::string GetPrinterCode(const std::string& name);

  int count() const { return count_; }
  std::vector<std::string> CurrentLines() const;
  PrintEngine& engine() { return engine_; }

 private:
  platform::IniFile& ini_;
  platform::Ui& ui_;
  PrintEngine& engine_;
  std::vector<std::string> lines_;
  int count_ = -1;
  bool overflowReported_ = false;
};

}  // namespace tolven::printing
