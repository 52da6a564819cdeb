#include "gateway/running_log.h"

#include "common/datetime.h"

namespace tolven::gateway {

void RunningLog::AddLogLine(const std::string& text) {
  std::string line = FormatHMS(env_.Now()) + "  " + text;
  if (line.size() > kMaxLogLineChars) line = line.substr(0, kMaxLogLineChars - 3) + "...";
  text_ += line + "\r\n";
  if (text_.size() > kLogBufferSize) text_.erase(0, text_.size() - kLogBufferSize);
  ui_.LogLine(line);
  if (afterLine_) afterLine_();
}

}  // namespace tolven::gateway
