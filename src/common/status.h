// The one error value of the program: cheap on success, and on failure a text
// that names the failing call and its path, device or statement, plus what a
// caller decides on: the operating-system error number (0 when there is none),
// or for a database failure the engine's own error number and state text and
// whether another station's lock caused it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tolven {

// What kind of failure a caller may react to differently.
enum class ErrorKind {
  Other,
  // Another station held what the work needed (a deadlock, a lock wait run
  // out, a busy database file): the same work may succeed when run again.
  Conflict,
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(std::string message, int osError = 0) {
    Status s(std::move(message));
    s.osError_ = osError;
    return s;
  }
  // A failure reported by a database engine: its native error number (0 when
  // it has none), its five-character state (SQLSTATE) where it has one and
  // the engine or driver that reported it.
  static Status EngineError(std::string message, int32_t code, std::string state, ErrorKind kind = ErrorKind::Other,
                            std::string source = {}) {
    Status s(std::move(message));
    s.code_ = code;
    s.state_ = std::move(state);
    s.kind_ = kind;
    s.source_ = std::move(source);
    return s;
  }
  // The same failure with a text put before its message.
  Status Prefixed(const std::string& prefix) const {
    Status s = *this;
    s.message_ = prefix + message_;
    return s;
  }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  int osError() const { return osError_; }
  const std::string& message() const { return message_; }
  int32_t code() const { return code_; }
  const std::string& state() const { return state_; }
  const std::string& source() const { return source_; }
  ErrorKind kind() const { return kind_; }
  bool IsConflict() const { return kind_ == ErrorKind::Conflict; }

 private:
  explicit Status(std::string message) : failed_(true), message_(std::move(message)) {}
  bool failed_ = false;
  int osError_ = 0;
  int32_t code_ = 0;
  ErrorKind kind_ = ErrorKind::Other;
  std::string message_;
  std::string state_;
  std::string source_;
};

}  // namespace tolven
