// Books one "D" line of an order file as an open order line of its table: the
// article, its current unit price (offer, take-away, happy hour), the toppings
// with their surcharges and the kitchen printer of the article group.
#pragma once

#include <cstdint>
#include <string>

#include "common/log_sink.h"
#include "db/db_tools.h"

namespace tolven::gateway {

class OrderImport {
 public:
  OrderImport(db::DbTools& tools, LogSink& log) : tools_(tools), log_(log) {}

  // "OK", or the message for the terminal's confirmation; nothing is written on failure.
  std::string ImportOrderLine(const std::string& line, int32_t table, int32_t waiter);
  // Unit price in cent at this moment; take-away is true exactly for table 0.
  int32_t GetArticlePrice(const std::string& articleNumber, bool takeAway);

 private:
  db::DbTools& tools_;
  LogSink& log_;
};

}  // namespace tolven::gateway
