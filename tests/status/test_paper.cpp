// Printouts as they come out of the printer, for the status page: ESC/POS
// commands carried out on the paper model, and the text put into HTML and JSON
// without ever turning into markup.
#include <gtest/gtest.h>

#include "common/text.h"
#include "printing/escpos_qr.h"
#include "status/html.h"
#include "status/paper.h"

namespace tolven::status {
namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

const std::string kHigh = B({27, 33, 16});
const std::string kBig = B({27, 33, 48});
const std::string kOff = B({27, 33, 0});

using Lines = std::vector<std::string>;

// The paper as text, a line each: marks in angle brackets, spans in square
// brackets with their look: "w" double width, "h" double height, "b" bold.
Lines Paper(const Lines& lines, bool cut = false) {
  Lines out;
  for (const PaperLine& l : RenderPaper(lines, cut)) {
    out.push_back(l.mark != PaperMark::None ? "<" + l.markText + ">" : "");
    for (const PaperSpan& s : l.spans) {
      std::string look = std::string(s.doubleWidth ? "w" : "") + (s.doubleHeight ? "h" : "") + (s.bold ? "b" : "");
      out.back() += look.empty() ? s.text : "[" + look + ":" + s.text + "]";
    }
  }
  return out;
}

// The cases of each group follow each other on one paper; each switches its
// mode off again.
TEST(StatusPaper, PrinterCommandsBecomeLookAndMarks) {
  // Plain text and blank lines; the size codes of a kitchen line; double width,
  // and GS ! sets the size too; the mode lives on to the next line; emphasis; a
  // line holding only a mode change feeds a blank line.
  EXPECT_EQ(
      Paper({"Tisch 12", "", " ", kBig + "2" + kOff + kHigh + "x " + kOff + kBig + "Pizza" + kOff,
             B({27, 33, 32}) + "20:48" + kOff + " Uhr", B({29, 33, 0x11}) + "SUMME" + B({29, 33, 0}), kHigh + "oben",
             "weiter", kOff + "normal", B({27, 69, 1}) + "fett" + B({27, 69, 0}) + " normal", kOff}),
      (Lines{"Tisch 12", "", " ", "[wh:2][h:x ][wh:Pizza]", "[w:20:48] Uhr", "[wh:SUMME]", "[h:oben]", "[h:weiter]",
             "normal", "[b:fett] normal", ""}));
  // A cut alone leaves no blank line, text before a cut is printed first, a cut
  // with a feed amount; drawer pulses on pin 2 and 5 and the old code without
  // pulse times; the kitchen buzzer; a stored logo.
  EXPECT_EQ(Paper({"Ende", B({29, 86, 49}), "Summe" + B({29, 86, 49}), B({29, 86, 65, 3}) + "x", B({27, 112, 0, 9, 1}),
                   B({27, 112, 1, 100, 100}), B({27, 112}), B({27, 112, 0, 255, 255}), B({28, 112, 1, 0})}),
            (Lines{"Ende", "<Schnitt>", "Summe", "<Schnitt>", "<Schnitt>", "x", "<Schublade öffnen (Pin 2)>",
                   "<Schublade öffnen (Pin 5)>", "<Schublade öffnen>", "<Küchensummer (Pin 2)>", "<Logo 1>"}));
  // Picture bytes are not text; barcodes ended by NUL and with a length; the
  // text printer's directives.
  EXPECT_EQ(Paper({B({29, 118, 48, 0, 2, 0, 1, 0}) + "AB" + "nach", B({27, 42, 33, 2, 0}) + "ABCDEF" + "ok",
                   B({29, 107, 4}) + "4711" + B({0}) + "x", B({29, 107, 73, 3}) + "ABC", "#BARCODE:123",
                   "  #FONT:Arial:Hallo", "#QRCODE:"}),
            (Lines{"<Grafik>", "nach", "<Grafik>", "ok", "<Strichcode 4711>", "x", "<Strichcode ABC>",
                   "<Strichcode 123>", "Hallo"}));
  // Form feed and feed lines; other control bytes vanish; a line feed inside a
  // line; the slip station.
  EXPECT_EQ(Paper({std::string(1, '\f'), "a" + B({27, 100, 2}), "a" + B({7, 1, 127}) + "b", "eins\nzwei",
                   B({27, 99, 48, 4}), B({27, 99, 48, 1})}),
            (Lines{"<Seitenvorschub>", "a", "", "", "ab", "eins", "zwei", "<Druck auf Belegstation (Formular)>",
                   "<Druck auf Bonrolle>"}));
  // A cut at the end is added once; a QR code keeps every byte of its text
  // (length bytes of 13 and 10 are no line end); commands cut short never read
  // past their line.
  EXPECT_EQ(Paper({"x", B({29, 86, 49})}, true), (Lines{"x", "<Schnitt>"}));
  EXPECT_EQ(Paper({}, true), (Lines{"<Schnitt>"}));
  const std::string text =
      "V0;TOLVENPDA-1;Kassenbeleg-V1;Beleg^8.40_0.00_0.00_0.00_0.00^8.40:Bar;3;501;" + std::string(184, 'S');
  for (const std::string& data : {text, text.substr(0, 10), text.substr(0, 7)}) {
    std::vector<PaperLine> p = RenderPaper({" ", printing::EscPosQrCode(data)}, false);
    EXPECT_TRUE(p.size() == 2 && p[1].qrData == data) << data.size();
  }
  EXPECT_EQ(PaperText(RenderPaper({printing::EscPosQrCode("A;B")}, false)), (Lines{"[QR-Code] A;B"}));
  for (const char* hex :
       {"1B", "1B21", "1D286BC80131", "1D7630", "1D6B043132", "1D6B493231", "1B2A21FFFF", "1C70", "101401"}) {
    const Lines p = Paper({HexDecode(hex), "danach"});
    EXPECT_TRUE(!p.empty() && p.back() == "danach") << hex;
  }
}

// Text never becomes markup; looks become classes; QR codes become pictures.
TEST(StatusPaper, Html) {
  EXPECT_EQ(HtmlText("<script>\"a\"&'b'</script>"), "&lt;script&gt;&quot;a&quot;&amp;&#39;b&#39;&lt;/script&gt;");
  EXPECT_EQ(HtmlText(B({'a', 27, 'b', 13, 10, 'c'})), "ab\nc");
  EXPECT_EQ(JsonString("a\"b\\c\r\n" + B({1, 127}) + "</x>"), "\"a\\\"b\\\\c\\r\\n\\u0001\\u007f\\u003c/x\\u003e\"");
  // Centred, underlined, red, narrow, double height: each its class.
  const std::string html =
      PaperHtml(RenderPaper({"<b>Tisch</b> & " + kBig + "<i>",
                             B({27, 97, 49, 27, 45, 1}) + "u" + B({27, 114, 1}) + "r" + B({27, 33, 1}) + "n",
                             B({27, 64, 27, 97, 2}) + kHigh + "x"},
                            false));
  EXPECT_EQ(
      html,
      "<div class=\"paper\" style=\"width:24ch\"><div class=\"l tall\">&lt;b&gt;Tisch&lt;/b&gt; &amp; <span "
      "class=\"big\" style=\"width:6ch\"><span class=\"dwh\">&lt;i&gt;</span></span></div><div class=\"l tall "
      "ac\"><span class=\"u big\" style=\"width:2ch\"><span class=\"dwh\">u</span></span><span class=\"u red "
      "big\" style=\"width:2ch\"><span class=\"dwh\">r</span></span><span class=\"red n\">n</span></div><div "
      "class=\"l tall ar\"><span class=\"big\" style=\"width:1ch\"><span class=\"dh\">x</span></span></div></div>");
  // Version 1 is 21 modules, with four modules of quiet zone on each side; no
  // symbol for nothing or for more than a QR code holds.
  const std::string svg = QrSvg("HELLO");
  EXPECT_TRUE(svg.find("viewBox=\"0 0 29 29\"") != std::string::npos && svg.find("M4 4h7v1h-7z") != std::string::npos)
      << svg;
  EXPECT_EQ(QrSvg("") + QrSvg(std::string(5000, 'x')), "");
  const std::string tooLong = PaperHtml(RenderPaper({printing::EscPosQrCode(std::string(3000, 'y'))}, false));
  EXPECT_NE(tooLong.find("QR-Code nicht darstellbar"), std::string::npos);
}

}  // namespace
}  // namespace tolven::status
