// The gateway's record of the payment requests it settled, in the order
// journal's table. The row is written in the settlement's own transaction
// and marked answered once the terminal's answer file is written. So after a
// crash between the commit and the answer, the request file left behind, or
// the terminal's resend of the same request, gets the stored answer and
// nothing is settled twice; a request sent again after its answer was
// delivered is a new payment.
#pragma once

#include <string>

#include "common/log_sink.h"
#include "db/station_context.h"
#include "gateway/order_journal.h"
#include "platform/env.h"

namespace tolven::gateway {

class RequestJournal {
 public:
  RequestJournal(db::StationContext& tools, LogSink& log) : tools_(tools), log_(log), table_(tools, log) {}

  // "anfrage-" + content hash + "-" + size + "-" + modification time: a resend
  // matches on the contents alone (the terminal writes it anew), the file
  // found again after a crash on the whole of it.
  static std::string Identity(const std::string& contents, const platform::FileInfo& info);

  // The table exists (created when missing, outside any transaction).
  bool Ready() { return table_.Ready(); }
  // Inside the settlement's transaction: settled, answer not yet delivered.
  Status Record(int slot, const std::string& identity, const std::string& answer);
  // The answer file with `answer` is written.
  void Answered(int slot, const std::string& identity, const std::string& answer);

  enum class Lookup { Found, NotFound, Unknown };
  // The row of this very request file, answered or not.
  Lookup FindFile(int slot, const std::string& identity, std::string& answer, bool& answered);
  // A row of the same contents whose answer never reached the terminal,
  // recorded within the last kResendMinutes; `identity` becomes that row's.
  Lookup FindResend(int slot, std::string& identity, std::string& answer);
  // A terminal sends again within minutes; an older row left unanswered (its
  // mark failed) must not turn a new payment of the same table into "OK".
  static constexpr int kResendMinutes = 15;

 private:
  Lookup Find(const std::string& where, std::string& identity, std::string& answer, bool& answered);

  db::StationContext& tools_;
  LogSink& log_;
  OrderJournal table_;  // creates and prunes the shared table
};

}  // namespace tolven::gateway
