// What the modules report to the monitoring as it happens: typed events, so
// that no counter is read back from a log line, a request's text or the
// wording of a message. Every call comes on the event loop's thread; the
// defaults do nothing, so a module built without monitoring (a test, a tool)
// is given NoObserver().
#pragma once

#include <cstdint>
#include <string>

namespace tolven {

// What a terminal asked for in "info.txt".
enum class RequestKind {
  LogIn,            // ANMELDUNG
  TableData,        // the open lines of a table
  CashPayment,      // ABRECHNEN
  CardPayment,      // EC, GIRO, CC, VISA, MASTER, AMEX, PAYPAL
  CustomerPayment,  // KUKA, ZAHLUNGKK: on a customer account
};

// How a stored receipt was paid.
enum class PaymentKind { Cash, Card, CustomerAccount, Other };

// What became of one request to the TSE server.
enum class TseRequestOutcome {
  Answered,  // the server answered (with or without a signature)
  NoAnswer,  // stored, but no answer within the time-out
  NotSent,   // the request could not be stored
  HeldBack,  // not sent while the server is silent
};

class Observer {
 public:
  virtual ~Observer() = default;

  // An order file was answered: `stored` when its booking was committed;
  // `linesRefused` of its lines were answered as errors.
  virtual void OrderBooked(int /*slot*/, bool /*stored*/, int /*linesRefused*/) {}
  // A request was read from a terminal's request file; its answer follows.
  virtual void RequestRead(int /*slot*/, RequestKind /*kind*/) {}
  // A receipt was committed, and how it was paid.
  virtual void SettlementStored(int32_t /*bunr*/, PaymentKind /*kind*/) {}
  // A stored receipt was left without a TSE signature.
  virtual void ReceiptUnsigned(int32_t /*bunr*/) {}
  // A kitchen or customer receipt did not come out: the printer as the
  // configuration calls it, the table (0: none), and why.
  virtual void PrintoutFailed(const std::string& /*printer*/, int32_t /*table*/, const std::string& /*why*/) {}
  // A start or finish sent to the TSE server ended.
  virtual void TseRequestEnded(TseRequestOutcome /*outcome*/) {}
  // The poll loop finished a pass over the terminal slots.
  virtual void PassDone(int64_t /*monotonicMs*/) {}
};

// An observer that ignores everything.
inline Observer& NoObserver() {
  static Observer none;
  return none;
}

}  // namespace tolven
