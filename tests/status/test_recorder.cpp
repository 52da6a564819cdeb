// What the status page learns from the gateway: message boxes kept as alerts
// until acknowledged, the TSE's outcomes, printouts and their outcome per
// channel, receipts read back from the BON archive, and the snapshots the poll
// loop publishes.
#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include "common/crc16.h"
#include "common/text.h"
#include "printing/escpos_qr.h"
#include "status/alerts.h"
#include "status/print_recorder.h"
#include "status/snapshot.h"
#include "status/tse_recorder.h"
#include "support/fake_print_engine.h"
#include "support/gateway_fixture.h"

namespace tolven::status {
namespace {

using platform::MsgKind;
using testing::FakeEnv;
using testing::FakePrintEngine;
using Lines = std::vector<std::string>;

// Every message box is kept until acknowledged, repetitions count up, and the
// log stays bounded, dropping acknowledged alerts first, then the oldest.
TEST(StatusAlerts, RepeatsCountUpUntilAcknowledgedAndTheLogStaysBounded) {
  FakeEnv env;
  testing::FakeUi console;
  AlertLog log(env, 3);
  auto State = [&log] {
    std::string out;
    for (const Alert& a : log.All()) out += std::to_string(a.id) + "x" + std::to_string(a.count) + " ";
    return out + std::to_string(log.dropped());
  };
  RecordingUi(console, log).MessageBox("COM9 gestört", MsgKind::Critical, "");
  log.Add(MsgKind::Critical, "T", "anderes");
  env.Advance(5000);
  EXPECT_EQ(log.Add(MsgKind::Critical, platform::kAppTitle, "COM9 gestört"), 1)
      << "an empty title is the application's";
  EXPECT_EQ(log.Add(MsgKind::Exclamation, platform::kAppTitle, "COM9 gestört"), 3) << "another kind is another alert";
  EXPECT_EQ(console.messages.size(), 1u) << "the console still shows every box";
  EXPECT_EQ(State(), "3x1 1x2 2x1 0") << "a repetition moves the alert up";
  EXPECT_EQ(log.All()[1].firstTime + " " + log.All()[1].lastTime, "05.12.2026 12:00:00 05.12.2026 12:00:05");

  EXPECT_TRUE(log.Acknowledge(1, "127.0.0.1"));
  EXPECT_FALSE(log.Acknowledge(1, "127.0.0.1") || log.Acknowledge(999, "127.0.0.1"));
  EXPECT_EQ(log.Add(MsgKind::Critical, platform::kAppTitle, "COM9 gestört"), 4) << "acknowledged, it is news again";
  EXPECT_EQ(State(), "4x1 3x1 2x1 1");
  log.Add(MsgKind::Critical, "T", std::string(AlertLog::kMaxText + 100, 'x'));
  EXPECT_EQ(State(), "5x1 4x1 3x1 2");
  EXPECT_EQ(log.All().front().text.size(), AlertLog::kMaxText + 6);
  std::vector<Alert> taken = log.TakeAcknowledged();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].acknowledgedBy, "127.0.0.1");
  EXPECT_TRUE(log.TakeAcknowledged().empty());
  EXPECT_EQ(log.AcknowledgeAll("::1"), 3);
  EXPECT_EQ(log.OpenCount(), 0u);
}

// An answer without a signature is no time-out, but the receipt is unsigned
// all the same.
TEST(TseMonitor, AlertsOnMissingSignatures) {
  FakeEnv env;
  AlertLog alerts(env);
  testing::ScriptedTseServer server;
  TseMonitor monitor(server, alerts, env);
  server.emptySignature = true;
  monitor.Finish(101, "Bestellung-V1", "d");
  EXPECT_FALSE(monitor.last().ok);
  EXPECT_EQ(monitor.timeouts(), 0);
  ASSERT_EQ(alerts.All().size(), 1u);
  EXPECT_NE(alerts.All()[0].text.find("ohne Signatur"), std::string::npos);
}

class PrintRecorderTest : public ::testing::Test {
 protected:
  PrintRecorderTest() : recorder(engine, env) {
    recorder.SetQrLookup([this](int32_t bunr) {
      lookups.push_back(bunr);
      return bunr == 7 ? std::string("V0;KASSE;Kassenbeleg-V1;QR") : std::string();
    });
  }
  void Print(PrintoutKind kind, const Lines& lines, const std::vector<std::string>& channels) {
    PrintRecorder::Scope scope(recorder, kind);
    for (const std::string& channel : channels) recorder.MyPrint(lines, channel, !StartsWith(channel, "FILE:"), false);
  }

  FakeEnv env;
  FakePrintEngine engine;
  PrintRecorder recorder;
  std::vector<int32_t> lookups;
};

TEST_F(PrintRecorderTest, AReceiptArchivedAndPrintedIsOneRecordWithBothOutcomes) {
  engine.FailChannel("COM1");
  Print(PrintoutKind::CustomerReceipt, {"Bon-Nr 7", "SUMME 8.40"}, {"FILE:/kasse/ARCHIV/BON/BON7.BON", "COM1"});
  ASSERT_EQ(engine.printouts.size(), 2u) << "everything reaches the real engine";
  const PrintoutRecord& r = *recorder.Receipts().at(0);
  EXPECT_EQ(recorder.Receipts().size(), 1u);
  EXPECT_EQ(r.bunr, 7);
  ASSERT_EQ(r.deliveries.size(), 2u);
  EXPECT_TRUE(r.deliveries[0].ok && !r.deliveries[1].ok);
  EXPECT_TRUE(r.cutAtEnd) << "the printer copy is cut";
  EXPECT_EQ(r.text, (Lines{"Bon-Nr 7", "SUMME 8.40", "[Schnitt]", "[QR-Code gespeichert] V0;KASSE;Kassenbeleg-V1;QR"}));
  EXPECT_EQ(lookups, (std::vector<int32_t>{7})) << "looked up once, not again for the printer copy";
  Print(PrintoutKind::CustomerReceipt, {"Bon-Nr 8", printing::EscPosQrCode("IM AUSDRUCK")}, {"FILE:/a/BON8.BON"});
  EXPECT_EQ(lookups.size(), 1u) << "a receipt with its own QR code needs no lookup";
  std::string channels;
  for (const ChannelOutcome& c : recorder.Channels()) {
    channels += c.channel + " " + std::to_string(c.printouts) + "/" + std::to_string(c.failures) + "; ";
  }
  EXPECT_EQ(channels, "COM1 1/1; FILE:/a/BON*.BON 1/0; FILE:/kasse/ARCHIV/BON/BON*.BON 1/0; ");
}

// A copy within one scope is one more delivery of the printout; the record a
// snapshot already holds stays as it was. The next order, or a printout outside
// any scope, is a printout of its own.
TEST_F(PrintRecorderTest, CopiesMergeWithinOneScopeOnly) {
  Print(PrintoutKind::KitchenReceipt, {"KÜCHE", "1x Pizza"}, {"FILE:/k.txt"});
  std::shared_ptr<const PrintoutRecord> published = recorder.KitchenReceipts().front();
  Print(PrintoutKind::KitchenReceipt, {"KÜCHE", "1x Pizza"}, {"FILE:/k.txt", "FILE:/k.txt"});
  EXPECT_EQ(recorder.KitchenReceipts().size(), 2u);
  EXPECT_EQ(recorder.KitchenReceipts().front()->deliveries.size(), 2u);
  EXPECT_EQ(published->deliveries.size(), 1u);
  Print(PrintoutKind::Other, {"x"}, {});
  recorder.MyPrint({"x"}, "COM2", true, false);
  recorder.MyPrint({"x"}, "COM2", true, false);
  EXPECT_EQ(recorder.Receipts().size(), 2u);
  EXPECT_EQ(recorder.Receipts()[0]->kind, PrintoutKind::Other);
}

TEST_F(PrintRecorderTest, OnlyTheLastReceiptsAndChannelsAreKept) {
  for (int i = 1; i <= 20; ++i) {
    Print(PrintoutKind::CustomerReceipt, {"Bon " + std::to_string(i)}, {"FILE:/a/BON" + std::to_string(i) + ".BON"});
  }
  ASSERT_EQ(recorder.Receipts().size(), PrintRecorder::kKeep);
  EXPECT_EQ(recorder.Receipts().front()->bunr, 20);
  // The channel printed to longest ago makes room, whatever its name.
  for (int i = 1; i <= 60; ++i) Print(PrintoutKind::Other, {"x"}, {"COM" + std::to_string(i), "COM0"});
  std::set<std::string> names;
  for (const auto& c : recorder.Channels()) names.insert(c.channel);
  EXPECT_EQ(names.size(), PrintRecorder::kMaxChannels);
  EXPECT_TRUE(names.count("COM0") && names.count("COM60") && !names.count("COM1"));
  EXPECT_EQ(ArchiveReceiptNumber("FILE:/a/bon12.bon"), 12);
  for (const char* no : {"FILE:/a/BON.BON", "FILE:/a/BONx1.BON", "/a/BON1.BON", "FILE:/a/BON12345678901.BON"}) {
    EXPECT_EQ(ArchiveReceiptNumber(no), 0) << no;
  }
}

// After a restart the last receipts come back from the BON archive, with the
// outcome of their check value.
TEST_F(PrintRecorderTest, ArchivedReceiptsComeBackWithTheirCheck) {
  testing::TempDir dir;
  const std::string l1 = "Bon-Nr 3", l2 = "\x1B!\x10SUMME EUR  4.20\x1B!{0}";  // NUL is archived as {0}
  testing::WriteAll(dir / "BON3.BON", l1 + "\r\n" + l2 + "\r\n###CRC:" + HexEncode(Crc16Text(l1 + l2)) + "\r\n");
  testing::WriteAll(dir / "BON5.BON", "Bon-Nr 5\r\n###CRC:0000\r\n");
  recorder.LoadArchived(dir.path() + "/", {5, 4, 3});
  auto receipts = recorder.Receipts();
  ASSERT_EQ(receipts.size(), 2u) << "BON4.BON does not exist";
  EXPECT_EQ(receipts[0]->source + "|" + receipts[1]->source,
            "Archiv BON5.BON, Prüfsumme FALSCH|Archiv BON3.BON, Prüfsumme stimmt");
  EXPECT_EQ(receipts[1]->lines, (Lines{l1, ReplaceAll(l2, "{0}", std::string(1, '\0'))}));
}

class CollectorTest : public ::testing::Test {
 protected:
  CollectorTest()
      : alerts(f.db.env()),
        monitor(f.tseServer, alerts, f.db.env()),
        recorder(engine, f.db.env()),
        collector(StatusSources{f.form,
                                f.tse,
                                monitor,
                                recorder,
                                alerts,
                                f.db.state(),
                                f.db.env(),
                                [] { return int64_t{42}; },
                                [] { return std::string("Bitte warten..."); },
                                &counters,
                                nullptr,
                                {{"FILE:/K.TXT", "Küchendrucker 1 Grill"}}},
                  board) {}
  uint64_t Sequence() { return board.Latest() ? board.Latest()->sequence : 0; }

  testing::GatewayFixture f;
  StatusCounters counters;
  AlertLog alerts;
  TseMonitor monitor;
  FakePrintEngine engine;
  PrintRecorder recorder;
  StatusBoard board;
  StatusCollector collector;
};

// The hook in the poll loop publishes the slots' last activity and the files
// the terminals have not collected.
TEST_F(CollectorTest, TheHookInThePollLoopPublishesTheSlots) {
  f.form.hooks().processEvents = [this] { collector.OnProcessEvents(); };
  f.AddArticle("10", "Cola", 300);
  f.Drop(1, "bestell.txt", {"A;5;3", "D;10;1;;", "E;;"});
  f.Drop(2, "info.kas", {"OK"});
  f.form.PollPass();
  recorder.MyPrint({"x"}, "file:/k.txt:", true, false);
  collector.Collect();
  auto s = board.Latest();
  EXPECT_EQ(s->slots[0].lastOrder + "|" + s->slots[0].lastAnswer + "|" + s->slots[0].pendingFiles.at(0),
            "Tisch 5: 1 Zeilen|OK|confirm.kas");
  EXPECT_EQ(s->slots[1].pendingFiles, (Lines{"info.kas"})) << "an answer the terminal has not collected";
  EXPECT_EQ(s->tse.answerQueries, 42);
  ASSERT_EQ(s->printers.size(), 1u);
  EXPECT_EQ(s->printers[0].name, "Küchendrucker 1 Grill") << "found whatever the case and colon";
}

// Counts of the day start at zero with the first snapshot of a new day; the
// totals go on. Pass durations fall into their buckets.
TEST_F(CollectorTest, CountsOfTheDayStartAtMidnight) {
  counters.OrderBooked(2);
  counters.Request("ZAHLUNGKK");
  engine.FailChannel("COM9");
  recorder.MyPrint({"x"}, "COM9", true, false);
  collector.Collect();
  EXPECT_EQ(board.Latest()->today.requests, (std::map<std::string, int64_t>{{"kundenzahlung", 1}}));
  f.db.env().SetNow(DateTime{f.db.env().Now().date, 23, 59, 59, 0});
  collector.Collect();
  f.db.env().Advance(2000);
  collector.Collect();
  counters.OrderBooked(0);
  collector.Collect();
  auto s = board.Latest();
  EXPECT_EQ(std::to_string(s->today.ordersBooked) + " " + std::to_string(s->today.printFailures) + " " +
                std::to_string(s->today.requests.at("kundenzahlung")) + " " + std::to_string(s->total.ordersBooked) +
                " " + std::to_string(s->total.printFailures),
            "1 0 0 2 1");

  counters.PassDone(1000);  // the first call only starts the clock
  for (int64_t at : {1250, 1950, 501950}) counters.PassDone(at);
  const PassHistogram& h = counters.passes();
  EXPECT_EQ(std::to_string(h.count) + " " + std::to_string(h.sumMs), "3 500950");
  EXPECT_EQ(std::vector<int64_t>(h.buckets.begin(), h.buckets.begin() + 3), (std::vector<int64_t>{1, 0, 1}));
  EXPECT_EQ(std::accumulate(h.buckets.begin(), h.buckets.end(), int64_t{0}), 2)
      << "beyond the last bound only in the count";
}

TEST_F(CollectorTest, PublishesWhenSomethingChangedButNotOnEveryEvent) {
  collector.OnProcessEvents();
  collector.OnProcessEvents();
  f.db.env().Advance(500);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), 1u) << "nothing new within the idle interval";
  f.form.AddLogLine("neu");  // the form calls the hook of the fixture, not ours
  collector.OnProcessEvents();
  f.form.AddLogLine("gleich danach");
  f.db.env().Advance(StatusCollector::kMinIntervalMs - 1);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), 2u) << "bursts are published at most every kMinIntervalMs";
  f.db.env().Advance(1);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), 3u);
  f.db.env().Advance(StatusCollector::kIdleIntervalMs);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), 4u) << "exchange files are looked at now and then anyway";
}

}  // namespace
}  // namespace tolven::status
