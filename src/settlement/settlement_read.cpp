// The reading part of a settlement: nothing here writes to the database.
#include <algorithm>
#include <map>

#include "common/text.h"
#include "settlement/settlement_work.h"

namespace tolven::settlement::detail {

using db::GetFieldValue;
using db::SqlText;

namespace {

struct ArticleRecord {
  int mwst = 0;
  bool ausserhaus = false;
  int32_t ticket = 0;
  int32_t kostenstelle = 0;
};

struct GroupRecord {
  int32_t artgrp2 = 0;
  std::string grpbez, grpbez2;
};

// Lookups of one settlement; each article and group is read once.
class Lookups {
 public:
  explicit Lookups(db::StationContext& tools) : tools_(tools) {}

  // An error on a database error; found tells whether the article exists.
  Status Article(const std::string& artnr, bool& found, ArticleRecord& out) {
    auto it = articles_.find(artnr);
    if (it == articles_.end()) {
      auto rs = tools_.Open(
          "SELECT typ, mwst, ausserhaus, ekpreis, lagfue, zutnr, ticket, kostenstelle  FROM artikel "
          "WHERE artnr = " +
          SqlText(artnr) + " ");
      if (!rs) {
        return Status::Error("Artikel " + artnr + " nicht lesbar: " + rs.status().message());
      }
      std::optional<ArticleRecord> record;
      if (!rs->Eof()) record = Record(*rs);
      it = articles_.emplace(artnr, record).first;
    }
    found = it->second.has_value();
    if (found) out = *it->second;
    return Status::Ok();
  }

  // The records of many articles, one query per hundred. An article the engine
  // returns under another spelling (case, trailing blanks) is left to Article.
  Status Prefetch(const std::vector<std::string>& artnrs) {
    std::vector<std::string> wanted;
    for (const std::string& a : artnrs) {
      if (!articles_.count(a) && std::find(wanted.begin(), wanted.end(), a) == wanted.end()) wanted.push_back(a);
    }
    for (size_t from = 0; from < wanted.size(); from += 100) {
      std::string list;
      for (size_t k = from; k < wanted.size() && k < from + 100; ++k) {
        list += (list.empty() ? "" : " , ") + SqlText(wanted[k]);
      }
      auto rs = tools_.Open(
          "SELECT artnr, typ, mwst, ausserhaus, ekpreis, lagfue, zutnr, ticket, kostenstelle  FROM "
          "artikel WHERE artnr IN ( " +
          list + " ) ");
      if (!rs) {
        return Status::Error("Artikelstamm nicht lesbar: " + rs.status().message());
      }
      for (; !rs->Eof(); rs->MoveNext()) {
        articles_.emplace(GetFieldValue(*rs, "artnr").AsString(), Record(*rs));
      }
    }
    return Status::Ok();
  }

  Status Group(int32_t artgrp, GroupRecord& out) {
    out = GroupRecord();
    if (artgrp <= 0) return Status::Ok();
    auto it = groups_.find(artgrp);
    if (it != groups_.end()) {
      out = it->second;
      return Status::Ok();
    }
    auto rs = tools_.Open("SELECT artgrp2, grpbez FROM artgrp WHERE artgrp = " + NumStr(artgrp));
    if (!rs) {
      return Status::Error("Artikelgruppe " + std::to_string(artgrp) + " nicht lesbar: " + rs.status().message());
    }
    if (!rs->Eof()) {
      out.artgrp2 = GetFieldValue(*rs, "artgrp2").AsInt();
      out.grpbez = GetFieldValue(*rs, "grpbez").AsString();
    }
    if (out.artgrp2 > 0) {
      auto rs2 = tools_.Open("SELECT grpbez FROM artgrp2 WHERE artgrp2 = " + NumStr(out.artgrp2));
      if (!rs2) {
        return Status::Error("Artikelgruppe " + std::to_string(out.artgrp2) +
                             " nicht lesbar: " + rs2.status().message());
      }
      if (!rs2->Eof()) out.grpbez2 = GetFieldValue(*rs2, "grpbez").AsString();
    }
    groups_.emplace(artgrp, out);
    return Status::Ok();
  }

 private:
  static ArticleRecord Record(const db::ResultSet& rs) {
    return ArticleRecord{GetFieldValue(rs, "mwst").AsInt(), GetFieldValue(rs, "ausserhaus").AsBool(),
                         GetFieldValue(rs, "ticket").AsInt(), GetFieldValue(rs, "kostenstelle").AsInt()};
  }

  db::StationContext& tools_;
  std::map<std::string, std::optional<ArticleRecord>> articles_;
  std::map<int32_t, GroupRecord> groups_;
};

// The account of a designation; unlike a plain lookup, a database error
// refuses the settlement instead of booking to account 0.
Status AccountForName(db::StationContext& tools, const std::string& designation, int32_t& konto) {
  auto rs = tools.Open("SELECT konto FROM kontenrahmen WHERE bez = " + SqlText(designation));
  if (!rs) {
    return Status::Error("Konto " + designation + " nicht lesbar: " + rs.status().message());
  }
  konto = rs->Eof() ? 0 : GetFieldValue(*rs, "konto").AsInt();
  return Status::Ok();
}

// The digits of a number field as text, so that a 16-digit card number keeps
// every digit (a floating-point value would not).
std::string NumericText(const std::string& field) {
  std::string t = TrimLeftBlanks(field);
  std::string sign;
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    if (t[0] == '-') sign = "-";
    t.erase(0, 1);
  }
  size_t n = 0;
  while (n < t.size() && t[n] >= '0' && t[n] <= '9') ++n;
  std::string digits = t.substr(0, n);
  size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  return digits == "0" ? digits : sign + digits;
}

Rate RateOf(const db::Value& v) {
  if (auto r = ParseRate(v.AsString())) return *r;
  return RateFromDouble(v.AsDouble());
}

// Opens a one-row lookup; an error (with the reason) only on a database error.
Result<db::ResultSet> OpenLookup(db::StationContext& tools, const std::string& sql) {
  auto rs = tools.Open(sql);
  if (rs) return rs;
  return Status::Error("Lesefehler: " + rs.status().message());
}

Status ReadHeaderData(db::StationContext& tools, int32_t kdnr, Work& w) {
  w.customer = Customer();
  w.customer.kdnr = kdnr;
  auto rs = OpenLookup(tools, "SELECT * FROM kunden WHERE kdnr = " + NumStr(kdnr));
  if (!rs) return rs.status();
  if (!rs->Eof()) {
    w.customer.kdgrp = GetFieldValue(*rs, "kdgrp").AsInt();
    w.customer.name1 = GetFieldValue(*rs, "vname").AsString() + " " + GetFieldValue(*rs, "name").AsString();
    w.customer.name2 = GetFieldValue(*rs, "name2").AsString();
    w.customer.strasse = GetFieldValue(*rs, "strasse").AsString();
    w.customer.plzort = GetFieldValue(*rs, "plz").AsString() + " " + GetFieldValue(*rs, "ort").AsString();
  }
  if (rs = OpenLookup(tools, "SELECT * FROM kassi WHERE kanr = " + NumStr(w.kanr)); !rs) return rs.status();
  if (!rs->Eof()) w.kaname = GetFieldValue(*rs, "name").AsString();
  if (rs = OpenLookup(tools, "SELECT * FROM tische WHERE tisch = " + NumStr(w.tisch)); !rs) return rs.status();
  if (!rs->Eof()) {
    w.bubemerk = GetFieldValue(*rs, "bubemerk").AsString();
    w.tableGuests = GetFieldValue(*rs, "gaeste").AsInt();
    w.tseStartbest = GetFieldValue(*rs, "tse_startbest").AsInt();
  }
  if (rs = OpenLookup(tools, "SELECT gstypeu1mwstschl FROM system"); !rs) return rs.status();
  w.gstypKey = rs->Eof() ? 0 : GetFieldValue(*rs, "gstypeu1mwstschl").AsInt();
  return Status::Ok();
}

OrderRow ReadRow(const db::ResultSet& rs) {
  OrderRow r;
  r.id = GetFieldValue(rs, "id").AsInt64();
  r.stored = StoredValues(rs);
  r.artnr = ApplyZeitRule(GetFieldValue(rs, "artnr").AsString());
  r.kind = ClassifyArticle(r.artnr);
  r.artbez = GetFieldValue(rs, "artbez").AsString();
  r.rabgrund = GetFieldValue(rs, "rabgrund").AsString();
  r.info = GetFieldValue(rs, "info").AsString();
  if (r.info.empty()) r.info = GetFieldValue(rs, "belaginfo").AsString().substr(0, 80);
  r.menge = GetFieldValue(rs, "menge").AsInt64();
  r.epreis = GetFieldValue(rs, "epreis").AsInt64();
  r.rabatt = GetFieldValue(rs, "rabatt").AsInt64();
  r.gast = GetFieldValue(rs, "gast").AsInt();
  r.konto = GetFieldValue(rs, "konto").AsInt();
  r.artgrp = GetFieldValue(rs, "artgrp").AsInt();
  r.volgew = RateOf(GetFieldValue(rs, "volgew"));
  return r;
}

// The VAT key, rate and article data of an article row. False (with the reason)
// when the row cannot be taxed for certain: an ordinary article without an
// article record, or a key without a rate.
Status ResolveArticleRow(db::StationContext& tools, Lookups& lookups, Work& w, OrderRow& r) {
  switch (r.kind) {
    case RowKind::EmployerTip:
    case RowKind::FreeAmount1: r.vatKey = 1; break;
    case RowKind::FreeAmount2: r.vatKey = 2; break;
    case RowKind::FreeAmount0: r.vatKey = 0; break;
    case RowKind::SinglePurposeVoucher:
      r.vatKey = w.gstypKey;
      if (Status status = AccountForName(tools, "EZGS_MWST_" + std::to_string(r.vatKey), r.konto); !status) {
        return status;
      }
      break;
    default: {
      bool found = false;
      ArticleRecord a;
      if (Status status = lookups.Article(r.artnr, found, a); !status) return status;
      if (!found) {
        // Taxing an unknown article at 0 % would understate the VAT of the receipt.
        return Status::Error("Artikel " + r.artnr + " nicht im Artikelstamm");
      }
      r.vatKey = a.mwst;
      // Take-away on the counter table is taxed at the reduced rate.
      if (a.ausserhaus && r.vatKey == 1 && w.tisch == 0) r.vatKey = 2;
      r.ticket = a.ticket;
      r.kostenstelle = a.kostenstelle;
      break;
    }
  }
  auto rate = w.rates.ForKey(r.vatKey);
  if (!rate) {
    return Status::Error("Unbekannter MwSt-Schlüssel " + std::to_string(r.vatKey) + " bei Artikel " + r.artnr);
  }
  r.rate = *rate;
  GroupRecord g;
  if (Status status = lookups.Group(r.artgrp, g); !status) return status;
  r.artgrp2 = g.artgrp2;
  r.grpbez = g.grpbez;
  r.grpbez2 = g.grpbez2;
  return Status::Ok();
}

}  // namespace

namespace {
const char* const kSettled[] = {"tisch",  "kdnr",     "artnr", "artbez", "artgrp", "menge",     "epreis",
                                "rabatt", "rabgrund", "gast",  "konto",  "info",   "belaginfo", "volgew"};
}  // namespace

std::string SettledColumns() {
  std::string out;
  for (const char* column : kSettled) out += (out.empty() ? "" : ", ") + std::string(column);
  return out;
}

std::string StoredValues(const db::ResultSet& rs) {
  std::string out;
  for (const char* column : kSettled) {
    const int i = rs.Find(column);
    const db::Value v = i >= 0 ? rs.Raw(static_cast<size_t>(i)) : db::Value();
    // NULL and an empty text stay apart.
    out += v.IsNull() ? std::string("\x01") : v.AsString();
    out += '\x1f';
  }
  return out;
}

void RewritePaymentType(std::string& zahlart, Work& w) {
  w.pcatransid = 0;
  w.cardno.clear();
  if (StartsWith(zahlart, "PCA")) {
    const std::string rest = zahlart.size() > 4 ? zahlart.substr(4) : "";
    zahlart = "PCA";
    w.pcatransid = LeadingWholeNumber(GetToken(rest, 1));
    w.cardno = NumericText(GetToken(rest, 2));
  } else if (StartsWith(zahlart, "ZIMMER")) {
    zahlart = "ZIMMER";
  }
  w.received = zahlart;
  w.receipt = zahlart;
}

Status WaiterMaySettle(db::StationContext& tools, int32_t kanr) {
  if (kanr != 0) return Status::Ok();
  auto rs = OpenLookup(tools, "SELECT nokassi0 from system");
  if (!rs) return rs.status();
  if (!rs->Eof() && GetFieldValue(*rs, "nokassi0").AsBool()) {
    return Status::Error("Abrechnung auf Kellner 0 gesperrt.");
  }
  return Status::Ok();
}

Status ReadSettlement(db::StationContext& tools, LogSink& log, db::ResultSet& orderRows, Work& w) {
  orderRows.MoveFirst();
  if (orderRows.Eof()) {
    return Status::Error("Keine Bestellpositionen zu Tisch " + std::to_string(w.tisch));
  }
  const int32_t kdnr = w.request.customer > 0 ? w.request.customer : GetFieldValue(orderRows, "kdnr").AsInt();
  w.rows.clear();
  for (; !orderRows.Eof(); orderRows.MoveNext()) {
    OrderRow r = ReadRow(orderRows);
    if (r.id <= 0) {
      // Without its id the row could be neither checked nor removed with the receipt.
      return Status::Error("Bestellposition ohne Id (" + r.artnr + ")");
    }
    if (!CheckedCents(r.menge) || !CheckedCents(r.epreis) || !CheckedCents(r.menge * r.epreis)) {
      return Status::Error("Betrag einer Position außerhalb des zulässigen Wertebereichs (" + r.artnr + ")");
    }
    // Points the bonus account cannot book would grant the discount for nothing.
    const double points = r.kind == RowKind::Bonus ? LeadingNumber(r.info) : 0;
    if (!(points >= 0 && points < 2147483647.5)) {
      return Status::Error("Bonuspunkte " + TrimBlanks(r.info) + " außerhalb des zulässigen Wertebereichs");
    }
    // The caller's gpreis when given, else menge x epreis as the line stores it.
    r.gpreis = orderRows.Find("gpreis") >= 0 ? GetFieldValue(orderRows, "gpreis").AsInt64() : r.menge * r.epreis;
    w.rows.push_back(std::move(r));
  }
  orderRows.MoveFirst();

  if (Status status = ReadHeaderData(tools, kdnr, w); !status) return status;

  Lookups lookups(tools);
  std::vector<std::string> artnrs;
  for (const OrderRow& r : w.rows) {
    if (IsArticleKind(r.kind)) artnrs.push_back(r.artnr);
  }
  if (Status status = lookups.Prefetch(artnrs); !status) return status;
  bool hasBonus = false;
  std::vector<TotalsRow> totalsRows;
  for (OrderRow& r : w.rows) {
    if (IsArticleKind(r.kind)) {
      if (Status status = ResolveArticleRow(tools, lookups, w, r); !status) return status;
    }
    hasBonus = hasBonus || r.kind == RowKind::Bonus;
    // The lines of a partial settlement count as one guest of their own.
    const int32_t gast = w.request.partial ? 99 : r.gast;
    totalsRows.push_back(TotalsRow{r.kind, r.gpreis, r.menge, r.rabatt, gast, r.vatKey});
  }
  if (hasBonus) {
    if (Status status = AccountForName(tools, "BONUS", w.bonusAccount); !status) return status;
  }

  if (Status status = ComputeTotals(totalsRows, w.rates, w.tableGuests, w.received, w.totals); !status) return status;
  for (int32_t gast : w.totals.unmarkedGuests) {
    log.AddLogLine("Tisch " + std::to_string(w.tisch) + ": Gast-Nr " + std::to_string(gast) +
                   " außerhalb 0-99 wird bei der Gästezahl nicht gezählt.");
  }
  if (w.totals.receiptIsMix) w.receipt = "MIX";
  if (w.received == "KDKTO" && w.customer.kdnr <= 0) {
    // A customer-account payment without a customer would be owed by no one.
    return Status::Error("Zahlung auf Kundenkonto ohne Kunde");
  }
  return Status::Ok();
}

}  // namespace tolven::settlement::detail
