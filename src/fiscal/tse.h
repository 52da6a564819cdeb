// The one door to the fiscal signing device (TSE): start a transaction, finish
// it, or both in one go. Every request goes through the TSE server of the
// installation (TseServerAdapter); this facade owns the result record, the
// readiness flag and the TSE day log, and decides what each outcome of a
// request means for them and for the logs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/log_sink.h"
#include "common/observer.h"
#include "common/result.h"
#include "db/station_context.h"
#include "fiscal/tse_breaker.h"
#include "platform/pending_writes.h"

namespace tolven::fiscal {

inline constexpr const char* kProcessTypeReceipt = "Kassenbeleg-V1";
inline constexpr const char* kProcessTypeOrder = "Bestellung-V1";
// A transaction that is neither receipt nor order: the gateway's own check
// whether the TSE server answers.
inline constexpr const char* kProcessTypeOther = "SonstigerVorgang";
inline constexpr const char* kServerCheckData = "Verbindungstest";

// Serial numbers of the TSE server stand-in (tools/tse-sim) begin with this.
// Its signatures have no fiscal value: a receipt signed by it is not valid.
inline constexpr const char* kSimulatorSerialPrefix = "TOLVENSIM-";
inline bool IsSimulatorSerial(const std::string& serial) { return serial.rfind(kSimulatorSerialPrefix, 0) == 0; }

// The number a receipt's transaction has when its start failed: its finish
// is still sent with it, and a signature it brings is stored under it.
inline constexpr int32_t kNoTransaction = -1;

// A transaction the TSE started.
struct TseStart {
  int32_t transactionNumber = 0;
  int32_t startTime = 0;  // seconds since 1970 UTC
};

// What the finish of a transaction brought back.
struct TseSignature {
  std::string serialNumber;
  int32_t finishTime = 0;  // seconds since 1970 UTC
  int32_t signatureCounter = 0;
  std::string signature;  // never empty
};

// What the callers store with a receipt or an order.
struct TseResult {
  int32_t transactionNumber = kNoTransaction;
  int32_t startTime = 0;  // seconds since 1970 UTC
  int32_t finishTime = 0;
  std::string serialNumber;
  int32_t signatureCounter = 0;
  std::string signature;  // empty: the finish failed
  std::string processType;
  std::string processData;
};

// Texts of the receipt QR code that the TSE server does not deliver; set in
// TOLVEN.INI section "TSE" (KASSENID, SIGALGORITHMUS, PUBLICKEY).
struct TseIdentity {
  std::string registerId;
  std::string signatureAlgorithm = "ecdsa-plain-SHA384";
  std::string publicKey;
};

class TseServerAdapter;
struct TseOutcome;

class Tse {
 public:
  // `adapter` carries out every start and finish. TseReady starts true when the
  // TSE is in use: the first request is the probe, so the first settlement
  // after a restart is signed. Day log lines that cannot be written wait in
  // `pending` (when given) until the file can be written again.
  // `observer` learns the outcome of every request.
  Tse(db::StationContext& tools, TseServerAdapter& adapter, TseIdentity identity,
      platform::PendingWrites* pending = nullptr, Observer& observer = NoObserver());

  bool TseInUse() const { return tools_.state().tseInUse; }
  bool TseReady() const { return ready_; }
  // Cleared on every request that failed, set again by every answer.
  void SetReady(bool ready) { ready_ = ready; }
  const TseIdentity& identity() const { return identity_; }
  // The main log receives a line for every failure the operator must see.
  void SetLog(LogSink& log) { log_ = &log; }

  // Starts a transaction with empty process type and data. A failure has
  // been logged already; its message says what happened to the request.
  Result<TseStart> TSE_StartTransaction();
  // Finishes the transaction; a failure (also an answer without a signature)
  // has been logged already.
  Result<TseSignature> TSE_FinishTransaction(int32_t transactionNumber, const std::string& processType,
                                             const std::string& processData);
  // Start, then finish with the number the start gave (kNoTransaction when it
  // failed, unless the breaker held the start back: then the finish is held
  // back too). A failure is Unsigned(number the finish was sent with).
  Result<TseResult> TSE_StartAndFinish(const std::string& processType, const std::string& processData);
  // Signs a receipt ("Kassenbeleg-V1") whatever TseReady says: while the
  // server is silent the breaker sends it as the probe when one is due and
  // holds it back otherwise, so signing comes back with payments alone.
  Result<TseResult> SignReceipt(const std::string& processData) {
    return TSE_StartAndFinish(kProcessTypeReceipt, processData);
  }
  // The failure of a start and finish that brought no signature: its message
  // is "TSE-Trx=<number>", as the record of an unsigned receipt keeps it.
  static Status Unsigned(int32_t transactionNumber);

  // "YYYY-MM-DDTHH:MM:SS.000Z" of seconds since 1970 (already UTC, no shift).
  static std::string TSE_UnixTimeToISO(int64_t seconds);

  // Appends one line to the TSE day log at once: LogPfad + "TSE/TSE_VS_<kasse>_<YYMMDD>.LOG".
  void WriteTseLog(const std::string& text);
  std::string TseLogPath();

  db::StationContext& tools() { return tools_; }
  // Open: requests are held back after a time-out, except one probe at a time.
  bool serverSilent() const { return breaker_.open(); }
  // Asks the TSE server whether it answers, with a transaction of its own
  // (kProcessTypeOther, kServerCheckData), where no order or receipt would
  // find out: called at the start, and while the server is silent it asks
  // only when a probe is due. True when it asked, whatever the answer (the
  // facade has dealt with that); false when no check was due.
  bool CheckServer();
  // Whether CheckServer would ask now.
  bool CheckDue() { return TseInUse() && (!breaker_.open() || breaker_.ProbeDue(tools_.env().MonotonicMs())); }

 private:
  // The day log lines of one request (a receipt's start and finish are one),
  // each stamped when it happened and written together when the request ends:
  // requests of several jobs wait side by side, and their lines interleaved
  // could be told apart only by lining up times.
  struct LogBlock {
    std::vector<std::pair<DateTime, std::string>> lines;
  };
  void Note(LogBlock& block, const std::string& text) { block.lines.emplace_back(tools_.env().Now(), text); }
  void WriteBlock(const LogBlock& block);
  // `heldBack`: the breaker held the start back (not sent at all).
  Result<TseStart> Start(LogBlock& block, bool& heldBack);
  Result<TseSignature> Finish(LogBlock& block, int32_t transactionNumber, const std::string& processType,
                              const std::string& processData, bool holdBack);
  // Sends the request unless the breaker (or `holdBack`) holds it back, takes
  // the outcome (TakeOutcome) and tells the breaker what came of it.
  TseOutcome Request(const std::function<TseOutcome()>& send, const std::string& what, LogBlock& block,
                     bool holdBack = false);
  // The line stamped with the time the event happened.
  std::string LogLine(const std::string& text, const DateTime& at);
  // Logs the wait and its end and sets the readiness flag. `what` names the
  // request in the time-out messages ("Trx-Start").
  void TakeOutcome(const TseOutcome& outcome, const std::string& what, LogBlock& block);
  // The failure of a request that was not answered, as TakeOutcome logged it.
  static Status Unanswered(const TseOutcome& outcome, const std::string& what);

  db::StationContext& tools_;
  TseServerAdapter& adapter_;
  TseIdentity identity_;
  bool ready_;
  TseBreaker breaker_;
  platform::PendingWrites* pending_;
  NullLog nullLog_;
  LogSink* log_ = &nullLog_;
  Observer& observer_;
};

}  // namespace tolven::fiscal
