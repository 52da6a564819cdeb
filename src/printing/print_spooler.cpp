// Printers of the print spooler ("WIN", "WIN ", "NETZ" + name).
#include "printing/print_spooler.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "common/text.h"
#include "printing/convert_umlauts.h"
#include "printing/escpos_image.h"
#include "printing/escpos_qr.h"
#include "printing/print_engine.h"

namespace tolven::printing {

using platform::MsgKind;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return !part.empty() && text.find(part) != std::string::npos;
}

bool Is(const std::string& line, const std::string& code) { return !code.empty() && line == code; }

std::string LeftMargin(int dots) { return Bytes({29, 76, dots & 0xFF, dots >> 8}); }  // GS L

// Size selection of the printer-driver fonts named in "#FONT:" lines.
std::string DriverFontCode(const std::string& font) {
  std::string f = ToUpper(TrimBlanks(font));
  if (f == "FONTA11") return Bytes({27, 33, 0});
  if (f == "FONTA12") return Bytes({27, 33, 16});
  if (f == "FONTA21") return Bytes({27, 33, 32});
  if (f == "FONTA22") return Bytes({27, 33, 48});
  if (f == "FONTB11") return Bytes({27, 33, 1});
  return "";
}

// Command bytes have no meaning on a text page; tabs are left to the spooler.
std::string WithoutControls(std::string text) {
  text.erase(
      std::remove_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 32 && c != '\t'; }),
      text.end());
  return text;
}

const std::string kFormFeed(1, '\f');

}  // namespace

bool IsReceiptPrinterName(const std::string& name, bool defaultPrinter) {
  // Queue names of the spooler cannot hold blanks ("CITIZEN_CT-S310"): "_" and
  // "-" are read as blanks on both sides, so "CITIZEN CT-" finds them too.
  auto blanks = [](std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '_' || c == '-'; }, ' ');
    return text;
  };
  const std::string upper = blanks(ToUpper(name));
  if (Contains(upper, "EPSON") && (Contains(name, "TM") || Contains(name, "Advanced"))) return true;
  for (const char* model :
       {"EPSON BA-T", "RECEIPT", "METAPACE T-", "CITIZEN CT-", "CMP-30", "PRT100", "RP-100", "BIXOLON"}) {
    if (Contains(upper, blanks(model))) return true;
  }
  return defaultPrinter && Contains(upper, "CHD6800");
}

bool IsReceiptPrinter(const std::string& name, const std::string& makeAndModel, bool defaultPrinter) {
  return IsReceiptPrinterName(name, defaultPrinter) ||
         (!makeAndModel.empty() && IsReceiptPrinterName(makeAndModel, defaultPrinter));
}

int CharsPerInch(const std::string& fontSize) {
  std::optional<int32_t> size = StrictWholeNumber(TrimBlanks(fontSize));
  int points = size.value_or(10);
  if (points < 4 || points >= 21) points = 9;
  // A fixed-pitch character is six tenths of its size wide: 10 points, 12 per inch.
  return static_cast<int>(std::lround(120.0 / points));
}

SpoolerCodes SpoolerCodes::Lookup(const std::function<std::string(const std::string&)>& code) {
  SpoolerCodes c;
  if (!code) return c;
  c.doppeltHoch = code("DOPPELT_HOCH");
  c.doppeltHochBreitAus = code("DOPPELT_HOCH_BREIT_AUS");
  c.doppeltHochBreit = code("DOPPELT_HOCH_BREIT");
  c.doppeltBreit = code("DOPPELT_BREIT");
  c.halbBreit = code("HALB_BREIT");
  c.schublade = code("SCHUBLADE");
  c.schubladeLongPulse = code("SCHUBLADE_LONG_PULSE");
  c.schublade2 = code("SCHUBLADE_2");
  c.schublade2LongPulse = code("SCHUBLADE_2_LONG_PULSE");
  c.kuechensummer = code("KÜCHENSUMMER");
  c.logo = code("LOGO");
  c.logo2 = code("LOGO2");
  c.cutter = code("CUTTER");
  for (const std::string& name : PrinterCommandNames()) {
    std::string bytes = code(name);
    if (!bytes.empty()) c.all.push_back(std::move(bytes));
  }
  return c;
}

bool IsBarcodeCommandLine(const std::string& line) {
  return line.size() >= 8 && StartsWith(line, Bytes({29, 104})) && line.compare(3, 5, Bytes({29, 72, 2, 29, 107})) == 0;
}

std::string BarcodeText(const std::string& line) {
  if (IsBarcodeCommandLine(line)) return line.size() > 10 ? line.substr(9, line.size() - 10) : "";
  std::string left = TrimLeftBlanks(line);
  return StartsWith(left, "#BARCODE:") ? left.substr(9) : "";
}

SpoolerLayout::SpoolerLayout(bool receipt, SpoolerCodes codes, StatusFn status, ImageLoader image)
    : receipt_(receipt), codes_(std::move(codes)), status_(std::move(status)), image_(std::move(image)) {
  // Without a driver in between, the printer is reset and set to the code
  // table the converted umlauts belong to.
  if (receipt_) data_ = Bytes({27, 64, 27, 116, 2});
}

bool SpoolerLayout::HasSizeCode(const std::string& line) const {
  return Contains(line, codes_.doppeltHoch) || Contains(line, codes_.doppeltHochBreitAus) ||
         Contains(line, codes_.doppeltHochBreit) || Contains(line, codes_.doppeltBreit) ||
         Contains(line, codes_.halbBreit);
}

std::string SpoolerLayout::RemoveSizeCodes(std::string line) const {
  for (const std::string* code : {&codes_.doppeltHoch, &codes_.doppeltHochBreitAus, &codes_.doppeltHochBreit,
                                  &codes_.doppeltBreit, &codes_.halbBreit}) {
    if (!code->empty()) line = ReplaceAll(line, *code, "");
  }
  return line;
}

void SpoolerLayout::AddLine(const std::string& line) {
  if (receipt_) {
    AddReceiptLine(line);
  } else {
    AddTextLine(line);
  }
}

void SpoolerLayout::AddReceiptLine(const std::string& line) {
  const std::string trimmed = TrimBlanks(line);
  if (line == kFormFeed) {
    for (int k = 0; k < 6; ++k) data_ += " \r\n";
    data_ += "- - - - - - - - - - -\r\n \r\n";
  } else if (Is(line, codes_.cutter)) {
    ShowStatus("Papierschnitt...");
    for (int k = 0; k < 6; ++k) data_ += " \r\n";
    data_ += line;
  } else if (Is(line, codes_.schublade) || Is(line, codes_.schubladeLongPulse) || Is(line, codes_.schublade2) ||
             Is(line, codes_.schublade2LongPulse) || Is(line, codes_.kuechensummer)) {
    ShowStatus(Is(line, codes_.kuechensummer) ? "Küchensummer..." : "Schubladenöffnung...");
    data_ += line;
  } else if (Is(line, codes_.logo) || Is(line, codes_.logo2)) {
    data_ += line + "\r\n";
  } else if (IsQrCommandLine(line)) {
    // The command's length bytes must reach the printer unconverted.
    ShowStatus("QR-Code-Druck...");
    data_ += line + "\r\n";
  } else if (IsBarcodeCommandLine(line)) {
    data_ += line + "\r\n";
  } else if (StartsWith(trimmed, "#BARCODE:")) {
    std::string text;
    for (char c : ToUpper(BarcodeText(line))) {
      // Code 39 knows digits, capitals, blank and - . $ / + %; the printer refuses anything else.
      if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || std::string_view(" -.$/+%").find(c) != std::string::npos)
        text += c;
    }
    if (text.empty()) return;
    size_t blanks = line.size() - TrimLeftBlanks(line).size();
    int dots = static_cast<int>(std::lround(0.8 * static_cast<double>(blanks))) * 12;
    if (dots > 0) data_ += LeftMargin(std::min(dots, 480));
    data_ += Bytes({29, 104, 64, 29, 72, 0, 29, 107, 4}) + text + std::string(1, '\0');
    if (dots > 0) data_ += LeftMargin(0);
  } else if (StartsWith(trimmed, "#FONT:")) {
    std::string rest = trimmed.substr(6);
    size_t colon = rest.find(':');
    std::string font = rest.substr(0, colon);
    std::string text = colon == std::string::npos ? "" : rest.substr(colon + 1);
    std::string size = DriverFontCode(font);
    data_ += size + ConvertUmlauts(text);
    if (!size.empty()) data_ += Bytes({27, 33, 0});
  } else if (StartsWith(trimmed, "#QRCODE:")) {
    ShowStatus("Drucke QR-Code...");
  } else if (StartsWith(trimmed, "#IMAGE:")) {
    std::string path = trimmed.substr(7);
    std::string raster;
    Status st = image_ ? image_(path, raster) : Status::Error("kein Bildleser");
    if (st) {
      data_ += LeftMargin(EndsWith(ToUpper(path), "QR.BMP") ? 80 : 40) + raster + LeftMargin(0);
    } else {
      problems_.push_back(path + ": " + st.message());
    }
    data_ += " \r\n";
  } else if (!HasSizeCode(line)) {
    data_ += ConvertUmlautsKeepingCodes(line, codes_.all) + "\r\n";
  } else {
    // The whole line in one size, as the driver fonts printed it; a later match wins.
    std::string size;
    if (Contains(line, codes_.doppeltBreit)) size = codes_.doppeltBreit;
    if (Contains(line, codes_.doppeltHoch)) size = codes_.doppeltHoch;
    if (Contains(line, codes_.doppeltHochBreit)) size = codes_.doppeltHochBreit;
    if (Contains(line, codes_.halbBreit)) size = codes_.halbBreit;
    data_ += size + ConvertUmlautsKeepingCodes(RemoveSizeCodes(line), codes_.all) + "\r\n" + codes_.doppeltHochBreitAus;
  }
}

void SpoolerLayout::AddTextLine(const std::string& line) {
  const std::string trimmed = TrimBlanks(line);
  if (++linesOnPage_ >= 76) {
    data_ += "[Automatischer Seitenumbruch]\n\f";
    linesOnPage_ = 1;
  }
  if (line == kFormFeed) {
    ShowStatus("Seitenvorschub...");
    data_ += "\f";
    linesOnPage_ = 1;
  } else if (Is(line, codes_.cutter)) {
    ShowStatus("Papierschnitt...");
  } else if (Is(line, codes_.schublade) || Is(line, codes_.schubladeLongPulse) || Is(line, codes_.schublade2) ||
             Is(line, codes_.schublade2LongPulse) || Is(line, codes_.kuechensummer)) {
    ShowStatus(Is(line, codes_.kuechensummer) ? "Küchensummer..." : "Schubladenöffnung...");
  } else if (Is(line, codes_.logo) || Is(line, codes_.logo2)) {
    // Stored logos live in receipt printers only.
  } else if (IsQrCommandLine(line)) {
    // A text printer cannot draw the code: it prints what the code holds, so the
    // text is never lost.
    ShowStatus("Drucke QR-Code...");
    std::string text;
    if (QrCodeData(line, text)) {
      data_ += "#QRCODE:\n";
      for (size_t i = 0; i < text.size(); i += 60) data_ += WithoutControls(text.substr(i, 60)) + "\n";
    }
  } else if (IsBarcodeCommandLine(line)) {
    data_ += "*" + WithoutControls(BarcodeText(line)) + "*\n";
  } else if (StartsWith(trimmed, "#BARCODE:")) {
    size_t blanks = line.size() - TrimLeftBlanks(line).size();
    data_ += std::string(static_cast<size_t>(std::lround(0.8 * static_cast<double>(blanks))), ' ') + "*" +
             WithoutControls(BarcodeText(line)) + "*";
  } else if (StartsWith(trimmed, "#FONT:")) {
    std::string rest = trimmed.substr(6);
    size_t colon = rest.find(':');
    if (colon != std::string::npos) data_ += WithoutControls(rest.substr(colon + 1));
  } else if (StartsWith(trimmed, "#QRCODE:")) {
    ShowStatus("Drucke QR-Code...");
  } else if (StartsWith(trimmed, "#IMAGE:")) {
    data_ += " \n";  // a picture has no plain-text form; its line stays
  } else {
    data_ += WithoutControls(RemoveSizeCodes(line)) + "\n";
  }
}

void SpoolerLayout::Finish(bool cutAtEnd) {
  if (receipt_) {
    if (cutAtEnd) {
      ShowStatus("Papierschnitt...");
      data_ += codes_.cutter + "\r\n";
    }
  } else if (!data_.empty() && data_.back() != '\n' && data_.back() != '\f') {
    data_ += "\n";  // a "#FONT:" or "#BARCODE:" text that never got its line end
  }
}

Status ChannelPrintEngine::PrintSpooler(const Job& job) {
  platform::PrinterSystem* spooler = devices_.spooler;
  if (!spooler) return PortError(job.channel.name, "Kein Drucksystem verfügbar");
  // A spooler that hangs must cost only this printout: its calls run off the
  // loop's thread, on this job's own copies of what they need.
  const bool wantDefault = job.channel.kind == ChannelKind::DefaultPrinter;
  const std::string wanted = job.channel.target;
  std::string current, name, makeAndModel;
  Status reach;
  bool installed = true;
  env_.RunBlocking([&] {
    current = spooler->DefaultPrinter();
    // No default printer may just mean no spooler: say which.
    if (current.empty()) reach = spooler->Reachable();
    if (!reach) return;
    name = wantDefault ? current : wanted;
    if (!wantDefault && name != current) {
      const std::vector<std::string> queues = spooler->InstalledPrinters();
      installed = std::find(queues.begin(), queues.end(), name) != queues.end();
      if (!installed) name = current;
    }
    if (!name.empty()) makeAndModel = spooler->MakeAndModel(name);
  });
  if (!reach) return PortError(job.channel.name, "Das Drucksystem ist nicht erreichbar: " + reach.message());
  bool onDefault = wantDefault;
  if (!installed) {
    Message(
        "Die Druckausgabe konnte nicht auf '" + wanted + "' umgestellt werden. Ausdruck erfolgt auf Standarddrucker.",
        MsgKind::Exclamation);
    // The layout has to suit the printer that really gets the job.
    onDefault = true;
  }
  if (name.empty()) return PortError(job.channel.name, "Kein Standarddrucker eingerichtet.");

  const bool receipt = IsReceiptPrinter(name, makeAndModel, onDefault) || Code("FORCE_EPSON") == "JA";
  SpoolerCodes codes = SpoolerCodes::Lookup(codes_);
  bool bold = false;
  platform::PrinterSystem::TextLayout textLayout;
  if (!receipt) {
    // The spooler's text filter has one fixed-pitch font: the size sets the
    // characters per inch, the lines per inch stay (75 lines to the page). Font
    // name and bold have no counterpart; they are still looked up so that the
    // operator finds them in the file.
    (void)Code("FONT");
    textLayout.charsPerInch = CharsPerInch(Code("FONTSIZE"));
    bold = Code("FONTBOLD") == "JA";
  }

  SpoolerLayout layout(
      receipt, std::move(codes), [this](const std::string& text) { SetStatus(text); },
      [this](const std::string& path, std::string& raster) {
        std::string bytes;
        Status st = env_.ReadFile(path, bytes);
        return st ? BitmapToRaster(bytes, raster) : st;
      });
  const int lastIndex = static_cast<int>(job.lines.size()) - 1;
  for (int i = 0; i <= lastIndex; ++i) {
    SetStatus(LineStatusText(i, lastIndex));
    layout.AddLine(job.lines[static_cast<size_t>(i)]);
  }
  layout.Finish(job.cutAtEnd);
  if (bold) SetStatus("Fettdruck aus...");
  for (const std::string& problem : layout.problems()) {
    log_.AddLogLine("FEHLER: Bild kann nicht gedruckt werden: " + problem);
  }

  Status st;
  const std::string& data = layout.data();
  if (layout.raw() || !data.empty()) {
    env_.RunBlocking([&] {
      st = layout.raw() ? spooler->SubmitRaw(name, platform::kAppTitle, data)
                        : spooler->SubmitTextJob(name, platform::kAppTitle, data, textLayout);
    });
  }
  if (!st) return PortError(name, st.message());
  SetStatus("Belegdruck beendet");
  return Status::Ok();
}

}  // namespace tolven::printing
