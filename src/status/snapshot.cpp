#include "status/snapshot.h"

#include <cctype>

#include "common/datetime.h"
#include "fiscal/tse.h"

namespace tolven::status {

void StatusBoard::Publish(std::shared_ptr<const StatusSnapshot> snapshot) {
  std::lock_guard<std::mutex> lock(mutex_);
  latest_ = std::move(snapshot);
}

std::shared_ptr<const StatusSnapshot> StatusBoard::Latest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latest_;
}

namespace {
std::string Stamp(platform::Env& env) {
  DateTime now = env.Now();
  return FormatDMY(now.date) + " " + FormatHMS(now);
}
}  // namespace

StatusCollector::StatusCollector(StatusSources sources, StatusBoard& board)
    : src_(std::move(sources)), board_(board), startedAt_(Stamp(src_.env)) {}

void StatusCollector::OnProcessEvents() {
  // Writing to the log calls this hook again; the inner call has nothing to add.
  if (inHook_) return;
  inHook_ = true;
  for (const Alert& a : src_.alerts.TakeAcknowledged()) {
    src_.log.AddLogLine("Meldung quittiert (" + a.acknowledgedBy + "): " + a.title + ": " +
                        a.text.substr(0, a.text.find('\r')));
  }
  const int64_t now = src_.env.MonotonicMs();
  const int64_t since = lastCollectMs_ < 0 ? kIdleIntervalMs : now - lastCollectMs_;
  const bool changed = src_.log.text() != lastLog_ || SlotActivity() != lastSlots_ ||
                       src_.printer.generation() != lastPrintGeneration_ ||
                       src_.tseMonitor.generation() != lastTseGeneration_ || src_.tse.TseReady() != lastReady_;
  if (since >= kIdleIntervalMs || (changed && since >= kMinIntervalMs)) Collect();
  inHook_ = false;
}

void StatusCollector::Collect() {
  std::shared_ptr<StatusSnapshot> s = Build();
  lastCollectMs_ = s->collectedMonotonicMs;
  lastLog_ = s->log;
  lastSlots_ = SlotActivity();
  lastPrintGeneration_ = src_.printer.generation();
  lastTseGeneration_ = src_.tseMonitor.generation();
  lastReady_ = s->tse.ready;
  board_.Publish(std::move(s));
}

std::string StatusCollector::SlotActivity() const {
  std::string out;
  for (int i = 1; i <= gateway::kSlots; ++i) {
    const gateway::TerminalSlot& slot = src_.exchange.slots()[i];
    out += slot.lastOrder + '\n' + slot.lastRequest + '\n' + slot.lastAnswer + '\n' + slot.lastTime + '\n';
  }
  return out;
}

std::string PrinterNameKey(const std::string& channel) {
  std::string key = channel;
  while (!key.empty() && (key.back() == ':' || key.back() == ' ')) key.pop_back();
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

namespace {
StatusCounts Since(const StatusCounts& now, const StatusCounts& then) {
  StatusCounts d = now;
  d.ordersBooked -= then.ordersBooked;
  d.linesRefused -= then.linesRefused;
  d.settlements -= then.settlements;
  d.receiptsUnsigned -= then.receiptsUnsigned;
  d.tseTimeouts -= then.tseTimeouts;
  d.printFailures -= then.printFailures;
  for (auto& [kind, n] : d.requests) {
    if (auto it = then.requests.find(kind); it != then.requests.end()) n -= it->second;
  }
  return d;
}
}  // namespace

void StatusCollector::CollectCounts(StatusSnapshot& s) {
  const StatusCounts c = src_.counters ? src_.counters->counts() : StatusCounts{};
  const Date today = src_.env.Now().date;
  // The first snapshot of a new day starts its counts (at the start: from zero).
  if (today != countsDay_) {
    if (countsDay_ != Date{}) dayStart_ = c;
    countsDay_ = today;
  }
  s.total = c;
  s.today = Since(c, dayStart_);
  if (src_.counters) s.passes = src_.counters->passes();
  if (src_.database) s.database = *src_.database;
}

std::shared_ptr<StatusSnapshot> StatusCollector::Build() {
  auto s = std::make_shared<StatusSnapshot>();
  platform::Env& env = src_.env;
  s->sequence = ++sequence_;
  s->version = gateway::TerminalPoller::Version();
  s->filiale = src_.state.filiale;
  s->kasse = src_.state.kasse;
  s->engine = src_.state.engine;
  s->startedAt = startedAt_;
  s->collectedAt = Stamp(env);
  s->collectedMonotonicMs = env.MonotonicMs();
  s->log = src_.log.text();

  for (int i = 1; i <= gateway::kSlots; ++i) {
    const gateway::TerminalSlot& slot = src_.exchange.slots()[i];
    SlotStatus& out = s->slots[static_cast<size_t>(i - 1)];
    out.number = i;
    out.inUse = slot.inUse;
    out.folder = slot.inUse ? slot.folder : "";
    out.printer = slot.printer;
    out.lastOrder = slot.lastOrder;
    out.lastRequest = slot.lastRequest;
    out.lastAnswer = slot.lastAnswer;
    out.lastTime = slot.lastTime;
    if (!slot.inUse) continue;
    for (const char* name : {"bestell.txt", "info.txt", "confirm.kas", "info.kas"}) {
      if (env.FileExists(slot.folder + name)) out.pendingFiles.push_back(name);
    }
  }

  s->tse.inUse = src_.tse.TseInUse();
  s->tse.ready = src_.tse.TseReady();
  s->tse.last = src_.tseMonitor.last();
  s->tse.lastTimeout = src_.tseMonitor.lastTimeout();
  s->tse.timeouts = src_.tseMonitor.timeouts();
  s->tse.serial = src_.tseMonitor.lastSerial();
  s->tse.simulator = src_.tseMonitor.simulator();
  s->tse.answerQueries = src_.answerQueries ? src_.answerQueries() : 0;

  s->printers = src_.printer.Channels();
  for (ChannelOutcome& c : s->printers) {
    if (auto it = src_.printerNames.find(PrinterNameKey(c.channel)); it != src_.printerNames.end()) c.name = it->second;
  }
  // The status line stays as the last printout left it ("Bitte warten...");
  // it is shown only while one is under way.
  s->printStatus = src_.printStatus && src_.printer.busy() ? src_.printStatus() : "";
  CollectCounts(*s);
  s->receipts = src_.printer.Receipts();
  s->kitchenReceipts = src_.printer.KitchenReceipts();
  if (src_.kitchenWaits) s->kitchenWaits = src_.kitchenWaits();
  return s;
}

}  // namespace tolven::status
