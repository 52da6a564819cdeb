#include "printing/print_lines.h"

#include <cmath>
#include <map>

#include "common/text.h"

namespace tolven::printing {

namespace {

const std::map<std::string, std::string>& FixedCodes() {
  static const std::map<std::string, std::string> kCodes = {
      {"DOPPELT_HOCH", Bytes({27, 33, 16})},
      {"DOPPELT_BREIT", Bytes({27, 33, 32})},
      {"DOPPELT_HOCH_BREIT", Bytes({27, 33, 48})},
      {"DOPPELT_HOCH_BREIT_AUS", Bytes({27, 33, 0})},
      {"HALB_BREIT", Bytes({27, 33, 1})},
      {"CUTTER", Bytes({29, 86, 49})},
      {"SCHUBLADE_ALT", Bytes({27, 112})},
      {"SCHUBLADE", Bytes({27, 112, 0, 9, 1})},
      {"SCHUBLADE_2", Bytes({27, 112, 1, 9, 1})},
      {"SCHUBLADE_LONG_PULSE", Bytes({27, 112, 0, 100, 100})},
      {"SCHUBLADE_2_LONG_PULSE", Bytes({27, 112, 1, 100, 100})},
      {"KÜCHENSUMMER", Bytes({27, 112, 0, 255, 255})},
      {"LOGO", Bytes({28, 112, 1, 0})},
      {"LOGO2", Bytes({28, 112, 2, 0})},
      {"FARBE0", Bytes({27, 114, 0})},
      {"FARBE1", Bytes({27, 114, 1})},
      {"BELEG_AN", Bytes({27, 99, 48, 4})},
      {"BELEG_AUS", Bytes({27, 99, 48, 1})},
      {"BAUD", "9600"},
      {"FONTSIZE", "10"},
      {"HANDSHAKE", ""},
  };
  return kCodes;
}

bool IsTextSetting(const std::string& name) {
  static const char* kText[] = {"BAUD",      "FONT",   "FONTSIZE",     "FORCE_EPSON",        "FONTBOLD",
                                "HANDSHAKE", "PRTLOG", "PAPIERSENSOR", "UMLAUTKONVERTIERUNG"};
  for (const char* t : kText) {
    if (name == t) return true;
  }
  return false;
}

}  // namespace

void PrintLineBuffer::ResetPrintLines() {
  lines_.clear();
  overflowReported_ = false;
}

void PrintLineBuffer::AddPrintLine(const std::string& text) {
  if (lines_.size() < static_cast<size_t>(kMaxPrintLines)) {
    lines_.push_back(text);
    return;
  }
  if (!overflowReported_) {
    overflowReported_ = true;
    services_.ui.MessageBox("Maximale Anzahl der Druckzeilen erreicht.\r\n\r\nWeitere Zeilen werden ignoriert.",
                            platform::MsgKind::Critical);
  }
}

Status PrintLineBuffer::PrintLines(const std::string& channel, bool cutAtEnd, bool slowPrinter) {
  return services_.engine.MyPrint(lines_, channel, cutAtEnd, slowPrinter);
}

std::string PrintLineBuffer::GetPrinterCode(const std::string& name) {
  return printing::GetPrinterCode(services_.ini, name);
}

std::string GetPrinterCode(platform::IniFile& ini, const std::string& name) {
  const auto& fixed = FixedCodes();
  auto it = fixed.find(name);
  std::string result = it == fixed.end() ? "" : it->second;

  // A default no entry can hold tells a missing key from an empty one: only a
  // missing key is written back, so a printout does not rewrite the shared
  // file once for every code it looks up.
  const std::string kMissing(1, '\x01');
  std::string value = ini.Read(kPrinterCodesIni, "CODES", name, kMissing);
  if (value == kMissing) {
    // Every name ever looked up stands in the file, so the operator sees the whole list.
    (void)ini.Write(kPrinterCodesIni, "CODES", name, "");
    return result;
  }
  value = TrimBlanks(value);
  if (value.empty()) return result;
  if (IsTextSetting(name)) return value;

  std::string bytes;
  for (int k = 1;; ++k) {
    std::string token = GetToken(value, k, ",");
    if (token.empty()) break;
    double n = std::nearbyint(LeadingNumber(token));
    if (n >= 0 && n <= 255) bytes += static_cast<char>(static_cast<int>(n));
  }
  return bytes;
}

}  // namespace tolven::printing
