// Two stations on one table: each reads the table's rows before its
// transaction, so the other may settle, change or add to them in between.
// Station 2 has its own connection to the same database.
#include <gtest/gtest.h>

#include "settlement/settlement_fixture.h"

namespace tolven::settlement::fixture {
namespace {

class SettlementConcurrency : public SettlementFixture {
 protected:
  SettlementConcurrency() : second_(db.OpenSecond()), state2_(db.state()) {
    state2_.kasse = 2;
    tools2_ = std::make_unique<db::DbTools>(*second_, state2_, db.env(), db.ui());
  }

  // The rows as the terminal-request handler reads them, on one station's connection.
  std::unique_ptr<db::ResultSet> Read(db::Connection& conn, int tisch) {
    db::DbError err;
    auto rs = conn.Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = " + NumStr(tisch) +
                             " ORDER BY id",
                         err);
    EXPECT_TRUE(rs) << err.text;
    return rs;
  }
  int32_t SettleOn(db::DbTools& tools, db::ResultSet& rows, int tisch, const char* zahlart,
                   const SettleRequest& request = {}) {
    TableSettlement m(tools, log, nullptr, settings);
    std::string z = zahlart;
    const int32_t bunr = m.TischAbrechnen(rows, tisch, 3, z, request).value_or(-1);
    refusal = m.lastRefusal();
    return bunr;
  }
  void OnSecond(const std::string& sql) {
    db::DbError err;
    ASSERT_TRUE(second_->Execute(sql, err)) << sql << ": " << err.text;
  }
  // Everything a settlement stores, to see that a refused one stored nothing.
  std::string Stored() {
    return Dump("SELECT COUNT(*) FROM kass") + Dump("SELECT COUNT(*) FROM kasspro") +
           Dump("SELECT COUNT(*) FROM buch2") + Dump("SELECT COUNT(*) FROM barsaldo") +
           Dump("SELECT COUNT(*) FROM kdkto") + Dump("SELECT name, wert FROM uniquenr ORDER BY name") +
           Dump("SELECT id, tisch, menge, kdnr, gast FROM bestellung ORDER BY id");
  }

  std::unique_ptr<db::Connection> second_;
  StartupState state2_;
  std::unique_ptr<db::DbTools> tools2_;
  std::string refusal;
};

TEST_F(SettlementConcurrency, TheSecondSettlementOfTheSameRowsStoresNothing) {
  Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}});
  auto rowsOne = Read(db.conn(), 12);
  auto rowsTwo = Read(*second_, 12);
  ASSERT_GT(SettleOn(*tools2_, *rowsTwo, 12, "BAR"), 0);
  const std::string afterFirst = Stored();
  EXPECT_EQ(Dump("SELECT COUNT(*) FROM bestellung"), "0\n") << "the settled rows leave with the commit";

  EXPECT_EQ(SettleOn(db.tools(), *rowsOne, 12, "VISA"), -1);
  EXPECT_EQ(refusal, "Tisch 12 wurde inzwischen geändert oder abgerechnet.");
  EXPECT_EQ(Stored(), afterFirst);
  EXPECT_TRUE(log.Has("Tisch 12 nicht abgerechnet: Tisch 12 wurde inzwischen"));
  EXPECT_EQ(Dump("SELECT COUNT(*), SUM(betrag) FROM buch2"), "1|1035\n");
}

TEST_F(SettlementConcurrency, RowsChangedOrPartlyGoneRefuseTheWholeSettlement) {
  Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}, {"COLA", 1, 250}});
  const std::string before = Stored();
  // A POS program raises a quantity meanwhile.
  auto rows = Read(db.conn(), 12);
  OnSecond("UPDATE bestellung SET menge = 3 WHERE id = 2");
  EXPECT_EQ(SettleOn(db.tools(), *rows, 12, "BAR"), -1);
  EXPECT_FALSE(refusal.empty());
  OnSecond("UPDATE bestellung SET menge = 1 WHERE id = 2");
  EXPECT_EQ(Stored(), before);
  // Another station settled one of the rows.
  rows = Read(db.conn(), 12);
  OnSecond("UPDATE bestellung SET tisch = 13 WHERE id = 3");
  EXPECT_EQ(SettleOn(db.tools(), *rows, 12, "BAR"), -1);
  OnSecond("UPDATE bestellung SET tisch = 12 WHERE id = 3");
  EXPECT_EQ(Stored(), before);
  // What the bill is not made of (the kitchen's mark) may change.
  rows = Read(db.conn(), 12);
  OnSecond("UPDATE bestellung SET haskuebon = -1");
  EXPECT_GT(SettleOn(db.tools(), *rows, 12, "BAR"), 0);
  EXPECT_EQ(Dump("SELECT betrag FROM kass"), "1285\n");
  EXPECT_EQ(db.Count("bestellung"), 0);
}

TEST_F(SettlementConcurrency, ALineBookedDuringTheSettlementStaysOpen) {
  Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}});
  auto rows = Read(db.conn(), 12);
  OnSecond("INSERT INTO bestellung (tisch, kanr, kdnr, gast, artnr, artbez, artgrp, menge, epreis, rabatt) "
           "VALUES (12, 3, 0, 1, 'POMMES', 'Pommes', 20, 1, 390, 0)");
  ASSERT_GT(SettleOn(db.tools(), *rows, 12, "BAR"), 0);
  EXPECT_EQ(Dump("SELECT tisch, artnr, menge, epreis FROM bestellung"), "12|POMMES|1|390\n");
  EXPECT_EQ(Dump("SELECT betrag FROM kass"), "1035\n");
}

TEST_F(SettlementConcurrency, TwoPaymentsOnOneAccountCannotBothPassTheLimit) {
  db.Exec("UPDATE kunden SET \"limit\" = 500 WHERE kdnr = 7");
  Orders(20, {{"COLA", 1, 300}});
  Orders(21, {{"SALAT", 1, 300}});
  SettleRequest onAccount;
  onAccount.customer = 7;
  onAccount.checkCoverage = true;
  // Both stations saw a balance of 0 before either transaction began.
  auto rowsOne = Read(db.conn(), 20);
  auto rowsTwo = Read(*second_, 21);
  ASSERT_GT(SettleOn(*tools2_, *rowsTwo, 21, "KDKTO", onAccount), 0);
  const std::string afterFirst = Stored();
  EXPECT_EQ(SettleOn(db.tools(), *rowsOne, 20, "KDKTO", onAccount), -1);
  EXPECT_EQ(refusal, "Keine ausreichende Deckung auf dem Kundenkonto.");
  EXPECT_EQ(Stored(), afterFirst);
  EXPECT_EQ(Dump("SELECT kdnr, betrag, saldo FROM kdkto"), "7|-300|-300\n");
  // The account's latest booking: two in one second are told apart by their number.
  db.Exec("INSERT INTO kdkto (kdnr, kdktobunr, datumzeit, betrag, saldo) VALUES "
          "(7, 900, '2030-01-01 10:00:00', 300, 0), (7, 901, '2030-01-01 10:00:00', -250, -250)");
  rowsOne = Read(db.conn(), 20);
  EXPECT_EQ(SettleOn(db.tools(), *rowsOne, 20, "KDKTO", onAccount), -1) << "500 - 250 does not cover 300";
  db.Exec("UPDATE kdkto SET saldo = -200 WHERE kdktobunr = 901");
  EXPECT_GT(SettleOn(db.tools(), *rowsOne, 20, "KDKTO", onAccount), 0);
}

}  // namespace
}  // namespace tolven::settlement::fixture
