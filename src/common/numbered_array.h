// Elements numbered 1..N, the way the installation counts terminal slots and
// printers: there is no element 0 to skip and no index arithmetic at the call
// sites. A number outside 1..N is a programming error.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>

namespace tolven {

template <typename T, int N>
class NumberedArray {
 public:
  static_assert(N > 0);
  static constexpr int kCount = N;
  static constexpr bool Contains(int n) { return n >= 1 && n <= N; }

  T& operator[](int n) {
    assert(Contains(n));
    return items_[static_cast<size_t>(n - 1)];
  }
  const T& operator[](int n) const {
    assert(Contains(n));
    return items_[static_cast<size_t>(n - 1)];
  }

  // In numbering order, for loops that need no number.
  auto begin() { return items_.begin(); }
  auto end() { return items_.end(); }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::array<T, N> items_{};
};

}  // namespace tolven
