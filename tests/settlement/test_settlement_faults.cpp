// All or nothing under failures, and the signature after the commit.
#include <gtest/gtest.h>

#include "settlement/settlement_fixture.h"
#include "support/faulty_connection.h"

namespace tolven::settlement::fixture {
namespace {

using SettlementFaults = SettlementFixture;

class FaultsTest : public SettlementFixture {
 public:
  // A table with a bit of everything: articles, a voucher sold and one
  // redeemed, bonus points, an outlay, partial cash, a pending cancellation,
  // paid on the customer account.
  void BusyTable() {
    db.Exec("INSERT INTO gutscheine (status, gsnr, betrag) VALUES (0, 'GS-7', 1000)");
    db.Exec("INSERT INTO zeilenstornos (id, kasse, seqnr) VALUES (1, 1, -1)");
    db.Exec("INSERT INTO uniquenr (name, wert, startwert, maxwert) VALUES ('BUNR', 5, 1, 999999999)");
    Orders(12, {{"COLA", 2, 250, 1, "", 10}, {"SALAT", 1, 535}, {"$$$GS", 1, 2000, 1, "GS-8;Geschenk"},
                {"$$$GS", 1, -1000, 1, "GS-7"}, {"$$$BONUS", 1, -100, 1, "10"},
                {"$$$AUSLAGE", 1, 300, 1, "", 0, "Blumen"}, {"$$BAR", 1, -200}},
           7);
  }
};

// Fails the 1st, 2nd, 3rd ... database call of one settlement and its signature
// (the journal inserts late in the transaction among them) until a run gets
// through untouched. Every run either stores the complete receipt or leaves the
// database exactly as it was.
TEST_F(FaultsTest, CountdownSweepIsAllOrNothing) {
  BusyTable();
  ScriptedTseServer adapter;
  UseTse(adapter);
  const std::string before = Stored();

  tolven::testing::FaultyConnection faulty(db.conn());
  db::DbTools tools(faulty, db.state(), db.env(), db.ui());
  int64_t failures = 0;
  std::vector<std::string> storedDespiteFailure;  // what runs a failure after the commit did not undo left
  for (int64_t n = 1; n < 500; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    faulty.FailCall(n);
    tse = std::make_unique<fiscal::Tse>(tools, adapter, fiscal::TseIdentity{"KASSE-1", "ecdsa", "KEY"});
    std::string zahlart = "KDKTO";
    const int32_t bunr = Settle(12, zahlart, &tools);
    ASSERT_FALSE(db.conn().InTransaction());
    if (!faulty.failed()) {
      EXPECT_EQ(bunr, 5);
      EXPECT_GT(failures, 20) << "the sweep should have met every statement";
      // Only the TSE columns may fail after the commit: that run stored the complete receipt.
      EXPECT_EQ(storedDespiteFailure, std::vector<std::string>{Stored()});
      return;
    }
    ++failures;
    if (bunr < 0) {
      ASSERT_EQ(Stored(), before) << "failed: " << faulty.log().back();
      continue;
    }
    ASSERT_EQ(bunr, 5);
    storedDespiteFailure.push_back(Stored());
    // Back to the start for the next run.
    for (const char* table : {"kass", "kasspro", "gutscheine", "auslagen", "kdkto", "bkto", "buch2", "barsaldo",
                              "uniquenr", "zeilenstornos", "kunden", "bestellung", "artikel", "artgrp", "artgrp2",
                              "kassi", "tische", "kontenrahmen"})
      db.Exec(std::string("DELETE FROM ") + table);
    db.RestartIds("bestellung");
    for (const std::string& sql : FixtureStatements()) db.Exec(sql);
    BusyTable();
    ASSERT_EQ(Stored(), before);
  }
  FAIL() << "the sweep did not end";
}

TEST_F(SettlementFaults, SignedAfterTheCommitWithQrText) {
  ScriptedTseServer adapter;
  adapter.nextTrx = 4711;
  adapter.nextCounter = 99;
  adapter.now = 1764936000;
  UseTse(adapter);
  Orders(12, {{"COLA", 2, 250}, {"SALAT", 1, 535}});
  ASSERT_EQ(Settle(12, "BAR"), 1);
  const std::string processData = "Beleg^5.00_5.35_0.00_0.00_0.00^10.35:Bar";
  EXPECT_EQ(adapter.finishes.at(0).data, processData);
  EXPECT_EQ(Dump("SELECT tse_trx, tse_sigcount, tse_startbest, tse_start, tse_stop, tse_sernr, tse_processtype, "
                 "tse_processdata, tse_signatur FROM kass"),
            "4711|99|77|1764936000|1764936001|SERIAL-1|Kassenbeleg-V1|" + processData + "|SIG99\n");
  EXPECT_EQ(db.Scalar("SELECT tse_qr FROM kass"),
            "V0;KASSE-1;Kassenbeleg-V1;" + processData +
                ";4711;99;2025-12-05T12:00:00.000Z;2025-12-05T12:00:01.000Z;ecdsa-plain-SHA384;unixTime;SIG99;"
                "BPUBKEY");
  EXPECT_TRUE(db.ui().messages.empty());
}

TEST_F(SettlementFaults, AnUnsignedReceiptIsKeptAndReported) {
  struct Case {
    const char* what;
    bool answer;
    bool ready;
    int expectedStarts;
  };
  for (const Case& c : {Case{"no answer", false, true, 1}, Case{"TSE not ready", true, false, 0}}) {
    SCOPED_TRACE(c.what);
    ScriptedTseServer adapter;
    adapter.answer = c.answer;
    UseTse(adapter);
    tse->SetReady(c.ready);
    db.ui().messages.clear();
    db.Exec("DELETE FROM syslog");
    Orders(12, {{"COLA", 1, 1000}});
    const int32_t bunr = Settle(12, "EC");
    ASSERT_GT(bunr, 0);
    db.Exec("DELETE FROM bestellung");
    EXPECT_EQ(std::count(adapter.calls.begin(), adapter.calls.end(), "S"), c.expectedStarts);
    const std::string text = "Beleg " + std::to_string(bunr) + " nicht über TSE abgesichert";
    EXPECT_EQ(db.Scalar("SELECT betrag || '|' || COALESCE(tse_signatur, '') FROM kass WHERE bunr = " +
                        std::to_string(bunr)),
              "1000|");
    ASSERT_EQ(db.ui().messages.size(), 1u);
    EXPECT_TRUE(db.ui().messages[0].text == text && db.ui().messages[0].kind == platform::MsgKind::Critical);
    EXPECT_TRUE(log.Has("FEHLER: " + text));
    EXPECT_EQ(Dump("SELECT typ, txt, memotext FROM syslog WHERE typ <> 'T'"),  // 'T': the TSE's own time-outs
              "P|" + text + "|TSE-Trx=-1\r\nprocessData=Beleg^10.00_0.00_0.00_0.00_0.00^10.00:Unbar\n");
  }
}

}  // namespace
}  // namespace tolven::settlement::fixture
