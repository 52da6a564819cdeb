// The order file of a terminal: taken over, booked in one transaction with its
// journal row, answered in "confirm.kas", then handed on to the kitchen and,
// when it asks for it ("E;;A"), to the cash settlement.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/log_sink.h"
#include "common/observer.h"
#include "common/status.h"
#include "db/station_context.h"
#include "fiscal/tse.h"
#include "gateway/order_import.h"
#include "gateway/order_journal.h"
#include "gateway/terminal_exchange.h"

namespace tolven::gateway {

// The kitchen as orders and settlements need it (KitchenPrinting).
class OrderKitchen {
 public:
  virtual ~OrderKitchen() = default;
  // Inside the booking transaction, before its first line: the newest line
  // id (-1: none known).
  virtual int64_t NewestLine() = 0;
  // Inside the booking transaction, after its lines: claims them for the
  // order; the claim's token, empty when they could not be claimed.
  virtual std::string ClaimBooked(int32_t table, int64_t aboveId) = 0;
  // After the order's answer: the kitchen receipts of the lines `token` holds
  // (empty: every pending line nobody holds), with the order's TSE
  // transaction (none when its start failed).
  virtual void PrintOrder(const std::optional<fiscal::TseStart>& transaction, int32_t table,
                          const std::string& waiterText, const std::string& token) = 0;
  // Every pending line of the table, before it is paid.
  virtual void PrintPending(int32_t table, const std::string& waiterText) = 0;
};

// Settles a table (TerminalRequests): terminal slot, table, waiter, payment
// type, partial list (ids joined by ":"); the reason as the failure's message.
class TableSettler {
 public:
  virtual ~TableSettler() = default;
  virtual Status SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment,
                             const std::string& list) = 0;
};

class OrderBooking {
 public:
  // `kitchen` and `settler` may be null: an installation part not set up is
  // logged where it would be used.
  OrderBooking(db::StationContext& tools, fiscal::Tse& tse, TerminalExchange& exchange, LogSink& log,
               OrderKitchen* kitchen, TableSettler* settler, Observer& observer = NoObserver());

  // The order file of a slot (its "bestell.txt", or a work file an
  // interrupted pass left). `release` frees the slot for the terminal's next
  // file once this one is answered, while the order goes on to the TSE and
  // the kitchen.
  void ProcessOrderFile(int slot, const std::function<void()>& release = {});
  OrderImport& orderImport() { return orderImport_; }

 private:
  struct Booking;
  // Books the lines of a taken order file in one transaction and answers it.
  void BookOrderFile(int slot, const std::string& contents, const std::string& identity, bool unfinished,
                     const std::function<void()>& release);
  // One attempt at booking; `refused` holds lines an earlier attempt found
  // that the engine cannot store.
  Booking AttemptBooking(int slot, const std::vector<std::string>& lines, const std::string& identity, bool unfinished,
                         bool journal, const std::vector<std::pair<size_t, std::string>>& refused);
  // A work file left by an interrupted pass: answered when the journal shows
  // it booked, booked now when it does not.
  void RecoverOrderFile(int slot, const std::function<void()>& release);
  void StartKitchenPrinting(int32_t table, int32_t waiter, const std::string& token);

  db::StationContext& tools_;
  fiscal::Tse& tse_;
  TerminalExchange& exchange_;
  LogSink& log_;
  OrderKitchen* kitchen_;
  TableSettler* settler_;
  Observer& observer_;
  OrderImport orderImport_;
  OrderJournal journal_;
};

}  // namespace tolven::gateway
