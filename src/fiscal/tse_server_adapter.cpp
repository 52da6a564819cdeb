#include "fiscal/tse_server_adapter.h"

#include "common/text.h"
#include "fiscal/tse.h"

namespace tolven::fiscal {

using db::GetFieldValue;
using db::SqlText;

int32_t TseServerClient::NextCorrelationKey() {
  DateTime now = tools_.env().Now();
  int32_t key = SecondsSinceMidnight(now) * 100 + (now.millisecond + 5) / 10;
  // Two requests within one hundredth would share a key and could read each
  // other's answer; the later one takes the next free hundredth instead.
  if (key <= lastKey_ && lastKey_ - key < 100) key = lastKey_ + 1;
  lastKey_ = key;
  return key;
}

std::string TseServerClient::Where(int32_t key) const {
  return " WHERE kasse = " + NumStr(tools_.state().kasse) + " AND merker = " + NumStr(key);
}

void TseServerClient::Log(const std::string& text) {
  if (tse_) tse_->WriteTseLog(text);
}

void TseServerClient::SetReady(bool ready) {
  if (tse_) tse_->SetReady(ready);
}

bool TseServerClient::SendRequest(const std::string& sql, int32_t key) {
  // An answer the server wrote after an earlier clean-up (same key, an earlier
  // day) must not be taken for the answer to this request.
  if (Status status = tools_.ExecSQL("DELETE FROM tse_server_ans" + Where(key)); !status) {
    tools_.LogSqlError("del(tse_ans):" + status.message(), true);
  }
  Status sent = tools_.ExecSQL(sql);
  if (sent) return true;
  tools_.LogSqlError("Fehler bei Anfrage an TSE-Server: " + sent.message());
  log_->AddLogLine("FEHLER bei Anfrage an TSE-Server: " + sent.message());
  SetReady(false);
  return false;
}

std::unique_ptr<db::ResultSet> TseServerClient::WaitForAnswer(const std::string& columns, int32_t key) {
  Log(" - Warte auf TSE-Server...");
  platform::Env& env = tools_.env();
  env.SleepMs(kFirstPauseMs);
  // A monotonic clock: a wait across midnight or a clock change runs its full time.
  const int64_t started = env.MonotonicMs();
  const std::string sql = "SELECT " + columns + " FROM tse_server_ans" + Where(key);
  for (;;) {
    ++answerQueries_;
    auto rs = tools_.Open(sql);
    if (rs && !rs->Eof()) {
      Log(" - Antwort vom TSE-Server empfangen");
      return std::make_unique<db::ResultSet>(std::move(*rs));
    }
    if (env.MonotonicMs() - started > kAnswerTimeoutMs) return nullptr;
    env.SleepMs(kPollPauseMs);
  }
}

void TseServerClient::CleanUp(int32_t key) {
  if (Status status = tools_.ExecSQL("DELETE FROM tse_server_req" + Where(key)); !status) {
    tools_.LogSqlError("del(tse_req):" + status.message());
  }
  if (Status status = tools_.ExecSQL("DELETE FROM tse_server_ans" + Where(key)); !status) {
    tools_.LogSqlError("del(tse_ans):" + status.message());
  }
}

int32_t TseServerClient::Start(const std::string& processType, const std::string& processData, int32_t& startTime) {
  Log("Transaction START");
  Log(" - processType=" + processType);
  Log(" - processData=" + processData);
  int32_t result = -1;
  startTime = 0;
  const int32_t key = NextCorrelationKey();
  const std::string sql = "INSERT INTO tse_server_req ( status, kasse, merker, typ, processtype, processdata) VALUES ( " +
                          std::string(" 0 , ") + NumStr(tools_.state().kasse) + " , " + NumStr(key) + " , " +
                          " 'S' , " + SqlText(processType) + " , " + SqlText(processData) + " )";
  if (!SendRequest(sql, key)) return -1;

  auto answer = WaitForAnswer("tse_trxnr, tse_logtimeutc", key);
  if (!answer) {
    lastTimeout_ = FormatDMY(tools_.env().Now().date) + " " + FormatHMS(tools_.env().Now()) + " Trx-Start";
    tools_.WriteSysLog("T", "Keine Antwort vom TSE-Server erhalten (Trx-Start)");
    Log(" - TSE-SERVER TIMEOUT");
    log_->AddLogLine("FEHLER: Keine Antwort vom TSE-Server erhalten (Trx-Start)");
    SetReady(false);
  } else {
    result = GetFieldValue(*answer, "tse_trxnr").AsInt();
    startTime = GetFieldValue(*answer, "tse_logtimeutc").AsInt();
    Log(" - Transaktionsnummer=" + std::to_string(result));
    SetReady(true);
  }
  CleanUp(key);
  return result;
}

bool TseServerClient::Finish(int32_t transactionNumber, const std::string& processType, const std::string& processData,
                           std::string& serialNumber, int32_t& finishTime, int32_t& signatureCounter,
                           std::string& signature) {
  Log("Transaction FINISH");
  Log(" - Transaktionsnummer=" + std::to_string(transactionNumber));
  Log(" - processType=" + processType);
  serialNumber.clear();
  signature.clear();
  finishTime = 0;
  signatureCounter = 0;
  const int32_t key = NextCorrelationKey();
  const std::string sql =
      "INSERT INTO tse_server_req ( status, kasse, merker, typ, tse_trxnr, processtype, processdata) VALUES ( " +
      std::string(" 0 , ") + NumStr(tools_.state().kasse) + " , " + NumStr(key) + " , " + " 'F' , " +
      NumStr(transactionNumber) + " , " + SqlText(processType) + " , " + SqlText(processData) + " )";
  if (!SendRequest(sql, key)) return false;

  auto answer = WaitForAnswer("tse_logtimeutc, tse_sernr, tse_sigcount, tse_signatur", key);
  if (!answer) {
    std::string text = "Keine Antwort vom TSE-Server erhalten (Trx-Finish " + std::to_string(transactionNumber) + ")";
    lastTimeout_ = FormatDMY(tools_.env().Now().date) + " " + FormatHMS(tools_.env().Now()) + " Trx-Finish";
    tools_.WriteSysLog("T", text);
    Log(" - TSE-SERVER TIMEOUT");
    log_->AddLogLine("FEHLER: " + text);
    SetReady(false);
  } else {
    finishTime = GetFieldValue(*answer, "tse_logtimeutc").AsInt();
    serialNumber = GetFieldValue(*answer, "tse_sernr").AsString();
    signatureCounter = GetFieldValue(*answer, "tse_sigcount").AsInt();
    signature = GetFieldValue(*answer, "tse_signatur").AsString();
    Log(" - Signatur=" + signature);
    SetReady(true);
  }
  CleanUp(key);
  return !signature.empty();
}

}  // namespace tolven::fiscal
