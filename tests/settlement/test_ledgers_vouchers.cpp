// The ledgers: running balances when bookings pile up within one second, what
// the journal books, texts and sums that do not fit; and vouchers that may be
// redeemed once only: by an existing, open voucher of enough value, also when
// two stations try at the same moment.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
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

using LedgerBalances = SettlementFixture;

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

  // Every running balance and number (the checker), and bonus bookings that never tie.
  EXPECT_EQ(tolven::testing::CheckMoneyInvariants(db.conn()), std::vector<std::string>{});
  EXPECT_EQ(db.Scalar("SELECT COUNT(DISTINCT datumzeit) FROM bkto"), "12");
  EXPECT_EQ(db.Scalar("SELECT saldo FROM bkto WHERE punkte = -5 ORDER BY datumzeit DESC"), "-90");

  EXPECT_EQ(LatestKdktoSaldo(db.tools(), 7).value_or(-1), -(250 + 252 + 254 - 3 * 15 - 3 * 100));
  EXPECT_EQ(LatestKdktoSaldo(db.tools(), 8).value_or(-1), 0) << "a customer without bookings";
}

TEST_F(LedgerBalances, JournalBooksTheCashBalanceOnlyForExactlyBar) {
  db.state().kaNr = 9;
  db.state().kaName = "Gateway";
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 41, 51, "BAR", 1725, "VERKAUF", 7));
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 42, 52, "BARGELD", 500, "VERKAUF", 0));
  EXPECT_EQ(Dump("SELECT bunr2, bunr, seqnr, typ, datumzeit, zahlart, betrag, kasse, kanr, kaname, crc, kdnr, txt "
                 "FROM buch2 WHERE bunr2 = 1"),
            "1|41|51|0|2026-12-05 12:00:00|BAR|1725|1|9|Gateway|" + RecordCRC(Date{2026, 12, 5}, 1, 1725) +
                "|7|VERKAUF\n");
  EXPECT_EQ(db.Scalar("SELECT zahlart FROM buch2 WHERE bunr2 = 2"), "BARGEL");
  EXPECT_EQ(Dump("SELECT lfdnr, kasse, bunr, txt, kanr, kaname, betrag, saldo FROM barsaldo"),
            "1|1|41|VERKAUF|9|Gateway|1725|1725\n");
}

TEST_F(LedgerBalances, LongTextsAreCutToTheirColumns) {
  const std::string text(60, 'x');
  ASSERT_TRUE(BookKdkto(db.tools(), 1, 1, text, 0, 0));
  ASSERT_TRUE(BookBkto(db.tools(), 1, 1, text));
  ASSERT_TRUE(BookBarsaldo(db.tools(), 1, 1, text));
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 1, 1, "KREDITKARTE", 1, text, 0));
  EXPECT_EQ(Dump("SELECT LENGTH(k.txt), LENGTH(b.txt), LENGTH(s.txt), LENGTH(j.txt), j.zahlart "
                 "FROM kdkto k, bkto b, barsaldo s, buch2 j"),
            "40|40|40|30|KREDIT\n");
}

TEST_F(LedgerBalances, ABalanceBeyond32BitsIsRefusedAndNothingBooked) {
  ASSERT_TRUE(BookKdkto(db.tools(), 1, std::numeric_limits<int32_t>::max(), "voll", 0, 0));
  db.env().Advance(1000);
  const auto refused = BookKdkto(db.tools(), 1, 1, "zuviel", 0, 0);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.status().message().find("Saldo"), std::string::npos);
  EXPECT_EQ(db.Count("kdkto"), 1);
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
    EXPECT_EQ(Settle(12, "BAR"), -1);
    EXPECT_NE(lastError.find(c.reason), std::string::npos) << lastError;
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

TEST_F(Vouchers, TwoStationsRedeemingOneVoucherAtOnceOnlyOneSucceeds) {
  // Station 2 has its own connection to the same database. Station 1 has
  // redeemed GS-10 in its open transaction when station 2 tries the same; the
  // engine holds station 2 until station 1 commits.
  Second();

  db::DbError err1, err2;
  ASSERT_TRUE(db.conn().BeginTrans(err1)) << err1.text;
  const ReceiptContext ctx1{1, 1, db.env().Now(), 12, 0, 0, 3, "MIX"};
  ASSERT_TRUE(MarkVoucherRedeemed(db.tools(), ctx1, "GS-10", 1000));

  bool redeemed2 = false;
  std::thread station2([&] {
    if (!second->BeginTrans(err2)) return;
    const ReceiptContext ctx2{2, 2, db.env().Now(), 14, 0, 0, 3, "MIX"};
    const Status marked = MarkVoucherRedeemed(*tools2, ctx2, "GS-10", 1000);
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
