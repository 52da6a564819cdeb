#include "status/tse_recorder.h"

#include "common/datetime.h"

namespace tolven::status {

namespace {
const char* kTitle = "TSE";
const char* kUnsigned =
    " Bestellungen und Belege bleiben unsigniert, bis der TSE-Server wieder antwortet. Zu prüfen: läuft der "
    "TSE-Server (Dienst oder Programm auf dem Kassenrechner), erreicht er die Datenbank, ist die TSE "
    "angeschlossen?";
}  // namespace

std::string SimulatorAlertText(const std::string& serial) {
  return "Signaturen kommen vom TSE-Simulator (Seriennummer " + serial +
         "), nicht von einer TSE: diese Belege und Bestellungen sind steuerlich nicht gültig. tse-sim beenden und den "
         "TSE-Server der Installation starten.";
}

TseMonitor::TseMonitor(fiscal::TseServerAdapter& inner, AlertLog& alerts, platform::Env& env)
    : inner_(inner), alerts_(alerts), env_(env) {}

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

void TseMonitor::TimedOut(const std::string& what) {
  DateTime now = env_.Now();
  lastTimeout_ = FormatDMY(now.date) + " " + FormatHMS(now) + " " + what;
  ++timeouts_;
  alerts_.Add(platform::MsgKind::Critical, kTitle, "Keine Antwort vom TSE-Server erhalten (" + what + ")." + kUnsigned);
}

void TseMonitor::NoteSerial(const std::string& serial) {
  if (serial != lastSerial_) ++generation_;
  lastSerial_ = serial;
  // A technician who starts the stand-in because the real TSE server is down
  // gets receipts that look signed and are worthless: that must not go unseen.
  if (fiscal::IsSimulatorSerial(serial)) alerts_.Add(platform::MsgKind::Critical, kTitle, SimulatorAlertText(serial));
}

fiscal::TseOutcome TseMonitor::Start(const std::string& processType, const std::string& processData) {
  fiscal::TseOutcome outcome = inner_.Start(processType, processData);
  const int32_t trx = outcome.answered() ? outcome.transactionNumber : -1;
  Note("Start", trx, processType, trx >= 0, 0);
  if (outcome.kind == fiscal::TseOutcome::Kind::NoAnswer) TimedOut("Trx-Start");
  return outcome;
}

fiscal::TseOutcome TseMonitor::Finish(int32_t transactionNumber, const std::string& processType,
                                      const std::string& processData) {
  fiscal::TseOutcome outcome = inner_.Finish(transactionNumber, processType, processData);
  const bool ok = outcome.answered() && !outcome.signature.empty();
  Note("Abschluss", transactionNumber, processType, ok, outcome.answered() ? outcome.signatureCounter : 0);
  if (ok) NoteSerial(outcome.serialNumber);
  if (outcome.kind == fiscal::TseOutcome::Kind::NoAnswer) {
    TimedOut("Trx-Finish");
  } else if (!ok && transactionNumber >= 0) {
    // An answer without a signature, or the request could not even be stored:
    // either way the receipt stays unsigned; the log names the cause.
    alerts_.Add(platform::MsgKind::Critical, kTitle,
                "TSE-Transaktion " + std::to_string(transactionNumber) + " ohne Signatur abgeschlossen (" +
                    processType +
                    "); Ursache im Protokoll. Zu prüfen: Meldungen des TSE-Servers und der TSE "
                    "(Speicher voll, Zertifikat abgelaufen, TSE nicht initialisiert).");
  }
  return outcome;
}

}  // namespace tolven::status
