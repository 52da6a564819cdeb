// The gateway's running log: every line goes to the console with its time, and
// the newest 4000 characters stay in memory for the status page.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "common/log_sink.h"
#include "platform/env.h"
#include "platform/ui.h"

namespace tolven::gateway {

inline constexpr size_t kLogBufferSize = 4000;
// One log line is cut to this length (a line may quote a terminal's file).
inline constexpr size_t kMaxLogLineChars = 1000;

class RunningLog final : public LogSink {
 public:
  // `afterLine` (may be empty) runs after every line: the poll loop's chance to
  // notice a stop request while a long step logs its progress.
  RunningLog(platform::Env& env, platform::Ui& ui, std::function<void()> afterLine = {})
      : env_(env), ui_(ui), afterLine_(std::move(afterLine)) {}

  void AddLogLine(const std::string& text) override;
  // The newest lines, CR LF after each, at most kLogBufferSize characters.
  const std::string& text() const { return text_; }

 private:
  platform::Env& env_;
  platform::Ui& ui_;
  std::function<void()> afterLine_;
  std::string text_;
};

}  // namespace tolven::gateway
