// Requests of an order terminal ("info.txt" -> "info.kas"): operator log-in,
// the open order lines of a table, and payment of a table (cash, card kinds,
// customer account), as a whole or for selected lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/result.h"
#include "db/station_context.h"
#include "gateway/order_booking.h"
#include "gateway/request_journal.h"
#include "gateway/terminal_exchange.h"
#include "gateway/terminal_poller.h"
#include "loop/holds.h"

namespace tolven::settlement {
class TableSettlement;
struct SettleRequest;
}  // namespace tolven::settlement
namespace tolven::printing {
class CustomerReceipt;
}

namespace tolven::gateway {

class TerminalRequests final : public RequestHandler, public TableSettler {
 public:
  // A table's settlement and its kitchen printouts take the table's hold in
  // `tableHolds`. `kitchen` (may be null) prints lines the kitchen has not
  // had before their table is paid. `markReceipt` (may be empty) tells the
  // printers' watcher that the printouts until the returned value goes are
  // customer receipts. `observer` learns of every request read.
  TerminalRequests(db::StationContext& tools, TerminalExchange& exchange, LogSink& log,
                   settlement::TableSettlement& settlement, printing::CustomerReceipt& receipt, loop::Holds& tableHolds,
                   OrderKitchen* kitchen = nullptr, std::function<std::shared_ptr<void>()> markReceipt = {},
                   Observer& observer = NoObserver())
      : tools_(tools),
        exchange_(exchange),
        log_(log),
        settlement_(settlement),
        receipt_(receipt),
        holds_(tableHolds),
        kitchen_(kitchen),
        markReceipt_(std::move(markReceipt)),
        observer_(observer),
        journal_(tools, log) {}

  void HandleTerminalRequest(int slot, const std::string& requestFile, const std::string& answerFile) override;
  // Settles the table (or the listed lines, ids joined by ":"). Ok when the
  // receipt was stored; an error whose message is a short German reason when
  // the table has no open line or the settlement was refused or failed
  // (nothing stored, the lines stay open).
  Status SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment,
                     const std::string& list) override;

  // The answer to a request for table data: one 76-character record per order line.
  std::string TableData(int32_t table);

 private:
  Status Settle(int slot, int32_t table, int32_t waiter, const std::string& payment, const std::string& list,
                const settlement::SettleRequest& request);
  // The kitchen must have every line before it is paid: pending ones are
  // printed now; an error with the reason when some are still pending or
  // they cannot be counted.
  Status KitchenHasLines(int32_t table, int32_t waiter, const std::string& filter);
  std::string CustomerPayment(int slot, int32_t table, int32_t waiter, const std::string& cardNumber,
                              settlement::SettleRequest request);
  // The work file an interrupted pass left, read; false when it is out of the
  // way instead: set aside unreadable, or dropped because the terminal has
  // sent the same request again (that one is answered).
  bool ReadLeftover(ExchangeFile& file, std::string& contents, platform::FileInfo& info);
  // Writes the answer, then (only then) removes the request's work file, so
  // that a run interrupted before leaves it to the next one. `identity`: the
  // journal row of a settled request, marked answered.
  void Answer(int slot, const std::string& answerFile, const std::string& text, const std::string& identity);
  // The customer of a card; 0 when unknown (a blank number is unknown), an
  // error (logged) when it cannot be read.
  Result<int32_t> CustomerOfCard(const std::string& cardNumber);
  std::string LogIn(const std::string& operatorField, const std::string& key);

  db::StationContext& tools_;
  TerminalExchange& exchange_;
  LogSink& log_;
  settlement::TableSettlement& settlement_;
  printing::CustomerReceipt& receipt_;
  loop::Holds& holds_;
  OrderKitchen* kitchen_;
  std::function<std::shared_ptr<void>()> markReceipt_;
  Observer& observer_;
  RequestJournal journal_;
};

}  // namespace tolven::gateway
