// Peak load: five terminals ordering back to back with the TSE server
// answering, silent for the first part of the run, and with a slow serial
// kitchen printer. Besides the answers to the terminals the benchmark times
// the kitchen printouts: the file printers' archive copies as they are put in
// place, and the serial printer's lines as a printer working at its own pace
// prints them.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
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

// The time each order's tag (">>> T1-5 <<<" on its kitchen receipts) first
// showed up on one printer.
using Seen = std::map<std::string, double>;

// Takes the tags out of `text` from `from` on; returns where the next search
// starts (the beginning of a tag whose end has not arrived yet).
size_t TakeTags(const std::string& text, size_t from, double now, Seen& seen) {
  for (;;) {
    const size_t open = text.find(">>> ", from);
    if (open == std::string::npos) return text.size() > 3 ? std::max(from, text.size() - 3) : from;
    const size_t close = text.find(" <<<", open + 4);
    if (close == std::string::npos) return open;
    seen.emplace(text.substr(open + 4, close - open - 4), now);
    from = close + 4;
  }
}

// A thread reading the kernel's file events of the printers' output folder:
// every archive copy of a kitchen receipt is read the moment it is in place.
class PrintoutWatch {
 public:
  PrintoutWatch(const std::string& folder, std::vector<std::string> files)
      : folder_(folder), files_(std::move(files)), seen_(files_.size()) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
    if (fd_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~PrintoutWatch() {
    Stop();
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // After Stop(): when every printer had printed the tag (a tag missing on one is left out).
  Seen AllPrinted() const {
    Seen all;
    for (const auto& [tag, when] : seen_[0]) {
      double last = when;
      bool everywhere = true;
      for (size_t f = 1; f < seen_.size() && everywhere; ++f) {
        auto it = seen_[f].find(tag);
        everywhere = it != seen_[f].end();
        if (everywhere) last = std::max(last, it->second);
      }
      if (everywhere) all.emplace(tag, last);
    }
    return all;
  }

 private:
  void Run() {
    alignas(inotify_event) char buf[8192];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      const double now = NowMs();
      for (ssize_t off = 0; off < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        const std::string name(e->name, ::strnlen(e->name, e->len));
        auto f = std::find(files_.begin(), files_.end(), name);
        if (f != files_.end()) TakeTags(ReadWholeFile(folder_ + name), 0, now, seen_[f - files_.begin()]);
      }
    }
  }

  std::string folder_;
  std::vector<std::string> files_;
  std::vector<Seen> seen_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A serial printer on a pseudo-terminal that prints `bytesPerSecond` and holds
// the line with XOFF while more than a few lines wait in its buffer, as a
// printer with a small buffer and software handshake does. The slave stays open
// here, so the gateway's closing the port is no hang-up.
class SlowSerialPrinter {
 public:
  explicit SlowSerialPrinter(double bytesPerSecond) : rate_(bytesPerSecond) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const char* name = ::ptsname(master_);
    slave_ = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios t{};
    if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0) return;
    ::cfmakeraw(&t);
    t.c_iflag |= IXON;
    if (::tcsetattr(slave_, TCSANOW, &t) != 0) return;
    device_ = name;
    thread_ = std::thread([this] { Run(); });
  }
  ~SlowSerialPrinter() {
    Stop();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return !device_.empty(); }
  const std::string& device() const { return device_; }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // After Stop().
  const Seen& printed() const { return printed_; }
  size_t bytes() const { return text_.size(); }
  int holds() const { return holds_; }

 private:
  static constexpr size_t kHoldAbove = 64, kReleaseBelow = 16;

  void Run() {
    std::string waiting;
    size_t scan = 0;
    double last = NowMs(), credit = 0;
    bool held = false;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
        char buf[4096];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) waiting.append(buf, static_cast<size_t>(n));
      }
      const double now = NowMs();
      // An idle printer saves up no speed for later.
      credit = waiting.empty() ? 0 : credit + (now - last) * rate_ / 1000;
      last = now;
      const size_t k = std::min(waiting.size(), static_cast<size_t>(credit));
      text_.append(waiting, 0, k);
      waiting.erase(0, k);
      credit -= static_cast<double>(k);
      if (k > 0) scan = TakeTags(text_, scan, now, printed_);
      const bool hold = held ? waiting.size() >= kReleaseBelow : waiting.size() > kHoldAbove;
      if (hold != held && ::write(master_, hold ? "\x13" : "\x11", 1) == 1) {
        held = hold;
        holds_ += hold ? 1 : 0;
      }
    }
  }

  double rate_;
  int master_ = -1, slave_ = -1;
  std::string device_;
  std::string text_;
  Seen printed_;
  int holds_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

enum class Load { Answering, SilentTse, SlowPrinter };

struct Latencies {
  std::vector<double> confirm, kitchen;
};

std::string MedianP95(const Summary& s) {
  return "median " + Fixed(s.median, 0) + " ms, p95 " + Fixed(s.p95, 0) + " ms (n=" + std::to_string(s.count) + ")";
}

int RunPeakLoad(const BenchOptions& options, Load load, int seconds) {
  // One line (one receipt, about 115 bytes) per order of terminal 1 keeps the
  // serial printer below its speed even when the terminals get an answer in 0.6 s.
  constexpr int kTerminals = 5, kSlowLines = 1;
  std::optional<SlowSerialPrinter> slow;
  if (load == Load::SlowPrinter) {
    slow.emplace(300);
    if (!slow->ok()) {
      Note("FEHLER: no pseudo-terminal for the serial printer");
      return 1;
    }
  }
  Installation inst({options.binDir, options.parentDir, kTerminals, options.keep});
  if (slow) inst.AddSerialPrinter(slow->device());
  if (!StartInstallation(inst)) return 1;
  TerminalWatch watch(Folders(inst, kTerminals));
  PrintoutWatch printouts(inst.root() + "/out/", {"kueche.txt", "theke.txt"});
  if (!watch.ok() || !printouts.ok()) {
    Note("FEHLER: inotify not available");
    return 1;
  }
  // The gateway starts with the TSE server answering; it falls silent as the run begins.
  if (load == Load::SilentTse && !inst.StartTseServer({"--never"})) {
    Note("FEHLER: the silent TSE server stand-in did not start");
    return 1;
  }

  BackToBackOptions b2b;
  b2b.terminals = kTerminals;
  b2b.seconds = seconds;
  if (load == Load::SlowPrinter) {
    b2b.order = [](int slot, const std::string& tag) {
      return OrderFile(10 + slot, 3, kOrderLines, tag, slot == 1 ? kSlowLines : 0);
    };
  }
  // Silent TSE: the server answers again after two thirds of the run; then the
  // TSE day log is watched for the first new signature.
  const double answerAgainMs = seconds * 1000.0 * 2 / 3;
  double answering = 0, firstSigned = 0;
  int signedBefore = 0;
  bool restartFailed = false;
  auto watchSignatures = [&] {
    if (answering > 0 && firstSigned == 0 && inst.CountInTseLog(" - Signatur=") > signedBefore) firstSigned = NowMs();
  };
  if (load == Load::SilentTse) {
    // Every silent TSE request blocks today's gateway for its whole time-out.
    b2b.stallMs = 180000;
    b2b.tick = [&](double elapsedMs) {
      if (answering == 0 && !restartFailed && elapsedMs >= answerAgainMs) {
        signedBefore = inst.CountInTseLog(" - Signatur=");
        restartFailed = !inst.StartTseServer();
        answering = NowMs();
      }
      watchSignatures();
    };
  }
  BackToBackRun run;
  if (!RunBackToBack(inst, watch, b2b, run)) return 1;
  if (restartFailed) {
    Note("FEHLER: the TSE server stand-in did not start again");
    return 1;
  }
  // Late printouts and signatures still count.
  const double settleUntil = NowMs() + 30000;
  while (load == Load::SilentTse && answering > 0 && firstSigned == 0 && NowMs() < settleUntil) {
    SleepMs(200);
    watchSignatures();
  }
  const bool allSigned = load != Load::SilentTse && inst.WaitForSignatures(run.confirmed(), 30000);
  for (const double until = NowMs() + 60000;
       inst.Scalar("SELECT COUNT(*) FROM bestellung WHERE haskuebon = 0") != "0" && NowMs() < until;) {
    SleepMs(200);
  }
  SleepMs(500);
  inst.StopAll();
  printouts.Stop();
  if (slow) slow->Stop();
  const Seen slowPrinted = slow ? slow->printed() : Seen();

  const Seen fast = printouts.AllPrinted();
  // Silent TSE: only the orders sent after the first time-out (20 s) and before the server answers again.
  const double from = run.start + (load == Load::SilentTse ? 20000 : 0);
  const double until = load == Load::SilentTse ? run.start + answerAgainMs : run.start + 1e12;
  Latencies all, slowOnes;
  int notPrinted = 0;
  for (const ConfirmedOrder& d : run.done) {
    auto f = fast.find(d.tag);
    if (f == fast.end()) ++notPrinted;
    if (d.sent < from || d.sent >= until) continue;
    all.confirm.push_back(d.confirmed - d.sent);
    if (f != fast.end()) all.kitchen.push_back(f->second - d.sent);
    if (auto s = slowPrinted.find(d.tag); s != slowPrinted.end()) slowOnes.kitchen.push_back(s->second - d.sent);
  }
  const BookingCheck check = CheckBookings(inst, run.sentTags);
  const auto errors = inst.GatewayErrors();
  for (size_t e = 0; e < errors.size() && e < 5; ++e) Note("gateway: " + errors[e]);
  const std::string kitchenMissing = inst.Scalar("SELECT COUNT(*) FROM bestellung WHERE haskuebon = 0");
  const int signedOrders =
      std::atoi(inst.Scalar("SELECT COUNT(*) FROM tse_bestellungen WHERE tse_signatur <> ''").c_str());
  const Summary c = Summarise(all.confirm), k = Summarise(all.kitchen);
  const double perMinute = run.confirmed() / run.elapsedS * 60.0;
  Note(std::to_string(run.confirmed()) + " orders in " + Fixed(run.elapsedS) + " s (" + Fixed(perMinute) +
       " per minute), " + std::to_string(run.sentTags.size()) + " sent, " + std::to_string(run.notOk) +
       " answers not OK; " + check.Text() + "; " + std::to_string(errors.size()) + " FEHLER lines");
  Note("kitchen lines left unprinted: " + kitchenMissing + ", orders without a seen printout on both file printers: " +
       std::to_string(notPrinted) + ", orders signed: " + std::to_string(signedOrders));
  Note(std::string(load == Load::SilentTse ? "while silent (orders sent 20 s after the start until the server answers "
                                             "again), "
                                           : "") +
       "confirmation (bestell.txt in place -> confirm.kas in place): " + Describe(c));
  Note("kitchen receipts on the file printers (bestell.txt in place -> the later of its two printouts): " +
       Describe(k));
  const bool stored = run.notOk == 0 && check.ok() && run.confirmed() == static_cast<int>(run.sentTags.size());
  const std::string storedText = std::to_string(run.confirmed()) + " orders, " + std::to_string(run.notOk) +
                                 " not OK, " + check.Text() + ", " + kitchenMissing + " kitchen lines unprinted";

  switch (load) {
    case Load::Answering:
      Report({"peak, TSE answering: confirmation", MedianP95(c), "median <= 700 ms, p95 <= 1000 ms",
              c.count > 0 && c.median <= 700 && c.p95 <= 1000});
      Report({"peak, TSE answering: kitchen receipt", MedianP95(k), "median <= 1200 ms",
              k.count > 0 && k.median <= 1200});
      Report({"peak, TSE answering: orders per minute", Fixed(perMinute), ">= 214", perMinute >= 214});
      Report({"peak, TSE answering: every order once and signed",
              storedText + ", " + std::to_string(signedOrders) + " signed, " + std::to_string(errors.size()) +
                  " FEHLER lines",
              "none lost, none doubled, every order signed",
              stored && errors.empty() && kitchenMissing == "0" && allSigned && signedOrders == run.confirmed()});
      break;
    case Load::SilentTse: {
      Note("server answering again " + Fixed((answering - run.start) / 1000) + " s into the run; " +
           std::to_string(run.confirmed() - signedOrders) + " orders stored unsigned");
      Report({"peak, TSE silent: confirmation after the first time-out", MedianP95(c), "median <= 1000 ms",
              c.count > 0 && c.median <= 1000});
      Report({"peak, TSE silent: kitchen receipt", MedianP95(k), "median <= 1200 ms",
              k.count > 0 && k.median <= 1200});
      Report({"peak, TSE silent: every order stored once",
              storedText + ", " + std::to_string(signedOrders) + " signed", "none lost, none doubled",
              stored && kitchenMissing == "0"});
      const double back = firstSigned > 0 ? (firstSigned - answering) / 1000 : -1;
      Report({"peak, TSE silent: server answering -> first new signature",
              back < 0 ? "none within 30 s after the run" : Fixed(back) + " s", "<= 12 s", back >= 0 && back <= 12});
      break;
    }
    case Load::SlowPrinter: {
      const Summary s = Summarise(slowOnes.kitchen);
      Note("serial printer (300 bytes/s, " + std::to_string(kSlowLines) + " receipt(s) per order of terminal 1): " +
           std::to_string(slow->bytes()) + " bytes printed, held with XOFF " + std::to_string(slow->holds()) +
           " times; bestell.txt in place -> tag printed: " + Describe(s));
      Report({"peak, slow serial printer: kitchen receipt on the file printers", MedianP95(k), "median <= 1200 ms",
              k.count > 0 && k.median <= 1200});
      Report({"peak, slow serial printer: confirmation", MedianP95(c), "median <= 700 ms",
              c.count > 0 && c.median <= 700 && stored});
      break;
    }
  }
  return 0;
}

}  // namespace

int RunPeak(const BenchOptions& options, int seconds) {
  int failed = 0;
  for (Load load : {Load::Answering, Load::SilentTse, Load::SlowPrinter}) {
    Note(load == Load::Answering   ? "(a) TSE server answering"
         : load == Load::SilentTse ? "(b) TSE server silent for two thirds of the run, then answering"
                                   : "(c) one kitchen printer a slow serial printer");
    failed += RunPeakLoad(options, load, seconds) != 0;
  }
  return failed ? 1 : 0;
}

}  // namespace tolven::bench
