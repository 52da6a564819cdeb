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

void KitchenReceipts::PrintHeader(Job& job, int p) {
  if (p < 1 || p > 5) return;
  const Settings& s = job.settings;
  job.paper.ResetPrintLines();
  if (job.pass.settings.bonvorlauf) {
    for (int i = 0; i < 5; ++i) Add(job, ".");
  }
  if (job.pass.insteadOf.empty()) {
    Add(job, s.dh + job.pass.settings.name + s.aus);
  } else {
    Add(job, s.dh + job.pass.deviceName + s.aus);
    Add(job, s.dh + "statt " + job.pass.insteadOf + s.aus);
  }
  Add(job, "Nr." + std::to_string(job.pass.kuebonnr) + "/" + std::to_string(job.seqnr));
  if (!job.note.empty()) Add(job, s.dh + job.note + s.aus);
  Add(job, " ");
  if (job.table != 0) {
    Add(job, s.dh + "Tisch " + s.aus + s.dhb + " " + std::to_string(job.table) + s.aus + " " +
                 (s.bonshowtischname ? TableName(job) : std::string()));
  } else {
    Add(job, s.dh + "Ausser Haus" + s.aus);
  }
  Add(job, "----------------------");
  DateTime now = tools_.env().Now();
  Add(job, ShortDate(now.date) + "  " + s.db + FormatHM(now) + s.aus);
  if (s.kuebonkellner == 1) {
    Add(job, " ");
    Add(job, "Kellner: " + job.waiter);
  } else if (s.kuebonkellner == 2) {
    Add(job, " ");
    Add(job, s.dh + "Kellner: " + job.waiter + s.aus);
  }
  if (s.kuebonkunde > 0) {
    std::string name = CustomerName(job);
    if (!name.empty()) {
      Add(job, " ");
      Add(job, s.kuebonkunde == 1 ? "Kunde  : " + name : s.dh + "Kunde  : " + name + s.aus);
    }
  }
  Add(job, " ");
}

std::string KitchenReceipts::TableName(Job& job) {
  if (!job.tableName) {
    auto rs = tools_.Open("SELECT name FROM tischnamen WHERE tisch = " + NumStr(job.table));
    job.tableName = rs && !rs->Eof() ? GetFieldValue(*rs, "name").AsString() : "";
  }
  return *job.tableName;
}

std::string KitchenReceipts::CustomerName(Job& job) {
  if (!job.customerName) {
    job.customerName.emplace();
    auto first = tools_.Open("SELECT kdnr FROM bestellung WHERE tisch = " + NumStr(job.table) + " ORDER BY id");
    int32_t kdnr = first && !first->Eof() ? GetFieldValue(*first, "kdnr").AsInt() : 0;
    if (kdnr > 0) {
      auto customer = tools_.Open("SELECT name FROM kunden WHERE kdnr = " + NumStr(kdnr));
      if (customer && !customer->Eof()) job.customerName = GetFieldValue(*customer, "name").AsString();
    }
  }
  return *job.customerName;
}

void KitchenReceipts::KueBonLine(Job& job, int p, const KitchenRow& row, bool printRecipe) {
  DateTime now = tools_.env().Now();
  const int64_t tenths = int64_t{SecondsSinceMidnight(now)} * 10 + now.millisecond / 100;
  const std::string sql =
      "INSERT INTO kuebonlog (seqnr, kuebonnr, drucker, tisch, artnr, artbez, menge, preis, kanr, kaname, msecs, "
      "datumzeit) VALUES ( " +
      NumStr(job.seqnr) + " , " + NumStr(job.pass.kuebonnr) + " , " + NumStr(p) + " , " + NumStr(job.table) + " , " +
      SqlText(row.artnr) + " , " + SqlText(row.artbez) + " , " + NumStr(row.menge) + " , " + NumStr(row.epreis) +
      " , " + NumStr(tools_.state().kaNr) + " , " + SqlText(tools_.state().kaName.substr(0, 30)) + " , " +
      NumStr(tenths) + " , " + tools_.SqlDateTime(now.date, FormatHMS(now)) + " ) ";
  if (Status status = tools_.ExecSQL(sql); !status) {
    tools_.LogSqlError("Küchenbonlog-Eintrag fehlgeschlagen. " + status.message());
  }

  if (p >= 1 && p <= 5) {
    PrintArticle(job, row, printRecipe);
  } else if (p == 6 || p == 7) {
    WriteMonitorRow(job, p, row);
  }
  job.pass.items.push_back({row.menge, row.artbez, row.epreis});
}

void KitchenReceipts::PrintArticle(Job& job, const KitchenRow& row, bool printRecipe) {
  const Settings& s = job.settings;
  const std::string qty = std::to_string(row.menge);
  if (!s.dh.empty()) {
    std::string first, rest;
    SplitDoubleSize(row.artbez, first, rest);
    Add(job, s.dhb + qty + s.aus + s.dh + "x " + s.aus + s.dhb + first + s.aus);
    if (!rest.empty()) {
      Add(job, s.dhb + "    " + rest.substr(0, kDoubleWidth) + s.aus);
      if (rest.size() > kDoubleWidth) Add(job, s.dhb + "    " + rest.substr(kDoubleWidth, kDoubleWidth) + s.aus);
    }
  } else {
    Add(job, qty + "x " + row.artbez.substr(0, kNormalWidth));
    if (row.artbez.size() > kNormalWidth) Add(job, "    " + row.artbez.substr(kNormalWidth));
  }

  if (!row.kueinfo.empty()) Add(job, s.dh + ">>> " + row.kueinfo + " <<<" + s.aus);

  if (!row.belaginfo.empty()) {
    int fields = 1;
    for (char c : row.belaginfo) fields += c == ',' ? 1 : 0;
    for (int k = 1; k <= std::min(fields, 200); ++k) {
      std::string topping = TrimBlanks(GetToken(row.belaginfo, k, ","));
      if (!topping.empty()) Add(job, s.dhb + "  >" + topping.substr(0, 18) + s.aus);
    }
  }

  if (row.gast != 0) {
    if (s.kuebongast == 2) {
      Add(job, s.dh + " Gast" + " " + std::to_string(row.gast) + s.aus);
    } else if (s.kuebongast == 1) {
      Add(job, " Gast " + std::to_string(row.gast));
    }
  }

  std::string info;
  if (s.kuebonartnr == 1) info = row.artnr;
  if (s.kuebonartnr == 2) info = s.dh + row.artnr + s.aus;
  if (s.kuebonpreis == 1 || s.kuebonpreis == 2) {
    if ((s.kuebonartnr == 1 || s.kuebonartnr == 2) && !row.artnr.empty()) info += " / ";
    if (row.menge != 1) info += std::to_string(row.menge) + "x ";
    const std::string price = FormatCents(row.epreis);
    info += s.kuebonpreis == 2 ? s.dh + price + s.aus : price;
  }
  if (!info.empty()) Add(job, "      ( " + info + " )");

  if (printRecipe) PrintRecipe(job, row.artnr);
}

void KitchenReceipts::PrintRecipe(Job& job, const std::string& artnr) {
  Add(job, " ");
  Add(job, "    Zubereitung:");
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
    Add(job, "    " + PadRight(GetFieldValue(*rs, "zutbez").AsString(), 20) + " " + amount + " " + unit);
  }
}

void KitchenReceipts::WriteMonitorRow(Job& job, int p, const KitchenRow& row) {
  std::string txt = row.artbez;
  if (!row.kueinfo.empty()) txt += "\r\n" + row.kueinfo;
  if (!row.belaginfo.empty()) txt += "\r\n" + row.belaginfo;
  // The column holds 255 characters; a longer note must not cost the whole message.
  txt = txt.substr(0, 255);
  const std::string sql = "INSERT INTO kuemon (monitornr, status, tisch, gang, gast, menge, txt, insdate) VALUES ( " +
                          NumStr(p - 5) + " , " + NumStr(0) + " , " + NumStr(job.table) + " , " + NumStr(row.gang) +
                          " , " + NumStr(row.gast) + " , " + NumStr(row.menge) + " , " + SqlText(txt) + " , " +
                          tools_.SqlNow() + " ) ";
  Status inserted = tools_.ExecSQL(sql);
  if (inserted) return;
  tools_.ui().MessageBox("Meldung an Küchenmonitor fehlgeschlagen.\r\n\r\n" + inserted.message(),
                         platform::MsgKind::Critical);
  MarkFailed(job, p, "Meldung an Küchenmonitor fehlgeschlagen: " + inserted.message());
}

bool KitchenReceipts::PrintKueBonFertig(Job& job, int printer) {
  if (printer == 0 || printer == 6 || printer == 7) return true;
  if (printer < 1 || printer > 5) {
    tools_.ui().MessageBox("Interner Fehler: Drucker=" + std::to_string(printer) + " in SUB PrintKueBonFertig()",
                           platform::MsgKind::Critical);
    return false;
  }
  const KitchenPrinterSettings& cur = job.pass.settings;
  for (int32_t i = 0; i < job.settings.bonvor; ++i) Add(job, " ");
  if (cur.kuesummer) Add(job, job.paper.GetPrinterCode("KÜCHENSUMMER"));

  const int device = job.pass.device != 0 ? job.pass.device : printer;
  std::string channel = job.settings.port[device];
  if (ToUpper(channel) == "NETZ") channel = "NETZ" + job.settings.prt[device];

  bool delivered = false;
  Status failure;
  for (int32_t copy = 0; copy <= cur.kopien; ++copy) {
    Status st = job.paper.PrintLines(channel, true, false);
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
    log_.AddLogLine("FEHLER: Kopie " + std::to_string(copy) + " des Küchenbons Nr. " +
                    std::to_string(job.pass.kuebonnr) + " auf " + channel + " nicht gedruckt: " + st.message());
  }
  tools_.env().SleepMs(50);
  if (!delivered) MarkFailed(job, printer, "Ausdruck auf >" + channel + "< fehlgeschlagen: " + failure.message());
  return delivered;
}

}  // namespace tolven::printing
