// What the status page learns from the gateway: message boxes kept as alerts
// until acknowledged, printouts and their outcome per channel, and receipts
// read back from the BON archive.
#include <gtest/gtest.h>

#include "common/crc16.h"
#include "common/text.h"
#include "printing/escpos_qr.h"
#include "status/alerts.h"
#include "status/print_recorder.h"
#include "support/fake_env.h"
#include "support/fake_print_engine.h"

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
  EXPECT_EQ(log.TakeAcknowledged().at(0).acknowledgedBy, "127.0.0.1");
  EXPECT_TRUE(log.TakeAcknowledged().empty()) << "taken once";
  EXPECT_EQ(log.AcknowledgeAll("::1"), 3);
  EXPECT_EQ(log.OpenCount(), 0u);
}

// A receipt archived and printed in one scope is one record with both outcomes.
TEST(PrintRecorder, ReceiptsFromThePrintoutsAndFromTheArchive) {
  FakeEnv env;
  FakePrintEngine engine;
  PrintRecorder recorder(engine, env);
  std::vector<int32_t> lookups;
  recorder.SetQrLookup([&lookups](int32_t bunr) {
    lookups.push_back(bunr);
    return bunr == 7 ? std::string("V0;KASSE;Kassenbeleg-V1;QR") : std::string();
  });
  auto Print = [&recorder](const Lines& lines, const std::vector<std::string>& channels) {
    PrintRecorder::Scope scope(recorder, PrintoutKind::CustomerReceipt);
    for (const std::string& channel : channels) recorder.MyPrint(lines, channel, !StartsWith(channel, "FILE:"), false);
  };
  engine.FailChannel("COM1");
  Print({"Bon-Nr 7", "SUMME 8.40"}, {"FILE:/kasse/ARCHIV/BON/BON7.BON", "COM1"});
  ASSERT_EQ(engine.printouts.size(), 2u) << "everything reaches the real engine";
  const PrintoutRecord& r = *recorder.Receipts().at(0);
  EXPECT_EQ(r.bunr, 7);
  ASSERT_EQ(r.deliveries.size(), 2u);
  EXPECT_TRUE(r.deliveries[0].ok && !r.deliveries[1].ok);
  // The printer copy is cut; the QR code of the receipt is looked up once.
  EXPECT_EQ(r.text, (Lines{"Bon-Nr 7", "SUMME 8.40", "[Schnitt]", "[QR-Code gespeichert] V0;KASSE;Kassenbeleg-V1;QR"}));
  EXPECT_EQ(lookups, (std::vector<int32_t>{7})) << "looked up once, not again for the printer copy";
  Print({"Bon-Nr 8", printing::EscPosQrCode("IM AUSDRUCK")}, {"FILE:/a/BON8.BON"});
  EXPECT_EQ(lookups.size(), 1u) << "a receipt with its own QR code needs no lookup";
  std::string channels;
  for (const ChannelOutcome& c : recorder.Channels()) {
    channels += c.channel + " " + std::to_string(c.printouts) + "/" + std::to_string(c.failures) + "; ";
  }
  EXPECT_EQ(channels, "COM1 1/1; FILE:/a/BON*.BON 1/0; FILE:/kasse/ARCHIV/BON/BON*.BON 1/0; ");
  EXPECT_EQ(ArchiveReceiptNumber("FILE:/a/bon12.bon"), 12);
  for (const char* no : {"FILE:/a/BON.BON", "FILE:/a/BONx1.BON", "/a/BON1.BON", "FILE:/a/BON12345678901.BON"}) {
    EXPECT_EQ(ArchiveReceiptNumber(no), 0) << no;
  }

  // After a restart the last receipts come back from the BON archive, with the
  // outcome of their check value.
  testing::TempDir dir;
  const std::string l1 = "Bon-Nr 3", l2 = "\x1B!\x10SUMME EUR  4.20\x1B!{0}";  // NUL is archived as {0}
  testing::WriteAll(dir / "BON3.BON", l1 + "\r\n" + l2 + "\r\n###CRC:" + HexEncode(Crc16Text(l1 + l2)) + "\r\n");
  testing::WriteAll(dir / "BON5.BON", "Bon-Nr 5\r\n###CRC:0000\r\n");
  PrintRecorder restarted(engine, env);
  restarted.LoadArchived(dir.path() + "/", {5, 4, 3});
  auto receipts = restarted.Receipts();
  ASSERT_EQ(receipts.size(), 2u) << "BON4.BON does not exist";
  EXPECT_EQ(receipts[0]->source + "|" + receipts[1]->source,
            "Archiv BON5.BON, Prüfsumme FALSCH|Archiv BON3.BON, Prüfsumme stimmt");
  EXPECT_EQ(receipts[1]->lines, (Lines{l1, ReplaceAll(l2, "{0}", std::string(1, '\0'))}));
}

}  // namespace
}  // namespace tolven::status
