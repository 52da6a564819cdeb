// Printers of the print spooler, through the recording spooler: receipt
// printers get ESC/POS bytes, other printers text in pages of 75 lines.
#include <gtest/gtest.h>

#include "print_engine_fixture.h"
#include "printing/escpos_image.h"
#include "printing/escpos_qr.h"
#include "printing/print_spooler.h"

namespace tolven::testing {
namespace {

const std::string kReset = Bytes({27, 64, 27, 116, 2});
const std::string kAus = Bytes({27, 33, 0});
const std::string kCutter = Bytes({29, 86, 49});
const std::string kDrawer = Bytes({27, 112, 0, 9, 1});
const std::string kBuzzer = Bytes({27, 112, 0, 255, 255});
const std::string kLogo = Bytes({28, 112, 1, 0});
const std::string kBarcode = Bytes({29, 104, 80, 29, 72, 2, 29, 107, 4}) + "A1" + Bytes({0});

// A 24-bit bitmap of w x h pixels, bottom row first unless topDown; `dark(x, y)` with y from the top.
template <typename F>
std::string Bitmap24(int w, int h, F dark, bool topDown = false) {
  auto u32 = [](int64_t v) { return Bytes({int(v & 255), int(v >> 8 & 255), int(v >> 16 & 255), int(v >> 24 & 255)}); };
  std::string px;
  for (int row = 0; row < h; ++row) {
    std::string line;
    for (int x = 0; x < w; ++x) line += std::string(3, dark(x, topDown ? row : h - 1 - row) ? '\0' : '\xFF');
    line.resize(static_cast<size_t>((w * 3 + 3) / 4 * 4), '\0');
    px += line;
  }
  return "BM" + u32(54 + int64_t(px.size())) + u32(0) + u32(54) + u32(40) + u32(w) + u32(topDown ? -h : h) +
         Bytes({1, 0, 24, 0}) + u32(0) + u32(int64_t(px.size())) + u32(2835) + u32(2835) + u32(0) + u32(0) + px;
}

TEST(SpoolerChannel, ReceiptPrintersGetTheCommandsAsBytesOtherPrintersPlainTextInPages) {
  PrintEngineRig r;
  r.spooler.printers = {"Buero", "EPSON TM-T88V"};
  r.Code("DOPPELT_HOCH", "27,33,17");  // configured size codes are the ones recognised
  const std::string hoch = Bytes({27, 33, 17});
  std::vector<std::string> lines = {kLogo,
                                    hoch + "Tisch 4" + kAus,
                                    Bytes({27, 33, 32}) + "Summe" + kAus + hoch,  // several codes: the later match wins
                                    "Grüße €",
                                    kDrawer,
                                    kBuzzer,
                                    "\f",
                                    kCutter,
                                    "#FONT:FontA22:Groß",
                                    "#FONT:Arial:weiter",
                                    "#QRCODE:https://x",
                                    "     #BARCODE:ab-1{}",
                                    kBarcode,
                                    "#IMAGE:" + (r.dir / "qr.bmp"),
                                    "#IMAGE:" + (r.dir / "fehlt.bmp"),
                                    "Ende"};
  WriteAll(r.dir / "qr.bmp", Bitmap24(9, 2, [](int x, int y) { return x == y || x == 8; }));
  ASSERT_TRUE(r.engine->MyPrint(lines, "NETZ EPSON TM-T88V", true, false).ok());
  ASSERT_EQ(r.spooler.jobs.size(), 1u);
  EXPECT_TRUE(r.spooler.jobs[0].raw && r.spooler.jobs[0].printer == "EPSON TM-T88V");
  const std::string blanks6 = " \r\n \r\n \r\n \r\n \r\n \r\n";
  const std::string bytes =
      kReset + kLogo + "\r\n" + hoch + "Tisch 4\r\n" + kAus + hoch + "Summe\r\n" + kAus + "Gr" + Bytes({129, 225}) +
      "e " + Bytes({213}) + "\r\n" + kDrawer + kBuzzer + blanks6 + "- - - - - - - - - - -\r\n \r\n" + blanks6 +
      kCutter + Bytes({27, 33, 48}) + "Gro" + Bytes({225}) + kAus + "weiter" +
      Bytes({29, 76, 48, 0, 29, 104, 64, 29, 72, 0, 29, 107, 4}) + "AB-1" + Bytes({0, 29, 76, 0, 0}) + kBarcode +
      "\r\n" + Bytes({29, 76, 80, 0, 29, 118, 48, 0, 2, 0, 2, 0, 0x80, 0x80, 0x40, 0x80, 29, 76, 0, 0}) +
      " \r\n \r\nEnde\r\n" + kCutter + "\r\n";
  EXPECT_EQ(HexEncode(r.spooler.jobs[0].data), HexEncode(bytes));
  for (const char* s :
       {"Küchensummer...", "Schubladenöffnung...", "Papierschnitt...", "Drucke QR-Code...", "Belegdruck beendet"})
    EXPECT_TRUE(r.HadStatus(s)) << s;
  EXPECT_TRUE(r.ui.messages.empty());
  EXPECT_TRUE(r.log.Has("FEHLER: Bild kann nicht gedruckt werden: " + (r.dir / "fehlt.bmp")));

  // The same printout as text for the default printer.
  r.Code("FONTBOLD", "JA");
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN ", true, false).ok());
  EXPECT_EQ(r.spooler.jobs.at(1).data, "Tisch 4\nSumme\nGrüße €\n\fGroßweiter    *ab-1{}**A1*\n \n \nEnde\n");
  EXPECT_TRUE(r.HadStatus("Fettdruck aus...") && !r.spooler.jobs[1].raw && r.spooler.jobs[1].printer == "Buero");
  // A form feed starts the count again: 70 + 74 lines need no break, one more does.
  lines.assign(70, "a");
  lines.push_back("\f");
  lines.insert(lines.end(), 75, "b");
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN", false, false).ok());
  std::string expected;
  for (int i = 0; i < 70; ++i) expected += "a\n";
  expected += "\f";
  for (int i = 0; i < 75; ++i) expected += (i == 74 ? "[Automatischer Seitenumbruch]\n\f" : "") + std::string("b\n");
  EXPECT_EQ(r.spooler.jobs.at(2).data, expected);
}

}  // namespace
}  // namespace tolven::testing
