// Books one "D" line of an order file as an open order line of its table: the
// article, its current unit price (offer, take-away, happy hour), the toppings
// with their surcharges and the kitchen printer of the article group.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/log_sink.h"
#include "db/station_context.h"

namespace tolven::gateway {

// The outcome of one order line.
struct LineBooking {
  bool booked = false;
  std::string message;          // "OK" or the message for the terminal's confirmation
  bool databaseFailed = false;  // a statement failed: the engine may have ended the transaction
  bool conflict = false;        // that failure was another station's lock: the whole file is tried again
  std::string logText;          // the log line of a booked line, for when its booking is committed
};

class OrderImport {
 public:
  OrderImport(db::StationContext& tools, LogSink& log) : tools_(tools), log_(log) {}

  // Checks the line completely, then inserts it; nothing is written on failure.
  // Logs nothing: the caller logs the line once its transaction is committed.
  LineBooking BookOrderLine(const std::string& line, int32_t table, int32_t waiter);
  // BookOrderLine with the log line at once: "OK" or the message.
  std::string ImportOrderLine(const std::string& line, int32_t table, int32_t waiter);
  // Unit price in cent at this moment; take-away is true exactly for table 0.
  int32_t GetArticlePrice(const std::string& articleNumber, bool takeAway);

  // Reads the lengths of the text columns of `bestellung` from the database's
  // catalog where the engine has one (outside any transaction: a failed
  // catalog query must not end one); the schema's lengths otherwise.
  void LoadColumnLengths();
  size_t ColumnLength(const std::string& column) const;

 private:
  // The reason when the price could not be read.
  Result<int32_t> ArticlePrice(const std::string& articleNumber, bool takeAway);

  db::StationContext& tools_;
  LogSink& log_;
  std::map<std::string, size_t> lengths_;
  bool lengthsLoaded_ = false;
};

}  // namespace tolven::gateway
