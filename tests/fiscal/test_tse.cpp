// The TSE facade and the TSE server adapter against a real database: answers,
// silence, empty signatures, waits across midnight, and the TSE day log.
#include <gtest/gtest.h>

#include "fiscal/modTSE.h"
#include "fiscal/modTSE_Vestra.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

struct RecordingLog : LogSink {
  void AddLogLine(const std::string& text) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

class TseAdapterTest : public ::testing::Test {
 protected:
  TseAdapterTest() : vestra(db.tools()), tse(db.tools(), vestra, fiscal::TseIdentity{}) {
    vestra.Attach(tse);
    vestra.SetLog(log);
    db.state().kasse = 3;
  }

  // The TSE server answers every open request at the first pause after it was stored.
  void ServerAnswers(bool emptySignature = false) {
    db.env().onSleep = [this, emptySignature](int) {
      auto rs = db.conn().Query("SELECT kasse, merker, typ, tse_trxnr FROM tse_server_req", err);
      for (; rs && !rs->Eof(); rs->MoveNext()) {
        std::string key = rs->Raw(0).AsString() + " , " + rs->Raw(1).AsString();
        if (db.Count("tse_server_ans", "kasse = " + rs->Raw(0).AsString() + " AND merker = " + rs->Raw(1).AsString()))
          continue;
        if (rs->Raw(2).AsString() == "S") {
          db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (" + key +
                  ", 4711, 1765000000)");
        } else {
          db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_logtimeutc, tse_sernr, tse_sigcount, tse_signatur) "
                  "VALUES (" + key + ", 1765000002, 'SER-9', 88, '" + (emptySignature ? "" : "c2lnbmF0dXJl") + "')");
        }
      }
    };
  }

  std::string TseLog() { return ReadAll(tse.TseLogPath()); }

  TestDb db;
  RecordingLog log;
  fiscal::modTSE_Vestra vestra;
  fiscal::Tse tse;
  db::DbError err;
};

TEST_F(TseAdapterTest, StartAndFinishTakeTheAnswerAndCleanUp) {
  ServerAnswers();
  tse.SetReady(false);
  fiscal::TseResult r;
  EXPECT_TRUE(tse.TSE_StartAndFinish(fiscal::kProcessTypeReceipt, "Beleg^1.00_0.00_0.00_0.00_0.00^1.00:Bar", r));
  EXPECT_EQ(r.transactionNumber, 4711);
  EXPECT_EQ(r.startTime, 1765000000);
  EXPECT_EQ(r.finishTime, 1765000002);
  EXPECT_EQ(r.serialNumber, "SER-9");
  EXPECT_EQ(r.signatureCounter, 88);
  EXPECT_EQ(r.signature, "c2lnbmF0dXJl");
  EXPECT_TRUE(tse.TseReady()) << "an answer declares the TSE ready again";
  EXPECT_EQ(db.Count("tse_server_req"), 0);
  EXPECT_EQ(db.Count("tse_server_ans"), 0);
  // The request carried the process data as it is.
  std::string logText = TseLog();
  for (const char* part : {" 3 Transaction START\r\n", " 3  - Warte auf TSE-Server...\r\n",
                           " 3  - Antwort vom TSE-Server empfangen\r\n", " 3  - Transaktionsnummer=4711\r\n",
                           " 3 Transaction FINISH\r\n", " 3  - processType=Kassenbeleg-V1\r\n",
                           " 3  - Signatur=c2lnbmF0dXJl\r\n"}) {
    EXPECT_NE(logText.find(part), std::string::npos) << part;
  }
  // The first look comes 200 ms after the request, then a few ms between looks.
  EXPECT_EQ(db.env().sleeps().front(), 200);
}

TEST_F(TseAdapterTest, NoAnswerTimesOutAfter15SecondsAndClearsReady) {
  int32_t start = 0;
  const int64_t before = db.env().MonotonicMs();
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
  const int64_t waited = db.env().MonotonicMs() - before;
  EXPECT_GT(waited, 15000);
  EXPECT_LT(waited, 15300);
  EXPECT_FALSE(tse.TseReady());
  EXPECT_EQ(db.Count("tse_server_req"), 0);
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'T'"), "Keine Antwort vom TSE-Server erhalten (Trx-Start)");
  EXPECT_NE(TseLog().find(" - TSE-SERVER TIMEOUT"), std::string::npos);
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines.back().rfind("FEHLER", 0), 0u);
  // No more than a few hundred looks per second at the shared database.
  EXPECT_LT(vestra.answerQueries(), 15 * 300);

  std::string serial, signature;
  int32_t finish = 0, counter = 0;
  EXPECT_FALSE(tse.TSE_FinishTransaction(-1, fiscal::kProcessTypeOrder, "x", serial, finish, counter, signature));
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'T' AND txt LIKE '%Finish%'"),
            "Keine Antwort vom TSE-Server erhalten (Trx-Finish -1)");
}

TEST_F(TseAdapterTest, AWaitAcrossMidnightRunsItsFullTime) {
  db.env().SetNow({Date{2026, 12, 31}, 23, 59, 59, 500});
  int32_t start = 0;
  const int64_t before = db.env().MonotonicMs();
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
  EXPECT_GT(db.env().MonotonicMs() - before, 15000);
}

TEST_F(TseAdapterTest, EmptySignatureIsAFailedFinish) {
  ServerAnswers(true);
  fiscal::TseResult r;
  EXPECT_FALSE(tse.TSE_StartAndFinish(fiscal::kProcessTypeOrder, "", r));
  EXPECT_EQ(r.transactionNumber, 4711);
  EXPECT_EQ(r.serialNumber, "SER-9");
  EXPECT_TRUE(r.signature.empty());
}

TEST_F(TseAdapterTest, FailedStartStillSendsTheFinishWithMinusOne) {
  // The start times out; the server comes back for the finish.
  int sleeps = 0;
  db.env().onSleep = [&](int) {
    if (++sleeps < 5000) return;
    db.env().onSleep = nullptr;
    ServerAnswers();
  };
  fiscal::TseResult r;
  EXPECT_TRUE(tse.TSE_StartAndFinish(fiscal::kProcessTypeReceipt, "p'd", r));
  EXPECT_EQ(r.transactionNumber, -1);
  EXPECT_NE(TseLog().find("Transaction FINISH\r\n"), std::string::npos);
  EXPECT_NE(TseLog().find(" - Transaktionsnummer=-1\r\n"), std::string::npos);
}

TEST_F(TseAdapterTest, StaleAnswerOfAnEarlierDayIsNotTakenForANewOne) {
  const int32_t key = 12 * 360000;  // the fake clock stands at 12:00:00.000
  db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (3, " + std::to_string(key) +
          ", 1, 1)");
  int32_t start = 0;
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
}

TEST_F(TseAdapterTest, CorrelationKeysAreUniqueWithinOneHundredth) {
  int32_t a = vestra.NextCorrelationKey();
  int32_t b = vestra.NextCorrelationKey();
  EXPECT_EQ(a, 12 * 360000);
  EXPECT_EQ(b, a + 1);
}

TEST(TseFacade, UnixTimeToIso) {
  EXPECT_EQ(fiscal::Tse::TSE_UnixTimeToISO(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(fiscal::Tse::TSE_UnixTimeToISO(86400), "1970-01-02T00:00:00.000Z");
  EXPECT_EQ(fiscal::Tse::TSE_UnixTimeToISO(1594130709), "2020-07-07T14:05:09.000Z");
}

TEST(TseFacade, LogLineFormAndFileName) {
  TestDb db;
  db.state().kasse = 3;
  fiscal::modTSE_Vestra vestra(db.tools());
  fiscal::Tse tse(db.tools(), vestra, {});
  db.env().SetNow({Date{2020, 7, 7}, 14, 5, 9, 370});
  tse.WriteTseLog("Hallo");
  EXPECT_EQ(tse.TseLogPath(), db.state().logPfad + "TSE/TSE_VS_3_200707.LOG");
  EXPECT_EQ(ReadAll(tse.TseLogPath()), "07.07.2020 14:05:09,3 3 Hallo\r\n");
  // A log folder that is gone costs the line and shows a message, nothing more.
  db.state().logPfad = db.folder() + "/fehlt/";
  tse.WriteTseLog("weg");
  EXPECT_TRUE(db.ui().HasMessage("TSE-Log-Eintrag nicht möglich."));
}

}  // namespace
}  // namespace tolven::testing
