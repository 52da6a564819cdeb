// Printers of the print spooler, through the recording spooler: receipt
// printers get ESC/POS bytes, other printers text in pages of 75 lines.
#include <gtest/gtest.h>

#include "common/text.h"
#include "druck_fixture.h"
#include "printing/escpos_image.h"
#include "printing/escpos_qr.h"
#include "printing/print_spooler.h"

namespace tolven::testing {
namespace {

const std::string kReset = Bytes({27, 64, 27, 116, 2});
const std::string kHoch = Bytes({27, 33, 16});
const std::string kAus = Bytes({27, 33, 0});
const std::string kBreit = Bytes({27, 33, 32});
const std::string kHalb = Bytes({27, 33, 1});
const std::string kCutter = Bytes({29, 86, 49});
const std::string kDrawer = Bytes({27, 112, 0, 9, 1});
const std::string kBuzzer = Bytes({27, 112, 0, 255, 255});
const std::string kLogo = Bytes({28, 112, 1, 0});

// A bitmap of w x h pixels, 24 bits, bottom row first; `dark(x, y)` with y from the top.
template <typename F>
std::string Bitmap24(int w, int h, F dark, bool topDown = false) {
  int stride = (w * 3 + 3) / 4 * 4;
  auto u32 = [](uint32_t v) { return Bytes({int(v & 255), int(v >> 8 & 255), int(v >> 16 & 255), int(v >> 24)}); };
  std::string px;
  for (int row = 0; row < h; ++row) {
    int y = topDown ? row : h - 1 - row;
    std::string line;
    for (int x = 0; x < w; ++x) line += dark(x, y) ? std::string(3, '\0') : std::string(3, '\xFF');
    line.resize(static_cast<size_t>(stride), '\0');
    px += line;
  }
  std::string bmp = "BM" + u32(static_cast<uint32_t>(54 + px.size())) + u32(0) + u32(54) + u32(40) + u32(static_cast<uint32_t>(w)) +
                    u32(static_cast<uint32_t>(topDown ? -h : h)) + Bytes({1, 0, 24, 0}) + u32(0) + u32(static_cast<uint32_t>(px.size())) +
                    u32(2835) + u32(2835) + u32(0) + u32(0);
  return bmp + px;
}

TEST(ReceiptPrinterNames, ByTheNameRules) {
  struct Case {
    const char* name;
    bool asDefault, receipt;
  } cases[] = {
      {"EPSON TM-T88V Receipt", false, true}, {"Epson TM-T20", false, true},
      {"epson tm-t20", false, false},  // "TM" is looked for as written
      {"EPSON Advanced Printer Driver", false, true}, {"EPSON BA-T500", false, true},
      {"Kasse RECEIPT", false, true},         {"Metapace T-3", false, true},
      {"Citizen CT-S310", false, true},       {"CMP-30 mobil", false, true},
      {"PRT100", false, true},                {"rp-100", false, true},
      {"Bixolon SRP-350", false, true},       {"CHD6800", true, true},
      {"CHD6800", false, false},              {"EPSON Stylus", false, false},
      {"HP LaserJet", false, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(printing::IsReceiptPrinterName(c.name, c.asDefault), c.receipt) << c.name << " " << c.asDefault;
}

TEST(SpoolerChannel, ReceiptPrinterGetsTheCommandsAsBytes) {
  DruckRig r;
  r.spooler.printers = {"Buero", "EPSON TM-T88V"};
  std::vector<std::string> lines = {
      kLogo,
      kHoch + "Tisch 4" + kAus,
      kBreit + "Summe" + kAus + kHoch,  // several codes: the later match wins
      "Grüße €",
      kDrawer,
      kBuzzer,
      "\f",
      kCutter,
      "#FONT:FontA22:Groß",
      "#FONT:Arial:weiter",
      "#QRCODE:https://x",
      "Ende",
  };
  ASSERT_TRUE(r.engine->MyPrint(lines, "NETZ EPSON TM-T88V", true, false).ok());
  ASSERT_EQ(r.spooler.jobs.size(), 1u);
  const FakePrinterSystem::Job& job = r.spooler.jobs[0];
  EXPECT_TRUE(job.raw);
  EXPECT_EQ(job.printer, "EPSON TM-T88V");
  std::string blanks6;
  for (int k = 0; k < 6; ++k) blanks6 += " \r\n";
  std::string expected = kReset + kLogo + "\r\n" + kHoch + "Tisch 4\r\n" + kAus + kHoch + "Summe\r\n" + kAus +
                         "Gr" + Bytes({129, 225}) + "e " + Bytes({213}) + "\r\n" + kDrawer + kBuzzer + blanks6 +
                         "- - - - - - - - - - -\r\n \r\n" + blanks6 + kCutter + Bytes({27, 33, 48}) + "Gro" +
                         Bytes({225}) + kAus + "weiter" + "Ende\r\n" + kCutter + "\r\n";
  EXPECT_EQ(HexEncode(job.data), HexEncode(expected));
  for (const char* s : {"Küchensummer...", "Schubladenöffnung...", "Papierschnitt...", "Drucke QR-Code...",
                        "Belegdruck beendet"})
    EXPECT_TRUE(r.HadStatus(s)) << s;
  EXPECT_TRUE(r.ui.messages.empty());
}

TEST(SpoolerChannel, ConfiguredSizeCodesAreTheOnesRecognisedAndSent) {
  DruckRig r;
  r.spooler.printers = {"Buero", "Bixolon SRP"};
  r.Code("DOPPELT_HOCH", "27,33,17");
  const std::string hoch = Bytes({27, 33, 17});
  ASSERT_TRUE(r.engine->MyPrint({hoch + "A", kHalb + "B"}, "NETZ Bixolon SRP", false, false).ok());
  EXPECT_EQ(r.spooler.jobs.at(0).data, kReset + hoch + "A\r\n" + kAus + kHalb + "B\r\n" + kAus);
}

TEST(SpoolerChannel, BarcodesOnReceiptPrinters) {
  DruckRig r;
  r.spooler.printers = {"Buero", "RECEIPT"};
  const std::string command = Bytes({29, 104, 80, 29, 72, 2, 29, 107, 4}) + "A1" + Bytes({0});
  ASSERT_TRUE(r.engine->MyPrint({"     #BARCODE:ab-1{}", command}, "NETZ RECEIPT", false, false).ok());
  std::string expected = kReset + Bytes({29, 76, 48, 0}) + Bytes({29, 104, 64, 29, 72, 0, 29, 107, 4}) + "AB-1" +
                         Bytes({0}) + Bytes({29, 76, 0, 0}) + command + "\r\n";
  EXPECT_EQ(HexEncode(r.spooler.jobs.at(0).data), HexEncode(expected));
}

TEST(SpoolerChannel, PicturesOnReceiptPrinters) {
  DruckRig r;
  r.spooler.printers = {"Buero", "RECEIPT"};
  std::string bmp = Bitmap24(9, 2, [](int x, int y) { return x == y || x == 8; });
  WriteAll(r.dir / "tseqr.bmp", bmp);
  ASSERT_TRUE(r.engine->MyPrint({"#IMAGE:" + (r.dir / "tseqr.bmp"), "#IMAGE:" + (r.dir / "fehlt.bmp")},
                                "NETZ RECEIPT", false, false)
                  .ok());
  std::string raster = Bytes({29, 118, 48, 0, 2, 0, 2, 0, 0x80, 0x80, 0x40, 0x80});
  std::string expected = kReset + Bytes({29, 76, 80, 0}) + raster + Bytes({29, 76, 0, 0}) + " \r\n" + " \r\n";
  EXPECT_EQ(HexEncode(r.spooler.jobs.at(0).data), HexEncode(expected));
  EXPECT_TRUE(r.log.Has("FEHLER: Bild kann nicht gedruckt werden: " + (r.dir / "fehlt.bmp")));
}

TEST(SpoolerChannel, OtherPrintersGetPagesOfSeventyFiveLines) {
  DruckRig r;
  std::vector<std::string> lines;
  for (int i = 1; i <= 80; ++i) lines.push_back("Zeile " + std::to_string(i));
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN", true, false).ok());
  ASSERT_EQ(r.spooler.jobs.size(), 1u);
  const FakePrinterSystem::Job& job = r.spooler.jobs[0];
  EXPECT_FALSE(job.raw);
  EXPECT_EQ(job.printer, "Buero");
  std::string expected;
  for (int i = 1; i <= 80; ++i) {
    if (i == 76) expected += "[Automatischer Seitenumbruch]\n\f";
    expected += "Zeile " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(job.data, expected);
}

TEST(SpoolerChannel, OtherPrintersGetPlainTextForEveryCommand) {
  DruckRig r;
  r.Code("FONTBOLD", "JA");
  const std::string command = Bytes({29, 104, 80, 29, 72, 2, 29, 107, 4}) + "A1" + Bytes({0});
  std::vector<std::string> lines = {kLogo, kHoch + "Tisch 4" + kAus, kHalb + "klein", kDrawer, kBuzzer, kCutter,
                                    "     #BARCODE:123", " Text", command, "#FONT:Arial:fett", "", "#QRCODE:x",
                                    "#IMAGE:/x/QR.BMP", Bytes({27, 114, 1}) + "rot", "\f", "neue Seite"};
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN ", true, false).ok());
  EXPECT_EQ(r.spooler.jobs.at(0).data,
            "Tisch 4\nklein\n    *123* Text\n*A1*\nfett\n \nrrot\n\fneue Seite\n");
  EXPECT_TRUE(r.HadStatus("Fettdruck aus..."));
  EXPECT_TRUE(r.HadStatus("Seitenvorschub..."));
}

TEST(SpoolerChannel, FormFeedStartsTheLineCountAgain) {
  DruckRig r;
  std::vector<std::string> lines(70, "a");
  lines.push_back("\f");
  lines.insert(lines.end(), 74, "b");
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN", false, false).ok());
  EXPECT_EQ(r.spooler.jobs.at(0).data.find("[Automatischer"), std::string::npos);
  lines.push_back("c");
  ASSERT_TRUE(r.engine->MyPrint(lines, "WIN", false, false).ok());
  EXPECT_NE(r.spooler.jobs.at(1).data.find("[Automatischer Seitenumbruch]\n\fc\n"), std::string::npos);
}

TEST(SpoolerChannel, PrinterChoiceByName) {
  struct Case {
    const char* channel;
    std::string defaultPrinter;
    const char* forceEpson;
    std::string printer;
    bool raw, warned;
  } cases[] = {
      {"NETZ Kasse", "Buero", nullptr, "Kasse", false, false},
      {"NETZ Buero", "Buero", nullptr, "Buero", false, false},
      {"WIN:Kasse", "Buero", nullptr, "Kasse", false, false},
      {"NETZ EPSON TM-U220", "Buero", nullptr, "Buero", false, true},  // not installed: text for the default printer
      {"NETZ kasse", "Buero", nullptr, "Buero", false, true},          // names compare exactly
      {"NETZ Kasse", "Buero", "JA", "Kasse", true, false},
      {"WIN", "CHD6800", nullptr, "CHD6800", true, false},
      {"NETZ CHD6800", "Buero", nullptr, "CHD6800", false, false},
  };
  for (const Case& c : cases) {
    DruckRig r;
    r.spooler.printers = {"Kasse", "Buero", "CHD6800"};
    r.spooler.defaultPrinter = c.defaultPrinter;
    if (c.forceEpson) r.Code("FORCE_EPSON", c.forceEpson);
    ASSERT_TRUE(r.engine->MyPrint({"x"}, c.channel, true, false).ok()) << c.channel;
    ASSERT_EQ(r.spooler.jobs.size(), 1u) << c.channel;
    EXPECT_EQ(r.spooler.jobs[0].printer, c.printer) << c.channel;
    EXPECT_EQ(r.spooler.jobs[0].raw, c.raw) << c.channel;
    EXPECT_EQ(r.ui.messages.size(), c.warned ? 1u : 0u) << c.channel;
    if (c.warned) {
      std::string name = printing::ClassifyChannel(c.channel).target;
      EXPECT_EQ(r.ui.messages[0].text, "Die Druckausgabe konnte nicht auf '" + name +
                                           "' umgestellt werden. Ausdruck erfolgt auf Standarddrucker.");
      EXPECT_EQ(r.ui.messages[0].kind, platform::MsgKind::Exclamation);
      EXPECT_TRUE(r.log.Has("WARNUNG: Die Druckausgabe konnte nicht"));
    }
  }
}

TEST(SpoolerChannel, RefusedJobIsAnErrorTheCallerSees) {
  DruckRig r;
  r.spooler.reject = true;
  Status st = r.engine->MyPrint({"x"}, "NETZ Kasse", true, false);
  EXPECT_FALSE(st.ok());
  ASSERT_EQ(r.ui.messages.size(), 1u);
  EXPECT_EQ(r.ui.messages[0].text,
            "Fehler bei Druck auf Kasse\r\n\r\nWindows meldet: cupsPrintFile(Kasse): The printer or class is not "
            "accepting jobs.");
  EXPECT_TRUE(r.log.Has("FEHLER: Fehler bei Druck auf Kasse"));
  EXPECT_NE(r.engine->statusText(), "Belegdruck beendet");
}

TEST(SpoolerChannel, NoPrinterAtAllIsAnError) {
  DruckRig r;
  r.spooler.printers.clear();
  r.spooler.defaultPrinter.clear();
  EXPECT_FALSE(r.engine->MyPrint({"x"}, "WIN", true, false).ok());
  EXPECT_FALSE(r.engine->MyPrint({"x"}, "NETZ Kasse", true, false).ok());
  EXPECT_TRUE(r.spooler.jobs.empty());
  EXPECT_TRUE(r.ui.HasMessage("Fehler bei Druck auf WIN"));
}

TEST(EscPosImage, RasterFromBitmaps) {
  std::string raster;
  // 9 x 2, bottom-up and top-down give the same picture.
  auto dark = [](int x, int y) { return (x + y) % 2 == 0; };
  for (bool topDown : {false, true}) {
    ASSERT_TRUE(printing::BitmapToRaster(Bitmap24(9, 2, dark, topDown), raster).ok());
    EXPECT_EQ(HexEncode(raster), HexEncode(Bytes({29, 118, 48, 0, 2, 0, 2, 0, 0xAA, 0x80, 0x55, 0x00})));
  }
  // 1 bit per pixel with a palette whose entry 1 is black.
  std::string bmp1 = Bitmap24(8, 1, [](int, int) { return false; });
  std::string one = bmp1.substr(0, 54) + Bytes({255, 255, 255, 0, 0, 0, 0, 0}) + Bytes({0xF0, 0, 0, 0});
  one[10] = 62;  // pixels after the palette
  one[28] = 1;   // bits per pixel
  ASSERT_TRUE(printing::BitmapToRaster(one, raster).ok());
  EXPECT_EQ(HexEncode(raster), HexEncode(Bytes({29, 118, 48, 0, 1, 0, 1, 0, 0xF0})));
}

TEST(EscPosImage, DamagedOrUnsuitableFilesAreRefused) {
  std::string good = Bitmap24(4, 4, [](int, int) { return true; });
  std::string raster;
  std::string cut = good.substr(0, good.size() - 1);
  std::string tooWide = good;
  tooWide[19] = 0x10;  // 4100 pixels wide
  std::string compressed = good;
  compressed[30] = 1;
  std::string badHeader = good;
  badHeader[14] = static_cast<char>(0xFF);
  badHeader[17] = 0x7F;
  for (const std::string* bad : {&cut, &tooWide, &compressed, &badHeader}) {
    EXPECT_FALSE(printing::BitmapToRaster(*bad, raster).ok());
    EXPECT_TRUE(raster.empty());
  }
  EXPECT_FALSE(printing::BitmapToRaster("BM", raster).ok());
  EXPECT_FALSE(printing::BitmapToRaster(std::string(100, 'x'), raster).ok());
}

}  // namespace
}  // namespace tolven::testing

namespace tolven::testing {
namespace {

// The receipt QR code: byte channels get the command untouched (its length bytes
// may look like umlauts), text printers get what the code holds.
TEST(QrCodeLines, CommandForByteChannelsTextForTextPrinters) {
  DruckRig rig;
  const std::string data = "V0;K1;Kassenbeleg-V1;" + std::string(200, 'x');  // length byte 0xE1 ('á')
  const std::string qr = printing::EscPosQrCode(data, 4);
  rig.spooler.printers = {"EPSON TM-T88", "Buero"};
  ASSERT_TRUE(rig.engine->MyPrint({"Summe", qr}, "NETZEPSON TM-T88", false, false));
  ASSERT_EQ(rig.spooler.jobs.size(), 1u);
  EXPECT_NE(rig.spooler.jobs[0].data.find(qr + "\r\n"), std::string::npos);

  ASSERT_TRUE(rig.engine->MyPrint({"Summe", qr}, "NETZBuero", false, false));
  const std::string text = rig.spooler.jobs.back().data;
  EXPECT_NE(text.find("#QRCODE:\n"), std::string::npos);
  EXPECT_NE(text.find("V0;K1;Kassenbeleg-V1;" + std::string(39, 'x') + "\n" + std::string(60, 'x') + "\n"),
            std::string::npos);
  EXPECT_EQ(text.find('\x1d'), std::string::npos);

  rig.ini.Write("TOLVEN.INI", "PORTS", "LPT1", rig.dir / "lpt1");
  ASSERT_TRUE(rig.engine->MyPrint({qr}, "LPT1", false, false));
  ASSERT_FALSE(rig.parallelPorts.empty());
  EXPECT_EQ(rig.parallelPorts.back()->written.substr(0, qr.size()), qr);
}

}  // namespace
}  // namespace tolven::testing
