// The poll loop over the exchange folders of up to five order terminals: it
// takes their order files (booked by OrderBooking) and request files (handed
// to the request handler), each as a job of the event loop. A slot takes its
// next file once the previous one is answered; what follows an answer (the
// TSE, the kitchen) goes on meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/log_sink.h"
#include "common/numbered_array.h"
#include "common/observer.h"
#include "db/station_context.h"
#include "gateway/order_booking.h"
#include "gateway/terminal_exchange.h"
#include "loop/event_loop.h"

namespace tolven::gateway {

// How often the exchange folders are looked at: in every pass while files come
// and for a while after the last job ended, then every 50 ms per slot in use.
inline constexpr int kPassMs = 50;
inline constexpr int64_t kQuietAfterMs = 2000;
// A file whose job fails (out of memory, a driver's exception) is taken again
// after a pause that doubles from kFirstRetryMs, and set aside at the
// kFileTries-th failure, so that it neither spins nor blocks its terminal.
inline constexpr int kFileTries = 5;
inline constexpr int64_t kFirstRetryMs = 1000;

// Answers a terminal's request file (TerminalRequests).
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual void HandleTerminalRequest(int slot, const std::string& requestFile, const std::string& answerFile) = 0;
};

// What the poll loop asks of the program around its passes.
struct PollCallbacks {
  // Between the steps of a pass (the running log calls it after every line
  // too), so that a stop request or a status snapshot does not wait for a
  // whole pass.
  std::function<void()> betweenSteps;
  // After every pass: true once the gateway is asked to stop (SIGINT/SIGTERM).
  std::function<bool()> afterPass;
};

class TerminalPoller final {
 public:
  // `tools` works on `loop` as its Env, so that the jobs' waits are pauses.
  // `requests` may be null (request files then wait). `observer` learns of
  // every pass.
  TerminalPoller(db::StationContext& tools, TerminalExchange& exchange, OrderBooking& orders, RequestHandler* requests,
                 loop::EventLoop& loop, LogSink& log, PollCallbacks callbacks = {}, Observer& observer = NoObserver());

  // Version in the start-up status, exchange folders and receipt printers from `system`.
  void Load();
  // 500 ms after loading, the poll loop until a stop is requested; the jobs
  // under way then run to their end.
  void Run();
  void PollTerminals();
  // One pass: a job for every slot with a file and no job taking one, then
  // the loop for 50 ms.
  void PollPass();
  bool beenden() const { return beenden_; }
  void Close() { beenden_ = true; }
  static std::string Version();

 private:
  void ProcessEvents();
  // Runs `work` as a job that takes the slot's files until it ends or calls
  // ReleaseSlot; false when the slot already has one.
  bool SpawnSlotJob(int slot, std::function<void()> work);
  void ReleaseSlot(int slot);
  // The slot's job failed on its file: a later try, or the file set aside.
  void FileFailed(int slot, const std::string& why);

  db::StationContext& tools_;
  TerminalExchange& exchange_;
  OrderBooking& orders_;
  RequestHandler* requests_;
  loop::EventLoop& loop_;
  LogSink& log_;
  PollCallbacks callbacks_;
  Observer& observer_;
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
