// The arithmetic of one table settlement, apart from the database: what an
// article number means, which VAT key a row falls under, the sums and VAT per
// key, the bonus redemption and what is paid how. Everything in 64 bits while
// summing; the caller stores only values that fit 32 bits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/money.h"
#include "common/status.h"

namespace tolven::settlement {

enum class RowKind {
  OwnVoucher,            // "$$$GS": sold when positive, redeemed when negative
  OnlineVoucher,         // "GASTRODIGITAL"
  ForeignVoucher,        // "$$$FGS": paid with a voucher of someone else
  PartialCash,           // "$$BAR"
  Bonus,                 // "$$$BONUS": bonus points redeemed
  Outlay,                // "$$$AUSLAGE": paid out to the guest
  SinglePurposeVoucher,  // "$$$EZGS": an article row with its own VAT key
  EmployerTip,           // "$GVTGAG"
  FreeAmount0,           // "00-MWST0"
  FreeAmount1,           // "00-MWST1"
  FreeAmount2,           // "00-MWST2"
  Article,               // any other article number
};

// Time-based articles are booked as "_ZEIT..." and compared and stored without
// the underscore.
std::string ApplyZeitRule(const std::string& artnr);
RowKind ClassifyArticle(const std::string& artnr);
// Payment rows only move money between means of payment; they are no turnover.
bool IsPaymentKind(RowKind kind);
bool IsArticleKind(RowKind kind);

// Current rates of keys 0..3 and the old rates of a former VAT period (keys 11, 12).
struct VatRates {
  std::array<Rate, 4> current{};
  Rate old1, old2;
  // The rate of a key; nullopt for a key outside 0, 1, 2, 3, 11, 12.
  std::optional<Rate> ForKey(int key) const;
};

// Slot of a key in the per-key arrays (0, 1, 2, 3, 11, 12 -> 0..5); -1 otherwise.
int KeySlot(int key);

// One order row as the settlement needs it for its totals.
struct TotalsRow {
  RowKind kind = RowKind::Article;
  int64_t gpreis = 0;
  int64_t menge = 0;
  int64_t rabatt = 0;
  int32_t gast = 0;
  int vatKey = 0;  // article rows only
};

struct SettlementTotals {
  int64_t turnover = 0;
  std::array<int64_t, 6> sum{};   // keys 0, 1, 2, 3, 11, 12
  std::array<int64_t, 6> mwst{};  // VAT of the same keys (key 0 summed row by row)
  int64_t discount = 0;
  int64_t ownRedeemed = 0, ownSold = 0;
  int64_t onlineRedeemed = 0, onlineSold = 0;
  int64_t foreign = 0;
  int64_t partialCash = 0;
  int64_t outlays = 0;
  int64_t bonus = 0;
  std::array<int64_t, 3> bonusSplit{};  // share of the bonus taken from key 0, 1, 2
  int64_t restDue = 0;
  int64_t cashPart = 0;
  int32_t guests = 1;
  // Guest numbers outside 0..99 that were left out of the guest count.
  std::vector<int32_t> unmarkedGuests;
  bool receiptIsMix = false;  // a payment row turns the receipt's payment type into "MIX"
};

// Pass 1 over the rows. `tableGuests` is tische.gaeste (0: count the guests).
// An error with the reason when a total that is stored would leave 32 bits.
Status ComputeTotals(const std::vector<TotalsRow>& rows, const VatRates& rates, int32_t tableGuests,
                     const std::string& receivedZahlart, SettlementTotals& totals);

// The process data handed to the TSE: "Beleg^" + the class sums + "^" + payments.
std::string BuildProcessData(const SettlementTotals& totals, const std::string& receiptZahlart,
                             const std::string& receivedZahlart);

}  // namespace tolven::settlement
