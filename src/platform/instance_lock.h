// Single-instance guard: an exclusive lock on a file, released when the process
// ends (also when it crashes, so a stale lock never keeps the gateway down).
#pragma once

#include <memory>
#include <string>

#include "common/status.h"

namespace tolven::platform {

class InstanceLock {
 public:
  virtual ~InstanceLock() = default;
  // Ok when this process now holds the lock; an error when another process holds it
  // (busy() then tells) or the file cannot be opened.
  virtual Status Acquire(const std::string& path) = 0;
  virtual bool busy() const = 0;
};

std::unique_ptr<InstanceLock> MakeInstanceLock();
// False where the lock is the system's own object and the file only shows it
// to other computers (Windows: a named mutex), so a folder this account may
// not write stops nothing.
bool InstanceLockNeedsFile();

}  // namespace tolven::platform
