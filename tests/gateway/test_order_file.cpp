// The order file of a terminal: confirmation, booking in one transaction, TSE
// start, hand-over to the kitchen and the settlement, and what happens to files
// left behind.
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
  f.form.PollPass();

  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_FALSE(std::filesystem::exists(f.Slot(1) + "bestell.txt"));
  EXPECT_FALSE(std::filesystem::exists(f.db.state().exePfad + "ppcorders1.in"));
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 12 AND kanr = 3 AND haskuebon = 0"), 2);
  EXPECT_EQ(f.db.Scalar("SELECT kueinfo FROM bestellung WHERE artnr = '10'"), "ohne Eis");
  EXPECT_EQ(f.tseServer.calls, std::vector<std::string>({"S"}));
  EXPECT_EQ(f.kitchenCalls, std::vector<std::string>({"100/1765000000/12/3 - Anna"}));
  EXPECT_TRUE(f.settleCalls.empty());
  // The hand-over waits: 250 ms, 300 ms, then 50 ms per slot in use.
  const auto& s = f.db.env().sleeps();
  ASSERT_GE(s.size(), 3u);
  EXPECT_EQ(s[0], 250);
  EXPECT_EQ(s[1], 300);
  EXPECT_NE(f.form.logText().find("  Bestellung für Tisch 12 von Kellner 3:\r\n"), std::string::npos);
  EXPECT_NE(f.form.logText().find("  2x Cola 0,4 ; ohne Eis;\r\n"), std::string::npos);
}

TEST_F(OrderFileTest, ConfirmationListsEveryFailureInLineOrder) {
  struct Case {
    std::vector<std::string> lines;
    std::string confirm;
    size_t booked;
  };
  const Case cases[] = {
      {{"A;5;3"}, " +++ Keine Datensätze gefunden.\r\n", 0},
      {{"A;5;3", "D;77;1", "D;10;1", "D;78;1"},
       " +++ Artikel >77< nicht gefunden. +++ Artikel >78< nicht gefunden.\r\n", 1},
      {{"A;5;3", "D;77;1", "D;78;1"},
       " +++ Artikel >77< nicht gefunden. +++ Artikel >78< nicht gefunden. +++ Keine Datensätze gefunden.\r\n", 0},
      {{"A;5;3", "D;10;0", "D;10;99", "D;10;100", "D;99;0"},
       " +++ Mengenangabe unzulässig +++ Mengenangabe unzulässig +++ Artikel >99< nicht gefunden.\r\n", 1},
  };
  for (const auto& c : cases) {
    f.db.Exec("DELETE FROM bestellung");
    f.kitchenCalls.clear();
    f.Drop(1, "bestell.txt", c.lines);
    f.form.PollPass();
    EXPECT_EQ(f.Confirm(1), c.confirm);
    EXPECT_EQ(static_cast<size_t>(f.db.Count("bestellung")), c.booked);
    EXPECT_TRUE(f.kitchenCalls.empty()) << "no kitchen receipt after a failed line";
  }
  EXPECT_EQ(f.db.Scalar("SELECT menge FROM bestellung"), "99");
}

TEST_F(OrderFileTest, OrderGoesBeforeRequestAndEachSlotTakesOneFilePerPass) {
  f.Drop(1, "bestell.txt", {"A;1;3", "D;10;1"});
  f.Drop(1, "info.txt", {"ABRECHNEN;1;3;"});
  f.Drop(2, "info.txt", {"1;;"});
  f.form.PollPass();
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"2"}));
  f.form.PollPass();
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"2", "1"}));
}

TEST_F(OrderFileTest, SettlementRequestHoldsForItsOwnFileOnly) {
  f.Drop(1, "bestell.txt", {"A;7;3", "D;10;1", "E;;A"});
  f.form.PollPass();
  ASSERT_EQ(f.settleCalls, std::vector<std::string>({"1/7/3/BAR/"}));
  f.Drop(1, "bestell.txt", {"D;10;1", "E;;"});  // no "A": table and waiter carry over
  f.form.PollPass();
  EXPECT_EQ(f.settleCalls.size(), 1u);
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 7"), 2);
  // A failed line: the booked line waits for its kitchen receipt, so the table
  // is not settled and deleted under it.
  f.Drop(1, "bestell.txt", {"A;8;3", "D;10;1", "D;77;1", "E;;A"});
  f.form.PollPass();
  EXPECT_EQ(f.settleCalls.size(), 1u);
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 8"), 1);
  EXPECT_NE(f.form.logText().find("FEHLER: Barabrechnung von Tisch 8 nicht ausgeführt"), std::string::npos);
}

TEST_F(OrderFileTest, TextsWithApostrophesAreStoredAsTheyAre) {
  f.AddArticle("O''1", "Bailey''s", 500);
  f.Drop(1, "bestell.txt", {"A;4;3", "D;O'1;1;nicht zu kalt, bitte 'extra';"});
  f.form.PollPass();
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_EQ(f.db.Scalar("SELECT kueinfo FROM bestellung WHERE artnr = 'O''1'"), "nicht zu kalt, bitte 'extra'");
}

TEST_F(OrderFileTest, LeftoverWorkFileIsSetAsideNotDeleted) {
  const std::string work = f.db.state().exePfad + "ppcorders1.in";
  WriteAll(work, "A;9;3\r\nD;20;1\r\n");
  f.Drop(1, "bestell.txt", {"A;1;3", "D;10;1"});
  f.form.PollPass();
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  int kept = 0;
  for (const auto& e : std::filesystem::directory_iterator(f.db.folder())) {
    if (e.path().filename().string().rfind("ppcorders1.in.unverarbeitet-", 0) == 0) {
      ++kept;
      EXPECT_EQ(ReadAll(e.path().string()), "A;9;3\r\nD;20;1\r\n");
    }
  }
  EXPECT_EQ(kept, 1);
  EXPECT_NE(f.form.logText().find("FEHLER: Unverarbeitete Arbeitsdatei"), std::string::npos);

  // When it cannot be moved, the new order waits rather than overwrite it.
  WriteAll(work, "A;9;3\r\n");
  f.db.env().FailOperation("rename", "unverarbeitet", 1);
  f.Drop(1, "bestell.txt", {"A;2;3", "D;10;1"});
  std::filesystem::remove(f.Slot(1) + "confirm.kas");
  f.form.PollPass();
  EXPECT_TRUE(std::filesystem::exists(f.Slot(1) + "bestell.txt"));
  EXPECT_EQ(ReadAll(work), "A;9;3\r\n");
  EXPECT_FALSE(std::filesystem::exists(f.Slot(1) + "confirm.kas"));
}

TEST_F(OrderFileTest, SlotsWithoutFolderAreNeverPolledAndKeinMeansNoPrinter) {
  const auto& slots = f.form.slots();
  EXPECT_TRUE(slots[1].inUse);
  EXPECT_EQ(slots[1].printer, "COM1");
  EXPECT_EQ(slots[2].printer, "");
  EXPECT_FALSE(slots[3].inUse);
  f.form.PollPass();
  // Two slots in use: two 50 ms waits per pass, nothing for the others.
  EXPECT_EQ(f.db.env().sleeps(), std::vector<int>({50, 50}));
}

TEST_F(OrderFileTest, LogKeepsTheNewest4000Characters) {
  for (int i = 0; i < 200; ++i) f.form.AddLogLine("Zeile " + std::to_string(i) + std::string(30, '.'));
  EXPECT_EQ(f.form.logText().size(), 4000u);
  const std::string& log = f.form.logText();
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  EXPECT_NE(log.find("Zeile 199"), std::string::npos);
  EXPECT_EQ(log.find("Zeile 1......"), std::string::npos);
}

// An order file is booked in one transaction: whatever database call fails, the
// terminal's answer matches what is stored, and no line is ever stored twice
// or behind lines that were rolled back.
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

TEST_F(OrderFileTest, EveryFailingCallLeavesAnswerAndStoredRowsInAgreement) {
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
      EXPECT_NE(g.form.logText().find("FEHLER: Bestellung nicht gespeichert"), std::string::npos);
    } else {
      EXPECT_EQ(rows, 3 - Count(confirm, " +++ ")) << confirm;
    }
    EXPECT_EQ(g.kitchen, confirm == "OK\r\n" ? 1 : 0) << "a kitchen receipt only for a whole order: " << confirm;
    if (!tripped) {
      EXPECT_EQ(confirm, "OK\r\n");
      EXPECT_GT(n, 17) << "every line's lookups, its insert and the commit were each made to fail";
      break;
    }
  }
}

// The engine itself ends the transaction at the second line (as on a full disk).
TEST_F(OrderFileTest, LinesAfterTheEngineEndedTheTransactionAreNotStoredOnTheirOwn) {
  if (!f.db.IsSqlite()) GTEST_SKIP() << "RAISE(ROLLBACK) is SQLite's";
  f.db.Exec("CREATE TRIGGER full_disk BEFORE INSERT ON bestellung WHEN (SELECT COUNT(*) FROM bestellung) > 0 "
            "BEGIN SELECT RAISE(ROLLBACK, 'database or disk is full'); END");
  f.Drop(1, "bestell.txt", kOrder);
  f.form.ProcessOrderFile(1);
  EXPECT_EQ(f.Confirm(1),
            " +++ database or disk is full +++ Bestellung nicht gespeichert: Transaktion vorzeitig beendet\r\n");
  EXPECT_EQ(f.db.Count("bestellung"), 0) << "neither the rolled-back first line nor the third on its own";
  EXPECT_TRUE(f.kitchenCalls.empty());
  EXPECT_TRUE(f.settleCalls.empty());
}

TEST_F(OrderFileTest, WithoutATransactionTheLinesAreBookedOneByOne) {
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
