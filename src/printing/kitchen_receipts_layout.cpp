// The kitchen receipt as the kitchen reads it: header, article blocks with notes,
// toppings, guest and recipe, the monitor rows, and the finished printout.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/money.h"
#include "common/text.h"
#include "printing/kitchen_receipts.h"

namespace tolven::printing {

using db::GetFieldValue;
using db::SqlText;

namespace {

constexpr size_t kDoubleWidth = 17;  // characters of a double-width line
constexpr size_t kNormalWidth = 28;

std::string ShortDate(const Date& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%02d", d.day, d.month, d.year % 100);
  return buf;
}

// Recipe quantities are kept with four decimals; counting in 1/10000 keeps them exact.
int64_t TenThousandths(double value) { return std::llround(value * 10000.0); }

// A recipe quantity in its plain decimal form ("2", "0.25").
std::string QuantityText(int64_t units) {
  std::string sign = units < 0 ? "-" : "";
  int64_t magnitude = units < 0 ? -units : units;
  std::string text = sign + std::to_string(magnitude / 10000);
  int64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(fraction));
    std::string digits = buf;
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

}  // namespace

void KitchenReceipts::SplitDoubleSize(const std::string& text, std::string& first, std::string& rest) {
  // A text that fits the line is never broken.
  if (text.size() <= kDoubleWidth) {
    first = text;
    rest.clear();
    return;
  }
  if (text[kDoubleWidth] == ' ') {
    first = text.substr(0, kDoubleWidth);
    rest = text.substr(kDoubleWidth + 1);
    return;
  }
  // Break at a word when that keeps at least ten characters on the first line.
  size_t blank = text.rfind(' ', kDoubleWidth - 1);
  if (blank != std::string::npos && blank >= 10) {
    first = text.substr(0, blank);
    rest = text.substr(blank + 1);
  } else {
    first = text.substr(0, kDoubleWidth);
    rest = text.substr(kDoubleWidth);
  }
}

void KitchenReceipts::PrintHeader(int p) {
  if (p < 1 || p > 5) return;
  printLines_.ResetPrintLines();
  if (cur_.bonvorlauf) {
    for (int i = 0; i < 5; ++i) Add(".");
  }
  Add(dh_ + cur_.name + aus_);
  Add("Nr." + std::to_string(kuebonnr_) + "/" + std::to_string(seqnr_));
  Add(" ");
  if (table_ != 0) {
    Add(dh_ + "Tisch " + aus_ + dhb_ + " " + std::to_string(table_) + aus_ + " " +
        (bonshowtischname_ ? TableName() : std::string()));
  } else {
    Add(dh_ + "Ausser Haus" + aus_);
  }
  Add("----------------------");
  DateTime now = tools_.env().Now();
  Add(ShortDate(now.date) + "  " + db_ + FormatHM(now) + aus_);
  if (kuebonkellner_ == 1) {
    Add(" ");
    Add("Kellner: " + waiter_);
  } else if (kuebonkellner_ == 2) {
    Add(" ");
    Add(dh_ + "Kellner: " + waiter_ + aus_);
  }
  if (kuebonkunde_ > 0) {
    std::string name = CustomerName();
    if (!name.empty()) {
      Add(" ");
      Add(kuebonkunde_ == 1 ? "Kunde  : " + name : dh_ + "Kunde  : " + name + aus_);
    }
  }
  Add(" ");
}

std::string KitchenReceipts::TableName() {
  if (!tableNameRead_) {
    tableNameRead_ = true;
    auto rs = tools_.Open("SELECT name FROM tischnamen WHERE tisch = " + NumStr(table_));
    tableName_ = rs && !rs->Eof() ? GetFieldValue(*rs, "name").AsString() : "";
  }
  return tableName_;
}

std::string KitchenReceipts::CustomerName() {
  if (!customerRead_) {
    customerRead_ = true;
    customerName_.clear();
    auto first = tools_.Open("SELECT kdnr FROM bestellung WHERE tisch = " + NumStr(table_) + " ORDER BY id");
    int32_t kdnr = first && !first->Eof() ? GetFieldValue(*first, "kdnr").AsInt() : 0;
    if (kdnr > 0) {
      auto customer = tools_.Open("SELECT name FROM kunden WHERE kdnr = " + NumStr(kdnr));
      if (customer && !customer->Eof()) customerName_ = GetFieldValue(*customer, "name").AsString();
    }
  }
  return customerName_;
}

void KitchenReceipts::KueBonLine(int p, const KitchenRow& row, bool printRecipe) {
  DateTime now = tools_.env().Now();
  const int64_t tenths = int64_t{SecondsSinceMidnight(now)} * 10 + now.millisecond / 100;
  const std::string sql =
      "INSERT INTO kuebonlog (seqnr, kuebonnr, drucker, tisch, artnr, artbez, menge, preis, kanr, kaname, msecs, "
      "datumzeit) VALUES ( " +
      NumStr(seqnr_) + " , " + NumStr(kuebonnr_) + " , " + NumStr(p) + " , " + NumStr(table_) + " , " +
      SqlText(row.artnr) + " , " + SqlText(row.artbez) + " , " + NumStr(row.menge) + " , " + NumStr(row.epreis) +
      " , " + NumStr(tools_.state().kaNr) + " , " + SqlText(tools_.state().kaName.substr(0, 30)) + " , " +
      NumStr(tenths) + " , " + tools_.SqlDateTime(now.date, FormatHMS(now)) + " ) ";
  if (Status status = tools_.ExecSQL(sql); !status) {
    tools_.LogSqlError("Küchenbonlog-Eintrag fehlgeschlagen. " + status.message());
  }

  if (p >= 1 && p <= 5) {
    PrintArticle(row, printRecipe);
  } else if (p == 6 || p == 7) {
    WriteMonitorRow(p, row);
  }
  printerItems_.push_back({row.menge, row.artbez, row.epreis});
}

void KitchenReceipts::PrintArticle(const KitchenRow& row, bool printRecipe) {
  const std::string qty = std::to_string(row.menge);
  if (!dh_.empty()) {
    std::string first, rest;
    SplitDoubleSize(row.artbez, first, rest);
    Add(dhb_ + qty + aus_ + dh_ + "x " + aus_ + dhb_ + first + aus_);
    if (!rest.empty()) {
      Add(dhb_ + "    " + rest.substr(0, kDoubleWidth) + aus_);
      if (rest.size() > kDoubleWidth) Add(dhb_ + "    " + rest.substr(kDoubleWidth, kDoubleWidth) + aus_);
    }
  } else {
    Add(qty + "x " + row.artbez.substr(0, kNormalWidth));
    if (row.artbez.size() > kNormalWidth) Add("    " + row.artbez.substr(kNormalWidth));
  }

  if (!row.kueinfo.empty()) Add(dh_ + ">>> " + row.kueinfo + " <<<" + aus_);

  if (!row.belaginfo.empty()) {
    int fields = 1;
    for (char c : row.belaginfo) fields += c == ',' ? 1 : 0;
    for (int k = 1; k <= std::min(fields, 200); ++k) {
      std::string topping = TrimBlanks(GetToken(row.belaginfo, k, ","));
      if (!topping.empty()) Add(dhb_ + "  >" + topping.substr(0, 18) + aus_);
    }
  }

  if (row.gast != 0) {
    if (kuebongast_ == 2) {
      Add(dh_ + " Gast" + " " + std::to_string(row.gast) + aus_);
    } else if (kuebongast_ == 1) {
      Add(" Gast " + std::to_string(row.gast));
    }
  }

  std::string info;
  if (kuebonartnr_ == 1) info = row.artnr;
  if (kuebonartnr_ == 2) info = dh_ + row.artnr + aus_;
  if (kuebonpreis_ == 1 || kuebonpreis_ == 2) {
    if ((kuebonartnr_ == 1 || kuebonartnr_ == 2) && !row.artnr.empty()) info += " / ";
    if (row.menge != 1) info += std::to_string(row.menge) + "x ";
    const std::string price = FormatCents(row.epreis);
    info += kuebonpreis_ == 2 ? dh_ + price + aus_ : price;
  }
  if (!info.empty()) Add("      ( " + info + " )");

  if (printRecipe) PrintRecipe(row.artnr);
}

void KitchenReceipts::PrintRecipe(const std::string& artnr) {
  Add(" ");
  Add("    Zubereitung:");
  auto rs = tools_.Open(
      "SELECT z.zutbez AS zutbez, a.menge AS menge, z.einheit AS einheit FROM artzut a "
      "INNER JOIN zutaten z ON a.zutnr = z.zutnr WHERE a.artnr = " +
      SqlText(artnr) + " ORDER BY a.zutnr");
  if (!rs) return;
  for (; !rs->Eof(); rs->MoveNext()) {
    int64_t units = TenThousandths(GetFieldValue(*rs, "menge").AsDouble());
    std::string unit = GetFieldValue(*rs, "einheit").AsString();
    std::string amount;
    if (unit == "l" || unit == "L") {
      // Litres read better as whole millilitres; halves round up.
      int64_t tenthMl = units;  // 1/10000 l = 1/10 ml
      int64_t ml = tenthMl >= 0 ? (tenthMl + 5) / 10 : -((-tenthMl + 4) / 10);
      amount = std::to_string(ml);
      unit = "ml";
    } else {
      amount = QuantityText(units);
    }
    Add("    " + PadRight(GetFieldValue(*rs, "zutbez").AsString(), 20) + " " + amount + " " + unit);
  }
}

void KitchenReceipts::WriteMonitorRow(int p, const KitchenRow& row) {
  std::string txt = row.artbez;
  if (!row.kueinfo.empty()) txt += "\r\n" + row.kueinfo;
  if (!row.belaginfo.empty()) txt += "\r\n" + row.belaginfo;
  // The column holds 255 characters; a longer note must not cost the whole message.
  txt = txt.substr(0, 255);
  const std::string sql = "INSERT INTO kuemon (monitornr, status, tisch, gang, gast, menge, txt, insdate) VALUES ( " +
                          NumStr(p - 5) + " , " + NumStr(0) + " , " + NumStr(table_) + " , " + NumStr(row.gang) +
                          " , " + NumStr(row.gast) + " , " + NumStr(row.menge) + " , " + SqlText(txt) + " , " +
                          tools_.SqlNow() + " ) ";
  Status inserted = tools_.ExecSQL(sql);
  if (inserted) return;
  tools_.ui().MessageBox("Meldung an Küchenmonitor fehlgeschlagen.\r\n\r\n" + inserted.message(),
                         platform::MsgKind::Critical);
  MarkFailed(p, "Meldung an Küchenmonitor fehlgeschlagen: " + inserted.message());
}

bool KitchenReceipts::PrintKueBonFertig(int printer) {
  if (printer == 0 || printer == 6 || printer == 7) return true;
  if (printer < 1 || printer > 5) {
    tools_.ui().MessageBox("Interner Fehler: Drucker=" + std::to_string(printer) + " in SUB PrintKueBonFertig()",
                           platform::MsgKind::Critical);
    return false;
  }
  for (int32_t i = 0; i < bonvor_; ++i) Add(" ");
  if (cur_.kuesummer) Add(printLines_.GetPrinterCode("KÜCHENSUMMER"));

  std::string channel = port_[printer];
  if (ToUpper(channel) == "NETZ") channel = "NETZ" + prt_[printer];

  bool delivered = false;
  Status failure;
  for (int32_t copy = 0; copy <= cur_.kopien; ++copy) {
    Status st = printLines_.PrintLines(channel, true, false);
    if (st) {
      delivered = true;
      continue;
    }
    if (copy == 0) {
      // The printer is out; the copies would fail the same way, and the whole
      // receipt comes out again with the next order.
      failure = st;
      break;
    }
    log_.AddLogLine("FEHLER: Kopie " + std::to_string(copy) + " des Küchenbons Nr. " + std::to_string(kuebonnr_) +
                    " auf " + channel + " nicht gedruckt: " + st.message());
  }
  tools_.env().SleepMs(50);
  if (!delivered) MarkFailed(printer, "Ausdruck auf >" + channel + "< fehlgeschlagen: " + failure.message());
  return delivered;
}

}  // namespace tolven::printing
