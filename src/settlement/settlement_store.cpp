// The transaction of a settlement: every statement that stores the receipt.
// The first failure ends it; the caller's rollback then removes everything,
// the counters drawn inside included.
#include <map>

#include "common/text.h"
#include "db/transaction.h"
#include "fiscal/receipt_checks.h"
#include "settlement/ledgers.h"
#include "settlement/settlement_work.h"

namespace tolven::settlement::detail {

using db::GetFieldValue;

namespace {

class Store {
 public:
  Store(db::StationContext& tools, const SettlementSettings& settings, Work& work)
      : tools_(tools), settings_(settings), w_(work), t_(work.totals) {}

  Status Run() {
    if (!LockRows() || !CheckCoverage() || !DrawNumbers() || !WriteHeader() || !WriteRows() || !BookPayments() ||
        !UpdateCustomer() || !MarkCancellations() || !DeleteRows() || !Record()) {
      return Status::Error(error_);
    }
    return Status::Ok();
  }

 private:
  bool Fail(const std::string& label, const std::string& text, bool lineBreak = false) {
    error_ = label + (lineBreak ? "\r\n" : "") + text;
    return false;
  }

  bool Refuse(const std::string& reason, const std::string& detail) {
    w_.refusal = reason;
    error_ = reason + " " + detail;
    return false;
  }

  // The ids of the settled rows, at most `per` in one list.
  std::vector<std::string> IdLists(size_t per = 500) const {
    std::vector<std::string> lists;
    for (size_t k = 0; k < w_.rows.size(); ++k) {
      if (k % per == 0) lists.emplace_back();
      lists.back() += (k % per ? " , " : "") + NumStr(w_.rows[k].id);
    }
    return lists;
  }

  // The rows were read before the transaction; another station or a POS
  // program may have settled, moved or changed them since. Locked now, they
  // must still be exactly what the totals were computed from.
  bool LockRows() {
    std::map<int64_t, std::string> now;
    for (const std::string& ids : IdLists()) {
      auto rs =
          tools_.Open(tools_.dialect().SelectLocked("id, " + SettledColumns(), "bestellung", "id IN ( " + ids + " )"));
      if (!rs) return Fail("bestellung: ", rs.status().message());
      for (; !rs->Eof(); rs->MoveNext()) now[GetFieldValue(*rs, "id").AsInt64()] = StoredValues(*rs);
    }
    int gone = 0, changed = 0;
    for (const OrderRow& r : w_.rows) {
      auto it = now.find(r.id);
      if (it == now.end()) {
        ++gone;
      } else if (it->second != r.stored) {
        ++changed;
      }
    }
    if (gone == 0 && changed == 0) return true;
    return Refuse(
        "Tisch " + std::to_string(w_.tisch) + " wurde inzwischen geändert oder abgerechnet.",
        "(" + std::to_string(gone) + " Positionen nicht mehr offen, " + std::to_string(changed) + " geändert)");
  }

  // A customer-account payment: limit plus the latest balance must cover the
  // rows. The customer's row stays locked to the commit, so a second payment
  // on the account waits and then sees this one's booking.
  bool CheckCoverage() {
    if (!w_.request.checkCoverage) return true;
    const int32_t kdnr = w_.customer.kdnr;
    const std::string label = "Deckung des Kundenkontos " + std::to_string(kdnr) + " nicht lesbar: ";
    auto rs = tools_.Open(
        tools_.dialect().SelectLocked(tools_.dialect().Column("limit"), "kunden", "kdnr = " + NumStr(kdnr)));
    if (!rs) return Fail(label, rs.status().message());
    const int64_t limit = rs->Eof() ? 0 : GetFieldValue(*rs, "limit").AsInt64();
    auto latest = LatestKdktoSaldo(tools_, kdnr);
    if (!latest) return Fail(label, latest.status().message());
    const int64_t balance = *latest;
    int64_t sum = 0;
    for (const OrderRow& r : w_.rows) sum += r.menge * r.epreis;
    if (limit + balance >= sum) return true;
    return Refuse("Keine ausreichende Deckung auf dem Kundenkonto.",
                  "(Kunde " + std::to_string(kdnr) + ", Limit " + std::to_string(limit) + ", Saldo " +
                      std::to_string(balance) + ", Summe " + std::to_string(sum) + ")");
  }

  // Exactly the settled rows leave the table, with the receipt; a line booked
  // meanwhile stays open.
  bool DeleteRows() {
    for (const std::string& ids : IdLists()) {
      if (Status status = tools_.ExecSQL("DELETE FROM bestellung WHERE id IN ( " + ids + " )"); !status) {
        return Fail("bestellung:", status.message(), true);
      }
    }
    return true;
  }

  bool Record() {
    if (!w_.request.record) return true;
    if (Status status = w_.request.record(); !status) return Fail("Anfragejournal: ", status.message());
    return true;
  }

  ReceiptContext Context() const {
    return ReceiptContext{w_.bunr,           w_.seqnr,         w_.time, w_.tisch,
                          settings_.version, w_.customer.kdnr, w_.kanr, w_.receipt};
  }

  bool DrawNumbers() {
    w_.bunr = tools_.GetUniqueNr("BUNR").value_or(0);
    if (w_.bunr <= 0) {
      w_.bunr = 0;
      return Fail("BUNR: ", "Belegnummer nicht vergeben");
    }
    w_.seqnr = tools_.GetUniqueNr("SEQNR").value_or(0);
    if (w_.seqnr <= 0) return Fail("SEQNR: ", "Sequenznummer nicht vergeben");
    return true;
  }

  bool WriteHeader() {
    fiscal::ReceiptHeader h;
    h.bunr = w_.bunr;
    h.seqnr = w_.seqnr;
    h.datumzeit = w_.time;
    h.vorgangstart = w_.start;
    h.tisch = w_.tisch;
    h.txt = "VERKAUF";
    h.kdnr = w_.customer.kdnr;
    h.kdgrp = w_.customer.kdgrp;
    h.cardno = w_.cardno;
    // The receipt header carries no customer address of its own.
    h.kanr = w_.kanr;
    h.kaname = w_.kaname;
    h.betrag = static_cast<Cents>(t_.turnover);
    h.sum0 = static_cast<Cents>(t_.sum[0]);
    h.sum1 = static_cast<Cents>(t_.sum[1]);
    h.sum2 = static_cast<Cents>(t_.sum[2]);
    h.sum3 = static_cast<Cents>(t_.sum[3]);
    h.sum1alt = static_cast<Cents>(t_.sum[4]);
    h.sum2alt = static_cast<Cents>(t_.sum[5]);
    h.mwst1 = static_cast<Cents>(t_.mwst[1]);
    h.mwst2 = static_cast<Cents>(t_.mwst[2]);
    h.mwst3 = static_cast<Cents>(t_.mwst[3]);
    h.mwst1alt = static_cast<Cents>(t_.mwst[4]);
    h.mwst2alt = static_cast<Cents>(t_.mwst[5]);
    h.rate1 = w_.rates.current[1];
    h.rate2 = w_.rates.current[2];
    h.rate3 = w_.rates.current[3];
    h.oldRate1 = w_.rates.old1;
    h.oldRate2 = w_.rates.old2;
    h.rabatt = static_cast<Cents>(t_.discount);
    h.zahlart = w_.receipt;
    h.bargegeben = w_.bargegeben;
    h.barzurueck = w_.barzurueck;
    h.sumgsin = static_cast<Cents>(t_.ownRedeemed + t_.onlineRedeemed);
    h.sumgsout = static_cast<Cents>(t_.ownSold + t_.onlineSold);
    h.sumgsfremd = static_cast<Cents>(t_.foreign);
    h.sumauslagen = static_cast<Cents>(t_.outlays);
    h.bonus = 0;  // no rule earns bonus points at the terminal
    h.gaeste = t_.guests;
    h.pcatransid = w_.pcatransid;
    h.info = w_.bubemerk;
    h.version = settings_.version;
    h.staid = tools_.state().staId;
    h.timTpid = settings_.timTpid;
    h.timTpidno = settings_.timTpidno;
    h.timSernr = settings_.timSernr;
    h.customerOnReceipt = settings_.customerOnReceipt;
    if (Status status = fiscal::BelegSchreiben(tools_, h); !status) return Fail("kass:", status.message());
    return true;
  }

  bool Voucher(const OrderRow& r) {
    const ReceiptContext ctx = Context();
    const std::string gsnr = GetToken(r.info, 1);
    if (r.gpreis < 0 && !gsnr.empty()) {
      if (Status status = MarkVoucherRedeemed(tools_, ctx, gsnr, static_cast<Cents>(-r.gpreis)); !status) {
        return Fail("Gutschein konnte nicht als eingelöst markiert werden. ", status.message());
      }
    } else if (r.gpreis > 0) {
      // Every voucher sale draws a voucher number, as the other programs of
      // the installation do; the number printed is the one on the voucher.
      if (tools_.GetUniqueNr("GSNR").value_or(0) <= 0)
        return Fail("Gutschein NICHT angelegt. ", "Zähler GSNR nicht verfügbar");
      if (gsnr.empty()) return true;
      const bool single = r.kind == RowKind::SinglePurposeVoucher;
      const int key = single ? r.vatKey : 0;
      const Rate rate = single ? r.rate : Rate{0};
      Status status = InsertVoucherSold(tools_, ctx, gsnr, single ? 1 : 0, key, rate, static_cast<Cents>(r.gpreis),
                                        w_.received, GetToken(r.info, 2));
      if (!status) return Fail("Gutschein NICHT angelegt. ", status.message());
    }
    return true;
  }

  bool ArticleLineOf(const OrderRow& r) {
    ArticleLine line;
    switch (r.kind) {
      case RowKind::EmployerTip: line.gvtyp = "TrinkgeldAG"; break;
      case RowKind::SinglePurposeVoucher:
        line.gvtyp = r.gpreis >= 0 ? "EinzweckgutscheinKauf" : "EinzweckgutscheinEinloesung";
        break;
      default: line.gvtyp = "Umsatz"; break;
    }
    line.artnr = r.artnr;
    line.artgrp = r.artgrp;
    line.artgrp2 = r.artgrp2;
    line.artbez = r.artbez;
    line.grpbez = r.grpbez;
    line.grpbez2 = r.grpbez2;
    line.ticket = r.ticket;
    line.konto = r.konto;
    line.kostenstelle = r.kostenstelle;
    line.menge = static_cast<int32_t>(r.menge);
    line.volgew = r.volgew;
    line.preis = static_cast<Cents>(r.epreis);
    line.posbetrag = static_cast<Cents>(r.menge * r.epreis);
    line.rabatt = static_cast<Cents>(r.rabatt);
    line.rabgrund = r.rabgrund;
    line.vatKey = r.vatKey;
    line.rate = r.rate;
    line.info = r.info;
    if (Status status = InsertArticleLine(tools_, Context(), ++pos_, line); !status) {
      return Fail("kasspro:", status.message(), true);
    }
    return true;
  }

  bool Bonus(const OrderRow& r) {
    const int32_t points = LeadingWholeNumber(r.info);
    if (Status status = BookBkto(tools_, w_.customer.kdnr, -points, "Bonus-Ausschüttung Kasse"); !status) {
      return Fail("Bonus-Konto nicht aktualisiert.", status.message());
    }
    // The split covers the whole redemption, so its lines are written once,
    // however many bonus rows the table has.
    if (bonusLinesWritten_) return true;
    bonusLinesWritten_ = true;
    for (int key = 0; key < 3; ++key) {
      const int64_t share = t_.bonusSplit[static_cast<size_t>(key)];
      if (share == 0) continue;
      Status status = InsertBonusLine(tools_, Context(), ++pos_, key, w_.rates.current[static_cast<size_t>(key)],
                                      static_cast<Cents>(share), w_.bonusAccount);
      if (!status) return Fail("kasspro:", status.message(), true);
    }
    return true;
  }

  bool WriteRows() {
    for (const OrderRow& r : w_.rows) {
      switch (r.kind) {
        case RowKind::OwnVoucher:
          if (!Voucher(r)) return false;
          continue;
        case RowKind::SinglePurposeVoucher:
          if (!Voucher(r) || !ArticleLineOf(r)) return false;
          continue;
        case RowKind::OnlineVoucher:
        case RowKind::ForeignVoucher:
        case RowKind::PartialCash: continue;
        case RowKind::Bonus:
          if (!Bonus(r)) return false;
          continue;
        case RowKind::Outlay:
          if (Status status = InsertOutlay(tools_, Context(), static_cast<Cents>(r.gpreis), r.artbez, w_.customer);
              !status) {
            return Fail("SaveData: Tabelle 'auslage':", status.message(), true);
          }
          continue;
        default:
          if (!ArticleLineOf(r)) return false;
          continue;
      }
    }
    return true;
  }

  bool Journal(const std::string& zahlart, int64_t amount, const std::string& txt, const std::string& label) {
    Status status = BookBuch2(tools_, 0, w_.bunr, w_.seqnr, zahlart, static_cast<Cents>(amount), txt, w_.customer.kdnr);
    if (!status) return Fail(label, status.message());
    return true;
  }

  bool BookPayments() {
    const int32_t kdnr = w_.customer.kdnr;
    if (w_.received == "RECH") {
      const std::string sql = "INSERT INTO offrech ( datumzeit, bunr, kdnr, betrag, filnr ) VALUES ( " +
                              tools_.SqlNow() + " , " + NumStr(w_.bunr) + " , " + NumStr(kdnr) + " , " +
                              NumStr(t_.restDue) + " , " + NumStr(0) + " ) ";
      if (Status status = tools_.ExecSQL(sql); !status) return Fail("offrech:", status.message(), true);
    }
    if (w_.received == "KDKTO") {
      const std::string txt = "Besuch vom " + FormatDMY(w_.time.date);
      auto booked = BookKdkto(tools_, kdnr, static_cast<Cents>(-t_.restDue), txt, w_.bunr, w_.seqnr);
      if (!booked) return Fail("KDKTO: ", booked.status().message());
    }
    if (!Journal(w_.received, t_.restDue, "VERKAUF", "buch2: ")) return false;
    if (t_.ownRedeemed > 0 && !Journal("GUTSCH", t_.ownRedeemed, "Gutschein", "buch2gsi: ")) return false;
    if (t_.ownSold > 0 && !Journal("GUTSCH", -t_.ownSold, "Gutschein", "savedata_buch2gso: ")) return false;
    if (t_.foreign != 0 && !Journal("FR-GUT", t_.foreign, "Fremdgutschein", "savedata_buch2gsf: ")) return false;
    if (t_.onlineRedeemed > 0 && !Journal("GUTONL", t_.onlineRedeemed, "Online-Gutschein", "buch2gsoi: ")) {
      return false;
    }
    if (t_.onlineSold > 0 && !Journal("GUTONL", -t_.onlineSold, "Online-Gutschein", "savedata_buch2gsoo: ")) {
      return false;
    }
    if (t_.outlays != 0 && !Journal("BAR", -t_.outlays, "Auszahlung Gast", "savedata_buch2ausl: ")) return false;
    if (t_.partialCash >= 1 && !Journal("BAR", t_.partialCash, "VERKAUF", "buch2teilbar: ")) return false;
    return true;
  }

  bool UpdateCustomer() {
    if (w_.customer.kdnr <= 0) return true;
    const std::string sql = "UPDATE kunden SET letztbes = " + tools_.SqlDate(w_.time.date) + " " +
                            "WHERE kdnr = " + NumStr(w_.customer.kdnr);
    if (Status status = tools_.ExecSQL(sql); !status) {
      return Fail("Kunden-Besuchsdaten nicht aktualisiert:", status.message(), true);
    }
    return true;
  }

  // Line cancellations made at this register since its last receipt belong to this one.
  bool MarkCancellations() {
    const std::string label = "Zeilenstorno-Log nicht aktualisiert:";
    auto rs = tools_.Open("SELECT id,kasse FROM zeilenstornos WHERE seqnr = -1 ");
    if (!rs) return Fail(label, rs.status().message(), true);
    const std::string stamp = tools_.SqlDateTime(w_.time.date, FormatHMS(w_.time));
    for (; !rs->Eof(); rs->MoveNext()) {
      if (GetFieldValue(*rs, "kasse").AsInt64() != tools_.state().kasse) continue;
      ++pos_;
      const std::string sql = "UPDATE zeilenstornos SET " + std::string(" bunr = ") + NumStr(w_.bunr) + " , " +
                              " seqnr = " + NumStr(w_.seqnr) + " , " + " pos = " + NumStr(pos_) + " , " +
                              " datumzeit = " + stamp + " WHERE id = " + NumStr(GetFieldValue(*rs, "id").AsInt64());
      if (Status status = tools_.ExecSQL(sql); !status) return Fail(label, status.message(), true);
    }
    return true;
  }

  db::StationContext& tools_;
  const SettlementSettings& settings_;
  Work& w_;
  const SettlementTotals& t_;
  int32_t pos_ = 0;
  bool bonusLinesWritten_ = false;
  std::string error_;
};

}  // namespace

Status StoreSettlement(db::StationContext& tools, const SettlementSettings& settings, Work& work) {
  work.bunr = 0;
  work.seqnr = 0;
  work.refusal.clear();
  work.conflict.clear();
  work.time = tools.env().Now();
  db::Transaction transaction(tools.connection());
  if (Status begun = transaction.Begin(); !begun) {
    if (begun.IsConflict()) work.conflict = begun.message();
    return begun.Prefixed("BEGIN TRANSACTION: ");
  }
  Store store(tools, settings, work);
  if (Status stored = store.Run(); !stored) {
    if (work.refusal.empty()) {
      // Whichever step reported it, the transaction's own first failure tells
      // whether another station's lock stopped it.
      if (Status first = transaction.Failure(); first.IsConflict()) work.conflict = first.message();
    }
    return stored;  // the transaction rolls back on leaving
  }
  // A transaction the engine ended on its own (an I/O error, a deadlock) is
  // reported here: what came after its end would not be part of it.
  if (Status committed = transaction.Commit(); !committed) {
    if (committed.IsConflict()) work.conflict = committed.message();
    return committed.Prefixed("COMMIT: ");
  }
  return Status::Ok();
}

}  // namespace tolven::settlement::detail
