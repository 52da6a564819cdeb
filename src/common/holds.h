// Things (a table, a printer channel) that one job of the event loop holds
// while its effects on them must not interleave with another job's: a kitchen
// receipt printed and marked, a receipt's bytes on a serial printer. A job that
// finds a key held pauses until it is free. Outside the event loop jobs run one
// after the other and nobody ever waits.
#pragma once

#include <functional>
#include <set>
#include <string>

namespace tolven {

class Holds {
 public:
  // `pause` waits a few milliseconds and lets other jobs run meanwhile.
  explicit Holds(std::function<void(int ms)> pause) : pause_(std::move(pause)) {}

  class [[nodiscard]] Hold {
   public:
    Hold(Holds& holds, std::string key) : holds_(holds), key_(std::move(key)) {}
    ~Hold() { holds_.held_.erase(key_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    Holds& holds_;
    std::string key_;
  };

  // Waits until `key` is free and holds it until the returned value goes. A job
  // never takes a key it already holds.
  Hold Take(const std::string& key) {
    while (held_.count(key)) pause_(kPauseMs);
    held_.insert(key);
    return Hold(*this, key);
  }
  bool IsHeld(const std::string& key) const { return held_.count(key) > 0; }

 private:
  static constexpr int kPauseMs = 5;
  std::function<void(int)> pause_;
  std::set<std::string> held_;
};

}  // namespace tolven
