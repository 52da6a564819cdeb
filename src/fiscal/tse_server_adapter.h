// The TSE server adapter: every start and finish becomes a request row in
// `tse_server_req` for the installation's TSE server, which answers with a row in
// `tse_server_ans` carrying the same register number and correlation key.
#pragma once

#include <cstdint>
#include <string>

#include "common/log_sink.h"
#include "db/db_tools.h"

namespace tolven::fiscal {

class TseServerAdapter {
 public:
  virtual ~TseServerAdapter() = default;
  // Result: the transaction number, -1 on failure.
  virtual int32_t Start(const std::string& processType, const std::string& processData, int32_t& startTime) = 0;
  // Result: true when the signature is not empty.
  virtual bool Finish(int32_t transactionNumber, const std::string& processType, const std::string& processData,
                      std::string& serialNumber, int32_t& finishTime, int32_t& signatureCounter,
                      std::string& signature) = 0;
};

class Tse;

class TseServerClient final : public TseServerAdapter {
 public:
  static constexpr int kAnswerTimeoutMs = 15000;
  static constexpr int kFirstPauseMs = 200;
  // Between two looks at the answer table: an answer is noticed within about
  // ten milliseconds, and the shared database sees at most 100 looks a second
  // from each waiting register (4 ms gave about 240).
  static constexpr int kPollPauseMs = 10;

  explicit TseServerClient(db::DbTools& tools) : tools_(tools) {}
  // The main log receives a line for every failure the operator must see.
  void SetLog(LogSink& log) { log_ = &log; }
  // The facade whose readiness flag and TSE log this adapter maintains.
  void Attach(Tse& tse) { tse_ = &tse; }

  int32_t Start(const std::string& processType, const std::string& processData, int32_t& startTime) override;
  bool Finish(int32_t transactionNumber, const std::string& processType, const std::string& processData,
              std::string& serialNumber, int32_t& finishTime, int32_t& signatureCounter,
              std::string& signature) override;

  // Hundredths of a second since midnight, unique per adapter within a day.
  int32_t NextCorrelationKey();

  // Counters for the status page and the benchmarks.
  int64_t answerQueries() const { return answerQueries_; }
  const std::string& lastTimeout() const { return lastTimeout_; }

 private:
  bool SendRequest(const std::string& sql, int32_t key);
  // Polls for the answer row; nullptr after the time-out.
  std::unique_ptr<db::ResultSet> WaitForAnswer(const std::string& columns, int32_t key);
  void CleanUp(int32_t key);
  void Log(const std::string& text);
  void SetReady(bool ready);
  std::string Where(int32_t key) const;

  db::DbTools& tools_;
  NullLog nullLog_;
  LogSink* log_ = &nullLog_;
  Tse* tse_ = nullptr;
  int32_t lastKey_ = -1;
  int64_t answerQueries_ = 0;
  std::string lastTimeout_;
};

}  // namespace tolven::fiscal
