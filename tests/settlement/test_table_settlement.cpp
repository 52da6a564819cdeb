// Whole stored receipts: header, lines, journal and ledgers as a settlement
// writes them; refusals and failures that store nothing; the signature after
// the commit.
#include <gtest/gtest.h>

#include <tuple>

#include "fiscal/receipt_checks.h"
#include "settlement/settlement_fixture.h"
#include "settlement/settlement_totals.h"
#include "support/faulty_connection.h"

namespace tolven::settlement::fixture {
namespace {

using Settlement = SettlementFixture;

// Signed after the commit, the QR text made of what was stored; a receipt the
// TSE does not answer for is kept and reported. A refused one stores nothing.
TEST_F(Settlement, ReceiptsWithHeaderLinesJournalCashBalanceAndSignatureOrRefused) {
  db.state().kaNr = 9;
  db.state().kaName = "Gateway";
  tolven::testing::ScriptedTseServer adapter;
  db.state().tseInUse = true;
  tse.reset(new fiscal::Tse(db.tools(), adapter, {"KASSE-1", "ecdsa-plain-SHA384", "BPUBKEY"}));
  Orders(12, {{"COLA", 2, 250, "", 10}, {"SALAT", 1, 535, "", 20}});
  ASSERT_EQ(Settle(12, "BAR"), 1);
  const std::string processData = "Beleg^5.00_5.35_0.00_0.00_0.00^10.35:Bar";
  EXPECT_EQ(Dump("SELECT tse_trx, tse_sigcount, tse_startbest, tse_start, tse_stop, tse_sernr, tse_processtype, "
                 "tse_processdata, tse_signatur, tse_qr FROM kass"),
            "100|500|77|1765000000|1765000001|SERIAL-1|Kassenbeleg-V1|" + processData + "|SIG500|V0;KASSE-1;" +
                "Kassenbeleg-V1;" + processData + ";100;500;2025-12-06T05:46:40.000Z;2025-12-06T05:46:41.000Z;" +
                "ecdsa-plain-SHA384;unixTime;SIG500;BPUBKEY\n");
  EXPECT_EQ(
      Dump("SELECT bunr, seqnr, datumzeit, vorgangstart, doy, kdnr, kanr, kaname, filnr, kasse, tisch, betrag, "
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
  EXPECT_EQ(Dump("SELECT bunr2, bunr, seqnr, typ, datumzeit, zahlart, betrag, kasse, kanr, kaname, crc, kdnr, txt "
                 "FROM buch2"),
            "1|1|1|0|2026-12-05 12:00:00|BAR|1035|1|9|Gateway|" + fiscal::RecordCRC(Date{2026, 12, 5}, 1, 1035) +
                "|0|VERKAUF\n");
  EXPECT_EQ(Dump("SELECT lfdnr, kasse, bunr, txt, kanr, kaname, betrag, saldo FROM barsaldo"),
            "1|1|1|VERKAUF|9|Gateway|1035|1035\n");

  // The next receipt carries the turnover counter on (rebuilt from the stored
  // amounts). Take-away on the counter table is taxed at the reduced rate (not
  // so at a table); keys 11 and 12 take the rates of the former period. VAT is
  // reckoned on the sum of a key's rows: 149 holds 24 (row by row it would be 25).
  settings.oldRate1 = Rate::FromPercent(16);
  settings.oldRate2 = Rate::FromPercent(5);
  Orders(0, {{"POMMES", 1, 119}, {"ALT16", 1, 1160}, {"ALT5", 1, 1050}});
  Orders(5, {{"POMMES", 1, 119}, {"COLA", 1, 10}, {"COLA", 1, 10}, {"COLA", 1, 10}});
  ASSERT_EQ(Settle(0, "BAR"), 2);
  ASSERT_EQ(Settle(5, "BAR"), 3);
  EXPECT_EQ(Dump("SELECT DISTINCT k.bunr, umsatzzaehler, sum1, mwst1, sum2, sum1alt, mwst1alt, mwst1altproz, sum2alt, "
                 "mwst2alt, mwst2altproz, mwstschl, mwstproz FROM kass k JOIN kasspro p ON p.bunr = k.bunr "
                 "WHERE k.bunr > 1 ORDER BY k.bunr, mwstschl"),
            "2|3364|0|0|119|1160|160|16|1050|50|5|2|7\n2|3364|0|0|119|1160|160|16|1050|50|5|11|16\n"
            "2|3364|0|0|119|1160|160|16|1050|50|5|12|5\n3|3513|149|24|0|0|0|16|0|0|5|1|19\n");

  adapter.answer = false;
  Orders(12, {{"COLA", 1, 1000}});
  ASSERT_EQ(Settle(12, "EC"), 4);
  const std::string text = "Beleg 4 nicht über TSE abgesichert";
  EXPECT_EQ(db.Scalar("SELECT betrag || '|' || COALESCE(tse_signatur, '') FROM kass WHERE bunr = 4"), "1000|");
  ASSERT_EQ(db.ui().messages.size(), 1u);
  EXPECT_TRUE(db.ui().messages[0].text == text && db.ui().messages[0].kind == platform::MsgKind::Critical);
  EXPECT_EQ(Dump("SELECT typ, txt, memotext FROM syslog WHERE typ <> 'T'"),  // 'T': the TSE's own time-outs
            "P|" + text + "|TSE-Trx=-1\r\nprocessData=Beleg^10.00_0.00_0.00_0.00_0.00^10.00:Unbar\n");

  // Refused: nothing is stored and the operator is told why.
  const std::string voucher = "5: Gutschein konnte nicht als eingelöst markiert werden. Gutschein ";
  // The table's rows, the payment, statements run before, the message's start.
  const std::tuple<std::vector<OrderLine>, std::string, std::vector<std::string>, std::string> cases[] = {
      {{{"NIXDA", 1, 100}}, "BAR", {}, "Artikel NIXDA nicht im Artikelstamm - Tisch 12 nicht abgerechnet."},
      {{{"KEY5", 1, 100}}, "BAR", {}, "Unbekannter MwSt-Schlüssel 5 bei Artikel KEY5"},
      {{{"COLA", 1, 100}}, "KDKTO", {}, "Zahlung auf Kundenkonto ohne Kunde"},
      // Vouchers unknown (also by a pattern), already redeemed (also earlier on the same receipt) or worth too little.
      {{{"COLA", 1, 2000}, {"$$$GS", 1, -500, "GS-1%"}}, "BAR", {}, voucher + "GS-1% ist unbekannt."},
      {{{"COLA", 1, 2000}, {"$$$GS", 1, -500, "GS-OLD"}}, "BAR", {}, voucher + "GS-OLD wurde bereits eingelöst."},
      {{{"COLA", 1, 2000}, {"$$$GS", 1, -800, "GS-5"}}, "BAR", {}, voucher + "GS-5 über 5.00 reicht nicht für 8.00."},
      {{{"$$$GS", 1, -5, "GS-10"}, {"$$$GS", 1, -5, "GS-10"}}, "BAR", {}, voucher + "GS-10 wurde bereits eingelöst."},
      // Bonus points the account cannot book, and a sum beyond 32 bits.
      {{{"COLA", 1, 1000}, {"$$$BONUS", 1, -100, "4294967296"}}, "BAR", {}, "Bonuspunkte 4294967296 außerhalb"},
      {{{"COLA", 1, 1000}, {"$$$BONUS", 1, -100, "-5"}}, "BAR", {}, "Bonuspunkte -5 außerhalb"},
      {{{"COLA", 1, 2000000000}, {"COLA", 1, 2000000000}}, "BAR", {}, "Summe außerhalb des zulässigen"},
      // A receipt dated before the previous one; its number (5, as in the messages) is not used up.
      {{{"COLA", 1, 100}},
       "BAR",
       {"UPDATE kass SET datumzeit = '2026-12-05 13:00:00' WHERE bunr = 4"},
       "5: kass:Chronologische Abfolge nicht gegeben! 05.12.2026 12:00:00<05.12.2026 13:00:00"},
      // Waiter 0 may not settle (checked before the date, which the row above leaves failing).
      {{{"COLA", 1, 100}}, "BAR", {"UPDATE system SET nokassi0 = -1"}, "Abrechnung auf Kellner 0 gesperrt."},
  };
  db.Exec(
      "INSERT INTO gutscheine (status, gsnr, betrag) VALUES (0, 'GS-10', 1000), (1, 'GS-OLD', 1000), "
      "(0, 'GS-5', 500)");
  kanr = 0;
  for (const auto& [rows, zahlart, prepare, message] : cases) {
    SCOPED_TRACE(message);
    db.Exec("DELETE FROM bestellung");
    for (const std::string& sql : prepare) db.Exec(sql);
    Orders(12, rows);
    const std::string before = Stored();
    EXPECT_EQ(Settle(12, zahlart), -1);
    EXPECT_EQ(Stored(), before);
    EXPECT_EQ(db.ui().messages.back().text.find(message), 0u) << db.ui().messages.back().text;
  }
}

// What the TSE signs as the payment of a receipt: the cash part of a mixed one, outlays paid out, card.
TEST(ProcessData, PaymentsOfEveryKindOfReceipt) {
  SettlementTotals t;
  t.sum = {100, 1000, 200, 0, 0, 0};
  t.turnover = 1300, t.cashPart = 500, t.outlays = -300, t.restDue = 1000;
  EXPECT_EQ(BuildProcessData(t, "MIX", "VISA"), "Beleg^10.00_2.00_0.00_0.00_1.00^5.00:Bar_8.00:Unbar");
  EXPECT_EQ(BuildProcessData(t, "BAR", "BAR"), "Beleg^10.00_2.00_0.00_0.00_1.00^13.00:Bar");
  EXPECT_EQ(BuildProcessData(t, "EC", "EC"), "Beleg^10.00_2.00_0.00_0.00_1.00^3.00:Bar_10.00:Unbar");
  t.outlays = 0;
  EXPECT_EQ(BuildProcessData(t, "EC", "EC"), "Beleg^10.00_2.00_0.00_0.00_1.00^13.00:Unbar");
}

// Fails the 1st, 2nd, 3rd ... database call of one settlement and its signature
// (the journal inserts late in the transaction among them) until a run gets
// through untouched. Every run either stores the complete receipt or leaves the
// database exactly as it was.
TEST_F(Settlement, CountdownSweepIsAllOrNothing) {
  // A table with a bit of everything: articles of three VAT keys, a voucher
  // sold, one redeemed and one without a number (which changes nothing),
  // foreign and online vouchers, bonus points, an outlay, partial cash, a
  // pending cancellation, paid on the customer account.
  auto busyTable = [this] {
    db.Exec("INSERT INTO gutscheine (status, gsnr, betrag) VALUES (0, 'GS-7', 1000), (0, 'GS-70', 1000)");
    db.Exec("INSERT INTO zeilenstornos (id, kasse, seqnr) VALUES (1, 1, -1)");
    db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('BUNR', 5, 1, 999999999)");
    Orders(12, {{"COLA", 2, 250, "", 10}, {"SALAT", 1, 535}, {"00-MWST0", 1, 1000}}, 7);
    Orders(12, {{"$$$GS", 1, 2000, "GS-8;Geschenk"}, {"$$$GS", 1, -1000, "GS-7"}, {"$$$GS", 1, -300, ""}}, 7);
    Orders(12, {{"GASTRODIGITAL", 1, 700}, {"GASTRODIGITAL", 1, -200}, {"$$$FGS", 1, -400}}, 7);
    Orders(12, {{"$$$BONUS", 1, -600, "60"}, {"$$$AUSLAGE", 1, 300}, {"$$BAR", 1, -200}}, 7);
  };
  busyTable();
  tolven::testing::ScriptedTseServer adapter;
  db.state().tseInUse = true;
  const std::string before = Stored();

  tolven::testing::FaultyConnection faulty(db.conn());
  db::StationContext tools(faulty, db.state(), db.env(), db.ui());
  std::vector<std::string> storedDespiteFailure;  // what runs a failure after the commit did not undo left
  for (int64_t n = 1; n < 500; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    faulty.FailCall(n);
    tse = std::make_unique<fiscal::Tse>(tools, adapter, fiscal::TseIdentity{"KASSE-1", "ecdsa", "KEY"});
    const int32_t bunr = Settle(12, "KDKTO", &tools);
    ASSERT_FALSE(db.conn().InTransaction());
    if (!faulty.failed()) {
      EXPECT_EQ(bunr, 5);
      EXPECT_GT(n, 21) << "the sweep should have met every statement";
      // Only the TSE columns may fail after the commit: that run stored the complete receipt.
      EXPECT_EQ(storedDespiteFailure, std::vector<std::string>{Stored()});
      // The receipt itself: sums, the bonus split over the VAT keys, one journal booking per kind of payment.
      EXPECT_EQ(Dump("SELECT betrag, zahlart, sum0, sum1, sum2, mwst1, mwst2, sumgsin, sumgsout, sumgsfremd, "
                     "sumauslagen, kdnr, kdgrp, (SELECT saldo FROM kdkto), (SELECT punkte FROM bkto), "
                     "(SELECT MIN(saldo) || '/' || MAX(saldo) FROM barsaldo), (SELECT txt FROM auslagen) FROM kass"),
                "1435|MIX|1000|0|435|0|28|1500|2700|400|300|7|4|-2335|-60|-300/-100|$$$AUSLAGE\n");
      EXPECT_EQ(Dump("SELECT pos, artnr, artbez, preis, posbetrag, mwstproz, konto FROM kasspro ORDER BY pos"),
                "1|COLA|COLA|250|500|19|4000\n2|SALAT|SALAT|535|535|7|4000\n3|00-MWST0|00-MWST0|1000|1000|0|4000\n"
                "4|BONUS|Bonus-Rabatt (19%)|-500|-500|19|8400\n5|BONUS|Bonus-Rabatt (7%)|-100|-100|7|8400\n");
      EXPECT_EQ(Dump("SELECT bunr2, zahlart, betrag, kdnr, txt FROM buch2 ORDER BY bunr2"),
                "1|KDKTO|2335|7|VERKAUF\n2|GUTSCH|1300|7|Gutschein\n3|GUTSCH|-2000|7|Gutschein\n"
                "4|FR-GUT|400|7|Fremdgutschein\n5|GUTONL|200|7|Online-Gutschein\n6|GUTONL|-700|7|Online-Gutschein\n"
                "7|BAR|-300|7|Auszahlung Gast\n8|BAR|200|7|VERKAUF\n");
      EXPECT_EQ(Dump("SELECT gsnr, status, typ, bunr, betrag, zahlart, bemerk, bunr_einl FROM gutscheine "
                     "ORDER BY gsnr"),
                "GS-7|1|||1000|||5\nGS-70|0|||1000|||\nGS-8|0|0|5|2000|KDKTO|Geschenk|\n");
      return;
    }
    if (bunr < 0) {
      ASSERT_EQ(Stored(), before) << "failed: " << faulty.log().back();
      continue;
    }
    ASSERT_EQ(bunr, 5);
    storedDespiteFailure.push_back(Stored());
    // Back to the start for the next run: what the settlement writes goes, the customer's last visit too.
    for (const char* table : {"kass", "kasspro", "gutscheine", "auslagen", "kdkto", "bkto", "buch2", "barsaldo",
                              "uniquenr", "zeilenstornos", "bestellung"})
      db.Exec(std::string("DELETE FROM ") + table);
    db.Exec("UPDATE kunden SET letztbes = NULL");
    db.RestartIds("bestellung");
    busyTable();
  }
  FAIL() << "the sweep did not end";
}

}  // namespace
}  // namespace tolven::settlement::fixture
