// The TSE as the status page sees it: an adapter in front of the TSE server
// adapter that keeps the last transaction and raises an alert whenever the TSE
// server did not answer. A time-out shows no message box (the gateway must go
// on and store the receipt unsigned), yet every order or receipt left unsigned
// is something the staff has to know about.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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

class TseMonitor final : public fiscal::TseServerAdapter {
 public:
  // `lastTimeout` reads the inner adapter's record of its last time-out; a
  // change across a call means that call timed out.
  TseMonitor(fiscal::TseServerAdapter& inner, std::function<std::string()> lastTimeout, AlertLog& alerts,
             platform::Env& env);

  int32_t Start(const std::string& processType, const std::string& processData, int32_t& startTime) override;
  bool Finish(int32_t transactionNumber, const std::string& processType, const std::string& processData,
              std::string& serialNumber, int32_t& finishTime, int32_t& signatureCounter,
              std::string& signature) override;

  const TseActivity& last() const { return last_; }
  std::string lastTimeout() const { return lastTimeout_ ? lastTimeout_() : ""; }
  int64_t timeouts() const { return timeouts_; }
  uint64_t generation() const { return generation_; }

 private:
  void Note(const std::string& operation, int32_t trx, const std::string& processType, bool ok, int32_t counter);

  fiscal::TseServerAdapter& inner_;
  std::function<std::string()> lastTimeout_;
  AlertLog& alerts_;
  platform::Env& env_;
  TseActivity last_;
  int64_t timeouts_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace tolven::status
