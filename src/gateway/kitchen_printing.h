// The one way a kitchen line reaches the kitchen, for an order, for a
// settlement that finds lines the kitchen has not had, and for a start after
// an interrupted run: claim the lines in the database, start the order's TSE
// transaction when there is something to sign, print (one printout of a table
// at a time on this station), mark, finish the transaction.
//
// An order's own lines are claimed in its booking transaction, so a line
// booked by another order still in flight is never printed or signed here: it
// belongs to that order, its slip, its waiter and its TSE transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "db/station_context.h"
#include "fiscal/tse.h"
#include "gateway/order_booking.h"
#include "loop/holds.h"
#include "printing/kitchen_receipts.h"

namespace tolven::gateway {

class KitchenBacklog;

class KitchenPrinting final : public OrderKitchen {
 public:
  // `markKitchen` (may be empty) tells the printers' watcher that the
  // printouts until the returned value goes are kitchen receipts. `backlog`
  // (may be null) learns of lines the start finds past the limit for
  // printing by themselves.
  KitchenPrinting(db::StationContext& tools, fiscal::Tse& tse, printing::KitchenReceipts& receipts, loop::Holds& holds,
                  LogSink& log, std::function<std::shared_ptr<void>()> markKitchen = {},
                  KitchenBacklog* backlog = nullptr);

  // Inside the booking transaction, before its first line: the newest line id.
  int64_t NewestLine() override;
  // Inside the booking transaction, after its lines: claims them for the
  // order. Empty when they could not be claimed (the transaction goes on).
  std::string ClaimBooked(int32_t table, int64_t aboveId) override;

  // After the order's answer: its lines, with older ones of the table nobody
  // holds, under the TSE transaction the order's job started (the job decides
  // whether its request probes a silent TSE server).
  void PrintOrder(const std::optional<fiscal::TseStart>& transaction, int32_t table, const std::string& waiterText,
                  const std::string& token) override;
  // Every pending line of the table: lines another printout holds are waited
  // for (up to kHeldWaitMs), the others are printed now. For a settlement,
  // which must not settle what the kitchen has not had.
  void PrintPending(int32_t table, const std::string& waiterText) override;
  // A table's lines this station held when an interrupted run stopped.
  struct Reprint {
    int32_t table = 0;
    std::string waiterText;
    std::string token;
  };
  // At start, before any order of this run claims a line: takes over this
  // station's claims of the interrupted run (all of them, so no later order's
  // may be among them).
  std::vector<Reprint> TakeOverClaims();
  // Then, beside the terminals: those lines printed again marked as a reprint,
  // then every line nobody holds. Their TSE starts go through the breaker as
  // an order's do.
  void Recover(const std::vector<Reprint>& reprints);

  // The table's pending lines nobody holds, printed late: marked with the time
  // they were ordered, signed by their own transaction when an order could not
  // sign them. False when there was nothing left to print.
  bool PrintLate(int32_t table, const std::string& waiterText);
  // Marks the printer's pending lines of the table that nobody holds as
  // printed without printing them, logged with `by` and the time. False when
  // that failed.
  bool DropWaiting(int32_t table, int printer, const std::string& by);

  static constexpr int kHeldWaitMs = 20000;
  static constexpr const char* kRestartNote = "*** NACHDRUCK nach Neustart ***";

 private:
  // Tells the backlog of a table's lines found at start past the limit.
  void ListStale(int32_t table, const std::string& waiterText, int64_t waitedMs, const std::string& pending);
  // Starts a transaction only for lines nobody signed yet, prints and signs.
  void Print(const printing::KitchenPrintout& printout, bool startTse);
  void PrintWith(const std::optional<fiscal::TseStart>& transaction, const printing::KitchenPrintout& printout);
  int64_t UnsignedLines(const std::string& token);

  db::StationContext& tools_;
  fiscal::Tse& tse_;
  printing::KitchenReceipts& receipts_;
  loop::Holds& holds_;
  LogSink& log_;
  std::function<std::shared_ptr<void>()> markKitchen_;
  KitchenBacklog* backlog_;
};

}  // namespace tolven::gateway
