#include <gtest/gtest.h>

#include <functional>

#include "fiscal/receipt_checks.h"
#include "settlement/settlement_fixture.h"

namespace tolven::settlement::fixture {
namespace {

using Settlement = SettlementFixture;

TEST_F(Settlement, CashReceiptWithHeaderLinesJournalAndCashBalance) {
  Orders(12, {{"COLA", 2, 250, 1, "", 10}, {"SALAT", 1, 535, 1, "", 20}});
  ASSERT_EQ(Settle(12, "BAR"), 1) << log.lines.size();
  EXPECT_EQ(Dump("SELECT bunr, seqnr, datumzeit, vorgangstart, doy, kdnr, kanr, kaname, filnr, kasse, tisch, betrag, "
                 "umsatzzaehler, mwst1proz, mwst2proz, mwst3proz, mwst1, mwst2, mwst3, sum0, sum1, sum2, sum3, zahlart, "
                 "gaeste, info, txt, sigver, pcatransid, cardno, crc FROM kass"),
            "1|1|2026-12-05 12:00:00|2026-12-05 12:00:00|26339|0|3|Anna|1|1|12|1035|0|19|7|0|80|35|0|0|500|535|0|BAR|"
            "1|Fenster|VERKAUF|1|0||" +
                fiscal::RecordCRC(Date{2026, 12, 5}, 1, 1035) + "\n");
  EXPECT_EQ(Dump("SELECT pos, gvtyp, tisch, artnr, artgrp, artgrp2, artbez, grpbez, grpbez2, ticket, konto, "
                 "kostenstelle, menge, preis, posbetrag, ekpreis, mwst, mwstproz, mwstsatz, mwstschl, zahlart, crc "
                 "FROM kasspro ORDER BY pos"),
            "1|Umsatz|12|COLA|10|3|COLA|Getränke|Alkoholfrei|2|4000|40|2|250|500|0|19|19|1|1|BAR|" +
                fiscal::RecordCRC(Date{2026, 12, 5}, 1, 500) + "\n" +
                "2|Umsatz|12|SALAT|20|0|SALAT|Küche||0|4000|0|1|535|535|0|7|7|2|2|BAR|" +
                fiscal::RecordCRC(Date{2026, 12, 5}, 1, 535) + "\n");
  EXPECT_EQ(Dump("SELECT zahlart, betrag, txt, bunr, seqnr, typ FROM buch2"), "BAR|1035|VERKAUF|1|1|0\n");
  EXPECT_EQ(Dump("SELECT bunr, betrag, saldo, txt FROM barsaldo"), "1|1035|1035|VERKAUF\n");
  EXPECT_EQ(Counter("BUNR"), "2");
  EXPECT_EQ(Counter("SEQNR"), "2");
  EXPECT_EQ(db.Count("bestellung"), 0) << "the settled rows leave with the receipt";
  EXPECT_TRUE(db.ui().messages.empty());
  EXPECT_FALSE(log.Has("FEHLER"));

  // The next receipt carries the turnover counter on (rebuilt from the stored amounts).
  Order(5, {"COLA", 1, 250});
  ASSERT_EQ(Settle(5, "BAR"), 2);
  EXPECT_EQ(db.Scalar("SELECT umsatzzaehler FROM kass WHERE bunr = 2"), "1285");
}

TEST_F(Settlement, VatOnTheSumPerKeyTakeAwayAndOldRates) {
  Orders(12, {{"COLA", 1, 10}, {"COLA", 1, 10}, {"COLA", 1, 10}});  // 19 % of each row: 6, of the sum: 5
  ASSERT_EQ(Settle(12, "BAR"), 1);
  EXPECT_EQ(Dump("SELECT sum1, mwst1 FROM kass"), "30|5\n");
  // Take-away on the counter table is taxed at the reduced rate, at a table it is not.
  Order(0, {"POMMES", 1, 119});
  ASSERT_EQ(Settle(0, "BAR"), 2);
  Order(5, {"POMMES", 1, 119});
  ASSERT_EQ(Settle(5, "BAR"), 3);
  EXPECT_EQ(Dump("SELECT k.bunr, sum1, sum2, mwstschl FROM kass k JOIN kasspro p ON p.bunr = k.bunr WHERE k.bunr > 1 "
                 "ORDER BY k.bunr"),
            "2|0|119|2\n3|119|0|1\n");
  // Keys 11 and 12 take the rates of the former period.
  settings.oldRate1 = Rate::FromPercent(16);
  settings.oldRate2 = Rate::FromPercent(5);
  Orders(12, {{"ALT16", 1, 1160}, {"ALT5", 1, 1050}});
  db.Exec("DELETE FROM bestellung WHERE artnr = 'COLA'");
  ASSERT_EQ(Settle(12, "BAR"), 4);
  EXPECT_EQ(Dump("SELECT sum1alt, mwst1alt, mwst1altproz, sum2alt, mwst2alt, mwst2altproz, betrag FROM kass "
                 "WHERE bunr = 4"),
            "1160|160|16|1050|50|5|2210\n");
  EXPECT_EQ(Dump("SELECT mwstschl, mwstproz FROM kasspro WHERE bunr = 4 ORDER BY pos"), "11|16\n12|5\n");
}

TEST_F(Settlement, BonusRedemptionSplitLinesAndPoints) {
  Orders(12, {{"COLA", 1, 300}, {"SALAT", 1, 100}, {"00-MWST0", 1, 1000}, {"$$$BONUS", 1, -500, 1, "50"}}, 7);
  ASSERT_EQ(Settle(12, "BAR"), 1);
  EXPECT_EQ(Dump("SELECT betrag, sum0, sum1, sum2, mwst1, mwst2, kdnr, kdgrp FROM kass"), "900|900|0|0|0|0|7|4\n");
  EXPECT_EQ(Dump("SELECT pos, gvtyp, artnr, artbez, menge, preis, ekpreis, posbetrag, mwstproz, mwstschl, konto "
                 "FROM kasspro ORDER BY pos"),
            "1|Umsatz|COLA|COLA|1|300|0|300|19|1|4000\n"
            "2|Umsatz|SALAT|SALAT|1|100|0|100|7|2|4000\n"
            "3|Umsatz|00-MWST0|00-MWST0|1|1000|0|1000|0|0|4000\n"
            "4|Umsatz|BONUS|Bonus-Rabatt (0%)|1|-100|-100|-100|0|0|8400\n"
            "5|Umsatz|BONUS|Bonus-Rabatt (19%)|1|-300|-300|-300|19|1|8400\n"
            "6|Umsatz|BONUS|Bonus-Rabatt (7%)|1|-100|-100|-100|7|2|8400\n");
  EXPECT_EQ(Dump("SELECT kdnr, txt, punkte, saldo FROM bkto"), "7|Bonus-Ausschüttung Kasse|-50|-50\n");
  EXPECT_EQ(Dump("SELECT zahlart, betrag FROM buch2"), "BAR|900\n");
  // A server's date/time column adds the midnight the embedded engine leaves out.
  EXPECT_EQ(db.Scalar("SELECT letztbes FROM kunden WHERE kdnr = 7").substr(0, 10), "2026-12-05");
}

TEST_F(Settlement, PaymentArticlesVouchersAndOutlayWithTheirJournalBookings) {
  db.Exec("INSERT INTO gutscheine (status, gsnr, betrag) VALUES (0, 'GS-050', 1000), (0, 'GS-0500', 1000)");
  Orders(12, {{"COLA", 1, 3000},
              {"$$$GS", 1, 2000, 1, "GS-100;Geburtstag"},
              {"$$$GS", 1, -1000, 1, "GS-050"},
              {"$$$GS", 1, -300, 1, ""},
              {"GASTRODIGITAL", 1, 700},
              {"GASTRODIGITAL", 1, -200},
              {"$$$FGS", 1, -400},
              {"$$BAR", 1, -500},
              {"$$$AUSLAGE", 1, 250, 1, "", 0, "Taxi"}});
  std::string zahlart = "VISA";
  ASSERT_EQ(Settle(12, zahlart), 1);
  EXPECT_EQ(Dump("SELECT betrag, zahlart, sumgsin, sumgsout, sumgsfremd, sumauslagen, sum1 FROM kass"),
            "3000|MIX|1500|2700|400|250|3000\n");
  EXPECT_EQ(Dump("SELECT bunr2, zahlart, betrag, txt FROM buch2 ORDER BY bunr2"),
            "1|VISA|3550|VERKAUF\n2|GUTSCH|1300|Gutschein\n3|GUTSCH|-2000|Gutschein\n4|FR-GUT|400|Fremdgutschein\n"
            "5|GUTONL|200|Online-Gutschein\n6|GUTONL|-700|Online-Gutschein\n7|BAR|-250|Auszahlung Gast\n"
            "8|BAR|500|VERKAUF\n");
  EXPECT_EQ(Dump("SELECT betrag, saldo FROM barsaldo ORDER BY lfdnr"), "-250|-250\n500|250\n");
  EXPECT_EQ(Dump("SELECT status, typ, mwstschl, mwstproz, bunr, datum, betrag, filnr, kasse, zahlart, bemerk "
                 "FROM gutscheine WHERE gsnr = 'GS-100'"),
            "0|0|0|0|1|2026-12-05 12:00:00|2000|1|1|VISA|Geburtstag\n");
  EXPECT_EQ(Dump("SELECT gsnr, status, datum_einl, filnr_einl, kasse_einl, bunr_einl FROM gutscheine "
                 "WHERE gsnr LIKE 'GS-05%' ORDER BY gsnr"),
            "GS-050|1|2026-12-05 12:00:00|1|1|1\nGS-0500|0||||\n");
  EXPECT_EQ(Dump("SELECT bunr, kasse, datumzeit, betrag, zahlart, txt, kdnr FROM auslagen"),
            "1|1|2026-12-05 12:00:00|250|MIX|Taxi|0\n");
  EXPECT_EQ(db.Count("kasspro"), 1) << "payment rows have no receipt line";
  EXPECT_EQ(db.Count("gutscheine"), 3) << "a redemption without a number changes nothing";
  EXPECT_EQ(Counter("GSNR"), "2") << "one voucher sold";
}

TEST_F(Settlement, SinglePurposeVouchersAreArticleRowsWithTheirOwnKey) {
  db.Exec("INSERT INTO gutscheine (status, gsnr, typ, betrag) VALUES (0, 'EZ-2', 1, 500)");
  Orders(12, {{"$$$EZGS", 1, 1000, 1, "EZ-1;Firma"}, {"$$$EZGS", 1, -500, 1, "EZ-2"}});
  ASSERT_EQ(Settle(12, "BAR"), 1);
  EXPECT_EQ(Dump("SELECT pos, gvtyp, artnr, konto, mwstschl, mwstproz, posbetrag FROM kasspro ORDER BY pos"),
            "1|EinzweckgutscheinKauf|$$$EZGS|1700|1|19|1000\n2|EinzweckgutscheinEinloesung|$$$EZGS|1700|1|19|-500\n");
  EXPECT_EQ(Dump("SELECT typ, mwstschl, mwstproz, betrag, bemerk, status FROM gutscheine WHERE gsnr = 'EZ-1'"),
            "1|1|19|1000|Firma|0\n");
  EXPECT_EQ(db.Scalar("SELECT status FROM gutscheine WHERE gsnr = 'EZ-2'"), "1");
  EXPECT_EQ(Dump("SELECT zahlart, betrag, sum1 FROM kass"), "BAR|500|500\n");
}

TEST_F(Settlement, InvoiceAndCustomerAccount) {
  Order(12, {"COLA", 1, 1250}, 7);
  ASSERT_EQ(Settle(12, "RECH"), 1);
  EXPECT_EQ(Dump("SELECT datumzeit, bunr, kdnr, betrag, filnr FROM offrech"), "2026-12-05 12:00:00|1|7|1250|0\n");
  EXPECT_EQ(Dump("SELECT zahlart, betrag, kdnr FROM buch2"), "RECH|1250|7\n");
  EXPECT_EQ(db.Count("barsaldo"), 0);

  db.Exec("INSERT INTO kdkto (kdktobunr, datumzeit, msecs, kdnr, betrag, saldo) VALUES (90, '2026-12-04 10:00:00', 0, "
          "7, -200, -200)");
  Order(12, {"COLA", 1, 1250}, 7);
  ASSERT_EQ(Settle(12, "KDKTO"), 2);
  EXPECT_EQ(Dump("SELECT betrag, saldo, txt, bunr, seqnr FROM kdkto WHERE bunr = 2"),
            "-1250|-1450|Besuch vom 05.12.2026|2|2\n");
  EXPECT_EQ(Dump("SELECT zahlart, betrag FROM buch2 WHERE bunr = 2"), "KDKTO|1250\n");
}

TEST_F(Settlement, RefusalsStoreNothingAndTellTheOperator) {
  struct Case {
    const char* what;
    std::vector<OrderLine> rows;
    std::string zahlart;
    int kanr;
    std::function<void(tolven::testing::TestDb&)> prepare;
    std::string message;
  };
  const int32_t max = 2147483647;
  const std::vector<Case> cases = {
      {"waiter 0 blocked", {{"COLA", 1, 100}}, "BAR", 0,
       [](tolven::testing::TestDb& d) { d.Exec("UPDATE system SET nokassi0 = -1"); }, "Abrechnung auf Kellner 0 gesperrt."},
      {"VAT rate 1 is 0", {{"COLA", 1, 100}}, "BAR", 3, [](tolven::testing::TestDb& d) { d.state().mwst[1] = Rate{0}; },
       "1: kass:Falsche MwSt-Sätze 1/2"},
      {"unknown article", {{"COLA", 1, 100}, {"NIXDA", 1, 100}}, "BAR", 3, nullptr,
       "Artikel NIXDA nicht im Artikelstamm - Tisch 12 nicht abgerechnet."},
      {"unknown VAT key", {{"KEY5", 1, 100}}, "BAR", 3, nullptr, "Unbekannter MwSt-Schlüssel 5 bei Artikel KEY5"},
      {"customer account without customer", {{"COLA", 1, 100}}, "KDKTO", 3, nullptr,
       "Zahlung auf Kundenkonto ohne Kunde"},
      {"sum beyond 32 bits", {{"COLA", 1, max}, {"SALAT", 1, 1}}, "BAR", 3, nullptr, "außerhalb des zulässigen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    db.Exec("DELETE FROM bestellung");
    db.Exec("UPDATE system SET nokassi0 = 0");
    db.state().mwst = {Rate{0}, Rate::FromPercent(19), Rate::FromPercent(7), Rate{0}};
    db.ui().messages.clear();
    log.lines.clear();
    if (c.prepare) c.prepare(db);
    Orders(12, c.rows);
    kanr = c.kanr;
    EXPECT_EQ(Settle(12, c.zahlart.c_str()), -1);
    for (const char* table : {"kass", "kasspro", "buch2", "barsaldo", "gutscheine", "uniquenr"}) {
      EXPECT_EQ(db.Count(table), 0) << table;
    }
    ASSERT_FALSE(db.ui().messages.empty());
    EXPECT_NE(db.ui().messages.back().text.find(c.message), std::string::npos) << db.ui().messages.back().text;
    EXPECT_TRUE(log.Has("FEHLER"));
    EXPECT_GT(db.Count("syslog", "typ = 'F'"), 0);
  }
}

TEST_F(Settlement, AReceiptBeforeThePreviousOneIsRefusedAndTheNumberNotUsed) {
  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (1, '2026-12-05 13:00:00', 100, 100)");
  db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('BUNR', 2, 1, 999999999)");
  Order(12, {"COLA", 1, 100});
  EXPECT_EQ(Settle(12, "BAR"), -1);
  ASSERT_FALSE(db.ui().messages.empty());
  EXPECT_EQ(db.ui().messages.back().text,
            "2: kass:Chronologische Abfolge nicht gegeben! 05.12.2026 12:00:00<05.12.2026 13:00:00");
  EXPECT_EQ(Counter("BUNR"), "2");
  EXPECT_EQ(db.Count("kass"), 1);
}

}  // namespace
}  // namespace tolven::settlement::fixture
