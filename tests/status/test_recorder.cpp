// What the status page learns from the gateway: printouts and their outcome per
// channel, receipts read back from the BON archive, and the snapshots the poll
// loop publishes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/crc16.h"
#include "common/text.h"
#include "status/print_recorder.h"
#include "status/snapshot.h"
#include "printing/escpos_qr.h"
#include "support/fake_print_engine.h"
#include "support/gateway_fixture.h"

namespace tolven::status {
namespace {

using testing::FakeEnv;
using testing::FakePrintEngine;
using Lines = std::vector<std::string>;

class PrintRecorderTest : public ::testing::Test {
 protected:
  PrintRecorderTest() : recorder(engine, env) {
    recorder.SetQrLookup([this](int32_t bunr) {
      lookups.push_back(bunr);
      return bunr == 7 ? std::string("V0;KASSE;Kassenbeleg-V1;QR") : std::string();
    });
  }
  Status Print(const Lines& lines, const std::string& channel, bool cut = true) {
    return recorder.MyPrint(lines, channel, cut, false);
  }

  FakeEnv env;
  FakePrintEngine engine;
  PrintRecorder recorder;
  std::vector<int32_t> lookups;
};

TEST_F(PrintRecorderTest, AReceiptArchivedAndPrintedIsOneRecordWithBothOutcomes) {
  engine.FailChannel("COM1");
  {
    PrintRecorder::Scope scope(recorder, PrintoutKind::CustomerReceipt);
    EXPECT_TRUE(Print({"Bon-Nr 7", "SUMME 8.40"}, "FILE:/kasse/ARCHIV/BON/BON7.BON", false));
    EXPECT_FALSE(Print({"Bon-Nr 7", "SUMME 8.40"}, "COM1"));
  }
  ASSERT_EQ(engine.printouts.size(), 2u) << "everything reaches the real engine";
  auto receipts = recorder.Receipts();
  ASSERT_EQ(receipts.size(), 1u);
  const PrintoutRecord& r = *receipts[0];
  EXPECT_EQ(r.bunr, 7);
  ASSERT_EQ(r.deliveries.size(), 2u);
  EXPECT_TRUE(r.deliveries[0].ok);
  EXPECT_FALSE(r.deliveries[1].ok);
  EXPECT_TRUE(r.cutAtEnd) << "the printer copy is cut";
  EXPECT_EQ(r.text.back(), "[QR-Code gespeichert] V0;KASSE;Kassenbeleg-V1;QR") << "the QR code the lines lack";
  EXPECT_NE(r.html.find("<svg"), std::string::npos);
  EXPECT_EQ(lookups, (std::vector<int32_t>{7})) << "looked up once, not again for the printer copy";

  auto channels = recorder.Channels();
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_EQ(channels[0].channel, "COM1");
  EXPECT_FALSE(channels[0].ok);
  EXPECT_EQ(channels[0].failures, 1);
  EXPECT_EQ(channels[1].channel, "FILE:/kasse/ARCHIV/BON/BON*.BON") << "one channel for all receipt archives";

  {
    PrintRecorder::Scope scope(recorder, PrintoutKind::CustomerReceipt);
    Print({"Bon-Nr 8", printing::EscPosQrCode("IM AUSDRUCK")}, "FILE:/kasse/ARCHIV/BON/BON8.BON", false);
  }
  EXPECT_EQ(lookups.size(), 1u) << "a receipt with its own QR code needs no lookup";
  channels = recorder.Channels();
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_EQ(channels[1].printouts, 2);
}

TEST_F(PrintRecorderTest, KitchenCopiesMergeButPublishedRecordsStayAsTheyWere) {
  std::shared_ptr<const PrintoutRecord> published;
  {
    PrintRecorder::Scope scope(recorder, PrintoutKind::KitchenReceipt);
    Print({"KÜCHE", "1x Pizza"}, "FILE:/k.txt");
    published = recorder.KitchenReceipts().front();
    Print({"KÜCHE", "1x Pizza"}, "FILE:/k.txt");
    Print({"THEKE", "2x Bier"}, "FILE:/t.txt");
  }
  auto kitchen = recorder.KitchenReceipts();
  ASSERT_EQ(kitchen.size(), 2u);
  EXPECT_EQ(kitchen[0]->lines, (Lines{"THEKE", "2x Bier"})) << "newest first";
  EXPECT_EQ(kitchen[1]->deliveries.size(), 2u) << "the copy";
  EXPECT_EQ(published->deliveries.size(), 1u) << "a snapshot holding the record sees no change";
  EXPECT_TRUE(recorder.Receipts().empty());

  // The same lines in a later scope (the next order) are a printout of their own,
  // and so are identical printouts made outside any scope.
  {
    PrintRecorder::Scope scope(recorder, PrintoutKind::KitchenReceipt);
    Print({"THEKE", "2x Bier"}, "FILE:/t.txt");
  }
  EXPECT_EQ(recorder.KitchenReceipts().size(), 3u);
  Print({"x"}, "COM2");
  Print({"x"}, "COM2");
  EXPECT_EQ(recorder.Receipts().size(), 2u);
  EXPECT_EQ(recorder.Receipts()[0]->kind, PrintoutKind::Other);
}

TEST_F(PrintRecorderTest, OnlyTheLastReceiptsAreKept) {
  for (int i = 1; i <= 20; ++i) {
    PrintRecorder::Scope scope(recorder, PrintoutKind::CustomerReceipt);
    Print({"Bon " + std::to_string(i)}, "FILE:/a/BON" + std::to_string(i) + ".BON");
  }
  auto receipts = recorder.Receipts();
  ASSERT_EQ(receipts.size(), PrintRecorder::kKeep);
  EXPECT_EQ(receipts.front()->bunr, 20);
  // Channels too: the one printed to longest ago makes room, whatever its name or day.
  for (int i = 1; i <= 60; ++i) {
    Print({"x"}, "FILE:/k" + std::to_string(i) + ".txt");
    Print({"x"}, "FILE:/k0.txt");
  }
  auto channels = recorder.Channels();
  EXPECT_EQ(channels.size(), PrintRecorder::kMaxChannels);
  auto has = [&channels](const std::string& c) {
    return std::any_of(channels.begin(), channels.end(), [&c](const auto& o) { return o.channel == c; });
  };
  EXPECT_TRUE(has("FILE:/k0.txt"));
  EXPECT_TRUE(has("FILE:/k60.txt"));
  EXPECT_FALSE(has("FILE:/k1.txt"));

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
  recorder.LoadArchived(dir.path() + "/", {4, 3});
  auto receipts = recorder.Receipts();
  ASSERT_EQ(receipts.size(), 1u) << "BON4.BON does not exist";
  EXPECT_EQ(receipts[0]->bunr, 3);
  EXPECT_EQ(receipts[0]->source, "Archiv BON3.BON, Prüfsumme stimmt");
  EXPECT_EQ(receipts[0]->lines, (Lines{l1, ReplaceAll(l2, "{0}", std::string(1, '\0'))}));
  EXPECT_NE(receipts[0]->html.find("class=\"dh\""), std::string::npos);

  testing::WriteAll(dir / "BON3.BON", "Bon-Nr 9" + testing::ReadAll(dir / "BON3.BON").substr(8));
  PrintRecorder again(engine, env);
  again.LoadArchived(dir.path() + "/", {3});
  EXPECT_EQ(again.Receipts()[0]->source, "Archiv BON3.BON, Prüfsumme FALSCH");
}

class CollectorTest : public ::testing::Test {
 protected:
  CollectorTest()
      : alerts(f.db.env()),
        monitor(
            f.tseServer, alerts, f.db.env()),
        recorder(engine, f.db.env()),
        collector(StatusSources{f.form, f.tse, monitor, recorder, alerts, f.db.state(), f.db.env(),
                                [] { return int64_t{42}; }, [] { return std::string("Bitte warten..."); }, &counters,
                                nullptr, {{"FILE:/K.TXT", "Küchendrucker 1 Grill"}}},
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

TEST_F(CollectorTest, ASnapshotShowsTheLogTheSlotsAndTheTse) {
  f.Drop(1, "bestell.txt", {"A;1;3"});
  f.Drop(2, "info.kas", {"OK"});
  f.form.AddLogLine("erste Zeile");
  collector.Collect();
  auto s = board.Latest();
  ASSERT_TRUE(s);
  EXPECT_NE(s->log.find("erste Zeile"), std::string::npos);
  EXPECT_EQ(s->slots[0].folder, f.Slot(1));
  EXPECT_EQ(s->slots[0].pendingFiles, (Lines{"bestell.txt"}));
  EXPECT_EQ(s->slots[1].printer, "") << "'kein Drucker'";
  EXPECT_EQ(s->slots[1].pendingFiles, (Lines{"info.kas"})) << "an answer the terminal has not collected";
  EXPECT_FALSE(s->slots[2].inUse);
  EXPECT_EQ(s->tse.answerQueries, 42);
}

// The print engine's last status text ("Bitte warten...") shows only while a
// printout is under way, not for ever after it.
TEST_F(CollectorTest, PrintStatusOnlyWhilePrinting) {
  struct Inner : printing::PrintEngine {
    std::function<void()> during;
    Status MyPrint(const std::vector<std::string>&, const std::string& channel, bool, bool) override {
      during();
      return channel == "COM9" ? Status::Error("kaputt") : Status::Ok();
    }
  } inner;
  PrintRecorder printing(inner, f.db.env());
  StatusCollector c(StatusSources{f.form, f.tse, monitor, printing, alerts, f.db.state(), f.db.env(), nullptr,
                                  [] { return std::string("Bitte warten..."); }, nullptr, nullptr,
                                  {{"FILE:/K.TXT", "Küchendrucker 1 Grill"}}},
                    board);
  std::string during;
  inner.during = [&] {
    c.Collect();
    during = board.Latest()->printStatus;
  };
  printing.MyPrint({"x"}, "file:/k.txt:", true, false);
  EXPECT_EQ(during, "Bitte warten...");
  c.Collect();
  EXPECT_EQ(board.Latest()->printStatus, "");
  ASSERT_EQ(board.Latest()->printers.size(), 1u);
  EXPECT_EQ(board.Latest()->printers[0].name, "Küchendrucker 1 Grill") << "found whatever the case and colon";
}

// Counts of the day start at zero with the first snapshot of a new day;
// the totals go on (Prometheus counters never go back).
TEST_F(CollectorTest, CountsOfTheDayStartAtMidnight) {
  counters.OrderBooked(2);
  counters.Request("ANMELDUNG");
  counters.Request("ZAHLUNGKK");
  counters.Request("irgendwas");
  counters.Settled();
  engine.FailChannel("COM9");
  recorder.MyPrint({"x"}, "COM9", true, false);
  collector.Collect();
  auto s = board.Latest();
  EXPECT_EQ(s->today.ordersBooked, 1);
  EXPECT_EQ(s->today.linesRefused, 2);
  EXPECT_EQ(s->today.settlements, 1);
  EXPECT_EQ(s->today.printFailures, 1);
  EXPECT_EQ(s->today.requests, (std::map<std::string, int64_t>{{"anmeldung", 1}, {"kundenzahlung", 1},
                                                                {"tischdaten", 1}}));
  DateTime now = f.db.env().Now();
  f.db.env().SetNow(DateTime{{now.date.year, now.date.month, now.date.day}, 23, 59, 59, 0});
  collector.Collect();
  f.db.env().Advance(2000);
  collector.Collect();
  counters.OrderBooked(0);
  collector.Collect();
  s = board.Latest();
  EXPECT_EQ(s->today.ordersBooked, 1) << "the order after midnight";
  EXPECT_EQ(s->today.printFailures, 0);
  EXPECT_EQ(s->today.requests.at("anmeldung"), 0);
  EXPECT_EQ(s->total.ordersBooked, 2);
  EXPECT_EQ(s->total.printFailures, 1);
}

TEST(StatusCountersTest, PassDurationsFallIntoTheirBuckets) {
  StatusCounters c;
  c.PassDone(1000);  // the first call only starts the clock
  c.PassDone(1250);
  c.PassDone(1250 + 700);
  c.PassDone(1950 + 500000);
  const PassHistogram& h = c.passes();
  EXPECT_EQ(h.count, 3);
  EXPECT_EQ(h.sumMs, 250 + 700 + 500000);
  EXPECT_EQ(h.buckets[0], 1);
  EXPECT_EQ(h.buckets[2], 1);
  int64_t inBuckets = 0;
  for (int64_t n : h.buckets) inBuckets += n;
  EXPECT_EQ(inBuckets, 2) << "beyond the last bound only in the count";
}

TEST_F(CollectorTest, PublishesWhenSomethingChangedButNotOnEveryEvent) {
  collector.OnProcessEvents();
  const uint64_t first = Sequence();
  EXPECT_EQ(first, 1u);
  collector.OnProcessEvents();
  f.db.env().Advance(500);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), first) << "nothing new within the idle interval";
  f.form.AddLogLine("neu");  // the form calls the hook of the fixture, not ours
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), first + 1) << "a new log line";
  f.form.AddLogLine("gleich danach");
  f.db.env().Advance(StatusCollector::kMinIntervalMs - 1);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), first + 1) << "bursts are published at most every kMinIntervalMs";
  f.db.env().Advance(1);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), first + 2);
  f.db.env().Advance(StatusCollector::kIdleIntervalMs);
  collector.OnProcessEvents();
  EXPECT_EQ(Sequence(), first + 3) << "exchange files are looked at now and then anyway";
}

TEST_F(CollectorTest, AcknowledgementsReachTheLogThroughTheProcessingThread) {
  f.form.hooks().processEvents = [this] { collector.OnProcessEvents(); };
  int64_t id = alerts.Add(platform::MsgKind::Critical, "TOLVENPDA", "Fehler bei Druck auf COM9\r\n\r\nDetails");
  alerts.Acknowledge(id, "127.0.0.1");
  collector.OnProcessEvents();
  EXPECT_NE(f.form.logText().find("Meldung quittiert (127.0.0.1): TOLVENPDA: Fehler bei Druck auf COM9\r\n"),
            std::string::npos)
      << f.form.logText();
  collector.OnProcessEvents();
  EXPECT_EQ(f.form.logText().find("Meldung quittiert", f.form.logText().find("Meldung quittiert") + 1),
            std::string::npos)
      << "logged once";
}

TEST_F(CollectorTest, TheHookInThePollLoopPublishesTheSlotsLastActivity) {
  f.form.hooks().processEvents = [this] { collector.OnProcessEvents(); };
  f.AddArticle("10", "Cola", 300);
  f.Drop(1, "bestell.txt", {"A;5;3", "D;10;1;;", "E;;"});
  f.form.PollPass();
  // The answer was written after the last log line of the order; the next
  // event after the shortest interval publishes it.
  f.db.env().Advance(StatusCollector::kMinIntervalMs);
  collector.OnProcessEvents();
  auto s = board.Latest();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->slots[0].lastOrder, "Tisch 5: 1 Zeilen");
  EXPECT_EQ(s->slots[0].lastAnswer, "OK");
  EXPECT_EQ(s->slots[0].pendingFiles, (Lines{"confirm.kas"}));
}

}  // namespace
}  // namespace tolven::status
