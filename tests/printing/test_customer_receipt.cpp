// Whole customer receipts, composed from stored receipt records, line by line.
#include <gtest/gtest.h>

#include "common/text.h"
#include "print_engine_fixture.h"
#include "printing/customer_receipt.h"
#include "printing/escpos_qr.h"
#include "settlement/table_settlement.h"
#include "settlement/settlement_fixture.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

const std::string kWideDash(38, '-');
const std::string kNarrowDash(29, '-');

class CustomerReceiptTest : public ::testing::Test {
 protected:
  CustomerReceiptTest() : ini(db.env(), db.folder()), printLines(ini, db.ui(), engine), receipt(db.tools(), printLines) {
    db.Exec("INSERT INTO kassi (kanr, name) VALUES (3, 'Anna')");
    db.Exec("INSERT INTO artikel (artnr, artbez, mwst, ausserhaus) VALUES ('10', 'Weißbier 0,5', 1, 0), "
            "('20', 'Schnitzel', 2, 0), ('11', 'Apfelschorle', 1, -1)");
    db.Exec("UPDATE system SET bonshowtitel = -1, bonshowzeit = -1, bonshowbed = -1, bonsumgross = 0, bontyp = 0, "
            "bonvor = 2, bondruckport = 'COM2'");
    db.Exec("INSERT INTO bontexte (kf, pos, txt, font) VALUES ('K', 1, 'xCafé Tolven', 1), ('K', 2, 'x.', 0), "
            "('K', 3, 'x<leer>', 0), ('K', 4, 'x', 0), ('F', 1, 'xVielen Dank!', 2)");
  }
  void Receipt(int bunr, int table, const std::string& zahlart,
               const std::vector<std::tuple<std::string, int, int, int>>& lines) {
    const std::string nr = std::to_string(bunr) + ", ";
    db.Exec("INSERT INTO kass (bunr, tisch, kanr, kdnr, zahlart, datumzeit) VALUES (" + nr + std::to_string(table) +
            ", 3, 0, '" + zahlart + "', '2026-12-05 11:58:07')");
    int pos = 0;
    for (const auto& [artnr, menge, preis, rabatt] : lines)
      db.Exec("INSERT INTO kasspro (bunr, pos, artnr, artbez, menge, preis, rabatt, mwstschl) VALUES (" + nr +
              std::to_string(++pos) + ", '" + artnr + "', 'gespeichert', " + std::to_string(menge) + ", " +
              std::to_string(preis) + ", " + std::to_string(rabatt) + ", 0)");
  }
  std::vector<std::string> Composed(int bunr, const fiscal::ReceiptSignature* signature = nullptr) {
    EXPECT_TRUE(receipt.Compose(bunr, signature));
    return printLines.CurrentLines();
  }
  static std::string Line(const std::string& text, const std::string& amount, const std::string& mark, int width) {
    return PadRight(text, width) + PadLeft(amount, 9) + " " + mark;
  }

  TestDb db;
  platform::IniFile ini;
  FakePrintEngine engine;
  printing::PrintLineBuffer printLines;
  printing::CustomerReceipt receipt;
};

TEST_F(CustomerReceiptTest, WideReceiptWithTwoRatesAndHeadFonts) {
  Receipt(123, 12, "BAR", {{"10", 2, 420, 0}, {"20", 1, 1390, 0}});
  const std::vector<std::string> expected = {
      "\x1b!0Café Tolven\x1b!" + std::string(1, '\0'), " ", " ", " ", " ", "RECHNUNG", " ", "05.12.2026  12:00", " ",
      "Bon-Nr 123", " ", "Tisch 12", " ", "Es bediente Sie Anna", " ", "Artikel                        Preis",
      kWideDash, Line("Weißbier 0,5", "8.40", "1", 27), " 2x 4.20", Line("Schnitzel", "13.90", "2", 27), kWideDash,
      PadRight("SUMME EUR", 27) + PadLeft("22.30", 9), " ", "19.0% MwSt  1.34   Netto   7.06",
      " 7.0% MwSt  0.91   Netto  12.99", "Summe MwSt  2.25   Netto  20.05", " ", "BAR-Zahlung", " ",
      "\x1b!\x10TSE ausgefallen\x1b!" + std::string(1, '\0'), "Sicherheitseinrichtung ausgefallen",
      "05.12.2026 11:58:07", " ", "Vielen Dank!", " ", " "};
  EXPECT_EQ(Composed(123), expected);
}

TEST_F(CustomerReceiptTest, NarrowTakeAwayReceiptCountsTheTakeAwayArticleAtRateTwo) {
  db.Exec("UPDATE system SET bontyp = 6, bonshowtitel = 0, bonshowzeit = 0, bonshowbed = 0, bonvor = 0, "
          "bonsumgross = -1, bonshowrabatt = -1, bonshowartnr = -1, fremdwaeh = 'CHF', waehkurs = 0.9");
  db.Exec("DELETE FROM bontexte");
  Receipt(7, 0, "VISA", {{"11", 1, 330, 0}, {"10", 1, 420, 20}});
  const std::string signature(40, 'S');
  db.Exec("UPDATE kass SET tse_trx = 4711, tse_start = 1764936000, tse_stop = 1764936002, tse_sernr = "
          "'0123456789ABCDEF0123456789ABCDEF', tse_sigcount = 88, tse_signatur = '" + signature +
          "', tse_qr = 'V0;KASSE-1;Kassenbeleg-V1;Beleg^0.00_7.50_0.00_0.00_0.00^7.50:Unbar;4711;88' WHERE bunr = 7");
  const std::vector<std::string> expected = {
      " ", "05.12.2026", " ", "Bon-Nr 7", " ", "Ausser-Haus-Verkauf", " ", " ", "Artikel               Preis",
      kNarrowDash, Line("11-Apfelschorle", "3.30", "2", 18), Line("10-Weißbier 0,5", "4.20", "1", 18),
      " Rabatt 0.20", kNarrowDash,
      "\x1b!\x10" + PadRight("SUMME EUR", 18) + PadLeft("7.50", 9) + "\x1b!" + std::string(1, '\0'), " ",
      "(entspricht CHF 8.33)", " ", "19.0% MwSt  0.67 Netto   3.53", " 7.0% MwSt  0.22 Netto   3.08",
      "Summe MwSt  0.89 Netto   6.61", " ", "Zahlung mit VISA-Karte", " ", "TSE-Transaktion: 4711", "TSE-Start:",
      "2025-12-05T12:00:00.000Z", "TSE-Stop:", "2025-12-05T12:00:02.000Z", "TSE-Seriennummer:",
      "0123456789ABCDEF0123456789ABC", "DEF", "TSE-Signaturzähler: 88", "TSE-Signatur:", std::string(29, 'S'),
      std::string(11, 'S'), " ",
      printing::EscPosQrCode("V0;KASSE-1;Kassenbeleg-V1;Beleg^0.00_7.50_0.00_0.00_0.00^7.50:Unbar;4711;88", 3), " "};
  EXPECT_EQ(Composed(7), expected);
}

TEST_F(CustomerReceiptTest, SingleRateSummaryRoomAndCustomerAddress) {
  db.Exec("DELETE FROM bontexte");
  db.Exec("UPDATE system SET bonshowtitel = 0, bonshowbed = 0, bonvor = 0");
  db.Exec("INSERT INTO kunden (kdnr, vname, name, strasse, plz, ort) VALUES (9, 'Erika', 'Muster', 'Hauptstr. 1', "
          "'12345', 'Berlin')");
  Receipt(8, -104, "KDKTO", {{"10", 1, 420, 0}});
  db.Exec("UPDATE kass SET kdnr = 9 WHERE bunr = 8");
  auto lines = Composed(8);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
            (std::vector<std::string>{" ", "Erika Muster", "Hauptstr. 1", "12345 Berlin", " "}));
  for (const char* line :
       {"Zimmer 104", "MwSt 19.0%:  EUR    0.67", "Nettobetrag: EUR    3.53", "Zahlung per Kundenkonto"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

TEST_F(CustomerReceiptTest, ArchivedWithoutCutThenPrintedOnTheTerminalOrReceiptPrinter) {
  Receipt(123, 12, "BAR", {{"10", 1, 420, 0}});
  ASSERT_TRUE(receipt.Print(123, "Kasse"));
  ASSERT_EQ(engine.printouts.size(), 2u);
  EXPECT_EQ(engine.printouts[0].channel + " " + std::to_string(engine.printouts[0].cutAtEnd) + " " +
                engine.printouts[1].channel + " " + std::to_string(engine.printouts[1].cutAtEnd),
            "FILE:" + db.state().archivBonPfad + "BON123.BON 0 NETZKasse 1");
  EXPECT_EQ(engine.printouts[0].lines, engine.printouts[1].lines);

  EXPECT_TRUE(receipt.Print(123, ""));
  EXPECT_EQ(engine.printouts.back().channel, "COM2");
  db.Exec("INSERT INTO systemhw (filnr, kasse, bondruckport) VALUES (1, 1, 'LPT1')");
  EXPECT_TRUE(receipt.Print(123, ""));
  EXPECT_EQ(engine.printouts.back().channel, "LPT1");
  engine.FailChannel("LPT1");
  EXPECT_FALSE(receipt.Print(123, ""));
  EXPECT_FALSE(receipt.Print(999, ""));
}

TEST_F(CustomerReceiptTest, SignedWideReceiptKeepsLabelAndValueOnOneLine) {
  Receipt(9, 12, "BAR", {{"10", 1, 420, 0}});
  db.Exec("UPDATE kass SET tse_trx = 12, tse_start = 0, tse_stop = 86400, tse_sernr = 'SER', tse_sigcount = 3, "
          "tse_signatur = 'abc', tse_qr = 'V0;X' WHERE bunr = 9");
  auto lines = Composed(9);
  auto pay = std::find(lines.begin(), lines.end(), "BAR-Zahlung");
  ASSERT_NE(pay, lines.end());
  const std::vector<std::string> block = {
      " ", "TSE-Transaktion: 12", "TSE-Start: 1970-01-01T00:00:00.000Z", "TSE-Stop: 1970-01-02T00:00:00.000Z",
      "TSE-Seriennummer: SER", "TSE-Signaturzähler: 3", "TSE-Signatur:", "abc", " ", printing::EscPosQrCode("V0;X", 4),
      " ", "Vielen Dank!"};
  EXPECT_EQ(std::vector<std::string>(pay + 1, pay + 1 + static_cast<long>(block.size())), block);
}

// Settled for real, then printed: the receipt shows what the record holds.
class SettledReceiptTest : public CustomerReceiptTest {
 protected:
  SettledReceiptTest() {
    db.Exec("DELETE FROM bontexte");
    db.Exec("INSERT INTO artikel (artnr, artbez, mwst, ausserhaus) VALUES ('30', 'Brötchen', 1, 0)");
  }
  int32_t Settle(std::vector<std::pair<std::string, int>> rows, fiscal::Tse* tse = nullptr) {
    for (const auto& [artnr, preis] : rows) {
      db.Exec("INSERT INTO bestellung (tisch, kanr, gast, artnr, artbez, menge, epreis) VALUES (12, 3, 1, '" + artnr +
              "', 'x', 1, " + std::to_string(preis) + ")");
    }
    db::DbError err;
    auto rs = db.conn().Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = 12", err);
    EXPECT_TRUE(rs) << err.text;
    std::string zahlart = "BAR";
    const int32_t bunr =
        rs ? settlement.emplace(db.tools(), log, tse).TischAbrechnen(*rs, 12, 3, zahlart).value_or(-1) : -1;
    db.Exec("DELETE FROM bestellung");
    return bunr;
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  settlement::fixture::RecordingLog log;
  std::optional<settlement::TableSettlement> settlement;
};

TEST_F(SettledReceiptTest, PrintedVatIsTheStoredVatWhereLineByLineWouldDiffer) {
  // Three times 0.10 at 19 %: on the sum 0.05, line by line 3 x 0.02 = 0.06.
  const int32_t bunr = Settle({{"30", 10}, {"30", 10}, {"30", 10}});
  ASSERT_GT(bunr, 0);
  ASSERT_EQ(db.Scalar("SELECT mwst1 FROM kass WHERE bunr = " + std::to_string(bunr)), "5");
  auto lines = Composed(bunr);
  EXPECT_TRUE(Has(lines, "MwSt 19.0%:  EUR    0.05")) << "printed VAT differs from the record";
  EXPECT_TRUE(Has(lines, "Nettobetrag: EUR    0.25"));

  // Two keys: each line of the table form agrees with its stored sums.
  const int32_t second = Settle({{"30", 10}, {"30", 10}, {"30", 10}, {"20", 10}, {"20", 10}, {"20", 10}});
  ASSERT_GT(second, 0);
  ASSERT_EQ(db.Scalar("SELECT mwst1 || '/' || mwst2 FROM kass WHERE bunr = " + std::to_string(second)), "5/2");
  lines = Composed(second);
  EXPECT_TRUE(Has(lines, "19.0% MwSt  0.05   Netto   0.25"));
  EXPECT_TRUE(Has(lines, " 7.0% MwSt  0.02   Netto   0.28"));
  EXPECT_TRUE(Has(lines, "Summe MwSt  0.07   Netto   0.53"));
}

TEST_F(SettledReceiptTest, ASignatureThatCouldNotBeStoredIsPrintedNotAFailedTse) {
  ScriptedTseServer adapter;
  db.state().tseInUse = true;
  fiscal::Tse tse(db.tools(), adapter, fiscal::TseIdentity{"KASSE-1", "ecdsa-plain-SHA384", "BPUBKEY"});
  db.Exec("CREATE TRIGGER tse_locked BEFORE UPDATE OF tse_signatur ON kass BEGIN SELECT RAISE(ABORT, 'gesperrt'); END");
  const int32_t bunr = Settle({{"30", 100}}, &tse);
  ASSERT_GT(bunr, 0);
  ASSERT_EQ(db.Scalar("SELECT tse_signatur FROM kass WHERE bunr = " + std::to_string(bunr)), "");
  EXPECT_TRUE(log.Has("TSE-Signatur erfolgreich, aber nicht gespeichert"));

  const fiscal::ReceiptSignature* signature = settlement->UnstoredSignature(bunr);
  ASSERT_NE(signature, nullptr);
  EXPECT_EQ(settlement->UnstoredSignature(bunr + 1), nullptr);
  auto lines = Composed(bunr, signature);
  EXPECT_FALSE(Has(lines, "Sicherheitseinrichtung ausgefallen"));
  EXPECT_TRUE(Has(lines, "TSE-Transaktion: 100"));
  EXPECT_TRUE(Has(lines, "TSE-Signaturzähler: 500"));
  EXPECT_TRUE(Has(lines, "SIG500"));
  EXPECT_TRUE(Has(lines, printing::EscPosQrCode(signature->qr, 4)));

  // The next settlement starts without it.
  db.Exec("DROP TRIGGER tse_locked");
  const int32_t next = Settle({{"30", 100}}, &tse);
  ASSERT_GT(next, 0);
  EXPECT_EQ(settlement->UnstoredSignature(bunr), nullptr);
}

TEST_F(CustomerReceiptTest, NarrowFailedTseTextIsWrappedAndTheSecondCurrencyKeepsItsDecimals) {
  db.Exec("UPDATE system SET bontyp = 6, fremdwaeh = 'DEM', waehkurs = 1.95583");
  db.state().tseInUse = true;
  Receipt(5, 12, "BAR", {{"10", 1, 2230, 0}});
  auto lines = Composed(5);
  auto failed = std::find(lines.begin(), lines.end(), "\x1b!\x10TSE ausgefallen\x1b!" + std::string(1, '\0'));
  ASSERT_NE(failed, lines.end());
  EXPECT_EQ(std::vector<std::string>(failed + 1, failed + 4),
            (std::vector<std::string>{"Sicherheitseinrichtung", "ausgefallen", "05.12.2026 11:58:07"}));
  for (const std::string& line : lines) {
    if (line.find('\x1d') == std::string::npos) {
      EXPECT_LE(line.size(), 29u) << line;
    }
  }
  // 22.30 / 1.95583 = 11.4018...
  EXPECT_NE(std::find(lines.begin(), lines.end(), "(entspricht DEM 11.40)"), lines.end());

  // Halves go to the even cent: 0.03 / 2 = 0.015 -> 0.02, 0.05 / 2 = 0.025 -> 0.02.
  db.Exec("UPDATE system SET waehkurs = 2");
  for (const auto& [preis, text] : {std::pair{3, "(entspricht DEM 0.02)"}, std::pair{5, "(entspricht DEM 0.02)"}}) {
    db.Exec("UPDATE kasspro SET preis = " + std::to_string(preis) + " WHERE bunr = 5");
    lines = Composed(5);
    EXPECT_NE(std::find(lines.begin(), lines.end(), text), lines.end()) << preis;
  }
}

TEST(EscPosQr, CommandSequenceWithLengthBytesAndTheWayBack) {
  const std::string data = "V0;TOLVENPDA-1;Kassenbeleg-V1;Beleg^0.00_7.50_0.00_0.00_0.00^7.50:Bar;4711;88;"
                           "2026-12-05T12:00:00.000Z;2026-12-05T12:00:02.000Z;ecdsa-plain-SHA384;unixTime;" +
                           std::string(96, 'Q') + ";";
  ASSERT_GT(data.size(), 200u);
  const std::string cmd = printing::EscPosQrCode(data, 4);
  const size_t n = data.size() + 3;
  EXPECT_EQ(cmd, Bytes({29, 40, 107, 4, 0, 49, 65, 50, 0, 29, 40, 107, 3, 0, 49, 67, 4, 29, 40, 107, 3, 0, 49, 69, 49,
                        29, 40, 107, int(n % 256), int(n / 256), 49, 80, 48}) +
                     data + Bytes({29, 40, 107, 3, 0, 49, 81, 48}));
  std::string back;
  ASSERT_TRUE(printing::QrCodeData(cmd, back));
  EXPECT_EQ(back, data);
  EXPECT_FALSE(printing::QrCodeData(cmd.substr(0, 30), back)) << "a cut command is not read past its end";
}

}  // namespace
}  // namespace tolven::testing
