// The arithmetic of a settlement without a database, what the stored receipts
// (test_table_settlement.cpp) do not show on their own.
#include "settlement/settlement_totals.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>
#include <vector>

namespace tolven::settlement {
namespace {

VatRates Rates() {
  return VatRates{{Rate{0}, Rate::FromPercent(19), Rate::FromPercent(7), Rate::FromPercent(10)},
                  Rate::FromPercent(16), Rate::FromPercent(5)};
}

TotalsRow Row(int64_t gpreis, int key, int32_t gast = 0) { return TotalsRow{RowKind::Article, gpreis, 1, 0, gast, key}; }
TotalsRow Special(RowKind kind, int64_t gpreis) { return TotalsRow{kind, gpreis, 1, 0, 0, 0}; }

SettlementTotals Compute(const std::vector<TotalsRow>& rows, const std::string& zahlart = "BAR",
                         VatRates rates = Rates(), int32_t tableGuests = 0) {
  SettlementTotals t;
  Status status = ComputeTotals(rows, rates, tableGuests, zahlart, t);
  EXPECT_TRUE(status) << status.message();
  return t;
}

TEST(Totals, KeyZeroRowByRowOtherKeysOnTheSumsHalvesToEven) {
  // Key 0 with a rate: each row of 5 at 10 % has VAT round(5 - 4.545) = 0; on the sum 15 it would be 1.
  VatRates r = Rates();
  r.current[0] = Rate::FromPercent(10);
  SettlementTotals t = Compute({Row(5, 0), Row(5, 0), Row(5, 0)}, "BAR", r);
  EXPECT_EQ(t.sum[0], 15);
  EXPECT_EQ(t.mwst[0], 0);
  EXPECT_EQ(Compute({Row(10, 1), Row(10, 1), Row(10, 1)}).mwst[1], 5) << "19 % of each row: 6, of the sum: 5";
  // Keys 3, 11 and 12 use rate 3 and the old rates.
  t = Compute({Row(1100, 3), Row(1160, 11), Row(1050, 12)});
  EXPECT_EQ(std::vector<int64_t>({t.sum[3], t.mwst[3], t.sum[4], t.mwst[4], t.sum[5], t.mwst[5], t.turnover}),
            std::vector<int64_t>({1100, 100, 1160, 160, 1050, 50, 3310}));
  // At 100 % the net of an odd amount is exactly half a cent off: 1.5 -> 2, 2.5 -> 2.
  r.current[1] = Rate::FromPercent(100);
  EXPECT_EQ(Compute({Row(3, 1)}, "BAR", r).mwst[1], 1);
  EXPECT_EQ(Compute({Row(5, 1)}, "BAR", r).mwst[1], 3);
  // A bonus covered by key one lessens its VAT: 190 on 1190, less round(200 * 19 / 119) = 32.
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


}  // namespace
}  // namespace tolven::settlement
