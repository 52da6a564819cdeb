// What the gateway counts for monitoring: the events the modules report to
// their observer, the database's last outcome, and the pass durations. The processing thread owns the counters; the
// collector copies them into each snapshot, so the web server's threads read only the snapshot (never the processing
// thread's database connection).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "common/observer.h"
#include "db/forwarding_connection.h"
#include "platform/env.h"

namespace tolven::status {

// Upper bounds of the pass-duration histogram in milliseconds. A pass sleeps
// 50 ms per terminal slot, so an idle pass takes a quarter of a second.
inline constexpr std::array<int64_t, 9> kPassBucketsMs = {300, 500, 1000, 2000, 5000, 10000, 30000, 60000, 120000};

struct PassHistogram {
  std::array<int64_t, kPassBucketsMs.size()> buckets{};  // per bucket, not cumulative
  int64_t count = 0;
  int64_t sumMs = 0;
  void Add(int64_t ms);
};

struct StatusCounts {
  int64_t ordersBooked = 0;
  int64_t linesRefused = 0;
  int64_t settlements = 0;
  int64_t receiptsUnsigned = 0;
  int64_t tseTimeouts = 0;
  int64_t printFailures = 0;
  std::map<std::string, int64_t> requests;  // by kind
};

// The name a request kind is counted under ("anmeldung", "tischdaten" ...).
const char* RequestKindName(RequestKind kind);

// Counters of the processing thread, as the modules' observer.
class StatusCounters final : public Observer {
 public:
  void OrderBooked(int slot, bool stored, int linesRefused) override;
  void RequestRead(int slot, RequestKind kind) override;
  void SettlementStored(int32_t bunr, PaymentKind kind) override;
  void ReceiptUnsigned(int32_t bunr) override;
  void PrintoutFailed(const std::string& printer, int32_t table, const std::string& why) override;
  void TseRequestEnded(TseRequestOutcome outcome) override;
  // The time since the last call is the pass.
  void PassDone(int64_t monotonicMs) override;

  const StatusCounts& counts() const { return counts_; }
  const PassHistogram& passes() const { return passes_; }

 private:
  StatusCounts counts_;
  PassHistogram passes_;
  int64_t lastPassMs_ = -1;
};

// The outcome of the processing thread's last database statement.
struct DatabaseHealth {
  bool ok = true;
  std::string error;  // of the last failed statement, when it was the last one
  int64_t statements = 0;
  int64_t failures = 0;
};

// A connection in front of the gateway's own that notes whether each
// statement succeeded; everything else passes through unchanged.
class WatchedConnection final : public db::ForwardingConnection {
 public:
  using ForwardingConnection::ForwardingConnection;
  const DatabaseHealth& health() const { return health_; }

  Status Execute(const std::string& sql) override { return Note(base().Execute(sql)); }
  Status ExecuteWith(const std::string& sql, const std::vector<db::SqlArg>& args) override {
    return Note(base().ExecuteWith(sql, args));
  }
  Result<db::ResultSet> Query(const std::string& sql) override {
    Result<db::ResultSet> rs = base().Query(sql);
    (void)Note(rs.status());
    return rs;
  }
  Status BeginTrans() override { return Note(base().BeginTrans()); }
  Status CommitTrans() override { return Note(base().CommitTrans()); }
  Status RollbackTrans() override { return Note(base().RollbackTrans()); }
  Status Savepoint(const std::string& name) override { return Note(base().Savepoint(name)); }
  Status RollbackToSavepoint(const std::string& name) override { return Note(base().RollbackToSavepoint(name)); }
  Status ReleaseSavepoint(const std::string& name) override { return Note(base().ReleaseSavepoint(name)); }
  Status ExecuteForSession(const std::string& sql) override { return Note(base().ExecuteForSession(sql)); }

 private:
  Status Note(Status outcome);

  DatabaseHealth health_;
};

// "DD.MM.YYYY HH:MM:SS" (the gateway's local time, anything after it kept)
// as ISO 8601 with the local offset of that moment, "2026-03-29T14:05:00+02:00";
// "" stays "", a text of another form is returned unchanged.
std::string IsoLocalTime(const std::string& dmyHms);

}  // namespace tolven::status
