// Requests of an order terminal ("info.txt" -> "info.kas"): operator log-in,
// the open order lines of a table, and payment of a table (cash, card kinds,
// customer account), as a whole or for selected lines.
#pragma once

#include <cstdint>
#include <string>

#include "db/db_tools.h"
#include "gateway/Form1.h"

namespace tolven::settlement {
class modTischAbrechnen;
}
namespace tolven::printing {
class CustomerReceipt;
}

namespace tolven::gateway {

class TerminalRequests {
 public:
  TerminalRequests(db::DbTools& tools, Form1& form, settlement::modTischAbrechnen& settlement,
                   printing::CustomerReceipt& receipt)
      : tools_(tools), form_(form), settlement_(settlement), receipt_(receipt) {}

  void HandleTerminalRequest(int slot, const std::string& requestFile, const std::string& answerFile);
  // Finds the customer of the card and sets it on the table's order lines; 0 when unknown.
  int32_t SetCustomerForTable(int32_t table, const std::string& cardNumber);
  // Settles the table (or the listed lines, ids joined by ":"); true when the
  // receipt was stored (or there was nothing to settle).
  bool SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment, const std::string& list);

  // The answer to a request for table data: one 76-character record per order line.
  std::string TableData(int32_t table);

 private:
  std::string CustomerPayment(int slot, int32_t table, int32_t waiter, const std::string& cardNumber);
  std::string LogIn(const std::string& operatorField, const std::string& key);

  db::DbTools& tools_;
  Form1& form_;
  settlement::modTischAbrechnen& settlement_;
  printing::CustomerReceipt& receipt_;
};

}  // namespace tolven::gateway
