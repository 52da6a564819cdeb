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
  SettlementRetry() : second_(db.OpenSecond()), watched_(db.conn()), tools_(watched_, db.state(), db.env(), db.ui()) {
    db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('BUNR', 41, 1, 999999999)");
    Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}});
    // No station waits for a lock here: a conflict shows at once.
    db.conn().SetCommandTimeout(0);
  }

  int32_t SettleWatched() { return Settle(12, zahlart_, 3, &tools_); }

  std::string Stored() {
    return Dump("SELECT COUNT(*) FROM kass") + Dump("SELECT COUNT(*) FROM kasspro") +
           Dump("SELECT COUNT(*) FROM buch2") + Dump("SELECT name, wert FROM uniquenr ORDER BY name") +
           Dump("SELECT id FROM bestellung ORDER BY id");
  }

  std::unique_ptr<db::Connection> second_;
  WatchedConnection watched_;
  db::DbTools tools_;
  std::string zahlart_ = "BAR";
  const std::string counterRow_ = "UPDATE uniquenr SET wert = wert WHERE name = 'BUNR'";
};

TEST_F(SettlementRetry, AfterALockConflictTheWholeSettlementRunsOnceMore) {
  HeldLock lock(*second_, counterRow_);
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

TEST_F(SettlementRetry, ASecondConflictFailsTheSettlementWithNothingStored) {
  const std::string before = Stored();
  HeldLock lock(*second_, counterRow_);
  EXPECT_EQ(SettleWatched(), -1);
  EXPECT_EQ(watched_.begins, 2) << "run once more, not more";
  EXPECT_TRUE(log.Has("FEHLER: Tisch 12")) << "a failure, not a refusal";
  lock.Release();
  EXPECT_EQ(Stored(), before);
  // With the lock gone the table is settled as usual.
  EXPECT_EQ(SettleWatched(), 41);
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
  db::DbError err;
  auto rs = db.conn().Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = 12", err);
  ASSERT_TRUE(rs) << err.text;
  db.Exec("UPDATE bestellung SET menge = 4 WHERE artnr = 'COLA'");
  TableSettlement m(tools_, log, nullptr, settings);
  std::string z = "BAR";
  EXPECT_FALSE(m.TischAbrechnen(*rs, 12, 3, z));
  EXPECT_FALSE(m.lastRefusal().empty());
  EXPECT_EQ(watched_.begins, 2);
}

}  // namespace
}  // namespace tolven::settlement::fixture
