// Two stations on one table, station 2 on its own connection to the same
// database. Each reads the table's rows before its transaction, so the other
// may settle, change or add to them in between. A settlement stopped by the
// other station's lock (on the embedded engine the database's write lock, on
// the server the counter row the receipt number is drawn from, locked as a POS
// program does) is rolled back completely and run once more before it counts
// as failed. Vouchers are redeemed once only, also when two stations try at
// the same moment.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "db/dialect.h"
#include "settlement/receipt_record.h"
#include "settlement/settlement_fixture.h"
#include "settlement/settlement_work.h"
#include "support/lock_conflict.h"

namespace tolven::settlement::fixture {
namespace {

using SettlementConcurrency = SettlementFixture;

TEST_F(SettlementConcurrency, RowsChangedMeanwhileOrALockConflictStoreNothingOrRunOnceMore) {
  Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}, {"COLA", 1, 250}});
  std::string before = Stored();
  // A POS program raises a quantity meanwhile; another station settles one of the rows.
  for (const char* change : {"menge = 3 WHERE id = 2", "tisch = 13 WHERE id = 3"}) {
    auto rows = Rows(db.conn(), 12);
    db.Exec(std::string("UPDATE bestellung SET ") + change);
    EXPECT_EQ(Settle(12, "BAR", nullptr, rows.get()), -1) << change;
    EXPECT_EQ(refusal, "Tisch 12 wurde inzwischen geändert oder abgerechnet.");
    db.Exec("UPDATE bestellung SET menge = 1, tisch = 12 WHERE id IN (2, 3)");
    EXPECT_EQ(Stored(), before);
  }
  // What the bill is not made of (the kitchen's mark) may change.
  auto rowsOne = Rows(db.conn(), 12);
  auto rowsTwo = Rows(*second, 12);
  db.Exec("UPDATE bestellung SET haskuebon = -1");
  ASSERT_GT(Settle(12, "BAR", tools2.get(), rowsTwo.get()), 0);
  // The same rows once more: nothing is stored.
  before = Stored();
  EXPECT_EQ(Settle(12, "VISA", nullptr, rowsOne.get()), -1);
  EXPECT_EQ(Stored(), before);
  // A settlement stopped by the other station's lock runs once more, and no more.
  tolven::testing::CuedConnection watched(db.conn());
  db::StationContext tools(watched, db.state(), db.env(), db.ui());
  db.Exec("UPDATE uniquenr SET wert = 41 WHERE name = 'BUNR'");
  Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}});
  db.conn().SetCommandTimeout(0);  // no station waits for a lock here: a conflict shows at once
  const std::string counterRow = "UPDATE uniquenr SET wert = wert WHERE name = 'BUNR'";
  before = Stored();
  {
    // A second conflict fails the settlement with nothing stored.
    tolven::testing::HeldLock lock(*second, counterRow);
    EXPECT_EQ(Settle(12, "BAR", &tools), -1);
    EXPECT_EQ(watched.begins, 2) << "run once more, not more";
    EXPECT_TRUE(log.Has("FEHLER: Tisch 12")) << "a failure, not a refusal";
  }
  EXPECT_EQ(Stored(), before);
  // The other station finishes before the second run begins.
  watched.begins = 0;
  log.lines.clear();
  tolven::testing::HeldLock lock(*second, counterRow);
  watched.beginAt = 2;
  watched.action = [&] { lock.Release(); };
  EXPECT_EQ(Settle(12, "BAR", &tools), 41);
  EXPECT_TRUE(log.Has("Tisch 12: Sperrkonflikt mit einer anderen Station") && !log.Has("FEHLER"));
  // Station 2's receipt whole; the first run left nothing behind: one receipt, one number drawn, the rows gone.
  EXPECT_EQ(Dump("SELECT bunr, betrag, (SELECT COUNT(*) FROM kasspro), (SELECT wert FROM uniquenr WHERE name = "
                 "'BUNR'), (SELECT COUNT(*) FROM bestellung) FROM kass ORDER BY bunr"),
            "1|1285|5|42|0\n41|1035|5|42|0\n");
}

// On SQL Server the rows settled and the account charged stay locked to the
// commit, as the POS programs expect. The texts as sent; the engine under the
// test runs them in its own forms.
TEST_F(SettlementConcurrency, SqlServerLocksTheSettledRowsAndTheAccountCharged) {
  if (db.conn().dialect().Name() != std::string("SQLITE")) GTEST_SKIP() << "translated for SQLite";
  struct SqlServerTexts final : db::ForwardingConnection {
    using ForwardingConnection::ForwardingConnection;
    std::vector<std::string> locked;
    const db::Dialect& dialect() const override { return db::SqlServerDialect(); }
    Result<db::ResultSet> Query(const std::string& sql) override {
      if (sql.find(" WITH (UPDLOCK, ROWLOCK)") != std::string::npos) locked.push_back(sql);
      const std::string q = ReplaceAll(sql, " WITH (UPDLOCK, ROWLOCK)", "");
      return base().Query(StartsWith(q, "SELECT TOP 1 ") ? "SELECT " + q.substr(13) + " LIMIT 1" : q);
    }
  } conn(db.conn());
  db::StationContext tools(conn, db.state(), db.env(), db.ui());
  Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}}, 7);
  db.Exec("UPDATE kunden SET \"limit\" = 5000");
  std::string zahlart = "KDKTO";
  ASSERT_TRUE(
      TableSettlement(tools, log, nullptr).TischAbrechnen(*Rows(db.conn(), 12), 12, 3, zahlart, {7, true, false, {}}));
  EXPECT_EQ(conn.locked,
            (std::vector<std::string>{"SELECT id, " + detail::SettledColumns() +
                                          " FROM bestellung WITH (UPDLOCK, ROWLOCK) WHERE id IN (  1 ,  2 )",
                                      "SELECT [limit] FROM kunden WITH (UPDLOCK, ROWLOCK) WHERE kdnr =  7"}));
}

TEST_F(SettlementConcurrency, TwoStationsRedeemingOneVoucherAtOnceOnlyOneSucceeds) {
  // Station 1 has redeemed GS-10 in its open transaction when station 2 tries
  // the same; the engine holds station 2 until station 1 commits.
  db.Exec("INSERT INTO gutscheine (status, gsnr, betrag) VALUES (0, 'GS-10', 1000)");
  Status begun = db.conn().BeginTrans();
  ASSERT_TRUE(begun) << begun.message();
  ASSERT_TRUE(MarkVoucherRedeemed(db.tools(), ReceiptContext{1, 1, db.env().Now(), 12, 0, 0, 3, "MIX"}, "GS-10", 1000));
  bool redeemed2 = false;
  std::thread station2([&] {
    if (!second->BeginTrans()) return;
    const Status marked =
        MarkVoucherRedeemed(*tools2, ReceiptContext{2, 2, db.env().Now(), 14, 0, 0, 3, "MIX"}, "GS-10", 1000);
    redeemed2 = marked.ok() && second->CommitTrans().ok();
    if (!redeemed2) (void)second->RollbackTrans();
  });
  // Give station 2 time to reach the voucher (it waits there either way).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Status committed = db.conn().CommitTrans();
  ASSERT_TRUE(committed) << committed.message();
  station2.join();
  EXPECT_FALSE(redeemed2) << "the voucher paid twice";
  EXPECT_EQ(Dump("SELECT gsnr, status, kasse_einl, bunr_einl FROM gutscheine WHERE gsnr = 'GS-10'"), "GS-10|1|1|1\n");
}

}  // namespace
}  // namespace tolven::settlement::fixture
