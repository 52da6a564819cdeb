#include "fiscal/tse.h"

#include <cstdio>

#include "common/text.h"
#include "fiscal/tse_server_adapter.h"

namespace tolven::fiscal {

namespace {

std::string TseLogPathOn(db::StationContext& tools, const Date& day) {
  return tools.state().logPfad + "TSE" + platform::kPathSepText + "TSE_VS_" + std::to_string(tools.state().kasse) +
         "_" + FormatYYMMDD(day) + ".LOG";
}

}  // namespace

Tse::Tse(db::StationContext& tools, TseServerAdapter& adapter, TseIdentity identity, platform::PendingWrites* pending,
         Observer& observer)
    : tools_(tools),
      adapter_(adapter),
      identity_(std::move(identity)),
      ready_(tools.state().tseInUse),
      pending_(pending),
      observer_(observer) {}

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
    case TseOutcome::Kind::Answered: observer_.TseRequestEnded(TseRequestOutcome::Answered); break;
    case TseOutcome::Kind::NoAnswer: observer_.TseRequestEnded(TseRequestOutcome::NoAnswer); break;
    case TseOutcome::Kind::NotSent: observer_.TseRequestEnded(TseRequestOutcome::NotSent); break;
    case TseOutcome::Kind::HeldBack: observer_.TseRequestEnded(TseRequestOutcome::HeldBack); break;
  }
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

Status Tse::Unanswered(const TseOutcome& outcome, const std::string& what) {
  switch (outcome.kind) {
    case TseOutcome::Kind::HeldBack: return Status::Error("TSE-Server antwortet nicht, nicht gesendet (" + what + ")");
    case TseOutcome::Kind::NotSent: return Status::Error("Fehler bei Anfrage an TSE-Server: " + outcome.reason);
    case TseOutcome::Kind::NoAnswer:
    case TseOutcome::Kind::Answered: break;
  }
  return Status::Error("Keine Antwort vom TSE-Server erhalten (" + what + ")");
}

Status Tse::Unsigned(int32_t transactionNumber) {
  return Status::Error("TSE-Trx=" + std::to_string(transactionNumber));
}

Result<TseStart> Tse::Start(LogBlock& block, bool& heldBack) {
  Note(block, "Transaction START");
  Note(block, " - processType=");
  Note(block, " - processData=");
  const TseOutcome outcome = Request([this] { return adapter_.Start("", ""); }, "Trx-Start", block);
  heldBack = outcome.kind == TseOutcome::Kind::HeldBack;
  if (!outcome.answered()) return Unanswered(outcome, "Trx-Start");
  Note(block, " - Transaktionsnummer=" + std::to_string(outcome.transactionNumber));
  return TseStart{outcome.transactionNumber, outcome.logTime};
}

Result<TseSignature> Tse::Finish(LogBlock& block, int32_t transactionNumber, const std::string& processType,
                                 const std::string& processData, bool holdBack) {
  Note(block, "Transaction FINISH");
  Note(block, " - Transaktionsnummer=" + std::to_string(transactionNumber));
  Note(block, " - processType=" + processType);
  const std::string what = "Trx-Finish " + std::to_string(transactionNumber);
  const TseOutcome outcome =
      Request([&] { return adapter_.Finish(transactionNumber, processType, processData); }, what, block, holdBack);
  if (!outcome.answered()) return Unanswered(outcome, what);
  Note(block, " - Signatur=" + outcome.signature);
  if (outcome.signature.empty()) return Status::Error("Antwort des TSE-Servers ohne Signatur (" + what + ")");
  return TseSignature{outcome.serialNumber, outcome.logTime, outcome.signatureCounter, outcome.signature};
}

Result<TseStart> Tse::TSE_StartTransaction() {
  LogBlock block;
  bool heldBack = false;
  Result<TseStart> started = Start(block, heldBack);
  WriteBlock(block);
  return started;
}

Result<TseSignature> Tse::TSE_FinishTransaction(int32_t transactionNumber, const std::string& processType,
                                                const std::string& processData) {
  LogBlock block;
  Result<TseSignature> finished = Finish(block, transactionNumber, processType, processData, false);
  WriteBlock(block);
  return finished;
}

Result<TseResult> Tse::TSE_StartAndFinish(const std::string& processType, const std::string& processData) {
  LogBlock block;
  bool heldBack = false;
  const TseStart start = Start(block, heldBack).value_or(TseStart{kNoTransaction, 0});
  // The finish is sent even after a failed start, so the server sees the
  // attempt; not after a start the breaker held back, or the finish of a
  // transaction that never began could become the probe. Should the server
  // sign that finish, the receipt keeps the signature under kNoTransaction.
  Result<TseSignature> finished = Finish(block, start.transactionNumber, processType, processData, heldBack);
  WriteBlock(block);
  if (!finished) return Unsigned(start.transactionNumber);
  TseResult result;
  result.transactionNumber = start.transactionNumber;
  result.startTime = start.startTime;
  result.finishTime = finished->finishTime;
  result.serialNumber = std::move(finished->serialNumber);
  result.signatureCounter = finished->signatureCounter;
  result.signature = std::move(finished->signature);
  result.processType = processType;
  result.processData = processData;
  return result;
}

bool Tse::CheckServer() {
  if (!CheckDue()) return false;
  // What came of it is the facade's business: the readiness flag and the logs.
  (void)TSE_StartAndFinish(kProcessTypeOther, kServerCheckData);
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
