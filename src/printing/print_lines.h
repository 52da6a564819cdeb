// The print-line buffer and the printer-command vocabulary. Every printout is
// composed here as whole lines (plain text, command characters, or both) and
// handed as a whole to the print engine with its output channel.
#pragma once

#include <string>
#include <vector>

#include "common/observer.h"
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

// What every printout is composed with and handed to. Shared by all jobs; it
// holds nothing of a printout.
struct PrintServices {
  platform::IniFile& ini;  // KASSEPRTCODES.INI is read from its configuration folder
  platform::Ui& ui;
  PrintEngine& engine;
  Observer& observer = NoObserver();  // learns of every kitchen or customer receipt that did not come out
};

// The lines of one printout. Each printout makes its own, so two jobs composing
// at the same time (one of them paused at a device or the database) never mix
// their lines.
class PrintLineBuffer {
 public:
  explicit PrintLineBuffer(const PrintServices& services) : services_(services) {}

  void ResetPrintLines();
  // Stores the line while fewer than 4001 are held; the first refused line of a
  // printout shows the message once, later ones are dropped silently.
  void AddPrintLine(const std::string& text);
  // Hands the lines to the engine and returns its outcome.
  Status PrintLines(const std::string& channel, bool cutAtEnd = true, bool slowPrinter = false);
  // The command for a symbolic name: the fixed ESC/POS bytes, replaced by a
  // non-empty entry in section "CODES" (a byte list, or the text itself for the
  // text settings). A name looked up and not configured is written back empty.
  std::string GetPrinterCode(const std::string& name);

  int count() const { return static_cast<int>(lines_.size()) - 1; }
  const std::vector<std::string>& CurrentLines() const { return lines_; }

 private:
  PrintServices services_;
  std::vector<std::string> lines_;
  bool overflowReported_ = false;
};

}  // namespace tolven::printing
