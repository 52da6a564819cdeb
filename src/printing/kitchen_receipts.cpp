#include "printing/kitchen_receipts.h"

#include "common/text.h"
#include "db/transaction.h"
#include "platform/env.h"

namespace tolven::printing {

using db::GetFieldValue;
using db::SqlText;

namespace {

bool IsMonitor(int printer) { return printer == 6 || printer == 7; }
bool Prints(int printer) { return printer >= 1 && printer <= 5; }
std::string ShownName(const std::string& name, int printer) {
  return name.empty() ? "Drucker " + std::to_string(printer) : name;
}

}  // namespace

KitchenReceipts::KitchenReceipts(db::StationContext& tools, const PrintServices& printing, fiscal::Tse& tse,
                                 LogSink& log, KitchenOptions options)
    : tools_(tools), printing_(printing), tse_(tse), log_(log), options_(options), claims_(tools, log) {}

void KitchenReceipts::PrintKueBon(const std::optional<fiscal::TseStart>& transaction, int32_t table,
                                  const std::string& waiter) {
  KitchenPrintout printout{table, waiter, claims_.NewToken(), ""};
  if (Status claimed = claims_.ClaimPending(printout.token, table); !claimed) {
    log_.AddLogLine("FEHLER: Küchenbons für Tisch " + std::to_string(table) +
                    " nicht gedruckt, offene Positionen nicht übernommen: " + claimed.message());
    return;
  }
  PrintClaimed(transaction, printout);
}

void KitchenReceipts::PrintClaimed(const std::optional<fiscal::TseStart>& transaction,
                                   const KitchenPrintout& printout) {
  Job job(printing_);
  job.table = printout.table;
  job.waiter = printout.waiter;
  job.token = printout.token;
  job.note = printout.note;
  job.lines = " WHERE tisch = " + NumStr(job.table) + " AND haskuebon = " + tools_.SqlBool(false) +
              KitchenClaims::LinesOf(job.token);
  Print(job, transaction);
}

void KitchenReceipts::Print(Job& job, const std::optional<fiscal::TseStart>& transaction) {
  const int32_t table = job.table;
  auto pending = tools_.Open("SELECT * FROM bestellung " + job.lines + "   AND artnr <> " + SqlText("$GVTGAG") + " " +
                             "   AND artnr <> " + SqlText("$GVFA") + " ");
  if (!pending) {
    // Nothing has been printed or marked, so the lines come out with the next order.
    log_.AddLogLine("FEHLER: Küchenbons für Tisch " + std::to_string(table) +
                    " nicht gedruckt, offene Positionen nicht lesbar: " + pending.status().message());
    claims_.Release(job.token, 0);
    return;
  }
  if (pending->Eof()) {
    // Nothing for the kitchen (guest count, follow-up order): the order's TSE
    // transaction is still finished, with those lines as its data, since a TSE
    // keeps only a limited number of transactions open.
    FinishWithoutPrinting(job, transaction);
    return;
  }

  job.settings = ReadSettings(table);
  job.seqnr = tools_.GetUniqueNr("SEQNR").value_or(-1);  // logged; the ticket still prints

  std::array<bool, kKitchenPrinters> used{};
  auto printers = tools_.Open("SELECT haskuebon, kueprt FROM bestellung " + job.lines);
  if (!printers) {
    log_.AddLogLine("FEHLER: Küchenbons für Tisch " + std::to_string(table) +
                    " nicht gedruckt, Drucker nicht lesbar: " + printers.status().message());
    claims_.Release(job.token, 0);
    return;
  }
  for (; !printers->Eof(); printers->MoveNext()) {
    int32_t p = GetFieldValue(*printers, "kueprt").AsInt();
    if (p >= 0 && p < kKitchenPrinters) used[static_cast<size_t>(p)] = true;
  }
  for (int p = 0; p < kKitchenPrinters; ++p) {
    if (used[static_cast<size_t>(p)]) PrintPrinter(job, p);
  }

  const bool marked = MarkLines(job);
  const bool signedNow = SignOrder(job, transaction);
  // Lines of a failed printer go back to the table for the next printout.
  if (marked) claims_.Release(job.token, signedNow ? transaction->transactionNumber : 0);
}

KitchenReceipts::Settings KitchenReceipts::ReadSettings(int32_t table) {
  Settings s;
  auto sys = tools_.Open("SELECT * FROM system");
  const bool haveSystem = sys && !sys->Eof();
  auto num = [&](const char* column) { return haveSystem ? GetFieldValue(*sys, column).AsInt() : 0; };
  auto flag = [&](const char* column) { return haveSystem && GetFieldValue(*sys, column).AsBool(); };
  auto text = [&](const std::string& column) {
    return haveSystem ? GetFieldValue(*sys, column).AsString() : std::string();
  };
  s.kuebonpreis = num("kuebonpreis");
  s.kuebonartnr = num("kuebonartnr");
  s.kuebongast = num("kuebongast");
  s.kueartbez = flag("kueartbez");
  s.bonvor = num("bonvor");
  s.bonshowtischname = flag("bonshowtischname");
  s.kuebonkellner = num("kuebonkellner");
  s.kuebonkunde = num("kuebonkunde");
  for (int n = 1; n <= 4; ++n) {
    s.port[n] = text("kuebonport" + std::to_string(n));
    s.prt[n] = text("kuebonprt" + std::to_string(n));
  }
  if (flag("kuebongross")) {
    s.dh = GetPrinterCode(printing_.ini, "DOPPELT_HOCH");
    s.aus = GetPrinterCode(printing_.ini, "DOPPELT_HOCH_BREIT_AUS");
    s.dhb = GetPrinterCode(printing_.ini, "DOPPELT_HOCH_BREIT");
    s.db = GetPrinterCode(printing_.ini, "DOPPELT_BREIT");
  }

  // The station's own printers win over the installation's.
  auto hw = tools_.Open("SELECT * FROM systemhw WHERE filnr = " + NumStr(tools_.state().filiale) +
                        " AND kasse = " + NumStr(tools_.state().kasse));
  if (hw && !hw->Eof()) {
    for (int n = 1; n <= 4; ++n) {
      s.port[n] = GetFieldValue(*hw, "kuebonport" + std::to_string(n)).AsString();
      s.prt[n] = GetFieldValue(*hw, "kuebonprt" + std::to_string(n)).AsString();
    }
    s.comschankanl = GetFieldValue(*hw, "comschankanl").AsInt();
  }

  auto room = tools_.Open("SELECT * FROM rauminfo WHERE starttisch <= " + NumStr(table) +
                          " AND starttisch + tischzahl > " + NumStr(table));
  if (room && !room->Eof()) {
    s.port[5] = GetFieldValue(*room, "kuebonport").AsString();
    s.prt[5] = GetFieldValue(*room, "kuebonprt").AsString();
  }
  return s;
}

std::string KitchenReceipts::StoredName(int printer) {
  auto rs = tools_.Open("SELECT name FROM kueprtparam WHERE drucker = " + NumStr(printer));
  return rs && !rs->Eof() ? GetFieldValue(*rs, "name").AsString() : "";
}

std::string KitchenReceipts::PrinterName(int printer) { return ShownName(StoredName(printer), printer); }

KitchenPrinterSettings KitchenReceipts::ReadPrinterSettings(int printer) {
  KitchenPrinterSettings cur;
  if (printer == 0 || IsMonitor(printer)) return cur;  // nothing is printed: no grouping, sort or split
  auto rs = tools_.Open("SELECT * FROM kueprtparam WHERE drucker = " + NumStr(printer));
  if (rs && !rs->Eof()) {
    cur.name = GetFieldValue(*rs, "name").AsString();
    cur.bonvorlauf = GetFieldValue(*rs, "bonvorlauf").AsBool();
    cur.kuesummer = GetFieldValue(*rs, "kuesummer").AsBool();
    // A negative number of copies must not swallow the receipt itself.
    cur.kopien = std::max(0, GetFieldValue(*rs, "kopien").AsInt());
    if (printer != 5) {
      // An unknown grouping would print nothing at all; one receipt is the safe reading.
      cur.grupp = GetFieldValue(*rs, "grupp").AsInt();
      if (cur.grupp < 0 || cur.grupp > 3) cur.grupp = 0;
      cur.sort = GetFieldValue(*rs, "sort").AsInt();
      cur.split = GetFieldValue(*rs, "split").AsBool();
    }
  } else if (printer <= 4) {
    tools_.ui().MessageBox("Keine Einstellungen für Drucker " + std::to_string(printer) + " gefunden.",
                           platform::MsgKind::Critical);
  }
  // The room printer always prints one receipt sorted by article group.
  if (printer == 5) {
    cur.grupp = 0;
    cur.sort = 1;
    cur.split = false;
  }
  return cur;
}

void KitchenReceipts::PrintPrinter(Job& job, int p) {
  job.pass = PrinterPass();
  job.pass.settings = ReadPrinterSettings(p);
  bool& failed = job.failed[static_cast<size_t>(p)];

  std::vector<KitchenRow> rows;
  if (!CollectRows(job, p, rows)) {
    Report(job, p, rows, "Positionen nicht lesbar");
    return;
  }
  ComposeAndPrint(job, p, rows);
  const int fallback = p >= 1 && p <= 4 ? options_.fallback[static_cast<size_t>(p)] : 0;
  std::string reason = job.failure;
  if (failed && fallback >= 1 && fallback <= 4 && fallback != p && !job.settings.port[fallback].empty()) {
    // The fallback prints the same receipts, saying whose lines they are; the
    // lines then count as printed and do not come out again on printer p.
    (void)tools_.ExecSQL("DELETE FROM kuebonlog WHERE seqnr = " + NumStr(job.seqnr) + " AND drucker = " + NumStr(p));
    const std::string name = ShownName(job.pass.settings.name, p);
    job.pass = PrinterPass();
    job.pass.settings = ReadPrinterSettings(p);
    job.pass.device = fallback;
    job.pass.insteadOf = name;
    job.pass.deviceName = StoredName(fallback);
    failed = false;
    log_.AddLogLine("Küchenbon Tisch " + std::to_string(job.table) + ": Ersatzdrucker " + std::to_string(fallback) +
                    " druckt statt " + name + ".");
    ComposeAndPrint(job, p, rows);
    if (failed) reason += "; Ersatzdrucker " + std::to_string(fallback) + ": " + job.failure;
  }
  Report(job, p, rows, reason);
  if (failed) {
    // Lines that stay pending are logged again when they are really printed.
    if (Status status =
            tools_.ExecSQL("DELETE FROM kuebonlog WHERE seqnr = " + NumStr(job.seqnr) + " AND drucker = " + NumStr(p));
        !status) {
      tools_.LogSqlError("Küchenbonlog-Einträge von Drucker " + std::to_string(p) + " konnten nicht entfernt werden. " +
                             status.message(),
                         true);
    }
    // Ordered all the same: the order signs them now, their later printout does not.
    AddUnsignedItems(job, " AND kueprt = " + NumStr(p));
    return;
  }
  // The dispenser pours only what went to the kitchen, so a reprint never pours twice.
  WriteDispenserFiles(job);
  auto earlier = tools_.Open("SELECT COUNT(*) AS n FROM bestellung " + job.lines + " AND kueprt = " + NumStr(p) +
                             KitchenClaims::SignedLinesOf(job.token));
  if (earlier && !earlier->Eof() && GetFieldValue(*earlier, "n").AsInt64() > 0) {
    AddUnsignedItems(job, " AND kueprt = " + NumStr(p));
  } else {
    job.signItems.insert(job.signItems.end(), job.pass.items.begin(), job.pass.items.end());
  }
}

void KitchenReceipts::Report(const Job& job, int p, const std::vector<KitchenRow>& rows, const std::string& reason) {
  if (options_.outcomes == nullptr || p == 0) return;
  if (!job.failed[static_cast<size_t>(p)]) {
    options_.outcomes->Printed(p, job.table);
    return;
  }
  KitchenFailure f;
  f.printer = p;
  f.printerName = ShownName(job.pass.settings.name, p);
  f.table = job.table;
  f.waiter = job.waiter;
  for (const KitchenRow& row : rows) {
    f.lines += (f.lines.empty() ? "" : ", ") + std::to_string(row.menge) + "x " + row.artbez;
    ++f.lineCount;
  }
  f.reason = reason;
  options_.outcomes->Failed(f);
}

void KitchenReceipts::ComposeAndPrint(Job& job, int p, const std::vector<KitchenRow>& rows) {
  const KitchenPrinterSettings& cur = job.pass.settings;
  const Settings& set = job.settings;
  const bool& failed = job.failed[static_cast<size_t>(p)];
  NewReceipt(job, p);
  for (size_t i = 0; i < rows.size() && !failed; ++i) {
    KitchenRow row = rows[i];
    auto article = tools_.Open("SELECT * FROM artikel WHERE artnr = " + SqlText(row.artnr));
    const bool haveArticle = article && !article->Eof();
    if (haveArticle && set.kueartbez) {
      std::string kitchenText = GetFieldValue(*article, "kueartbez").AsString();
      if (!kitchenText.empty()) row.artbez = kitchenText;
    }
    if (haveArticle && set.comschankanl >= 1) {
      std::string code = GetFieldValue(*article, "schankanlcode").AsString();
      if (!code.empty()) QueueDispenserOrder(job, row, code);
    }
    if (Prints(p) && row.gang != job.pass.course) {
      Add(job, " ");
      Add(job, set.db + " --- " + std::to_string(row.gang) + ". Gang ---" + set.aus);
      Add(job, " ");
      job.pass.course = row.gang;
    }
    KueBonLine(job, p, row, haveArticle && GetFieldValue(*article, "printrezept").AsBool());

    bool receiptEnds = cur.grupp == 2;
    if (!receiptEnds && i + 1 < rows.size()) {
      if (cur.grupp == 1) receiptEnds = rows[i + 1].artgrp != row.artgrp;
      if (cur.grupp == 3) receiptEnds = rows[i + 1].gang != row.gang;
    }
    if (receiptEnds) {
      if (!PrintKueBonFertig(job, p)) break;
      NewReceipt(job, p);
    }
  }
  if (!failed && (cur.grupp == 0 || cur.grupp == 1 || cur.grupp == 3)) {
    PrintKueBonFertig(job, p);
  }
}

bool KitchenReceipts::CollectRows(Job& job, int p, std::vector<KitchenRow>& rows) {
  // The scratch table is the station's, and two printouts of this station may
  // collect their lines at the same moment: each fills and reads it inside a
  // transaction of its own that is rolled back, so neither sees the other's
  // rows and none stay behind. Errors are logged once it is over, so that
  // their log rows are not rolled back with it.
  std::vector<std::pair<std::string, bool>> errors;
  bool collected = false;
  {
    db::Transaction scratch(tools_.connection());
    if (Status begun = scratch.Begin(); !begun) {
      errors.emplace_back("Küchenbon-Positionen von Drucker " + std::to_string(p) + " nicht lesbar. " + begun.message(),
                          true);
      MarkFailed(job, p, "Positionen nicht lesbar: " + begun.message());
    } else {
      collected = FillScratch(job, p, rows, errors);
    }
  }
  for (const auto& [text, quiet] : errors) tools_.LogSqlError(text, quiet);
  return collected;
}

bool KitchenReceipts::FillScratch(Job& job, int p, std::vector<KitchenRow>& rows,
                                  std::vector<std::pair<std::string, bool>>& errors) {
  const auto logSqlError = [&errors](const std::string& text, bool quiet = false) { errors.emplace_back(text, quiet); };
  const std::string kasse = NumStr(tools_.state().kasse);
  if (Status status = tools_.ExecSQL("DELETE FROM tmpkuebon WHERE kasse = " + kasse); !status) {
    logSqlError(
        "Temporäre Tabelle für Küchenbons konnte nicht initialisiert werden. Achtung: es werden "
        "doppelte Bons erzeugt. \r\n\r\n" +
        status.message());
  }

  const bool guests = job.settings.kuebongast > 0;
  const std::string guestColumn = guests ? "gast, " : "";
  auto groups = tools_.Open("SELECT artnr, artbez, artgrp, gang, " + guestColumn +
                            "kueinfo, belaginfo, epreis, SUM(menge) AS anzahl FROM bestellung " +
                            "WHERE tisch = " + NumStr(job.table) + "  AND haskuebon = " + tools_.SqlBool(false) +
                            "  AND kueprt = " + NumStr(p) + KitchenClaims::LinesOf(job.token) +
                            " GROUP BY artnr, artbez, artgrp, gang, " + guestColumn + "kueinfo, belaginfo, epreis ");
  if (!groups) {
    logSqlError("Küchenbon-Positionen von Drucker " + std::to_string(p) + " nicht lesbar. " + groups.status().message(),
                true);
    MarkFailed(job, p, "Positionen nicht lesbar: " + groups.status().message());
    return false;
  }
  for (; !groups->Eof(); groups->MoveNext()) {
    int32_t anzahl = GetFieldValue(*groups, "anzahl").AsInt();
    auto insert = [&](int32_t menge) {
      std::string sql =
          "INSERT INTO tmpkuebon (kasse, artnr, artbez, artgrp, gang, gast, kueinfo, belaginfo, menge, epreis) "
          "VALUES ( " +
          kasse + " , " + SqlText(GetFieldValue(*groups, "artnr").AsString()) + " , " +
          SqlText(GetFieldValue(*groups, "artbez").AsString()) + " , " +
          NumStr(GetFieldValue(*groups, "artgrp").AsInt()) + " , " + NumStr(GetFieldValue(*groups, "gang").AsInt()) +
          " , " + (guests ? NumStr(GetFieldValue(*groups, "gast").AsInt()) : std::string(" 0")) + " , " +
          SqlText(GetFieldValue(*groups, "kueinfo").AsString()) + " , " +
          SqlText(GetFieldValue(*groups, "belaginfo").AsString()) + " , " + NumStr(menge) + " , " +
          NumStr(GetFieldValue(*groups, "epreis").AsInt()) + " ) ";
      Status inserted = tools_.ExecSQL(sql);
      if (inserted) return true;
      logSqlError("Küchenbon-Position konnte nicht angelegt werden. " + inserted.message());
      // A receipt without this line would lose it for good once the lines are marked.
      MarkFailed(job, p, "Position nicht angelegt: " + inserted.message());
      return false;
    };
    if (!job.pass.settings.split) {
      if (!insert(anzahl)) return false;
      continue;
    }
    // One receipt line per piece; a cancellation is split the same way so the
    // kitchen still sees it.
    const int32_t piece = anzahl < 0 ? -1 : 1;
    const int64_t pieces = anzahl < 0 ? -int64_t{anzahl} : int64_t{anzahl};
    for (int64_t k = 0; k < pieces; ++k) {
      if (!insert(piece)) return false;
    }
  }
  std::string order = OrderClause(job.pass.settings);
  auto work =
      tools_.Open("SELECT * FROM tmpkuebon WHERE kasse = " + kasse + (order.empty() ? "" : " ORDER BY " + order));
  if (!work) {
    logSqlError("Küchenbon-Positionen von Drucker " + std::to_string(p) + " nicht lesbar. " + work.status().message(),
                true);
    MarkFailed(job, p, "Positionen nicht lesbar: " + work.status().message());
    return false;
  }
  for (; !work->Eof(); work->MoveNext()) {
    KitchenRow row;
    row.artnr = GetFieldValue(*work, "artnr").AsString();
    row.artbez = GetFieldValue(*work, "artbez").AsString();
    row.artgrp = GetFieldValue(*work, "artgrp").AsInt();
    row.gang = GetFieldValue(*work, "gang").AsInt();
    row.gast = GetFieldValue(*work, "gast").AsInt();
    row.kueinfo = GetFieldValue(*work, "kueinfo").AsString();
    row.belaginfo = GetFieldValue(*work, "belaginfo").AsString();
    row.menge = GetFieldValue(*work, "menge").AsInt();
    row.epreis = GetFieldValue(*work, "epreis").AsInt();
    rows.push_back(std::move(row));
  }
  return true;
}

std::string KitchenReceipts::OrderClause(const KitchenPrinterSettings& printer) {
  switch (printer.sort) {
    case 1: return printer.grupp == 3 ? "gang, artgrp" : "artgrp";
    case 2: return printer.grupp == 2 ? "artgrp, artnr" : printer.grupp == 3 ? "gang, artnr" : "artnr";
    case 3: return printer.grupp == 2 ? "artgrp, gang" : "gang";
    default: return "";
  }
}

void KitchenReceipts::NewReceipt(Job& job, int printer) {
  job.pass.kuebonnr = tools_.GetUniqueNr("KUEBONNR").value_or(-1);  // logged; the ticket still prints
  job.pass.course = 0;
  PrintHeader(job, printer);
}

void KitchenReceipts::MarkFailed(Job& job, int printer, const std::string& reason) {
  auto& failed = job.failed[static_cast<size_t>(printer)];
  if (failed) return;
  failed = true;
  job.failure = reason;
  printing_.observer.PrintoutFailed(
      std::string(IsMonitor(printer) ? "Küchenmonitor " : "Küchendrucker ") + std::to_string(printer), job.table,
      reason);
  log_.AddLogLine("FEHLER: " + std::string(IsMonitor(printer) ? "Küchenmonitor" : "Küchenbon") + " Drucker " +
                  std::to_string(printer) + ", Tisch " + std::to_string(job.table) + " nicht ausgegeben (" + reason +
                  "). Die Positionen bleiben offen und werden gedruckt, sobald der Drucker wieder bereit ist.");
}

bool KitchenReceipts::MarkLines(const Job& job) {
  std::vector<int> keep;
  for (int p = 0; p < kKitchenPrinters; ++p) {
    if (job.failed[static_cast<size_t>(p)]) keep.push_back(p);
  }
  // Released unmarked, printed lines would come out again with the next order:
  // they stay with this printout, and this station's next start reprints them.
  Status status = claims_.MarkPrinted(job.token, keep);
  if (!status) tools_.LogSqlError("Küchenbon-Marker nicht gesetzt. " + status.message());
  return status.ok();
}

void KitchenReceipts::QueueDispenserOrder(Job& job, const KitchenRow& row, const std::string& code) {
  job.pass.dispenserOrders.push_back(FormatZeroPaddedLong(tools_.state().kasse, 2) +
                                     FormatZeroPaddedLong(row.menge, 3) + code + "\r\n");
}

void KitchenReceipts::WriteDispenserFiles(const Job& job) {
  platform::Env& env = tools_.env();
  for (const std::string& order : job.pass.dispenserOrders) {
    DateTime now = env.Now();
    int64_t hundredths = int64_t{SecondsSinceMidnight(now)} * 100 + now.millisecond / 10;
    // Two orders within the same hundredth must not overwrite each other.
    std::string path;
    for (int attempt = 0; attempt < 1000; ++attempt, ++hundredths) {
      path = tools_.state().exePfad + "SCHANK" + std::to_string(hundredths) + ".TXT";
      if (!env.FileExists(path)) break;
    }
    Status st = env.WriteFileAtomic(path, order);
    if (!st) log_.AddLogLine("FEHLER: Schankanlagen-Auftrag " + path + " nicht geschrieben: " + st.message());
  }
}

}  // namespace tolven::printing
