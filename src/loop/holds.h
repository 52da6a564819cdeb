// Things (a table, a printer channel, the customer display) that one job of
// the event loop holds while its effects on them must not interleave with
// another job's: a kitchen receipt printed and marked, a receipt's bytes on a
// serial printer. A job that finds a key held waits, first come first served,
// until the holder lets go and hands it over; nobody polls.
//
// The rules, checked here (see EventLoop::Breach): a job never takes a key it
// already holds; it never waits where it must not pause (a transaction open,
// outside any job); and holds are taken in one order, table before device
// before display, so that two jobs never wait for each other.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "platform/env.h"

namespace tolven::loop {

class EventLoop;

class Holds {
 public:
  enum class Rank { Table = 1, Device = 2, Display = 3 };

  // Jobs wait through `env` when it is the event loop; elsewhere jobs run one
  // after the other and a held key is a rule broken.
  Holds(platform::Env& env, Rank rank);

  class [[nodiscard]] Hold {
   public:
    Hold(Hold&& other) noexcept : holds_(other.holds_), key_(std::move(other.key_)) { other.holds_ = nullptr; }
    ~Hold() {
      if (holds_) holds_->Release(key_);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    Hold& operator=(Hold&&) = delete;

   private:
    friend class Holds;
    // `holds` nullptr: a hold that was refused and releases nothing.
    Hold(Holds* holds, std::string key) : holds_(holds), key_(std::move(key)) {}
    Holds* holds_;
    std::string key_;
  };

  // Waits until `key` is free and holds it until the returned value goes.
  Hold Take(const std::string& key);
  bool IsHeld(const std::string& key) const { return held_.count(key) > 0; }

 private:
  struct Entry {
    uint64_t owner = 0;  // the job's id; 0 outside any job
    std::deque<uint64_t> waiting;
  };
  void Release(const std::string& key);
  // False (a breach reported) when the order of holds would be broken.
  bool InOrder(uint64_t job) const;

  EventLoop* loop_;
  Rank rank_;
  std::map<std::string, Entry> held_;
};

}  // namespace tolven::loop
