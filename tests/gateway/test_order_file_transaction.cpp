// An order file is booked in one transaction: whatever database call fails, the
// terminal's answer matches what is stored, and no line is ever stored twice
// or behind lines that were rolled back.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/faulty_connection.h"
#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

// Plays an engine that ends the transaction on its own (disk full) at the
// Nth insert into `bestellung`.
class AbortingConnection final : public db::Connection {
 public:
  AbortingConnection(db::Connection& inner, int abortAtInsert) : inner_(inner), abortAt_(abortAtInsert) {}
  bool IsOpen() const override { return inner_.IsOpen(); }
  void Close() override { inner_.Close(); }
  bool Execute(const std::string& sql, db::DbError& err) override {
    if (sql.rfind("INSERT INTO bestellung", 0) == 0 && ++inserts_ == abortAt_) {
      db::DbError ignored;
      inner_.RollbackTrans(ignored);
      err.number = 13;
      err.text = "database or disk is full";
      return false;
    }
    return inner_.Execute(sql, err);
  }
  std::unique_ptr<db::ResultSet> Query(const std::string& sql, db::DbError& err) override {
    return inner_.Query(sql, err);
  }
  bool BeginTrans(db::DbError& err) override { return inner_.BeginTrans(err); }
  bool CommitTrans(db::DbError& err) override { return inner_.CommitTrans(err); }
  bool RollbackTrans(db::DbError& err) override { return inner_.RollbackTrans(err); }
  bool InTransaction() const override { return inner_.InTransaction(); }
  void SetCommandTimeout(int seconds) override { inner_.SetCommandTimeout(seconds); }
  const db::Dialect& dialect() const override { return inner_.dialect(); }

 private:
  db::Connection& inner_;
  int abortAt_;
  int inserts_ = 0;
};

// A second gateway on the fixture's database, reaching it through `conn`.
struct GatewayOn {
  GatewayOn(GatewayFixture& f, db::Connection& conn)
      : tools(conn, f.db.state(), f.db.env(), f.db.ui()), tse(tools, server, fiscal::TseIdentity{}),
        form(tools, tse, Hooks()) {
    form.Load();
  }
  gateway::GatewayHooks Hooks() {
    gateway::GatewayHooks h;
    h.printKueBon = [this](int32_t, int32_t, int32_t, const std::string&) { ++kitchen; };
    h.settleTable = [this](int, int32_t, int32_t, const std::string&, const std::string&) { ++settlements; };
    return h;
  }
  db::DbTools tools;
  ScriptedTseServer server;
  fiscal::Tse tse;
  gateway::Form1 form;
  int kitchen = 0, settlements = 0;
};

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

class OrderTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddArticle("10", "Cola 0,4", 350);
    f.AddArticle("20", "Pizza Salami", 890);
  }
  const std::vector<std::string> kOrder = {"A;12;3", "D;10;1;a;", "D;20;1;b;", "D;10;2;c;", "E;;A"};
  GatewayFixture f;
};

TEST_F(OrderTransactionTest, EveryFailingCallLeavesAnswerAndStoredRowsInAgreement) {
  FaultyConnection faulty(f.db.conn());
  GatewayOn g(f, faulty);
  for (int64_t n = 1;; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    f.db.Exec("DELETE FROM bestellung");
    g.kitchen = g.settlements = 0;
    f.Drop(1, "bestell.txt", kOrder);
    faulty.FailCall(n);
    g.form.ProcessOrderFile(1);
    const bool tripped = faulty.failed();
    faulty.FailCall(0);
    const std::string confirm = f.Confirm(1);
    const int64_t rows = f.db.Count("bestellung");
    EXPECT_FALSE(f.db.conn().InTransaction());
    EXPECT_LE(f.db.Scalar("SELECT MAX(c) FROM (SELECT COUNT(*) AS c FROM bestellung GROUP BY kueinfo) lines"), "1");
    if (confirm.find("Bestellung nicht gespeichert") != std::string::npos) {
      EXPECT_EQ(rows, 0) << confirm;
      EXPECT_EQ(g.settlements, 0) << "a table is not settled without the order that asked for it";
    } else {
      EXPECT_EQ(rows, 3 - Count(confirm, " +++ ")) << confirm;
    }
    if (confirm == "OK\r\n") {
      EXPECT_EQ(rows, 3);
    }
    if (!tripped) {
      EXPECT_EQ(confirm, "OK\r\n");
      EXPECT_EQ(g.kitchen, 1);
      EXPECT_GT(n, 17) << "every line's lookups, its insert and the commit were each made to fail";
      break;
    }
  }
}

TEST_F(OrderTransactionTest, AFailedCommitStoresNothingAndTellsTheTerminal) {
  FaultyConnection faulty(f.db.conn());
  GatewayOn g(f, faulty);
  // A clean run shows where the commit comes.
  f.Drop(1, "bestell.txt", kOrder);
  faulty.FailCall(0);
  g.form.ProcessOrderFile(1);
  const auto& calls = faulty.log();
  const int64_t commit = std::find(calls.begin(), calls.end(), "COMMIT") - calls.begin() + 1;
  ASSERT_LE(commit, static_cast<int64_t>(calls.size()));
  f.db.Exec("DELETE FROM bestellung");
  g.kitchen = g.settlements = 0;

  f.Drop(1, "bestell.txt", kOrder);
  faulty.FailCall(commit);
  g.form.ProcessOrderFile(1);
  ASSERT_TRUE(faulty.failed());
  EXPECT_EQ(f.Confirm(1), " +++ Bestellung nicht gespeichert: Injizierter Fehler bei Aufruf " +
                              std::to_string(commit) + "\r\n");
  EXPECT_EQ(f.db.Count("bestellung"), 0);
  EXPECT_EQ(g.kitchen, 0);
  EXPECT_EQ(g.settlements, 0);
  EXPECT_NE(g.form.logText().find("FEHLER: Bestellung nicht gespeichert: Injizierter Fehler"), std::string::npos);
}

TEST_F(OrderTransactionTest, LinesAfterTheEngineEndedTheTransactionAreNotStoredOnTheirOwn) {
  AbortingConnection aborting(f.db.conn(), 2);
  GatewayOn g(f, aborting);
  f.Drop(1, "bestell.txt", kOrder);
  g.form.ProcessOrderFile(1);
  EXPECT_EQ(f.Confirm(1),
            " +++ database or disk is full +++ Bestellung nicht gespeichert: Transaktion vorzeitig beendet\r\n");
  EXPECT_EQ(f.db.Count("bestellung"), 0) << "neither the rolled-back first line nor the third on its own";
  EXPECT_EQ(g.kitchen, 0);
  EXPECT_EQ(g.settlements, 0);
}

TEST_F(OrderTransactionTest, WithoutATransactionTheLinesAreBookedOneByOne) {
  FaultyConnection faulty(f.db.conn());
  GatewayOn g(f, faulty);
  f.Drop(1, "bestell.txt", kOrder);
  faulty.FailCall(1);
  g.form.ProcessOrderFile(1);
  ASSERT_EQ(faulty.log().front(), "!! BEGIN");
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_EQ(f.db.Count("bestellung"), 3);
  EXPECT_EQ(g.kitchen, 1);
  EXPECT_EQ(g.settlements, 1);
}

}  // namespace
}  // namespace tolven::testing
