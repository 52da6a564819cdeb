// The TSE facade and the TSE server adapter against a real database: answers,
// silence, empty signatures, waits across midnight, the TSE day log, the poll rate.
#include <gtest/gtest.h>

#include "common/text.h"
#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "support/recording_log.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

class TseAdapterTest : public ::testing::Test {
 protected:
  TseAdapterTest() : tseServer(db.tools()), tse(db.tools(), tseServer, fiscal::TseIdentity{}) {
    tse.SetLog(log);
    db.state().kasse = 3;
  }

  // The TSE server answers the open requests ('S' start, 'F' finish) at the next pause.
  void ServerAnswers(bool emptySignature = false, bool starts = true) {
    db.env().onSleep = [this, emptySignature, starts](int) {
      const std::string open = " FROM tse_server_req r WHERE NOT EXISTS (SELECT 1 FROM tse_server_ans a WHERE "
                               "a.kasse = r.kasse AND a.merker = r.merker) AND typ = ";
      if (starts) {
        db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) SELECT kasse, merker, 4711, "
                "1765000000" + open + "'S'");
      }
      db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_logtimeutc, tse_sernr, tse_sigcount, tse_signatur) "
              "SELECT kasse, merker, 1765000002, 'SER-9', 88, '" + std::string(emptySignature ? "" : "c2lnbmF0dXJl") +
              "'" + open + "'F'");
    };
  }

  std::string TseLog() { return ReadAll(tse.TseLogPath()); }

  TestDb db;
  RecordingLog log;
  fiscal::TseServerClient tseServer;
  fiscal::Tse tse;
};

TEST_F(TseAdapterTest, StartAndFinishTakeTheAnswerAndCleanUp) {
  ServerAnswers();
  tse.SetReady(false);
  fiscal::TseResult r;
  EXPECT_TRUE(tse.TSE_StartAndFinish(fiscal::kProcessTypeReceipt, "Beleg^1.00_0.00_0.00_0.00_0.00^1.00:Bar", r));
  EXPECT_EQ(std::to_string(r.transactionNumber) + "|" + std::to_string(r.startTime) + "|" +
                std::to_string(r.finishTime) + "|" + r.serialNumber + "|" + std::to_string(r.signatureCounter) + "|" +
                r.signature,
            "4711|1765000000|1765000002|SER-9|88|c2lnbmF0dXJl");
  EXPECT_TRUE(tse.TseReady()) << "an answer declares the TSE ready again";
  EXPECT_EQ(db.Count("tse_server_req") + db.Count("tse_server_ans"), 0);
  const std::string logText = TseLog();
  for (const char* part : {" 3 Transaction START\r\n", " 3  - Warte auf TSE-Server...\r\n",
                           " 3  - Antwort vom TSE-Server empfangen\r\n", " 3  - Transaktionsnummer=4711\r\n",
                           " 3 Transaction FINISH\r\n", " 3  - processType=Kassenbeleg-V1\r\n",
                           " 3  - Signatur=c2lnbmF0dXJl\r\n"})
    EXPECT_NE(logText.find(part), std::string::npos) << part;
  EXPECT_EQ(db.env().sleeps().front(), 200) << "the first look comes 200 ms after the request";
}

TEST_F(TseAdapterTest, NoAnswerTimesOutAfter15SecondsAndClearsReady) {
  // Also when the wait runs across midnight: the wait is measured, not the time of day.
  for (DateTime now : {DateTime{Date{2026, 12, 5}, 12, 0, 0, 0}, DateTime{Date{2026, 12, 31}, 23, 59, 59, 500}}) {
    SCOPED_TRACE(now.date.day);
    db.Exec("DELETE FROM syslog");
    db.env().SetNow(now);
    tse.SetReady(true);
    int32_t start = 0;
    const int64_t before = db.env().MonotonicMs();
    EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
    const int64_t waited = db.env().MonotonicMs() - before;
    EXPECT_TRUE(waited > 15000 && waited < 15300) << waited;
    EXPECT_FALSE(tse.TseReady() || db.Count("tse_server_req") != 0);
    EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'T'"), "Keine Antwort vom TSE-Server erhalten (Trx-Start)");
    EXPECT_NE(ReadAll(db.state().logPfad + "TSE/TSE_VS_3_" + FormatYYMMDD(now.date) + ".LOG")
                  .find(FormatHMS(now) + "," + std::to_string(now.millisecond / 100) + " 3  - Warte auf TSE-Server..."),
              std::string::npos)
        << "stamped when the wait began";
    EXPECT_NE(TseLog().find(" - TSE-SERVER TIMEOUT"), std::string::npos);
    EXPECT_TRUE(!log.lines.empty() && StartsWith(log.lines.back(), "FEHLER"));
  }
  std::string serial, signature;
  int32_t finish = 0, counter = 0;
  EXPECT_FALSE(tse.TSE_FinishTransaction(-1, fiscal::kProcessTypeOrder, "x", serial, finish, counter, signature));
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'T' AND txt LIKE '%Finish%'"),
            "Keine Antwort vom TSE-Server erhalten (Trx-Finish -1)");

  // A request that cannot even be stored fails at once, the same way.
  db.FailInserts("tse_server_req", "Platte voll");
  tse.SetReady(true);
  int32_t start = 0;
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
  EXPECT_FALSE(tse.TseReady());
  EXPECT_TRUE(log.Has("FEHLER bei Anfrage an TSE-Server: ") && log.Has("Platte voll")) << log.lines.back();
}

TEST_F(TseAdapterTest, EmptySignatureFailsAndAFailedStartStillSendsTheFinishWithMinusOne) {
  ServerAnswers(true);
  fiscal::TseResult r;
  EXPECT_FALSE(tse.TSE_StartAndFinish(fiscal::kProcessTypeOrder, "", r));
  EXPECT_EQ(std::to_string(r.transactionNumber) + "|" + r.serialNumber + "|" + r.signature, "4711|SER-9|");

  ServerAnswers(false, false);  // the start times out, the finish is answered
  EXPECT_TRUE(tse.TSE_StartAndFinish(fiscal::kProcessTypeReceipt, "p'd", r));
  EXPECT_EQ(std::to_string(r.transactionNumber) + "|" + r.signature, "-1|c2lnbmF0dXJl");
  const std::string logText = TseLog();
  const size_t finish = logText.rfind(" 3 Transaction FINISH\r\n");
  ASSERT_NE(finish, std::string::npos) << logText;
  EXPECT_NE(logText.find(" 3  - Transaktionsnummer=-1\r\n", finish), std::string::npos) << logText;
}

TEST_F(TseAdapterTest, CorrelationKeysAreUniqueAndStaleAnswersAreNotTaken) {
  const int32_t key = 12 * 360000;  // hundredths of a second: the fake clock stands at 12:00:00.000
  fiscal::TseServerClient other(db.tools());
  EXPECT_EQ(other.NextCorrelationKey(), key);
  EXPECT_EQ(other.NextCorrelationKey(), key + 1);
  // An answer left from an earlier day under the key the next request gets.
  db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (3, " + std::to_string(key) +
          ", 1, 1)");
  int32_t start = 0;
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
}

TEST_F(TseAdapterTest, LogLineFormAndFileName) {
  db.env().SetNow({Date{2020, 7, 7}, 14, 5, 9, 370});
  tse.WriteTseLog("Hallo");
  EXPECT_EQ(tse.TseLogPath(), db.state().logPfad + "TSE/TSE_VS_3_200707.LOG");
  EXPECT_EQ(TseLog(), "07.07.2020 14:05:09,3 3 Hallo\r\n");
  // A log folder that is gone costs the line and shows a message, nothing more.
  db.state().logPfad = db.folder() + "/fehlt/";
  tse.WriteTseLog("weg");
  EXPECT_TRUE(db.ui().HasMessage("TSE-Log-Eintrag nicht möglich."));
}

// How hard a waiting register looks at the shared answer table, on the fake
// clock: an answer is noticed within one pause, and a long wait stays under
// 200 looks a second.
TEST(TsePollRate, AnswersAreNoticedWithinOnePauseAtFewerThan200LooksASecond) {
  for (int answerAfterMs : {250, 700, 3000, 14000}) {
    SCOPED_TRACE(answerAfterMs);
    TestDb db;
    fiscal::TseServerClient tseServer(db.tools());
    const int64_t requested = db.env().MonotonicMs();
    const int64_t answered = requested + answerAfterMs;
    bool stored = false;
    // The server's answer counts from a fixed moment after the request; the fake
    // clock moves only in the adapter's pauses, so it is stored at the first
    // pause that reaches that moment.
    db.env().onSleep = [&](int) {
      if (stored || db.env().MonotonicMs() < answered) return;
      db::DbError err;
      auto rs = db.conn().Query("SELECT kasse, merker FROM tse_server_req", err);
      ASSERT_TRUE(rs && !rs->Eof()) << err.text;
      db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (" +
              rs->Raw(0).AsString() + ", " + rs->Raw(1).AsString() + ", 7, 1765000000)");
      stored = true;
    };
    ASSERT_EQ(tseServer.Start("", "").transactionNumber, 7);
    const int64_t noticed = db.env().MonotonicMs();
    EXPECT_LE(noticed - answered, fiscal::TseServerClient::kPollPauseMs);
    const double polling = static_cast<double>(noticed - requested - fiscal::TseServerClient::kFirstPauseMs) / 1000.0;
    EXPECT_LE(static_cast<double>(tseServer.answerQueries()), 1 + 200 * polling) << tseServer.answerQueries();
  }
}

}  // namespace
}  // namespace tolven::testing
