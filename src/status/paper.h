// A printout as it comes out of a receipt printer, for the status page: the
// ESC/POS commands in the print lines (print mode, size, emphasis, alignment,
// colour, cut, drawer pulse, logos, pictures, barcodes, QR codes) are carried
// out on a model of the paper instead of being shown as stray characters.
// Printer codes can be configured per installation (KASSEPRTCODES.INI), so the
// bytes are interpreted as the printer would, not matched against names.
#pragma once

#include <string>
#include <vector>

namespace tolven::status {

// How the printer prints a piece of text.
struct PaperLook {
  bool doubleWidth = false;
  bool doubleHeight = false;
  bool bold = false;
  bool underline = false;
  bool red = false;
  bool narrow = false;
  bool operator==(const PaperLook&) const = default;
};

struct PaperSpan : PaperLook {
  std::string text;  // Windows-1252, printable characters only
};

enum class PaperMark { None, Cut, Drawer, Buzzer, Logo, Picture, Barcode, Station, FormFeed, Qr };

struct PaperLine {
  std::vector<PaperSpan> spans;      // a text line; no spans is a blank line
  int align = 0;                     // 0 left, 1 centred, 2 right
  PaperMark mark = PaperMark::None;  // a mark stands instead of text
  std::string markText;              // what the mark says, German
  std::string qrData;                // the bytes the QR command stored (mark Qr)

  // Width in characters of the normal font (double width counts twice).
  int Columns() const;
  bool Tall() const;
  std::string PlainText() const;
};

// Interprets the lines of one printout. `cutAtEnd` adds the cut the print
// engine sends after the last line. A command cut short by the end of its line
// ends the line; nothing is read past it.
std::vector<PaperLine> RenderPaper(const std::vector<std::string>& lines, bool cutAtEnd);

// One text per paper line, marks in brackets ("[Schnitt]"), QR codes as
// "[QR-Code] " and their text: the printout for monitoring scripts.
std::vector<std::string> PaperText(const std::vector<PaperLine>& paper);

}  // namespace tolven::status
