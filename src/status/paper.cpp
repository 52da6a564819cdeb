#include "status/paper.h"

#include <cstddef>

#include "common/text.h"

namespace tolven::status {

namespace {

constexpr unsigned char kEsc = 27;
constexpr unsigned char kGs = 29;
constexpr unsigned char kFs = 28;
constexpr unsigned char kDle = 16;
constexpr int kMaxFeedLines = 20;  // ESC d n shows at most this many blank lines

// The printer's mode: the look of the next text and the line's alignment.
struct Mode : PaperLook {
  int align = 0;
};

// Interprets one print line; the print mode lives on from line to line as it
// does in the printer.
class LineReader {
 public:
  LineReader(const std::string& line, Mode& mode, std::vector<PaperLine>& out) : s_(line), mode_(mode), out_(out) {
    current_.align = mode_.align;
  }

  void Run() {
    while (i_ < s_.size()) {
      const unsigned char c = Byte(i_);
      if (c == kEsc) {
        Esc();
      } else if (c == kGs) {
        Gs();
      } else if (c == kFs) {
        Fs();
      } else if (c == kDle) {
        // Real-time requests (DLE EOT n, DLE ENQ n, DLE DC4 fn m t) print nothing.
        const unsigned char f = Byte(i_ + 1);
        Skip(f == 20 ? 5 : 3);
      } else if (c == '\n') {
        FlushText(true);
        ++i_;
      } else if (c == '\f') {
        Mark(PaperMark::FormFeed, "Seitenvorschub");
        ++i_;
      } else if (c == '\t') {
        int col = current_.Columns();
        AddText(std::string(static_cast<size_t>(8 - col % 8), ' '));
        ++i_;
      } else if (c < 32 || c == 127) {
        ++i_;  // other control bytes leave no trace on paper
      } else {
        AddText(std::string(1, static_cast<char>(c)));
        ++i_;
      }
    }
    // Every line fed a line on paper, unless all it did was a mark (a cut,
    // a drawer pulse, a code or a picture).
    if (HasText() || !producedMark_) FlushText(true);
  }

 private:
  unsigned char Byte(size_t k) const { return k < s_.size() ? static_cast<unsigned char>(s_[k]) : 0; }
  bool Has(size_t k) const { return k < s_.size(); }
  void Skip(size_t n) { i_ = n > s_.size() - i_ ? s_.size() : i_ + n; }
  bool HasText() const { return !current_.spans.empty(); }

  void AddText(const std::string& text) {
    const PaperLook& look = mode_;
    if (current_.spans.empty() || current_.spans.back() != look) {
      PaperSpan span;
      static_cast<PaperLook&>(span) = look;
      current_.spans.push_back(span);
    }
    current_.spans.back().text += text;
  }

  // Ends the text line; `always` pushes a blank line too.
  void FlushText(bool always) {
    if (HasText() || always) out_.push_back(current_);
    current_ = PaperLine();
    current_.align = mode_.align;
  }

  void Mark(PaperMark mark, const std::string& text, const std::string& qr = "") {
    // The printer prints what it holds before it cuts, kicks or prints a code.
    FlushText(false);
    PaperLine line;
    line.mark = mark;
    line.markText = text;
    line.qrData = qr;
    out_.push_back(line);
    producedMark_ = true;
  }

  void Esc() {
    const unsigned char f = Byte(i_ + 1);
    const unsigned char n = Byte(i_ + 2);
    switch (f) {
      case '!':
        mode_.narrow = (n & 1) != 0;
        mode_.bold = (n & 8) != 0;
        mode_.doubleHeight = (n & 16) != 0;
        mode_.doubleWidth = (n & 32) != 0;
        mode_.underline = (n & 128) != 0;
        return Skip(3);
      case '@': mode_ = Mode(); return Skip(2);
      case 'E':
      case 'G': mode_.bold = (n & 1) != 0; return Skip(3);
      case '-': mode_.underline = (n & 3) != 0; return Skip(3);
      case 'r': mode_.red = (n & 1) != 0; return Skip(3);
      case 'a': {
        int a = n >= '0' ? n - '0' : n;
        mode_.align = a >= 0 && a <= 2 ? a : 0;
        if (!HasText()) current_.align = mode_.align;
        return Skip(3);
      }
      case 'd': {
        FlushText(false);
        for (int k = 0; k < n && k < kMaxFeedLines; ++k) out_.push_back(PaperLine());
        producedMark_ = true;  // the feed stands for the line
        return Skip(3);
      }
      case 'p': {
        // ESC p alone (an old drawer code) or ESC p m t1 t2.
        if (!Has(i_ + 2)) {
          Mark(PaperMark::Drawer, "Schublade öffnen");
          return Skip(2);
        }
        const unsigned char t1 = Byte(i_ + 3), t2 = Byte(i_ + 4);
        const std::string pin = (n & 1) != 0 ? "Pin 5" : "Pin 2";
        if (t1 == 255 && t2 == 255) {
          Mark(PaperMark::Buzzer, "Küchensummer (" + pin + ")");
        } else {
          Mark(PaperMark::Drawer, "Schublade öffnen (" + pin + ")");
        }
        return Skip(5);
      }
      case 'c':
        if (Byte(i_ + 2) == '0') {
          const unsigned char station = Byte(i_ + 3);
          Mark(PaperMark::Station, (station & 4) != 0 ? "Druck auf Belegstation (Formular)" : "Druck auf Bonrolle");
        }
        return Skip(4);
      case 'i':
      case 'm': Mark(PaperMark::Cut, "Schnitt"); return Skip(2);
      case '*': {
        const size_t columns = Byte(i_ + 3) + 256u * Byte(i_ + 4);
        const size_t bytes = columns * (n <= 1 ? 1 : 3);
        Mark(PaperMark::Picture, "Grafik");
        return Skip(5 + bytes);
      }
      case 'D': {
        // Tab positions: a list that ends with NUL.
        size_t k = i_ + 2;
        while (Has(k) && Byte(k) != 0) ++k;
        i_ = Has(k) ? k + 1 : s_.size();
        return;
      }
      case '$':
      case '\\': return Skip(4);
      case '2':
      case '<': return Skip(2);
      default:
        // Every other ESC command of a receipt printer takes one parameter byte.
        return Skip(f >= 32 ? 3 : 2);
    }
  }

  void Gs() {
    const unsigned char f = Byte(i_ + 1);
    const unsigned char n = Byte(i_ + 2);
    switch (f) {
      case 'V': {
        Mark(PaperMark::Cut, "Schnitt");
        const bool feed = n == 65 || n == 66 || n == 97 || n == 98 || n == 103 || n == 104;
        return Skip(feed ? 4 : 3);
      }
      case '!':
        mode_.doubleWidth = ((n >> 4) & 7) != 0;
        mode_.doubleHeight = (n & 7) != 0;
        return Skip(3);
      case 'k': return Barcode();
      case '(': return Function();
      case 'v': {
        // GS v 0 m xL xH yL yH and the raster data.
        const size_t bytes = (Byte(i_ + 4) + 256u * Byte(i_ + 5)) * (Byte(i_ + 6) + 256u * Byte(i_ + 7));
        Mark(PaperMark::Picture, "Grafik");
        return Skip(8 + bytes);
      }
      case '/': Mark(PaperMark::Picture, "Grafik"); return Skip(3);
      case 'L':
      case 'W':
      case 'P':
      case '$':
      case '\\': return Skip(4);
      default: return Skip(f >= 32 ? 3 : 2);
    }
  }

  void Barcode() {
    const unsigned char system = Byte(i_ + 2);
    std::string data;
    if (system <= 6) {
      size_t k = i_ + 3;
      while (Has(k) && Byte(k) != 0) data += s_[k++];
      i_ = Has(k) ? k + 1 : s_.size();
    } else {
      const size_t len = Byte(i_ + 3);
      data = s_.substr(i_ + 4 < s_.size() ? i_ + 4 : s_.size(), len);
      Skip(4 + len);
    }
    Mark(PaperMark::Barcode, "Strichcode " + Printable(data));
  }

  // GS ( x pL pH and pL + 256 pH bytes: QR codes (GS ( k with cn 49) and graphics.
  void Function() {
    const unsigned char letter = Byte(i_ + 2);
    const size_t len = Byte(i_ + 3) + 256u * Byte(i_ + 4);
    const size_t body = i_ + 5;
    const std::string data = body < s_.size() ? s_.substr(body, len) : std::string();
    const unsigned char cn = data.size() > 0 ? static_cast<unsigned char>(data[0]) : 0;
    const unsigned char fn = data.size() > 1 ? static_cast<unsigned char>(data[1]) : 0;
    if (letter == 'k' && cn == 49) {
      if (fn == 80 && data.size() >= 3) qrData_ = data.substr(3);
      if (fn == 81) Mark(PaperMark::Qr, "QR-Code", qrData_);
    } else if (letter == 'k' && fn == 81) {
      Mark(PaperMark::Barcode, "2D-Code");
    } else if (letter == 'L' && (fn == 50 || fn == 69)) {
      Mark(PaperMark::Picture, "Grafik");
    }
    Skip(5 + len);
  }

  void Fs() {
    const unsigned char f = Byte(i_ + 1);
    if (f == 'p') {
      Mark(PaperMark::Logo, "Logo " + std::to_string(Byte(i_ + 2)));
      return Skip(4);
    }
    Skip(f == 'C' || f == '!' || f == '-' || f == 'W' ? 3 : 2);
  }

  static std::string Printable(const std::string& text) {
    std::string out;
    for (char ch : text) {
      if (static_cast<unsigned char>(ch) >= 32 && ch != 127) out += ch;
    }
    return out;
  }

  const std::string& s_;
  Mode& mode_;
  std::vector<PaperLine>& out_;
  PaperLine current_;
  size_t i_ = 0;
  bool producedMark_ = false;
  std::string qrData_;
};

// Directives of text printers that the layouts put into print lines.
bool Directive(const std::string& line, std::vector<PaperLine>& out) {
  const std::string trimmed = TrimBlanks(line);
  auto mark = [&out](PaperMark kind, const std::string& text) {
    PaperLine l;
    l.mark = kind;
    l.markText = text;
    out.push_back(l);
  };
  if (StartsWith(trimmed, "#BARCODE:")) {
    mark(PaperMark::Barcode, "Strichcode " + trimmed.substr(9));
  } else if (StartsWith(trimmed, "#IMAGE:")) {
    mark(PaperMark::Picture, "Bild " + trimmed.substr(7));
  } else if (StartsWith(trimmed, "#QRCODE:")) {
    // Announces the code that follows; nothing of its own on paper.
  } else if (StartsWith(trimmed, "#FONT:")) {
    const std::string rest = trimmed.substr(6);
    const size_t colon = rest.find(':');
    PaperLine l;
    PaperSpan s;
    s.text = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (!s.text.empty()) l.spans.push_back(s);
    out.push_back(l);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int PaperLine::Columns() const {
  int n = 0;
  for (const PaperSpan& s : spans) n += static_cast<int>(s.text.size()) * (s.doubleWidth ? 2 : 1);
  return n;
}

bool PaperLine::Tall() const {
  for (const PaperSpan& s : spans) {
    if (s.doubleHeight) return true;
  }
  return false;
}

std::string PaperLine::PlainText() const {
  std::string out;
  for (const PaperSpan& s : spans) out += s.text;
  return out;
}

std::vector<PaperLine> RenderPaper(const std::vector<std::string>& lines, bool cutAtEnd) {
  std::vector<PaperLine> out;
  Mode mode;
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] != static_cast<char>(kEsc) && Directive(line, out)) continue;
    LineReader(line, mode, out).Run();
  }
  if (cutAtEnd && (out.empty() || out.back().mark != PaperMark::Cut)) {
    PaperLine cut;
    cut.mark = PaperMark::Cut;
    cut.markText = "Schnitt";
    out.push_back(cut);
  }
  return out;
}

std::vector<std::string> PaperText(const std::vector<PaperLine>& paper) {
  std::vector<std::string> out;
  for (const PaperLine& l : paper) {
    if (l.mark == PaperMark::None) {
      out.push_back(l.PlainText());
    } else if (l.mark == PaperMark::Qr) {
      std::string text;
      for (char c : l.qrData) text += static_cast<unsigned char>(c) < 32 ? ' ' : c;
      out.push_back("[QR-Code] " + text);
    } else {
      out.push_back("[" + l.markText + "]");
    }
  }
  return out;
}

}  // namespace tolven::status
