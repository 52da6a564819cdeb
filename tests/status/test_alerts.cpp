// Alerts of the status page: every message box kept until acknowledged,
// repetitions counted, a bounded log, acknowledgements from another thread, and
// the alerts the TSE raises when its server does not answer.
#include <gtest/gtest.h>

#include <thread>

#include "status/alerts.h"
#include "status/tse_recorder.h"
#include "support/gateway_fixture.h"

namespace tolven::status {
namespace {

using platform::MsgKind;
using testing::FakeEnv;
using testing::FakeUi;

TEST(StatusAlerts, MessageBoxesAreKeptAndPassedOn) {
  FakeEnv env;
  FakeUi console;
  AlertLog log(env);
  RecordingUi ui(console, log);
  ui.MessageBox("Fehler bei Druck auf COM9\r\n\r\nWindows meldet: kein Gerät", MsgKind::Critical, "");
  env.Advance(61000);
  ui.MessageBox("Programm läuft", MsgKind::Information, "Hinweis");
  ui.LogLine("12:00:00  x");

  ASSERT_EQ(console.messages.size(), 2u) << "the console still shows every box";
  EXPECT_EQ(console.logLines.size(), 1u);
  std::vector<Alert> all = log.All();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].text, "Programm läuft") << "newest first";
  EXPECT_EQ(all[0].title, "Hinweis");
  EXPECT_EQ(all[1].title, platform::kAppTitle) << "an empty title is the application's";
  EXPECT_EQ(all[1].kind, MsgKind::Critical);
  EXPECT_EQ(all[1].firstTime, "05.12.2026 12:00:00");
  EXPECT_EQ(log.OpenCount(), 2u);
}

TEST(StatusAlerts, RepeatsCountUpUntilAcknowledged) {
  FakeEnv env;
  AlertLog log(env);
  int64_t a = log.Add(MsgKind::Critical, "T", "COM9 gestört");
  log.Add(MsgKind::Critical, "T", "anderes");
  env.Advance(5000);
  EXPECT_EQ(log.Add(MsgKind::Critical, "T", "COM9 gestört"), a);
  EXPECT_NE(log.Add(MsgKind::Exclamation, "T", "COM9 gestört"), a) << "another kind is another alert";
  std::vector<Alert> all = log.All();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].id, a) << "a repetition moves the alert up";
  EXPECT_EQ(all[1].count, 2);
  EXPECT_EQ(all[1].lastTime, "05.12.2026 12:00:05");
  EXPECT_EQ(all[1].firstTime, "05.12.2026 12:00:00");

  EXPECT_TRUE(log.Acknowledge(a, "127.0.0.1"));
  EXPECT_FALSE(log.Acknowledge(a, "127.0.0.1")) << "already acknowledged";
  EXPECT_FALSE(log.Acknowledge(999, "127.0.0.1"));
  EXPECT_NE(log.Add(MsgKind::Critical, "T", "COM9 gestört"), a) << "after acknowledging, it is news again";
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
  int64_t first = log.Add(MsgKind::Critical, "T", "1");
  int64_t second = log.Add(MsgKind::Critical, "T", "2");
  log.Add(MsgKind::Critical, "T", "3");
  log.Acknowledge(second, "x");
  log.Add(MsgKind::Critical, "T", "4");
  for (const Alert& a : log.All()) EXPECT_NE(a.id, second);
  log.Add(MsgKind::Critical, "T", "5");
  for (const Alert& a : log.All()) EXPECT_NE(a.id, first) << "then the oldest open one";
  EXPECT_EQ(log.All().size(), 3u);
  EXPECT_EQ(log.dropped(), 2);
  EXPECT_EQ(log.All().front().text, "5");

  log.Add(MsgKind::Critical, "T", std::string(AlertLog::kMaxText + 100, 'x'));
  EXPECT_EQ(log.All().front().text.size(), AlertLog::kMaxText + 6);
}

TEST(StatusAlerts, AcknowledgingFromAnotherThreadWhileAlertsArrive) {
  platform::Env& env = platform::DefaultEnv();
  AlertLog log(env, 50);
  std::thread server([&log] {
    for (int round = 0; round < 2000; ++round) {
      for (const Alert& a : log.All()) log.Acknowledge(a.id, "127.0.0.1");
    }
  });
  for (int i = 0; i < 2000; ++i) log.Add(MsgKind::Critical, "T", "Meldung " + std::to_string(i % 70));
  server.join();
  log.AcknowledgeAll("x");
  EXPECT_EQ(log.OpenCount(), 0u);
  EXPECT_LE(log.All().size(), 50u);
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
  EXPECT_EQ(monitor.last().processType, "Kassenbeleg-V1");
  EXPECT_TRUE(alerts.All().empty());

  // The server stops answering; every order still tries, and the one alert counts them.
  server.answer = false;
  monitor.Start("", "");
  EXPECT_FALSE(monitor.last().ok);
  EXPECT_EQ(monitor.lastTimeout(), "05.12.2026 12:00:00 Trx-Start");
  monitor.Start("", "");
  std::vector<Alert> all = alerts.All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].count, 2);
  EXPECT_NE(all[0].text.find("Keine Antwort vom TSE-Server erhalten (Trx-Start)"), std::string::npos);
  monitor.Finish(-1, "Kassenbeleg-V1", "d");
  EXPECT_EQ(alerts.All().size(), 2u);
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
