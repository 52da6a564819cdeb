// The event loop's rules as the code checks them, and the calls that wait off
// the loop's thread: a job held up by a lock costs no other job.
#include <gtest/gtest.h>

#include <stdexcept>

#include "db/job_connections.h"
#include "db/transaction.h"
#include "loop/event_loop.h"
#include "loop/holds.h"
#include "support/fake_env.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

// Waiters get a held key first come first served; each broken rule is
// reported, and a job that throws ends alone.
TEST(EventLoop, HoldsAndPausesFollowTheRulesAndAFailingJobEndsAlone) {
  FakeEnv env;
  loop::EventLoop loop(env);
  std::vector<std::string> reports;
  loop.SetReporter([&reports](const std::string& text) { reports.push_back(text); });
  loop::Holds tables(loop, loop::Holds::Rank::Table), devices(loop, loop::Holds::Rank::Device);
  std::string order;
  loop.Spawn([&] {
    const auto hold = tables.Take("Tisch 7");
    loop.SleepMs(10);
    order += "1";
  });
  // Asks second though its pause ends first: a poller would let it in first.
  loop.Spawn([&] {
    loop.SleepMs(2);
    const auto hold = tables.Take("Tisch 7");
    order += "2";
  });
  loop.Spawn([&] {
    loop.SleepMs(1);
    const auto hold = tables.Take("Tisch 7");
    loop.SleepMs(1);
    order += "3";
  });
  loop.RunUntilIdle();
  EXPECT_TRUE(order == "132" && reports.empty() && !tables.IsHeld("Tisch 7")) << order;

  loop.Spawn([&] {
    const auto device = devices.Take("Bondrucker");
    { const auto table = tables.Take("Tisch 8"); }
    const auto again = devices.Take("Bondrucker");
  });
  loop.Spawn([&] {
    const auto table = tables.Take("Tisch 9");
    loop.SleepMs(5);
  });
  loop.Spawn([&] {
    loop::NoteTransaction(true);
    { const auto table = tables.Take("Tisch 9"); }
    loop.SleepMs(1);
    loop::NoteTransaction(false);
    throw std::runtime_error("kaputt");
  });
  loop.RunUntilIdle();
  EXPECT_EQ(order, "132");
  const std::vector<std::string> expected = {"Reihenfolge", "zweimal belegt", "keine Pause erlaubt",
                                             "Pause bei offener Transaktion", "Auftrag abgebrochen: kaputt"};
  ASSERT_EQ(reports.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_NE(reports[i].find(expected[i]), std::string::npos) << reports[i];
  EXPECT_FALSE(devices.IsHeld("Bondrucker") || tables.IsHeld("Tisch 9"));
}

// Another program holds the write lock: the order waiting for it holds up no
// other job's read, and goes through once the lock is released.
TEST(EventLoop, AJobWaitingForALockHoldsUpNoOtherJob) {
  TestDb db;
  auto station = db.OpenSecond(), other = db.OpenSecond();
  ASSERT_TRUE(other->Execute("CREATE TABLE probe (n INTEGER)"));
  ASSERT_TRUE(other->BeginTrans());

  loop::EventLoop loop(platform::DefaultEnv());
  loop.UseWorkerThreads();
  db::JobConnections connections(*station, loop, [&db] { return db.OpenSecond(); });
  std::string events;
  loop.Spawn([&] {
    db::Transaction t(connections);
    const Status begun = t.Begin();
    events += begun ? " order:begun" : " order:" + begun.message();
    if (connections.Execute("INSERT INTO probe VALUES (1)") && t.Commit()) events += " order:stored";
  });
  loop.Spawn([&] {
    auto rs = connections.Query("SELECT COUNT(*) AS n FROM probe");
    events += rs ? " read:" + rs->Raw(0).AsString() : " read:" + rs.status().message();
    // The other program lets go only now.
    const Status released = other->CommitTrans();
    events += released ? " released" : " " + released.message();
  });
  loop.RunUntilIdle();
  EXPECT_EQ(events, " read:0 released order:begun order:stored");
}

// More jobs than connections: the ones that find none wait for the next one
// given back, in the order they came, and no further one is opened.
TEST(EventLoop, JobsBeyondThePoolWaitTheirTurnForItsConnection) {
  TestDb db;
  auto station = db.OpenSecond();
  loop::EventLoop loop(platform::DefaultEnv());
  loop.UseWorkerThreads();
  int opened = 0;
  db::JobConnections connections(
      *station, loop, [&] { return ++opened, db.OpenSecond(); }, 1);
  std::string events;
  for (const char* name : {"a", "b", "c"}) {
    loop.Spawn([&, name] {
      for (int i = 0; i < 2; ++i) events += connections.Query("SELECT 1") ? name : "!";
    });
  }
  loop.RunUntilIdle();
  EXPECT_EQ(events, "abcabc");
  EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace tolven::testing
