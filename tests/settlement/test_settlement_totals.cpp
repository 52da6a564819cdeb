#include "settlement/settlement_totals.h"

#include <gtest/gtest.h>

#include <limits>

namespace tolven::settlement {
namespace {

VatRates Rates() {
  VatRates r;
  r.current = {Rate{0}, Rate::FromPercent(19), Rate::FromPercent(7), Rate::FromPercent(10)};
  r.old1 = Rate::FromPercent(16);
  r.old2 = Rate::FromPercent(5);
  return r;
}

TotalsRow Article(int64_t gpreis, int key, int32_t gast = 0) {
  TotalsRow r;
  r.kind = RowKind::Article;
  r.gpreis = gpreis;
  r.menge = 1;
  r.vatKey = key;
  r.gast = gast;
  return r;
}

TotalsRow Special(RowKind kind, int64_t gpreis) {
  TotalsRow r;
  r.kind = kind;
  r.gpreis = gpreis;
  r.menge = 1;
  return r;
}

SettlementTotals Compute(const std::vector<TotalsRow>& rows, const std::string& zahlart = "BAR",
                         VatRates rates = Rates(), int32_t tableGuests = 0) {
  SettlementTotals t;
  std::string error;
  EXPECT_TRUE(ComputeTotals(rows, rates, tableGuests, zahlart, t, error)) << error;
  return t;
}

TEST(ArticleNumbers, SpecialNumbersAndTheZeitRule) {
  struct Case {
    const char* artnr;
    RowKind kind;
  };
  const Case cases[] = {{"$$$GS", RowKind::OwnVoucher},      {"GASTRODIGITAL", RowKind::OnlineVoucher},
                        {"$$$FGS", RowKind::ForeignVoucher}, {"$$BAR", RowKind::PartialCash},
                        {"$$$BONUS", RowKind::Bonus},        {"$$$AUSLAGE", RowKind::Outlay},
                        {"$$$EZGS", RowKind::SinglePurposeVoucher}, {"$GVTGAG", RowKind::EmployerTip},
                        {"00-MWST0", RowKind::FreeAmount0},  {"00-MWST1", RowKind::FreeAmount1},
                        {"00-MWST2", RowKind::FreeAmount2},  {"$$$gs", RowKind::Article},
                        {"$$BARX", RowKind::Article},        {"COLA", RowKind::Article}};
  for (const Case& c : cases) EXPECT_EQ(ClassifyArticle(c.artnr), c.kind) << c.artnr;
  EXPECT_EQ(ApplyZeitRule("_ZEIT15"), "ZEIT15");
  EXPECT_EQ(ApplyZeitRule("ZEIT15"), "ZEIT15");
  EXPECT_EQ(ApplyZeitRule("_COLA"), "_COLA");
}

TEST(Totals, VatIsTakenOnTheSumsAndRowByRowOnlyForKeyZero) {
  // Three rows of 0.10 at 19 %: VAT of the sum 30 is 5, row by row it would be 6.
  SettlementTotals t = Compute({Article(10, 1), Article(10, 1), Article(10, 1)});
  EXPECT_EQ(t.sum[1], 30);
  EXPECT_EQ(t.mwst[1], 5);

  // Key 0 with a rate: each row of 5 at 10 % has VAT round(5 - 4.545) = 0; on
  // the sum 15 it would be 1.
  VatRates withRateZero = Rates();
  withRateZero.current[0] = Rate::FromPercent(10);
  t = Compute({Article(5, 0), Article(5, 0), Article(5, 0)}, "BAR", withRateZero);
  EXPECT_EQ(t.sum[0], 15);
  EXPECT_EQ(t.mwst[0], 0);

  // Keys 3, 11 and 12 use rate 3 and the old rates.
  t = Compute({Article(1100, 3), Article(1160, 11), Article(1050, 12)});
  EXPECT_EQ(t.sum[3], 1100);
  EXPECT_EQ(t.mwst[3], 100);
  EXPECT_EQ(t.sum[4], 1160);
  EXPECT_EQ(t.mwst[4], 160);
  EXPECT_EQ(t.sum[5], 1050);
  EXPECT_EQ(t.mwst[5], 50);
  EXPECT_EQ(t.turnover, 3310);
}

TEST(Totals, HalfCentsOfVatGoToTheEvenNeighbour) {
  // At 100 % the net of an odd amount is exactly half a cent off.
  VatRates r = Rates();
  r.current[1] = Rate::FromPercent(100);
  EXPECT_EQ(Compute({Article(3, 1)}, "BAR", r).mwst[1], 3 - 2);  // net 1.5 -> 2
  EXPECT_EQ(Compute({Article(5, 1)}, "BAR", r).mwst[1], 5 - 2);  // net 2.5 -> 2
}

TEST(Totals, BonusIsTakenFromKeyOneThenTwoThenZero) {
  struct Case {
    const char* what;
    int64_t bonus, sum0, sum1, sum2;
    std::array<int64_t, 3> split;
    std::array<int64_t, 3> sumsAfter;  // key 0, 1, 2
  };
  const Case cases[] = {
      {"all three", 500, 1000, 300, 100, {100, 300, 100}, {900, 0, 0}},
      {"key one covers it", 200, 1000, 1190, 100, {0, 200, 0}, {1000, 990, 100}},
      {"key two covers the rest", 350, 1000, 300, 107, {0, 300, 50}, {1000, 0, 57}},
  };
  for (const Case& c : cases) {
    SettlementTotals t = Compute({Article(c.sum0, 0), Article(c.sum1, 1), Article(c.sum2, 2),
                                  Special(RowKind::Bonus, -c.bonus)});
    EXPECT_EQ(t.bonus, c.bonus) << c.what;
    EXPECT_EQ(t.bonusSplit, c.split) << c.what;
    EXPECT_EQ(t.sum[0], c.sumsAfter[0]) << c.what;
    EXPECT_EQ(t.sum[1], c.sumsAfter[1]) << c.what;
    EXPECT_EQ(t.sum[2], c.sumsAfter[2]) << c.what;
    EXPECT_EQ(t.turnover, c.sum0 + c.sum1 + c.sum2 - c.bonus) << c.what;
  }
  SettlementTotals t = Compute({Article(300, 1), Article(100, 2), Article(1000, 0), Special(RowKind::Bonus, -500)});
  EXPECT_EQ(t.mwst[1], 0);
  EXPECT_EQ(t.mwst[2], 0);
  // Key one covers it: VAT of 1190 is 190, less round(200 * 19 / 119) = 32.
  t = Compute({Article(1190, 1), Special(RowKind::Bonus, -200)});
  EXPECT_EQ(t.mwst[1], 190 - 32);
}

TEST(Totals, Guests) {
  EXPECT_EQ(Compute({Article(1, 1, 1)}, "BAR", Rates(), 6).guests, 6) << "the table's own count wins";
  EXPECT_EQ(Compute({Special(RowKind::PartialCash, -100)}).guests, 1) << "never 0";
  SettlementTotals t = Compute({Article(1, 1, 100), Article(1, 1, -1), Article(1, 1, 4)});
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
      {"cash", {Article(1190, 1), Article(535, 2)}, "BAR", 1725, 1725, "Beleg^11.90_5.35_0.00_0.00_0.00^17.25:Bar"},
      {"card", {Article(1190, 1)}, "VISA", 1190, 0, "Beleg^11.90_0.00_0.00_0.00_0.00^11.90:Unbar"},
      {"nothing but payments, cash", {Special(RowKind::OwnVoucher, 2000)}, "BAR", 2000, 2000,
       "Beleg^0.00_0.00_0.00_0.00_0.00^20.00:Bar_-20.00:Unbar"},
      {"vouchers and partial cash",
       {Article(3000, 1), Special(RowKind::OwnVoucher, -1000), Special(RowKind::OnlineVoucher, -500),
        Special(RowKind::ForeignVoucher, -200), Special(RowKind::PartialCash, -300)},
       "VISA", 1000, 300, "Beleg^30.00_0.00_0.00_0.00_0.00^3.00:Bar_27.00:Unbar"},
      {"outlay on card", {Article(1000, 1), Special(RowKind::Outlay, 250)}, "EC", 1250, 250,
       "Beleg^10.00_0.00_0.00_0.00_0.00^-2.50:Bar_12.50:Unbar"},
      {"empty cash receipt", {Article(0, 1)}, "BAR", 0, 0, "Beleg^0.00_0.00_0.00_0.00_0.00^"},
      {"empty card receipt", {Article(0, 1)}, "VISA", 0, 0, "Beleg^0.00_0.00_0.00_0.00_0.00^"},
  };
  for (const Case& c : cases) {
    SettlementTotals t = Compute(c.rows, c.zahlart);
    EXPECT_EQ(t.restDue, c.restDue) << c.what;
    EXPECT_EQ(t.cashPart, c.cashPart) << c.what;
    const std::string receipt = t.receiptIsMix ? "MIX" : c.zahlart;
    EXPECT_EQ(BuildProcessData(t, receipt, c.zahlart), c.processData) << c.what;
  }
}

TEST(Totals, SumsBeyond32BitsAreRefused) {
  const int64_t max = std::numeric_limits<int32_t>::max();
  const std::vector<std::vector<TotalsRow>> refused = {
      {Article(max, 1), Article(1, 1)},                      // the turnover
      {Article(max + 1, 1)},                                 // a single row
      {Article(max, 1), Special(RowKind::OwnVoucher, 1)},    // the rest due
      {Special(RowKind::Outlay, -max - 1)},                  // booked negated
  };
  for (const auto& rows : refused) {
    SettlementTotals t;
    std::string error;
    EXPECT_FALSE(ComputeTotals(rows, Rates(), 0, "VISA", t, error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(Compute({Article(max, 1)}, "VISA").turnover, max);
}

}  // namespace
}  // namespace tolven::settlement
