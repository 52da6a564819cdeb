// Stalls around the gateway: what the other terminals feel while one thing
// hangs. Five terminals work back to back (terminals 1 to 3 order, 4 and 5 ask
// for table data) while (a) a parallel kitchen
// printer takes no bytes for 30 s, (b) another program holds the database's
// write lock for 20 s; and (c) how soon a gateway restarted with the TSE server
// silent and three tables of pending kitchen lines answers a terminal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <thread>

#include "back_to_back.h"
#include "bench_util.h"
#include "figures.h"
#include "installation.h"
#include "terminal_watch.h"

namespace tolven::bench {

namespace {

constexpr int kTerminals = 5;
constexpr double kPrinterStallMs = 30000, kLockMs = 20000;
// The terminals work this long before and after the stall.
constexpr double kLeadMs = 5000, kTrailMs = 5000;

// A parallel printer that stops taking bytes: a FIFO as the LPT device. The
// benchmark holds its reading end from the start (so the gateway's open never
// waits) and prints (reads) everything until Hold(): then it fills the FIFO's
// buffer, shrunk to one page, so the gateway's next byte finds the printer
// full, until Release().
class StallingParallelPrinter {
 public:
  explicit StallingParallelPrinter(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) return;
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    (void)::fcntl(fd_, F_SETPIPE_SZ, 4096);
    thread_ = std::thread([this] { Run(); });
  }
  ~StallingParallelPrinter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Hold() { holding_ = true; }
  void Release() { holding_ = false; }

 private:
  void Run() {
    char buf[4096];
    while (!stop_) {
      if (holding_) {
        while (::write(fd_, " ", 1) > 0) {
        }
      } else if (::read(fd_, buf, sizeof buf) > 0) {
        continue;
      }
      SleepMs(5);
    }
  }

  int fd_ = -1;
  std::atomic<bool> stop_{false}, holding_{false};
  std::thread thread_;
};

// One file of a terminal and its answer.
struct Exchange {
  int slot = 0;
  bool order = true;  // false: a table-data request
  double sent = 0, answered = 0;
};

struct TerminalRun {
  std::vector<Exchange> done;
  int notOk = 0;
};

// Terminals 1 to 3 order back to back (terminal 1's orders carry `printerLines`
// lines for the third printer), terminals 4 and 5 ask for table data, each
// sending the moment its previous answer is in place. For `ms`, then the last
// answers are waited for. False when nothing was answered for 90 s.
bool RunTerminals(Installation& inst, TerminalWatch& watch, double ms, int printerLines,
                  const std::function<void(double)>& tick, TerminalRun& run) {
  struct Terminal {
    int seq = 0;
    bool waiting = false, order = true;
    double sent = 0;
  };
  std::vector<Terminal> term(kTerminals + 1);
  auto send = [&](int s) {
    Terminal& t = term[static_cast<size_t>(s)];
    t.order = s <= 3;
    const std::string tag = Tag(s, ++t.seq);
    t.waiting = t.order ? DropFile(inst.Terminal(s), "bestell.txt",
                                   OrderFile(10 + s, 3, kOrderLines, tag, s == 1 ? printerLines : 0))
                        : DropFile(inst.Terminal(s), "info.txt", "TISCH;" + std::to_string(10 + s) + ";3;\r\n");
    t.sent = NowMs();
  };
  const double start = NowMs();
  for (int s = 1; s <= kTerminals; ++s) send(s);
  double lastAnswer = NowMs();
  for (;;) {
    tick(NowMs() - start);
    bool any = false;
    for (const Terminal& t : term) any = any || t.waiting;
    if (!any) return true;
    if (NowMs() - lastAnswer > 90000) {
      Note("FEHLER: no answer for 90 s");
      return false;
    }
    auto ev = watch.Next(100);
    if (!ev || (ev->kind != FileEvent::OrderConfirmed && ev->kind != FileEvent::RequestAnswered)) continue;
    Terminal& t = term[static_cast<size_t>(ev->slot)];
    if (!t.waiting || t.order != (ev->kind == FileEvent::OrderConfirmed)) continue;
    lastAnswer = NowMs();
    if (t.order) {
      if (!TakeAnswer(inst.Terminal(ev->slot) + "confirm.kas")) ++run.notOk;
    } else {
      std::error_code ec;
      std::filesystem::remove(inst.Terminal(ev->slot) + "info.kas", ec);
    }
    run.done.push_back({ev->slot, t.order, t.sent, ev->ms});
    t.waiting = false;
    if (NowMs() - start < ms) send(ev->slot);
  }
}

std::string MedianP95(const Summary& s) {
  return "median " + Fixed(s.median, 0) + " ms, p95 " + Fixed(s.p95, 0) + " ms (n=" + std::to_string(s.count) + ")";
}

// The other terminals' answers to files that were under way while the stall
// lasted (sent before its end, answered after its start), orders and requests.
void ReportDuring(const std::string& name, const TerminalRun& run, double from, double until) {
  std::vector<double> confirm, table, own;
  for (const Exchange& e : run.done) {
    if (e.sent >= until || e.answered < from) continue;
    (e.slot == 1 ? own : e.order ? confirm : table).push_back(e.answered - e.sent);
  }
  Note("terminal 1 (the stalled side's own orders): " + Describe(Summarise(own)) +
       "; answers not OK in the run: " + std::to_string(run.notOk));
  const Summary c = Summarise(confirm), t = Summarise(table);
  Report({name + ": other terminals' confirmation", MedianP95(c), "median <= 700 ms, p95 <= 1000 ms",
          c.count > 0 && c.median <= 700 && c.p95 <= 1000});
  Report({name + ": other terminals' table data", MedianP95(t), "median <= 700 ms, p95 <= 1000 ms",
          t.count > 0 && t.median <= 700 && t.p95 <= 1000});
}

int RunStallLoad(const BenchOptions& options, bool printer) {
  Installation inst({options.binDir, options.parentDir, kTerminals, options.keep});
  std::optional<StallingParallelPrinter> lpt;
  if (printer) {
    // The FIFO lives beside the installation until Create has made its folder.
    const std::string fifo = options.parentDir + "/tolven-bench-lpt-" + std::to_string(::getpid());
    std::error_code ec;
    std::filesystem::remove(fifo, ec);
    lpt.emplace(fifo);
    inst.AddParallelPrinter(fifo);
    if (!lpt->ok()) {
      Note("FEHLER: no FIFO for the parallel printer at " + fifo);
      return 1;
    }
  }
  if (!StartInstallation(inst)) return 1;
  TerminalWatch watch(Folders(inst, kTerminals));
  if (!watch.ok()) {
    Note("FEHLER: inotify not available");
    return 1;
  }
  const double stallMs = printer ? kPrinterStallMs : kLockMs;
  std::unique_ptr<testing::ChildProcess> locker;
  double from = 0, until = 0;
  bool failed = false;
  auto tick = [&](double elapsed) {
    if (from == 0 && elapsed >= kLeadMs) {
      from = NowMs();
      if (lpt) lpt->Hold();
      if (!printer) {
        // Another program's write transaction, as a POS program's long booking would hold it.
        const std::string log = inst.root() + "/locker.log";
        locker = std::make_unique<testing::ChildProcess>(
            "/usr/bin/python3",
            std::vector<std::string>{"-c",
                                     "import sqlite3, sys, time\n"
                                     "c = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=30)\n"
                                     "c.execute('BEGIN IMMEDIATE')\n"
                                     "print('gesperrt', flush=True)\n"
                                     "time.sleep(float(sys.argv[2]))\n"
                                     "c.execute('COMMIT')\n",
                                     inst.dbPath(), Fixed(kLockMs / 1000, 0)},
            std::map<std::string, std::string>{}, log);
        failed = !testing::WaitFor([&] { return ReadWholeFile(log).find("gesperrt") != std::string::npos; }, 30000);
        from = NowMs();
      }
    }
    if (from > 0 && until == 0 && NowMs() - from >= stallMs) {
      until = NowMs();
      if (lpt) lpt->Release();
    }
  };
  // Without a line for the printer in (b), terminal 1 orders like the others.
  TerminalRun run;
  if (!RunTerminals(inst, watch, kLeadMs + stallMs + kTrailMs, printer ? 1 : 0, tick, run)) return 1;
  if (locker) locker->Wait(30000);
  if (failed || until == 0) {
    Note("FEHLER: the stall could not be set up");
    return 1;
  }
  // The printer stalls the gateway only from terminal 1's next printout on,
  // which follows its confirmation.
  for (const Exchange& e : run.done) {
    if (printer && e.slot == 1 && e.answered >= from) {
      from = e.answered;
      break;
    }
  }
  const auto errors = inst.GatewayErrors();
  for (size_t e = 0; e < errors.size() && e < 5; ++e) Note("gateway: " + errors[e]);
  Note(std::to_string(run.done.size()) + " answers in the run, " + std::to_string(errors.size()) + " FEHLER lines");
  ReportDuring(printer ? "stall, parallel printer silent 30 s" : "stall, database write lock held 20 s", run, from,
               until);
  inst.StopAll();
  if (lpt) {
    std::error_code ec;
    std::filesystem::remove(options.parentDir + "/tolven-bench-lpt-" + std::to_string(::getpid()), ec);
  }
  return 0;
}

// (c) Three tables' orders are booked and printed; with the gateway stopped,
// their lines are made pending again as a POS program would leave them
// (haskuebon = 0, nobody's claim). The TSE server falls silent, a terminal's
// order and another's table-data request wait in their folders, and the
// gateway starts: the time to its first answer.
int RunRestart(const BenchOptions& options) {
  Installation inst({options.binDir, options.parentDir, kTerminals, options.keep});
  if (!StartInstallation(inst)) return 1;
  TerminalWatch watch(Folders(inst, kTerminals));
  if (!watch.ok()) {
    Note("FEHLER: inotify not available");
    return 1;
  }
  for (int table = 21; table <= 23; ++table) {
    if (!DropFile(inst.Terminal(2), "bestell.txt", OrderFile(table, 3, kOrderLines, Tag(2, table))) ||
        !watch.WaitFor(2, FileEvent::OrderConfirmed, 30000) || !TakeAnswer(inst.Terminal(2) + "confirm.kas")) {
      Note("FEHLER: order for table " + std::to_string(table) + " not confirmed");
      return 1;
    }
  }
  if (!inst.WaitForSignatures(3, 30000)) {
    Note("FEHLER: the three orders were not signed");
    return 1;
  }
  inst.StopGateway();
  std::string error;
  auto c = inst.Connect(error);
  Status madePending = c ? c->Execute("UPDATE bestellung SET haskuebon = 0") : Status::Error(error);
  if (madePending) madePending = c->Execute("DELETE FROM pdakuebon");
  if (!madePending) {
    Note("FEHLER: the kitchen lines cannot be made pending: " + madePending.message());
    return 1;
  }
  c.reset();
  const std::string pending = inst.Scalar("SELECT COUNT(DISTINCT tisch) FROM bestellung WHERE haskuebon = 0");
  if (!inst.StartTseServer({"--never"}) ||
      !DropFile(inst.Terminal(3), "bestell.txt", OrderFile(24, 3, kOrderLines, Tag(3, 1))) ||
      !DropFile(inst.Terminal(4), "info.txt", "TISCH;21;3;\r\n")) {
    Note("FEHLER: the restart could not be set up");
    return 1;
  }
  const double start = NowMs();
  if (!inst.StartGateway(error, false)) {
    Note("FEHLER: " + error);
    return 1;
  }
  double first = 0, order = 0, table = 0;
  while ((order == 0 || table == 0) && NowMs() - start < 180000) {
    auto ev = watch.Next(200);
    if (!ev) continue;
    if (ev->slot == 3 && ev->kind == FileEvent::OrderConfirmed) order = ev->ms - start;
    if (ev->slot == 4 && ev->kind == FileEvent::RequestAnswered) table = ev->ms - start;
    if ((order > 0 || table > 0) && first == 0) first = order > 0 ? order : table;
  }
  Note(pending + " tables with pending kitchen lines; TSE server silent; order answered " +
       (order > 0 ? Fixed(order / 1000) + " s" : "not within 180 s") + ", table data " +
       (table > 0 ? Fixed(table / 1000) + " s" : "not within 180 s") + " after the start");
  const auto errors = inst.GatewayErrors();
  for (size_t e = 0; e < errors.size() && e < 5; ++e) Note("gateway: " + errors[e]);
  Report({"stall, restart with TSE silent and 3 tables pending: first answer",
          first > 0 ? Fixed(first / 1000) + " s" : "none within 180 s", "<= 1 s", first > 0 && first <= 1000});
  inst.StopAll();
  return 0;
}

}  // namespace

int RunStall(const BenchOptions& options) {
  int failed = 0;
  Note("(a) a parallel kitchen printer takes no bytes for 30 s");
  failed += RunStallLoad(options, true) != 0;
  Note("(b) another program holds the database's write lock for 20 s");
  failed += RunStallLoad(options, false) != 0;
  Note("(c) restart with the TSE server silent and three tables of pending kitchen lines");
  failed += RunRestart(options) != 0;
  return failed ? 1 : 0;
}

}  // namespace tolven::bench
