// Serial channels of the print engine: "COM1".."COM9" and the printer behind
// the customer display ("DISP").
#include <algorithm>

#include "common/text.h"
#include "display/customer_display.h"
#include "platform/device_names.h"
#include "printing/convert_umlauts.h"
#include "printing/print_engine.h"

namespace tolven::printing {

using platform::MsgKind;

namespace {

// The display passes everything to the printer behind it between these codes.
std::string PassThroughOn(int kind) {
  if (kind == 1 || kind == 6) return Bytes({27, 95, 80});  // ESC _ P
  if (kind == 5 || kind == 10) return Bytes({27, 61, 1});  // ESC = 1
  return "";
}

std::string PassThroughOff(int kind) {
  if (kind == 1 || kind == 6) return Bytes({27, 95, 68});  // ESC _ D
  if (kind == 5 || kind == 10) return Bytes({27, 61, 2});  // ESC = 2
  return "";
}

}  // namespace

Status ChannelPrintEngine::PrintSerial(Job& job) {
  const bool disp = job.channel.kind == ChannelKind::Display;
  const std::string& channel = job.channel.name;
  job.printLog = Code("PRTLOG") == "JA";
  std::string delay = Code("SERIAL-DELAY");
  if (!delay.empty()) {
    int n = static_cast<unsigned char>(delay[0]);
    if (n >= 1 && n <= 99) {
      job.pauseMs = n * 10;
    } else if (n >= 100) {
      Message(
          "Falsche Einstellung für 'SERIAL-DELAY' in 'KASSEPRTCODES.INI'. Geben Sie Werte zwischen 1 und 100 "
          "an (n*10 msec).",
          MsgKind::Exclamation);
    }
  }
  PrintLog(job, "---");
  PrintLog(job, "Starte Druck...");

  if (disp) {
    job.pauseMs = std::max(job.pauseMs, 35);
    job.pauseAfter = 25;
    display::CustomerDisplay* display = devices_.display;
    platform::SerialPort* port = nullptr;
    if (display) {
      display->OpenDisplay();
      display->ShowDisplay("Belegdruck...", "");
      port = display->port();
    }
    if (!port) return PortError(channel, "Der Port des Kundendisplays ist nicht geöffnet.");
    int kind = display->kind();
    std::string on = PassThroughOn(kind);
    Status st = on.empty() ? Status::Ok() : port->Write(on);
    if (!st) {
      st = PortError(channel, st.message());
    } else {
      st = SendSerialLines(job, *port);
    }
    // The display gets its port back in any case, so its next text does not land on the printer.
    std::string off = PassThroughOff(kind);
    if (!off.empty() && port->IsOpen()) (void)port->Write(off);
    display->ShowDisplay(".", "");
    return st;
  }

  std::string baud = Code("BAUD");
  std::string handshake = Code("HANDSHAKE");
  platform::Handshake mode = platform::Handshake::None;
  if (handshake.empty() || ToUpper(handshake) == "XONXOFF") {
    PrintLog(job, "Handshake: XonXoff");
    mode = platform::Handshake::XonXoff;
    job.pauseMs = 1;
    job.pauseAfter = 999;
  } else {
    PrintLog(job, "Handshake: NONE");
  }
  std::unique_ptr<platform::SerialPort> port = devices_.serialPort ? devices_.serialPort() : nullptr;
  if (!port) return PortError(channel, "Keine Schnittstelle verfügbar");
  Status st = port->Open(platform::ComDevice(ini_, job.channel.port), baud + ",N,8,1", mode);
  if (!st) return PortError(channel, st.message());
  // Printers that wait for DSR see the line raised; a port without modem lines just says no.
  (void)port->SetLines(true, true);
  PrintLog(job, "Port " + std::to_string(job.channel.port) + " geöffnet");

  if (ToUpper(Code("PAPIERSENSOR")) == "JA") st = CheckPaper(job, *port);
  if (st) st = SendSerialLines(job, *port);
  if (st) {
    PrintLog(job, "Schließe Port...");
    SetStatus("Belegdruck beendet.");
  }
  port->Close();
  if (st) PrintLog(job, "Druckvorgang beendet.");
  return st;
}

Status ChannelPrintEngine::CheckPaper(Job& job, platform::SerialPort& port) {
  // ESC/POS DLE EOT 4: the paper sensor's status byte, bits 5 and 6 for paper
  // out, bits 2 and 3 for paper running low. A printer that does not answer
  // in time prints as it would without the question.
  std::string answer;
  Status st = port.Write(Bytes({16, 4, 4}));
  if (st) st = port.Read(answer, 1, kPaperAnswerMs);
  if (!st || answer.empty()) {
    PrintLog(job, "Papiersensor: keine Antwort" + (st ? std::string() : " (" + st.message() + ")"));
    return Status::Ok();
  }
  const auto status = static_cast<unsigned char>(answer[0]);
  if ((status & 0x60) != 0) {
    PrintLog(job, "Papiersensor: Papier leer");
    return PortError(job.channel.name, "Papier leer");
  }
  if ((status & 0x0C) != 0) log_.AddLogLine("WARNUNG: Papier geht zu Ende auf " + job.channel.name + ".");
  return Status::Ok();
}

Status ChannelPrintEngine::SendSerialLines(Job& job, platform::SerialPort& port) {
  const std::string& channel = job.channel.name;
  const std::string drawers[] = {Code("SCHUBLADE_ALT"), Code("SCHUBLADE"), Code("SCHUBLADE_LONG_PULSE"),
                                 Code("SCHUBLADE_2"), Code("SCHUBLADE_2_LONG_PULSE")};
  std::string init = Code("PRTINIT");
  const bool convert = Code("UMLAUTKONVERTIERUNG") == "1";
  const std::vector<std::string> commands = convert ? CommandCodes() : std::vector<std::string>{};

  auto send = [&](const std::string& bytes) -> Status {
    Status st = port.Write(bytes);
    if (!st) {
      PrintLog(job, "FEHLER: " + st.message());
      return PortError(channel, st.message());
    }
    return st;
  };

  if (!init.empty()) {
    if (Status st = send(init); !st) return st;
  }
  if (Status st = send(Bytes({27, 116, 2})); !st) return st;  // ESC t 2: character code table 2

  const int lastIndex = static_cast<int>(job.lines.size()) - 1;
  PrintLog(job, std::to_string(lastIndex + 1) + " Druckzeilen");
  const std::string qrCommand = Bytes({29, 40, 107});
  for (int i = 0; i <= lastIndex; ++i) {
    const std::string& line = job.lines[static_cast<size_t>(i)];
    if (job.printLog) {
      PrintLog(job,
               FormatZeroPaddedLong(i + 1, 4) + ": " + PadRight(PrintableText(line), 45) + " | " + HexEncode(line));
    }
    std::string out;
    bool drawer = std::any_of(std::begin(drawers), std::end(drawers),
                              [&](const std::string& code) { return !code.empty() && line == code; });
    if (drawer) {
      SetStatus("Schubladenöffnung...");
      PrintLog(job, "Sende Code für Schubladenöffnung...");
      out = line;
    } else if (!line.empty() && line.back() == '\f') {
      SetStatus("Papiervorschub...");
      out = line;
    } else if (StartsWith(line, qrCommand)) {
      SetStatus("QR-Code-Druck...");
      out = line + "\r\n";
    } else {
      SetStatus(LineStatusText(i, lastIndex));
      out = (convert ? ConvertUmlautsKeepingCodes(line, commands) : line) + "\r\n";
    }
    if (Status st = send(out); !st) return st;
    if (i > job.pauseAfter) {
      PrintLog(job, "Pause für Drucker...");
      env_.SleepMs(job.pauseMs);
    }
  }

  if (job.cutAtEnd) {
    PrintLog(job, "Sende Code für Papierschnitt...");
    SetStatus("Papierschnitt...");
    if (Status st = send(Code("CUTTER") + "\r\n"); !st) return st;
  }
  return Status::Ok();
}

}  // namespace tolven::printing
