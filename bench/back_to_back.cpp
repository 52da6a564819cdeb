#include "back_to_back.h"

#include <filesystem>
#include <map>

#include "bench_util.h"

namespace tolven::bench {

std::vector<std::string> Folders(const Installation& inst, int slots) {
  std::vector<std::string> folders;
  for (int s = 1; s <= slots; ++s) folders.push_back(inst.Terminal(s));
  return folders;
}

bool StartInstallation(Installation& inst) {
  std::string error;
  if (!inst.Create(error) || !inst.StartTseServer() || !inst.StartGateway(error)) {
    Note("FEHLER: installation: " + (error.empty() ? "the TSE server stand-in did not start" : error));
    return false;
  }
  return true;
}

bool TakeAnswer(const std::string& path) {
  const std::string text = ReadWholeFile(path);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return text == "OK\r\n";
}

std::string Tag(int slot, int seq) { return "T" + std::to_string(slot) + "-" + std::to_string(seq); }

std::string BookingCheck::Text() const {
  return std::to_string(lost) + " lost, " + std::to_string(doubled) + " booked twice, " + std::to_string(partial) +
         " incomplete, " + std::to_string(strangers) + " unknown";
}

BookingCheck CheckBookings(Installation& inst, const std::set<std::string>& sent) {
  BookingCheck check;
  std::string error;
  auto c = inst.Connect(error);
  std::map<std::string, int64_t> rows;
  if (c) {
    auto rs = c->Query("SELECT kueinfo, COUNT(*) FROM bestellung GROUP BY kueinfo");
    for (; rs && !rs->Eof(); rs->MoveNext()) rows[rs->Raw(0).AsString()] = rs->Raw(1).AsInt64();
  }
  for (const auto& tag : sent) {
    auto it = rows.find(tag);
    const int64_t n = it == rows.end() ? 0 : it->second;
    if (n == 0)
      ++check.lost;
    else if (n > kOrderLines)
      ++check.doubled;
    else if (n < kOrderLines)
      ++check.partial;
  }
  for (const auto& [tag, n] : rows) {
    if (!sent.count(tag)) ++check.strangers;
  }
  return check;
}

bool RunBackToBack(Installation& inst, TerminalWatch& watch, const BackToBackOptions& options, BackToBackRun& run) {
  struct Terminal {
    int seq = 0;
    double sent = 0, taken = 0;
    bool waiting = false;
  };
  std::vector<Terminal> term(static_cast<size_t>(options.terminals) + 1);
  auto send = [&](int s) {
    Terminal& t = term[static_cast<size_t>(s)];
    const std::string tag = Tag(s, ++t.seq);
    const std::string order = options.order ? options.order(s, tag) : OrderFile(10 + s, 3, kOrderLines, tag);
    t.waiting = DropFile(inst.Terminal(s), "bestell.txt", order);
    t.sent = NowMs();
    if (t.waiting) run.sentTags.insert(tag);
  };
  run.start = NowMs();
  const double deadline = run.start + options.seconds * 1000.0;
  for (int s = 1; s <= options.terminals; ++s) send(s);
  double lastProgress = NowMs();
  for (;;) {
    if (options.tick) options.tick(NowMs() - run.start);
    bool anyWaiting = false;
    for (int s = 1; s <= options.terminals; ++s) anyWaiting = anyWaiting || term[static_cast<size_t>(s)].waiting;
    if (!anyWaiting) break;
    if (NowMs() - lastProgress > options.stallMs) {
      Note("FEHLER: no confirmation for " + Fixed(options.stallMs / 1000, 0) + " s");
      return false;
    }
    auto ev = watch.Next(200);
    if (!ev) continue;
    Terminal& t = term[static_cast<size_t>(ev->slot)];
    if (ev->kind == FileEvent::OrderTaken) {
      t.taken = ev->ms;
      run.takings.emplace_back(ev->ms, ev->slot);
      continue;
    }
    if (ev->kind != FileEvent::OrderConfirmed || !t.waiting) continue;
    lastProgress = NowMs();
    if (!TakeAnswer(inst.Terminal(ev->slot) + "confirm.kas")) ++run.notOk;
    run.done.push_back({ev->slot, Tag(ev->slot, t.seq), t.sent, t.taken, ev->ms, t.seq > 1});
    t.waiting = false;
    if (NowMs() < deadline) send(ev->slot);
  }
  run.elapsedS = (NowMs() - run.start) / 1000.0;
  return true;
}

}  // namespace tolven::bench
