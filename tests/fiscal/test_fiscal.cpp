// The safeguards of a receipt row: check text, signature (Rijndael-256/256 with
// its message framing), turnover counter and chronology; the TSE facade and its
// server adapter against a real database.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "common/text.h"
#include "fiscal/receipt_checks.h"
#include "fiscal/rijndael.h"
#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "loop/event_loop.h"
#include "support/recording_log.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::fiscal {
namespace {

using Bytes = std::vector<std::uint8_t>;
Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// "name = HEX" lines (nothing after '=' means no bytes); a record is checked at
// its last line.
TEST(Rijndael, ReproducesEveryRecordOfTheTestData) {
  std::ifstream in(TOLVEN_SOURCE_DIR "/tests/fiscal/data/rijndael256.txt");
  ASSERT_TRUE(in) << "test data missing";
  Rijndael cipher;  // one instance on purpose: every record must reset the key
  std::map<std::string, std::string> f;
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find(" =");
    if (StartsWith(line, "#") || eq == std::string::npos) continue;
    f[line.substr(0, eq)] = HexDecode(line.size() > eq + 3 ? line.substr(eq + 3) : "");
    if (StartsWith(line, "ciphertext")) {
      Bytes block = B(f["plaintext"]);
      ASSERT_TRUE(cipher.gkey(8, 8, B(f["key"])) && cipher.Encrypt(block)) << line;
      EXPECT_EQ(block, B(f["ciphertext"])) << line;
    } else if (StartsWith(line, "result")) {
      // The text overloads: bytes above 127 (one record has them) count unsigned.
      EXPECT_EQ(cipher.EncryptData(f["message"], f["password"]), B(f["result"])) << line;
      EXPECT_EQ(cipher.DecryptData(B(f["result"]), f["password"]), B(f["message"])) << line;
    }
  }
  // A length that takes two bytes of the length field; an empty or a cut buffer.
  const Bytes message(300, 7), password(32, 0x5A);
  Bytes buffer = cipher.EncryptData(message, password);
  EXPECT_EQ(cipher.DecryptData(buffer, password), message);
  EXPECT_FALSE(cipher.DecryptData({}, password));
  EXPECT_FALSE(cipher.DecryptData(Bytes(buffer.begin(), buffer.end() - 1), password));
}

// The key data field by field (widths are minima, negative amounts keep theirs,
// the payment type is cut to six), and the signature decrypts to it under the
// installation's key. The check text is CRC-16/KERMIT, low byte first, over
// date, number and amount.
TEST(Signature, KeyDataItsEncryptionAndTheCheckText) {
  // Installation, bunr, time, amounts at the normal, reduced, second reduced and zero rate, counter, payment.
  const SignatureInput in{4711, 123456789, {{2026, 12, 5}, 14, 3, 9, 370}, -500, 535, 0, 250, 123456, "KREDITKARTE"};
  const std::string data = SignatureKeyData(in);
  EXPECT_EQ(data, std::string("004711") + "123456789" + "20261205" + "140309" + "-0000500" + "00000535" + "00000000" +
                      "00000000" + "00000250" + "0000123456" + "KREDIT");
  EXPECT_EQ(Rijndael().DecryptData(B(HexDecode(Signatur0(in))), "DKYCRxa&SlIyC-lV5qz5PeLUPMF+kb#U"), B(data));
  // Over "05.12.202600000000420000001250" and "05.12.20260000000042-000001250".
  EXPECT_EQ(RecordCRC(in.time.date, 42, 1250) + RecordCRC(in.time.date, 42, -1250), "A04D606A");
  // Eight-digit numbers go through single precision as every program of the
  // installation writes them, so neighbours share their check text.
  EXPECT_EQ(RecordCRC(in.time.date, 12345678, 0), RecordCRC(in.time.date, 12345679, 0));
}

class BelegSchreibenTest : public ::testing::Test {
 protected:
  bool Write(int32_t bunr, Cents betrag, DateTime time = kNoon) {
    ReceiptHeader h;
    h.bunr = bunr;
    h.datumzeit = h.vorgangstart = time;
    h.betrag = h.sum1 = betrag;
    h.rate1 = Rate::FromPercent(19);
    h.rate2 = Rate::FromPercent(7);
    h.zahlart = "BAR";
    Status written = BelegSchreiben(db.tools(), h, nullptr);
    error = written.message();
    return written.ok();
  }

  static constexpr DateTime kNoon{{2026, 12, 5}, 12, 0, 0, 0};
  testing::TestDb db;
  std::string error;
};

// The counter starts at 0, is rebuilt from the amounts since 2017 after a zero
// counter, goes into the signature and stays within 32 bits.
TEST_F(BelegSchreibenTest, TurnoverCounterSignatureAndCheckTextOfTheRow) {
  db.state().installationNr = 815;
  ASSERT_TRUE(Write(7, 1000)) << error;
  db.Exec("INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (3, '2016-12-31 23:59:59', 99999, 0)");
  ASSERT_TRUE(Write(8, 250) && Write(9, -50) && Write(10, 5)) << error;
  EXPECT_EQ(db.Scalar("SELECT GROUP_CONCAT(umsatzzaehler, ' ') FROM (SELECT * FROM kass WHERE bunr > 3 ORDER BY bunr)"),
            "0 1250 1200 1205");
  EXPECT_EQ(db.Scalar("SELECT signatur0 || '|' || crc || '|' || doy || '|' || sigver FROM kass WHERE bunr = 8"),
            Signatur0({815, 8, kNoon, 250, 0, 0, 0, 1250, "BAR"}) + "|" + RecordCRC(kNoon.date, 8, 250) + "|26339|1");
  // bunr is unique; the database's text follows.
  EXPECT_TRUE(!Write(8, 100) && StartsWith(error, "\r\nkass:\r\n\r\n") && error.size() > 11) << error;

  db.Exec(
      "INSERT INTO kass (bunr, datumzeit, betrag, umsatzzaehler) VALUES (20, '2026-12-05 12:00:00', 5, 2147483637)");
  EXPECT_TRUE(!Write(21, 11) && error.find("Umsatzzähler") != std::string::npos) << error;
  EXPECT_TRUE(Write(21, 10)) << "exactly the maximum still fits";
}

// The same second is no step back; in the night the clocks go back, the
// repeated hour is in order, a clock set back further is not.
TEST_F(BelegSchreibenTest, ChronologyAllowsOnlyTheHourTheClocksGoBack) {
  ASSERT_TRUE(Write(1, 100) && Write(2, 100, {Date{2026, 12, 5}, 12, 0, 0, 999})) << error;
  // 25.10.2026: at 01:00 UTC local time goes from 03:00 summer time back to 02:00.
  const int64_t change = DaysFromCivil(Date{2026, 10, 25}) * 86400 + 3600;
  db.env().utcOffset = [change](int64_t t) { return t < change ? 7200 : 3600; };
  db.env().SetNow({{2026, 10, 25}, 1, 30, 0, 0});
  db.env().Advance(80 * 60 * 1000);  // 02:50 summer time
  ASSERT_TRUE(Write(11, 100, db.env().Now())) << error;
  db.env().Advance(20 * 60 * 1000);
  EXPECT_TRUE(Write(12, 100, db.env().Now())) << "02:10 winter time: " << error;
  db.env().Advance(6 * 60 * 1000);
  EXPECT_FALSE(Write(13, 100, {{2026, 10, 25}, 1, 5, 0, 0}));
  EXPECT_EQ(error, "Chronologische Abfolge nicht gegeben! 25.10.2026 01:05:00<25.10.2026 02:10:00");
}

// The server leaves the start unanswered and answers the finish; the start times
// out, the finish is still sent, with -1. The wait runs across midnight: it is
// measured, not taken from the time of day. An answer left from an earlier day
// under the key of the request is not taken for its answer.
// Three requests of one register waiting side by side (jobs of the event
// loop): each has a key of its own, a stale answer under one of them is gone
// before its request, and one look at the answer table serves them all.
TEST(Tse, RequestsWaitingSideBySideEachGetTheirOwnAnswer) {
  testing::TestDb db;
  loop::EventLoop loop(db.env());
  db::StationContext tools(db.conn(), db.state(), loop, db.ui());
  TseServerClient server(tools);
  db.env().onSleep = [&db](int) {
    db.Exec(
        "INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) SELECT kasse, merker, merker, 1 FROM "
        "tse_server_req WHERE merker NOT IN (SELECT merker FROM tse_server_ans)");
  };
  const int32_t first = server.NextCorrelationKey() + 1;
  db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (1, " +
          std::to_string(first + 2) + ", 1, 1)");
  std::vector<int32_t> numbers;
  for (int i = 0; i < 3; ++i) loop.Spawn([&] { numbers.push_back(server.Start("", "").transactionNumber); });
  loop.RunUntilIdle();
  EXPECT_EQ(numbers, (std::vector<int32_t>{first, first + 1, first + 2}));
  EXPECT_EQ(server.answerQueries(), 1);
  EXPECT_EQ(db.Count("tse_server_req") + db.Count("tse_server_ans"), 0);
}

TEST(Tse, ATimeOutHoldsRequestsBackUntilAProbeIsAnswered) {
  testing::TestDb db;
  testing::RecordingLog log;
  TseServerClient server(db.tools());
  Tse tse(db.tools(), server, TseIdentity{});
  tse.SetLog(log);
  bool answering = false;
  db.env().onSleep = [&](int) {
    if (!answering) return;
    db.Exec(
        "INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc, tse_sernr, tse_sigcount, "
        "tse_signatur) SELECT kasse, merker, 7, 1765000000, 'SER-9', 88, 'c2lnbmF0dXJl' FROM tse_server_req WHERE "
        "merker NOT IN (SELECT merker FROM tse_server_ans)");
  };
  db.env().SetNow({Date{2026, 12, 31}, 23, 59, 59, 500});
  // Hundredths of a second of the day; one hundredth on, the next one.
  EXPECT_TRUE(server.NextCorrelationKey() == 8639950 && server.NextCorrelationKey() == 8639951);
  // A stale answer under the next key is not taken for the answer to the next request.
  db.Exec("INSERT INTO tse_server_ans (kasse, merker, tse_trxnr, tse_logtimeutc) VALUES (1, 8639952, 1, 1)");

  // The start that finds the server silent waits its full time; the finish of
  // the same receipt is then held back, and so is the next request.
  EXPECT_EQ(tse.TSE_StartAndFinish(kProcessTypeReceipt, "p'd").status().message(), "TSE-Trx=-1");
  EXPECT_EQ(tse.TSE_StartTransaction().status().message(), "TSE-Server antwortet nicht, nicht gesendet (Trx-Start)");
  const std::string old = "31.12.2026 23:59:59,5 1 ", timeout = "01.01.2027 00:00:14,7 1 ";
  EXPECT_EQ(testing::ReadAll(db.state().logPfad + "TSE/TSE_VS_1_261231.LOG"),
            old + "Transaction START\r\n" + old + " - processType=\r\n" + old + " - processData=\r\n" + old +
                " - Warte auf TSE-Server...\r\n");
  EXPECT_EQ(testing::ReadAll(tse.TseLogPath()),
            timeout + " - TSE-SERVER TIMEOUT\r\n" + timeout + "Transaction FINISH\r\n" + timeout +
                " - Transaktionsnummer=-1\r\n" + timeout + " - processType=Kassenbeleg-V1\r\n" + timeout +
                " - TSE-SERVER ANTWORTET NICHT, nicht gesendet\r\n" + timeout + "Transaction START\r\n" + timeout +
                " - processType=\r\n" + timeout + " - processData=\r\n" + timeout +
                " - TSE-SERVER ANTWORTET NICHT, nicht gesendet\r\n");
  EXPECT_EQ(db.Scalar("SELECT txt FROM syslog WHERE typ = 'T'"), "Keine Antwort vom TSE-Server erhalten (Trx-Start)");
  EXPECT_EQ(db.Count("tse_server_req") + db.Count("tse_server_ans"), 0);
  EXPECT_LE(server.answerQueries(), 1 + 200 * 15) << "fewer than 200 looks a second at the shared answer table";
  EXPECT_FALSE(tse.TseReady());

  // 10 s after the time-out the next request is the probe; its answer resumes signing.
  db.env().Advance(TseBreaker::kProbeSpacingMs - 1);
  EXPECT_FALSE(tse.TSE_StartTransaction().ok());
  db.env().Advance(1);
  answering = true;
  const Result<TseResult> r = tse.TSE_StartAndFinish(kProcessTypeReceipt, "p'd");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::to_string(r->transactionNumber) + "|" + std::to_string(r->startTime) + "|" + r->serialNumber + "|" +
                std::to_string(r->signatureCounter) + "|" + r->signature + "|" + r->processType + "|" + r->processData,
            "7|1765000000|SER-9|88|c2lnbmF0dXJl|Kassenbeleg-V1|p'd");
  EXPECT_TRUE(tse.TseReady() && !tse.serverSilent());

  // A request that cannot even be stored fails at once.
  db.FailInserts("tse_server_req", "Platte voll");
  EXPECT_EQ(tse.TSE_StartTransaction().status().message(), "Fehler bei Anfrage an TSE-Server: Platte voll");
  EXPECT_FALSE(tse.TseReady());
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "FEHLER: Keine Antwort vom TSE-Server erhalten (Trx-Start)",
                           "FEHLER: TSE-Server antwortet nicht. Bestellungen und Belege werden ohne Signatur "
                           "gespeichert, bis er wieder antwortet.",
                           "TSE-Server antwortet wieder, es wird wieder signiert.",
                           "FEHLER bei Anfrage an TSE-Server: Platte voll"}));
}

// Only payments come in after a time-out: the first receipt once the spacing
// has passed is sent as the probe and its answer closes the breaker; a receipt
// while the probe waits is stored unsigned at once. Two requests in flight
// together are written to the day log as two blocks, each in time order.
TEST(Tse, ReceiptsAloneProbeASilentServerAndEachRequestLogsOneBlock) {
  testing::TestDb db;
  loop::EventLoop loop(db.env());
  db::StationContext tools(db.conn(), db.state(), loop, db.ui());
  testing::ScriptedTseServer server;
  server.waits = &loop;
  server.answer = false;
  Tse tse(tools, server, TseIdentity{});
  std::string done;  // each receipt: signed or not, and how long it waited
  auto pay = [&](const std::string& name) {
    loop.Spawn([&, name] {
      const int64_t began = db.env().MonotonicMs();
      const bool ok = tse.SignReceipt("Beleg^" + name).ok();
      done += " " + name + (ok ? "+" : "-") + std::to_string(db.env().MonotonicMs() - began);
    });
  };
  pay("1");  // finds the server silent: its full time-out, the finish held back
  loop.RunUntilIdle();
  server.answer = true;
  db.env().Advance(TseBreaker::kProbeSpacingMs);
  pay("2");  // the probe
  pay("3");  // while the probe waits
  loop.RunUntilIdle();
  std::filesystem::remove(tse.TseLogPath());
  db.env().SetNow({{2026, 12, 5}, 13, 0, 0, 0});
  pay("4");
  loop.Spawn([&] { (void)tse.TSE_StartTransaction(); });
  loop.RunUntilIdle();
  EXPECT_EQ(done, " 1-15200 3-0 2+400 4+400");
  // Tenths of the second, then the text; the order's start ends first.
  const std::string started =
      "0Transaction START|0 - processType=|0 - processData=|0 - Warte auf TSE-Server...|2 - "
      "Antwort vom TSE-Server empfangen|2 - Transaktionsnummer=";
  const std::string lines = started + "102|" + started + "101|2Transaction FINISH|2 - Transaktionsnummer=101|2 - " +
                            "processType=Kassenbeleg-V1|2 - Warte auf TSE-Server...|4 - Antwort vom TSE-Server " +
                            "empfangen|4 - Signatur=SIG501";
  std::string expected;
  for (int i = 1; !GetToken(lines, i, "|").empty(); ++i) {
    const std::string line = GetToken(lines, i, "|");
    expected += "05.12.2026 13:00:00," + line.substr(0, 1) + " 1 " + line.substr(1) + "\r\n";
  }
  EXPECT_EQ(testing::ReadAll(tse.TseLogPath()), expected);
}

// Answers each request with the next outcome of its script.
class ScriptedAnswers : public TseServerAdapter {
 public:
  std::vector<TseOutcome> outcomes;
  std::vector<int32_t> finished;  // the numbers the finishes were sent with

  TseOutcome Start(const std::string&, const std::string&) override { return Next(); }
  TseOutcome Finish(int32_t trx, const std::string&, const std::string&) override {
    finished.push_back(trx);
    return Next();
  }
  static TseOutcome Answer(int32_t trx, int32_t time, const std::string& signature) {
    TseOutcome o;
    o.kind = TseOutcome::Kind::Answered;
    o.transactionNumber = trx;
    o.logTime = time;
    o.serialNumber = "SER-1";
    o.signatureCounter = 12;
    o.signature = signature;
    return o;
  }

 private:
  TseOutcome Next() {
    TseOutcome o = outcomes.front();
    outcomes.erase(outcomes.begin());
    return o;
  }
};

// A failed signing still names the transaction its start gave, for the record
// of the unsigned receipt; an answer without a signature is a failure; a
// finish signed after a failed start is a signature under kNoTransaction.
TEST(Tse, AFailedSigningNamesItsTransactionAndASignedFinishKeepsAFailedStart) {
  testing::TestDb db;
  ScriptedAnswers server;
  Tse tse(db.tools(), server, TseIdentity{});
  server.outcomes = {ScriptedAnswers::Answer(7, 1765000000, ""), ScriptedAnswers::Answer(0, 1765000001, "")};
  EXPECT_EQ(tse.SignReceipt("Beleg^1").status().message(), "TSE-Trx=7");
  server.outcomes = {ScriptedAnswers::Answer(0, 1765000001, "")};
  EXPECT_FALSE(tse.TSE_FinishTransaction(8, kProcessTypeOrder, "x").ok());
  EXPECT_TRUE(tse.TseReady());

  TseOutcome refused;
  refused.reason = "Platte voll";
  server.outcomes = {refused, ScriptedAnswers::Answer(0, 1765000002, "SIG")};
  const Result<TseResult> r = tse.SignReceipt("Beleg^2");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::to_string(r->transactionNumber) + "|" + std::to_string(r->startTime) + "|" +
                std::to_string(r->finishTime) + "|" + r->signature,
            "-1|0|1765000002|SIG");
  EXPECT_EQ(server.finished, (std::vector<int32_t>{7, 8, kNoTransaction}));
}

}  // namespace
}  // namespace tolven::fiscal
