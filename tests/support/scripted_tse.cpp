#include "support/scripted_tse.h"

namespace tolven::testing {

int32_t ScriptedTseServer::Start(const std::string&, const std::string&, int32_t& startTime) {
  calls.push_back("S");
  if (onStart) onStart();
  startTime = answer ? now : 0;
  return answer ? nextTrx++ : -1;
}

bool ScriptedTseServer::Finish(int32_t trx, const std::string& processType, const std::string& processData,
                               std::string& serial, int32_t& finishTime, int32_t& counter, std::string& signature) {
  calls.push_back("F:" + std::to_string(trx) + ":" + processType + ":" + processData);
  finishes.push_back({trx, processType, processData});
  serial.clear();
  signature.clear();
  finishTime = 0;
  counter = 0;
  if (!answer) return false;
  serial = "SERIAL-1";
  finishTime = now + 1;
  counter = nextCounter++;
  signature = emptySignature ? "" : "SIG" + std::to_string(counter);
  return !signature.empty();
}

}  // namespace tolven::testing
