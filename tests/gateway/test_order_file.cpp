// The order file of a terminal: confirmation, booking in one transaction (a
// savepoint per line), TSE start, hand-over to the kitchen and the settlement.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/faulty_connection.h"
#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

class OrderFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddArticle("10", "Cola 0,4", 350);
    f.AddArticle("20", "Pizza Salami", 890);
  }
  GatewayFixture f;
};

TEST_F(OrderFileTest, BooksLinesConfirmsStartsTseAndPrintsKitchenReceipt) {
  f.tse.SetReady(false);  // the start is sent whatever TseReady says
  f.Drop(1, "bestell.txt", {"A;12;3", "", "D;10;2;ohne Eis;", "D;20;1;;", "E;;"});
  f.Drop(1, "info.txt", {"TISCH;12"});
  f.Drop(2, "info.txt", {"TISCH;12"});
  f.form.PollPass();
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_FALSE(std::filesystem::exists(f.Slot(1) + "bestell.txt"));
  EXPECT_FALSE(std::filesystem::exists(f.Slot(1) + "ppcorders1.in"));
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 12 AND kanr = 3 AND haskuebon = 0"), 2);
  EXPECT_EQ(f.db.Scalar("SELECT kueinfo FROM bestellung WHERE artnr = '10'"), "ohne Eis");
  EXPECT_EQ(f.tseServer.calls, std::vector<std::string>({"S"}));
  EXPECT_EQ(f.kitchenCalls, std::vector<std::string>({"100/1765000000/12/3 - Anna"}));
  EXPECT_TRUE(f.settleCalls.empty());
  // The hand-over waits 250 ms, then 300 ms. A slot takes one file per pass, its order first.
  const auto& s = f.db.env().sleeps();
  EXPECT_EQ(std::vector<int>(s.begin(), s.begin() + 2), std::vector<int>({250, 300}));
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"2"}));
  f.form.PollPass();
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"2", "1"}));
}

// A settlement asked for with the order ("E;;A") holds for its own file only,
// not when a line failed (the booked one waits for its kitchen receipt), and
// the answer waits for it, so that a refusal reaches the terminal.
TEST_F(OrderFileTest, SettlementRequestHoldsForItsOwnWholeFileOnly) {
  f.Drop(1, "bestell.txt", {"A;7;3", "D;10;1", "E;;A"});
  f.form.PollPass();
  ASSERT_EQ(f.settleCalls, std::vector<std::string>({"1/7/3/BAR/"}));
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  f.Drop(1, "bestell.txt", {"A;7;3", "D;10;1", "E;;"});
  f.form.PollPass();
  f.Drop(1, "bestell.txt", {"A;8;3", "D;10;1", "D;77;1", "E;;A"});
  f.form.PollPass();
  EXPECT_EQ(f.settleCalls.size(), 1u);
  EXPECT_EQ(f.Confirm(1),
            " +++ Artikel >77< nicht gefunden. +++ Tisch 8 nicht abgerechnet: nicht alle Bestellzeilen gebucht.\r\n");
  EXPECT_NE(f.form.logText().find("FEHLER: Barabrechnung von Tisch 8 nicht ausgeführt"), std::string::npos);
  bool answeredBeforeSettling = true;
  f.form.hooks().settleTable = [&](int, int32_t, int32_t, const std::string&, const std::string&,
                                   std::string& reason) {
    answeredBeforeSettling = std::filesystem::exists(f.Slot(1) + "confirm.kas");
    reason = "Küchendrucker nicht erreichbar.";
    return false;
  };
  std::filesystem::remove(f.Slot(1) + "confirm.kas");
  f.Drop(1, "bestell.txt", {"A;9;3", "D;10;1", "E;;A"});
  f.form.PollPass();
  EXPECT_FALSE(answeredBeforeSettling);
  EXPECT_EQ(f.Confirm(1), " +++ Tisch 9 nicht abgerechnet: Küchendrucker nicht erreichbar.\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || SUM(tisch) FROM bestellung"), "4/31") << "tables 7, 7, 8 and 9";
}

// The confirmation lists every failure in line order. The table of an order is
// the one its own "A" line names: never one of an earlier file, never a number
// the field cannot hold.
TEST_F(OrderFileTest, ConfirmationListsEveryFailureInLineOrder) {
  struct Case {
    std::vector<std::string> lines;
    std::string confirm;
    int64_t booked;
  };
  const Case cases[] = {
      {{"A;5;3", "E;;"}, " +++ Keine Datensätze gefunden.\r\n", 0},
      {{"A;5;3", "D;77;1", "D;10;1", "D;78;1", "E;;"},
       " +++ Artikel >77< nicht gefunden. +++ Artikel >78< nicht gefunden.\r\n", 1},
      {{"A;5;3", "D;77;1", "D;78;1", "E;;"},
       " +++ Artikel >77< nicht gefunden. +++ Artikel >78< nicht gefunden. +++ Keine Datensätze gefunden.\r\n", 0},
      {{"D;10;1", "E;;"},
       " +++ Artikel >10< ohne gültige Tischangabe (A-Zeile) nicht gebucht. +++ Keine Datensätze gefunden.\r\n", 0},
      {{"A;99999999999;3", "D;10;1", "E;;"},
       " +++ Tischnummer >99999999999< unzulässig. +++ Artikel >10< ohne gültige Tischangabe (A-Zeile) nicht gebucht."
       " +++ Keine Datensätze gefunden.\r\n",
       0},
      {{"A;-4;3", "D;20;1", "A;9;3", "D;10;1", "E;;"},
       " +++ Tischnummer >-4< unzulässig. +++ Artikel >20< ohne gültige Tischangabe (A-Zeile) nicht gebucht.\r\n", 1},
      {{"A;5;3", "D;10;0", "D;10;99", "D;10;100", "D;99;0", "E;;"},
       " +++ Mengenangabe unzulässig +++ Mengenangabe unzulässig +++ Artikel >99< nicht gefunden.\r\n", 1},
  };
  for (const auto& c : cases) {
    f.db.Exec("DELETE FROM bestellung");
    f.Drop(1, "bestell.txt", c.lines);
    f.form.PollPass();
    EXPECT_EQ(f.Confirm(1), c.confirm);
    EXPECT_EQ(f.db.Count("bestellung"), c.booked) << c.confirm;
    EXPECT_EQ(f.db.Count("bestellung", "tisch = 0"), 0) << "never the take-away table";
  }
  EXPECT_TRUE(f.kitchenCalls.empty()) << "no kitchen receipt after a failed line";
  EXPECT_EQ(f.db.Scalar("SELECT menge FROM bestellung"), "99");
}

const std::vector<std::string> kOrder = {"A;12;3", "D;10;1;a;", "D;20;1;b;", "D;10;2;c;", "E;;A"};

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
    h.settleTable = [this](int, int32_t, int32_t, const std::string&, const std::string&, std::string&) {
      ++settlements;
      return true;
    };
    return h;
  }
  db::DbTools tools;
  ScriptedTseServer server;
  fiscal::Tse tse;
  gateway::TerminalPoller form;
  int kitchen = 0, settlements = 0;
};

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

// Whatever database call fails, the terminal's answer matches what is stored,
// and no line is ever stored twice or behind lines that were rolled back.
TEST_F(OrderFileTest, EveryFailingCallLeavesAnswerAndStoredRowsInAgreement) {
  FaultyConnection faulty(f.db.conn());
  GatewayOn g(f, faulty);
  for (int64_t n = 1;; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    f.db.Exec("DELETE FROM bestellung");
    g.kitchen = g.settlements = 0;
    f.db.env().Advance(61000);  // a journal that could not be made is tried again
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
      EXPECT_EQ(rows, 3 - Count(confirm, "Injizierter Fehler")) << confirm;
    }
    EXPECT_EQ(g.kitchen, confirm == "OK\r\n" ? 1 : 0) << "a kitchen receipt only for a whole order: " << confirm;
    if (!tripped) {
      EXPECT_EQ(confirm, "OK\r\n");
      EXPECT_GT(n, 17) << "every line's lookups, its insert and the commit were each made to fail";
      break;
    }
  }
}

// SQL Server as the gateway meets it: no savepoints, and under XACT_ABORT a
// failed statement rolls the whole transaction back.
class XactAbortConnection final : public db::Connection {
 public:
  explicit XactAbortConnection(db::Connection& inner) : inner_(inner) {}
  bool IsOpen() const override { return inner_.IsOpen(); }
  void Close() override { inner_.Close(); }
  bool Execute(const std::string& sql, db::DbError& err) override { return Ended(inner_.Execute(sql, err)); }
  std::unique_ptr<db::ResultSet> Query(const std::string& sql, db::DbError& err) override {
    auto rs = inner_.Query(sql, err);
    Ended(rs != nullptr);
    return rs;
  }
  bool BeginTrans(db::DbError& err) override { return inner_.BeginTrans(err); }
  bool CommitTrans(db::DbError& err) override { return inner_.CommitTrans(err); }
  bool RollbackTrans(db::DbError& err) override { return inner_.RollbackTrans(err); }
  bool InTransaction() const override { return inner_.InTransaction(); }
  void SetCommandTimeout(int seconds) override { inner_.SetCommandTimeout(seconds); }
  const db::Dialect& dialect() const override { return db::SqlServerDialect(); }

 private:
  bool Ended(bool ok) {
    db::DbError ignored;
    if (!ok && inner_.InTransaction()) inner_.RollbackTrans(ignored);
    return ok;
  }
  db::Connection& inner_;
};

// A line that passes every check but that the database refuses costs that
// line only: with a savepoint per line, or (without savepoints) by booking
// the file once more without it. The log never shows it as booked.
TEST_F(OrderFileTest, ALineOnlyTheServerRefusesCostsThatLineOnly) {
  if (f.db.IsSqlite()) {
    f.db.Exec("CREATE TRIGGER refuse_20 BEFORE INSERT ON bestellung WHEN NEW.artnr = '20' "
              "BEGIN SELECT RAISE(ABORT, 'Zeile abgelehnt'); END");
  } else {
    f.db.Exec("CREATE FUNCTION refuse_20() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF NEW.artnr = '20' THEN "
              "RAISE EXCEPTION 'Zeile abgelehnt'; END IF; RETURN NEW; END $$");
    f.db.Exec("CREATE TRIGGER refuse_20 BEFORE INSERT ON bestellung FOR EACH ROW EXECUTE FUNCTION refuse_20()");
  }
  XactAbortConnection xact(f.db.conn());
  GatewayOn serverLike(f, xact);
  for (gateway::TerminalPoller* form : {&f.form, &serverLike.form}) {
    SCOPED_TRACE(form == &f.form ? "savepoints" : "no savepoints");
    f.db.Exec("DELETE FROM bestellung");
    f.Drop(1, "bestell.txt", kOrder);
    form->ProcessOrderFile(1);
    const std::string confirm = f.Confirm(1);
    EXPECT_EQ(Count(confirm, " +++ "), 2) << confirm;
    EXPECT_NE(confirm.find("Zeile abgelehnt"), std::string::npos) << confirm;
    EXPECT_NE(confirm.find("Tisch 12 nicht abgerechnet"), std::string::npos) << confirm;
    EXPECT_EQ(f.db.Count("bestellung", "artnr = '10'"), 2);
    EXPECT_EQ(f.db.Count("bestellung"), 2);
    EXPECT_EQ(form->logText().find("x Pizza Salami"), std::string::npos) << form->logText();
    EXPECT_NE(form->logText().find("2x Cola 0,4 ; c;"), std::string::npos);
  }
}

}  // namespace
}  // namespace tolven::testing
