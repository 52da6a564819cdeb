// The order path through the real gateway and the TSE server stand-in: the
// benchmark plays the terminals and reads the kernel's file events, so the
// gateway runs unchanged.
#include <set>

#include "back_to_back.h"
#include "bench_util.h"
#include "figures.h"
#include "installation.h"
#include "terminal_watch.h"

namespace tolven::bench {

namespace {

// The hand-over waits before the gateway takes an order file (250 + 300 ms).
constexpr double kHandOverMs = 550;
// Fixed waits of every order the gateway handles in this installation: the
// hand-over, the first pause of the TSE start and of the TSE finish (200 ms
// each), the pause after each of the two kitchen receipts (50 ms each) and the
// loop's wait after the slot (50 ms).
constexpr double kAfterConfirmFixedMs = 2 * 200 + 2 * 50 + 50;
constexpr double kFixedPerOrderMs = kHandOverMs + kAfterConfirmFixedMs;

}  // namespace

int RunOrderPath(const BenchOptions& options, int slots, int orders) {
  Installation inst({options.binDir, options.parentDir, slots, options.keep});
  if (!StartInstallation(inst)) return 1;
  TerminalWatch watch(Folders(inst, slots));
  if (!watch.ok()) {
    Note("FEHLER: inotify not available");
    return 1;
  }
  Jitter jitter(static_cast<uint32_t>(1000 + slots));
  std::vector<double> latency, own;
  const int warmup = 2;
  int failed = 0;
  for (int i = -warmup; i < orders; ++i) {
    const int done = i + warmup;
    const int slot = 1 + done % slots;
    // The gateway must be back in its loop: the previous order is signed, and
    // the arrival falls at a random point of the loop's pass.
    if (!inst.WaitForSignatures(done, 30000)) {
      Note("FEHLER: order " + std::to_string(done) + " was not signed");
      return 1;
    }
    SleepMs(200 + jitter.Uniform(0, 50.0 * slots));
    if (!DropFile(inst.Terminal(slot), "bestell.txt", OrderFile(10 + slot, 3, kOrderLines, Tag(slot, done)))) {
      Note("FEHLER: order file cannot be written");
      return 1;
    }
    const double t0 = NowMs();
    auto taken = watch.WaitFor(slot, FileEvent::OrderTaken, 30000);
    auto confirmed = taken ? watch.WaitFor(slot, FileEvent::OrderConfirmed, 30000) : std::nullopt;
    if (!confirmed) {
      Note("FEHLER: no confirmation for order " + std::to_string(done));
      return 1;
    }
    if (!TakeAnswer(inst.Terminal(slot) + "confirm.kas")) ++failed;
    if (i < 0) continue;
    latency.push_back(confirmed->ms - t0 - kHandOverMs);
    own.push_back(confirmed->ms - taken->ms);
  }
  inst.StopAll();
  const auto errors = inst.GatewayErrors();
  for (size_t e = 0; e < errors.size() && e < 5; ++e) Note("gateway: " + errors[e]);

  const Summary l = Summarise(latency), w = Summarise(own);
  const std::string where = std::to_string(slots) + (slots == 1 ? " slot" : " slots") + " in use";
  Note("order path minus 550 ms hand-over, " + where + ": " + Describe(l));
  Note("own work (rename to confirm.kas), " + where + ": " + Describe(w));
  const double medianTarget = slots == 1 ? 40 : 150, p95Target = slots == 1 ? 70 : 280;
  const bool answersOk = failed == 0 && errors.empty();
  Report({"order path, " + where + " (latency - 550 ms, " + std::to_string(orders) + " orders)",
          "median " + Fixed(l.median) + " ms, p95 " + Fixed(l.p95) + " ms" +
              (answersOk ? ""
                         : ", " + std::to_string(failed) + " answers not OK, " + std::to_string(errors.size()) +
                               " FEHLER lines"),
          "median <= " + Fixed(medianTarget, 0) + " ms, p95 <= " + Fixed(p95Target, 0) + " ms",
          answersOk && l.median <= medianTarget && l.p95 <= p95Target});
  Report({"own work, rename to confirm.kas, " + where, "median " + Fixed(w.median) + " ms, p95 " + Fixed(w.p95) + " ms",
          "median <= 10 ms", w.median <= 10});
  return 0;
}

int RunThroughput(const BenchOptions& options, int terminals, int seconds) {
  Installation inst({options.binDir, options.parentDir, terminals, options.keep});
  if (!StartInstallation(inst)) return 1;
  TerminalWatch watch(Folders(inst, terminals));
  if (!watch.ok()) {
    Note("FEHLER: inotify not available");
    return 1;
  }
  BackToBackOptions run;
  run.terminals = terminals;
  run.seconds = seconds;
  BackToBackRun r;
  if (!RunBackToBack(inst, watch, run, r)) return 1;
  const int confirmed = r.confirmed(), notOk = r.notOk;
  const double elapsed = r.elapsedS;
  const std::set<std::string>& sentTags = r.sentTags;
  const bool allSigned = inst.WaitForSignatures(confirmed, 30000);
  inst.StopAll();

  std::vector<double> latency, residual, ahead, own;
  for (const ConfirmedOrder& d : r.done) {
    own.push_back(d.confirmed - d.taken);
    int others = 0;
    for (const auto& [when, slot] : r.takings) {
      if (when > d.sent && when < d.confirmed && slot != d.slot) ++others;
    }
    latency.push_back(d.confirmed - d.sent - kHandOverMs);
    ahead.push_back(others);
    // The gateway first finishes the terminal's previous order (TSE, kitchen),
    // then every order of another terminal that comes before it in the loop.
    residual.push_back(d.confirmed - d.sent - kHandOverMs - (d.afterOwn ? kAfterConfirmFixedMs : 0) -
                       others * kFixedPerOrderMs);
  }
  const BookingCheck check = CheckBookings(inst, sentTags);
  const auto errors = inst.GatewayErrors();
  for (size_t e = 0; e < errors.size() && e < 5; ++e) Note("gateway: " + errors[e]);
  const std::string kitchenMissing = inst.Scalar("SELECT COUNT(*) FROM bestellung WHERE haskuebon = 0");
  const std::string signedOrders = inst.Scalar("SELECT COUNT(*) FROM tse_bestellungen WHERE tse_signatur <> ''");

  const Summary l = Summarise(latency), res = Summarise(residual), a = Summarise(ahead), w = Summarise(own);
  Note(std::to_string(confirmed) + " orders in " + Fixed(elapsed) + " s (" + Fixed(confirmed / elapsed * 60.0) +
       " per minute); " + std::to_string(sentTags.size()) + " sent");
  Note("latency - 550 ms: " + Describe(l));
  Note("orders of other terminals handled while one waited: " + Describe(a, "orders"));
  Note("latency minus every fixed wait on its way (its hand-over 550 ms, the rest of its terminal's previous order " +
       Fixed(kAfterConfirmFixedMs, 0) + " ms, " + Fixed(kFixedPerOrderMs, 0) +
       " ms per order of another terminal): " + Describe(res));
  Note("own work (rename to confirm.kas): " + Describe(w));
  Note("kitchen receipts missing: " + kitchenMissing + ", orders signed: " + signedOrders +
       ", all signed in time: " + (allSigned ? "yes" : "no"));
  const bool complete = notOk == 0 && check.ok() && errors.empty() && confirmed == static_cast<int>(sentTags.size()) &&
                        kitchenMissing == "0" && signedOrders == std::to_string(confirmed);
  Report({"throughput, " + std::to_string(terminals) + " terminals back to back, " + std::to_string(seconds) + " s",
          std::to_string(confirmed) + " orders confirmed (" + std::to_string(notOk) + " not OK), " + check.Text() +
              ", " + std::to_string(errors.size()) + " FEHLER lines",
          "every order confirmed once, none lost, none booked twice", complete});
  Report({"throughput order path (latency - 550 ms)", "median " + Fixed(l.median) + " ms, p95 " + Fixed(l.p95) + " ms",
          "median <= 150 ms, p95 <= 280 ms", l.median <= 150 && l.p95 <= 280});
  return 0;
}

}  // namespace tolven::bench
