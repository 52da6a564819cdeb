// The working state of one settlement, shared by its reading part and its
// transaction. Internal to the settlement module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "common/log_sink.h"
#include "db/station_context.h"
#include "settlement/receipt_record.h"
#include "settlement/settlement_totals.h"
#include "settlement/table_settlement.h"

namespace tolven::settlement::detail {

// One order row with everything the receipt needs from the article tables,
// read once before the transaction so that totals and lines cannot disagree.
struct OrderRow {
  int64_t id = 0;
  // The stored values the settlement is made of, as read; the transaction
  // settles the row only while it still holds exactly these.
  std::string stored;
  std::string artnr;  // after the "_ZEIT" rule
  RowKind kind = RowKind::Article;
  std::string artbez, rabgrund, info;
  int64_t menge = 0;
  int64_t epreis = 0;
  int64_t gpreis = 0;
  int64_t rabatt = 0;
  int32_t gast = 0;
  int32_t konto = 0;
  int32_t artgrp = 0;
  Rate volgew;
  // Resolved for article rows.
  int vatKey = 0;
  Rate rate;
  int32_t ticket = 0;
  int32_t kostenstelle = 0;
  int32_t artgrp2 = 0;
  std::string grpbez, grpbez2;
};

struct Work {
  SettleRequest request;
  int32_t tisch = 0;
  int32_t kanr = 0;
  std::string received;  // payment type as received (after the "PCA"/"ZIMMER" rewriting)
  std::string receipt;   // the receipt's own payment type
  int32_t pcatransid = 0;
  std::string cardno;
  Cents bargegeben = 0, barzurueck = 0;
  DateTime start;  // when the settlement started
  DateTime time;   // receipt time, taken when the transaction begins
  Customer customer;
  std::string kaname;
  std::string bubemerk;
  int32_t tableGuests = 0;
  int32_t tseStartbest = 0;
  int gstypKey = 0;
  int32_t bonusAccount = 0;
  VatRates rates;
  std::vector<OrderRow> rows;
  SettlementTotals totals;
  int32_t bunr = 0;
  int32_t seqnr = 0;
  // Set with the error when the transaction refused the settlement because of
  // what others did (rows gone or changed, account not covering): the short
  // reason for the terminal.
  std::string refusal;
  // Set with the engine's text when the transaction failed on a lock
  // conflict with another station (a deadlock, a lock wait run out): nothing
  // was stored, and running the settlement again may succeed.
  std::string conflict;
};

// The columns of an order row whose values make up the settlement, as a list for SELECT.
std::string SettledColumns();
// Those values of the current row of `rs`, joined into one text to compare.
std::string StoredValues(const db::ResultSet& rs);

// "PCA" + one separator + "transaction id;card number" becomes "PCA" with the
// id and card number in work; "ZIMMER;room;guest" becomes "ZIMMER". Sets the
// received and the receipt's payment type.
void RewritePaymentType(std::string& zahlart, Work& work);

// Refused when the system bans settling on waiter 0 and `kanr` is 0.
Status WaiterMaySettle(db::StationContext& tools, int32_t kanr);

// Everything before the transaction: customer, waiter, table, the rows with
// their VAT keys, the totals. False with the reason when the settlement must be
// refused; nothing has been written then.
Status ReadSettlement(db::StationContext& tools, LogSink& log, db::ResultSet& orderRows, Work& work);

// The transaction. The error text (label and database text) after a rollback;
// work.bunr holds the number drawn, if any.
Status StoreSettlement(db::StationContext& tools, const SettlementSettings& settings, Work& work);

}  // namespace tolven::settlement::detail
