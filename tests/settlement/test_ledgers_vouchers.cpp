// Running balances of the ledgers when bookings pile up within one second, and
// vouchers that may be redeemed once only: by an existing, open voucher of
// enough value, also when two stations try at the same moment.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "settlement/ledgers.h"
#include "settlement/receipt_record.h"
#include "settlement_fixture.h"
#include "support/money_invariants.h"

namespace tolven::settlement {
namespace {

using fixture::OrderLine;
using fixture::SettlementFixture;

class LedgerBalances : public SettlementFixture {
 protected:
  // One line per booking whose balance is not the previous balance plus its
  // amount; `order` lists the rows oldest first.
  std::vector<std::string> BrokenBalances(const std::string& table, const std::string& amount,
                                          const std::string& order) {
    db::DbError err;
    auto rs = db.conn().Query("SELECT " + amount + " AS betrag, saldo FROM " + table + " " + order, err);
    EXPECT_TRUE(rs) << err.text;
    std::vector<std::string> broken;
    int64_t balance = 0;
    for (int row = 1; rs && !rs->Eof(); rs->MoveNext(), ++row) {
      balance += db::GetFieldValue(*rs, "betrag").AsInt64();
      const int64_t saldo = db::GetFieldValue(*rs, "saldo").AsInt64();
      if (saldo != balance) {
        broken.push_back(table + " row " + std::to_string(row) + ": saldo " + std::to_string(saldo) + ", expected " +
                         std::to_string(balance));
        balance = saldo;
      }
    }
    return broken;
  }
};

TEST_F(LedgerBalances, ManyBookingsWithinOneSecondKeepEveryRunningBalance) {
  // The clock stands still: every booking of every settlement falls into the
  // same second (and the same millisecond).
  for (int round = 0; round < 6; ++round) {
    Orders(12, {{"COLA", 1, 250 + round}, {"$$$BONUS", 1, -10, 1, "10"}, {"$$$BONUS", 1, -5, 1, "5"},
                {"$$BAR", 1, -100}},
           7);
    ASSERT_GT(Settle(12, round % 2 ? "BAR" : "KDKTO"), 0) << "round " << round;
    db.Exec("DELETE FROM bestellung WHERE tisch = 12");
  }
  ASSERT_EQ(db.Count("kdkto"), 3);
  ASSERT_EQ(db.Count("bkto"), 12);
  ASSERT_EQ(db.Count("barsaldo"), 9);

  EXPECT_EQ(BrokenBalances("kdkto", "betrag", "WHERE kdnr = 7 ORDER BY kdktobunr"), std::vector<std::string>{});
  EXPECT_EQ(BrokenBalances("barsaldo", "betrag", "WHERE kasse = 1 ORDER BY lfdnr"), std::vector<std::string>{});
  EXPECT_EQ(BrokenBalances("bkto", "punkte", "WHERE kdnr = 7 ORDER BY datumzeit"), std::vector<std::string>{});
  EXPECT_EQ(db.Scalar("SELECT COUNT(DISTINCT datumzeit) FROM bkto"), "12") << "bonus bookings never tie";
  EXPECT_EQ(tolven::testing::CheckMoneyInvariants(db.conn()), std::vector<std::string>{});
  EXPECT_EQ(db.Scalar("SELECT saldo FROM bkto WHERE punkte = -5 ORDER BY datumzeit DESC"), "-90");

  EXPECT_EQ(LatestKdktoSaldo(db.tools(), 7).value_or(-1), -(250 + 252 + 254 - 3 * 15 - 3 * 100));
  EXPECT_EQ(LatestKdktoSaldo(db.tools(), 8).value_or(-1), 0) << "a customer without bookings";
}

TEST_F(LedgerBalances, BookingsContinueFromWhatAnotherStationBookedInTheSameSecond) {
  // Rows of another station whose clock runs a little ahead: the same second,
  // later hundredths, lower booking numbers than ours. Bonus rows to the second.
  db.Exec("INSERT INTO bkto (datumzeit, kdnr, txt, punkte, saldo) VALUES ('2026-12-05 12:00:00', 7, 'Kasse', 40, 40)");
  db.Exec("INSERT INTO kdkto (kdktobunr, datumzeit, msecs, kdnr, txt, betrag, saldo) VALUES "
          "(5, '2026-12-05 11:00:00', 0, 7, 'Kasse', -100, -100), "
          "(6, '2026-12-05 12:00:00', 4320050, 7, 'Kasse', -20, -120)");
  db.Exec("INSERT INTO barsaldo (datumzeit, msecs, lfdnr, kasse, txt, betrag, saldo) VALUES "
          "('2026-12-05 12:00:00', 4320050, 3, 1, 'Kasse', 500, 500)");
  db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('KDKTOBUNR', 7, 1, 999999999), "
          "('BARSNR', 4, 1, 99999999)");
  ASSERT_TRUE(BookBkto(db.tools(), 7, -15, "Bonus"));
  ASSERT_TRUE(BookKdkto(db.tools(), 7, -30, "Besuch", 0, 0));
  ASSERT_TRUE(BookKdkto(db.tools(), 7, -40, "Besuch", 0, 0));
  ASSERT_TRUE(BookBarsaldo(db.tools(), 1, 100, "VERKAUF"));
  ASSERT_TRUE(BookBarsaldo(db.tools(), 2, 200, "VERKAUF"));
  EXPECT_EQ(db.Scalar("SELECT saldo FROM bkto WHERE punkte = -15"), "25");
  EXPECT_EQ(Dump("SELECT kdktobunr, saldo FROM kdkto ORDER BY kdktobunr"), "5|-100\n6|-120\n7|-150\n8|-190\n");
  EXPECT_EQ(Dump("SELECT lfdnr, saldo FROM barsaldo ORDER BY lfdnr"), "3|500\n4|600\n5|800\n");
}

TEST_F(LedgerBalances, TheHourTheClocksGoBackKeepsTheBalancesRunning) {
  // 25.10.2026: at 01:00 UTC local time goes from 03:00 summer time back to 02:00.
  const int64_t change = DaysFromCivil(Date{2026, 10, 25}) * 86400 + 3600;
  db.env().utcOffset = [change](int64_t t) { return t < change ? 7200 : 3600; };
  db.env().SetNow({{2026, 10, 25}, 1, 30, 0, 0});
  db.env().Advance(80 * 60 * 1000);  // 02:50 summer time
  auto book = [&] {
    ASSERT_TRUE(BookKdkto(db.tools(), 7, -10, "Besuch", 0, 0));
    ASSERT_TRUE(BookBarsaldo(db.tools(), 0, 100, "VERKAUF"));
    db.env().Advance(5 * 60 * 1000);
  };
  for (int i = 0; i < 2; ++i) book();
  db.env().Advance(5 * 60 * 1000);
  ASSERT_EQ(FormatHMS(db.env().Now()), "02:05:00") << "winter time";
  for (int i = 0; i < 3; ++i) book();

  EXPECT_EQ(BrokenBalances("kdkto", "betrag", "WHERE kdnr = 7 ORDER BY kdktobunr"), std::vector<std::string>{});
  EXPECT_EQ(BrokenBalances("barsaldo", "betrag", "WHERE kasse = 1 ORDER BY lfdnr"), std::vector<std::string>{});
  EXPECT_EQ(LatestKdktoSaldo(db.tools(), 7).value_or(-1), -50);
}

class Vouchers : public SettlementFixture {
 protected:
  void SetUp() override {
    db.Exec("INSERT INTO gutscheine (status, gsnr, betrag) VALUES (0, 'GS-10', 1000), (1, 'GS-OLD', 1000), "
            "(0, 'GS-5', 500)");
  }
  std::string Redeemed() { return Dump("SELECT gsnr, status, bunr_einl FROM gutscheine ORDER BY gsnr"); }
  // Nothing of a refused settlement may remain.
  void ExpectNothingStored() {
    for (const char* table : {"kass", "kasspro", "buch2", "barsaldo"}) EXPECT_EQ(db.Count(table), 0) << table;
    EXPECT_EQ(Redeemed(), "GS-10|0|\nGS-5|0|\nGS-OLD|1|\n");
  }
};

TEST_F(Vouchers, OnlyAnExistingOpenVoucherOfEnoughValueIsRedeemed) {
  const struct {
    const char* info;
    int amount;
    const char* reason;
  } refused[] = {
      {"GS-99", -500, "Gutschein GS-99 ist unbekannt."},
      {"GS-OLD", -500, "Gutschein GS-OLD wurde bereits eingelöst."},
      {"GS-5", -800, "Gutschein GS-5 über 5.00 reicht nicht für 8.00."},
      {"GS-1%", -500, "Gutschein GS-1% ist unbekannt."},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.info);
    Orders(12, {{"COLA", 1, 1000}, {"$$$GS", 1, c.amount, 1, c.info}});
    TableSettlement settlement(db.tools(), log, nullptr, settings);
    db::DbError err;
    auto rows = db.conn().Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = 12", err);
    ASSERT_TRUE(rows);
    std::string zahlart = "BAR";
    const auto settled = settlement.TischAbrechnen(*rows, 12, 3, zahlart);
    ASSERT_FALSE(settled);
    EXPECT_NE(settled.status().message().find(c.reason), std::string::npos) << settled.status().message();
    EXPECT_TRUE(log.Has(c.reason));
    ExpectNothingStored();
    db.Exec("DELETE FROM bestellung");
  }

  // The same voucher twice on one receipt pays once only.
  Orders(12, {{"COLA", 1, 2000}, {"$$$GS", 1, -1000, 1, "GS-10"}, {"$$$GS", 1, -1000, 1, "GS-10"}});
  EXPECT_EQ(Settle(12, "BAR"), -1);
  ExpectNothingStored();
  db.Exec("DELETE FROM bestellung");

  // A voucher worth more than the amount, and a redemption without a number.
  Orders(12, {{"COLA", 1, 2000}, {"$$$GS", 1, -700, 1, "GS-10"}, {"$$$GS", 1, -300, 1, ""}});
  ASSERT_EQ(Settle(12, "BAR"), 1);
  EXPECT_EQ(Redeemed(), "GS-10|1|1\nGS-5|0|\nGS-OLD|1|\n");
  EXPECT_EQ(db.Scalar("SELECT sumgsin FROM kass WHERE bunr = 1"), "1000");
}

TEST_F(Vouchers, ASingleSettlementRedeemsTheSameVoucherOnce) {
  // A single-purpose voucher goes the same way.
  db.Exec("INSERT INTO gutscheine (status, gsnr, typ, betrag) VALUES (0, 'EZ-2', 1, 500)");
  Orders(12, {{"COLA", 1, 1000}, {"$$$EZGS", 1, -500, 1, "EZ-2"}});
  ASSERT_EQ(Settle(12, "BAR"), 1);
  db.Exec("DELETE FROM bestellung");
  Orders(12, {{"COLA", 1, 1000}, {"$$$EZGS", 1, -500, 1, "EZ-2"}});
  EXPECT_EQ(Settle(12, "BAR"), -1);
  EXPECT_EQ(db.Count("kass"), 1);
  EXPECT_EQ(db.Scalar("SELECT bunr_einl FROM gutscheine WHERE gsnr = 'EZ-2'"), "1");
}

TEST_F(Vouchers, TwoStationsRedeemingOneVoucherAtOnceOnlyOneSucceeds) {
  // Station 2 has its own connection to the same database. Station 1 has
  // redeemed GS-10 in its open transaction when station 2 tries the same; the
  // engine holds station 2 until station 1 commits.
  std::unique_ptr<db::Connection> second = db.OpenSecond();
  ASSERT_TRUE(second);
  StartupState state2 = db.state();
  state2.kasse = 2;
  db::DbTools tools2(*second, state2, db.env(), db.ui());

  db::DbError err1, err2;
  ASSERT_TRUE(db.conn().BeginTrans(err1)) << err1.text;
  const ReceiptContext ctx1{1, 1, db.env().Now(), 12, 0, 0, 3, "MIX"};
  ASSERT_TRUE(MarkVoucherRedeemed(db.tools(), ctx1, "GS-10", 1000));

  bool redeemed2 = false;
  std::thread station2([&] {
    if (!second->BeginTrans(err2)) return;
    const ReceiptContext ctx2{2, 2, db.env().Now(), 14, 0, 0, 3, "MIX"};
    const Status marked = MarkVoucherRedeemed(tools2, ctx2, "GS-10", 1000);
    err2.text = marked.message();
    redeemed2 = marked.ok();
    db::DbError ignored;
    if (redeemed2) {
      redeemed2 = second->CommitTrans(err2);
    } else {
      second->RollbackTrans(ignored);
    }
  });
  // Give station 2 time to reach the voucher (it waits there either way).
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(db.conn().CommitTrans(err1)) << err1.text;
  station2.join();

  EXPECT_FALSE(redeemed2) << "the voucher paid twice";
  EXPECT_FALSE(err2.text.empty());
  EXPECT_EQ(Dump("SELECT gsnr, status, kasse_einl, bunr_einl FROM gutscheine WHERE gsnr = 'GS-10'"), "GS-10|1|1|1\n");
}

}  // namespace
}  // namespace tolven::settlement
