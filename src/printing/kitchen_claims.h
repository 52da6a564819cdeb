// Who prints a kitchen line. `bestellung.haskuebon` keeps its meaning for the
// POS programs (false: the kitchen has not had it; true: printed); while a line
// is pending, the row of the gateway's own table `pdakuebon` says which
// printout of which station has taken it. A claim is taken in the database, so
// two stations or two jobs of one station ordering on one table never print the
// same line: an order claims its own lines inside its booking transaction, and
// a printout takes older lines nobody holds (a failed printout released them,
// or a POS program booked them) with one statement that only one taker wins.
//
// A claim row also remembers the TSE transaction that signed its line, so a
// line that an order signed but could not print is not signed again when it
// finally reaches the kitchen. Rows go with the line's mark; a station's claims
// left by a killed run are taken over by its next start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "db/station_context.h"

namespace tolven::printing {

inline constexpr const char* kKitchenClaimTable = "pdakuebon";

class KitchenClaims {
 public:
  KitchenClaims(db::StationContext& tools, LogSink& log) : tools_(tools), log_(log) {}

  // Creates the table when missing (never inside a transaction).
  Status Ready();
  bool ready() const { return ready_; }

  // A new claim name of this station: unique across its runs and jobs.
  std::string NewToken();

  // Inside an order's booking transaction: every pending line of the table
  // with an id above `aboveId` that nobody holds, which are the order's own
  // lines (another gateway's lines come with their claim in the same commit).
  Status ClaimBooked(const std::string& token, int32_t table, int64_t aboveId);
  // Every pending line of the table nobody holds. Run on its own, not in a transaction.
  Status ClaimPending(const std::string& token, int32_t table);
  // This station's claims left by an interrupted run, per table, moved to fresh
  // tokens (each table's token is returned, in table order).
  std::vector<std::pair<int32_t, std::string>> TakeOverStationClaims();
  // Removes claims of lines that are gone or marked by someone else.
  void Prune();

  // The condition that selects the lines of `token` in `bestellung`.
  static std::string LinesOf(const std::string& token);
  // Lines of `token` already signed by an earlier order.
  static std::string SignedLinesOf(const std::string& token);
  // How many lines `token` holds.
  int64_t Count(const std::string& token);
  // Pending lines of the table that a printout of this station or another
  // holds right now.
  int64_t CountHeld(int32_t table);

  // After the printout: every line of the token not on `failedPrinters` is
  // marked printed and its claim removed, in one transaction; the others stay held.
  Status MarkPrinted(const std::string& token, const std::vector<int>& failedPrinters);
  // Gives the lines the token still holds back (they stay pending), noting
  // `signedBy` (non-zero) as the transaction that signed them.
  void Release(const std::string& token, int32_t signedBy);

 private:
  std::string Now() const;
  // " FROM bestellung WHERE" the table's pending lines.
  std::string Pending(int32_t table) const;
  // The statement that claims the table's pending lines nobody holds (and `condition`).
  std::string InsertUnheld(const std::string& token, int32_t table, const std::string& condition) const;

  db::StationContext& tools_;
  LogSink& log_;
  bool ready_ = false;
  int64_t counter_ = 0;
  std::string run_;
};

}  // namespace tolven::printing
