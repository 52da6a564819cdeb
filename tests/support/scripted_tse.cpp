#include "support/scripted_tse.h"

namespace tolven::testing {

namespace {
fiscal::TseOutcome Outcome(bool answer) {
  fiscal::TseOutcome outcome;
  outcome.kind = answer ? fiscal::TseOutcome::Kind::Answered : fiscal::TseOutcome::Kind::NoAnswer;
  return outcome;
}
}  // namespace

fiscal::TseOutcome ScriptedTseServer::Start(const std::string&, const std::string&) {
  calls.push_back("S");
  fiscal::TseOutcome outcome = Outcome(answer);
  if (!answer) return outcome;
  outcome.transactionNumber = nextTrx++;
  outcome.logTime = now;
  return outcome;
}

fiscal::TseOutcome ScriptedTseServer::Finish(int32_t trx, const std::string& processType,
                                             const std::string& processData) {
  calls.push_back("F:" + std::to_string(trx) + ":" + processType + ":" + processData);
  finishes.push_back({trx, processType, processData});
  fiscal::TseOutcome outcome = Outcome(answer);
  if (!answer) return outcome;
  outcome.serialNumber = "SERIAL-1";
  outcome.logTime = now + 1;
  outcome.signatureCounter = nextCounter++;
  outcome.signature = "SIG" + std::to_string(outcome.signatureCounter);
  return outcome;
}

}  // namespace tolven::testing
