// The gateway as an event loop on the fake clock: a terminal is served while
// other orders wait for the TSE, and a silent TSE server costs one time-out,
// not one per order, until a probe finds it answering again.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "support/gateway_fixture.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

class EventLoopTest : public ::testing::Test {
 protected:
  EventLoopTest() {
    f.AddArticle("10", "Cola", 250);
    f.tseServer.waits = &f.loop;
    f.tse.SetLog(f.log);
    f.printOrder = [this](int32_t trx, int32_t table) {
      kitchen += " " + std::to_string(table) + ":" + std::to_string(trx) + "@" + std::to_string(Now());
    };
    // Everything happens between two sleeps of the fake clock: what a sleep
    // finds was done at the time before it.
    f.db.env().onSleep = [this](int ms) {
      const int64_t before = Now() - ms;
      for (int slot = 1; slot <= 2; ++slot) {
        if (fs::remove(f.Slot(slot) + "confirm.kas")) {
          confirmed += " " + std::to_string(slot) + "@" + std::to_string(before);
        }
      }
      RunScript();
    };
  }
  void RunScript() {
    while (!script.empty() && script.begin()->first <= Now()) {
      auto what = script.begin()->second;
      script.erase(script.begin());
      what();
    }
  }
  int64_t Now() { return f.db.env().MonotonicMs() - t0; }
  void At(int64_t ms, std::function<void()> what) { script.emplace(ms, std::move(what)); }
  void Order(int64_t ms, int slot, int table) {
    At(ms, [=, this] { f.Drop(slot, "bestell.txt", {"A;" + std::to_string(table) + ";3", "D;10;1;;", "E;;"}); });
  }
  void RunUntil(int64_t ms) {
    for (RunScript(); Now() < ms; RunScript()) f.poller.PollPass();
  }

  GatewayFixture f;
  const int64_t t0 = f.db.env().MonotonicMs();
  std::multimap<int64_t, std::function<void()>> script;
  std::string confirmed, kitchen;  // " slot@ms", " table:trx@ms"
};

TEST_F(EventLoopTest, EachOrderWaitsOnlyForItsOwnHandOverAndTse) {
  Order(0, 1, 11);
  Order(0, 2, 12);
  // Slot 2's next order is taken over while the TSE answers slot 1's start.
  Order(600, 2, 13);
  RunUntil(2000);
  EXPECT_EQ(confirmed, " 1@550 2@550 2@1150");
  EXPECT_EQ(kitchen, " 11:100@750 12:101@750 13:102@1350");
  EXPECT_EQ(f.db.Count("bestellung"), 3);
}

TEST_F(EventLoopTest, ASilentTseServerIsProbedWhileOrdersGoOnUnsigned) {
  f.tseServer.answer = false;
  Order(0, 1, 11);      // its start finds the outage: the full time-out
  Order(1000, 2, 12);   // sent before that time-out: its own full time-out
  Order(17000, 1, 14);  // held back: unsigned at once
  Order(27000, 2, 15);  // 10 s after the last time-out: the probe
  Order(28000, 1, 15);  // held back while the probe waits, not held up by the probe's table
  At(30000, [this] { f.tseServer.answer = true; });
  Order(31000, 1, 17);  // signed again
  RunUntil(33000);
  EXPECT_EQ(confirmed, " 1@550 2@1550 1@17550 2@27550 1@28550 1@31550");
  EXPECT_EQ(kitchen, " 11:-1@15750 12:-1@16750 14:-1@17550 15:-1@28550 15:100@30000 17:101@31750");
  EXPECT_EQ(f.tseServer.calls.size(), 4u) << "11, 12, the probe, 17";
  const std::string log = f.log.text();
  EXPECT_EQ(log.find("FEHLER: TSE-Server antwortet nicht."), log.rfind("FEHLER: TSE-Server antwortet nicht."));
  EXPECT_NE(log.find("TSE-Server antwortet wieder"), std::string::npos);
  EXPECT_NE(ReadAll(f.tse.TseLogPath()).find(" - TSE-SERVER ANTWORTET NICHT, nicht gesendet"), std::string::npos);
}

TEST_F(EventLoopTest, AStopTakesNoNewFileButLetsTheJobsUnderWayEnd) {
  f.tseServer.answer = false;
  Order(0, 1, 11);
  Order(1000, 2, 12);
  f.afterPass = [this] { return Now() >= 700; };
  RunScript();
  f.poller.PollTerminals();
  EXPECT_EQ(confirmed, " 1@550");
  EXPECT_EQ(kitchen, " 11:-1@15750");
  EXPECT_TRUE(fs::exists(f.Slot(2) + "bestell.txt"));
  EXPECT_EQ(f.loop.jobCount(), 0u);
}

}  // namespace
}  // namespace tolven::testing
