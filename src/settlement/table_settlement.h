// Settlement of one table paid at an order terminal: totals and VAT, then in
// one database transaction the check that the order rows are still as read
// (locked on the rows), the receipt number, header, lines, vouchers, outlays,
// account bookings, line-cancellation marks and the removal of exactly the
// settled order rows, then (after the commit) the TSE signature. A settlement
// is stored completely or not at all; a missing signature never undoes a
// stored receipt.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/log_sink.h"
#include "common/money.h"
#include "common/observer.h"
#include "common/result.h"
#include "db/station_context.h"
#include "fiscal/receipt_checks.h"
#include "fiscal/tse.h"

namespace tolven::settlement {

namespace detail {
struct Work;
}

// Receipt values this gateway does not produce itself.
struct SettlementSettings {
  // Rates 1 and 2 of a former VAT period (keys 11 and 12); 0 unless set.
  Rate oldRate1, oldRate2;
  int32_t version = 0;
  std::string timTpid;
  int32_t timTpidno = 0;
  std::string timSernr;
  // Receipts of this installation carry the customer columns.
  bool customerOnReceipt = false;
};

// What a settlement is asked for beyond its order rows.
struct SettleRequest {
  // The customer of a customer-account payment; 0 takes the customer of the first row.
  int32_t customer = 0;
  // The customer's limit plus the latest balance must cover the rows' sum;
  // checked inside the transaction, so that two payments on one account
  // cannot both pass on the same balance.
  bool checkCoverage = false;
  // Selected lines of a table: they count as one guest of their own.
  bool partial = false;
  // Written inside the settlement's transaction, after the receipt: what
  // the caller must know was settled (or not) with it, after any crash. Its
  // failure stores nothing.
  std::function<Status()> record;
};

// What one settlement came to: the receipt number, or the Status saying why
// nothing was stored, with what its caller needs after the TSE wait. Returned,
// never kept: settlements of several jobs run side by side.
struct SettlementResult : Result<int32_t> {
  using Result<int32_t>::Result;
  // A short reason for the terminal when it was refused because the table
  // changed meanwhile or the account does not cover it; "" otherwise.
  std::string refusal;
  // The signature when the receipt was signed but the signature could not be
  // stored with it, so that the printed receipt still carries it.
  std::optional<fiscal::ReceiptSignature> unstoredSignature;
};

// How a payment type pays: "BAR" in cash, the card kinds by card, "KDKTO" on
// a customer account; anything else (a room, a voucher system) is Other.
PaymentKind PaymentKindOf(const std::string& zahlart);

class TableSettlement {
 public:
  // `tse` may be null when the installation signs without a TSE (TseInUse false).
  // `observer` learns of every receipt stored and every one left unsigned.
  TableSettlement(db::StationContext& tools, LogSink& log, fiscal::Tse* tse, SettlementSettings settings = {},
                  Observer& observer = NoObserver());

  // Settles the order rows ("SELECT *, menge*epreis as gpreis FROM bestellung
  // WHERE tisch = ..."; every row with its id). `zahlart` comes back rewritten
  // for "PCA..." and "ZIMMER...". Inside the transaction the rows are locked
  // and compared with what was read; a row that is gone or changed refuses the
  // settlement. The settled rows are deleted in the same transaction, so a
  // stored receipt never leaves its rows open. Returns the receipt number, or
  // the reason when nothing was stored; a failure is reported in the log (a
  // line beginning "FEHLER"), by message box and in the SQL error log, a
  // refusal because of what another station did in the log and in the
  // result's `refusal`. A transaction stopped by a deadlock or a lock wait run out
  // is rolled back and run once more before it counts as failed. Does not
  // print the receipt.
  SettlementResult TischAbrechnen(db::ResultSet& orderRows, int32_t tisch, int32_t kanr, std::string& zahlart,
                                  Cents bargegeben = 0, Cents barzurueck = 0);
  SettlementResult TischAbrechnen(db::ResultSet& orderRows, int32_t tisch, int32_t kanr, std::string& zahlart,
                                  const SettleRequest& request, Cents bargegeben = 0, Cents barzurueck = 0);

 private:
  // After the commit: the TSE signature and its columns on the header; the
  // signature when it could not be stored.
  std::optional<fiscal::ReceiptSignature> SignReceipt(const detail::Work& work);

  db::StationContext& tools_;
  LogSink& log_;
  fiscal::Tse* tse_;
  SettlementSettings settings_;
  Observer& observer_;
};

}  // namespace tolven::settlement
