#include "gateway/terminal_poller.h"

#include "common/text.h"
#include "fiscal/tse.h"

namespace tolven::gateway {

using db::GetFieldValue;
using platform::kPathSepText;

TerminalPoller::TerminalPoller(db::DbTools& tools, fiscal::Tse& tse, loop::EventLoop& loop, GatewayHooks hooks,
                               Observer& observer)
    : tools_(tools),
      tse_(tse),
      loop_(loop),
      hooks_(std::move(hooks)),
      observer_(observer),
      holds_(tools_.env(), loop::Holds::Rank::Table),
      log_(tools.env(), tools.ui(), [this] { ProcessEvents(); }),
      orderImport_(tools, *this),
      journal_(tools, *this) {}

std::string TerminalPoller::Version() {
  return std::to_string(TOLVEN_VERSION_MAJOR) + "." + std::to_string(TOLVEN_VERSION_MINOR) + "." +
         std::to_string(TOLVEN_VERSION_PATCH);
}

void TerminalPoller::ProcessEvents() {
  if (hooks_.processEvents) hooks_.processEvents();
}

void TerminalPoller::AddLogLine(const std::string& text) { log_.AddLogLine(text); }

void TerminalPoller::Load() {
  tools_.ui().Status("Version " + Version());
  beenden_ = false;
  auto rs = tools_.Open("SELECT * FROM system");
  for (int i = 1; i <= kSlots; ++i) {
    TerminalSlot& slot = slots_[i];
    std::string folder = rs && !rs->Eof() ? GetFieldValue(*rs, "pfadppcsync" + std::to_string(i)).AsString() : "";
    std::string printer = rs && !rs->Eof() ? GetFieldValue(*rs, "pdaprt" + std::to_string(i)).AsString() : "";
    // An empty setting marks the slot unused; it is never polled (it would be the
    // file-system root once the separator is appended).
    slot.inUse = !folder.empty();
    slot.folder = platform::WithTrailingSep(folder);
    slot.printer = ToUpper(printer.substr(0, 4)) == "KEIN" ? "" : printer;
    tools_.ui().Status("Orderterminal " + std::to_string(i) + ": " + (slot.inUse ? slot.folder : "-"));
  }
}

void TerminalPoller::Run() {
  tools_.env().SleepMs(500);
  PollTerminals();
}

void TerminalPoller::PollTerminals() {
  AddLogLine("Orderterminal-Gateway gestartet. Warte auf Anfragen...");
  AddLogLine("Version " + Version());
  AddLogLine("Filiale " + std::to_string(tools_.state().filiale) + " / Kasse " + std::to_string(tools_.state().kasse));
  do {
    PollPass();
    observer_.PassDone(tools_.env().MonotonicMs());
    if (hooks_.stopRequested && hooks_.stopRequested()) beenden_ = true;
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
      AddLogLine(std::string("FEHLER: Orderterminal ") + std::to_string(i) + ": " + e.what());
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
    AddLogLine(failed + ". Neuer Versuch in " + std::to_string(pauseMs / 1000) + " s.");
    return;
  }
  AddLogLine(failed + ".");
  failures = Failures{};
  // The one the job was taking: an order before a request, as they are taken.
  ExchangeFile& orders = OrderFile(i);
  (orders.LeftoverPresent() || orders.Present() ? orders : RequestFile(i)).SetFailingAside(kFileTries, why);
}

void TerminalPoller::PollPass() {
  // While files come, and for a while after, the slots are looked at in every
  // pass; a quiet gateway looks at each slot every 50 ms per slot in use, as
  // a pass with a wait per slot once did, and spares the machine (and the
  // shares) the rest.
  const int64_t now = tools_.env().MonotonicMs();
  const bool quiet = loop_.jobCount() == 0 && now - lastFileMs_ >= kQuietAfterMs;
  int inUse = 0;
  for (int i = 1; i <= kSlots; ++i) inUse += slots_[i].inUse ? 1 : 0;
  bool worked = false;
  if (!quiet || now - lastLookMs_ >= int64_t{kPassMs} * inUse) {
    lastLookMs_ = now;
    for (int i = 1; i <= kSlots; ++i) {
      const TerminalSlot& slot = slots_[i];
      if (!slot.inUse || taker_[i] != nullptr || now < failures_[i].retryAtMs) continue;
      // A work file an interrupted pass left comes before a new order file.
      if (ExchangeFile& orders = OrderFile(i); orders.LeftoverPresent() || orders.Present()) {
        worked |= SpawnSlotJob(i, [this, i] { ProcessOrderFile(i); });
      } else if (ExchangeFile& requests = RequestFile(i);
                 (requests.LeftoverPresent() || requests.Present()) && hooks_.handleRequest) {
        worked |= SpawnSlotJob(i, [this, i] {
          const TerminalSlot& s = slots_[i];
          hooks_.handleRequest(i, s.folder + "info.txt", s.folder + "info.kas");
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

std::string TerminalPoller::AsideFolder() const {
  // Files set aside leave the exchange folders for the installation's own.
  return tools_.state().exePfad.empty() ? "" : tools_.state().exePfad + "BEISEITE" + platform::kPathSepText;
}

ExchangeFile& TerminalPoller::OrderFile(int i) {
  const TerminalSlot& slot = slots_[i];
  auto& file = orderFiles_[i];
  // Work names keep the slot number: two slots sharing a folder stay apart.
  if (!file || file->inputPath() != slot.folder + "bestell.txt") {
    file = std::make_unique<ExchangeFile>(
        tools_.env(), *this, slot.folder,
        ExchangeFileRules{"bestell.txt", "ppcorders" + std::to_string(i) + ".in", 250, 300, Completion::ClosingRecord,
                          "Bestelldatei von Orderterminal " + std::to_string(i), AsideFolder()});
  }
  return *file;
}

ExchangeFile& TerminalPoller::RequestFile(int i) {
  const TerminalSlot& slot = slots_[i];
  auto& file = requestFiles_[i];
  if (!file || file->inputPath() != slot.folder + "info.txt") {
    file = std::make_unique<ExchangeFile>(
        tools_.env(), *this, slot.folder,
        ExchangeFileRules{"info.txt", "ppcinfo" + std::to_string(i), 150, 300, Completion::LineEnd,
                          "Anfragedatei von Orderterminal " + std::to_string(i), AsideFolder()});
  }
  return *file;
}

bool TerminalPoller::WriteAnswerFile(const std::string& path, const std::string& contents) {
  Status st;
  // A terminal reading the old answer over a network share may hold it open for a moment.
  for (int attempt = 0; attempt < 5; ++attempt) {
    st = tools_.env().WriteFileAtomic(path, contents);
    if (st) return true;
    tools_.env().SleepMs(100);
  }
  AddLogLine("FEHLER: Antwortdatei " + path + " kann nicht geschrieben werden: " + st.message());
  return false;
}

}  // namespace tolven::gateway
