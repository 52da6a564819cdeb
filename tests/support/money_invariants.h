// What must hold over every row of the money path, however stations raced and
// wherever a gateway was killed: a test runs its scenario and then asks for the
// violations (empty when the database is consistent).
#pragma once

#include <string>
#include <vector>

#include "db/connection.h"

namespace tolven::testing {

// One line per violation over every row of the database:
// - every order line the test made (orderedArticles: article numbers, each
//   used by exactly one order line of quantity 1) is either still open in
//   `bestellung` or on exactly one receipt line (`kasspro`);
// - every receipt's lines sum to its total, its key sums add up to the
//   total, it has its journal booking, and no receipt line is without header;
// - every ledger's running balance equals the sum of its bookings (`kdkto` by
//   `kdktobunr`, `barsaldo` by `lfdnr` per register, `bkto` by time), and each
//   receipt's cash-balance bookings match its journal's cash lines;
// - receipt, sequence and booking numbers are unique.
std::vector<std::string> CheckMoneyInvariants(db::Connection& conn,
                                              const std::vector<std::string>& orderedArticles = {});

}  // namespace tolven::testing
