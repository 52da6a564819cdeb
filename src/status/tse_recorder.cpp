#include "status/tse_recorder.h"

#include "common/datetime.h"

namespace tolven::status {

namespace {
const char* kTitle = "TSE";
const char* kUnsigned = " Bestellungen und Belege bleiben unsigniert, bis der TSE-Server wieder antwortet.";
}  // namespace

TseMonitor::TseMonitor(fiscal::TseServerAdapter& inner, std::function<std::string()> lastTimeout, AlertLog& alerts,
                       platform::Env& env)
    : inner_(inner), lastTimeout_(std::move(lastTimeout)), alerts_(alerts), env_(env) {}

void TseMonitor::Note(const std::string& operation, int32_t trx, const std::string& processType, bool ok,
                      int32_t counter) {
  DateTime now = env_.Now();
  last_.operation = operation;
  last_.transactionNumber = trx;
  last_.processType = processType;
  last_.ok = ok;
  last_.signatureCounter = counter;
  last_.time = FormatDMY(now.date) + " " + FormatHMS(now);
  ++generation_;
}

int32_t TseMonitor::Start(const std::string& processType, const std::string& processData, int32_t& startTime) {
  const std::string before = lastTimeout();
  int32_t trx = inner_.Start(processType, processData, startTime);
  Note("Start", trx, processType, trx >= 0, 0);
  if (lastTimeout() != before) {
    ++timeouts_;
    alerts_.Add(platform::MsgKind::Critical, kTitle,
                std::string("Keine Antwort vom TSE-Server erhalten (Trx-Start).") + kUnsigned);
  }
  return trx;
}

bool TseMonitor::Finish(int32_t transactionNumber, const std::string& processType, const std::string& processData,
                        std::string& serialNumber, int32_t& finishTime, int32_t& signatureCounter,
                        std::string& signature) {
  const std::string before = lastTimeout();
  bool ok =
      inner_.Finish(transactionNumber, processType, processData, serialNumber, finishTime, signatureCounter, signature);
  Note("Abschluss", transactionNumber, processType, ok, signatureCounter);
  if (lastTimeout() != before) {
    ++timeouts_;
    alerts_.Add(platform::MsgKind::Critical, kTitle,
                std::string("Keine Antwort vom TSE-Server erhalten (Trx-Finish).") + kUnsigned);
  } else if (!ok && transactionNumber >= 0) {
    // An answer without a signature, or the request could not even be stored:
    // either way the receipt stays unsigned; the log names the cause.
    alerts_.Add(platform::MsgKind::Critical, kTitle,
                "TSE-Transaktion " + std::to_string(transactionNumber) + " ohne Signatur abgeschlossen (" +
                    processType + "); Ursache im Protokoll.");
  }
  return ok;
}

}  // namespace tolven::status
