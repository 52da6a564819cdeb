#include "settlement/ledgers.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/test_db.h"

namespace tolven::settlement {
namespace {

using testing::TestDb;

class LedgersTest : public ::testing::Test {
 protected:
  std::string Row(const std::string& sql) {
    db::DbError e;
    auto rs = db.conn().Query(sql, e);
    EXPECT_TRUE(rs) << e.text;
    std::string out;
    if (!rs || rs->Eof()) return out;
    for (size_t i = 0; i < rs->ColumnCount(); ++i) out += (i ? "|" : "") + rs->Raw(i).AsString();
    return out;
  }

  TestDb db;
  db::DbError err;
};

TEST(Msecs, HundredthsSinceMidnight) {
  EXPECT_EQ(Msecs(DateTime{Date{2026, 12, 5}, 12, 0, 0, 379}), 4320037);
  EXPECT_EQ(Msecs(DateTime{Date{2026, 12, 5}, 0, 0, 0, 9}), 0);
  EXPECT_EQ(Msecs(DateTime{Date{2026, 12, 5}, 23, 59, 59, 999}), 8639999);
}

TEST_F(LedgersTest, CustomerAccountRunsItsBalancePerCustomer) {
  EXPECT_EQ(BookKdkto(db.tools(), 7, -1250, "Besuch vom 05.12.2026", 11, 21, err), 1) << err.text;
  db.env().Advance(1000);
  EXPECT_EQ(BookKdkto(db.tools(), 8, 300, "Einzahlung", 0, 0, err), 2);
  db.env().Advance(1000);
  EXPECT_EQ(BookKdkto(db.tools(), 7, 500, "Einzahlung", 0, 0, err), 3);
  EXPECT_EQ(Row("SELECT kdktobunr, datumzeit, msecs, kdnr, bunr, seqnr, txt, betrag, saldo FROM kdkto WHERE kdktobunr = 1"),
            "1|2026-12-05 12:00:00|4320000|7|11|21|Besuch vom 05.12.2026|-1250|-1250");
  EXPECT_EQ(db.Scalar("SELECT saldo FROM kdkto WHERE kdktobunr = 3"), "-750");
  EXPECT_EQ(db.Scalar("SELECT saldo FROM kdkto WHERE kdktobunr = 2"), "300");
}

TEST_F(LedgersTest, TwoBookingsInOneSecondFollowEachOther) {
  ASSERT_TRUE(BookBarsaldo(db.tools(), 1, 1000, "VERKAUF", err)) << err.text;
  db.env().Advance(10);
  ASSERT_TRUE(BookBarsaldo(db.tools(), 2, 200, "VERKAUF", err));
  db.env().Advance(10);
  ASSERT_TRUE(BookBarsaldo(db.tools(), 3, -50, "Auszahlung Gast", err));
  EXPECT_EQ(db.Scalar("SELECT saldo FROM barsaldo WHERE lfdnr = 3"), "1150");
  ASSERT_TRUE(BookKdkto(db.tools(), 5, 100, "a", 0, 0, err));
  db.env().Advance(10);
  ASSERT_TRUE(BookKdkto(db.tools(), 5, 100, "b", 0, 0, err));
  db.env().Advance(10);
  ASSERT_TRUE(BookKdkto(db.tools(), 5, 100, "c", 0, 0, err));
  EXPECT_EQ(db.Scalar("SELECT saldo FROM kdkto WHERE txt = 'c'"), "300");
}

TEST_F(LedgersTest, BonusPointsRunPerCustomer) {
  ASSERT_TRUE(BookBkto(db.tools(), 3, 120, "Gutschrift", err)) << err.text;
  db.env().Advance(1000);
  ASSERT_TRUE(BookBkto(db.tools(), 3, -50, "Bonus-Ausschüttung Kasse", err));
  EXPECT_EQ(Row("SELECT kdnr, txt, punkte, saldo FROM bkto ORDER BY datumzeit DESC"),
            "3|Bonus-Ausschüttung Kasse|-50|70");
}

TEST_F(LedgersTest, JournalBooksTheCashBalanceOnlyForExactlyBar) {
  db.state().kaNr = 9;
  db.state().kaName = "Gateway";
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 41, 51, "BAR", 1725, "VERKAUF", 7, err)) << err.text;
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 42, 52, "BARGELD", 500, "VERKAUF", 0, err)) << err.text;
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
  ASSERT_TRUE(BookKdkto(db.tools(), 1, 1, text, 0, 0, err));
  ASSERT_TRUE(BookBkto(db.tools(), 1, 1, text, err));
  ASSERT_TRUE(BookBarsaldo(db.tools(), 1, 1, text, err));
  ASSERT_TRUE(BookBuch2(db.tools(), 0, 1, 1, "KREDITKARTE", 1, text, 0, err));
  EXPECT_EQ(db.Scalar("SELECT txt FROM kdkto").size(), 40u);
  EXPECT_EQ(db.Scalar("SELECT txt FROM bkto").size(), 40u);
  EXPECT_EQ(db.Scalar("SELECT txt FROM barsaldo").size(), 40u);
  EXPECT_EQ(db.Scalar("SELECT txt FROM buch2").size(), 30u);
  EXPECT_EQ(db.Scalar("SELECT zahlart FROM buch2"), "KREDIT");
}

TEST_F(LedgersTest, ABalanceBeyond32BitsIsRefusedAndNothingBooked) {
  const int32_t max = std::numeric_limits<int32_t>::max();
  ASSERT_TRUE(BookKdkto(db.tools(), 1, max, "voll", 0, 0, err));
  db.env().Advance(1000);
  EXPECT_EQ(BookKdkto(db.tools(), 1, 1, "zuviel", 0, 0, err), 0);
  EXPECT_NE(err.text.find("Saldo"), std::string::npos);
  EXPECT_EQ(db.Count("kdkto"), 1);
  EXPECT_EQ(db.Scalar("SELECT wert FROM uniquenr WHERE name = 'KDKTOBUNR'"), "2") << "no number drawn";
}

TEST_F(LedgersTest, AFailingCashBalanceFailsTheJournalBookingWithItsReason) {
  db.FailInserts("barsaldo", "Kassenlade gesperrt");
  EXPECT_FALSE(BookBuch2(db.tools(), 0, 1, 1, "BAR", 100, "VERKAUF", 0, err));
  EXPECT_NE(err.text.find("Kassenlade gesperrt"), std::string::npos) << err.text;
  // Outside a transaction the journal row stays; inside the settlement the rollback removes it.
  EXPECT_TRUE(BookBuch2(db.tools(), 0, 1, 1, "EC", 100, "VERKAUF", 0, err)) << err.text;
}

}  // namespace
}  // namespace tolven::settlement
