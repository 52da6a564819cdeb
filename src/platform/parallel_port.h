// Parallel ports, written as device files.
#pragma once

#include <memory>
#include <string>

#include "common/status.h"

namespace tolven::platform {

class ParallelPort {
 public:
  virtual ~ParallelPort() = default;
  virtual Status Open(const std::string& device) = 0;
  virtual Status Write(const std::string& bytes) = 0;
  virtual void Close() = 0;
};

std::unique_ptr<ParallelPort> MakeParallelPort();

}  // namespace tolven::platform
