// The TSE server adapter: every start and finish becomes a request row in
// `tse_server_req` for the installation's TSE server, which answers with a row in
// `tse_server_ans` carrying the same register number and correlation key.
// The adapter only carries requests and answers; what a failure means (the
// readiness flag, the logs) is the facade's business.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/datetime.h"
#include "db/station_context.h"

namespace tolven::fiscal {

// What became of one request to the TSE server.
struct TseOutcome {
  enum class Kind {
    Answered,  // the answer row came; its fields below
    NoAnswer,  // the request was stored, no answer came within the time-out
    NotSent,   // the request could not be stored; `reason` says why
    HeldBack,  // not sent: the server is silent and another request probes it
  };
  Kind kind = Kind::NotSent;
  std::string reason;
  DateTime sent;                   // when the request was stored and the wait began
  int32_t transactionNumber = -1;  // start: the number the TSE gave
  int32_t logTime = 0;             // start or finish time, seconds since 1970 UTC
  std::string serialNumber;        // finish
  int32_t signatureCounter = 0;    // finish
  std::string signature;           // finish; an answer may carry an empty one

  bool answered() const { return kind == Kind::Answered; }
};

class TseServerAdapter {
 public:
  virtual ~TseServerAdapter() = default;
  virtual TseOutcome Start(const std::string& processType, const std::string& processData) = 0;
  virtual TseOutcome Finish(int32_t transactionNumber, const std::string& processType,
                            const std::string& processData) = 0;
};

class TseServerClient final : public TseServerAdapter {
 public:
  static constexpr int kAnswerTimeoutMs = 15000;
  static constexpr int kFirstPauseMs = 200;
  // Between two looks at the answer table: an answer is noticed within about
  // ten milliseconds, and the shared database sees at most 100 looks a second
  // from each register, however many of its requests wait (4 ms gave about 240).
  static constexpr int kPollPauseMs = 10;

  explicit TseServerClient(db::StationContext& tools) : tools_(tools) {}

  TseOutcome Start(const std::string& processType, const std::string& processData) override;
  TseOutcome Finish(int32_t transactionNumber, const std::string& processType, const std::string& processData) override;

  // Hundredths of a second since midnight, unique per adapter within a day.
  int32_t NextCorrelationKey();

  // Looks at the answer table, for the status page and the benchmarks.
  int64_t answerQueries() const { return answerQueries_; }

 private:
  // Stores the request and waits for its answer.
  TseOutcome Request(const std::string& sql, int32_t key);
  // Stores the request row; the failure is the database's.
  Status SendRequest(const std::string& sql, int32_t key);
  // Waits for the answer row and takes its fields; false after the time-out.
  bool WaitForAnswer(int32_t key, TseOutcome& outcome);
  // One look at the answer table for every request still waiting.
  void LookForAnswers();
  void CleanUp(int32_t key);
  std::string Where(int32_t key) const;

  db::StationContext& tools_;
  int32_t lastKey_ = -1;
  int64_t answerQueries_ = 0;
  // Requests of this register waiting for their answers (jobs of the event
  // loop wait side by side), and when the answer table was last looked at.
  struct Waiting {
    bool arrived = false;
    TseOutcome answer;
  };
  std::map<int32_t, Waiting> waiting_;
  int64_t lastLookMs_ = INT64_MIN / 2;
};

}  // namespace tolven::fiscal
