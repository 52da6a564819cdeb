#include "settlement/receipt_record.h"

#include <algorithm>

#include "common/text.h"
#include "fiscal/receipt_checks.h"

namespace tolven::settlement {

using db::GetFieldValue;
using db::SqlText;

namespace {

const std::string kSep = " , ";

std::string Cut(const std::string& text, size_t n) { return text.substr(0, n); }

std::string Stamp(db::StationContext& tools, const DateTime& t) { return tools.SqlDateTime(t.date, FormatHMS(t)); }

}  // namespace

Status InsertArticleLine(db::StationContext& tools, const ReceiptContext& ctx, int32_t pos, const ArticleLine& line) {
  const StartupState& st = tools.state();
  // One text for every line (only the values change): prepared once where the
  // engine keeps it.
  static const std::string sql =
      "INSERT INTO kasspro ( bunr, seqnr, pos, datumzeit, gvtyp, tisch, version, kdnr, kanr, filnr, kasse, "
      "artnr, artgrp, artgrp2, artbez, grpbez, grpbez2, ticket, konto, kostenstelle, menge, volgew, preis, posbetrag, "
      "ekpreis, rabatt, rabgrund, mwst, mwstproz, mwstsatz, mwstschl, info, crc, zahlart ) VALUES ( "
      "? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , ? , "
      "0 , ? , ? , ? , ? , ? , ? , ? , ? , ? ) ";
  const db::SqlArg rate = db::SqlArg::Decimal(FormatRate(line.rate));
  return tools.ExecSQLWith(sql, {ctx.bunr,
                                 ctx.seqnr,
                                 pos,
                                 tools.DateTimeText(ctx.time.date, FormatHMS(ctx.time)),
                                 line.gvtyp,
                                 ctx.tisch,
                                 ctx.version,
                                 ctx.kdnr,
                                 ctx.kanr,
                                 st.filiale,
                                 st.kasse,
                                 Cut(line.artnr, 15),
                                 line.artgrp,
                                 line.artgrp2,
                                 Cut(line.artbez, 40),
                                 Cut(line.grpbez, 40),
                                 Cut(line.grpbez2, 40),
                                 line.ticket,
                                 line.konto,
                                 line.kostenstelle,
                                 line.menge,
                                 db::SqlArg::Decimal(FormatRate(line.volgew)),
                                 line.preis,
                                 line.posbetrag,
                                 line.rabatt,
                                 Cut(line.rabgrund, 40),
                                 rate,
                                 rate,
                                 line.vatKey,
                                 line.vatKey,
                                 Cut(line.info, 100),
                                 fiscal::RecordCRC(ctx.time.date, ctx.bunr, line.posbetrag),
                                 Cut(ctx.zahlart, 10)});
}

Status InsertBonusLine(db::StationContext& tools, const ReceiptContext& ctx, int32_t pos, int vatKey, Rate rate,
                       Cents share, int32_t bonusAccount) {
  const StartupState& st = tools.state();
  const std::string minus = NumStr(-int64_t{share});
  const std::string sql =
      "INSERT INTO kasspro ( bunr, seqnr, pos, datumzeit, gvtyp, version, kdnr, kanr, filnr, kasse, "
      "artnr, artgrp, artgrp2, artbez, grpbez, grpbez2, menge, volgew, preis, "
      "ekpreis, posbetrag, rabatt, rabgrund, mwst, mwstproz, mwstschl, konto, info, zahlart ) VALUES ( " +
      NumStr(ctx.bunr) + kSep + NumStr(ctx.seqnr) + kSep + NumStr(pos) + kSep + Stamp(tools, ctx.time) + kSep +
      SqlText("Umsatz") + kSep + NumStr(ctx.version) + kSep + NumStr(ctx.kdnr) + kSep + NumStr(ctx.kanr) + kSep +
      NumStr(st.filiale) + kSep + NumStr(st.kasse) + kSep + SqlText("BONUS") + kSep + NumStr(0) + kSep + NumStr(0) +
      kSep + SqlText("Bonus-Rabatt (" + FormatRate(rate) + "%)") + kSep + "''" + kSep + "''" + kSep + NumStr(1) + kSep +
      NumStr(0) + kSep + minus + kSep + minus + kSep + minus + kSep + NumStr(0) + kSep + "''" + kSep +
      FormatRate(rate) + kSep + FormatRate(rate) + kSep + NumStr(vatKey) + kSep + NumStr(bonusAccount) + kSep + "''" +
      kSep + SqlText(Cut(ctx.zahlart, 10)) + " ) ";
  return tools.ExecSQL(sql);
}

Status InsertVoucherSold(db::StationContext& tools, const ReceiptContext& ctx, const std::string& gsnr, int32_t typ,
                         int vatKey, Rate rate, Cents betrag, const std::string& receivedZahlart,
                         const std::string& bemerk) {
  const StartupState& st = tools.state();
  const std::string sql =
      "INSERT INTO gutscheine ( status, gsnr, typ, mwstschl, mwstproz, bunr, datum, betrag, filnr, kasse, zahlart, "
      "bemerk ) VALUES ( " +
      NumStr(0) + kSep + SqlText(Cut(gsnr, 30)) + kSep + NumStr(typ) + kSep + NumStr(vatKey) + kSep + FormatRate(rate) +
      kSep + NumStr(ctx.bunr) + kSep + Stamp(tools, ctx.time) + kSep + NumStr(betrag) + kSep + NumStr(st.filiale) +
      kSep + NumStr(st.kasse) + kSep + SqlText(Cut(receivedZahlart, 10)) + kSep + SqlText(Cut(bemerk, 100)) + " ) ";
  return tools.ExecSQL(sql);
}

namespace {

// Vouchers with this number redeemed by this receipt at this register.
Result<int64_t> CountRedeemedHere(db::StationContext& tools, const ReceiptContext& ctx, const std::string& where) {
  const StartupState& st = tools.state();
  auto rs = tools.Open("SELECT COUNT(*) AS n FROM gutscheine" + where +
                       " AND status = 1 AND bunr_einl = " + NumStr(ctx.bunr) + " AND kasse_einl = " + NumStr(st.kasse) +
                       " AND filnr_einl = " + NumStr(st.filiale));
  if (!rs) return rs.status();
  return rs->Eof() ? int64_t{0} : GetFieldValue(*rs, "n").AsInt64();
}

// Why a voucher cannot pay `amount`: unknown, redeemed or worth less.
std::string RefusalReason(db::StationContext& tools, const std::string& where, const std::string& gsnr, Cents amount) {
  auto rs = tools.Open("SELECT status, betrag FROM gutscheine" + where);
  if (!rs) return "Gutschein " + gsnr + " nicht lesbar: " + rs.status().message();
  if (rs->Eof()) return "Gutschein " + gsnr + " ist unbekannt.";
  bool redeemed = false;
  int64_t open = -1;
  for (; !rs->Eof(); rs->MoveNext()) {
    if (GetFieldValue(*rs, "status").AsInt64() != 0) {
      redeemed = true;
    } else {
      open = std::max(open, GetFieldValue(*rs, "betrag").AsInt64());
    }
  }
  if (open >= 0) {
    return "Gutschein " + gsnr + " über " + FormatCents(open) + " reicht nicht für " + FormatCents(amount) + ".";
  }
  return redeemed ? "Gutschein " + gsnr + " wurde bereits eingelöst." : "Gutschein " + gsnr + " ist unbekannt.";
}

}  // namespace

Status MarkVoucherRedeemed(db::StationContext& tools, const ReceiptContext& ctx, const std::string& gsnr,
                           Cents amount) {
  const StartupState& st = tools.state();
  // An exact match: a number holding "%" or "_" must not redeem other vouchers.
  const std::string where = " WHERE gsnr = " + SqlText(Cut(gsnr, 30));
  auto before = CountRedeemedHere(tools, ctx, where);
  if (!before) return before.status();
  // Only an open voucher worth the amount changes. The update holds the row
  // until the commit, so a second station redeeming the same voucher meets it
  // redeemed and changes nothing.
  const std::string sql = "UPDATE gutscheine SET " + std::string(" status = 1 , ") +
                          " datum_einl = " + Stamp(tools, ctx.time) + " , " + " filnr_einl = " + NumStr(st.filiale) +
                          " , " + " kasse_einl = " + NumStr(st.kasse) + " , " + " bunr_einl = " + NumStr(ctx.bunr) +
                          where + " AND status = 0 AND betrag >= " + NumStr(amount) + " ";
  if (Status status = tools.ExecSQL(sql); !status) return status;
  auto after = CountRedeemedHere(tools, ctx, where);
  if (!after) return after.status();
  if (*after - *before == 1) return Status::Ok();
  if (*after - *before > 1) return Status::Error("Gutschein " + gsnr + " ist mehrfach vorhanden.");
  return Status::Error(RefusalReason(tools, where, gsnr, amount));
}

Status InsertOutlay(db::StationContext& tools, const ReceiptContext& ctx, Cents betrag, const std::string& txt,
                    const Customer& c) {
  const StartupState& st = tools.state();
  const std::string sql =
      "INSERT INTO auslagen ( bunr, kasse, datumzeit, betrag, zahlart, txt, kdnr, name1, name2, strasse, plzort ) "
      "VALUES ( " +
      NumStr(ctx.bunr) + kSep + NumStr(st.kasse) + kSep + Stamp(tools, ctx.time) + kSep + NumStr(betrag) + kSep +
      SqlText(Cut(ctx.zahlart, 10)) + kSep + SqlText(Cut(txt, 40)) + kSep + NumStr(c.kdnr) + kSep +
      SqlText(Cut(c.name1, 40)) + kSep + SqlText(Cut(c.name2, 40)) + kSep + SqlText(Cut(c.strasse, 40)) + kSep +
      SqlText(Cut(c.plzort, 40)) + " ) ";
  return tools.ExecSQL(sql);
}

std::string BuildQrText(const fiscal::TseIdentity& identity, const fiscal::TseResult& r) {
  return "V0;" + identity.registerId + ";" + fiscal::kProcessTypeReceipt + ";" + r.processData + ";" +
         std::to_string(r.transactionNumber) + ";" + std::to_string(r.signatureCounter) + ";" +
         fiscal::Tse::TSE_UnixTimeToISO(r.startTime) + ";" + fiscal::Tse::TSE_UnixTimeToISO(r.finishTime) + ";" +
         identity.signatureAlgorithm + ";unixTime;" + r.signature + ";" + identity.publicKey;
}

Status UpdateTseColumns(db::StationContext& tools, int32_t bunr, const fiscal::TseResult& r, int32_t tseStartbest,
                        const std::string& qr) {
  const std::string sql = "UPDATE kass SET " + std::string("tse_trx = ") + NumStr(r.transactionNumber) + " , " +
                          "tse_sigcount = " + NumStr(r.signatureCounter) + " , " +
                          "tse_startbest = " + NumStr(tseStartbest) + " , " + "tse_start = " + NumStr(r.startTime) +
                          " , " + "tse_stop = " + NumStr(r.finishTime) + " , " +
                          "tse_sernr = " + SqlText(Cut(r.serialNumber, 255)) + " , " +
                          "tse_processtype = " + SqlText(fiscal::kProcessTypeReceipt) + " , " +
                          "tse_processdata = " + SqlText(r.processData) + " , " + "tse_qr = " + SqlText(qr) + " , " +
                          "tse_signatur = " + SqlText(r.signature) + "  " + " WHERE bunr = " + NumStr(bunr);
  return tools.ExecSQL(sql);
}

}  // namespace tolven::settlement
