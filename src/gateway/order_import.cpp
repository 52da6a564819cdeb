#include "gateway/order_import.h"

#include "common/text.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;

int32_t OrderImport::GetArticlePrice(const std::string& articleNumber, bool takeAway) {
  db::DbError err;
  auto rs = tools_.Open(
      "SELECT vkpreis, perspreis, vkpreis2, angbis, angpreis, ahpreis, happy1preis, happy2preis FROM artikel "
      "WHERE artnr = " + SqlText(articleNumber),
      err);
  if (!rs || rs->Eof()) return 0;
  int32_t price = GetFieldValue(*rs, "vkpreis").AsInt();
  DateTime now = tools_.env().Now();

  // The offer runs up to the day before `angbis`: on that day the normal price is back.
  const db::Value angbis = GetFieldValue(*rs, "angbis");
  int32_t angpreis = GetFieldValue(*rs, "angpreis").AsInt();
  if (angbis.IsText() && now.date < angbis.AsDateTime().date && angpreis > 0) price = angpreis;

  int32_t ahpreis = GetFieldValue(*rs, "ahpreis").AsInt();
  if (takeAway && ahpreis != 0) return ahpreis;

  auto sys = tools_.Open("SELECT happy1start, happy1ende, happy2start, happy2ende FROM system", err);
  if (!sys || sys->Eof()) return price;
  const std::string hm = FormatHM(now);
  for (int w = 1; w <= 2; ++w) {
    std::string start = GetFieldValue(*sys, "happy" + std::to_string(w) + "start").AsString();
    std::string end = GetFieldValue(*sys, "happy" + std::to_string(w) + "ende").AsString();
    // Compared as texts, so a window across midnight (22:00 to 02:00) never applies.
    if (start != end && start <= hm && hm <= end) {
      price = GetFieldValue(*rs, "happy" + std::to_string(w) + "preis").AsInt();
    }
  }
  return price;
}

std::string OrderImport::ImportOrderLine(const std::string& line, int32_t table, int32_t waiter) {
  const std::string articleNumber = TrimBlanks(GetToken(line, 2));
  const std::string quantityField = GetToken(line, 3);
  const std::string note = TrimBlanks(GetToken(line, 4));
  const std::string toppings = TrimBlanks(GetToken(line, 5));

  db::DbError err;
  auto article = tools_.Open("SELECT * FROM artikel WHERE artnr = " + SqlText(articleNumber), err);
  if (!article) return err.text;
  if (article->Eof()) return "Artikel >" + articleNumber + "< nicht gefunden.";

  int32_t price = GetArticlePrice(articleNumber, table == 0);
  const int32_t group = GetFieldValue(*article, "artgrp").AsInt();
  int32_t kitchenPrinter = 0;
  if (auto grp = tools_.Open("SELECT kueprt FROM artgrp WHERE artgrp = " + NumStr(group), err); grp && !grp->Eof()) {
    kitchenPrinter = GetFieldValue(*grp, "kueprt").AsInt();
  }

  const int32_t quantity = LeadingWholeNumber(quantityField);
  if (quantity < 1 || quantity > 99) return "Mengenangabe unzulässig";

  std::string belaginfo, belnrinfo;
  const int32_t belpreis = GetFieldValue(*article, "belpreis").AsInt();
  if (!toppings.empty()) {
    for (int k = 1;; ++k) {
      std::string item = GetToken(toppings, k, "+");
      int32_t count = LeadingWholeNumber(GetToken(item, 1, "x"));
      int32_t number = LeadingWholeNumber(GetToken(item, 2, "x"));
      if (number == 0) break;
      if (number < 0) continue;
      auto topping = tools_.Open("SELECT * FROM belaege WHERE belnr = " + NumStr(number), err);
      if (!topping || topping->Eof()) continue;  // an unknown topping is left out
      std::string name = GetFieldValue(*topping, "belbez").AsString();
      belaginfo += count > 1 ? std::to_string(count) + "x" + name + ", " : name + ", ";
      belnrinfo += std::to_string(count) + "x" + std::to_string(number) + ";";
      if (belpreis >= 1 && belpreis <= 3) {
        int64_t surcharge = int64_t{count} * GetFieldValue(*topping, "preis" + std::to_string(belpreis)).AsInt64();
        auto total = CheckedCents(int64_t{price} + surcharge);
        if (!total) return "Preis für Artikel >" + articleNumber + "< außerhalb des gültigen Bereichs.";
        price = *total;
      }
    }
  }

  const std::string now = tools_.SqlNow();
  const std::string sql =
      "INSERT INTO bestellung ( tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
      "rabatt, rabgrund, kueprt, haskuebon, mark, kueinfo, belaginfo, belnrinfo, moddate, insdate ) VALUES ( " +
      NumStr(table) + " , " + NumStr(waiter) + " , " + NumStr(0) + " , " + NumStr(0) + " , " + NumStr(0) + " , " +
      SqlText(articleNumber) + " , " + SqlText(GetFieldValue(*article, "artbez").AsString()) + " , " +
      NumStr(group) + " , " + NumStr(quantity) + " , " + NumStr(price) + " , " + NumStr(price) + " , " + NumStr(0) +
      " , " + SqlText("") + " , " + NumStr(kitchenPrinter) + " , " + NumStr(0) + " , " + NumStr(0) + " , " +
      SqlText(note) + " , " + SqlText(belaginfo) + " , " + SqlText(belnrinfo) + " , " + now + " , " + now + " ) ";
  if (!tools_.ExecSQL(sql, err)) return err.text;
  log_.AddLogLine("  " + std::to_string(quantity) + "x " + GetFieldValue(*article, "artbez").AsString() + " ; " +
                  note + ";" + toppings);
  return "OK";
}

}  // namespace tolven::gateway
