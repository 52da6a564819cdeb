// The TSE as the status page sees it: an adapter in front of the TSE server
// adapter that keeps the last transaction and raises an alert whenever the TSE
// server did not answer. A time-out shows no message box (the gateway must go
// on and store the receipt unsigned), yet every order or receipt left unsigned
// is something the staff has to know about.
#pragma once

#include <cstdint>
#include <string>

#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "platform/env.h"
#include "status/alerts.h"

namespace tolven::status {

struct TseActivity {
  std::string operation;  // "Start" or "Abschluss"
  int32_t transactionNumber = -1;
  std::string processType;
  bool ok = false;
  int32_t signatureCounter = 0;
  std::string time;  // "DD.MM.YYYY HH:MM:SS"
};

// The alert raised for every signature of the TSE server stand-in.
std::string SimulatorAlertText(const std::string& serial);

class TseMonitor final : public fiscal::TseServerAdapter {
 public:
  TseMonitor(fiscal::TseServerAdapter& inner, AlertLog& alerts, platform::Env& env);

  fiscal::TseOutcome Start(const std::string& processType, const std::string& processData) override;
  fiscal::TseOutcome Finish(int32_t transactionNumber, const std::string& processType,
                            const std::string& processData) override;

  const TseActivity& last() const { return last_; }
  // "DD.MM.YYYY HH:MM:SS Trx-Start" (or "Trx-Finish") of the last time-out; "" before the first.
  const std::string& lastTimeout() const { return lastTimeout_; }
  int64_t timeouts() const { return timeouts_; }
  // The serial number of the last signature that came back; "" before the first.
  const std::string& lastSerial() const { return lastSerial_; }
  // The last signature came from the TSE server stand-in (tse-sim).
  bool simulator() const { return fiscal::IsSimulatorSerial(lastSerial_); }
  uint64_t generation() const { return generation_; }

 private:
  void Note(const std::string& operation, int32_t trx, const std::string& processType, bool ok, int32_t counter);
  void TimedOut(const std::string& what);
  void NoteSerial(const std::string& serial);

  fiscal::TseServerAdapter& inner_;
  std::string lastTimeout_;
  std::string lastSerial_;
  AlertLog& alerts_;
  platform::Env& env_;
  TseActivity last_;
  int64_t timeouts_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace tolven::status
