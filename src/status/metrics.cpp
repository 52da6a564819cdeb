#include "status/metrics.h"

#include <cstdio>
#include <ctime>

#include "platform/env.h"

namespace tolven::status {

void PassHistogram::Add(int64_t ms) {
  ++count;
  sumMs += ms;
  for (size_t i = 0; i < kPassBucketsMs.size(); ++i) {
    if (ms <= kPassBucketsMs[i]) {
      ++buckets[i];
      return;
    }
  }
}

const char* RequestKindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::LogIn: return "anmeldung";
    case RequestKind::TableData: return "tischdaten";
    case RequestKind::CashPayment: return "abrechnung";
    case RequestKind::CardPayment: return "kartenzahlung";
    case RequestKind::CustomerPayment: return "kundenzahlung";
  }
  return "tischdaten";
}

void StatusCounters::OrderBooked(int /*slot*/, bool stored, int linesRefused) {
  if (stored) ++counts_.ordersBooked;
  counts_.linesRefused += linesRefused;
}

void StatusCounters::RequestRead(int /*slot*/, RequestKind kind) { ++counts_.requests[RequestKindName(kind)]; }

void StatusCounters::SettlementStored(int32_t /*bunr*/, PaymentKind /*kind*/) { ++counts_.settlements; }

void StatusCounters::ReceiptUnsigned(int32_t /*bunr*/) { ++counts_.receiptsUnsigned; }

void StatusCounters::PrintoutFailed(const std::string& /*printer*/, int32_t /*table*/, const std::string& /*why*/) {
  ++counts_.printFailures;
}

void StatusCounters::TseRequestEnded(TseRequestOutcome outcome) {
  if (outcome == TseRequestOutcome::NoAnswer) ++counts_.tseTimeouts;
}

void StatusCounters::PassDone(int64_t monotonicMs) {
  if (lastPassMs_ >= 0) passes_.Add(monotonicMs - lastPassMs_);
  lastPassMs_ = monotonicMs;
}

Status WatchedConnection::Note(Status outcome) {
  ++health_.statements;
  health_.ok = outcome.ok();
  if (outcome) {
    health_.error.clear();
  } else {
    ++health_.failures;
    health_.error = outcome.message().empty() ? "unbekannter Fehler" : outcome.message();
  }
  return outcome;
}

std::string IsoLocalTime(const std::string& text) {
  int d = 0, mo = 0, y = 0, h = 0, mi = 0, s = 0, used = 0;
  if (std::sscanf(text.c_str(), "%2d.%2d.%4d %2d:%2d:%2d%n", &d, &mo, &y, &h, &mi, &s, &used) != 6 || used != 19) {
    return text;
  }
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;  // the offset that held at that moment (summer or winter time)
  std::time_t t = std::mktime(&tm);
  long offset = 0;
  if (t != static_cast<std::time_t>(-1)) offset = static_cast<long>(platform::DefaultEnv().UtcOffsetAt(t));
  const char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char out[40];
  std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", y, mo, d, h, mi, s, sign, offset / 3600,
                (offset % 3600) / 60);
  return out + text.substr(19);
}

}  // namespace tolven::status
