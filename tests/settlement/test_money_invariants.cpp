#include <gtest/gtest.h>

#include "settlement/settlement_fixture.h"
#include "support/money_invariants.h"

namespace tolven::settlement::fixture {
namespace {

using testing::CheckMoneyInvariants;
using MoneyInvariants = SettlementFixture;

// The checker the racing and crash tests rely on: silent on a sound database,
// loud on each kind of damage those tests look for.
TEST_F(MoneyInvariants, CleanSettlementsPassAndEachKindOfDamageIsFound) {
  Orders(12, {{"COLA", 1, 250, 1, "", 10}, {"SALAT", 1, 535, 1, "", 20}});
  Order(5, {"POMMES", 1, 300});
  ASSERT_GT(Settle(12, "BAR"), 0);
  db.Exec("DELETE FROM bestellung WHERE tisch = 12");
  ASSERT_GT(Settle(5, "BAR"), 0);
  db.Exec("DELETE FROM bestellung WHERE tisch = 5");
  Order(7, {"KEY5", 1, 250});
  const auto clean = CheckMoneyInvariants(db.conn(), {"COLA", "SALAT", "POMMES", "KEY5"});
  EXPECT_TRUE(clean.empty()) << ::testing::PrintToString(clean);

  // Billed twice, and an open line billed as well.
  db.Exec("INSERT INTO kasspro (bunr, pos, artnr, posbetrag) VALUES (2, 9, 'SALAT', 0)");
  const auto twice = CheckMoneyInvariants(db.conn(), {"SALAT"});
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_NE(twice[0].find("SALAT: 0-mal offen, 2-mal"), std::string::npos) << twice[0];
  db.Exec("DELETE FROM kasspro WHERE pos = 9");

  // A cash balance that drifted, a receipt whose lines disagree, a doubled number.
  db.Exec("UPDATE barsaldo SET saldo = saldo + 1 WHERE bunr = 2");
  db.Exec("UPDATE kass SET betrag = betrag + 5 WHERE bunr = 1");
  db.Exec("UPDATE kass SET seqnr = 1");
  const auto damage = CheckMoneyInvariants(db.conn());
  auto has = [&](const std::string& part) {
    return std::any_of(damage.begin(), damage.end(), [&](const auto& p) { return p.find(part) != std::string::npos; });
  };
  EXPECT_TRUE(has("barsaldo Kasse 1: Saldo 1086")) << ::testing::PrintToString(damage);
  EXPECT_TRUE(has("Beleg 1: Zeilen ergeben 785, Betrag 790"));
  EXPECT_TRUE(has("kass.seqnr 1 2-mal"));
}

}  // namespace
}  // namespace tolven::settlement::fixture
