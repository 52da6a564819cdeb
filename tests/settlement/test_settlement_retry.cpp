// A settlement stopped by another station's lock (a deadlock, a lock wait run
// out) is rolled back completely and run once more before it counts as
// failed. The other station holds a real lock on its own connection: on the
// embedded engine the database's write lock, on the server the counter row a
// settlement draws its receipt number from, locked as a POS program does.
#include <gtest/gtest.h>

#include "settlement/settlement_fixture.h"
#include "support/lock_conflict.h"

namespace tolven::settlement::fixture {
namespace {

using tolven::testing::HeldLock;
using tolven::testing::WatchedConnection;

class SettlementRetry : public SettlementFixture {
 protected:
  SettlementRetry() : watched_(db.conn()), tools_(watched_, db.state(), db.env(), db.ui()) {
    Second();
    db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('BUNR', 41, 1, 999999999)");
    Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}});
    // No station waits for a lock here: a conflict shows at once.
    db.conn().SetCommandTimeout(0);
  }

  int32_t SettleWatched() { return Settle(12, zahlart_, &tools_); }

  WatchedConnection watched_;
  db::DbTools tools_;
  std::string zahlart_ = "BAR";
  const std::string counterRow_ = "UPDATE uniquenr SET wert = wert WHERE name = 'BUNR'";
};

TEST_F(SettlementRetry, AfterALockConflictTheWholeSettlementRunsOnceMoreAndNoMore) {
  const std::string before = Stored();
  {
    // A second conflict fails the settlement with nothing stored.
    HeldLock lock(*second, counterRow_);
    EXPECT_EQ(SettleWatched(), -1);
    EXPECT_EQ(watched_.begins, 2) << "run once more, not more";
    EXPECT_TRUE(log.Has("FEHLER: Tisch 12")) << "a failure, not a refusal";
  }
  EXPECT_EQ(Stored(), before);
  watched_.begins = 0;
  log.lines.clear();
  HeldLock lock(*second, counterRow_);
  // The other station finishes before the second run begins.
  watched_.beginAt = 2;
  watched_.action = [&] { lock.Release(); };
  EXPECT_EQ(SettleWatched(), 41);
  EXPECT_EQ(watched_.begins, 2);
  ASSERT_FALSE(log.lines.empty());
  EXPECT_NE(log.lines.front().find("Tisch 12: Sperrkonflikt mit einer anderen Station"), std::string::npos)
      << log.lines.front();
  EXPECT_FALSE(log.Has("FEHLER"));
  // The first run left nothing behind: one receipt, one number drawn, the rows gone.
  EXPECT_EQ(Dump("SELECT bunr, betrag FROM kass"), "41|1035\n");
  EXPECT_EQ(Dump("SELECT COUNT(*) FROM kasspro"), "2\n");
  EXPECT_EQ(Counter("BUNR"), "42");
  EXPECT_EQ(db.Count("bestellung"), 0);
}

// Other failures and refusals are final at the first run.
TEST_F(SettlementRetry, OtherFailuresAreNotRepeated) {
  const std::string before = Stored();
  db.FailInserts("kasspro", "Zeile abgelehnt");
  EXPECT_EQ(SettleWatched(), -1);
  EXPECT_EQ(watched_.begins, 1);
  EXPECT_EQ(Stored(), before);
  db.StopFailingInserts("kasspro");
  db.Exec("UPDATE bestellung SET menge = 3 WHERE artnr = 'COLA'");
  auto rs = Rows(db.conn(), 12);
  db.Exec("UPDATE bestellung SET menge = 4 WHERE artnr = 'COLA'");
  EXPECT_EQ(SettleRows(tools_, *rs, 12, "BAR"), -1);
  EXPECT_FALSE(refusal.empty());
  EXPECT_EQ(watched_.begins, 2);
}

}  // namespace
}  // namespace tolven::settlement::fixture
