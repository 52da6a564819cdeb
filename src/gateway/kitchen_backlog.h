// Kitchen lines that wait for their printer. A printer that fails raises an
// alert naming table, printer, waiter and lines; its lines are tried again
// every 15 s (at once after a printout on it succeeded), printed late with
// their order time, and the alert goes when they are out. Lines that have
// waited longer than the limit do not print by themselves: they stay listed
// on the status page until someone prints or drops them there.
//
// Everything here runs on the loop's thread, except Ask(), which the status
// page's threads call.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "loop/event_loop.h"
#include "printing/kitchen_receipts.h"

namespace tolven::gateway {

class KitchenPrinting;

// One table's lines waiting for one printer, as the status page shows them.
struct KitchenWait {
  int printer = 0;
  std::string printerName;
  int32_t table = 0;
  std::string waiter;
  std::string lines;
  int64_t lineCount = 0;
  int64_t waitedMs = 0;
  bool stale = false;  // past the limit: printed or dropped only from the page
};

class KitchenBacklog final : public printing::KitchenOutcomes {
 public:
  static constexpr int64_t kRetryMs = 15000;

  // `raise` puts an alert on the page and returns its id; `clear` takes it
  // back once the lines are out. `staleMinutes`: TOLVEN.INI [KUECHE] NACHDRUCK_MINUTEN.
  struct Alerts {
    std::function<int64_t(const std::string& text)> raise;
    std::function<void(int64_t id)> clear;
  };
  KitchenBacklog(platform::Env& env, LogSink& log, Alerts alerts, int staleMinutes);

  void Failed(const printing::KitchenFailure& failure) override;
  void Printed(int printer, int32_t table) override;
  // Lines found pending at the start that are already past the limit.
  void FoundStale(const printing::KitchenFailure& failure, int64_t waitedMs);
  int64_t staleMs() const { return staleMs_; }

  // Between the poller's slots: the retries that are due, and what the page
  // asked for, as jobs of the loop.
  void Tick(loop::EventLoop& loop, KitchenPrinting& kitchen);
  std::vector<KitchenWait> Waits() const;

  // From the status page: print a table's waiting lines of a printer now, or
  // drop them (marked printed, logged with who and when). False when nothing
  // of that printer and table waits.
  bool Ask(int printer, int32_t table, bool print, const std::string& by);

 private:
  struct Waiting {
    KitchenWait shown;
    int64_t sinceMs = 0;  // monotonic
    int64_t alertId = 0;
  };
  struct Printer {
    int64_t nextTryMs = 0;
    bool trying = false;  // a retry job is under way
    std::map<int32_t, Waiting> tables;
  };
  struct Asked {
    int printer;
    int32_t table;
    bool print;
    std::string by;
  };

  void Add(const printing::KitchenFailure& failure, int64_t sinceMs, bool stale);
  void Clear(int printer, int32_t table);

  platform::Env& env_;
  LogSink& log_;
  Alerts alerts_;
  const int64_t staleMs_;
  std::map<int, Printer> printers_;
  mutable std::mutex askMutex_;  // guards asked_ and known_
  std::vector<Asked> asked_;
  std::map<std::pair<int, int32_t>, bool> known_;  // what waits, for Ask() from other threads
};

}  // namespace tolven::gateway
