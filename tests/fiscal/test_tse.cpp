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

  // The TSE server answers the open requests of the given types at the next pause.
  void ServerAnswers(const std::string& signature, const std::string& types = "'S', 'F'") {
    db.env().onSleep = [this, signature, types](int) {
      db.Exec(
          "INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc, tse_sernr, tse_sigcount, "
          "tse_signatur) SELECT kasse, merker, 4711, 1765000000, 'SER-9', 88, '" +
          signature + "' FROM tse_server_req WHERE typ IN (" + types +
          ") AND merker NOT IN (SELECT merker FROM tse_server_ans)");
    };
  }
  std::string TseLog() { return ReadAll(tse.TseLogPath()); }

  TestDb db;
  RecordingLog log;
  fiscal::TseServerClient tseServer;
  fiscal::Tse tse;
};

// An answer is taken whole; an empty signature fails; a failed start still
// sends the finish, with -1.
TEST_F(TseAdapterTest, AnswersAreTakenAndCleanedUpAndAFailedStartStillFinishes) {
  ServerAnswers("c2lnbmF0dXJl");
  tse.SetReady(false);
  fiscal::TseResult r;
  EXPECT_TRUE(tse.TSE_StartAndFinish(fiscal::kProcessTypeReceipt, "Beleg^1.00_0.00_0.00_0.00_0.00^1.00:Bar", r));
  EXPECT_EQ(std::to_string(r.transactionNumber) + "|" + std::to_string(r.startTime) + "|" +
                std::to_string(r.finishTime) + "|" + r.serialNumber + "|" + std::to_string(r.signatureCounter) + "|" +
                r.signature,
            "4711|1765000000|1765000000|SER-9|88|c2lnbmF0dXJl");
  EXPECT_TRUE(tse.TseReady()) << "an answer declares the TSE ready again";
  EXPECT_EQ(db.Count("tse_server_req") + db.Count("tse_server_ans"), 0);

  ServerAnswers("");
  EXPECT_FALSE(tse.TSE_StartAndFinish(fiscal::kProcessTypeOrder, "", r));
  EXPECT_EQ(std::to_string(r.transactionNumber) + "|" + r.serialNumber + "|" + r.signature, "4711|SER-9|");

  ServerAnswers("c2lnbmF0dXJl", "'F'");  // the start times out, the finish is answered
  EXPECT_TRUE(tse.TSE_StartAndFinish(fiscal::kProcessTypeReceipt, "p'd", r));
  EXPECT_EQ(std::to_string(r.transactionNumber) + "|" + r.signature, "-1|c2lnbmF0dXJl");
  const std::string logText = TseLog();
  EXPECT_NE(logText.find(" 3  - Transaktionsnummer=-1\r\n", logText.rfind(" 3 Transaction FINISH\r\n")),
            std::string::npos)
      << logText;
}

// A wait across midnight is measured, not taken from the time of day; an answer
// left from an earlier day under the key of the request is not taken for its answer.
TEST_F(TseAdapterTest, NoAnswerTimesOutAfter15SecondsAndClearsReady) {
  db.env().SetNow({Date{2026, 12, 31}, 23, 59, 59, 500});
  fiscal::TseServerClient other(db.tools());
  EXPECT_EQ(other.NextCorrelationKey(), 8639950) << "hundredths of a second of the day";
  EXPECT_EQ(other.NextCorrelationKey(), 8639951);
  db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (3, 8639950, 1, 1)");
  tse.SetReady(true);
  int32_t start = 0;
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
  const std::string before = "31.12.2026 23:59:59,5 3 ";
  EXPECT_EQ(ReadAll(db.state().logPfad + "TSE/TSE_VS_3_261231.LOG"),
            before + "Transaction START\r\n" + before + " - processType=\r\n" + before + " - processData=\r\n" +
                before + " - Warte auf TSE-Server...\r\n");
  EXPECT_EQ(TseLog(), "01.01.2027 00:00:14,7 3  - TSE-SERVER TIMEOUT\r\n");
  EXPECT_FALSE(tse.TseReady() || db.Count("tse_server_req") != 0);
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'T'"), "Keine Antwort vom TSE-Server erhalten (Trx-Start)");
  EXPECT_TRUE(log.Has("FEHLER: Keine Antwort"));
  EXPECT_LE(tseServer.answerQueries(), 1 + 200 * 15) << "fewer than 200 looks a second at the shared answer table";

  // A request that cannot even be stored fails at once, the same way.
  db.FailInserts("tse_server_req", "Platte voll");
  tse.SetReady(true);
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
  EXPECT_FALSE(tse.TseReady());
  EXPECT_TRUE(log.Has("FEHLER bei Anfrage an TSE-Server: ") && log.Has("Platte voll")) << log.lines.back();
}

}  // namespace
}  // namespace tolven::testing
