#include "printing/print_engine.h"

#include "common/crc16.h"
#include "common/text.h"
#include "platform/device_names.h"
#include "printing/convert_umlauts.h"
#include "printing/escpos_qr.h"
#include "printing/print_archive.h"

namespace tolven::printing {

using platform::MsgKind;

OutputChannel ClassifyChannel(const std::string& channel) {
  OutputChannel out;
  if (StartsWith(channel, "FILE:")) {
    out.kind = ChannelKind::File;
    out.name = channel;
    out.target = channel.substr(5);
    return out;
  }
  if (StartsWith(channel, "NETZ") || StartsWith(channel, "WIN:")) {
    out.kind = ChannelKind::Printer;
    out.name = "NETZ";
    out.target = TrimBlanks(std::string_view(channel).substr(4));
    return out;
  }
  bool lpt = StartsWith(channel, "LPT");
  if (lpt || StartsWith(channel, "COM")) {
    out.name = channel.substr(0, 4);
    int digit = out.name.size() == 4 ? out.name[3] - '0' : -1;
    int highest = lpt ? 3 : 9;
    if (digit >= 1 && digit <= highest) {
      out.kind = lpt ? ChannelKind::Parallel : ChannelKind::Serial;
      out.port = digit;
    }
    return out;
  }
  if (StartsWith(channel, "WIN ") || channel == "WIN") {
    out.kind = ChannelKind::DefaultPrinter;
    out.name = channel == "WIN" ? "WIN" : "WIN ";
    return out;
  }
  if (channel == "DISP") {
    out.kind = ChannelKind::Display;
    out.name = channel;
  }
  return out;
}

std::string LineStatusText(int index, int lastIndex) {
  return "Belegdruck Zeile " + std::to_string(index) + " von " + std::to_string(lastIndex) + ". Bitte warten...";
}

ChannelPrintEngine::ChannelPrintEngine(platform::Env& env, platform::Ui& ui, platform::IniFile& ini, CodeLookup codes,
                                       Devices devices, LogSink& log, std::string logPfad)
    : env_(env),
      ui_(ui),
      ini_(ini),
      codes_(std::move(codes)),
      devices_(std::move(devices)),
      log_(log),
      logPfad_(std::move(logPfad)),
      devicesInUse_(env_, loop::Holds::Rank::Device) {}

Status ChannelPrintEngine::MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                                   bool slowPrinter) {
  Job job;
  job.lines = lines;
  job.cutAtEnd = cutAtEnd;
  job.pauseMs = slowPrinter ? 250 : 35;
  job.pauseAfter = slowPrinter ? 40 : 50;
  job.channel = ClassifyChannel(channel);
  // One printout at a time per device: another job's bytes never land in the
  // middle of this one's.
  const loop::Holds::Hold hold = devicesInUse_.Take(job.channel.name);
  switch (job.channel.kind) {
    case ChannelKind::File: return PrintArchive(job);
    case ChannelKind::Printer:
    case ChannelKind::DefaultPrinter: return PrintSpooler(job);
    case ChannelKind::Parallel: return PrintParallel(job);
    case ChannelKind::Serial:
    case ChannelKind::Display: return PrintSerial(job);
    case ChannelKind::Unknown: break;
  }
  std::string text = "Ausdruck nicht möglich. Unzulässige Einstellung für Ausgabe: >" + channel + "<";
  Message(text, MsgKind::Critical);
  return Status::Error(text);
}

std::vector<std::string> ChannelPrintEngine::CommandCodes() const {
  std::vector<std::string> codes;
  for (const std::string& name : PrinterCommandNames()) {
    std::string code = Code(name);
    if (!code.empty()) codes.push_back(std::move(code));
  }
  return codes;
}

void ChannelPrintEngine::WritePrintLog(const std::string& text) {
  DateTime now = env_.Now();
  std::string path = logPfad_ + "PRTLOG" + FormatZeroPaddedLong(DayOfYear(now.date), 3) + ".TXT";
  std::string line = FormatHMS(now) + "," + FormatZeroPaddedLong(now.millisecond, 3) + " " + text + "\r\n";
  (void)env_.AppendFile(path, line);
}

void ChannelPrintEngine::PrintLog(const Job& job, const std::string& text) {
  if (job.printLog) WritePrintLog(text);
}

Status ChannelPrintEngine::PortError(const std::string& channel, const std::string& detail) {
  std::string text = "Fehler bei Druck auf " + channel + "\r\n\r\nWindows meldet: " + detail;
  Message(text, MsgKind::Critical);
  return Status::Error("Fehler bei Druck auf " + channel + ": " + detail);
}

void ChannelPrintEngine::Message(const std::string& text, MsgKind kind) {
  ui_.MessageBox(text, kind);
  // The gateway runs unattended: whatever a message box says must also stand in the log.
  std::string flat = ReplaceAll(ReplaceAll(text, "\r\n\r\n", " "), "\r\n", " ");
  log_.AddLogLine((kind == MsgKind::Critical ? "FEHLER: " : "WARNUNG: ") + flat);
}

void ChannelPrintEngine::SetStatus(const std::string& text) {
  status_ = text;
  if (statusObserver_) statusObserver_(text);
}

Status ChannelPrintEngine::PrintArchive(const Job& job) {
  SetStatus("Archivierung. Bitte warten...");
  const std::string& path = job.channel.target;
  const std::string contents = FormatArchivedPrintout(job.lines);
  // The archive is the receipt's copy of record: written whole or not at all.
  Status st = path.empty() ? Status::Error("Kein Dateiname angegeben") : env_.WriteFileAtomic(path, contents);
  if (!st) {
    log_.AddLogLine("FEHLER: Archivdatei '" + path + "' kann nicht geschrieben werden: " + st.message());
    return Status::Error("Archivdatei '" + path + "' kann nicht geschrieben werden: " + st.message(), st.osError());
  }
  return Status::Ok();
}

Status ChannelPrintEngine::PrintParallel(const Job& job) {
  const std::string& channel = job.channel.name;
  std::unique_ptr<platform::ParallelPort> port = devices_.parallelPort ? devices_.parallelPort() : nullptr;
  if (!port) return PortError(channel, "Keine Schnittstelle verfügbar");
  Status st = port->Open(platform::LptDevice(ini_, job.channel.port));
  if (!st) return PortError(channel, st.message());

  // This channel always converts umlauts; printer commands go out as they are.
  const std::vector<std::string> commands = CommandCodes();
  std::string data;
  for (const std::string& line : job.lines) {
    data += (IsQrCommandLine(line) ? line : ConvertUmlautsKeepingCodes(line, commands)) + "\r\n";
  }
  if (job.cutAtEnd) data += Code("CUTTER") + "\r\n";
  st = port->Write(data);
  SetStatus("Programm wartet auf Drucker-Bereitschaft an " + channel + "...");
  port->Close();
  if (!st) return PortError(channel, st.message());
  return Status::Ok();
}

}  // namespace tolven::printing
