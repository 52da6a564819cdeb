// What the gateway process costs the machine: CPU while nothing arrives, and
// resident memory over a long evening of orders and settlements. Both are read
// from the kernel's accounting of the real process.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench_util.h"
#include "figures.h"
#include "installation.h"
#include "terminal_watch.h"

namespace tolven::bench {

namespace {

// Nanoseconds the process has run, from the scheduler (finer than clock ticks).
std::optional<int64_t> RunNs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  int64_t ns = 0;
  if (!(in >> ns)) return std::nullopt;
  return ns;
}

struct MemorySample {
  double progress;  // share of the work done, 0..1
  int64_t rssKiB;
  int64_t anonKiB;
};

double Mean(const std::vector<MemorySample>& samples, double from, double to, int64_t MemorySample::*field) {
  double sum = 0;
  int n = 0;
  for (const auto& s : samples) {
    if (s.progress >= from && s.progress <= to) {
      sum += static_cast<double>(s.*field);
      ++n;
    }
  }
  return n ? sum / n : 0;
}

}  // namespace

int RunIdleCost(const BenchOptions& options, int seconds) {
  Installation inst({options.binDir, options.parentDir, 5, options.keep});
  std::string error;
  if (!inst.Create(error) || !inst.StartGateway(error)) {
    Note("FEHLER: " + error);
    return 1;
  }
  SleepMs(2000);  // start-up is not idle time
  const pid_t pid = inst.gatewayPid();
  const auto ticks0 = CpuTicks(pid);
  const auto ns0 = RunNs(pid);
  const double t0 = NowMs();
  SleepMs(seconds * 1000.0);
  const auto ticks1 = CpuTicks(pid);
  const auto ns1 = RunNs(pid);
  const double wall = (NowMs() - t0) / 1000.0;
  inst.StopAll();
  if (!ticks0 || !ticks1) {
    Note("FEHLER: /proc/" + std::to_string(pid) + "/stat not readable");
    return 1;
  }
  const int64_t ticks = *ticks1 - *ticks0;
  const double percent = static_cast<double>(ticks) / static_cast<double>(TicksPerSecond()) / wall * 100.0;
  if (ns0 && ns1) {
    Note("scheduler run time: " + Fixed(static_cast<double>(*ns1 - *ns0) / 1e6, 2) + " ms in " + Fixed(wall) +
         " s = " + Fixed(static_cast<double>(*ns1 - *ns0) / 1e7 / wall, 3) + " % of one core");
  }
  Report({"idle CPU, 5 slots configured, " + std::to_string(seconds) + " s",
          Fixed(percent, 3) + " % of one core (utime+stime " + std::to_string(ticks) + " ticks of 1/" +
              std::to_string(TicksPerSecond()) + " s in " + Fixed(wall) + " s)",
          "<= 0.5 %", percent <= 0.5});
  return 0;
}

int RunSoak(const BenchOptions& options, int orders, int settlements) {
  const int terminals = 5;
  Installation inst({options.binDir, options.parentDir, terminals, options.keep});
  std::string error;
  if (!inst.Create(error) || !inst.StartTseServer() || !inst.StartGateway(error)) {
    Note("FEHLER: installation: " + error);
    return 1;
  }
  std::vector<std::string> folders;
  for (int s = 1; s <= terminals; ++s) folders.push_back(inst.Terminal(s));
  TerminalWatch watch(folders);
  const pid_t pid = inst.gatewayPid();

  // Each terminal works through its share: a few orders for its table, then
  // the table is settled, and so on; the shares add up to the totals.
  struct Terminal {
    std::vector<char> steps;  // 'O' order, 'S' settlement
    size_t next = 0;
    bool waiting = false;
  };
  std::vector<Terminal> term(terminals + 1);
  for (int i = 0; i < orders; ++i) term[1 + i % terminals].steps.push_back('O');
  for (int s = 1; s <= terminals; ++s) {
    // Spread this terminal's settlements evenly over its orders.
    const int mine = settlements / terminals + (s <= settlements % terminals ? 1 : 0);
    std::vector<char>& steps = term[static_cast<size_t>(s)].steps;
    const size_t ordersOfTerminal = steps.size();
    for (int k = mine; k >= 1; --k) {
      const size_t at = ordersOfTerminal * static_cast<size_t>(k) / static_cast<size_t>(mine);
      steps.insert(steps.begin() + static_cast<std::ptrdiff_t>(at), 'S');
    }
  }
  const int total = orders + settlements;
  int finished = 0, ordersOk = 0, settlementsOk = 0, notOk = 0;
  auto startStep = [&](int s) {
    Terminal& t = term[static_cast<size_t>(s)];
    t.waiting = false;
    if (t.next >= t.steps.size()) return;
    const int table = 20 + s;
    if (t.steps[t.next] == 'O') {
      t.waiting = DropFile(inst.Terminal(s), "bestell.txt",
                           OrderFile(table, 3, 10, "S" + std::to_string(s) + "-" + std::to_string(t.next)));
    } else {
      t.waiting = DropFile(inst.Terminal(s), "info.txt", "ABRECHNEN;" + std::to_string(table) + ";3;\r\n");
    }
  };
  std::vector<MemorySample> samples;
  const double start = NowMs();
  double nextSample = start, lastProgress = start;
  for (int s = 1; s <= terminals; ++s) startStep(s);
  while (finished < total) {
    if (NowMs() >= nextSample) {
      if (auto m = ReadMemory(pid)) {
        samples.push_back({static_cast<double>(finished) / total, m->rssKiB, m->anonKiB});
      }
      nextSample += 1000;
    }
    if (NowMs() - lastProgress > 60000) {
      Note("FEHLER: no progress for 60 s after " + std::to_string(finished) + " steps");
      return 1;
    }
    auto ev = watch.Next(200);
    if (!ev || (ev->kind != FileEvent::OrderConfirmed && ev->kind != FileEvent::RequestAnswered)) continue;
    Terminal& t = term[static_cast<size_t>(ev->slot)];
    if (!t.waiting) continue;
    const bool order = ev->kind == FileEvent::OrderConfirmed;
    const std::string answerFile = inst.Terminal(ev->slot) + (order ? "confirm.kas" : "info.kas");
    const std::string answer = ReadWholeFile(answerFile);
    std::error_code ec;
    std::filesystem::remove(answerFile, ec);
    if (answer != "OK\r\n")
      ++notOk;
    else
      ++(order ? ordersOk : settlementsOk);
    ++finished;
    lastProgress = NowMs();
    ++t.next;
    startStep(ev->slot);
    if (finished % 250 == 0) {
      Note(std::to_string(finished) + "/" + std::to_string(total) + " after " + Fixed((NowMs() - start) / 1000, 0) +
           " s");
    }
  }
  const bool allSigned = inst.WaitForSignatures(total, 30000);
  const auto last = ReadMemory(pid);
  const auto mappings = LargestMappings(pid, 6);
  inst.StopAll();
  const double elapsed = (NowMs() - start) / 1000;

  const std::string receipts = inst.Scalar("SELECT COUNT(*) FROM kass");
  const int64_t lines = std::stoll("0" + inst.Scalar("SELECT COUNT(*) FROM kasspro")) +
                        std::stoll("0" + inst.Scalar("SELECT COUNT(*) FROM bestellung"));
  const auto errors = inst.GatewayErrors();
  for (size_t e = 0; e < errors.size() && e < 5; ++e) Note("gateway: " + errors[e]);
  const double first = Mean(samples, 0, 0.25, &MemorySample::rssKiB);
  const double lastQuarter = Mean(samples, 0.75, 1, &MemorySample::rssKiB);
  const double anonGrowth =
      Mean(samples, 0.75, 1, &MemorySample::anonKiB) - Mean(samples, 0, 0.25, &MemorySample::anonKiB);
  int64_t firstMax = 0, lastMax = 0;
  for (const auto& s : samples) {
    if (s.progress <= 0.25) firstMax = std::max(firstMax, s.rssKiB);
    if (s.progress >= 0.75) lastMax = std::max(lastMax, s.rssKiB);
  }
  Note(std::to_string(orders) + " orders and " + std::to_string(settlements) + " settlements in " + Fixed(elapsed, 0) +
       " s; " + std::to_string(ordersOk) + " orders and " + std::to_string(settlementsOk) + " settlements OK, " +
       std::to_string(notOk) + " not OK; receipts " + receipts + ", order lines accounted " + std::to_string(lines) +
       " of " + std::to_string(10LL * orders) + ", all signed: " + (allSigned ? "yes" : "no"));
  Note("VmRSS first quarter: mean " + Fixed(first / 1024, 2) + " MiB, max " +
       Fixed(static_cast<double>(firstMax) / 1024, 2) + " MiB; last quarter: mean " + Fixed(lastQuarter / 1024, 2) +
       " MiB, max " + Fixed(static_cast<double>(lastMax) / 1024, 2) + " MiB (" + std::to_string(samples.size()) +
       " samples); RssAnon growth " + Fixed(anonGrowth, 0) + " KiB");
  if (last) {
    Note("at the end: VmRSS " + std::to_string(last->rssKiB) + " KiB = RssAnon " + std::to_string(last->anonKiB) +
         " KiB + RssFile " + std::to_string(last->fileKiB) + " KiB; largest mappings:");
    for (const auto& m : mappings) Note("  " + m);
  }
  const bool complete =
      notOk == 0 && errors.empty() && receipts == std::to_string(settlements) && lines == 10LL * orders;
  const double peakMiB = last ? static_cast<double>(last->peakKiB) / 1024 : 0;
  Report({"memory, soak of " + std::to_string(orders) + " orders + " + std::to_string(settlements) + " settlements",
          "peak VmHWM " + Fixed(peakMiB, 2) + " MiB" + (complete ? "" : " (the soak itself had failures)"), "<= 16 MiB",
          last && peakMiB <= 16 && complete});
  // Allocator noise moves the resident size by a few pages; a leak grows with the work.
  const double growthKiB = lastQuarter - first;
  Report({"memory growth, first to last quarter of the soak",
          (growthKiB >= 0 ? "+" : "") + Fixed(growthKiB, 0) + " KiB (mean VmRSS)", "no growth (<= 64 KiB)",
          growthKiB <= 64});
  return 0;
}

}  // namespace tolven::bench
