#include "support/scripted_tse.h"

namespace tolven::testing {

fiscal::TseOutcome ScriptedTseServer::Outcome() {
  fiscal::TseOutcome outcome;
  if (waits != nullptr) {
    outcome.sent = waits->Now();
    // As the real server: the first pause, then looks until the answer or the time-out.
    waits->SleepMs(200);
    for (int waited = 0; !answer && waited < 15000; waited += 10) waits->SleepMs(10);
  }
  outcome.kind = answer ? fiscal::TseOutcome::Kind::Answered : fiscal::TseOutcome::Kind::NoAnswer;
  return outcome;
}

fiscal::TseOutcome ScriptedTseServer::Start(const std::string&, const std::string&) {
  calls.push_back("S");
  fiscal::TseOutcome outcome = Outcome();
  if (!answer) return outcome;
  outcome.transactionNumber = nextTrx++;
  outcome.logTime = now;
  return outcome;
}

fiscal::TseOutcome ScriptedTseServer::Finish(int32_t trx, const std::string& processType,
                                             const std::string& processData) {
  calls.push_back("F:" + std::to_string(trx) + ":" + processType + ":" + processData);
  finishes.push_back({trx, processType, processData});
  fiscal::TseOutcome outcome = Outcome();
  if (!answer) return outcome;
  outcome.serialNumber = "SERIAL-1";
  outcome.logTime = now + 1;
  outcome.signatureCounter = nextCounter++;
  outcome.signature = "SIG" + std::to_string(outcome.signatureCounter);
  return outcome;
}

}  // namespace tolven::testing
