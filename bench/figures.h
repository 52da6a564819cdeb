// The benchmark figures. Each prints its detail lines and one "FIGURE" line
// per target, and returns 0 when it could be measured (a missed target is
// still a measurement), non-zero when the run itself failed.
#pragma once

#include <string>

namespace tolven::bench {

struct BenchOptions {
  std::string binDir;     // tolvenpda and tse-sim
  std::string parentDir;  // where the temporary installations go (the disk being measured)
  bool keep = false;      // keep the installations for inspection
};

// 1. A 10-line order from "bestell.txt" appearing to "confirm.kas" in place,
// with `slots` terminal folders in use.
int RunOrderPath(const BenchOptions& options, int slots, int orders);
// 2. TischAbrechnen against a bare transaction with the same rows.
int RunSettlementCost(const BenchOptions& options, int rounds);
// 3. CPU used by an idle gateway with five slots.
int RunIdleCost(const BenchOptions& options, int seconds);
// 4. Peak and growth of resident memory over orders and settlements.
int RunSoak(const BenchOptions& options, int orders, int settlements);
// 5. Answer rows noticed by the TSE server adapter, and its query rate.
int RunTseLatency(const BenchOptions& options, int waits);
// 6. Five terminals ordering back to back.
int RunThroughput(const BenchOptions& options, int terminals, int seconds);
// 7. Five terminals back to back for `seconds` each: TSE server answering,
// silent for two thirds of the run, and one slow serial kitchen printer.
int RunPeak(const BenchOptions& options, int seconds);
// 8. Five terminals while a parallel printer takes no bytes for 30 s and while
// another program holds the database's write lock for 20 s: the other
// terminals' answers; and the first answer after a restart with the TSE server
// silent and three tables of pending kitchen lines.
int RunStall(const BenchOptions& options);

}  // namespace tolven::bench
