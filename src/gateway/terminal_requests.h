// Requests of an order terminal ("info.txt" -> "info.kas"): operator log-in,
// the open order lines of a table, and payment of a table (cash, card kinds,
// customer account), as a whole or for selected lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/result.h"
#include "db/db_tools.h"
#include "gateway/request_journal.h"
#include "gateway/terminal_poller.h"

namespace tolven::settlement {
class TableSettlement;
struct SettleRequest;
}  // namespace tolven::settlement
namespace tolven::printing {
class CustomerReceipt;
}

namespace tolven::gateway {

class TerminalRequests {
 public:
  // `observer` learns of every request read.
  TerminalRequests(db::DbTools& tools, TerminalPoller& poller, settlement::TableSettlement& settlement,
                   printing::CustomerReceipt& receipt, Observer& observer = NoObserver())
      : tools_(tools),
        poller_(poller),
        settlement_(settlement),
        receipt_(receipt),
        observer_(observer),
        journal_(tools, poller) {}

  void HandleTerminalRequest(int slot, const std::string& requestFile, const std::string& answerFile);
  // Settles the table (or the listed lines, ids joined by ":"). Ok when the
  // receipt was stored; an error whose message is a short German reason when
  // the table has no open line or the settlement was refused or failed
  // (nothing stored, the lines stay open).
  Status SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment, const std::string& list);

  // The answer to a request for table data: one 76-character record per order line.
  std::string TableData(int32_t table);

  // Prints the kitchen receipts of the table's pending lines (table, waiter
  // as the kitchen receipt names him), with the order's TSE transaction.
  using KitchenPrint = std::function<void(int32_t table, const std::string& waiterText)>;
  void SetKitchenPrint(KitchenPrint print) { kitchenPrint_ = std::move(print); }

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

  db::DbTools& tools_;
  TerminalPoller& poller_;
  settlement::TableSettlement& settlement_;
  printing::CustomerReceipt& receipt_;
  Observer& observer_;
  RequestJournal journal_;
  KitchenPrint kitchenPrint_;
};

}  // namespace tolven::gateway
