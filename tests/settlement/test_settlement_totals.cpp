// The arithmetic of a settlement without a database, what the stored receipts
// (test_table_settlement.cpp) do not show on their own; and the ledgers.
#include "settlement/settlement_totals.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "settlement/ledgers.h"
#include "support/test_db.h"

namespace tolven::settlement {
namespace {

VatRates Rates() {
  VatRates r;
  r.current = {Rate{0}, Rate::FromPercent(19), Rate::FromPercent(7), Rate::FromPercent(10)};
  r.old1 = Rate::FromPercent(16);
  r.old2 = Rate::FromPercent(5);
  return r;
}

TotalsRow Row(int64_t gpreis, int key, int32_t gast = 0, RowKind kind = RowKind::Article) {
  TotalsRow r;
  r.kind = kind;
  r.gpreis = gpreis;
  r.menge = 1;
  r.vatKey = key;
  r.gast = gast;
  return r;
}
TotalsRow Special(RowKind kind, int64_t gpreis) { return Row(gpreis, 0, 0, kind); }

SettlementTotals Compute(const std::vector<TotalsRow>& rows, const std::string& zahlart = "BAR",
                         VatRates rates = Rates(), int32_t tableGuests = 0) {
  SettlementTotals t;
  Status status = ComputeTotals(rows, rates, tableGuests, zahlart, t);
  EXPECT_TRUE(status) << status.message();
  return t;
}

TEST(ArticleNumbers, SpecialNumbersCompareExactlyAndTheZeitRule) {
  const std::pair<const char*, RowKind> cases[] = {
      {"$GVTGAG", RowKind::EmployerTip}, {"00-MWST1", RowKind::FreeAmount1}, {"00-MWST2", RowKind::FreeAmount2},
      {"$$$gs", RowKind::Article},       {"$$BARX", RowKind::Article},       {"COLA", RowKind::Article}};
  for (const auto& [artnr, kind] : cases) EXPECT_EQ(ClassifyArticle(artnr), kind) << artnr;
  EXPECT_EQ(ApplyZeitRule("_ZEIT15") + ApplyZeitRule("ZEIT15") + ApplyZeitRule("_COLA"), "ZEIT15ZEIT15_COLA");
}

TEST(Totals, KeyZeroRowByRowOtherKeysOnTheSumsHalvesToEven) {
  // Key 0 with a rate: each row of 5 at 10 % has VAT round(5 - 4.545) = 0; on the sum 15 it would be 1.
  VatRates r = Rates();
  r.current[0] = Rate::FromPercent(10);
  SettlementTotals t = Compute({Row(5, 0), Row(5, 0), Row(5, 0)}, "BAR", r);
  EXPECT_EQ(t.sum[0], 15);
  EXPECT_EQ(t.mwst[0], 0);
  // Keys 3, 11 and 12 use rate 3 and the old rates.
  t = Compute({Row(1100, 3), Row(1160, 11), Row(1050, 12)});
  EXPECT_EQ(std::vector<int64_t>({t.sum[3], t.mwst[3], t.sum[4], t.mwst[4], t.sum[5], t.mwst[5], t.turnover}),
            std::vector<int64_t>({1100, 100, 1160, 160, 1050, 50, 3310}));
  // At 100 % the net of an odd amount is exactly half a cent off: 1.5 -> 2, 2.5 -> 2.
  r.current[1] = Rate::FromPercent(100);
  EXPECT_EQ(Compute({Row(3, 1)}, "BAR", r).mwst[1], 1);
  EXPECT_EQ(Compute({Row(5, 1)}, "BAR", r).mwst[1], 3);
}

TEST(Totals, BonusTakenFromKeyOneThenTwoThenZeroLessensTheVat) {
  SettlementTotals t = Compute({Row(1000, 0), Row(300, 1), Row(107, 2), Special(RowKind::Bonus, -350)});
  EXPECT_EQ(t.bonusSplit, (std::array<int64_t, 3>{0, 300, 50}));
  EXPECT_EQ(std::vector<int64_t>({t.sum[0], t.sum[1], t.sum[2], t.turnover}),
            std::vector<int64_t>({1000, 0, 57, 1057}));
  // Key one covers it: VAT of 1190 is 190, less round(200 * 19 / 119) = 32.
  t = Compute({Row(1190, 1), Special(RowKind::Bonus, -200)});
  EXPECT_EQ(t.bonusSplit, (std::array<int64_t, 3>{0, 200, 0}));
  EXPECT_EQ(t.mwst[1], 190 - 32);
}

TEST(Totals, Guests) {
  EXPECT_EQ(Compute({Row(1, 1, 1)}, "BAR", Rates(), 6).guests, 6) << "the table's own count wins";
  EXPECT_EQ(Compute({Special(RowKind::PartialCash, -100)}).guests, 1) << "never 0";
  SettlementTotals t = Compute({Row(1, 1, 100), Row(1, 1, -1), Row(1, 1, 4)});
  EXPECT_EQ(t.guests, 1);
  EXPECT_EQ(t.unmarkedGuests, (std::vector<int32_t>{100, -1}));
}

TEST(Totals, PaymentsRestDueCashPartAndProcessData) {
  struct Case {
    const char* what;
    std::vector<TotalsRow> rows;
    std::string zahlart;
    int64_t restDue, cashPart;
    std::string processData;
  };
  const std::vector<Case> cases = {
      {"cash", {Row(1190, 1), Row(535, 2)}, "BAR", 1725, 1725, "Beleg^11.90_5.35_0.00_0.00_0.00^17.25:Bar"},
      {"card", {Row(1190, 1)}, "VISA", 1190, 0, "Beleg^11.90_0.00_0.00_0.00_0.00^11.90:Unbar"},
      {"nothing but payments, cash", {Special(RowKind::OwnVoucher, 2000)}, "BAR", 2000, 2000,
       "Beleg^0.00_0.00_0.00_0.00_0.00^20.00:Bar_-20.00:Unbar"},
      {"vouchers and partial cash",
       {Row(3000, 1), Special(RowKind::OwnVoucher, -1000), Special(RowKind::OnlineVoucher, -500),
        Special(RowKind::ForeignVoucher, -200), Special(RowKind::PartialCash, -300)},
       "VISA", 1000, 300, "Beleg^30.00_0.00_0.00_0.00_0.00^3.00:Bar_27.00:Unbar"},
      {"outlay on card", {Row(1000, 1), Special(RowKind::Outlay, 250)}, "EC", 1250, 250,
       "Beleg^10.00_0.00_0.00_0.00_0.00^-2.50:Bar_12.50:Unbar"},
      {"empty cash receipt", {Row(0, 1)}, "BAR", 0, 0, "Beleg^0.00_0.00_0.00_0.00_0.00^"},
      {"empty card receipt", {Row(0, 1)}, "VISA", 0, 0, "Beleg^0.00_0.00_0.00_0.00_0.00^"},
  };
  for (const Case& c : cases) {
    SettlementTotals t = Compute(c.rows, c.zahlart);
    EXPECT_EQ(t.restDue, c.restDue) << c.what;
    EXPECT_EQ(t.cashPart, c.cashPart) << c.what;
    EXPECT_EQ(BuildProcessData(t, t.receiptIsMix ? "MIX" : c.zahlart, c.zahlart), c.processData) << c.what;
  }
}

TEST(Totals, SumsBeyond32BitsAreRefused) {
  const int64_t max = std::numeric_limits<int32_t>::max();
  const std::vector<std::vector<TotalsRow>> refused = {
      {Row(max, 1), Row(1, 1)},                         // the turnover
      {Row(max + 1, 1)},                                // a single row
      {Row(max, 1), Special(RowKind::OwnVoucher, 1)},   // the rest due
      {Special(RowKind::Outlay, -max - 1)},             // booked negated
  };
  for (const auto& rows : refused) {
    SettlementTotals t;
    Status status = ComputeTotals(rows, Rates(), 0, "VISA", t);
    EXPECT_FALSE(status);
    EXPECT_FALSE(status.message().empty());
  }
  EXPECT_EQ(Compute({Row(max, 1)}, "VISA").turnover, max);
}


using testing::TestDb;

class LedgersTest : public ::testing::Test {
 protected:
  // The first row of a query, columns joined by "|".
  std::string Row(const std::string& sql) {
    db::DbError e;
    auto rs = db.conn().Query(sql, e);
    EXPECT_TRUE(rs) << e.text;
    std::string out;
    for (size_t i = 0; rs && !rs->Eof() && i < rs->ColumnCount(); ++i) out += (i ? "|" : "") + rs->Raw(i).AsString();
    return out;
  }

  TestDb db;
};

TEST_F(LedgersTest, CustomerAccountRunsItsBalancePerCustomer) {
  EXPECT_EQ(Msecs(DateTime{Date{2026, 12, 5}, 23, 59, 59, 999}), 8639999);  // hundredths since midnight
  EXPECT_EQ(BookKdkto(db.tools(), 7, -1250, "Besuch vom 05.12.2026", 11, 21).value_or(0), 1);
  db.env().Advance(1000);
  EXPECT_EQ(BookKdkto(db.tools(), 8, 300, "Einzahlung", 0, 0).value_or(0), 2);
  db.env().Advance(1000);
  EXPECT_EQ(BookKdkto(db.tools(), 7, 500, "Einzahlung", 0, 0).value_or(0), 3);
  EXPECT_EQ(Row("SELECT kdktobunr, datumzeit, msecs, kdnr, bunr, seqnr, txt, betrag, saldo FROM kdkto WHERE kdktobunr = 1"),
            "1|2026-12-05 12:00:00|4320000|7|11|21|Besuch vom 05.12.2026|-1250|-1250");
  EXPECT_EQ(db.Scalar("SELECT saldo FROM kdkto WHERE kdktobunr = 3"), "-750");
  EXPECT_EQ(db.Scalar("SELECT saldo FROM kdkto WHERE kdktobunr = 2"), "300");
}

// Several bookings within one second: the balance follows the hundredths, not the row order of the engine.
TEST_F(LedgersTest, TwoBookingsInOneSecondFollowEachOther) {
  for (const int32_t amount : {1000, 200, -50}) {
    ASSERT_TRUE(BookBarsaldo(db.tools(), 1, amount, "VERKAUF"));
    ASSERT_TRUE(BookKdkto(db.tools(), 5, amount, "x", 0, 0));
    db.env().Advance(10);
  }
  EXPECT_EQ(db.Scalar("SELECT saldo FROM barsaldo WHERE lfdnr = 3"), "1150");
  EXPECT_EQ(db.Scalar("SELECT saldo FROM kdkto WHERE kdktobunr = 3"), "1150");
}

TEST_F(LedgersTest, JournalBooksTheCashBalanceOnlyForExactlyBar) {
  db.state().kaNr = 9;
  db.state().kaName = "Gateway";
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 41, 51, "BAR", 1725, "VERKAUF", 7));
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 42, 52, "BARGELD", 500, "VERKAUF", 0));
  EXPECT_EQ(Row("SELECT bunr2, bunr, seqnr, typ, datumzeit, zahlart, betrag, kasse, kanr, kaname, crc, kdnr, txt "
                "FROM buch2 WHERE bunr2 = 1"),
            "1|41|51|0|2026-12-05 12:00:00|BAR|1725|1|9|Gateway|" + RecordCRC(Date{2026, 12, 5}, 1, 1725) +
                "|7|VERKAUF");
  EXPECT_EQ(db.Scalar("SELECT zahlart FROM buch2 WHERE bunr2 = 2"), "BARGEL");
  EXPECT_EQ(Row("SELECT lfdnr, kasse, bunr, txt, kanr, kaname, betrag, saldo FROM barsaldo"),
            "1|1|41|VERKAUF|9|Gateway|1725|1725");
  EXPECT_EQ(db.Count("barsaldo"), 1);
}

TEST_F(LedgersTest, LongTextsAreCutToTheirColumns) {
  const std::string text(60, 'x');
  ASSERT_TRUE(BookKdkto(db.tools(), 1, 1, text, 0, 0));
  ASSERT_TRUE(BookBkto(db.tools(), 1, 1, text));
  ASSERT_TRUE(BookBarsaldo(db.tools(), 1, 1, text));
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 1, 1, "KREDITKARTE", 1, text, 0));
  EXPECT_EQ(Row("SELECT LENGTH(k.txt), LENGTH(b.txt), LENGTH(s.txt), LENGTH(j.txt), j.zahlart "
                "FROM kdkto k, bkto b, barsaldo s, buch2 j"),
            "40|40|40|30|KREDIT");
}

TEST_F(LedgersTest, ABalanceBeyond32BitsIsRefusedAndNothingBooked) {
  ASSERT_TRUE(BookKdkto(db.tools(), 1, std::numeric_limits<int32_t>::max(), "voll", 0, 0));
  db.env().Advance(1000);
  const auto refused = BookKdkto(db.tools(), 1, 1, "zuviel", 0, 0);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.status().message().find("Saldo"), std::string::npos);
  EXPECT_EQ(db.Count("kdkto"), 1);
}

TEST_F(LedgersTest, AFailingCashBalanceFailsTheJournalBookingWithItsReason) {
  db.FailInserts("barsaldo", "Kassenlade gesperrt");
  const Status failed = BookBuch2(db.tools(), 0, 1, 1, "BAR", 100, "VERKAUF", 0);
  EXPECT_NE(failed.message().find("Kassenlade gesperrt"), std::string::npos) << failed.message();
  EXPECT_TRUE(BookBuch2(db.tools(), 0, 1, 1, "EC", 100, "VERKAUF", 0));
}

}  // namespace
}  // namespace tolven::settlement
