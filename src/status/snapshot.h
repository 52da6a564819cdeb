// The gateway's state as the status page shows it. The processing thread
// collects a snapshot at the poll loop's event points (every log line,
// between the terminal slots) and publishes it; the web
// server's threads only ever take the latest published snapshot. A snapshot
// is never changed once published, so no reader sees half an update and the
// processing stays single-threaded.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/startup_state.h"
#include "gateway/kitchen_backlog.h"
#include "gateway/running_log.h"
#include "gateway/terminal_exchange.h"
#include "gateway/terminal_poller.h"
#include "status/alerts.h"
#include "status/metrics.h"
#include "status/print_recorder.h"
#include "status/tse_recorder.h"

namespace tolven::fiscal {
class Tse;
}

namespace tolven::status {

struct SlotStatus {
  int number = 0;
  bool inUse = false;
  std::string folder, printer;
  std::string lastOrder, lastRequest, lastAnswer, lastTime;
  // Exchange files lying in the folder: requests not yet taken, answers not yet
  // collected by the terminal.
  std::vector<std::string> pendingFiles;
};

struct TseStatus {
  bool inUse = false;
  bool ready = false;
  TseActivity last;
  std::string lastTimeout;
  int64_t timeouts = 0;
  int64_t answerQueries = 0;
  std::string serial;      // of the last signature
  bool simulator = false;  // that signature came from the TSE server stand-in
};

struct StatusSnapshot {
  uint64_t sequence = 0;
  std::string version;
  int32_t filiale = 0;
  int32_t kasse = 0;
  std::string engine;
  std::string startedAt;    // "DD.MM.YYYY HH:MM:SS"
  std::string collectedAt;  // "DD.MM.YYYY HH:MM:SS"
  int64_t collectedMonotonicMs = 0;
  std::string log;  // the running log, CR LF lines
  std::array<SlotStatus, gateway::kSlots> slots;
  TseStatus tse;
  std::vector<ChannelOutcome> printers;
  std::string printStatus;  // the print engine's status text while a printout is under way
  StatusCounts total;       // since the start
  StatusCounts today;       // since midnight (or the start, when that was today)
  PassHistogram passes;
  DatabaseHealth database;
  std::vector<std::shared_ptr<const PrintoutRecord>> receipts, kitchenReceipts;  // newest first
  std::vector<gateway::KitchenWait> kitchenWaits;  // kitchen lines waiting for their printer
};

// The hand-over between the processing thread and the web server.
class StatusBoard {
 public:
  void Publish(std::shared_ptr<const StatusSnapshot> snapshot);
  // The latest snapshot; nullptr before the first one.
  std::shared_ptr<const StatusSnapshot> Latest() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const StatusSnapshot> latest_;
};

struct StatusSources {
  gateway::TerminalExchange& exchange;  // the slots' activity
  gateway::RunningLog& log;
  const fiscal::Tse& tse;
  const TseMonitor& tseMonitor;
  const PrintRecorder& printer;
  AlertLog& alerts;
  const StartupState& state;
  platform::Env& env;
  std::function<int64_t()> answerQueries;    // optional
  std::function<std::string()> printStatus;  // optional
  const StatusCounters* counters = nullptr;  // optional
  const DatabaseHealth* database = nullptr;  // optional
  // Printer names by channel (upper case, without a trailing colon).
  std::map<std::string, std::string> printerNames;
  std::function<std::vector<gateway::KitchenWait>()> kitchenWaits;  // optional
};

// A channel as the printer names are keyed.
std::string PrinterNameKey(const std::string& channel);

class StatusCollector {
 public:
  // A snapshot is collected when something it shows changed (at most every
  // kMinIntervalMs) and otherwise every kIdleIntervalMs for the exchange files.
  static constexpr int64_t kMinIntervalMs = 200;
  static constexpr int64_t kIdleIntervalMs = 1000;

  StatusCollector(StatusSources sources, StatusBoard& board);

  // The poll loop's event hook (between slots and after every log line):
  // collects when due and writes acknowledged alerts to the log.
  void OnProcessEvents();
  // Collects and publishes now.
  void Collect();

 private:
  std::shared_ptr<StatusSnapshot> Build();
  void CollectCounts(StatusSnapshot& s);
  // The slots' last activity in one text, to notice a change.
  std::string SlotActivity() const;

  StatusSources src_;
  StatusBoard& board_;
  std::string startedAt_;
  uint64_t sequence_ = 0;
  int64_t lastCollectMs_ = -1;
  std::string lastLog_;
  std::string lastSlots_;
  uint64_t lastPrintGeneration_ = 0, lastTseGeneration_ = 0;
  bool lastReady_ = false;
  Date countsDay_{};
  StatusCounts dayStart_;  // the totals when the day began
  bool inHook_ = false;
};

}  // namespace tolven::status
