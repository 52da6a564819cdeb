// The measuring helpers decide PASS or MISS, so they are checked themselves:
// percentiles, the kernel's accounting texts and the file events.
#include <gtest/gtest.h>
#include <sys/inotify.h>

#include "bench_util.h"
#include "terminal_watch.h"

namespace tolven::bench {
namespace {

TEST(Percentile, NearestRankOnUnsortedSeries) {
  struct Case {
    std::vector<double> samples;
    double p;
    double expected;
  } cases[] = {
      {{}, 50, 0},
      {{7}, 50, 7},
      {{7}, 95, 7},
      {{3, 1, 2}, 50, 2},
      {{4, 1, 3, 2}, 50, 2},  // nearest rank: the lower middle of an even series
      {{4, 1, 3, 2}, 100, 4},
      {{4, 1, 3, 2}, 0, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(Percentile(c.samples, c.p), c.expected) << c.p;
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(Percentile(hundred, 95), 95);
  const Summary s = Summarise(hundred);
  EXPECT_EQ(s.count, 100u);
  EXPECT_EQ(s.median, 50);
  EXPECT_EQ(s.max, 100);
  EXPECT_DOUBLE_EQ(s.mean, 50.5);
}

TEST(ProcAccounting, CpuTicksCountFieldsFromTheLastParenthesis) {
  // utime 14 and stime 15 (1-based); a name with blanks and ") (" must not shift them.
  const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 1234 56 0 0 20 0 1 0";
  EXPECT_EQ(ParseCpuTicks("4711 (tolvenpda)" + tail), 1290);
  EXPECT_EQ(ParseCpuTicks("4711 (evil) (name x)" + tail), 1290);
  EXPECT_EQ(ParseCpuTicks("4711 tolvenpda" + tail), std::nullopt);
  EXPECT_EQ(ParseCpuTicks("4711 (short) S 1 2"), std::nullopt);
  EXPECT_EQ(ParseCpuTicks("4711 (x) S 1 2 3 4 5 6 7 8 9 10 12a 56"), std::nullopt);
}

TEST(ProcAccounting, StatusValuesInKiB) {
  const std::string status =
      "Name:\ttolvenpda\nVmPeak:\t   20000 kB\nVmHWM:\t    9120 kB\nVmRSS:\t    8800 kB\nVmRSSX:\t 1 kB\n";
  EXPECT_EQ(ParseStatusKiB(status, "VmHWM"), 9120);
  EXPECT_EQ(ParseStatusKiB(status, "VmRSS"), 8800) << "a longer key with the same start is another key";
  EXPECT_EQ(ParseStatusKiB(status, "VmSwap"), std::nullopt);
  EXPECT_EQ(ParseStatusKiB("VmRSS:\t 12 MB\n", "VmRSS"), std::nullopt) << "only kB is understood";
}

TEST(ProcAccounting, LargestMappingsAddUpTheMappingsOfOneFile) {
  const std::string smaps =
      "55d0c0000000-55d0c0100000 r--p 00000000 fe:00 123   /usr/lib/libcrypto.so.3\n"
      "Size:               1024 kB\n"
      "Rss:                 300 kB\n"
      "55d0c0100000-55d0c0200000 r-xp 00100000 fe:00 123   /usr/lib/libcrypto.so.3\n"
      "Rss:                 500 kB\n"
      "7f0000000000-7f0000100000 rw-p 00000000 00:00 0 \n"
      "Rss:                 700 kB\n"
      "7f0000100000-7f0000200000 r--p 00000000 fe:00 9   /usr/lib/lib with blank.so\n"
      "Rss:                  10 kB\n";
  EXPECT_EQ(LargestMappings(smaps, 5),
            (std::vector<std::string>{"800 KiB /usr/lib/libcrypto.so.3", "700 KiB [anonymous]",
                                      "10 KiB /usr/lib/lib with blank.so"}));
  EXPECT_EQ(LargestMappings(smaps, 1).size(), 1u);
}

TEST(TerminalEvents, OnlyTheGatewaysHandOversCount) {
  struct Case {
    uint32_t mask;
    const char* name;
    std::optional<FileEvent> expected;
  } cases[] = {
      {IN_MOVED_FROM, "bestell.txt", FileEvent::OrderTaken},
      {IN_MOVED_FROM, "info.txt", FileEvent::RequestTaken},
      {IN_MOVED_TO, "confirm.kas", FileEvent::OrderConfirmed},
      {IN_CLOSE_WRITE, "confirm.kas", FileEvent::OrderConfirmed},
      {IN_MOVED_TO, "info.kas", FileEvent::RequestAnswered},
      // The terminal's own hand-over and the gateway's temporary files are not events.
      {IN_MOVED_TO, "bestell.txt", std::nullopt},
      {IN_MOVED_FROM, "bestell.txt.tmp", std::nullopt},
      {IN_CLOSE_WRITE, "confirm.kas.tmp123", std::nullopt},
      {IN_MOVED_FROM, "confirm.kas", std::nullopt},
      {IN_MOVED_TO, "INFO.KAS", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Classify(c.mask, c.name), c.expected) << c.name << " " << c.mask;
}

}  // namespace
}  // namespace tolven::bench
