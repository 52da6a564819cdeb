// The TSE facade and the TSE server adapter against a real database: silence,
// a wait across midnight, stale answers, the TSE day log, a request that cannot
// be stored.
#include <gtest/gtest.h>

#include "common/text.h"
#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "support/recording_log.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

// The server leaves the start unanswered and answers the finish; the start times
// out, the finish is still sent, with -1. The wait runs across midnight: it is
// measured, not taken from the time of day. An answer left from an earlier day
// under the key of the request is not taken for its answer.
TEST(Tse, AStartWithoutAnswerTimesOutAndTheFinishIsStillSent) {
  TestDb db;
  RecordingLog log;
  fiscal::TseServerClient server(db.tools());
  fiscal::Tse tse(db.tools(), server, fiscal::TseIdentity{});
  tse.SetLog(log);
  db.env().onSleep = [&db](int) {
    db.Exec(
        "INSERT INTO tse_server_ans (kasse, merker, tse_logtimeutc, tse_sernr, tse_sigcount, tse_signatur) "
        "SELECT kasse, merker, 1765000000, 'SER-9', 88, 'c2lnbmF0dXJl' FROM tse_server_req WHERE typ = 'F' AND "
        "merker NOT IN (SELECT merker FROM tse_server_ans)");
  };
  db.env().SetNow({Date{2026, 12, 31}, 23, 59, 59, 500});
  fiscal::TseServerClient other(db.tools());
  EXPECT_EQ(other.NextCorrelationKey(), 8639950) << "hundredths of a second of the day";
  EXPECT_EQ(other.NextCorrelationKey(), 8639951);
  db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (1, 8639950, 1, 1)");

  fiscal::TseResult r;
  EXPECT_TRUE(tse.TSE_StartAndFinish(fiscal::kProcessTypeReceipt, "p'd", r));
  EXPECT_EQ(std::to_string(r.transactionNumber) + "|" + std::to_string(r.startTime) + "|" +
                std::to_string(r.finishTime) + "|" + r.serialNumber + "|" + std::to_string(r.signatureCounter) + "|" +
                r.signature,
            "-1|0|1765000000|SER-9|88|c2lnbmF0dXJl");
  const std::string old = "31.12.2026 23:59:59,5 1 ", timeout = "01.01.2027 00:00:14,7 1 ";
  EXPECT_EQ(ReadAll(db.state().logPfad + "TSE/TSE_VS_1_261231.LOG"),
            old + "Transaction START\r\n" + old + " - processType=\r\n" + old + " - processData=\r\n" + old +
                " - Warte auf TSE-Server...\r\n");
  EXPECT_EQ(ReadAll(tse.TseLogPath()),
            timeout + " - TSE-SERVER TIMEOUT\r\n" + timeout + "Transaction FINISH\r\n" + timeout +
                " - Transaktionsnummer=-1\r\n" + timeout + " - processType=Kassenbeleg-V1\r\n" + timeout +
                " - Warte auf TSE-Server...\r\n01.01.2027 00:00:14,9 1  - Antwort vom "
                "TSE-Server empfangen\r\n01.01.2027 00:00:14,9 1  - Signatur=c2lnbmF0dXJl\r\n");
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'T'"), "Keine Antwort vom TSE-Server erhalten (Trx-Start)");
  EXPECT_TRUE(log.Has("FEHLER: Keine Antwort"));
  EXPECT_EQ(db.Count("tse_server_req") + db.Count("tse_server_ans"), 0);
  EXPECT_LE(server.answerQueries(), 1 + 200 * 15) << "fewer than 200 looks a second at the shared answer table";
  EXPECT_TRUE(tse.TseReady()) << "the answer to the finish declares the TSE ready again";

  // A request that cannot even be stored fails at once.
  db.FailInserts("tse_server_req", "Platte voll");
  int32_t start = 0;
  EXPECT_EQ(tse.TSE_StartTransaction(start), -1);
  EXPECT_FALSE(tse.TseReady());
  EXPECT_TRUE(log.Has("FEHLER bei Anfrage an TSE-Server: ") && log.Has("Platte voll")) << log.lines.back();
}

}  // namespace
}  // namespace tolven::testing
