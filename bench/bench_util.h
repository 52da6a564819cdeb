// Small tools every benchmark needs: a monotonic clock in fractional
// milliseconds, summaries of a series of samples, the kernel's accounting of a
// process (CPU time and resident memory), and the one-line figure report that
// scripts/bench collects.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tolven::bench {

// Milliseconds on the monotonic clock, with sub-millisecond resolution.
double NowMs();
void SleepMs(double ms);
// CPU time of the calling thread in milliseconds.
double ThreadCpuMs();

struct Summary {
  size_t count = 0;
  double min = 0, median = 0, p95 = 0, max = 0, mean = 0;
};

// Nearest-rank percentiles (p in 0..100) of an unsorted series; an empty series gives zeros.
double Percentile(std::vector<double> samples, double p);
Summary Summarise(const std::vector<double>& samples);
// "median 12.3 ms, p95 45.6 ms, max 78.9 ms (n=200)"
std::string Describe(const Summary& s, const std::string& unit = "ms");

// CPU time of a process in clock ticks (utime + stime of /proc/<pid>/stat).
// The command name may hold blanks and parentheses, so the fields are counted
// from the last ')'.
std::optional<int64_t> ParseCpuTicks(const std::string& statText);
std::optional<int64_t> CpuTicks(pid_t pid);
int64_t TicksPerSecond();

// A "Key:   1234 kB" line of /proc/<pid>/status, in KiB.
std::optional<int64_t> ParseStatusKiB(const std::string& statusText, const std::string& key);
struct Memory {
  int64_t rssKiB = 0;   // VmRSS
  int64_t peakKiB = 0;  // VmHWM
  int64_t anonKiB = 0;  // RssAnon: the process's own memory
  int64_t fileKiB = 0;  // RssFile: mapped files, mostly shared libraries
};
std::optional<Memory> ReadMemory(pid_t pid);
// The mappings of a /proc/<pid>/smaps text holding the most resident memory,
// summed per name ("1234 KiB name"), largest first.
std::vector<std::string> LargestMappings(const std::string& smapsText, size_t count);
std::vector<std::string> LargestMappings(pid_t pid, size_t count);

// One measured figure against its target.
struct Figure {
  std::string name;
  std::string value;
  std::string target;
  bool pass = false;
};
// "FIGURE <name>: <value>  [target <target>]  PASS" on standard output, flushed.
void Report(const Figure& f);
// A detail line for the reader (standard output, indented, flushed).
void Note(const std::string& text);

std::string Fixed(double v, int decimals = 1);

// Reproducible pseudo-random delays.
class Jitter {
 public:
  explicit Jitter(uint32_t seed) : gen_(seed) {}
  double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(gen_); }

 private:
  std::mt19937 gen_;
};

}  // namespace tolven::bench
