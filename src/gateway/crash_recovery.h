// What a start finds of a run that ended in the middle of its work (killed,
// power cut, hang-up): order lines confirmed to the terminal but never sent to
// the kitchen, receipts committed but never archived or printed, receipts the
// TSE never signed, and this station's request rows with the TSE server.
//
// It runs once, after the modules are built. What must be settled before any
// terminal is served (the station's stale TSE rows, its kitchen claims, the list
// of receipts to look at) is quick database work done before the poll loop; the
// printouts, which may wait for a printer or a silent TSE server, are jobs of the
// loop beside the terminals. Every step reports its own failures and the other
// steps still run; a step that fails is tried again at the next start.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/log_sink.h"
#include "db/station_context.h"
#include "gateway/kitchen_printing.h"
#include "loop/event_loop.h"

namespace tolven::printing {
class CustomerReceipt;
}  // namespace tolven::printing

namespace tolven::gateway {

// Marks the printouts that follow as kitchen receipts (true) or customer
// receipts (false) for whoever watches the printers (the status page), until
// the returned value is dropped.
using ReceiptMarker = std::function<std::shared_ptr<void>(bool kitchen)>;

class CrashRecovery {
 public:
  // The gateway's own table: per station the highest receipt number already
  // looked at. The POS programs' tables are never altered for it.
  static constexpr const char* kMarkTable = "pdaanlauf";

  // `kitchen` prints the kitchen lines as orders do (its holds, its marks for
  // the printers' watcher); `markReceipt` (may be empty) marks the customer
  // receipts' copies for it.
  CrashRecovery(db::StationContext& tools, KitchenPrinting& kitchen, printing::CustomerReceipt& receipt, LogSink& log,
                ReceiptMarker markReceipt = {})
      : tools_(tools), kitchen_(kitchen), receipt_(receipt), log_(log), markReceipt_(std::move(markReceipt)) {}

  // Every step below, in this order: the database steps now, the printouts as
  // jobs of `loop` (in place without one), which this object must outlive.
  // Order lines that never reached the kitchen: those this station held when
  // it stopped are printed again, marked as a reprint, and every line nobody
  // holds is printed, each table under a fresh TSE transaction when it has
  // lines nobody signed (the one started before the interruption is lost).
  void Run(loop::EventLoop* loop = nullptr);

  // Request and answer rows of this station with the TSE server: no request
  // of this station is open before the first one of this run.
  void RemoveStaleTseRows();
  // This station's receipts above the mark: one without its archive file was
  // interrupted between its commit and its printout. It is archived and printed
  // as a copy; when it is also unsigned, that is reported, never signed now (the
  // TSE may have signed it already, only the answer was lost). Returns false
  // when the mark could not be kept.
  bool CheckReceipts() { return PrintReceipts(FindReceipts()); }

 private:
  struct Receipts {
    std::optional<int64_t> mark;                  // none: the mark could not be read
    std::vector<std::pair<int32_t, bool>> above;  // receipt number, unsigned
  };
  // The receipts above the mark, listed before this run stores any.
  Receipts FindReceipts();
  bool PrintReceipts(const Receipts& receipts);
  // The mark of this station; on the first start (no row) the newest receipt
  // of the station, so that the history before is left alone. None (logged)
  // when it cannot be read or kept.
  std::optional<int64_t> ReadMark();
  bool EnsureMarkTable();
  bool StoreMark(int64_t bunr);
  void ReportUnsigned(int32_t bunr);

  db::StationContext& tools_;
  KitchenPrinting& kitchen_;
  printing::CustomerReceipt& receipt_;
  LogSink& log_;
  ReceiptMarker markReceipt_;
};

}  // namespace tolven::gateway
