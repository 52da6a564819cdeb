#include "gateway/kitchen_backlog.h"

#include "gateway/kitchen_printing.h"

namespace tolven::gateway {

namespace {

constexpr const char* kWhatToDo = "Drucker prüfen; die Positionen werden gedruckt, sobald er wieder bereit ist";

std::string Minutes(int64_t ms) { return std::to_string(ms / 60000); }

std::string AlertText(const KitchenWait& w, const std::string& reason, int64_t staleMs) {
  std::string text = "Küchenbon nicht gedruckt: Tisch " + std::to_string(w.table) + ", Drucker " + w.printerName +
                     " (" + std::to_string(w.printer) + "), Kellner " + w.waiter + ": " + w.lines + ".";
  if (!reason.empty()) text += " " + reason + ".";
  if (w.stale) {
    return text + " Die Positionen warten länger als " + Minutes(staleMs) +
           " Minuten und werden nicht mehr von selbst gedruckt: auf der Statusseite drucken oder verwerfen.";
  }
  return text + " " + kWhatToDo + ".";
}

}  // namespace

KitchenBacklog::KitchenBacklog(platform::Env& env, LogSink& log, Alerts alerts, int staleMinutes)
    : env_(env), log_(log), alerts_(std::move(alerts)), staleMs_(int64_t{staleMinutes} * 60000) {}

void KitchenBacklog::Failed(const printing::KitchenFailure& failure) {
  Add(failure, env_.MonotonicMs(), false);
  printers_[failure.printer].nextTryMs = env_.MonotonicMs() + kRetryMs;
}

void KitchenBacklog::FoundStale(const printing::KitchenFailure& failure, int64_t waitedMs) {
  Add(failure, env_.MonotonicMs() - waitedMs, true);
}

void KitchenBacklog::Add(const printing::KitchenFailure& failure, int64_t sinceMs, bool stale) {
  Printer& printer = printers_[failure.printer];
  auto [it, added] = printer.tables.try_emplace(failure.table);
  Waiting& w = it->second;
  if (added) w.sinceMs = sinceMs;
  KitchenWait shown{
      failure.printer,       failure.printerName, failure.table, failure.waiter, failure.lines, failure.lineCount, 0,
      stale || w.shown.stale};
  const std::string text = AlertText(shown, failure.reason, staleMs_);
  // The same lines failing again keep their alert (it counts up); new lines make a new one.
  if (added || shown.lines != w.shown.lines || shown.stale != w.shown.stale) {
    if (w.alertId != 0 && alerts_.clear) alerts_.clear(w.alertId);
    w.alertId = alerts_.raise ? alerts_.raise(text) : 0;
  } else if (alerts_.raise) {
    w.alertId = alerts_.raise(text);
  }
  w.shown = shown;
  std::lock_guard<std::mutex> lock(askMutex_);
  known_[{failure.printer, failure.table}] = true;
}

void KitchenBacklog::Printed(int printer, int32_t table) {
  auto p = printers_.find(printer);
  if (p == printers_.end()) return;
  if (p->second.tables.count(table)) {
    log_.AddLogLine("Küchenbon Tisch " + std::to_string(table) + ", Drucker " +
                    p->second.tables[table].shown.printerName + ": wartende Positionen gedruckt.");
  }
  Clear(printer, table);
  // The printer takes paper again: what else waits for it goes now.
  if (!p->second.tables.empty()) p->second.nextTryMs = 0;
}

void KitchenBacklog::Clear(int printer, int32_t table) {
  auto p = printers_.find(printer);
  if (p == printers_.end()) return;
  auto t = p->second.tables.find(table);
  if (t == p->second.tables.end()) return;
  if (t->second.alertId != 0 && alerts_.clear) alerts_.clear(t->second.alertId);
  p->second.tables.erase(t);
  std::lock_guard<std::mutex> lock(askMutex_);
  known_.erase({printer, table});
}

bool KitchenBacklog::Ask(int printer, int32_t table, bool print, const std::string& by) {
  std::lock_guard<std::mutex> lock(askMutex_);
  if (!known_.count({printer, table})) return false;
  asked_.push_back({printer, table, print, by});
  return true;
}

void KitchenBacklog::Tick(loop::EventLoop& loop, KitchenPrinting& kitchen) {
  std::vector<Asked> asked;
  {
    std::lock_guard<std::mutex> lock(askMutex_);
    asked.swap(asked_);
  }
  for (const Asked& a : asked) {
    auto p = printers_.find(a.printer);
    if (p == printers_.end() || !p->second.tables.count(a.table)) continue;
    const KitchenWait& w = p->second.tables[a.table].shown;
    const std::string waiter = w.waiter;
    if (a.print) {
      log_.AddLogLine("Küchenbon Tisch " + std::to_string(a.table) + ", Drucker " + w.printerName +
                      ": Druck der wartenden Positionen angefordert von " + a.by + ".");
      loop.Spawn([this, &kitchen, a, waiter] {
        if (!kitchen.PrintLate(a.table, waiter)) Clear(a.printer, a.table);
      });
    } else {
      loop.Spawn([this, &kitchen, a] {
        if (kitchen.DropWaiting(a.table, a.printer, a.by)) Clear(a.printer, a.table);
      });
    }
  }

  const int64_t now = env_.MonotonicMs();
  for (auto& [number, printer] : printers_) {
    if (printer.trying || now < printer.nextTryMs || printer.tables.empty()) continue;
    std::vector<std::pair<int32_t, std::string>> due;
    for (auto& [table, w] : printer.tables) {
      if (w.shown.stale) continue;
      if (now - w.sinceMs > staleMs_) {
        w.shown.stale = true;
        log_.AddLogLine("FEHLER: Küchenbon Tisch " + std::to_string(table) + ", Drucker " + w.shown.printerName +
                        ": Positionen warten länger als " + Minutes(staleMs_) +
                        " Minuten und werden nicht mehr von selbst gedruckt.");
        if (w.alertId != 0 && alerts_.clear) alerts_.clear(w.alertId);
        if (alerts_.raise) w.alertId = alerts_.raise(AlertText(w.shown, "", staleMs_));
        continue;
      }
      due.emplace_back(table, w.shown.waiter);
    }
    printer.nextTryMs = now + kRetryMs;
    if (due.empty()) continue;
    printer.trying = true;
    loop.Spawn([this, &kitchen, number = number, due] {
      for (const auto& [table, waiter] : due) {
        // Nothing left to claim: printed by another printout or station, or dropped.
        if (!kitchen.PrintLate(table, waiter)) Clear(number, table);
      }
      printers_[number].trying = false;
    });
  }
}

std::vector<KitchenWait> KitchenBacklog::Waits() const {
  std::vector<KitchenWait> waits;
  const int64_t now = env_.MonotonicMs();
  for (const auto& [number, printer] : printers_) {
    for (const auto& [table, w] : printer.tables) {
      waits.push_back(w.shown);
      waits.back().waitedMs = now - w.sinceMs;
    }
  }
  return waits;
}

}  // namespace tolven::gateway
