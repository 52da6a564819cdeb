// Taking exchange files over from a terminal: only whole files, nothing of
// absurd size, and one word about anything under an exchange name that is not
// a file. (That nothing is written outside the exchange folders, also one
// mounted separately: the end-to-end evening.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;
using gateway::HandoverOutcome;

class HandoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.AddArticle("10", "Cola 0,4", 350);
    f.AddArticle("20", "Pizza Salami", 890);
  }
  void Append(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
  }
  // Passes until confirm.kas appears (at most `passes`).
  void PollUntilConfirmed(int passes) {
    for (int i = 0; i < passes && !fs::exists(f.Slot(1) + "confirm.kas"); ++i) f.form.PollPass();
  }
  int LogLinesWith(const std::string& part) {
    int n = 0;
    for (const auto& l : f.db.ui().logLines) n += l.find(part) != std::string::npos;
    return n;
  }
  GatewayFixture f;
};

// Without its closing "E" line an order waits; one that never gets it is
// booked after the limit with a word on how much arrived. A closing line
// without its line end may be the first half of "E;;A".
TEST_F(HandoverTest, AnOrderWithoutItsClosingLineWaitsThenSaysHowMuchWasBooked) {
  const std::string order = f.Slot(1) + "bestell.txt";
  WriteAll(order, "A;12;3\r\nD;10;1;;\r\nE;;");
  for (int i = 0; i < 3; ++i) f.form.PollPass();
  EXPECT_FALSE(fs::exists(f.Slot(1) + "confirm.kas"));
  Append(order, "A\r\n");
  PollUntilConfirmed(3);
  EXPECT_EQ(f.Confirm(1), "OK\r\n");
  EXPECT_EQ(f.settleCalls, std::vector<std::string>({"1/12/3/BAR/"}));

  fs::remove(f.Slot(1) + "confirm.kas");
  f.kitchenCalls.clear();
  WriteAll(order, "A;14;3\r\nD;10;1;;\r\nD;20;1;;\r\n");
  const int64_t start = f.db.env().MonotonicMs();
  PollUntilConfirmed(60);
  EXPECT_GE(f.db.env().MonotonicMs() - start, gateway::kUnfinishedLimitMs);
  EXPECT_EQ(f.Confirm(1), " +++ Bestelldatei unvollständig übertragen (ohne Abschlusszeile E), 2 Zeilen gebucht.\r\n");
  EXPECT_EQ(f.db.Count("bestellung", "tisch = 14"), 2);
  EXPECT_TRUE(f.kitchenCalls.empty());
}

// A request is taken only with its line end (the end-to-end evening writes
// one in two halves): one that never ends is refused after the limit, so that
// a half-written list of ids never settles the wrong lines.
TEST_F(HandoverTest, ARequestWithoutItsLineEndIsRefusedAfterTheLimit) {
  const std::string request = f.Slot(1) + "info.txt";
  WriteAll(request, "ABRECHNEN;50;3;47");
  gateway::Handover h;
  for (int i = 0; i < 40 && h.outcome != HandoverOutcome::Refused; ++i) h = f.form.RequestFile(1).TakeOver("");
  EXPECT_EQ(h.outcome, HandoverOutcome::Refused);
  EXPECT_EQ(h.error, "unvollständig (ohne Zeilenende)");
  EXPECT_FALSE(fs::exists(request));
}

// Files above 1 MB and lines above a sane length are refused with an answer
// and set aside; the log stays bounded; a folder or FIFO under an exchange name
// gets one log line and never blocks the terminal's other files.
TEST_F(HandoverTest, OversizedAndOddFilesAreRefusedWithOneWord) {
  const std::string order = f.Slot(1) + "bestell.txt";
  WriteAll(order, "A;12;3\r\n" + std::string(1100000, 'x') + "\r\nE;;\r\n");
  f.form.PollPass();
  EXPECT_EQ(f.Confirm(1).rfind(" +++ Bestelldatei abgelehnt: größer als 1 MB (", 0), 0u) << f.Confirm(1);
  EXPECT_FALSE(fs::exists(order));
  EXPECT_EQ(LogLinesWith("FEHLER: Bestelldatei von Orderterminal 1 abgelehnt"), 1);

  f.Drop(1, "bestell.txt", {"A;12;3", "D;10;1;" + std::string(5000, 'n') + ";", "E;;"});
  f.form.PollPass();
  EXPECT_EQ(f.Confirm(1), " +++ Bestelldatei abgelehnt: Zeile länger als 4000 Zeichen.\r\n");
  EXPECT_EQ(std::count_if(fs::directory_iterator(f.Slot(1)), fs::directory_iterator(),
                          [](const auto& e) { return e.path().filename().string().find(".abgelehnt-") != std::string::npos; }),
            2);
  EXPECT_EQ(f.db.Count("bestellung"), 0);

  WriteAll(f.Slot(1) + "info.txt", std::string(1100000, 'x') + "\r\n");
  EXPECT_EQ(f.form.RequestFile(1).TakeOver("").outcome, HandoverOutcome::Refused);

  f.form.AddLogLine(std::string(5000, 'l'));
  EXPECT_LE(f.db.ui().logLines.back().size(), gateway::kMaxLogLineChars);
  // The running log keeps the newest 4000 characters.
  for (int i = 0; i < 200; ++i) f.form.AddLogLine("Zeile " + std::to_string(i) + std::string(30, '.'));
  EXPECT_EQ(f.form.logText().size(), 4000u);
  EXPECT_EQ(f.form.logText().substr(4000 - 41), "Zeile 199" + std::string(30, '.') + "\r\n");

  fs::create_directory(order);
  ASSERT_EQ(::mkfifo((f.Slot(2) + "info.txt").c_str(), 0600), 0);
  f.Drop(1, "info.txt", {"TISCH;12"});
  for (int i = 0; i < 3; ++i) f.form.PollPass();
  EXPECT_EQ(LogLinesWith(order + " ist keine Datei (ein Ordner)"), 1);
  EXPECT_EQ(LogLinesWith(f.Slot(2) + "info.txt ist keine Datei (ein Gerät oder eine Pipe)"), 1);
  EXPECT_EQ(f.requestCalls, std::vector<std::string>({"1"})) << "the folder does not hold up the request";
}

}  // namespace
}  // namespace tolven::testing
