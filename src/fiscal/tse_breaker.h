// Whether a request goes to the TSE server at all. Every request that finds
// the server silent waits its full time-out; with orders coming from five
// terminals that would be a queue of 15-second waits. After a time-out the
// breaker is open: requests are not sent (the order or receipt is stored
// unsigned at once), except one at a time as a probe, the first no sooner than
// kProbeSpacingMs after the time-out and each further one that long after the
// previous probe ended without an answer. Any answer closes it again.
#pragma once

#include <cstdint>

namespace tolven::fiscal {

class TseBreaker {
 public:
  static constexpr int64_t kProbeSpacingMs = 10000;

  enum class Verdict {
    Send,   // closed: the request goes out as always
    Probe,  // open: this request goes out as the probe
    Skip,   // open: not sent
  };

  // Asked for each request; a Probe must be followed by one of the calls below.
  Verdict Ask(int64_t nowMs);
  void Answered();
  void NoAnswer(int64_t nowMs, bool probe);
  // The request could not be stored; the next one may probe at once.
  void NotSent(bool probe);

  bool open() const { return open_; }
  // Open, no probe under way, and the spacing since the last one passed.
  bool ProbeDue(int64_t nowMs) const { return open_ && !probing_ && nowMs >= nextProbeMs_; }

 private:
  bool open_ = false;
  bool probing_ = false;
  int64_t nextProbeMs_ = 0;
};

}  // namespace tolven::fiscal
