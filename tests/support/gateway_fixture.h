// A gateway on a real temporary SQLite database with a fake clock and its event
// loop: the TSE server is played by a scripted adapter, the other subsystems by
// recording hooks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fiscal/tse.h"
#include "gateway/terminal_poller.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::testing {

class GatewayFixture {
 public:
  GatewayFixture();

  TestDb db;
  // The modules wait through the loop, as in the gateway.
  loop::EventLoop loop{db.env()};
  db::DbTools tools{db.conn(), db.state(), loop, db.ui()};
  ScriptedTseServer tseServer;
  fiscal::Tse tse;
  std::vector<std::string> kitchenCalls;   // "trx/start/table/waiter"
  std::vector<std::string> settleCalls;    // "slot/table/waiter/payment/list"
  std::string settleRefusal;               // not empty: the settlement is refused with it
  std::function<void()> duringSettlement;  // runs inside the settlement hook
  std::vector<std::string> requestCalls;   // "slot"
  gateway::TerminalPoller poller;

  // One pass over the slots, then the loop until every job has ended.
  void Pass() {
    poller.PollPass();
    loop.RunUntilIdle();
  }
  // The exchange folder of a slot (created), with the separator at the end.
  std::string Slot(int i) const { return db.folder() + "/pda" + std::to_string(i) + "/"; }
  // Writes a terminal file with CR LF line ends.
  void Drop(int slot, const std::string& name, const std::vector<std::string>& lines);
  std::string Confirm(int slot) const { return ReadAll(Slot(slot) + "confirm.kas"); }
  void AddArticle(const std::string& artnr, const std::string& name, int price, int group = 1,
                  const std::string& extra = "");
};

}  // namespace tolven::testing
