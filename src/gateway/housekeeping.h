// The program's own old files: its logs and the exchange files set aside,
// deleted once they are older than the days kept (TOLVEN.INI [LOG]
// AUFBEWAHRUNG_TAGE; 0 keeps them). Never the TSE day logs (LOG/<year>/TSE/),
// the receipt archives or anything else fiscal: those stay ten years and are
// the operator's to move.
#pragma once

#include <string>
#include <vector>

#include "common/log_sink.h"
#include "platform/env.h"

namespace tolven::gateway {

class Housekeeping {
 public:
  static constexpr int64_t kEveryMs = 24LL * 3600 * 1000;

  Housekeeping(platform::Env& env, LogSink& log, std::string installationFolder, int keepDays)
      : env_(env), log_(log), folder_(std::move(installationFolder)), keepDays_(keepDays) {}

  // Deletes what is older than the days kept; the files deleted.
  std::vector<std::string> Prune();

 private:
  platform::Env& env_;
  LogSink& log_;
  std::string folder_;  // the installation folder, ending in a separator
  int keepDays_;
};

}  // namespace tolven::gateway
