// The running account ledgers a receipt is booked into: customer account
// (`kdkto`), bonus points (`bkto`), payment journal (`buch2`) and the register's
// cash balance (`barsaldo`). Each booking appends one row whose balance is the
// previous balance plus the amount; none of them retries or opens a transaction
// of its own, so they belong inside the settlement's transaction.
#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"
#include "common/money.h"
#include "db/station_context.h"
#include "fiscal/receipt_checks.h"

namespace tolven::settlement {

using fiscal::RecordCRC;

// Hundredths of a second since midnight: the sub-second stamp of a booking.
int32_t Msecs(const DateTime& t);

// The balance of the customer's newest account booking (0 when there is
// none). Inside a settlement's transaction it sees the settlement's own
// bookings; bookings of the same second count in the order of their numbers.
Result<int64_t> LatestKdktoSaldo(db::StationContext& tools, int32_t kdnr);

// Customer account: the booking number (`kdktobunr`).
Result<int32_t> BookKdkto(db::StationContext& tools, int32_t kdnr, Cents betrag, const std::string& txt, int32_t bunr,
                          int32_t seqnr);

// Bonus points of a customer. The booking's time carries hundredths of a
// second and lies after the customer's newest booking, which is the only order
// this ledger has.
Status BookBkto(db::StationContext& tools, int32_t kdnr, int32_t punkte, const std::string& txt);

// Payment journal. A payment type of exactly "BAR" also books the cash balance;
// when that fails the error says so ("barsaldo: " and why).
Status BookBuch2(db::StationContext& tools, int32_t typ, int32_t bunr, int32_t seqnr, const std::string& zahlart,
                 Cents betrag, const std::string& txt, int32_t kdnr);

// Cash balance of this register.
Status BookBarsaldo(db::StationContext& tools, int32_t bunr, Cents betrag, const std::string& txt);

}  // namespace tolven::settlement
