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

Tse::Tse(db::DbTools& tools, TseServerAdapter& adapter, TseIdentity identity, platform::PendingWrites* pending)
    : tools_(tools),
      adapter_(adapter),
      identity_(std::move(identity)),
      ready_(tools.state().tseInUse),
      pending_(pending) {}

TseOutcome Tse::Request(const std::function<TseOutcome()>& send, const std::string& what, LogBlock& block,
                        bool holdBack) {
  platform::Env& env = tools_.env();
  const TseBreaker::Verdict verdict = holdBack ? TseBreaker::Verdict::Skip : breaker_.Ask(env.MonotonicMs());
  TseOutcome outcome;
  outcome.kind = TseOutcome::Kind::HeldBack;
  if (verdict != TseBreaker::Verdict::Skip) outcome = send();
  TakeOutcome(outcome, what, block);
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

void Tse::TakeOutcome(const TseOutcome& outcome, const std::string& what, LogBlock& block) {
  switch (outcome.kind) {
    case TseOutcome::Kind::HeldBack:
      // Stored unsigned at once, as after a time-out; the operator was told when it began.
      Note(block, " - TSE-SERVER ANTWORTET NICHT, nicht gesendet");
      ready_ = false;
      return;
    case TseOutcome::Kind::NotSent:
      tools_.LogSqlError("Fehler bei Anfrage an TSE-Server: " + outcome.reason);
      log_->AddLogLine("FEHLER bei Anfrage an TSE-Server: " + outcome.reason);
      ready_ = false;
      return;
    case TseOutcome::Kind::NoAnswer: {
      block.lines.emplace_back(outcome.sent, " - Warte auf TSE-Server...");
      const std::string text = "Keine Antwort vom TSE-Server erhalten (" + what + ")";
      tools_.WriteSysLog("T", text);
      Note(block, " - TSE-SERVER TIMEOUT");
      log_->AddLogLine("FEHLER: " + text);
      ready_ = false;
      return;
    }
    case TseOutcome::Kind::Answered: break;
  }
  block.lines.emplace_back(outcome.sent, " - Warte auf TSE-Server...");
  Note(block, " - Antwort vom TSE-Server empfangen");
  ready_ = true;
}

int32_t Tse::Start(LogBlock& block, int32_t& startTime, bool& heldBack) {
  Note(block, "Transaction START");
  Note(block, " - processType=");
  Note(block, " - processData=");
  startTime = 0;
  const TseOutcome outcome = Request([this] { return adapter_.Start("", ""); }, "Trx-Start", block);
  heldBack = outcome.kind == TseOutcome::Kind::HeldBack;
  if (!outcome.answered()) return -1;
  startTime = outcome.logTime;
  Note(block, " - Transaktionsnummer=" + std::to_string(outcome.transactionNumber));
  return outcome.transactionNumber;
}

bool Tse::Finish(LogBlock& block, int32_t transactionNumber, const std::string& processType,
                 const std::string& processData, std::string& serialNumber, int32_t& finishTime,
                 int32_t& signatureCounter, std::string& signature, bool holdBack) {
  Note(block, "Transaction FINISH");
  Note(block, " - Transaktionsnummer=" + std::to_string(transactionNumber));
  Note(block, " - processType=" + processType);
  serialNumber.clear();
  signature.clear();
  finishTime = 0;
  signatureCounter = 0;
  const TseOutcome outcome = Request([&] { return adapter_.Finish(transactionNumber, processType, processData); },
                                     "Trx-Finish " + std::to_string(transactionNumber), block, holdBack);
  if (!outcome.answered()) return false;
  finishTime = outcome.logTime;
  serialNumber = outcome.serialNumber;
  signatureCounter = outcome.signatureCounter;
  signature = outcome.signature;
  Note(block, " - Signatur=" + signature);
  return !signature.empty();
}

int32_t Tse::TSE_StartTransaction(int32_t& startTime) {
  LogBlock block;
  bool heldBack = false;
  const int32_t number = Start(block, startTime, heldBack);
  WriteBlock(block);
  return number;
}

bool Tse::TSE_FinishTransaction(int32_t transactionNumber, const std::string& processType,
                                const std::string& processData, std::string& serialNumber, int32_t& finishTime,
                                int32_t& signatureCounter, std::string& signature) {
  LogBlock block;
  const bool ok = Finish(block, transactionNumber, processType, processData, serialNumber, finishTime, signatureCounter,
                         signature, false);
  WriteBlock(block);
  return ok;
}

bool Tse::TSE_StartAndFinish(const std::string& processType, const std::string& processData, TseResult& result) {
  result = TseResult();
  result.processType = processType;
  result.processData = processData;
  LogBlock block;
  bool heldBack = false;
  result.transactionNumber = Start(block, result.startTime, heldBack);
  // The finish is sent even after a failed start, so the server sees the
  // attempt; not after a start the breaker held back, or the finish of a
  // transaction that never began could become the probe.
  const bool ok = Finish(block, result.transactionNumber, processType, processData, result.serialNumber,
                         result.finishTime, result.signatureCounter, result.signature, heldBack);
  WriteBlock(block);
  return ok;
}

bool Tse::CheckServer() {
  if (!CheckDue()) return false;
  TseResult result;
  TSE_StartAndFinish(kProcessTypeOther, kServerCheckData, result);
  return true;
}

std::string Tse::TSE_UnixTimeToISO(int64_t seconds) {
  DateTime t = FromUnixTime(seconds);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", t.date.year, t.date.month, t.date.day, t.hour,
                t.minute, t.second);
  return buf;
}

std::string Tse::TseLogPath() { return TseLogPathOn(tools_, tools_.env().Now().date); }

void Tse::WriteTseLog(const std::string& text) {
  LogBlock block;
  Note(block, text);
  WriteBlock(block);
}

std::string Tse::LogLine(const std::string& text, const DateTime& at) {
  return FormatDMY(at.date) + " " + FormatHMS(at) + "," + std::to_string(at.millisecond / 100) + " " +
         std::to_string(tools_.state().kasse) + " " + text + "\r\n";
}

void Tse::WriteBlock(const LogBlock& block) {
  // One append per day file: a request that runs over midnight goes on in the new day's file.
  for (size_t i = 0; i < block.lines.size();) {
    const Date day = block.lines[i].first.date;
    std::string text;
    for (; i < block.lines.size() && block.lines[i].first.date == day; ++i) {
      text += LogLine(block.lines[i].second, block.lines[i].first);
    }
    const std::string path = TseLogPathOn(tools_, day);
    if (!pending_) {
      if (Status st = tools_.env().AppendFile(path, text); !st) {
        tools_.ui().MessageBox("TSE-Log-Eintrag nicht möglich.\r\n\r\n" + path + "\r\n\r\n" + st.message(),
                               platform::MsgKind::Critical);
      }
      continue;
    }
    // Lines waiting behind earlier ones of the file have been reported with those.
    const bool behind = pending_->Waits(path);
    if (Status st = pending_->Append(tools_.env(), path, text, "TSE-Log " + path); !st && !behind) {
      tools_.ui().MessageBox("TSE-Log-Eintrag nicht möglich.\r\n\r\n" + path + "\r\n\r\n" + st.message() +
                                 "\r\n\r\nDer Eintrag wird nachgetragen, sobald die Datei wieder geschrieben "
                                 "werden kann.",
                             platform::MsgKind::Critical);
    }
  }
}

}  // namespace tolven::fiscal
