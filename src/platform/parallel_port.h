// Parallel ports, written as device files.
#pragma once

#include <memory>
#include <string>

#include "common/status.h"

namespace tolven::platform {

class Env;

class ParallelPort {
 public:
  virtual ~ParallelPort() = default;
  virtual Status Open(const std::string& device) = 0;
  // Whole or an error. A device that takes nothing (a printer out of paper) is
  // waited for through `waits` in short pauses, in which other jobs run, and
  // given up after 30 s without progress.
  virtual Status Write(const std::string& bytes) = 0;
  virtual void Close() = 0;
};

std::unique_ptr<ParallelPort> MakeParallelPort(Env& waits);

}  // namespace tolven::platform
