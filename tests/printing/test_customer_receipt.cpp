// Whole customer receipts, composed from stored receipt records, line by line.
#include <gtest/gtest.h>

#include "common/text.h"
#include "print_engine_fixture.h"
#include "printing/customer_receipt.h"
#include "printing/escpos_qr.h"
#include "settlement/settlement_fixture.h"
#include "settlement/table_settlement.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

const std::string kDH = "\x1b!\x10", kOff = std::string("\x1b!", 2) + '\0';

class CustomerReceiptTest : public ::testing::Test {
 protected:
  CustomerReceiptTest() {
    db.Exec("INSERT INTO kassi (kanr, name) VALUES (3, 'Anna')");
    db.Exec(
        "INSERT INTO artikel (artnr, artbez, mwst, ausserhaus) VALUES ('10', 'Weißbier 0,5', 1, 0), "
        "('20', 'Schnitzel', 2, 0), ('11', 'Apfelschorle', 1, -1), ('30', 'Brötchen', 1, 0)");
    db.Exec(
        "UPDATE system SET bonshowtitel = -1, bonshowzeit = -1, bonshowbed = -1, bonsumgross = 0, bontyp = 0, "
        "bonvor = 2, bondruckport = 'COM2'");
  }
  // A stored receipt with lines of (artnr, menge, preis, rabatt).
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
  std::string Composed(int bunr, const fiscal::ReceiptSignature* signature = nullptr) {
    EXPECT_TRUE(receipt.Compose(bunr, signature));
    return Joined(printLines.CurrentLines());
  }
  // Settled for real from order rows of (artnr, epreis); the receipt number.
  int32_t Settle(std::vector<std::pair<std::string, int>> rows, fiscal::Tse* tse = nullptr) {
    for (const auto& [artnr, preis] : rows)
      db.Exec("INSERT INTO bestellung (tisch, kanr, gast, artnr, artbez, menge, epreis) VALUES (12, 3, 1, '" + artnr +
              "', 'x', 1, " + std::to_string(preis) + ")");
    db::DbError err;
    auto rs = db.conn().Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = 12", err);
    std::string zahlart = "BAR";
    const int32_t bunr = settlement.emplace(db.tools(), log, tse).TischAbrechnen(*rs, 12, 3, zahlart).value_or(-1);
    db.Exec("DELETE FROM bestellung");
    return bunr;
  }

  TestDb db;
  platform::IniFile ini{db.env(), db.folder()};
  FakePrintEngine engine;
  printing::PrintLineBuffer printLines{ini, db.ui(), engine};
  printing::CustomerReceipt receipt{db.tools(), printLines};
  settlement::fixture::RecordingLog log;
  std::optional<settlement::TableSettlement> settlement;
};

TEST_F(CustomerReceiptTest, WideReceiptWithTwoRatesHeadFontsAndAFailedTse) {
  db.Exec(
      "INSERT INTO bontexte (kf, pos, txt, font) VALUES ('K', 1, 'xCafé Tolven', 1), ('K', 2, 'x.', 0), "
      "('K', 3, 'x<leer>', 0), ('K', 4, 'x', 0), ('F', 1, 'xVielen Dank!', 2)");
  Receipt(123, 12, "BAR", {{"10", 2, 420, 0}, {"20", 1, 1390, 0}});
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
}

TEST_F(CustomerReceiptTest, NarrowSignedTakeAwayReceiptWithDiscountAndSecondCurrency) {
  db.Exec(
      "UPDATE system SET bontyp = 6, bonshowtitel = 0, bonshowzeit = 0, bonshowbed = 0, bonvor = 0, "
      "bonsumgross = -1, bonshowrabatt = -1, bonshowartnr = -1, fremdwaeh = 'CHF', waehkurs = 0.9");
  Receipt(7, 0, "VISA", {{"11", 1, 330, 0}, {"10", 1, 420, 20}});
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

TEST_F(CustomerReceiptTest, PrintedVatIsTheStoredVatWhereLineByLineWouldDiffer) {
  // Three times 0.10 at 19 %: on the sum 0.05, line by line 3 x 0.02 = 0.06.
  const int32_t bunr = Settle({{"30", 10}, {"30", 10}, {"30", 10}});
  EXPECT_NE(Composed(bunr).find("|MwSt 19.0%:  EUR    0.05|Nettobetrag: EUR    0.25|"), std::string::npos);
  // Two keys: each line of the table form agrees with its stored sums.
  const int32_t second = Settle({{"30", 10}, {"30", 10}, {"30", 10}, {"20", 10}, {"20", 10}, {"20", 10}});
  EXPECT_NE(Composed(second).find("|19.0% MwSt  0.05   Netto   0.25| 7.0% MwSt  0.02   Netto   0.28|"
                                  "Summe MwSt  0.07   Netto   0.53|"),
            std::string::npos);
}

TEST_F(CustomerReceiptTest, ASignatureThatCouldNotBeStoredIsPrintedNotAFailedTse) {
  ScriptedTseServer adapter;
  db.state().tseInUse = true;
  fiscal::Tse tse(db.tools(), adapter, fiscal::TseIdentity{"KASSE-1", "ecdsa-plain-SHA384", "BPUBKEY"});
  db.Exec("CREATE TRIGGER tse_locked BEFORE UPDATE OF tse_signatur ON kass BEGIN SELECT RAISE(ABORT, 'gesperrt'); END");
  const int32_t bunr = Settle({{"30", 100}}, &tse);
  ASSERT_EQ(db.Scalar("SELECT tse_signatur FROM kass WHERE bunr = " + std::to_string(bunr)), "");
  EXPECT_TRUE(log.Has("TSE-Signatur erfolgreich, aber nicht gespeichert"));
  const fiscal::ReceiptSignature* signature = settlement->UnstoredSignature(bunr);
  ASSERT_NE(signature, nullptr);
  // A signed block with label and value on one line on a wide receipt; a single rate in the short form.
  const std::string text = Composed(bunr, signature);
  EXPECT_EQ(text.substr(text.find("|SUMME EUR")),
            "|SUMME EUR                       1.00| |MwSt 19.0%:  EUR    0.16|Nettobetrag: EUR    0.84| |BAR-Zahlung| |"
            "TSE-Transaktion: 100|TSE-Start: 2025-12-06T05:46:40.000Z|TSE-Stop: 2025-12-06T05:46:41.000Z|"
            "TSE-Seriennummer: SERIAL-1|TSE-Signaturzähler: 500|TSE-Signatur:|SIG500| |" +
                printing::EscPosQrCode(signature->qr, 4) + "| | | ");
  // The next settlement starts without it.
  db.Exec("DROP TRIGGER tse_locked");
  Settle({{"30", 100}}, &tse);
  EXPECT_EQ(settlement->UnstoredSignature(bunr), nullptr);
}

}  // namespace
}  // namespace tolven::testing
