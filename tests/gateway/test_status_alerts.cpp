// Alerts of the status page: every message box kept until acknowledged,
// repetitions counted, a bounded log, acknowledgements from another thread, and
// the alerts the TSE raises when its server does not answer.
#include <gtest/gtest.h>

#include <thread>

#include "fiscal/modTSE.h"
#include "fiscal/modTSE_Vestra.h"
#include "gateway/status_alerts.h"
#include "gateway/status_tse.h"
#include "support/test_db.h"

namespace tolven::gateway {
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
  int64_t b = log.Add(MsgKind::Critical, "T", "anderes");
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
  (void)b;
}

TEST(StatusAlerts, TheLogStaysBoundedAndDropsAcknowledgedFirst) {
  FakeEnv env;
  AlertLog log(env, 3);
  int64_t first = log.Add(MsgKind::Critical, "T", "1");
  int64_t second = log.Add(MsgKind::Critical, "T", "2");
  log.Add(MsgKind::Critical, "T", "3");
  log.Acknowledge(second, "x");
  log.Add(MsgKind::Critical, "T", "4");
  std::vector<Alert> all = log.All();
  ASSERT_EQ(all.size(), 3u);
  for (const Alert& a : all) EXPECT_NE(a.id, second);
  log.Add(MsgKind::Critical, "T", "5");
  all = log.All();
  for (const Alert& a : all) EXPECT_NE(a.id, first) << "then the oldest open one";
  EXPECT_EQ(log.dropped(), 2);
  EXPECT_EQ(log.All().front().text, "5");

  std::string huge(AlertLog::kMaxText + 100, 'x');
  log.Add(MsgKind::Critical, "T", huge);
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

// A TSE server adapter that notes a time-out the way the real one does.
class FlakyTseServer : public fiscal::TseServerAdapter {
 public:
  int32_t Start(const std::string&, const std::string&, int32_t& startTime) override {
    startTime = answer ? 1765000000 : 0;
    if (!answer) TimeOut("Trx-Start");
    return answer ? nextTrx++ : -1;
  }
  bool Finish(int32_t, const std::string&, const std::string&, std::string& serial, int32_t& finishTime,
              int32_t& counter, std::string& signature) override {
    serial = answer ? "S-1" : "";
    finishTime = 0;
    counter = answer ? nextCounter++ : 0;
    signature = answer && !emptySignature ? "SIG" : "";
    if (!answer) TimeOut("Trx-Finish");
    return !signature.empty();
  }
  void TimeOut(const std::string& what) { lastTimeout = std::to_string(++timeouts) + " " + what; }

  bool answer = true;
  bool emptySignature = false;
  int32_t nextTrx = 100, nextCounter = 500;
  int timeouts = 0;
  std::string lastTimeout;
};

TEST(TseMonitor, KeepsTheLastTransactionAndAlertsOnTimeOutsAndMissingSignatures) {
  FakeEnv env;
  AlertLog alerts(env);
  FlakyTseServer server;
  TseMonitor monitor(
      server, [&server] { return server.lastTimeout; }, alerts, env);
  int32_t start = 0;
  EXPECT_EQ(monitor.Start("", "", start), 100);
  EXPECT_EQ(monitor.last().operation, "Start");
  std::string serial, signature;
  int32_t finish = 0, counter = 0;
  EXPECT_TRUE(monitor.Finish(100, "Kassenbeleg-V1", "d", serial, finish, counter, signature));
  EXPECT_EQ(monitor.last().signatureCounter, 500);
  EXPECT_EQ(monitor.last().processType, "Kassenbeleg-V1");
  EXPECT_TRUE(alerts.All().empty());

  // The server stops answering; every order still tries, and the one alert counts them.
  server.answer = false;
  EXPECT_EQ(monitor.Start("", "", start), -1);
  EXPECT_FALSE(monitor.last().ok);
  monitor.Start("", "", start);
  std::vector<Alert> all = alerts.All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].count, 2);
  EXPECT_EQ(all[0].kind, MsgKind::Critical);
  EXPECT_NE(all[0].text.find("Keine Antwort vom TSE-Server erhalten (Trx-Start)"), std::string::npos);
  EXPECT_FALSE(monitor.Finish(-1, "Kassenbeleg-V1", "d", serial, finish, counter, signature));
  EXPECT_EQ(alerts.All().size(), 2u);
  EXPECT_EQ(monitor.timeouts(), 3);

  // An answer without a signature is no time-out, but the receipt is unsigned all the same.
  server.answer = true;
  server.emptySignature = true;
  EXPECT_FALSE(monitor.Finish(101, "Bestellung-V1", "d", serial, finish, counter, signature));
  all = alerts.All();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_NE(all[0].text.find("ohne Signatur"), std::string::npos);
  EXPECT_EQ(monitor.timeouts(), 3);
}

TEST(TseMonitorOnTheServerAdapter, ATseServerThatNeverAnswersRaisesAnAlert) {
  testing::TestDb db;
  db.state().tseInUse = true;
  fiscal::modTSE_Vestra vestra(db.tools());
  AlertLog alerts(db.env());
  TseMonitor monitor(
      vestra, [&vestra] { return vestra.lastTimeout(); }, alerts, db.env());
  fiscal::Tse tse(db.tools(), monitor, fiscal::TseIdentity{});
  vestra.Attach(tse);

  int32_t start = 0;
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);  // nobody answers: 15 s on the fake clock
  EXPECT_FALSE(tse.TseReady());
  ASSERT_EQ(alerts.All().size(), 1u);
  EXPECT_NE(alerts.All()[0].text.find("(Trx-Start)"), std::string::npos);
  EXPECT_EQ(monitor.lastTimeout(), vestra.lastTimeout());
  EXPECT_FALSE(monitor.lastTimeout().empty());
}

}  // namespace
}  // namespace tolven::gateway
