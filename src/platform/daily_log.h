// The running log as files of one day each, for a gateway whose output
// nobody reads (a Windows service): <folder>/<year>/GATEWAY<YYYYMMDD>.LOG,
// Windows-1252 lines ending in CR LF. The lines are written by a thread of
// their own, so a slow or full disk holds up no caller; until the folder is
// known and while it cannot be written, up to kKeptLines wait in memory.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/env.h"

namespace tolven::platform {

class DailyLog {
 public:
  static constexpr size_t kKeptLines = 20000;

  explicit DailyLog(Env& env);
  // Writes what is still waiting, as far as the folder takes it.
  ~DailyLog();
  DailyLog(const DailyLog&) = delete;
  DailyLog& operator=(const DailyLog&) = delete;

  // The installation's LOG folder; lines given before are written then.
  void SetFolder(const std::string& logFolder);
  // One line, without its line end; the day is that of the call.
  void Add(const std::string& line);

 private:
  struct Line {
    Date day;
    std::string text;
  };
  void Run();
  // Appends `lines` (of one day each run) and drops what was written; false
  // when the folder refused them.
  bool Write(std::deque<Line>& lines, const std::string& folder);

  Env& env_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Line> waiting_;
  std::string folder_;
  size_t dropped_ = 0;
  bool stop_ = false;
  std::thread writer_;
};

}  // namespace tolven::platform
