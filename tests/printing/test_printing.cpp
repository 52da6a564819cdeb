// Printouts on paper and in files: the print engine on the platform's serial
// port (a pseudo-terminal stands in for the printer), the recording spooler and
// archive files; the printer codes; whole customer and kitchen receipts composed
// from a real SQLite database, and what happens to the order around them.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "fiscal/tse.h"
#include "loop/event_loop.h"
#include "platform/ini_file.h"
#include "printing/customer_receipt.h"
#include "printing/escpos_qr.h"
#include "printing/kitchen_receipts.h"
#include "printing/print_archive.h"
#include "printing/print_engine.h"
#include "printing/print_lines.h"
#include "settlement/table_settlement.h"
#include "support/fake_devices.h"
#include "support/fake_env.h"
#include "support/fake_print_engine.h"
#ifndef _WIN32
#include "support/pty.h"
#endif
#include "support/recording_log.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

// The lines of a printout or table in one text, separated by "|".
std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) s += (i > 0 ? "|" : "") + lines[i];
  return s;
}

const std::string kDH = Bytes({27, 33, 16});
const std::string kOff = Bytes({27, 33, 0});
const std::string kCutter = Bytes({29, 86, 49});
const std::string kDrawer = Bytes({27, 112, 0, 9, 1});
const std::string kDrawer2 = Bytes({27, 112, 1, 9, 1});
const std::string kBuzzer = Bytes({27, 112, 0, 255, 255});
const std::string kLogo = Bytes({28, 112, 1, 0});
const std::string kBarcode = Bytes({29, 104, 80, 29, 72, 2, 29, 107, 4}) + "A1" + Bytes({0});

// The print engine on one rig: the spooler's receipt and text printers, the
// printer codes of KASSEPRTCODES.INI, archive files with their check value, and
// the serial port, with a pseudo-terminal standing in for the printer.
TEST(PrintEngine, SpoolerPrinterCodesArchiveFilesAndSerialPort) {
  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  RecordingLog log;
  platform::IniFile ini{env, dir.path()};
  FakePrinterSystem spooler;
  const printing::ChannelPrintEngine::Devices devices{
      .serialPort = [] { return platform::MakeSerialPort(); }, .parallelPort = nullptr, .spooler = &spooler};
  printing::ChannelPrintEngine engine(
      env, ui, ini, [&ini](const std::string& name) { return printing::GetPrinterCode(ini, name); }, devices, log,
      dir.path() + "/");
  std::string statuses;  // each followed by "|", without the progress line by line
  engine.SetStatusObserver([&statuses](const std::string& s) {
    if (!StartsWith(s, "Belegdruck Zeile ")) statuses += s + "|";
  });
  auto Code = [&ini](const std::string& key, const std::string& value) {
    ASSERT_TRUE(ini.Write(printing::kPrinterCodesIni, "CODES", key, value).ok());
  };

  // Receipt printers get the commands as bytes, other printers plain text in pages.
  spooler.printers = {"Buero", "EPSON TM-T88V"};
  Code("DOPPELT_HOCH", "27,33,17");  // configured size codes are the ones recognised
  const std::string hoch = Bytes({27, 33, 17});
  // Of several size codes on a line the later match wins.
  std::vector<std::string> lines = {kLogo,
                                    hoch + "Tisch 4" + kOff,
                                    Bytes({27, 33, 32}) + "Summe" + kOff + hoch,
                                    "Grüße €",
                                    kDrawer,
                                    kDrawer2,
                                    kBuzzer,
                                    "\f",
                                    kCutter,
                                    "#FONT:FontA22:Groß",
                                    "#FONT:Arial:weiter",
                                    "#QRCODE:https://x",
                                    "     #BARCODE:ab-1{}",
                                    kBarcode,
                                    "#IMAGE:" + (dir / "qr.bmp"),
                                    "#IMAGE:" + (dir / "fehlt.bmp"),
                                    "Ende"};
  // 9 x 2 pixels of 24 bits, bottom row first: the diagonal and the last column dark.
  WriteAll(dir / "qr.bmp", HexDecode("424D6E000000000000003600000028000000090000000200000001001800000000003800000013"
                                     "0B0000130B00000000000000000000"
                                     "FFFFFF000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000"
                                     "000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000"));
  ASSERT_TRUE(engine.MyPrint(lines, "NETZ EPSON TM-T88V", true, false).ok());
  EXPECT_TRUE(spooler.jobs.at(0).raw && spooler.jobs[0].printer == "EPSON TM-T88V");
  const std::string blanks6 = " \r\n \r\n \r\n \r\n \r\n \r\n";
  const std::string bytes =
      Bytes({27, 64, 27, 116, 2}) + kLogo + "\r\n" + hoch + "Tisch 4\r\n" + kOff + hoch + "Summe\r\n" + kOff + "Gr" +
      Bytes({129, 225}) + "e " + Bytes({213}) + "\r\n" + kDrawer + kDrawer2 + kBuzzer + blanks6 +
      "- - - - - - - - - - -\r\n \r\n" + blanks6 + kCutter + Bytes({27, 33, 48}) + "Gro" + Bytes({225}) + kOff +
      "weiter" + Bytes({29, 76, 48, 0, 29, 104, 64, 29, 72, 0, 29, 107, 4}) + "AB-1" + Bytes({0, 29, 76, 0, 0}) +
      kBarcode + "\r\n" + Bytes({29, 76, 80, 0, 29, 118, 48, 0, 2, 0, 2, 0, 0x80, 0x80, 0x40, 0x80, 29, 76, 0, 0}) +
      " \r\n \r\nEnde\r\n" + kCutter + "\r\n";
  EXPECT_EQ(HexEncode(spooler.jobs[0].data), HexEncode(bytes));
  EXPECT_TRUE(ui.messages.empty() && log.Has("FEHLER: Bild kann nicht gedruckt werden: " + (dir / "fehlt.bmp")));

  // The same printout as text for the default printer.
  Code("FONTBOLD", "JA");
  ASSERT_TRUE(engine.MyPrint(lines, "WIN ", true, false).ok());
  EXPECT_EQ(spooler.jobs.at(1).data, "Tisch 4\nSumme\nGrüße €\n\fGroßweiter    *ab-1{}**A1*\n \n \nEnde\n");
  EXPECT_TRUE(!spooler.jobs[1].raw && spooler.jobs[1].printer == "Buero");
  // A form feed starts the count again: 70 + 74 lines need no break, one more does.
  lines.assign(70, "a");
  lines.push_back("\f");
  lines.insert(lines.end(), 75, "b");
  ASSERT_TRUE(engine.MyPrint(lines, "WIN", false, false).ok());
  std::string expected;
  for (size_t i = 0; i < lines.size(); ++i)
    expected += (i == 145 ? "[Automatischer Seitenumbruch]\n\f" : "") + lines[i] + (i == 70 ? "" : "\n");
  EXPECT_EQ(spooler.jobs.at(2).data, expected);

  const std::tuple<const char*, const char*, std::string> cases[] = {
      // nullptr: not in the file. The defaults go to the drawers and cutters as they are.
      {"SCHUBLADE", nullptr, Bytes({27, 112, 0, 9, 1})},
      {"SCHUBLADE_ALT", nullptr, Bytes({27, 112})},
      {"SCHUBLADE_2", nullptr, Bytes({27, 112, 1, 9, 1})},
      {"SCHUBLADE_LONG_PULSE", nullptr, Bytes({27, 112, 0, 100, 100})},
      {"SCHUBLADE_2_LONG_PULSE", nullptr, Bytes({27, 112, 1, 100, 100})},
      {"HALB_BREIT", nullptr, Bytes({27, 33, 1})},
      {"FARBE1", nullptr, Bytes({27, 114, 1})},
      {"BELEG_AN", nullptr, Bytes({27, 99, 48, 4})},
      {"UNBEKANNT", nullptr, ""},
      {"BAUD", "19200", "19200"},                               // a text setting, not a byte list
      {"CUTTER", "29,86,300,65", Bytes({29, 86, 65})},          // 300 is no byte
      {"SCHUBLADE_ALT", "27,,112", Bytes({27})},                // the list ends at the first empty token
      {"SCHUBLADE_ALT", " 27 , x ,-1,2.6", Bytes({27, 0, 3})},  // no digits gives 0, -1 skipped, rounded
  };
  for (const auto& [name, configured, code] : cases) {
    if (configured) Code(name, configured);
    EXPECT_EQ(printing::GetPrinterCode(ini, name), code) << name << "=" << (configured ? configured : "");
  }

  // Archive files: NUL is written as {0} and checked as written; control codes stay; never a cut.
  lines = {"123456789", std::string("a\0b", 3), Bytes({27, 33, 16}) + "c"};
  ASSERT_TRUE(engine.MyPrint({"123456789"}, "FILE:" + (dir / "BON1.BON"), true, true).ok());
  ASSERT_TRUE(engine.MyPrint(lines, "FILE:" + (dir / "BON2.BON"), true, true).ok());
  // The CRC-16/KERMIT check value, low byte first.
  EXPECT_EQ(ReadAll(dir / "BON1.BON"), "123456789\r\n###CRC:8921\r\n");
  const std::string contents = ReadAll(dir / "BON2.BON");
  EXPECT_EQ(contents, "123456789\r\na{0}b\r\n" + Bytes({27, 33, 16}) + "c\r\n###CRC:EDBD\r\n");
  const printing::ArchivedPrintout back = printing::ParseArchivedPrintout(contents);
  using Check = printing::ArchivedPrintout::Check;
  EXPECT_TRUE(back.lines == lines && back.check == Check::Ok);
  EXPECT_EQ(printing::ParseArchivedPrintout("123456789\r\n###CRC:8921\r\nmehr\r\n").check, Check::Wrong);
  EXPECT_EQ(printing::ParseArchivedPrintout("123456789\r\n").check, Check::Missing);
  EXPECT_TRUE(!engine.MyPrint({"abc"}, "FILE:" + (dir / "fehlt/BON1.BON"), false, false).ok() &&
              log.Has("FEHLER: Archivdatei"));

#ifndef _WIN32  // the Windows build's serial port is tried through Wine's COM mapping, end to end
  // The printer: a pseudo-terminal.
  Pty pty;
  ASSERT_FALSE(pty.device.empty());
  // The status texts of every printout so far, files included.
  EXPECT_EQ(statuses,
            "Schubladenöffnung...|Schubladenöffnung...|Küchensummer...|Papierschnitt...|Drucke QR-Code...|"
            "Papierschnitt...|Belegdruck beendet|Schubladenöffnung...|Schubladenöffnung...|Küchensummer...|"
            "Seitenvorschub...|Papierschnitt...|Drucke QR-Code...|Fettdruck aus...|"
            "Belegdruck beendet|Seitenvorschub...|Fettdruck aus...|Belegdruck beendet|Archivierung. Bitte warten...|"
            "Archivierung. Bitte warten...|Archivierung. Bitte warten...|");
  statuses.clear();
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "PORTS", "COM3", pty.device).ok());
  Code("HANDSHAKE", "NONE");
  Code("PRTINIT", "27,64");
  Code("UMLAUTKONVERTIERUNG", "1");
  Code("SCHUBLADE", "27,112,0,25,250");
  Code("KÜCHENSUMMER", "27,112,0,250,252");
  Code("FARBE1", "27,114,252");
  Code("SERIAL-DELAY", "5");  // a byte list: 5 x 10 ms

  // Printer commands are not converted, nor is the QR code's data (byte 250
  // would otherwise become "u", 252 byte 129).
  const std::string drawer = Bytes({27, 112, 0, 25, 250}), buzzer = Bytes({27, 112, 0, 250, 252});
  const std::string qr = Bytes({29, 40, 107, 4, 0, 49, 65, 50, 0}) + "ä";
  lines = {
      "Grüße aus der Küche", drawer, buzzer, qr, Bytes({27, 114, 252}) + "Café 3,50 €" + Bytes({27, 114, 0}), "Ende\f"};
  for (int i = 0; i < 54; ++i) lines.push_back("Position " + std::to_string(i) + std::string(30, '.'));
  ASSERT_TRUE(engine.MyPrint(lines, "COM3", true, false).ok()) << ui.messages.at(0).text;

  // Drawer codes travel without a line end, a form feed line as it is.
  expected = Bytes({27, 64, 27, 116, 2}) + "Gr" + Bytes({129, 225}) + "e aus der K" + Bytes({129}) + "che\r\n" +
             drawer + buzzer + "\r\n" + qr + "\r\n" + Bytes({27, 114, 252}) + "Cafe 3,50 " + Bytes({213, 27, 114, 0}) +
             "\r\nEnde\f";
  for (int i = 0; i < 54; ++i) expected += "Position " + std::to_string(i) + std::string(30, '.') + "\r\n";
  expected += Bytes({29, 86, 65}) + "\r\n";  // the cutter configured above
  // What arrived until the line was quiet for 100 ms: the printout fits into the terminal's buffer.
  EXPECT_EQ(HexEncode(pty.Drain(100)), HexEncode(expected));
  // 60 lines without handshake: a pause after each of lines 51..59, on the fake clock.
  EXPECT_EQ(env.sleeps(), std::vector<int>(9, 50));
  // Two jobs of the event loop printing there at once: their pauses let the
  // other run, yet each printout comes out whole, one after the other.
  loop::EventLoop loop(env);
  printing::ChannelPrintEngine shared(
      loop, ui, ini, [&ini](const std::string& name) { return printing::GetPrinterCode(ini, name); },
      {.serialPort = [&loop] { return platform::MakeSerialPort(loop); }, .parallelPort = nullptr}, log,
      dir.path() + "/");
  for (int job = 0; job < 2; ++job) loop.Spawn([&] { EXPECT_TRUE(shared.MyPrint(lines, "COM3", true, false).ok()); });
  loop.RunUntilIdle();
  EXPECT_EQ(HexEncode(pty.Drain(100)), HexEncode(expected + expected));
  EXPECT_EQ(statuses, "Schubladenöffnung...|QR-Code-Druck...|Papiervorschub...|Papierschnitt...|Belegdruck beendet.|");

  // Asked for its paper sensor, the printer says: out (bit 5 and 6), then
  // there again; a printer that stays silent prints as before. Paper out
  // sends not a byte of the printout.
  Code("PAPIERSENSOR", "JA");
  Code("PRTINIT", "");
  for (const char status : {'\x60', '\x12', '\0'}) {
    std::thread printer([&pty, status] {
      std::string asked;
      while (asked.size() < 3) asked += pty.Drain(20);
      EXPECT_EQ(HexEncode(asked.substr(0, 3)), "100404");
      if (status != '\0') {
        EXPECT_EQ(::write(pty.master, &status, 1), 1);
      }
    });
    const Status printed = engine.MyPrint({"Suppe"}, "COM3", false, false);
    printer.join();
    EXPECT_EQ(printed.ok(), status != '\x60') << printed.message();
    const std::string rest = pty.Drain(100);
    EXPECT_EQ(rest.find("Suppe") != std::string::npos, status != '\x60') << HexEncode(rest);
    if (status == '\x60') {
      EXPECT_NE(printed.message().find("Papier leer"), std::string::npos);
    }
  }
#endif
}

// Customer and kitchen receipts on one database: the waiter, the articles and
// the printers of both.
class ReceiptsTest : public ::testing::Test {
 protected:
  ReceiptsTest() {
    db.state().kaNr = 7;
    db.state().kaName = "Anna";
    db.Exec("INSERT INTO kassi (kanr, name) VALUES (3, 'Anna')");
    db.Exec(
        "INSERT INTO artikel (artnr, artbez, mwst, ausserhaus) VALUES ('10', 'Weißbier 0,5', 1, 0), "
        "('20', 'Schnitzel', 2, 0), ('11', 'Apfelschorle', 1, -1), ('30', 'Brötchen', 1, 0)");
    db.Exec(
        "UPDATE system SET bonshowtitel = -1, bonshowzeit = -1, bonshowbed = -1, bonsumgross = 0, bontyp = 0, "
        "bonvor = 2, bondruckport = 'COM2', kuebonport1 = 'COM1', kuebonport2 = 'LPT1', kuebonport3 = 'COM3', "
        "kuebonport4 = 'COM4', kuebongross = 0, kuebonpreis = 0, kuebonartnr = 0, kuebongast = 0, "
        "kueartbez = 0, bonshowtischname = 0, kuebonkellner = 0, kuebonkunde = 0");
    db.Exec(
        "INSERT INTO kueprtparam (drucker, name, grupp, sort) VALUES (1, 'Drucker1', 0, 2), (2, 'Drucker2', 0, 2), "
        "(3, 'Drucker3', 0, 2), (4, 'Drucker4', 0, 2)");
  }
  std::string Composed(int bunr, const fiscal::ReceiptSignature* signature = nullptr) {
    printing::PrintLineBuffer out(services);
    EXPECT_TRUE(receipt.Compose(out, bunr, signature));
    return Joined(out.CurrentLines());
  }
  // Settled for real from order rows of (artnr, epreis), signed or not; the receipt number.
  int32_t Settle(std::vector<std::pair<std::string, int>> rows, bool withTse = false) {
    for (const auto& [artnr, preis] : rows) Order(12, artnr, "x", 1, preis);
    auto rs = db.tools().Open("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = 12");
    std::string zahlart = "BAR";
    const settlement::SettlementResult settled =
        settlement.emplace(db.tools(), log, withTse ? &tse : nullptr).TischAbrechnen(*rs, 12, 3, zahlart);
    unstored = settled.unstoredSignature;
    db.Exec("DELETE FROM bestellung");
    return settled.value_or(-1);
  }

  // One pending order line.
  void Order(int table, const std::string& artnr, const std::string& artbez, int menge, int epreis, int kueprt = 1,
             int artgrp = 1, int gang = 0, int gast = 0, const std::string& kueinfo = "",
             const std::string& belaginfo = "") {
    auto n = [](int v) { return std::to_string(v) + ", "; };
    db.Exec(
        "INSERT INTO bestellung (tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
        "rabatt, kueprt, haskuebon, mark, kueinfo, belaginfo, gang) VALUES (" +
        n(table) + "7, 0, 0, " + n(gast) + db::SqlText(artnr) + ", " + db::SqlText(artbez) + ", " + n(artgrp) +
        n(menge) + n(epreis) + n(epreis) + "0, " + n(kueprt) + "0, 0, " + db::SqlText(kueinfo) + ", " +
        db::SqlText(belaginfo) + ", " + std::to_string(gang) + ")");
  }

  void Run(int32_t trx = 100, int32_t start = 1765000000) {
    kb.PrintKueBon(fiscal::TseStart{trx, start}, 12, "7 - Anna");
  }

  // The article lines of a printout in normal size ("2x Cola"), separated by "|".
  static std::string Articles(const FakePrintEngine::Printout& p) {
    std::string out;
    for (const auto& l : p.lines)
      if (l.find("x ") != std::string::npos && (std::isdigit(static_cast<unsigned char>(l[0])) || l[0] == '-'))
        out += (out.empty() ? "" : "|") + l;
    return out;
  }

  TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  FakePrintEngine engine;
  const printing::PrintServices services{ini, db.ui(), engine};
  printing::CustomerReceipt receipt{db.tools(), services};
  ScriptedTseServer server;
  fiscal::Tse tse{db.tools(), server, fiscal::TseIdentity()};
  RecordingLog log;
  printing::KitchenReceipts kb{db.tools(), services, tse, log};
  std::optional<settlement::TableSettlement> settlement;
  std::optional<fiscal::ReceiptSignature> unstored;  // of the last settlement
};

// Two stored receipts, line by line: a wide one with two rates, head fonts and
// a failed TSE; a narrow signed take-away one with a discount and a second
// currency.
TEST_F(ReceiptsTest, WholeStoredReceiptsWideAndNarrow) {
  db.Exec(
      "INSERT INTO bontexte (kf, pos, txt, font) VALUES ('K', 1, 'xCafé Tolven', 1), ('K', 2, 'x.', 0), "
      "('K', 3, 'x<leer>', 0), ('K', 4, 'x', 0), ('F', 1, 'xVielen Dank!', 2)");
  db.Exec(
      "INSERT INTO kass (bunr, tisch, kanr, kdnr, zahlart, datumzeit) VALUES "
      "(123, 12, 3, 0, 'BAR', '2026-12-05 11:58:07'), (7, 0, 3, 0, 'VISA', '2026-12-05 11:58:07')");
  db.Exec(
      "INSERT INTO kasspro (bunr, pos, artnr, artbez, menge, preis, rabatt, mwstschl) VALUES "
      "(123, 1, '10', 'gespeichert', 2, 420, 0, 0), (123, 2, '20', 'gespeichert', 1, 1390, 0, 0), "
      "(7, 1, '11', 'gespeichert', 1, 330, 0, 0), (7, 2, '10', 'gespeichert', 1, 420, 20, 0)");
  EXPECT_EQ(Composed(123),
            "\x1b!0Café Tolven" + kOff +
                "| | | | |RECHNUNG| |05.12.2026  12:00| |Bon-Nr 123| |Tisch 12| |"
                "Es bediente Sie Anna| |Artikel                        Preis|" +
                std::string(38, '-') +
                "|Weißbier 0,5                    8.40 1| 2x 4.20|Schnitzel                      13.90 2|" +
                std::string(38, '-') +
                "|SUMME EUR                      22.30| |19.0% MwSt  1.34   Netto   7.06|"
                " 7.0% MwSt  0.91   Netto  12.99|Summe MwSt  2.25   Netto  20.05| |BAR-Zahlung| |" +
                kDH + "TSE ausgefallen" + kOff +
                "|Sicherheitseinrichtung ausgefallen|05.12.2026 11:58:07| |Vielen Dank!| | ");

  db.Exec("DELETE FROM bontexte");
  db.Exec(
      "UPDATE system SET bontyp = 6, bonshowtitel = 0, bonshowzeit = 0, bonshowbed = 0, bonvor = 0, "
      "bonsumgross = -1, bonshowrabatt = -1, bonshowartnr = -1, fremdwaeh = 'CHF', waehkurs = 0.9");
  const std::string qr = "V0;KASSE-1;Kassenbeleg-V1;Beleg^0.00_7.50_0.00_0.00_0.00^7.50:Unbar;4711;88";
  db.Exec(
      "UPDATE kass SET tse_trx = 4711, tse_start = 1764936000, tse_stop = 1764936002, tse_sernr = "
      "'0123456789ABCDEF0123456789ABCDEF', tse_sigcount = 88, tse_signatur = '" +
      std::string(40, 'S') + "', tse_qr = '" + qr + "' WHERE bunr = 7");
  // The QR code command with its module size and the data's length bytes.
  const int n = static_cast<int>(qr.size()) + 3;
  const std::string qrCommand = Bytes({29, 40, 107, 4, 0, 49, 65, 50, 0,  29, 40,  107,     3,       0,  49, 67, 3,
                                       29, 40, 107, 3, 0, 49, 69, 49, 29, 40, 107, n % 256, n / 256, 49, 80, 48}) +
                                qr + Bytes({29, 40, 107, 3, 0, 49, 81, 48});
  // The take-away article counts at the second rate.
  EXPECT_EQ(Composed(7), " |05.12.2026| |Bon-Nr 7| |Ausser-Haus-Verkauf| | |Artikel               Preis|" +
                             std::string(29, '-') +
                             "|11-Apfelschorle        3.30 2|10-Weißbier 0,5        4.20 1|"
                             " Rabatt 0.20|" +
                             std::string(29, '-') + "|" + kDH + "SUMME EUR              7.50" + kOff +
                             "| |(entspricht CHF 8.33)| |19.0% MwSt  0.67 Netto   3.53|"
                             " 7.0% MwSt  0.22 Netto   3.08|Summe MwSt  0.89 Netto   6.61| |Zahlung mit VISA-Karte| |"
                             "TSE-Transaktion: 4711|TSE-Start:|2025-12-05T12:00:00.000Z|TSE-Stop:|"
                             "2025-12-05T12:00:02.000Z|TSE-Seriennummer:|0123456789ABCDEF0123456789ABC|DEF|"
                             "TSE-Signaturzähler: 88|TSE-Signatur:|" +
                             std::string(29, 'S') + "|" + std::string(11, 'S') + "| |" + qrCommand + "| ");
}

// Settled for real: the printed VAT is the stored VAT where line by line would
// differ; a signature that could not be stored.
TEST_F(ReceiptsTest, SettledReceiptsVatFromStoredSumsAndAnUnstoredSignature) {
  // Three times 0.10 at 19 %: on the sum 0.05, line by line 3 x 0.02 = 0.06;
  // each line of the table form agrees with its stored sums.
  const int32_t second = Settle({{"30", 10}, {"30", 10}, {"30", 10}, {"20", 10}, {"20", 10}, {"20", 10}});
  EXPECT_NE(Composed(second).find("|19.0% MwSt  0.05   Netto   0.25| 7.0% MwSt  0.02   Netto   0.28|"
                                  "Summe MwSt  0.07   Netto   0.53|"),
            std::string::npos);

  // A signature that could not be stored is printed, not a failed TSE.
  db.state().tseInUse = true;
  db.Exec("CREATE TRIGGER tse_locked BEFORE UPDATE OF tse_signatur ON kass BEGIN SELECT RAISE(ABORT, 'gesperrt'); END");
  const int32_t bunr = Settle({{"30", 100}}, true);
  EXPECT_TRUE(log.Has("TSE-Signatur erfolgreich, aber nicht gespeichert"));
  const fiscal::ReceiptSignature* signature = unstored && unstored->bunr == bunr ? &*unstored : nullptr;
  ASSERT_NE(signature, nullptr);
  // A signed block with label and value on one line on a wide receipt; a single rate in the short form.
  const std::string text = Composed(bunr, signature);
  EXPECT_EQ(text.substr(text.find("|SUMME EUR")),
            "|SUMME EUR                       1.00| |MwSt 19.0%:  EUR    0.16|Nettobetrag: EUR    0.84| |BAR-Zahlung| |"
            "TSE-Transaktion: 100|TSE-Start: 2025-12-06T05:46:40.000Z|TSE-Stop: 2025-12-06T05:46:41.000Z|"
            "TSE-Seriennummer: SERIAL-1|TSE-Signaturzähler: 500|TSE-Signatur:|SIG500| |" +
                printing::EscPosQrCode(signature->qr, 4) + "| | | ");
}

TEST_F(ReceiptsTest, WholeKitchenReceiptsInNormalAndDoubleSizeAndTheSignedOrderRow) {
  db.Exec(
      "UPDATE system SET kuebonartnr = 1, kuebonpreis = 1, kuebongast = 1, kuebonkellner = 1, "
      "kuebonkunde = 1, bonshowtischname = -1, bonvor = 2");
  db.Exec("INSERT INTO tischnamen (tisch, name) VALUES (12, 'Fenster')");
  db.Exec("INSERT INTO kunden (kdnr, name) VALUES (5, 'Meier')");
  db.Exec("UPDATE kueprtparam SET name = 'Kueche', kuesummer = -1, bonvorlauf = -1 WHERE drucker = 1");
  Order(12, "A1", "Schnitzel Wiener Art mit Pommes frites", 2, 1250, 1, 1, 0, 1, "ohne Salz", "Zwiebeln, Speck, ");
  Order(12, "A2", "Cola", 1, 350, 1, 1, 0, 2);
  db.Exec("UPDATE bestellung SET kdnr = 5");
  Run();
  const auto& p = engine.printouts.at(0);
  EXPECT_TRUE(p.channel == "COM1" && p.cutAtEnd && !p.slowPrinter);
  EXPECT_EQ(Joined(p.lines),
            ".|.|.|.|.|Kueche|Nr.1/1| |Tisch  12 Fenster|----------------------|05.12.26  12:00| |Kellner: 7 - Anna| |"
            "Kunde  : Meier| |2x Schnitzel Wiener Art mit Pom|    mes frites|>>> ohne Salz <<<|  >Zwiebeln|  >Speck|"
            " Gast 1|      ( A1 / 2x 12.50 )|1x Cola| Gast 2|      ( A2 / 3.50 )| | |" +
                kBuzzer);

  // The next order of the table; its lines printed before do not come again.
  const std::string DH = "\x1B!\x10", AUS = std::string("\x1B!", 2) + '\0', DHB = "\x1B!0", DB = "\x1B! ";
  db.Exec(
      "UPDATE system SET kuebongross = -1, kuebonartnr = 2, kuebonpreis = 2, kuebongast = 2, "
      "kuebonkellner = 2, kuebonkunde = 2, bonvor = 0, bonshowtischname = 0");
  db.Exec("UPDATE kueprtparam SET name = 'Drucker1', kuesummer = 0, bonvorlauf = 0 WHERE drucker = 1");
  Order(12, "A1", "Schnitzel Wiener Art mit Pommes frites", 1, 1250, 1, 1, 2, 3, "durch", "Pilze");
  db.Exec("UPDATE bestellung SET kdnr = 5");
  Run(101);
  EXPECT_EQ(Joined(engine.printouts.at(1).lines),
            DH + "Drucker1" + AUS + "|Nr.2/2| |" + DH + "Tisch " + AUS + DHB + " 12" + AUS + " |" +
                "----------------------|05.12.26  " + DB + "12:00" + AUS + "| |" + DH + "Kellner: 7 - Anna" + AUS +
                "| |" + DH + "Kunde  : Meier" + AUS + "| | |" + DB + " --- 2. Gang ---" + AUS + "| |" + DHB + "1" +
                AUS + DH + "x " + AUS + DHB + "Schnitzel Wiener" + AUS + "|" + DHB + "    Art mit Pommes fr" + AUS +
                "|" + DHB + "    ites" + AUS + "|" + DH + ">>> durch <<<" + AUS + "|" + DHB + "  >Pilze" + AUS + "|" +
                DH + " Gast 3" + AUS + "|      ( " + DH + "A1" + AUS + " / " + DH + "12.50" + AUS + " )");

  // The order's signed row: its text made safe for the TSE.
  db.state().kaName = "Anna-Lena Müller-Lüdenscheidt von Hohenstein";  // longer than the column
  Order(12, "A1", "Bräu \"Spezial\"; 0,5l", 2, 390, 1);
  Order(12, "A2", "Käse/Brot & Öl ´’\r\n", -1, 1250, 0);
  Run(4711);
  // The name cut to 30 characters; the row names the kitchen receipt's log entry.
  EXPECT_EQ(db.Scalar("SELECT datumzeit || '|' || kanr || '|' || TRIM(kaname) || '|' || kasse || '|' || betrag || "
                      "'|' || tse_trx || '|' || tse_sigcount || '|' || tse_start || '|' || tse_stop || '|' || "
                      "tse_sernr || '|' || tse_processtype || '|' || tse_signatur || '|' || tse_processdata || '|' || "
                      "(seqnr = (SELECT MAX(seqnr) FROM kuebonlog)) FROM tse_bestellungen WHERE tse_trx = 4711"),
            "2026-12-05 12:00:00|7|Anna-Lena Müller-Lüdenscheidt|1|-470|4711|502|1765000000|1765000001|SERIAL-1|"
            "Bestellung-V1|SIG502|-1;\"KaeseBrot  Oel <CRLF>\";12.50\r2;\"Braeu Spezial, 0,5l\";3.90|1");
  // Nothing for the kitchen (a tip): the order's transaction, a new TSE's very first, is finished all the same.
  Order(12, "$GVFA", "Trinkgeld", 1, 100, 0);
  Run(1);
  EXPECT_EQ(db.Scalar("SELECT tse_trx FROM tse_bestellungen WHERE tse_processdata LIKE '%Trinkgeld%'"), "1");
}

// One order for every kind of printer: station and room channels, split and
// copies, the kitchen text with its recipe, a monitor, the dispenser, a printer
// without settings, one that is only logged, and one that is out: its line
// stays for the next order, nothing is printed twice.
TEST_F(ReceiptsTest, OneOrderForEveryKindOfPrinterAndAPrinterThatIsOut) {
  db.Exec("UPDATE system SET bonvor = 1, kueartbez = -1");
  db.Exec(
      "INSERT INTO systemhw (filnr, kasse, kuebonport1, kuebonprt1, kuebonport2, kuebonport3, comschankanl) "
      "VALUES (1, 1, 'NETZ', 'Kueche HW', 'LPT1', 'COM7', 1), (1, 2, 'COM9', '', '', '', 0)");
  db.Exec("INSERT INTO rauminfo (starttisch, tischzahl, kuebonport) VALUES (1, 10, 'COM5'), (10, 10, 'LPT2')");
  db.Exec(
      "INSERT INTO artikel (artnr, artbez, kueartbez, printrezept, schankanlcode) VALUES "
      "('C1', 'Caipi', 'Caipirinha gross', -1, ''), ('P1', 'Pils', '', 0, 'B07'), ('W1', 'Wein', '', 0, 'W3')");
  db.Exec("INSERT INTO zutaten (zutnr, zutbez, einheit) VALUES (1, 'Limette', 'Stk'), (2, 'Cachaca', 'l')");
  db.Exec("INSERT INTO artzut (artnr, zutnr, menge) VALUES ('C1', 2, 0.0125), ('C1', 1, 0.5)");
  // A receipt per article group; the room printer ignores grouping, sort and split.
  db.Exec(
      "UPDATE kueprtparam SET name = 'Kueche', grupp = 1, sort = 1, split = -1, kuesummer = -1, kopien = 1 "
      "WHERE drucker = 1");
  db.Exec("UPDATE kueprtparam SET drucker = 5, name = 'Saal', grupp = 2, sort = 3, split = -1 WHERE drucker = 3");
  Order(12, "P1", "Pils", 2, 400, 1);
  Order(12, "A2", "Wasser", -1, 200, 1);
  Order(12, "C1", "Caipi", 1, 850, 1, 2);
  Order(12, "W1", "Wein", 1, 500, 2);
  Order(12, "T1", "Tee", 1, 250, 3);
  Order(12, "B2", "Salat", 2, 700, 5, 2);
  Order(12, "B1", "Suppe", 1, 500, 5, 1);
  Order(12, "M1", "Steak", 2, 2400, 6, 1, 2, 0, "Kunde's Wunsch: medium", "Pfeffer");
  Order(12, "G1", "Gedeck", 1, 100, 0);
  engine.FailChannel("LPT1", 1);
  Run();
  EXPECT_TRUE(db.ui().HasMessage("Keine Einstellungen für Drucker 3 gefunden."));  // and still printed
  std::string channels;
  for (const auto& p : engine.printouts) channels += p.channel + (p.failed ? "(failed) " : " ");
  EXPECT_EQ(channels, "NETZKueche HW NETZKueche HW NETZKueche HW NETZKueche HW LPT1(failed) COM7 LPT2 ");
  EXPECT_EQ(engine.printouts[0].lines, engine.printouts[1].lines);
  // The second article group's receipt, with the recipe.
  EXPECT_EQ(
      Joined(engine.printouts[2].lines),
      "Kueche|Nr.3/1| |Tisch  12 |----------------------|05.12.26  12:00| |1x Caipirinha gross| |    Zubereitung:|"
      "    Limette              0.5 Stk|    Cachaca              13 ml| |" +
          kBuzzer);
  EXPECT_EQ(Articles(engine.printouts[0]) + "#" + Articles(engine.printouts[6]),
            "-1x Wasser|1x Pils|1x Pils#1x Suppe|2x Salat");
  EXPECT_EQ(db.env().sleeps(), std::vector<int>(5, 50)) << "one pause after each receipt and its copy";
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(artnr || '=' || haskuebon) FROM (SELECT * FROM bestellung ORDER BY artnr)"),
            "A2=-1,B1=-1,B2=-1,C1=-1,G1=-1,M1=-1,P1=-1,T1=-1,W1=0");
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(artnr || ':' || artbez || ':' || menge, ' ') FROM "
                      "(SELECT * FROM kuebonlog ORDER BY artnr, menge)"),
            "A2:Wasser:-1 B1:Suppe:1 B2:Salat:2 C1:Caipirinha gross:1 G1:Gedeck:1 M1:Steak:2 P1:Pils:1 P1:Pils:1 "
            "T1:Tee:1");
  EXPECT_EQ(db.Scalar("SELECT monitornr || '/' || status || '/' || tisch || '/' || gang || '/' || menge || '/' || "
                      "insdate || '/' || txt FROM kuemon"),
            "1/0/12/2/2/2026-12-05 12:00:00/Steak\r\nKunde's Wunsch: medium\r\nPfeffer");
  EXPECT_EQ(Joined(log.Errors()),
            "FEHLER: K\374chenbon Drucker 2, Tisch 12 nicht ausgegeben (Ausdruck auf >LPT1< fehlgeschlagen: Fehler bei "
            "Druck auf LPT1). Die Positionen bleiben offen und werden gedruckt, sobald der Drucker wieder bereit ist.");
  // What did not go out is not poured now, but signed with its order (and never again).
  EXPECT_EQ(server.finishes.at(0).data,
            "1;\"Gedeck\";1.00\r-1;\"Wasser\";2.00\r1;\"Pils\";4.00\r1;\"Pils\";4.00\r1;\"Caipirinha gross\";8.50\r"
            "1;\"Wein\";5.00\r1;\"Tee\";2.50\r1;\"Suppe\";5.00\r2;\"Salat\";7.00\r2;\"Steak\";24.00");
  auto dispenserFiles = [&] {
    std::set<std::string> files;  // number part of the name : contents
    for (const auto& n : db.env().ListFiles(db.folder()))
      if (StartsWith(n, "SCHANK")) files.insert(n.substr(6, 7) + ":" + ReadAll(db.folder() + "/" + n));
    return Joined({files.begin(), files.end()});
  };
  EXPECT_EQ(dispenserFiles(), "4320010:01001B07\r\n|4320011:01001B07\r\n");  // split, and the name moves on

  // The next order of the table brings the kept line out once, nothing twice; a
  // line booked meanwhile by another station waits for its own printout.
  engine.printouts.clear();
  Order(12, "A3", "Cola", 1, 300, 1);
  engine.onPrint = [&](const std::string&) {
    if (db.Count("bestellung", "artnr = 'A4'") == 0) Order(12, "A4", "Bier", 1, 600, 1);
  };
  Run(101);
  EXPECT_EQ(Articles(engine.Delivered("NETZKueche HW").at(0)) + "|" + Articles(engine.Delivered("LPT1").at(0)),
            "1x Cola|1x Wein");
  EXPECT_EQ(db.Count("kuebonlog", "artnr = 'W1'"), 1);
  EXPECT_EQ(server.finishes.at(1).data, "1;\"Cola\";3.00");
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(artnr) FROM bestellung WHERE haskuebon = 0"), "A4");
  EXPECT_EQ(dispenserFiles(), "4320010:01001B07\r\n|4320011:01001B07\r\n|4320035:01001W3\r\n");
}

}  // namespace
}  // namespace tolven::testing
