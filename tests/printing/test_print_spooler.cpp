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
const std::string kHoch = Bytes({27, 33, 16});
const std::string kAus = Bytes({27, 33, 0});
const std::string kHalb = Bytes({27, 33, 1});
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

TEST(SpoolerChannel, ReceiptPrinterGetsTheCommandsAsBytes) {
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
  const FakePrinterSystem::Job& job = r.spooler.jobs[0];
  EXPECT_TRUE(job.raw);
  EXPECT_EQ(job.printer, "EPSON TM-T88V");
  std::string blanks6;
  for (int k = 0; k < 6; ++k) blanks6 += " \r\n";
  std::string expected = kReset + kLogo + "\r\n" + hoch + "Tisch 4\r\n" + kAus + hoch + "Summe\r\n" + kAus + "Gr" +
                         Bytes({129, 225}) + "e " + Bytes({213}) + "\r\n" + kDrawer + kBuzzer + blanks6 +
                         "- - - - - - - - - - -\r\n \r\n" + blanks6 + kCutter + Bytes({27, 33, 48}) + "Gro" +
                         Bytes({225}) + kAus + "weiter" + Bytes({29, 76, 48, 0, 29, 104, 64, 29, 72, 0, 29, 107, 4}) +
                         "AB-1" + Bytes({0, 29, 76, 0, 0}) + kBarcode + "\r\n" +
                         Bytes({29, 76, 80, 0, 29, 118, 48, 0, 2, 0, 2, 0, 0x80, 0x80, 0x40, 0x80, 29, 76, 0, 0}) +
                         " \r\n \r\nEnde\r\n" + kCutter + "\r\n";
  EXPECT_EQ(HexEncode(job.data), HexEncode(expected));
  for (const char* s :
       {"Küchensummer...", "Schubladenöffnung...", "Papierschnitt...", "Drucke QR-Code...", "Belegdruck beendet"})
    EXPECT_TRUE(r.HadStatus(s)) << s;
  EXPECT_TRUE(r.ui.messages.empty());
  EXPECT_TRUE(r.log.Has("FEHLER: Bild kann nicht gedruckt werden: " + (r.dir / "fehlt.bmp")));
}

TEST(SpoolerChannel, OtherPrintersGetPlainTextInPagesOfSeventyFiveLines) {
  PrintEngineRig r;
  r.Code("FONTBOLD", "JA");
  std::vector<std::string> lines = {kLogo,
                                    kHoch + "Tisch 4" + kAus,
                                    kHalb + "klein",
                                    kDrawer,
                                    kBuzzer,
                                    kCutter,
                                    "     #BARCODE:123",
                                    " Text",
                                    kBarcode,
                                    "#FONT:Arial:fett",
                                    "",
                                    "#QRCODE:x",
                                    "#IMAGE:/x/QR.BMP",
                                    Bytes({27, 114, 1}) + "rot",
                                    "\f",
                                    "neue Seite"};
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN ", true, false).ok());
  EXPECT_EQ(r.spooler.jobs.at(0).data, "Tisch 4\nklein\n    *123* Text\n*A1*\nfett\n \nrrot\n\fneue Seite\n");
  EXPECT_TRUE(r.HadStatus("Fettdruck aus...") && !r.spooler.jobs[0].raw && r.spooler.jobs[0].printer == "Buero");
  // A form feed starts the count again: 70 + 74 lines need no break, one more does.
  lines.assign(70, "a");
  lines.push_back("\f");
  lines.insert(lines.end(), 75, "b");
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN", false, false).ok());
  std::string expected;
  for (int i = 0; i < 70; ++i) expected += "a\n";
  expected += "\f";
  for (int i = 0; i < 75; ++i) expected += (i == 74 ? "[Automatischer Seitenumbruch]\n\f" : "") + std::string("b\n");
  EXPECT_EQ(r.spooler.jobs.at(1).data, expected);
}

TEST(SpoolerChannel, PrinterChoiceAndDefaultPrinterFallback) {
  struct Case {
    const char* channel;
    std::string defaultPrinter;
    bool forceEpson;
    std::string printer;
    bool raw, warned;
  } cases[] = {
      {"NETZ Kasse", "Buero", false, "Kasse", false, false},
      {"WIN:Kasse", "Buero", false, "Kasse", false, false},
      {"NETZ EPSON TM-U220", "Buero", false, "Buero", false, true},  // not installed: text for the default printer
      {"NETZ kasse", "Buero", false, "Buero", false, true},          // names compare exactly
      {"NETZ Kasse", "Buero", true, "Kasse", true, false},
      {"WIN", "CHD6800", false, "CHD6800", true, false},
      {"NETZ CHD6800", "Buero", false, "CHD6800", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    PrintEngineRig r;
    r.spooler.printers = {"Kasse", "Buero", "CHD6800"};
    r.spooler.defaultPrinter = c.defaultPrinter;
    if (c.forceEpson) r.Code("FORCE_EPSON", "JA");
    ASSERT_TRUE(r.engine->MyPrint({"x"}, c.channel, true, false).ok());
    ASSERT_EQ(r.spooler.jobs.size(), 1u);
    EXPECT_EQ(r.spooler.jobs[0].printer, c.printer);
    EXPECT_EQ(r.spooler.jobs[0].raw, c.raw);
    EXPECT_EQ(r.OnlyMessage(), c.warned ? "Die Druckausgabe konnte nicht auf '" + std::string(c.channel + 5) +
                                              "' umgestellt werden. Ausdruck erfolgt auf Standarddrucker."
                                        : "<not one message>");
  }
  PrintEngineRig none;  // no printer at all is an error the caller sees
  none.spooler.printers.clear();
  none.spooler.defaultPrinter.clear();
  EXPECT_FALSE(none.engine->MyPrint({"x"}, "WIN", true, false).ok());
  EXPECT_FALSE(none.engine->MyPrint({"x"}, "NETZ Kasse", true, false).ok());
  EXPECT_TRUE(none.spooler.jobs.empty() && none.ui.HasMessage("Fehler bei Druck auf WIN"));
}

// Spooler queue names hold no blanks: "_" and "-" stand for them. "TM" compares
// case-sensitively, as it always did.
TEST(SpoolerChannel, ReceiptPrintersByQueueNameOrMakeAndModelAndFontSizes) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"CITIZEN CT-S310", "", false},
      {"EPSON_BA-T500", "", false},
      {"THERMAL_RECEIPT_80", "", false},
      {"EPSON_TM-T20II", "", false},
      {"epson_tm-t20", "", false},
      {"CITIZEN_CL-S700", "", false},
      {"Kueche", "Citizen CT-S310II", false},
      {"Buero", "HP LaserJet 4000", false},
      {"Buero", "Local Raw Printer", false},
      {"CHD_6800", "", true},
      {"Kasse", "CHD6800", true},
      {"Kasse", "CHD6800", false},
  };
  std::string receipt;
  for (const auto& [name, model, onDefault] : cases)
    receipt += printing::IsReceiptPrinter(name, model, onDefault) ? "1" : "0";
  EXPECT_EQ(receipt, "111100100010");
  std::string cpi;
  for (const char* size : {"10", "", "abc", "12", "8", "20", "21", "3"})
    cpi += std::to_string(printing::CharsPerInch(size)) + " ";
  EXPECT_EQ(cpi, "12 12 12 10 15 6 13 13 ");
}

// The receipt QR code: byte channels get the command untouched (its length bytes
// may look like umlauts), text printers get what the code holds.
TEST(QrCodeLines, CommandForByteChannelsTextForTextPrinters) {
  PrintEngineRig r;
  const std::string data = "V0;K1;Kassenbeleg-V1;" + std::string(200, 'x');  // length byte 0xE1 ('á')
  const std::string qr = printing::EscPosQrCode(data, 4);
  r.spooler.printers = {"EPSON TM-T88", "Buero"};
  ASSERT_TRUE(r.engine->MyPrint({"Summe", qr}, "NETZEPSON TM-T88", false, false).ok());
  EXPECT_NE(r.spooler.jobs.at(0).data.find(qr + "\r\n"), std::string::npos);

  ASSERT_TRUE(r.engine->MyPrint({"Summe", qr}, "NETZBuero", false, false).ok());
  const std::string text = r.spooler.jobs.at(1).data;
  EXPECT_NE(text.find("#QRCODE:\nV0;K1;Kassenbeleg-V1;" + std::string(39, 'x') + "\n" + std::string(60, 'x') + "\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1d'), std::string::npos);
}

TEST(EscPosImage, RasterFromBitmapsAndRefusedFiles) {
  std::string raster;
  auto dark = [](int x, int y) { return (x + y) % 2 == 0; };
  // Top-down as well as bottom-up (the receipt printer's picture above).
  ASSERT_TRUE(printing::BitmapToRaster(Bitmap24(9, 2, dark, true), raster).ok());
  EXPECT_EQ(HexEncode(raster), HexEncode(Bytes({29, 118, 48, 0, 2, 0, 2, 0, 0xAA, 0x80, 0x55, 0x00})));
  // 1 bit per pixel with a palette whose entry 1 is black: pixels after the palette (offset 62).
  std::string one = Bitmap24(8, 1, dark).substr(0, 54) + Bytes({255, 255, 255, 0, 0, 0, 0, 0, 0xF0, 0, 0, 0});
  one[10] = 62;
  one[28] = 1;
  ASSERT_TRUE(printing::BitmapToRaster(one, raster).ok());
  EXPECT_EQ(HexEncode(raster), HexEncode(Bytes({29, 118, 48, 0, 1, 0, 1, 0, 0xF0})));
  // 8 bits per pixel, a palette of three colours with entry 2 black; index 5 lies outside it.
  std::string eight = Bitmap24(8, 1, dark).substr(0, 54) +
                      Bytes({255, 255, 255, 0, 255, 255, 255, 0, 0, 0, 0, 0, 2, 0, 1, 2, 2, 5, 0, 2});
  eight[10] = 66;
  eight[28] = 8;
  eight[46] = 3;
  ASSERT_TRUE(printing::BitmapToRaster(eight, raster).ok());
  EXPECT_EQ(HexEncode(raster), HexEncode(Bytes({29, 118, 48, 0, 1, 0, 1, 0, 0x99})));
  // Cut short, compressed, or no more than a signature: refused without reading past the end.
  std::string good = Bitmap24(4, 4, dark), compressed = good;
  compressed[30] = 1;
  for (const std::string& bad : {good.substr(0, good.size() - 1), compressed, std::string("BM")}) {
    EXPECT_FALSE(printing::BitmapToRaster(bad, raster).ok());
    EXPECT_TRUE(raster.empty());
  }
}

}  // namespace
}  // namespace tolven::testing
