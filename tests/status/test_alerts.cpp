// Alerts of the status page: every message box kept until acknowledged,
// repetitions counted, a bounded log, and the alerts the TSE raises when its
// server does not answer.
#include <gtest/gtest.h>

#include "status/alerts.h"
#include "status/tse_recorder.h"
#include "support/gateway_fixture.h"

namespace tolven::status {
namespace {

using platform::MsgKind;
using testing::FakeEnv;

TEST(StatusAlerts, MessageBoxesAreKeptRepeatsCountUpUntilAcknowledged) {
  FakeEnv env;
  testing::FakeUi console;
  AlertLog log(env);
  RecordingUi ui(console, log);
  ui.MessageBox("COM9 gestört", MsgKind::Critical, "");
  const int64_t a = log.All().at(0).id;
  log.Add(MsgKind::Critical, "T", "anderes");
  env.Advance(5000);
  EXPECT_EQ(log.Add(MsgKind::Critical, platform::kAppTitle, "COM9 gestört"), a)
      << "an empty title is the application's";
  EXPECT_NE(log.Add(MsgKind::Exclamation, platform::kAppTitle, "COM9 gestört"), a) << "another kind is another alert";
  EXPECT_EQ(console.messages.size(), 1u) << "the console still shows every box";
  std::vector<Alert> all = log.All();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].id, a) << "a repetition moves the alert up";
  EXPECT_EQ(std::to_string(all[1].count) + " " + all[1].firstTime + " " + all[1].lastTime,
            "2 05.12.2026 12:00:00 05.12.2026 12:00:05");

  EXPECT_TRUE(log.Acknowledge(a, "127.0.0.1"));
  EXPECT_FALSE(log.Acknowledge(a, "127.0.0.1")) << "already acknowledged";
  EXPECT_FALSE(log.Acknowledge(999, "127.0.0.1"));
  EXPECT_NE(log.Add(MsgKind::Critical, platform::kAppTitle, "COM9 gestört"), a) << "acknowledged, it is news again";
  std::vector<Alert> taken = log.TakeAcknowledged();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].acknowledgedBy, "127.0.0.1");
  EXPECT_TRUE(log.TakeAcknowledged().empty());
  EXPECT_EQ(log.AcknowledgeAll("::1"), 3);
  EXPECT_EQ(log.OpenCount(), 0u);
}

TEST(StatusAlerts, TheLogStaysBoundedAndDropsAcknowledgedFirst) {
  FakeEnv env;
  AlertLog log(env, 3);
  const int64_t first = log.Add(MsgKind::Critical, "T", "1");
  const int64_t second = log.Add(MsgKind::Critical, "T", "2");
  log.Add(MsgKind::Critical, "T", "3");
  log.Acknowledge(second, "x");
  log.Add(MsgKind::Critical, "T", "4");
  for (const Alert& a : log.All()) EXPECT_NE(a.id, second);
  log.Add(MsgKind::Critical, "T", "5");
  for (const Alert& a : log.All()) EXPECT_NE(a.id, first) << "then the oldest open one";
  EXPECT_EQ(log.All().size(), 3u);
  EXPECT_EQ(log.dropped(), 2);
  log.Add(MsgKind::Critical, "T", std::string(AlertLog::kMaxText + 100, 'x'));
  EXPECT_EQ(log.All().front().text.size(), AlertLog::kMaxText + 6);
}

// The scripted server stands in for the adapter; no answer is a time-out.
TEST(TseMonitor, KeepsTheLastTransactionAndAlertsOnTimeOutsAndMissingSignatures) {
  FakeEnv env;
  AlertLog alerts(env);
  testing::ScriptedTseServer server;
  TseMonitor monitor(server, alerts, env);
  EXPECT_EQ(monitor.Start("", "").transactionNumber, 100);
  monitor.Finish(100, "Kassenbeleg-V1", "d");
  EXPECT_TRUE(monitor.last().ok);
  EXPECT_EQ(monitor.last().signatureCounter, 500);
  EXPECT_TRUE(alerts.All().empty());

  // The server stops answering; every order still tries, and the one alert counts them.
  server.answer = false;
  monitor.Start("", "");
  EXPECT_FALSE(monitor.last().ok);
  EXPECT_EQ(monitor.lastTimeout(), "05.12.2026 12:00:00 Trx-Start");
  monitor.Start("", "");
  ASSERT_EQ(alerts.All().size(), 1u);
  EXPECT_EQ(alerts.All()[0].count, 2);
  monitor.Finish(-1, "Kassenbeleg-V1", "d");
  EXPECT_EQ(monitor.timeouts(), 3);

  // An answer without a signature is no time-out, but the receipt is unsigned all the same.
  server.answer = true;
  server.emptySignature = true;
  monitor.Finish(101, "Bestellung-V1", "d");
  EXPECT_FALSE(monitor.last().ok);
  ASSERT_EQ(alerts.All().size(), 3u);
  EXPECT_NE(alerts.All()[0].text.find("ohne Signatur"), std::string::npos);
  EXPECT_EQ(monitor.timeouts(), 3);
}

}  // namespace
}  // namespace tolven::status
