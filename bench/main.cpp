// tolven-bench: measures the gateway's figures against their targets.
//
//   tolven-bench FIGURE [--quick] [--bin DIR] [--dir DIR] [--keep] [--n N] [--seconds S]
//
// FIGURE: order-path-1, order-path-5, settlement, idle, soak, tse, throughput, peak, stall.
// --quick shortens the long runs for development; recorded figures use the full
// runs. --n overrides the count (orders, pairs, waits); --seconds the duration.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_util.h"
#include "figures.h"

#ifndef TOLVEN_BENCH_BIN_DIR
#define TOLVEN_BENCH_BIN_DIR "."
#endif

namespace {

int Usage() {
  std::fputs(
      "usage: tolven-bench FIGURE [--quick] [--bin DIR] [--dir DIR] [--keep] [--n N] [--seconds S]\n"
      "  FIGURE: order-path-1 order-path-5 settlement idle soak tse throughput peak stall\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tolven::bench;
  if (argc < 2) return Usage();
  const std::string figure = argv[1];
  BenchOptions options;
  options.binDir = TOLVEN_BENCH_BIN_DIR;
  const char* tmp = std::getenv("TMPDIR");
  options.parentDir = tmp && *tmp ? tmp : "/tmp";
  bool quick = false;
  int n = -1, seconds = -1;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--quick") {
      quick = true;
    } else if (a == "--keep") {
      options.keep = true;
    } else if (a == "--bin" || a == "--dir") {
      const char* v = value();
      if (!v) return Usage();
      (a == "--bin" ? options.binDir : options.parentDir) = v;
    } else if (a == "--n" || a == "--seconds") {
      const char* v = value();
      char* end = nullptr;
      long parsed = v ? std::strtol(v, &end, 10) : 0;
      if (!v || *end != '\0' || parsed <= 0 || parsed > 1000000) return Usage();
      (a == "--n" ? n : seconds) = static_cast<int>(parsed);
    } else {
      return Usage();
    }
  }
  auto pick = [&](int given, int full, int shortened) { return given > 0 ? given : quick ? shortened : full; };

  if (figure == "order-path-1") return RunOrderPath(options, 1, pick(n, 200, 30));
  if (figure == "order-path-5") return RunOrderPath(options, 5, pick(n, 200, 30));
  if (figure == "settlement") return RunSettlementCost(options, pick(n, 200, 40));
  if (figure == "idle") return RunIdleCost(options, pick(seconds, 30, 10));
  if (figure == "soak") {
    const int orders = pick(n, 2000, 200);
    return RunSoak(options, orders, orders / 4);
  }
  if (figure == "tse") return RunTseLatency(options, pick(n, 200, 40));
  if (figure == "throughput") return RunThroughput(options, 5, pick(seconds, 300, 60));
  if (figure == "peak") return RunPeak(options, pick(seconds, 300, 45));
  if (figure == "stall") return RunStall(options);
  return Usage();
}
