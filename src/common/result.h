// A value, or the Status that says why there is none.
#pragma once

#include <optional>
#include <utility>

#include "common/status.h"

namespace tolven {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  // A failed Status; an ok one here would be a result without a value.
  Result(Status status) : status_(std::move(status)) {
    if (status_.ok()) status_ = Status::Error("Result ohne Wert");
  }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }

  // Only when ok().
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }

  T value_or(T fallback) const& { return value_ ? *value_ : std::move(fallback); }
  T value_or(T fallback) && { return value_ ? std::move(*value_) : std::move(fallback); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace tolven
