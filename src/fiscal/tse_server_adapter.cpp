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

Status TseServerClient::SendRequest(const std::string& sql, int32_t key) {
  // An answer the server wrote after an earlier clean-up (same key, an earlier
  // day) must not be taken for the answer to this request.
  if (Status status = tools_.ExecSQL("DELETE FROM tse_server_ans" + Where(key)); !status) {
    tools_.LogSqlError("del(tse_ans):" + status.message(), true);
  }
  return tools_.ExecSQL(sql);
}

bool TseServerClient::WaitForAnswer(int32_t key, TseOutcome& outcome) {
  platform::Env& env = tools_.env();
  waiting_.emplace(key, Waiting{});
  env.SleepMs(kFirstPauseMs);
  // A monotonic clock: a wait across midnight or a clock change runs its full time.
  const int64_t started = env.MonotonicMs();
  for (;;) {
    if (!waiting_[key].arrived && env.MonotonicMs() - lastLookMs_ >= kPollPauseMs) LookForAnswers();
    const Waiting found = waiting_[key];
    if (found.arrived || env.MonotonicMs() - started > kAnswerTimeoutMs) {
      waiting_.erase(key);
      if (found.arrived) outcome = found.answer;
      return found.arrived;
    }
    env.SleepMs(kPollPauseMs);
  }
}

void TseServerClient::LookForAnswers() {
  std::string keys;
  for (const auto& [key, waiting] : waiting_) {
    if (!waiting.arrived) keys += (keys.empty() ? "" : ", ") + NumStr(key);
  }
  lastLookMs_ = tools_.env().MonotonicMs();
  ++answerQueries_;
  auto rs = tools_.Open(
      "SELECT merker, tse_trxnr, tse_logtimeutc, tse_sernr, tse_sigcount, tse_signatur FROM tse_server_ans WHERE "
      "kasse = " +
      NumStr(tools_.state().kasse) + " AND merker IN (" + keys + ")");
  for (; rs && !rs->Eof(); rs->MoveNext()) {
    auto it = waiting_.find(GetFieldValue(*rs, "merker").AsInt());
    if (it == waiting_.end()) continue;
    TseOutcome& answer = it->second.answer;
    answer.transactionNumber = GetFieldValue(*rs, "tse_trxnr").AsInt();
    answer.logTime = GetFieldValue(*rs, "tse_logtimeutc").AsInt();
    answer.serialNumber = GetFieldValue(*rs, "tse_sernr").AsString();
    answer.signatureCounter = GetFieldValue(*rs, "tse_sigcount").AsInt();
    answer.signature = GetFieldValue(*rs, "tse_signatur").AsString();
    it->second.arrived = true;
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

TseOutcome TseServerClient::Request(const std::string& sql, int32_t key) {
  TseOutcome outcome;
  // A request that was never stored leaves nothing to clean up.
  if (Status sent = SendRequest(sql, key); !sent) {
    outcome.reason = sent.message();
    return outcome;
  }
  outcome.sent = tools_.env().Now();
  const DateTime sent = outcome.sent;
  if (WaitForAnswer(key, outcome)) {
    outcome.kind = TseOutcome::Kind::Answered;
    outcome.sent = sent;
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
  return Request(sql, key);
}

TseOutcome TseServerClient::Finish(int32_t transactionNumber, const std::string& processType,
                                   const std::string& processData) {
  const int32_t key = NextCorrelationKey();
  const std::string sql =
      "INSERT INTO tse_server_req ( status, kasse, merker, typ, tse_trxnr, processtype, processdata) VALUES ( " +
      std::string(" 0 , ") + NumStr(tools_.state().kasse) + " , " + NumStr(key) + " , " + " 'F' , " +
      NumStr(transactionNumber) + " , " + SqlText(processType) + " , " + SqlText(processData) + " )";
  return Request(sql, key);
}

}  // namespace tolven::fiscal
