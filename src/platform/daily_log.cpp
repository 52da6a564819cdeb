#include "platform/daily_log.h"

#include <chrono>

#include "common/datetime.h"

namespace tolven::platform {

namespace {
constexpr auto kRetryAfter = std::chrono::seconds(5);
}  // namespace

DailyLog::DailyLog(Env& env) : env_(env), writer_([this] { Run(); }) {}

DailyLog::~DailyLog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void DailyLog::SetFolder(const std::string& logFolder) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    folder_ = logFolder;
  }
  wake_.notify_one();
}

void DailyLog::Add(const std::string& line) {
  const Date day = env_.Now().date;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.size() >= kKeptLines) {
      waiting_.pop_front();
      ++dropped_;
    }
    waiting_.push_back({day, line});
  }
  wake_.notify_one();
}

void DailyLog::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  bool failed = false;
  for (;;) {
    const auto ready = [this] { return stop_ || (!folder_.empty() && !waiting_.empty()); };
    if (failed) {
      wake_.wait_for(lock, kRetryAfter, [this] { return stop_; });
    } else {
      wake_.wait(lock, ready);
    }
    if (folder_.empty() || waiting_.empty()) {
      if (stop_) return;
      continue;
    }
    std::deque<Line> lines;
    lines.swap(waiting_);
    if (dropped_ > 0) {
      lines.push_front(
          {lines.front().day, "(" + std::to_string(dropped_) + " Zeilen verloren: Protokoll nicht beschreibbar)"});
      dropped_ = 0;
    }
    const std::string folder = folder_;
    const bool stopping = stop_;
    lock.unlock();
    failed = !Write(lines, folder);
    lock.lock();
    // What could not be written goes before what came meanwhile.
    while (!lines.empty() && waiting_.size() < kKeptLines) {
      waiting_.push_front(std::move(lines.back()));
      lines.pop_back();
    }
    dropped_ += lines.size();
    if (stopping) return;
  }
}

bool DailyLog::Write(std::deque<Line>& lines, const std::string& folder) {
  while (!lines.empty()) {
    const Date day = lines.front().day;
    std::string text;
    size_t n = 0;
    for (; n < lines.size() && lines[n].day.year == day.year && lines[n].day.month == day.month &&
           lines[n].day.day == day.day;
         ++n) {
      text += lines[n].text + "\r\n";
    }
    const std::string yearFolder = WithTrailingSep(folder) + std::to_string(day.year) + kPathSep;
    if (!env_.CreateFolder(yearFolder)) return false;
    if (!env_.AppendFile(yearFolder + "GATEWAY" + FormatYYYYMMDD(day) + ".LOG", text)) return false;
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return true;
}

}  // namespace tolven::platform
