#include "gateway/terminal_poller.h"

#include "common/text.h"

namespace tolven::gateway {

TerminalPoller::TerminalPoller(db::StationContext& tools, TerminalExchange& exchange, OrderBooking& orders,
                               RequestHandler* requests, loop::EventLoop& loop, LogSink& log, PollCallbacks callbacks,
                               Observer& observer)
    : tools_(tools),
      exchange_(exchange),
      orders_(orders),
      requests_(requests),
      loop_(loop),
      log_(log),
      callbacks_(std::move(callbacks)),
      observer_(observer) {}

std::string TerminalPoller::Version() {
  return std::to_string(TOLVEN_VERSION_MAJOR) + "." + std::to_string(TOLVEN_VERSION_MINOR) + "." +
         std::to_string(TOLVEN_VERSION_PATCH);
}

void TerminalPoller::ProcessEvents() {
  if (callbacks_.betweenSteps) callbacks_.betweenSteps();
}

void TerminalPoller::Load() {
  tools_.ui().Status("Version " + Version());
  beenden_ = false;
  exchange_.Load();
}

void TerminalPoller::Run() {
  tools_.env().SleepMs(500);
  PollTerminals();
}

void TerminalPoller::PollTerminals() {
  log_.AddLogLine("Orderterminal-Gateway gestartet. Warte auf Anfragen...");
  log_.AddLogLine("Version " + Version());
  log_.AddLogLine("Filiale " + std::to_string(tools_.state().filiale) + " / Kasse " +
                  std::to_string(tools_.state().kasse));
  do {
    PollPass();
    observer_.PassDone(tools_.env().MonotonicMs());
    if (callbacks_.afterPass && callbacks_.afterPass()) beenden_ = true;
  } while (!beenden_);
  // No new file is taken; what is under way ends where it would end anyway:
  // booked and answered, signed or stored unsigned, printed.
  while (loop_.jobCount() > 0) {
    loop_.RunFor(kPassMs);
    ProcessEvents();
  }
}

bool TerminalPoller::SpawnSlotJob(int i, std::function<void()> work) {
  // Marked at once, so that no second job is started before this one runs.
  static const char kStarting = 0;
  if (taker_[i] != nullptr) return false;
  taker_[i] = &kStarting;
  loop_.Spawn([this, i, work = std::move(work)] {
    taker_[i] = platform::Fiber::Current();
    try {
      work();
    } catch (const std::exception& e) {
      // Failed before its file was answered: the file is still there.
      if (taker_[i] == platform::Fiber::Current()) {
        taker_[i] = nullptr;
        FileFailed(i, e.what());
        return;
      }
      log_.AddLogLine(std::string("FEHLER: Orderterminal ") + std::to_string(i) + ": " + e.what());
    }
    ReleaseSlot(i);
  });
  return true;
}

void TerminalPoller::ReleaseSlot(int i) {
  if (taker_[i] != platform::Fiber::Current()) return;
  taker_[i] = nullptr;
  failures_[i] = Failures{};
}

void TerminalPoller::FileFailed(int i, const std::string& why) {
  Failures& failures = failures_[i];
  const std::string failed = "FEHLER: Orderterminal " + std::to_string(i) + ": " + why;
  if (++failures.count < kFileTries) {
    const int64_t pauseMs = kFirstRetryMs << (failures.count - 1);
    failures.retryAtMs = tools_.env().MonotonicMs() + pauseMs;
    log_.AddLogLine(failed + ". Neuer Versuch in " + std::to_string(pauseMs / 1000) + " s.");
    return;
  }
  log_.AddLogLine(failed + ".");
  failures = Failures{};
  // The one the job was taking: an order before a request, as they are taken.
  ExchangeFile& orders = exchange_.OrderFile(i);
  (orders.LeftoverPresent() || orders.Present() ? orders : exchange_.RequestFile(i)).SetFailingAside(kFileTries, why);
}

void TerminalPoller::PollPass() {
  // While files come, and for a while after, the slots are looked at in every
  // pass; a quiet gateway looks at each slot every 50 ms per slot in use, as
  // a pass with a wait per slot once did, and spares the machine (and the
  // shares) the rest.
  const int64_t now = tools_.env().MonotonicMs();
  const bool quiet = loop_.jobCount() == 0 && now - lastFileMs_ >= kQuietAfterMs;
  int inUse = 0;
  for (int i = 1; i <= kSlots; ++i) inUse += exchange_.slots()[i].inUse ? 1 : 0;
  bool worked = false;
  if (!quiet || now - lastLookMs_ >= int64_t{kPassMs} * inUse) {
    lastLookMs_ = now;
    for (int i = 1; i <= kSlots; ++i) {
      const TerminalSlot& slot = exchange_.slots()[i];
      if (!slot.inUse || taker_[i] != nullptr || now < failures_[i].retryAtMs) continue;
      // A work file an interrupted pass left comes before a new order file.
      if (ExchangeFile& orders = exchange_.OrderFile(i); orders.LeftoverPresent() || orders.Present()) {
        worked |= SpawnSlotJob(i, [this, i] { orders_.ProcessOrderFile(i, [this, i] { ReleaseSlot(i); }); });
      } else if (ExchangeFile& requests = exchange_.RequestFile(i);
                 (requests.LeftoverPresent() || requests.Present()) && requests_) {
        worked |= SpawnSlotJob(i, [this, i] {
          const TerminalSlot& s = exchange_.slots()[i];
          requests_->HandleTerminalRequest(i, s.folder + "info.txt", s.folder + "info.kas");
        });
      }
    }
  }
  if (worked) lastFileMs_ = now;
  ProcessEvents();
  const bool busy = worked || loop_.jobCount() > 0;
  loop_.RunFor(kPassMs);
  // Order files, receipts and result sets leave holes in the heap; giving them
  // back once the work is done keeps the process the same size all day.
  if (busy && loop_.jobCount() == 0) {
    lastFileMs_ = tools_.env().MonotonicMs();
    tools_.env().ReturnFreeMemory();
  }
}

}  // namespace tolven::gateway
