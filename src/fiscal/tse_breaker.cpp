#include "fiscal/tse_breaker.h"

#include <algorithm>

namespace tolven::fiscal {

TseBreaker::Verdict TseBreaker::Ask(int64_t nowMs) {
  if (!open_) return Verdict::Send;
  if (probing_ || nowMs < nextProbeMs_) return Verdict::Skip;
  probing_ = true;
  return Verdict::Probe;
}

void TseBreaker::Answered() {
  open_ = false;
  probing_ = false;
}

void TseBreaker::NoAnswer(int64_t nowMs, bool probe) {
  if (probe) probing_ = false;
  // Requests sent before it opened time out one after the other; the spacing
  // counts from the last of them.
  nextProbeMs_ = open_ ? std::max(nextProbeMs_, nowMs + kProbeSpacingMs) : nowMs + kProbeSpacingMs;
  open_ = true;
}

void TseBreaker::NotSent(bool probe) {
  if (probe) probing_ = false;
}

}  // namespace tolven::fiscal
