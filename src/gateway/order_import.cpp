#include "gateway/order_import.h"

#include <utility>
#include <vector>

#include "common/text.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;

namespace {

// The lengths of the text columns of `bestellung` in the schema; a database
// that reports its own lengths overrides them.
const std::map<std::string, size_t> kSchemaLengths = {
    {"artnr", 15}, {"artbez", 40}, {"rabgrund", 40}, {"kueinfo", 255}, {"belaginfo", 255}, {"belnrinfo", 255},
};

LineBooking Refused(std::string message) {
  LineBooking b;
  b.message = std::move(message);
  return b;
}

LineBooking DatabaseFailed(const Status& failure) {
  LineBooking b;
  b.message = failure.message().empty() ? "Datenbankfehler" : failure.message();
  b.databaseFailed = true;
  b.conflict = failure.IsConflict();
  return b;
}

// The texts of a line that reach the statement, with the field's name for
// the waiter: none may hold a byte the database driver cannot pass on, so that
// the server never refuses the line for it (on SQL Server that would end the
// whole transaction).
std::string RefusedText(const std::vector<std::pair<const char*, const std::string*>>& texts) {
  for (const auto& [field, text] : texts) {
    if (db::UndefinedCp1252Byte(*text) != std::string::npos) return field;
  }
  return "";
}

// The article number as the waiter may see it again: the bytes no terminal
// means become "?".
std::string Shown(std::string text) {
  for (size_t at; (at = db::UndefinedCp1252Byte(text)) != std::string::npos;) text[at] = '?';
  return text;
}

}  // namespace

void OrderImport::LoadColumnLengths() {
  if (lengthsLoaded_) return;
  lengthsLoaded_ = true;
  lengths_ = kSchemaLengths;
  // SQLite keeps any length in any column; its declared lengths are the schema's.
  if (std::string(tools_.dialect().Name()) == "SQLITE" || tools_.connection().InTransaction()) return;
  auto rs = tools_.Open(
      "SELECT column_name AS n, character_maximum_length AS l FROM information_schema.columns "
      "WHERE table_name = 'bestellung'");
  for (; rs && !rs->Eof(); rs->MoveNext()) {
    std::string name = GetFieldValue(*rs, "n").AsString();
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    const int64_t length = GetFieldValue(*rs, "l").AsInt64();
    // -1 is SQL Server's "max": no limit worth checking.
    if (lengths_.count(name) && length > 0) lengths_[name] = static_cast<size_t>(length);
  }
}

size_t OrderImport::ColumnLength(const std::string& column) const {
  auto it = lengths_.find(column);
  if (it != lengths_.end()) return it->second;
  auto known = kSchemaLengths.find(column);
  return known != kSchemaLengths.end() ? known->second : 255;
}

Result<int32_t> OrderImport::ArticlePrice(const std::string& articleNumber, bool takeAway) {
  auto rs = tools_.Open(
      "SELECT vkpreis, perspreis, vkpreis2, angbis, angpreis, ahpreis, happy1preis, happy2preis FROM artikel "
      "WHERE artnr = " +
      SqlText(articleNumber));
  if (!rs) return rs.status();
  if (rs->Eof()) return 0;
  int32_t price = GetFieldValue(*rs, "vkpreis").AsInt();
  DateTime now = tools_.env().Now();

  // A special price of 0 (or none) means the article has no such price: the
  // normal price stays. The offer holds while now is before `angbis` as
  // stored; a plain date ends it at the start of that day.
  const db::Value angbis = GetFieldValue(*rs, "angbis");
  int32_t angpreis = GetFieldValue(*rs, "angpreis").AsInt();
  if (!angbis.IsNull() && now < angbis.AsDateTime() && angpreis > 0) price = angpreis;

  int32_t ahpreis = GetFieldValue(*rs, "ahpreis").AsInt();
  if (takeAway && ahpreis > 0) return ahpreis;

  auto sys = tools_.Open("SELECT happy1start, happy1ende, happy2start, happy2ende FROM system");
  if (!sys) return sys.status();
  if (sys->Eof()) return price;
  const std::string hm = FormatHM(now);
  for (int w = 1; w <= 2; ++w) {
    std::string start = GetFieldValue(*sys, "happy" + std::to_string(w) + "start").AsString();
    std::string end = GetFieldValue(*sys, "happy" + std::to_string(w) + "ende").AsString();
    const int32_t happy = GetFieldValue(*rs, "happy" + std::to_string(w) + "preis").AsInt();
    // Compared as texts, so a window across midnight (22:00 to 02:00) never applies.
    if (start != end && start <= hm && hm <= end && happy > 0) price = happy;
  }
  return price;
}

int32_t OrderImport::GetArticlePrice(const std::string& articleNumber, bool takeAway) {
  return ArticlePrice(articleNumber, takeAway).value_or(0);
}

std::string OrderImport::ImportOrderLine(const std::string& line, int32_t table, int32_t waiter) {
  LineBooking b = BookOrderLine(line, table, waiter);
  if (b.booked) log_.AddLogLine(b.logText);
  return b.message;
}

LineBooking OrderImport::BookOrderLine(const std::string& line, int32_t table, int32_t waiter) {
  LoadColumnLengths();
  const std::string articleNumber = TrimBlanks(GetToken(line, 2));
  const std::string quantityField = GetToken(line, 3);
  const std::string note = TrimBlanks(GetToken(line, 4));
  const std::string toppings = TrimBlanks(GetToken(line, 5));

  auto refuseText = [&](const std::string& field) {
    return Refused("Artikel >" + Shown(articleNumber) + "< nicht gebucht: Zeichen in " + field + " nicht erlaubt.");
  };
  if (std::string field = RefusedText({{"Artikelnummer", &articleNumber}, {"Küchentext", &note}}); !field.empty()) {
    return refuseText(field);
  }
  auto article = tools_.Open("SELECT * FROM artikel WHERE artnr = " + SqlText(articleNumber));
  if (!article) return DatabaseFailed(article.status());
  if (article->Eof()) return Refused("Artikel >" + articleNumber + "< nicht gefunden.");
  if (articleNumber.size() > ColumnLength("artnr")) {
    return Refused("Artikelnummer >" + articleNumber + "< zu lang.");
  }

  Result<int32_t> unitPrice = ArticlePrice(articleNumber, table == 0);
  if (!unitPrice) return DatabaseFailed(unitPrice.status());
  int32_t price = *unitPrice;
  const int32_t group = GetFieldValue(*article, "artgrp").AsInt();
  int32_t kitchenPrinter = 0;
  auto grp = tools_.Open("SELECT kueprt FROM artgrp WHERE artgrp = " + NumStr(group));
  if (!grp) return DatabaseFailed(grp.status());
  if (!grp->Eof()) kitchenPrinter = GetFieldValue(*grp, "kueprt").AsInt();

  const int32_t quantity = LeadingWholeNumber(quantityField);
  if (quantity < 1 || quantity > 99) return Refused("Mengenangabe unzulässig");

  std::string belaginfo, belnrinfo;
  const int32_t belpreis = GetFieldValue(*article, "belpreis").AsInt();
  if (!toppings.empty()) {
    for (int k = 1;; ++k) {
      std::string item = GetToken(toppings, k, "+");
      int32_t count = LeadingWholeNumber(GetToken(item, 1, "x"));
      int32_t number = LeadingWholeNumber(GetToken(item, 2, "x"));
      if (number == 0) break;
      if (number < 0) continue;
      // A count below 1 would lower the price, down to a negative line.
      if (count < 1) {
        return Refused("Belaganzahl unzulässig: >" + TrimBlanks(item) + "< bei Artikel >" + articleNumber + "<");
      }
      auto topping = tools_.Open("SELECT * FROM belaege WHERE belnr = " + NumStr(number));
      if (!topping) return DatabaseFailed(topping.status());
      if (topping->Eof()) continue;  // an unknown topping is left out
      std::string name = GetFieldValue(*topping, "belbez").AsString();
      belaginfo += count > 1 ? std::to_string(count) + "x" + name + ", " : name + ", ";
      belnrinfo += std::to_string(count) + "x" + std::to_string(number) + ";";
      if (belpreis >= 1 && belpreis <= 3) {
        int64_t surcharge = int64_t{count} * GetFieldValue(*topping, "preis" + std::to_string(belpreis)).AsInt64();
        auto total = CheckedCents(int64_t{price} + surcharge);
        if (!total) return Refused("Preis für Artikel >" + articleNumber + "< außerhalb des gültigen Bereichs.");
        price = *total;
      }
    }
  }
  // The topping codes are read back item by item: cut, they would be wrong.
  if (belnrinfo.size() > ColumnLength("belnrinfo")) {
    return Refused("Zu viele Beläge für Artikel >" + articleNumber + "<");
  }
  // Texts for people are cut to what the columns hold.
  const std::string name = GetFieldValue(*article, "artbez").AsString().substr(0, ColumnLength("artbez"));
  const std::string storedNote = note.substr(0, ColumnLength("kueinfo"));
  belaginfo = belaginfo.substr(0, ColumnLength("belaginfo"));
  if (std::string field = RefusedText({{"Artikelbezeichnung", &name}, {"Belagtext", &belaginfo}}); !field.empty()) {
    return refuseText(field);
  }

  const std::string now = tools_.SqlNow();
  const std::string sql =
      "INSERT INTO bestellung ( tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
      "rabatt, rabgrund, kueprt, haskuebon, mark, kueinfo, belaginfo, belnrinfo, moddate, insdate ) VALUES ( " +
      NumStr(table) + " , " + NumStr(waiter) + " , " + NumStr(0) + " , " + NumStr(0) + " , " + NumStr(0) + " , " +
      SqlText(articleNumber) + " , " + SqlText(name) + " , " + NumStr(group) + " , " + NumStr(quantity) + " , " +
      NumStr(price) + " , " + NumStr(price) + " , " + NumStr(0) + " , " + SqlText("") + " , " + NumStr(kitchenPrinter) +
      " , " + NumStr(0) + " , " + NumStr(0) + " , " + SqlText(storedNote) + " , " + SqlText(belaginfo) + " , " +
      SqlText(belnrinfo) + " , " + now + " , " + now + " ) ";
  // The server's own refusal of the line names its article.
  if (Status inserted = tools_.ExecSQL(sql); !inserted) {
    return DatabaseFailed(inserted.Prefixed("Artikel >" + articleNumber + "< nicht gebucht: "));
  }
  LineBooking b;
  b.booked = true;
  b.message = "OK";
  b.logText = "  " + std::to_string(quantity) + "x " + name + " ; " + storedNote + ";" + toppings;
  return b;
}

}  // namespace tolven::gateway
