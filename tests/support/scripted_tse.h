// A TSE server played by a script: answers at once, or never, or without a signature.
#pragma once

#include <string>
#include <vector>

#include "fiscal/tse_server_adapter.h"
#include "platform/env.h"

namespace tolven::testing {

// Answers every start with the next transaction number and every finish with a
// signature, unless told otherwise; records every call.
class ScriptedTseServer : public fiscal::TseServerAdapter {
 public:
  fiscal::TseOutcome Start(const std::string& processType, const std::string& processData) override;
  fiscal::TseOutcome Finish(int32_t trx, const std::string& processType, const std::string& processData) override;

  // With `waits`, a request takes the time the real one takes: 200 ms, or
  // 15 s of silence unless `answer` turns true meanwhile.
  platform::Env* waits = nullptr;
  bool answer = true;
  int32_t nextTrx = 100;
  int32_t nextCounter = 500;
  int32_t now = 1765000000;
  std::vector<std::string> calls;  // "S" or "F:<trx>:<type>:<data>"
  struct Finished {
    int32_t trx;
    std::string type, data;
  };
  std::vector<Finished> finishes;

 private:
  fiscal::TseOutcome Outcome();
};

}  // namespace tolven::testing
