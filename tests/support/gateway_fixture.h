// A gateway on a real temporary SQLite database with a fake clock and its event
// loop: the TSE server is played by a scripted adapter, the kitchen, the
// settlement and the request handler by recording fakes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fiscal/tse.h"
#include "gateway/order_booking.h"
#include "gateway/running_log.h"
#include "gateway/terminal_exchange.h"
#include "gateway/terminal_poller.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::testing {

class GatewayFixture final : gateway::OrderKitchen, gateway::TableSettler, gateway::RequestHandler {
 public:
  GatewayFixture();

  TestDb db;
  // The modules wait through the loop, as in the gateway.
  loop::EventLoop loop{db.env()};
  db::StationContext tools{db.conn(), db.state(), loop, db.ui()};
  gateway::RunningLog log{loop, db.ui()};
  ScriptedTseServer tseServer;
  fiscal::Tse tse;
  std::vector<std::string> kitchenCalls;   // "trx/start/table/waiter", "-/table/waiter" without a transaction
  std::vector<std::string> settleCalls;    // "slot/table/waiter/payment/list"
  std::string settleRefusal;               // not empty: the settlement is refused with it
  std::function<void()> duringSettlement;  // runs inside the settlement
  std::vector<std::string> requestCalls;   // "slot"
  // Instead of recording the kitchen printout, when set (-1: no transaction).
  std::function<void(int32_t trx, int32_t table)> printOrder;
  // The kitchen's claim inside the booking, when set (nothing is claimed otherwise).
  std::function<std::string(int32_t table)> claimBooked;
  // After every pass of PollTerminals: true stops it.
  std::function<bool()> afterPass;
  gateway::TerminalExchange exchange{tools, log};
  gateway::OrderBooking orders;
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

 private:
  int64_t NewestLine() override { return claimBooked ? 0 : -1; }
  std::string ClaimBooked(int32_t table, int64_t) override { return claimBooked ? claimBooked(table) : ""; }
  void PrintOrder(const std::optional<fiscal::TseStart>& transaction, int32_t table, const std::string& waiter,
                  const std::string&) override;
  void PrintPending(int32_t, const std::string&) override {}
  Status SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment,
                     const std::string& list) override;
  void HandleTerminalRequest(int slot, const std::string& requestFile, const std::string&) override;
};

}  // namespace tolven::testing
