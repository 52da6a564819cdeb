#include "loop/holds.h"

#include <cstdio>
#include <cstdlib>
#include <set>

#include "loop/event_loop.h"

namespace tolven::loop {

namespace {

// The ranks every job holds now, over all Holds (the loop has one thread).
thread_local std::map<uint64_t, std::multiset<int>> ranksHeld;

uint64_t CurrentId() {
  const Job* job = CurrentJob();
  return job ? job->id : 0;
}

}  // namespace

Holds::Holds(platform::Env& env, Rank rank) : loop_(dynamic_cast<EventLoop*>(&env)), rank_(rank) {}

bool Holds::InOrder(uint64_t job) const {
  const auto it = ranksHeld.find(job);
  return it == ranksHeld.end() || it->second.empty() || *it->second.rbegin() <= static_cast<int>(rank_);
}

Holds::Hold Holds::Take(const std::string& key) {
  const uint64_t me = CurrentId();
  auto breach = [this, &key](const std::string& what) {
    const std::string text = what + " (" + key + ")";
    if (loop_) {
      loop_->Breach(text);
    } else {
      std::fprintf(stderr, "FEHLER: Regel der Ereignisschleife verletzt: %s\n", text.c_str());
      std::abort();
    }
    // In production the job goes on without the hold rather than waiting
    // for ever.
    return Hold(nullptr, key);
  };
  if (!InOrder(me)) return breach("Reihenfolge Tisch, Gerät, Anzeige nicht eingehalten");
  auto found = held_.find(key);
  if (found != held_.end()) {
    if (found->second.owner == me) return breach("zweimal belegt vom selben Auftrag");
    if (loop_ == nullptr || !loop_->MayPause()) return breach("Warten, wo keine Pause erlaubt ist");
    found->second.waiting.push_back(me);
    // The holder hands the key over on release; then it is ours.
    while (held_.at(key).owner != me) loop_->Park();
  } else {
    held_[key].owner = me;
  }
  ranksHeld[me].insert(static_cast<int>(rank_));
  return Hold(this, key);
}

void Holds::Release(const std::string& key) {
  auto found = held_.find(key);
  if (found == held_.end()) return;
  Entry& entry = found->second;
  auto ranks = ranksHeld.find(entry.owner);
  if (ranks != ranksHeld.end() && ranks->second.count(static_cast<int>(rank_))) {
    ranks->second.erase(ranks->second.find(static_cast<int>(rank_)));
    if (ranks->second.empty()) ranksHeld.erase(ranks);
  }
  if (entry.waiting.empty()) {
    held_.erase(found);
    return;
  }
  entry.owner = entry.waiting.front();
  entry.waiting.pop_front();
  loop_->Wake(entry.owner);
}

}  // namespace tolven::loop
