// The gateway's running log, as the lower modules see it.
#pragma once

#include <string>

namespace tolven {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // One line; the time stamp is added by the log itself.
  virtual void AddLogLine(const std::string& text) = 0;
};

// Drops every line (for callers that have no log).
class NullLog final : public LogSink {
 public:
  void AddLogLine(const std::string&) override {}
};

}  // namespace tolven
