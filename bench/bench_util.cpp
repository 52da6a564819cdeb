#include "bench_util.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <thread>

namespace tolven::bench {

double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(double ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

double ThreadCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  // Nearest rank: the smallest sample with at least p % of the series at or below it.
  double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
  size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

Summary Summarise(const std::vector<double>& samples) {
  Summary s;
  s.count = samples.size();
  if (samples.empty()) return s;
  s.min = *std::min_element(samples.begin(), samples.end());
  s.max = *std::max_element(samples.begin(), samples.end());
  s.median = Percentile(samples, 50);
  s.p95 = Percentile(samples, 95);
  s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
  return s;
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Describe(const Summary& s, const std::string& unit) {
  return "median " + Fixed(s.median) + " " + unit + ", p95 " + Fixed(s.p95) + " " + unit + ", max " + Fixed(s.max) +
         " " + unit + " (n=" + std::to_string(s.count) + ")";
}

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  if (!in) return "";
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

std::optional<int64_t> ParseCpuTicks(const std::string& statText) {
  size_t close = statText.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream in(statText.substr(close + 1));
  // After the name: state(3) ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime(14) stime(15).
  std::string field;
  int64_t utime = 0, stime = 0;
  for (int n = 3; n <= 15; ++n) {
    if (!(in >> field)) return std::nullopt;
    if (n == 14 || n == 15) {
      char* end = nullptr;
      long long v = std::strtoll(field.c_str(), &end, 10);
      if (end == field.c_str() || *end != '\0' || v < 0) return std::nullopt;
      (n == 14 ? utime : stime) = v;
    }
  }
  return utime + stime;
}

std::optional<int64_t> CpuTicks(pid_t pid) { return ParseCpuTicks(ReadText("/proc/" + std::to_string(pid) + "/stat")); }

int64_t TicksPerSecond() { return ::sysconf(_SC_CLK_TCK); }

std::optional<int64_t> ParseStatusKiB(const std::string& statusText, const std::string& key) {
  std::istringstream in(statusText);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
    std::istringstream fields(line.substr(key.size() + 1));
    int64_t value = 0;
    std::string unit;
    if (!(fields >> value >> unit) || unit != "kB" || value < 0) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

std::optional<Memory> ReadMemory(pid_t pid) {
  const std::string text = ReadText("/proc/" + std::to_string(pid) + "/status");
  auto rss = ParseStatusKiB(text, "VmRSS");
  auto hwm = ParseStatusKiB(text, "VmHWM");
  if (!rss || !hwm) return std::nullopt;
  return Memory{*rss, *hwm, ParseStatusKiB(text, "RssAnon").value_or(0), ParseStatusKiB(text, "RssFile").value_or(0)};
}

std::vector<std::string> LargestMappings(pid_t pid, size_t count) {
  return LargestMappings(ReadText("/proc/" + std::to_string(pid) + "/smaps"), count);
}

std::vector<std::string> LargestMappings(const std::string& smapsText, size_t count) {
  std::istringstream in(smapsText);
  std::map<std::string, int64_t> rss;
  std::string line, name;
  while (std::getline(in, line)) {
    if (line.compare(0, 4, "Rss:") == 0) {
      rss[name] += std::strtoll(line.c_str() + 4, nullptr, 10);
    } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < line.find(' ')) {
      // "start-end perms offset dev inode   name"; anonymous mappings have no name.
      std::istringstream fields(line);
      std::string skip;
      for (int i = 0; i < 5; ++i) fields >> skip;
      name.clear();
      if (fields >> std::ws) std::getline(fields, name);
      if (name.empty()) name = "[anonymous]";
    }
  }
  std::vector<std::pair<int64_t, std::string>> sorted;
  for (const auto& [n, kib] : rss) sorted.emplace_back(kib, n);
  std::sort(sorted.rbegin(), sorted.rend());
  std::vector<std::string> out;
  for (size_t i = 0; i < sorted.size() && i < count; ++i) {
    out.push_back(std::to_string(sorted[i].first) + " KiB " + sorted[i].second);
  }
  return out;
}

void Report(const Figure& f) {
  std::printf("FIGURE %s: %s  [target %s]  %s\n", f.name.c_str(), f.value.c_str(), f.target.c_str(),
              f.pass ? "PASS" : "MISS");
  std::fflush(stdout);
}

void Note(const std::string& text) {
  std::printf("  %s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace tolven::bench
