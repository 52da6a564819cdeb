// The order files of the terminals: the poll over the five slots, taking a
// file over (only whole files, nothing of absurd size), prices and toppings of
// a line, confirmation, booking in one transaction (a savepoint per line), TSE
// start, hand-over to the kitchen and the settlement.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <tuple>

#include "gateway/housekeeping.h"
#include "support/faulty_connection.h"
#include "support/gateway_fixture.h"
#include "support/recording_log.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;
using gateway::HandoverOutcome;

class OrderFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddArticle("10", "Cola 0,4", 350);
    f.AddArticle("20", "Pizza Salami", 890);
    f.AddArticle("P", "Pizza", 800, 1, "belpreis = 2, ahpreis = 250, happy1preis = 500, happy2preis = 450");
    f.db.Exec(
        "INSERT INTO belaege (belnr, belbez, preis1, preis2, preis3) VALUES (15, 'Oliven', 10, 20, 30), "
        "(7, 'Käse', 5, 70, 9)");
  }
  int LogLinesWith(const std::string& part) {
    int n = 0;
    for (const auto& l : f.db.ui().logLines) n += l.find(part) != std::string::npos;
    return n;
  }
  GatewayFixture f;
};

TEST_F(OrderFileTest, BooksLinesConfirmsStartsTseAndPrintsKitchenReceipt) {
  f.tse.SetReady(false);  // the start is sent whatever TseReady says
  f.Drop(1, "bestell.txt", {"A;12;3", "", "D;10;2;ohne Eis;", "D;20;1;;", "E;;"});
  f.Drop(1, "info.txt", {"TISCH;12"});
  f.Drop(2, "info.txt", {"TISCH;12"});
  // The hand-over waits 250 + 300 ms; slot 2's request (150 + 300 ms) is taken meanwhile.
  const int64_t t0 = f.db.env().MonotonicMs();
  f.Pass();
  EXPECT_EQ(f.db.env().MonotonicMs() - t0, 550);
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 12 AND kanr = 3 AND haskuebon = 0"), 2);
  EXPECT_EQ(f.tseServer.calls, std::vector<std::string>({"S"}));
  EXPECT_EQ(f.kitchenCalls, std::vector<std::string>({"100/1765000000/12/3 - Anna"}));
  // A slot takes one file per pass, its order first.
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"2"}));
  f.Pass();
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"2", "1"}));
  // A settlement asked for with the order ("E;;A") holds for its own file only,
  // not when a line failed (the booked ones wait for their kitchen receipt), and
  // the answer waits for it, so that a refusal reaches the terminal. A line that
  // passes every check but that the database refuses costs that line only (a
  // savepoint per line), and the log never shows it as booked.
  f.Drop(1, "bestell.txt", {"A;7;3", "D;10;1", "E;;A"});
  f.Pass();
  ASSERT_EQ(f.settleCalls, std::vector<std::string>({"1/7/3/BAR/"}));
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  f.Drop(1, "bestell.txt", {"A;7;3", "D;10;1", "E;;"});
  f.Pass();
  // The database takes one line per article on table 8: the second one is refused.
  f.db.Exec("CREATE UNIQUE INDEX one_per_article ON bestellung (artnr) WHERE tisch = 8");
  f.Drop(1, "bestell.txt", {"A;8;3", "D;10;1;a;", "D;20;1;b;", "D;10;2;c;", "E;;A"});
  f.Pass();
  // The engines word the refusal differently.
  EXPECT_TRUE(std::regex_match(f.Confirm(1), std::regex(" \\+\\+\\+ .*(UNIQUE|unique).* \\+\\+\\+ Tisch 8 nicht "
                                                        "abgerechnet: nicht alle Bestellzeilen gebucht\\.\r\n")))
      << f.Confirm(1);
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || SUM(menge) FROM bestellung WHERE tisch = 8"), "2/2");
  EXPECT_EQ(f.log.text().find("x Cola 0,4 ; c;"), std::string::npos) << f.log.text();
  EXPECT_NE(f.log.text().find("FEHLER: Barabrechnung von Tisch 8 nicht ausgeführt"), std::string::npos);
  // The run ends while a settlement is under way: the next one finds the work
  // file and a journal that says the settlement was pending, and does not run
  // it again (nothing billed twice) but tells the terminal to check the table.
  std::string pending;
  f.duringSettlement = [&] {
    pending = f.db.Scalar("SELECT MAX(abrechnung) FROM pdajournal WHERE antwort = 'OK'");
    fs::create_hard_link(f.Slot(1) + "ppcorders1.in", f.db.folder() + "/left.in");  // the same file, as left
  };
  f.Drop(1, "bestell.txt", {"A;6;3", "D;10;1", "E;;A"});
  f.Pass();
  f.duringSettlement = nullptr;
  ASSERT_EQ(pending, "1");
  f.db.Exec("UPDATE pdajournal SET abrechnung = " + pending + ", antwort = 'OK'");
  fs::rename(f.db.folder() + "/left.in", f.Slot(1) + "ppcorders1.in");
  f.Pass();
  EXPECT_EQ(f.Confirm(1), " +++ Tisch 6 nicht abgerechnet: Abrechnung wurde unterbrochen, bitte Tisch prüfen.\r\n");
  EXPECT_EQ(f.settleCalls.size(), 2u);
  f.settleRefusal = "Küchendrucker nicht erreichbar.";
  f.Drop(1, "bestell.txt", {"A;9;3", "D;10;1", "E;;A"});
  f.Pass();
  EXPECT_EQ(f.Confirm(1), " +++ Tisch 9 nicht abgerechnet: Küchendrucker nicht erreichbar.\r\n");
  // A work file left behind that cannot be read is set aside unbooked, and
  // the terminal's next order goes on.
  WriteAll(f.Slot(1) + "ppcorders1.in", "A;5;3\r\nD;10;1\r\nE;;\r\n");
  f.db.env().FailOperation("read", "ppcorders1.in", 1);
  f.Pass();
  EXPECT_NE(f.log.text().find("FEHLER: Unverarbeitete Arbeitsdatei nicht lesbar"), std::string::npos);
  EXPECT_NE(f.log.text().find("ppcorders1.in aus einem unterbrochenen Lauf nach"), std::string::npos);
  EXPECT_FALSE(fs::exists(f.Slot(1) + "ppcorders1.in"));
  EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || SUM(tisch) FROM bestellung"), "8/69")
      << "tables 12, 12, 7, 7, 8, 8, 6 and 9";
}

// Terminal slots are counted 1..5: every slot is polled, each with its own
// exchange folder, work file name and printer.
TEST_F(OrderFileTest, OnePassServesAllFiveSlotsEachInItsOwnFolder) {
  // The fixture's two slots: a printer named "kein ..." is none, a slot without
  // folder is never polled. A pass looks at the slots, then runs the loop 50 ms.
  EXPECT_EQ(f.exchange.slots()[2].printer, "");
  f.Pass();
  EXPECT_EQ(f.db.env().sleeps(), std::vector<int>({50}));
  std::string set;
  for (int i = 1; i <= 5; ++i) {
    fs::create_directories(f.Slot(i));
    set += (i > 1 ? ", " : "") + std::string("pfadppcsync") + std::to_string(i) + " = '" + f.Slot(i) + "'";
    set += ", pdaprt" + std::to_string(i) + " = 'COM" + std::to_string(i) + "'";
  }
  f.db.Exec("UPDATE system SET " + set);
  f.poller.Load();
  EXPECT_EQ(f.exchange.slots()[5].folder + " " + f.exchange.slots()[5].printer, f.Slot(5) + " COM5");

  for (int i = 1; i <= 4; ++i) f.Drop(i, "bestell.txt", {"A;" + std::to_string(10 + i) + ";3", "D;10;1;;", "E;;"});
  f.Drop(5, "info.txt", {"T;15"});
  // Quiet, the gateway looks at its slots every 50 ms per slot in use (the
  // pass above looked 50 ms ago); once files come, in every pass.
  f.Pass();
  EXPECT_TRUE(fs::exists(f.Slot(5) + "info.txt"));
  f.db.env().Advance(200);
  f.Pass();

  for (int i = 1; i <= 4; ++i) EXPECT_EQ(f.db.Count("bestellung", "tisch = " + std::to_string(10 + i)), 1) << i;
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"5"}));
}

// Toppings add their price of the article's column and name themselves for the
// kitchen (an unknown one is skipped). A count below 1 would lower the price,
// down to a negative line; a price beyond 32 bits would wrap. Happy hours
// (window 2 wins, never across midnight), take-away prices, a special price of
// 0 or none that keeps the normal one, and offers that hold until their end as
// stored (a plain date ends at the start of that day).
TEST_F(OrderFileTest, LinePriceByToppingsTimeAndPlace) {
  ASSERT_EQ(f.orders.orderImport().ImportOrderLine("D; P ;2; scharf ;2x15+1x99+1x7", 5, 3), "OK");
  EXPECT_EQ(
      f.db.Scalar("SELECT epreis || '/' || opreis || '/' || menge || '/' || kueinfo || '/' || belaginfo || '/' || "
                  "belnrinfo || '/' || kueprt FROM bestellung"),
      "910/910/2/scharf/2xOliven, Käse, /2x15;1x7;/2");
  f.db.Exec("DELETE FROM bestellung");
  for (const char* toppings : {"-9x15", "2x15+-100x7", "0x7", "x7"}) {
    const std::string result = f.orders.orderImport().ImportOrderLine(std::string("D;P;1;;") + toppings, 5, 3);
    EXPECT_EQ(result.rfind("Belaganzahl unzulässig", 0), 0u) << toppings << ": " << result;
  }
  f.db.Exec("UPDATE belaege SET preis2 = 2000000000 WHERE belnr = 15");
  EXPECT_NE(f.orders.orderImport().ImportOrderLine("D;P;1;;2x15", 5, 3), "OK");
  EXPECT_EQ(f.db.Count("bestellung"), 0);
  f.AddArticle("W", "Wasser", 300, 1, "happy1preis = 0, ahpreis = 0");
  f.AddArticle("A", "Angebot", 300, 1, "angbis = '2026-12-06 00:00:00', angpreis = 199");
  f.AddArticle("T", "Mittagstisch", 900, 1, "angbis = '2026-12-05 14:30:00', angpreis = 650");
  const std::string day = "happy1start = '17:00', happy1ende = '19:00', happy2start = '18:30', happy2ende = '18:45'";
  const std::string night = "happy1start = '22:00', happy1ende = '02:00', happy2start = '', happy2ende = ''";
  // Hours, time of day, article, take-away, price.
  const std::tuple<const std::string&, int, int, int, const char*, bool, int32_t> cases[] = {
      {day, 16, 59, 0, "P", false, 800},   {day, 17, 0, 0, "P", false, 500},
      {day, 19, 0, 0, "P", false, 500},    {day, 19, 1, 0, "P", false, 800},
      {day, 18, 40, 0, "P", false, 450},   {day, 18, 40, 0, "P", true, 250},
      {day, 18, 0, 0, "W", false, 300},    {day, 18, 0, 0, "W", true, 300},
      {night, 22, 30, 0, "P", false, 800}, {night, 1, 30, 0, "P", false, 800},
      {day, 12, 0, 0, "A", false, 199},    {day, 14, 29, 59, "T", false, 650},
      {day, 14, 30, 0, "T", false, 900},   {day, 12, 0, 0, "gibt es nicht", false, 0},
  };
  for (const auto& [hours, h, m, s, artnr, takeAway, price] : cases) {
    f.db.Exec("UPDATE system SET " + hours);
    f.db.env().SetNow({Date{2026, 12, 5}, h, m, s, 0});
    EXPECT_EQ(f.orders.orderImport().GetArticlePrice(artnr, takeAway), price)
        << artnr << " " << h << ":" << m << ":" << s;
  }
  f.db.env().SetNow({Date{2026, 12, 6}, 0, 0, 0, 0});
  EXPECT_EQ(f.orders.orderImport().GetArticlePrice("A", false), 300);
}

// Without its closing "E" line an order waits; one that never gets it is
// booked after the limit with a word on how much arrived. A closing line
// without its line end may be the first half of "E;;A". The confirmation lists
// every failure in line order. The table of an order is the one its own "A"
// line names: never one of an earlier file, never a number the field cannot hold.
TEST_F(OrderFileTest, UnfinishedRefusedAndFailedFilesAnswerWithEveryFailure) {
  const std::string order = f.Slot(1) + "bestell.txt";
  WriteAll(order, "A;12;3\r\nD;10;1;;\r\nE;;");
  for (int i = 0; i < 3; ++i) f.Pass();
  EXPECT_FALSE(fs::exists(f.Slot(1) + "confirm.kas"));
  WriteAll(order, "A;12;3\r\nD;10;1;;\r\nE;;A\r\n");
  for (int i = 0; i < 3 && !fs::exists(f.Slot(1) + "confirm.kas"); ++i) f.Pass();
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_EQ(f.settleCalls, std::vector<std::string>({"1/12/3/BAR/"}));

  fs::remove(f.Slot(1) + "confirm.kas");
  f.kitchenCalls.clear();
  WriteAll(order, "A;14;3\r\nD;10;1;;\r\nD;20;1;;\r\n");
  const int64_t start = f.db.env().MonotonicMs();
  for (int i = 0; i < 60 && !fs::exists(f.Slot(1) + "confirm.kas"); ++i) f.Pass();
  EXPECT_GE(f.db.env().MonotonicMs() - start, gateway::kUnfinishedLimitMs);
  EXPECT_EQ(f.Confirm(1), " +++ Bestelldatei unvollständig übertragen (ohne Abschlusszeile E), 2 Zeilen gebucht.\r\n");
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 14"), 2);

  // A request is taken only with its line end: one that never ends is refused
  // after the limit, so that a half-written list of ids never settles the wrong lines.
  const std::string request = f.Slot(1) + "info.txt";
  WriteAll(request, "ABRECHNEN;50;3;47");
  gateway::Handover h;
  for (int i = 0; i < 40 && h.outcome != HandoverOutcome::Refused; ++i) h = f.exchange.RequestFile(1).TakeOver("");
  EXPECT_EQ(h.outcome, HandoverOutcome::Refused);
  EXPECT_EQ(h.error, "unvollständig (ohne Zeilenende)");
  EXPECT_FALSE(fs::exists(request));
  // The file's lines, the confirmation, the lines booked.
  const std::tuple<std::vector<std::string>, std::string, int64_t> cases[] = {
      {{"D;10;1", "E;;"},
       " +++ Artikel >10< ohne gültige Tischangabe (A-Zeile) nicht gebucht. +++ Keine Datensätze gefunden.\r\n",
       0},
      {{"A;99999999999;3", "D;10;1", "E;;"},
       " +++ Tischnummer >99999999999< unzulässig. +++ Artikel >10< ohne gültige Tischangabe (A-Zeile) nicht gebucht."
       " +++ Keine Datensätze gefunden.\r\n",
       0},
      {{"A;-4;3", "D;20;1", "A;9;3", "D;10;1", "E;;"},
       " +++ Tischnummer >-4< unzulässig. +++ Artikel >20< ohne gültige Tischangabe (A-Zeile) nicht gebucht.\r\n",
       1},
      {{"A;5;3", "D;10;0", "D;10;99", "D;10;100", "D;99;0", "E;;"},
       " +++ Mengenangabe unzulässig +++ Mengenangabe unzulässig +++ Artikel >99< nicht gefunden.\r\n",
       1},
      // Bytes no terminal means (FreeTDS cannot pass them to SQL Server) cost their line only.
      {{"A;5;3", "D;10;1;Eis\x81;", "D;77;1", "D;20;1;\x8D;", "D;1\x90;1", "D;20;1;scharf", "E;;"},
       " +++ Artikel >10< nicht gebucht: Zeichen in Küchentext nicht erlaubt. +++ Artikel >77< nicht gefunden. +++ "
       "Artikel >20< nicht gebucht: Zeichen in Küchentext nicht erlaubt. +++ Artikel >1?< nicht gebucht: Zeichen in "
       "Artikelnummer nicht erlaubt.\r\n",
       1},
  };
  for (const auto& [lines, confirm, booked] : cases) {
    f.db.Exec("DELETE FROM bestellung");
    f.Drop(1, "bestell.txt", lines);
    f.Pass();
    EXPECT_EQ(f.Confirm(1), confirm);
    EXPECT_EQ(f.db.Count("bestellung"), booked) << confirm;
  }
  EXPECT_TRUE(f.kitchenCalls.empty()) << "none after a failed line or an unfinished file";
  EXPECT_EQ(f.db.Scalar("SELECT kueinfo FROM bestellung"), "scharf");
  // Files above 1 MB and lines above a sane length are refused with an answer
  // and set aside; the log stays bounded; a folder or FIFO under an exchange name
  // gets one log line and never blocks the terminal's other files.
  WriteAll(order, "A;16;3\r\n" + std::string(1100000, 'x') + "\r\nE;;\r\n");
  f.Pass();
  EXPECT_EQ(f.Confirm(1).rfind(" +++ Bestelldatei abgelehnt: größer als 1 MB (", 0), 0u) << f.Confirm(1);
  EXPECT_EQ(LogLinesWith("FEHLER: Bestelldatei von Orderterminal 1 abgelehnt"), 1);

  f.Drop(1, "bestell.txt", {"A;16;3", "D;10;1;" + std::string(5000, 'n') + ";", "E;;"});
  f.Pass();
  EXPECT_EQ(f.Confirm(1), " +++ Bestelldatei abgelehnt: Zeile länger als 4000 Zeichen.\r\n");
  // Out of the terminal's folder into the installation's, the large one cut short.
  const std::string aside = f.db.state().exePfad + "BEISEITE";
  std::vector<std::string> setAside;
  for (const auto& e : fs::directory_iterator(aside)) {
    setAside.push_back(e.path().filename().string().substr(0, e.path().filename().string().find('-')));
    EXPECT_LE(fs::file_size(e.path()), 64u * 1024 + 100) << e.path();
  }
  std::sort(setAside.begin(), setAside.end());
  const std::string slot = fs::path(f.Slot(1)).parent_path().filename().string();
  EXPECT_EQ(setAside, (std::vector<std::string>{slot + "_bestell.txt.abgelehnt", slot + "_info.txt.abgelehnt",
                                                slot + "_ppcorders1.in.abgelehnt"}))
      << "the unfinished request and both orders";
  EXPECT_EQ(std::count_if(
                fs::directory_iterator(f.Slot(1)), fs::directory_iterator(),
                [](const auto& e) { return e.path().filename().string().find(".abgelehnt-") != std::string::npos; }),
            0);
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 16"), 0);

  f.log.AddLogLine(std::string(5000, 'l'));
  EXPECT_LE(f.db.ui().logLines.back().size(), gateway::kMaxLogLineChars);
  // The running log keeps the newest 4000 characters.
  for (int i = 0; i < 200; ++i) f.log.AddLogLine("Zeile " + std::to_string(i) + std::string(30, '.'));
  EXPECT_EQ(f.log.text().size(), 4000u);
  EXPECT_EQ(f.log.text().substr(4000 - 41), "Zeile 199" + std::string(30, '.') + "\r\n");

  fs::create_directory(order);
#ifndef _WIN32  // Windows folders hold no pipes
  ASSERT_EQ(::mkfifo((f.Slot(2) + "info.txt").c_str(), 0600), 0);
#endif
  f.Drop(1, "info.txt", {"TISCH;12"});
  for (int i = 0; i < 3; ++i) f.Pass();
  EXPECT_EQ(LogLinesWith(order + " ist keine Datei (ein Ordner)"), 1);
#ifndef _WIN32
  EXPECT_EQ(LogLinesWith(f.Slot(2) + "info.txt ist keine Datei (ein Gerät oder eine Pipe)"), 1);
#endif
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"1"})) << "the folder does not hold up the request";
}

// An order whose booking keeps failing (out of memory) is taken again after a
// pause that doubles, then set aside; the other terminal is served meanwhile,
// and the terminal's next order is booked.
TEST_F(OrderFileTest, AnOrderThatKeepsFailingIsTriedLessOftenThenSetAside) {
  f.claimBooked = [](int32_t table) -> std::string {
    if (table == 12) throw std::bad_alloc();
    return "";
  };
  f.Drop(1, "bestell.txt", {"A;12;3", "D;10;1;;", "E;;"});
  std::vector<int64_t> failedAt;
  for (int64_t t0 = f.db.env().MonotonicMs(); f.db.env().MonotonicMs() - t0 < 20000;) {
    f.Pass();
    if (LogLinesWith("Orderterminal 1: std::bad_alloc") > static_cast<int>(failedAt.size())) {
      failedAt.push_back(f.db.env().MonotonicMs());
    }
    if (failedAt.size() == 1 && LogLinesWith("Tisch 14") == 0) f.Drop(2, "bestell.txt", {"A;14;3", "D;10;1;;", "E;;"});
  }
  ASSERT_EQ(failedAt.size(), 5u);
  for (size_t i = 1; i < failedAt.size(); ++i) EXPECT_GE(failedAt[i] - failedAt[i - 1], 1000 << (i - 1));
  EXPECT_EQ(f.Confirm(2), "OK\r\n");
  EXPECT_EQ(LogLinesWith("Bestelldatei von Orderterminal 1 5-mal nicht verarbeitet (std::bad_alloc), beiseitegelegt"),
            1);
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 12"), 0);
  f.Drop(1, "bestell.txt", {"A;13;3", "D;10;1;;", "E;;"});
  for (int i = 0; i < 10 && !fs::exists(f.Slot(1) + "confirm.kas"); ++i) f.Pass();
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
}

// Files of one name set aside within one second keep apart; the one beyond
// the free names stays where it is rather than overwrite one set aside before.
TEST(SetAside, FilesOfOneSecondKeepApartAndNoneIsOverwritten) {
  TempDir dir;
  FakeEnv env;
  env.SetNow({{2026, 12, 8}, 21, 5, 9, 0});
  const std::string file = dir / "bestell.txt";
  std::set<std::string> names;
  for (int i = 0; i < gateway::kAsideSameSecond; ++i) {
    WriteAll(file, std::to_string(i));
    const Result<std::string> aside = gateway::SetAside(env, file, "abgelehnt");
    ASSERT_TRUE(aside) << i << ": " << aside.status().message();
    EXPECT_EQ(ReadAll(*aside), std::to_string(i));
    names.insert(*aside);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(gateway::kAsideSameSecond));
  EXPECT_TRUE(names.count(file + ".abgelehnt-20261208-210509") && names.count(file + ".abgelehnt-20261208-210509-99"));
  WriteAll(file, "last");
  EXPECT_FALSE(gateway::SetAside(env, file, "abgelehnt"));
  EXPECT_EQ(ReadAll(file), "last");
  EXPECT_EQ(ReadAll(file + ".abgelehnt-20261208-210509-99"), "98");
}

// Another station's lock at any database call of a booking (with a savepoint
// per line, and without as on SQL Server): the order is booked whole, once,
// with its journal row, or, when the lock stays, not at all with one line
// asking to send it again; the resend is booked once.
TEST_F(OrderFileTest, ALockConflictAtAnyCallBooksTheWholeOrderOnceOrNothing) {
  const std::vector<std::string> order = {"A;12;3", "D;10;1;a;", "D;20;1;b;", "D;10;2;c;", "E;;"};
  f.Drop(1, "bestell.txt", order);
  f.Pass();  // the journal's table
  // With savepoints or without, a lock once or twice.
  for (int variant = 0; variant < 4; ++variant) {
    FaultyConnection faulty(f.db.conn(), true, variant < 2);
    db::StationContext tools(faulty, f.db.state(), f.loop, f.db.ui());
    fiscal::Tse tse(tools, f.tseServer, fiscal::TseIdentity{});
    gateway::TerminalExchange exchange(tools, f.log);
    exchange.Load();
    gateway::OrderBooking orders(tools, tse, exchange, f.log, nullptr, nullptr);
    for (int64_t n = 1;; ++n) {
      SCOPED_TRACE(std::to_string(variant) + ": call " + std::to_string(n));
      f.db.Exec("DELETE FROM bestellung");
      f.db.Exec("DELETE FROM pdajournal");
      f.Drop(1, "bestell.txt", order);
      faulty.FailCall(n, 1 + variant % 2);
      orders.ProcessOrderFile(1);
      const bool tripped = faulty.failed();
      faulty.FailCall(0);
      if (f.Confirm(1) != "OK\r\n") {
        EXPECT_EQ(f.Confirm(1), " +++ Bestellung nicht gespeichert: Datenbank ist belegt, bitte erneut senden.\r\n");
        EXPECT_EQ(f.db.Count("bestellung") + f.db.Count("pdajournal"), 0);
        f.Drop(1, "bestell.txt", order);
        orders.ProcessOrderFile(1);
      }
      EXPECT_EQ(f.Confirm(1), "OK\r\n");
      EXPECT_EQ(f.db.Scalar("SELECT COUNT(*) || '/' || SUM(menge) || '/' || (SELECT COUNT(*) FROM pdajournal) "
                            "FROM bestellung"),
                "3/4/1");
      ASSERT_TRUE(tripped || n > 15) << "every line's lookups, its insert, the journal and the commit";
      if (!tripped) break;
    }
  }
}

// Old logs and files set aside go; the TSE day logs, the archives and
// anything younger than the days kept stay.
TEST(Housekeeping, PrunesTheProgramsOwnOldFilesAndNothingFiscal) {
  TempDir dir;
  const std::string root = dir.path() + "/";
  const int year = platform::DefaultEnv().Now().date.year;
  const std::string log = root + "LOG/" + std::to_string(year) + "/";
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 100);
  for (const std::string& path :
       {log + "PRTLOG001.TXT", log + "SQLERR26.LOG", log + "TSE/TSE_VS_1.LOG",
        root + "BEISEITE/pda1_bestell.txt.abgelehnt-1", root + "ARCHIV/BON/BON1.BON", log + "PRTLOG002.TXT"}) {
    fs::create_directories(fs::path(path).parent_path());
    WriteAll(path, "x");
    if (path != log + "PRTLOG002.TXT") fs::last_write_time(path, old);
  }
  RecordingLog sink;
  EXPECT_TRUE(gateway::Housekeeping(platform::DefaultEnv(), sink, root, 0).Prune().empty());
  std::vector<std::string> deleted;
  for (const std::string& path : gateway::Housekeeping(platform::DefaultEnv(), sink, root, 90).Prune()) {
    deleted.push_back(fs::path(path).make_preferred().string());
  }
  std::sort(deleted.begin(), deleted.end());
  std::vector<std::string> expected{root + "BEISEITE/pda1_bestell.txt.abgelehnt-1", log + "PRTLOG001.TXT",
                                    log + "SQLERR26.LOG"};
  for (std::string& path : expected) path = fs::path(path).make_preferred().string();
  EXPECT_EQ(deleted, expected);
  EXPECT_TRUE(fs::exists(log + "TSE/TSE_VS_1.LOG") && fs::exists(root + "ARCHIV/BON/BON1.BON") &&
              fs::exists(log + "PRTLOG002.TXT"));
}

}  // namespace
}  // namespace tolven::testing
