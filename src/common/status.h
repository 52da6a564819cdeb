// The one error value of the program: cheap on success, and on failure the
// operating-system error number (0 when there is none) and a text that names
// the failing call and its path or device.
#pragma once

#include <string>
#include <utility>

namespace tolven {

class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(std::string message, int osError = 0) { return Status(std::move(message), osError); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  int osError() const { return osError_; }
  const std::string& message() const { return message_; }

 private:
  Status(std::string message, int osError) : failed_(true), osError_(osError), message_(std::move(message)) {}
  bool failed_ = false;
  int osError_ = 0;
  std::string message_;
};

}  // namespace tolven
