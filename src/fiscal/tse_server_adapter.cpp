#include "fiscal/tse_server_adapter.h"

#include "common/text.h"

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

bool TseServerClient::SendRequest(const std::string& sql, int32_t key, std::string& reason) {
  // An answer the server wrote after an earlier clean-up (same key, an earlier
  // day) must not be taken for the answer to this request.
  if (Status status = tools_.ExecSQL("DELETE FROM tse_server_ans" + Where(key)); !status) {
    tools_.LogSqlError("del(tse_ans):" + status.message(), true);
  }
  Status sent = tools_.ExecSQL(sql);
  if (sent) return true;
  reason = sent.message();
  return false;
}

std::unique_ptr<db::ResultSet> TseServerClient::WaitForAnswer(const std::string& columns, int32_t key) {
  platform::Env& env = tools_.env();
  env.SleepMs(kFirstPauseMs);
  // A monotonic clock: a wait across midnight or a clock change runs its full time.
  const int64_t started = env.MonotonicMs();
  const std::string sql = "SELECT " + columns + " FROM tse_server_ans" + Where(key);
  for (;;) {
    ++answerQueries_;
    auto rs = tools_.Open(sql);
    if (rs && !rs->Eof()) return std::make_unique<db::ResultSet>(std::move(*rs));
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

TseOutcome TseServerClient::Request(const std::string& sql, int32_t key, const std::string& columns,
                                    void (*take)(db::ResultSet& answer, TseOutcome& outcome)) {
  TseOutcome outcome;
  // A request that was never stored leaves nothing to clean up.
  if (!SendRequest(sql, key, outcome.reason)) return outcome;
  outcome.sent = tools_.env().Now();
  if (auto answer = WaitForAnswer(columns, key)) {
    outcome.kind = TseOutcome::Kind::Answered;
    take(*answer, outcome);
  } else {
    outcome.kind = TseOutcome::Kind::NoAnswer;
  }
  CleanUp(key);
  return outcome;
}

TseOutcome TseServerClient::Start(const std::string& processType, const std::string& processData) {
  const int32_t key = NextCorrelationKey();
  const std::string sql =
      "INSERT INTO tse_server_req ( status, kasse, merker, typ, processtype, processdata) VALUES ( " +
      std::string(" 0 , ") + NumStr(tools_.state().kasse) + " , " + NumStr(key) + " , " + " 'S' , " +
      SqlText(processType) + " , " + SqlText(processData) + " )";
  return Request(sql, key, "tse_trxnr, tse_logtimeutc", [](db::ResultSet& answer, TseOutcome& outcome) {
    outcome.transactionNumber = GetFieldValue(answer, "tse_trxnr").AsInt();
    outcome.logTime = GetFieldValue(answer, "tse_logtimeutc").AsInt();
  });
}

TseOutcome TseServerClient::Finish(int32_t transactionNumber, const std::string& processType,
                                   const std::string& processData) {
  const int32_t key = NextCorrelationKey();
  const std::string sql =
      "INSERT INTO tse_server_req ( status, kasse, merker, typ, tse_trxnr, processtype, processdata) VALUES ( " +
      std::string(" 0 , ") + NumStr(tools_.state().kasse) + " , " + NumStr(key) + " , " + " 'F' , " +
      NumStr(transactionNumber) + " , " + SqlText(processType) + " , " + SqlText(processData) + " )";
  return Request(sql, key, "tse_logtimeutc, tse_sernr, tse_sigcount, tse_signatur",
                 [](db::ResultSet& answer, TseOutcome& outcome) {
                   outcome.logTime = GetFieldValue(answer, "tse_logtimeutc").AsInt();
                   outcome.serialNumber = GetFieldValue(answer, "tse_sernr").AsString();
                   outcome.signatureCounter = GetFieldValue(answer, "tse_sigcount").AsInt();
                   outcome.signature = GetFieldValue(answer, "tse_signatur").AsString();
                 });
}

}  // namespace tolven::fiscal
