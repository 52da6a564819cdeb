#include "fiscal/tse.h"

#include <cstdio>

#include "common/text.h"
#include "fiscal/tse_server_adapter.h"

namespace tolven::fiscal {

namespace {

std::string TseLogPathOn(db::DbTools& tools, const Date& day) {
  return tools.state().logPfad + "TSE" + platform::kPathSepText + "TSE_VS_" + std::to_string(tools.state().kasse) +
         "_" + FormatYYMMDD(day) + ".LOG";
}

}  // namespace

Tse::Tse(db::DbTools& tools, TseServerAdapter& adapter, TseIdentity identity)
    : tools_(tools), adapter_(adapter), identity_(std::move(identity)), ready_(tools.state().tseInUse) {}

TseOutcome Tse::Request(const std::function<TseOutcome()>& send, const std::string& what) {
  platform::Env& env = tools_.env();
  const TseBreaker::Verdict verdict = breaker_.Ask(env.MonotonicMs());
  TseOutcome outcome;
  outcome.kind = TseOutcome::Kind::HeldBack;
  if (verdict != TseBreaker::Verdict::Skip) outcome = send();
  TakeOutcome(outcome, what);
  const bool probe = verdict == TseBreaker::Verdict::Probe;
  switch (outcome.kind) {
    case TseOutcome::Kind::Answered:
      if (breaker_.open()) log_->AddLogLine("TSE-Server antwortet wieder, es wird wieder signiert.");
      breaker_.Answered();
      break;
    case TseOutcome::Kind::NoAnswer:
      if (!breaker_.open()) {
        log_->AddLogLine(
            "FEHLER: TSE-Server antwortet nicht. Bestellungen und Belege werden ohne Signatur gespeichert, bis er "
            "wieder antwortet.");
      }
      breaker_.NoAnswer(env.MonotonicMs(), probe);
      break;
    case TseOutcome::Kind::NotSent: breaker_.NotSent(probe); break;
    case TseOutcome::Kind::HeldBack: break;
  }
  return outcome;
}

void Tse::TakeOutcome(const TseOutcome& outcome, const std::string& what) {
  switch (outcome.kind) {
    case TseOutcome::Kind::HeldBack:
      // Stored unsigned at once, as after a time-out; the operator was told when it began.
      WriteTseLog(" - TSE-SERVER ANTWORTET NICHT, nicht gesendet");
      ready_ = false;
      return;
    case TseOutcome::Kind::NotSent:
      tools_.LogSqlError("Fehler bei Anfrage an TSE-Server: " + outcome.reason);
      log_->AddLogLine("FEHLER bei Anfrage an TSE-Server: " + outcome.reason);
      ready_ = false;
      return;
    case TseOutcome::Kind::NoAnswer: {
      WriteTseLog(" - Warte auf TSE-Server...", outcome.sent);
      const std::string text = "Keine Antwort vom TSE-Server erhalten (" + what + ")";
      tools_.WriteSysLog("T", text);
      WriteTseLog(" - TSE-SERVER TIMEOUT");
      log_->AddLogLine("FEHLER: " + text);
      ready_ = false;
      return;
    }
    case TseOutcome::Kind::Answered: break;
  }
  WriteTseLog(" - Warte auf TSE-Server...", outcome.sent);
  WriteTseLog(" - Antwort vom TSE-Server empfangen");
  ready_ = true;
}

int32_t Tse::TSE_StartTransaction(int32_t& startTime) {
  WriteTseLog("Transaction START");
  WriteTseLog(" - processType=");
  WriteTseLog(" - processData=");
  startTime = 0;
  const TseOutcome outcome = Request([this] { return adapter_.Start("", ""); }, "Trx-Start");
  if (!outcome.answered()) return -1;
  startTime = outcome.logTime;
  WriteTseLog(" - Transaktionsnummer=" + std::to_string(outcome.transactionNumber));
  return outcome.transactionNumber;
}

bool Tse::TSE_FinishTransaction(int32_t transactionNumber, const std::string& processType,
                                const std::string& processData, std::string& serialNumber, int32_t& finishTime,
                                int32_t& signatureCounter, std::string& signature) {
  WriteTseLog("Transaction FINISH");
  WriteTseLog(" - Transaktionsnummer=" + std::to_string(transactionNumber));
  WriteTseLog(" - processType=" + processType);
  serialNumber.clear();
  signature.clear();
  finishTime = 0;
  signatureCounter = 0;
  const TseOutcome outcome = Request([&] { return adapter_.Finish(transactionNumber, processType, processData); },
                                     "Trx-Finish " + std::to_string(transactionNumber));
  if (!outcome.answered()) return false;
  finishTime = outcome.logTime;
  serialNumber = outcome.serialNumber;
  signatureCounter = outcome.signatureCounter;
  signature = outcome.signature;
  WriteTseLog(" - Signatur=" + signature);
  return !signature.empty();
}

bool Tse::TSE_StartAndFinish(const std::string& processType, const std::string& processData, TseResult& result) {
  result = TseResult();
  result.processType = processType;
  result.processData = processData;
  result.transactionNumber = TSE_StartTransaction(result.startTime);
  // The finish is sent even after a failed start, so the server sees the attempt.
  return TSE_FinishTransaction(result.transactionNumber, processType, processData, result.serialNumber,
                               result.finishTime, result.signatureCounter, result.signature);
}

std::string Tse::TSE_UnixTimeToISO(int64_t seconds) {
  DateTime t = FromUnixTime(seconds);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", t.date.year, t.date.month, t.date.day, t.hour,
                t.minute, t.second);
  return buf;
}

std::string Tse::TseLogPath() { return TseLogPathOn(tools_, tools_.env().Now().date); }

void Tse::WriteTseLog(const std::string& text) { WriteTseLog(text, tools_.env().Now()); }

void Tse::WriteTseLog(const std::string& text, const DateTime& at) {
  std::string line = FormatDMY(at.date) + " " + FormatHMS(at) + "," + std::to_string(at.millisecond / 100) + " " +
                     std::to_string(tools_.state().kasse) + " " + text + "\r\n";
  std::string path = TseLogPathOn(tools_, at.date);
  Status st = tools_.env().AppendFile(path, line);
  if (!st) {
    tools_.ui().MessageBox("TSE-Log-Eintrag nicht möglich.\r\n\r\n" + path + "\r\n\r\n" + st.message(),
                           platform::MsgKind::Critical);
  }
}

}  // namespace tolven::fiscal
