#include "settlement/table_settlement.h"

#include "common/text.h"
#include "settlement/receipt_record.h"
#include "settlement/settlement_work.h"

namespace tolven::settlement {

namespace {

// A log line stays one line.
std::string OneLine(std::string text) {
  text = ReplaceAll(std::move(text), "\r\n", " ");
  return ReplaceAll(std::move(text), "\n", " ");
}

}  // namespace

PaymentKind PaymentKindOf(const std::string& zahlart) {
  if (zahlart == "BAR") return PaymentKind::Cash;
  if (zahlart == "KDKTO") return PaymentKind::CustomerAccount;
  for (const char* card : {"EC", "GIRO", "CC", "VISA", "MASTER", "AMEX", "PAYPAL"}) {
    if (zahlart == card) return PaymentKind::Card;
  }
  return PaymentKind::Other;
}

TableSettlement::TableSettlement(db::StationContext& tools, LogSink& log, fiscal::Tse* tse, SettlementSettings settings,
                                 Observer& observer)
    : tools_(tools), log_(log), tse_(tse), settings_(std::move(settings)), observer_(observer) {}

SettlementResult TableSettlement::TischAbrechnen(db::ResultSet& orderRows, int32_t tisch, int32_t kanr,
                                                 std::string& zahlart, Cents bargegeben, Cents barzurueck) {
  return TischAbrechnen(orderRows, tisch, kanr, zahlart, SettleRequest{}, bargegeben, barzurueck);
}

SettlementResult TableSettlement::TischAbrechnen(db::ResultSet& orderRows, int32_t tisch, int32_t kanr,
                                                 std::string& zahlart, const SettleRequest& request, Cents bargegeben,
                                                 Cents barzurueck) {
  detail::Work w;
  w.request = request;
  w.start = tools_.env().Now();
  w.tisch = tisch;
  w.kanr = kanr;
  w.bargegeben = bargegeben;
  w.barzurueck = barzurueck;
  detail::RewritePaymentType(zahlart, w);
  w.receipt = zahlart;
  w.rates.current = tools_.state().mwst;
  w.rates.old1 = settings_.oldRate1;
  w.rates.old2 = settings_.oldRate2;

  // The system's ban on waiter 0 names no table; the refusals of the data
  // do, so that the operator can correct it and settle again.
  Status read = detail::WaiterMaySettle(tools_, kanr);
  std::string why = read.message();
  if (read) {
    read = detail::ReadSettlement(tools_, log_, orderRows, w);
    why = read.message() + " - Tisch " + std::to_string(tisch) + " nicht abgerechnet.";
  }
  if (!read) {
    tools_.LogSqlError(why);
    log_.AddLogLine("FEHLER: " + OneLine(why));
    return read;
  }

  // A deadlock or a lock wait run out has rolled the whole transaction back;
  // it runs once more, reading and locking the rows anew, before it counts
  // as failed.
  Status stored = detail::StoreSettlement(tools_, settings_, w);
  if (!stored && !w.conflict.empty()) {
    log_.AddLogLine("Tisch " + std::to_string(tisch) + ": Sperrkonflikt mit einer anderen Station (" +
                    OneLine(w.conflict) + "), Abrechnung wird wiederholt.");
    stored = detail::StoreSettlement(tools_, settings_, w);
  }
  if (!stored) {
    const std::string& error = stored.message();
    if (!w.refusal.empty()) {
      // Not a fault of this station: the table changed under it, or the
      // account does not cover the bill. Nothing was stored.
      log_.AddLogLine("Tisch " + std::to_string(tisch) + " nicht abgerechnet: " + OneLine(error));
      SettlementResult refused(stored);
      refused.refusal = w.refusal;
      return refused;
    }
    const std::string text = (w.bunr > 0 ? std::to_string(w.bunr) + ": " : std::string()) + error;
    tools_.LogSqlError(text);
    log_.AddLogLine("FEHLER: Tisch " + std::to_string(tisch) + " Beleg " + OneLine(text));
    return stored;
  }

  observer_.SettlementStored(w.bunr, PaymentKindOf(w.received));
  SettlementResult settled(w.bunr);
  settled.unstoredSignature = SignReceipt(w);
  return settled;
}

std::optional<fiscal::ReceiptSignature> TableSettlement::SignReceipt(const detail::Work& w) {
  if (!tools_.state().tseInUse) return std::nullopt;
  const std::string processData = BuildProcessData(w.totals, w.receipt, w.received);
  // Whether it is sent is the TSE breaker's call (a silent server is probed by
  // receipts too); an unsigned receipt is reported like a failed signature so
  // that it can be found and signed later.
  const Result<fiscal::TseResult> signing =
      tse_ ? tse_->SignReceipt(processData) : Result<fiscal::TseResult>(fiscal::Tse::Unsigned(fiscal::kNoTransaction));
  if (!signing) {
    const std::string text = "Beleg " + std::to_string(w.bunr) + " nicht über TSE abgesichert";
    tools_.ui().MessageBox(text, platform::MsgKind::Critical);
    log_.AddLogLine("FEHLER: " + text);
    observer_.ReceiptUnsigned(w.bunr);
    // The failure names the transaction ("TSE-Trx=<number>").
    tools_.WriteSysLogMemo("P", text, signing.status().message() + "\r\n" + "processData=" + processData);
    return std::nullopt;
  }
  const fiscal::TseResult& result = *signing;
  const std::string qr = BuildQrText(tse_->identity(), result);
  if (Status updated = UpdateTseColumns(tools_, w.bunr, result, w.tseStartbest, qr); !updated) {
    const std::string text = "TSE-Signatur erfolgreich, aber nicht gespeichert: " + updated.message();
    tools_.LogSqlError(text);
    log_.AddLogLine("FEHLER: Beleg " + std::to_string(w.bunr) + ": " + OneLine(text));
    // The receipt is signed: its printout shows the signature, not a failed TSE.
    return fiscal::ReceiptSignature{w.bunr, result, qr};
  }
  return std::nullopt;
}

}  // namespace tolven::settlement
