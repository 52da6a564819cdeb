// The print engine: takes the lines of a printout and delivers them to one
// output channel - a serial receipt printer (also one behind the customer
// display), a parallel port, a printer of the print spooler, or an archive
// file with a check value. Symbolic printer codes travel as they are on byte
// channels; for the spooler they are turned into what each printer needs.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "common/status.h"
#include "loop/holds.h"
#include "platform/env.h"
#include "platform/ini_file.h"
#include "platform/parallel_port.h"
#include "platform/printer_system.h"
#include "platform/serial_port.h"
#include "platform/ui.h"
#include "printing/print_lines.h"

namespace tolven::display {
class CustomerDisplay;
}

namespace tolven::printing {

enum class ChannelKind { Unknown, File, Printer, DefaultPrinter, Parallel, Serial, Display };

// An output channel text as the configuration holds it, normalised.
struct OutputChannel {
  ChannelKind kind = ChannelKind::Unknown;
  // "FILE:..." unchanged, "NETZ", "LPT1".."LPT3", "COM1".."COM9", "WIN", "WIN ", "DISP".
  std::string name;
  std::string target;  // archive path (File) or printer name (Printer)
  int port = 0;        // COM or LPT number
};

// Only four characters of a port channel count, so COM10 is COM1 and LPT12 is
// LPT1; port numbers outside COM1..COM9 and LPT1..LPT3 are refused.
OutputChannel ClassifyChannel(const std::string& channel);

class ChannelPrintEngine : public PrintEngine {
 public:
  using CodeLookup = std::function<std::string(const std::string&)>;
  using SerialPortFactory = std::function<std::unique_ptr<platform::SerialPort>()>;
  using ParallelPortFactory = std::function<std::unique_ptr<platform::ParallelPort>()>;

  struct Devices {
    SerialPortFactory serialPort;
    ParallelPortFactory parallelPort;
    platform::PrinterSystem* spooler = nullptr;   // without one, spooler channels fail
    display::CustomerDisplay* display = nullptr;  // without one, "DISP" fails
  };

  // `ini` gives the device files of TOLVEN.INI section "PORTS"; `codes` the
  // printer codes (GetPrinterCode); message boxes also go to `log`; the print
  // log of serial channels is written to `logPfad` (ending with a separator).
  ChannelPrintEngine(platform::Env& env, platform::Ui& ui, platform::IniFile& ini, CodeLookup codes, Devices devices,
                     LogSink& log, std::string logPfad);

  // Delivers the printout. An error when it was refused or abandoned (unknown
  // channel, port or spooler failure, archive not written), so callers can keep
  // what did not print; the operator has been told through the message and log.
  Status MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd = true,
                 bool slowPrinter = false) override;

  // One line "HH:MM:SS,mmm text" appended to LogPfad + "PRTLOG" + day of year +
  // ".TXT"; failures to write are ignored.
  void WritePrintLog(const std::string& text);

  // The latest status text of any printout (with its line progress), for the status page.
  const std::string& statusText() const { return status_; }
  void SetStatusObserver(std::function<void(const std::string&)> observer) { statusObserver_ = std::move(observer); }

 private:
  struct Job {
    std::vector<std::string> lines;
    OutputChannel channel;
    bool cutAtEnd = true;
    int pauseMs = 35;
    int pauseAfter = 50;
    bool printLog = false;
  };

  Status PrintArchive(const Job& job);
  Status PrintParallel(const Job& job);
  Status PrintSerial(Job& job);
  Status PrintSpooler(const Job& job);

  // Sends the lines of a serial printout through an open port.
  Status SendSerialLines(Job& job, platform::SerialPort& port);
  // "Fehler bei Druck auf <channel>" with the system's description; the printout is abandoned.
  Status PortError(const std::string& channel, const std::string& detail);
  // With PAPIERSENSOR=JA: asks a serial printer for its paper before a printout.
  Status CheckPaper(Job& job, platform::SerialPort& port);
  static constexpr int kPaperAnswerMs = 300;
  void Message(const std::string& text, platform::MsgKind kind);
  void SetStatus(const std::string& text);
  void PrintLog(const Job& job, const std::string& text);
  std::string Code(const std::string& name) const { return codes_ ? codes_(name) : std::string(); }
  // The current bytes of every printer command, for the umlaut conversion to leave alone.
  std::vector<std::string> CommandCodes() const;

  platform::Env& env_;
  platform::Ui& ui_;
  platform::IniFile& ini_;
  CodeLookup codes_;
  Devices devices_;
  LogSink& log_;
  std::string logPfad_;
  loop::Holds devicesInUse_;

  std::string status_;
  std::function<void(const std::string&)> statusObserver_;
};

// "Belegdruck Zeile i von n. Bitte warten..." with the line index and the last index.
std::string LineStatusText(int index, int lastIndex);

}  // namespace tolven::printing
