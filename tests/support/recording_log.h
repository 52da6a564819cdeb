// A log that keeps every line it is given.
#pragma once

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "common/text.h"

namespace tolven::testing {

class RecordingLog : public LogSink {
 public:
  void AddLogLine(const std::string& text) override { lines.push_back(text); }
  bool Has(const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(part) != std::string::npos; });
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [](const auto& l) { return StartsWith(l, "FEHLER"); });
    return out;
  }
  std::vector<std::string> lines;
};

}  // namespace tolven::testing
