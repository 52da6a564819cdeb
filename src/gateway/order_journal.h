// The gateway's own record of the order files it booked. Its row is written in
// the booking's transaction, so after a crash between the commit and the
// terminal's confirmation a work file found again is recognised as booked and
// only gets its answer, never a second booking. The table belongs to the
// gateway alone (created when missing); the POS programs' tables are never
// altered. Rows older than a few days are removed.
#pragma once

#include <cstdint>
#include <string>

#include "common/log_sink.h"
#include "db/station_context.h"
#include "platform/env.h"

namespace tolven::gateway {

inline constexpr const char* kOrderJournalTable = "pdajournal";
inline constexpr int kOrderJournalDays = 7;

class OrderJournal {
 public:
  OrderJournal(db::StationContext& tools, LogSink& log) : tools_(tools), log_(log) {}

  // The identity of an order file: hash of its contents, its size and its
  // modification time (two equal orders sent at different times stay apart).
  static std::string Identity(const std::string& contents, const platform::FileInfo& info);

  // Creates the table when missing (outside any transaction). False while it
  // cannot be used; tried again a minute later.
  bool Ready();

  // Inside the booking transaction. `settlementPending` marks an order whose
  // cash settlement comes after the commit.
  Status Record(int slot, const std::string& identity, bool settlementPending, const std::string& answer);
  // The final answer once the settlement was decided.
  void Conclude(int slot, const std::string& identity, const std::string& answer);

  enum class Lookup { Booked, NotBooked, Unknown };
  // Booked: `answer` is what the terminal was (or should have been) told.
  Lookup Find(int slot, const std::string& identity, std::string& answer, bool& settlementPending);

 private:
  std::string Where(int slot, const std::string& identity) const;
  void Prune();

  db::StationContext& tools_;
  LogSink& log_;
  bool ready_ = false;
  int64_t nextTryMs_ = 0;
  int64_t nextPruneMs_ = 0;
};

}  // namespace tolven::gateway
