// A gateway on a real temporary SQLite database with a fake clock: the TSE
// server is played by a scripted adapter, the other subsystems by recording hooks.
#pragma once

#include <string>
#include <vector>

#include "fiscal/tse.h"
#include "fiscal/tse_server_adapter.h"
#include "gateway/terminal_poller.h"
#include "support/test_db.h"

namespace tolven::testing {

// Answers every start with the next transaction number and every finish with a
// signature, unless told otherwise; records every call.
class ScriptedTseServer : public fiscal::TseServerAdapter {
 public:
  int32_t Start(const std::string& processType, const std::string& processData, int32_t& startTime) override;
  bool Finish(int32_t trx, const std::string& processType, const std::string& processData, std::string& serial,
              int32_t& finishTime, int32_t& counter, std::string& signature) override;

  bool answer = true;
  bool emptySignature = false;
  int32_t nextTrx = 100;
  int32_t nextCounter = 500;
  int32_t now = 1765000000;
  std::vector<std::string> calls;  // "S" or "F:<trx>:<type>:<data>"
};

class GatewayFixture {
 public:
  GatewayFixture();

  TestDb db;
  ScriptedTseServer tseServer;
  fiscal::Tse tse;
  std::vector<std::string> kitchenCalls;  // "trx/start/table/waiter"
  std::vector<std::string> settleCalls;   // "slot/table/waiter/payment/list"
  std::string settleRefusal;              // not empty: the settlement is refused with it
  std::vector<std::string> requestCalls;  // "slot"
  gateway::TerminalPoller form;

  // The exchange folder of a slot (created), with the separator at the end.
  std::string Slot(int i) const { return db.folder() + "/pda" + std::to_string(i) + "/"; }
  // Writes a terminal file with CR LF line ends.
  void Drop(int slot, const std::string& name, const std::vector<std::string>& lines);
  std::string Confirm(int slot);
  void AddArticle(const std::string& artnr, const std::string& name, int price, int group = 1,
                  const std::string& extra = "");
};

}  // namespace tolven::testing
