// The poll loop over the exchange folders of up to five order terminals: it
// takes their order files (booked here) and request files (handed on), each
// as a job of the event loop, and logs through the running log. A slot takes
// its next file once the previous one is answered; what follows an answer (the
// TSE, the kitchen) goes on meanwhile.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "common/numbered_array.h"
#include "common/observer.h"
#include "db/db_tools.h"
#include "gateway/exchange_handover.h"
#include "gateway/order_import.h"
#include "gateway/order_journal.h"
#include "gateway/running_log.h"
#include "loop/event_loop.h"
#include "loop/holds.h"

namespace tolven::fiscal {
class Tse;
}

namespace tolven::gateway {

inline constexpr int kSlots = 5;
// How often the exchange folders are looked at: in every pass while files come
// and for a while after the last job ended, then every 50 ms per slot in use.
inline constexpr int kPassMs = 50;
inline constexpr int64_t kQuietAfterMs = 2000;
// A file whose job fails (out of memory, a driver's exception) is taken again
// after a pause that doubles from kFirstRetryMs, and set aside at the
// kFileTries-th failure, so that it neither spins nor blocks its terminal.
inline constexpr int kFileTries = 5;
inline constexpr int64_t kFirstRetryMs = 1000;

struct TerminalSlot {
  bool inUse = false;
  std::string folder;   // PdaPfad, ends with the separator
  std::string printer;  // PdaPrt, "" = no printer
  // Last activity, for the status views.
  std::string lastOrder, lastRequest, lastAnswer, lastTime;
};

// What the poll loop hands on to the other subsystems.
struct GatewayHooks {
  // Kitchen receipts of the table after a booked order: the lines `token`
  // holds (empty: every pending line nobody holds).
  std::function<void(int32_t trx, int32_t startTime, int32_t table, const std::string& waiterText,
                     const std::string& token)>
      printKueBon;
  // Inside an order's booking transaction: the newest order line before its
  // first line (-1: none known), and after its lines, the claim of the lines
  // above it for the order's kitchen printout (its token, empty when none).
  std::function<int64_t()> newestLine;
  std::function<std::string(int32_t table, int64_t aboveId)> claimBooked;
  // Settlement of a table (terminal slot, table, waiter, payment type, partial
  // list); the reason as its message when the table was not settled.
  std::function<Status(int slot, int32_t table, int32_t waiter, const std::string& payment, const std::string& list)>
      settleTable;
  // A request file of a terminal (slot, request file, answer file).
  std::function<void(int slot, const std::string& requestFile, const std::string& answerFile)> handleRequest;
  // Called between the steps of a pass and after every log line, so that a
  // stop request or a status snapshot does not wait for a whole pass.
  std::function<void()> processEvents;
  // True once the gateway is asked to stop (SIGINT/SIGTERM).
  std::function<bool()> stopRequested;
};

class TerminalPoller final : public LogSink {
 public:
  // `tools` works on `loop` as its Env, so that the jobs' waits are pauses.
  // `observer` learns of every order booked and every pass.
  TerminalPoller(db::DbTools& tools, fiscal::Tse& tse, loop::EventLoop& loop, GatewayHooks hooks,
                 Observer& observer = NoObserver());

  // Version in the start-up status, exchange folders and receipt printers from `system`.
  void Load();
  // 500 ms after loading, the poll loop until a stop is requested; the jobs
  // under way then run to their end.
  void Run();
  void PollTerminals();
  // One pass: a job for every slot with a file and no job taking one, then
  // the loop for 50 ms.
  void PollPass();
  // A table's kitchen receipts and its settlement are one job's at a time.
  loop::Holds& holds() { return holds_; }
  static std::string TableKey(int32_t table) { return "Tisch " + std::to_string(table); }
  // The order file of a slot (its "bestell.txt" exists, or a work file an
  // interrupted pass left).
  void ProcessOrderFile(int slot);
  // The exchange files of a slot: the order file and the request file.
  ExchangeFile& OrderFile(int slot);
  // The installation's folder for exchange files set aside.
  std::string AsideFolder() const;
  ExchangeFile& RequestFile(int slot);

  void AddLogLine(const std::string& text) override;
  const std::string& logText() const { return log_.text(); }
  bool beenden() const { return beenden_; }
  void Close() { beenden_ = true; }
  using Slots = NumberedArray<TerminalSlot, kSlots>;
  const Slots& slots() const { return slots_; }
  TerminalSlot& slot(int i) { return slots_[i]; }
  static std::string Version();
  OrderImport& orderImport() { return orderImport_; }
  GatewayHooks& hooks() { return hooks_; }

  // Writes an answer file atomically, retrying briefly when the terminal holds the
  // old one open; false (with a "FEHLER" log line) when it could not be written.
  bool WriteAnswerFile(const std::string& path, const std::string& contents);

 private:
  struct Booking;
  void ProcessEvents();
  // Books the lines of a taken order file in one transaction and answers it.
  void BookOrderFile(int slot, const std::string& contents, const std::string& identity, bool unfinished);
  // One attempt at booking; `refused` holds lines an earlier attempt found
  // that the engine cannot store.
  Booking AttemptBooking(int slot, const std::vector<std::string>& lines, const std::string& identity, bool unfinished,
                         bool journal, const std::vector<std::pair<size_t, std::string>>& refused);
  // A work file left by an interrupted pass: answered when the journal shows
  // it booked, booked now when it does not.
  void RecoverOrderFile(int slot);
  void StartKitchenPrinting(int32_t table, int32_t waiter, const std::string& token);
  // Runs `work` as a job that takes the slot's files until it ends or calls
  // ReleaseSlot; false when the slot already has one.
  bool SpawnSlotJob(int slot, std::function<void()> work);
  void ReleaseSlot(int slot);
  // The slot's job failed on its file: a later try, or the file set aside.
  void FileFailed(int slot, const std::string& why);

  db::DbTools& tools_;
  fiscal::Tse& tse_;
  loop::EventLoop& loop_;
  GatewayHooks hooks_;
  Observer& observer_;
  loop::Holds holds_;
  RunningLog log_;  // before the parts that log through this poller
  OrderImport orderImport_;
  OrderJournal journal_;
  Slots slots_;
  NumberedArray<std::unique_ptr<ExchangeFile>, kSlots> orderFiles_, requestFiles_;
  // The job (its fiber) taking a slot's files; nullptr: none.
  NumberedArray<const void*, kSlots> taker_{};
  struct Failures {
    int count = 0;
    int64_t retryAtMs = INT64_MIN / 2;
  };
  NumberedArray<Failures, kSlots> failures_{};
  int64_t lastFileMs_ = INT64_MIN / 2;  // a file was taken or a job ended
  int64_t lastLookMs_ = INT64_MIN / 2;
  bool beenden_ = false;
};

}  // namespace tolven::gateway
