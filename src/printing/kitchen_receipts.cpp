#include "printing/kitchen_receipts.h"

#include "common/text.h"
#include "platform/env.h"

namespace tolven::printing {

using db::GetFieldValue;
using db::SqlText;

namespace {

bool IsMonitor(int printer) { return printer == 6 || printer == 7; }
bool Prints(int printer) { return printer >= 1 && printer <= 5; }

}  // namespace

KitchenReceipts::KitchenReceipts(db::DbTools& tools, PrintLineBuffer& printLines, fiscal::Tse& tse, LogSink& log)
    : tools_(tools), printLines_(printLines), tse_(tse), log_(log) {}

void KitchenReceipts::PrintKueBon(int32_t& tseTrx, int32_t& tseStart, int32_t table, const std::string& waiter) {
  table_ = table;
  waiter_ = waiter;
  failed_.fill(false);
  signItems_.clear();
  processData_.clear();
  orderAmount_ = 0;
  tableNameRead_ = customerRead_ = false;

  const std::string pendingWhere =
      " WHERE tisch = " + NumStr(table) + "   AND haskuebon = " + tools_.SqlBool(false);
  auto pending = tools_.Open("SELECT * FROM bestellung " + pendingWhere + "   AND artnr <> " + SqlText("$GVTGAG") +
                             " " + "   AND artnr <> " + SqlText("$GVFA") + " ");
  if (!pending) {
    // Nothing has been printed or marked, so the lines come out with the next order.
    log_.AddLogLine("FEHLER: Küchenbons für Tisch " + std::to_string(table) +
                    " nicht gedruckt, offene Positionen nicht lesbar: " + pending.status().message());
    return;
  }
  if (pending->Eof()) {
    // Nothing for the kitchen (guest count, follow-up order): the order's TSE
    // transaction is still finished, with those lines as its data, since a TSE
    // keeps only a limited number of transactions open.
    FinishWithoutPrinting(tseTrx, tseStart, pendingWhere);
    return;
  }
  // Lines another station books for this table while these print are neither
  // printed nor marked here: they come out with their own order.
  maxId_ = 0;
  if (auto newest = tools_.Open("SELECT MAX(id) AS m FROM bestellung " + pendingWhere); newest && !newest->Eof()) {
    maxId_ = GetFieldValue(*newest, "m").AsInt64();
  }
  const std::string upToId = " AND id <= " + NumStr(maxId_);

  ReadSettings();
  seqnr_ = tools_.GetUniqueNr("SEQNR");

  std::array<bool, kKitchenPrinters> used{};
  auto printers = tools_.Open("SELECT haskuebon, kueprt FROM bestellung " + pendingWhere + upToId);
  if (!printers) {
    log_.AddLogLine("FEHLER: Küchenbons für Tisch " + std::to_string(table) +
                    " nicht gedruckt, Drucker nicht lesbar: " + printers.status().message());
    return;
  }
  for (; !printers->Eof(); printers->MoveNext()) {
    int32_t p = GetFieldValue(*printers, "kueprt").AsInt();
    if (p >= 0 && p < kKitchenPrinters) used[static_cast<size_t>(p)] = true;
  }
  for (int p = 0; p < kKitchenPrinters; ++p) {
    if (used[static_cast<size_t>(p)]) PrintPrinter(p);
  }

  MarkLines();
  SignOrder(tseTrx, tseStart);
}

void KitchenReceipts::ReadSettings() {
  auto sys = tools_.Open("SELECT * FROM system");
  const bool haveSystem = sys && !sys->Eof();
  auto num = [&](const char* column) { return haveSystem ? GetFieldValue(*sys, column).AsInt() : 0; };
  auto flag = [&](const char* column) { return haveSystem && GetFieldValue(*sys, column).AsBool(); };
  auto text = [&](const std::string& column) {
    return haveSystem ? GetFieldValue(*sys, column).AsString() : std::string();
  };
  kuebonpreis_ = num("kuebonpreis");
  kuebonartnr_ = num("kuebonartnr");
  kuebongast_ = num("kuebongast");
  kueartbez_ = flag("kueartbez");
  bonvor_ = num("bonvor");
  bonshowtischname_ = flag("bonshowtischname");
  kuebonkellner_ = num("kuebonkellner");
  kuebonkunde_ = num("kuebonkunde");
  for (int n = 1; n <= 4; ++n) {
    port_[n] = text("kuebonport" + std::to_string(n));
    prt_[n] = text("kuebonprt" + std::to_string(n));
  }
  if (flag("kuebongross")) {
    dh_ = printLines_.GetPrinterCode("DOPPELT_HOCH");
    aus_ = printLines_.GetPrinterCode("DOPPELT_HOCH_BREIT_AUS");
    dhb_ = printLines_.GetPrinterCode("DOPPELT_HOCH_BREIT");
    db_ = printLines_.GetPrinterCode("DOPPELT_BREIT");
  } else {
    dh_.clear();
    aus_.clear();
    dhb_.clear();
    db_.clear();
  }

  // The station's own printers win over the installation's.
  comschankanl_ = 0;
  auto hw = tools_.Open("SELECT * FROM systemhw WHERE filnr = " + NumStr(tools_.state().filiale) +
                        " AND kasse = " + NumStr(tools_.state().kasse));
  if (hw && !hw->Eof()) {
    for (int n = 1; n <= 4; ++n) {
      port_[n] = GetFieldValue(*hw, "kuebonport" + std::to_string(n)).AsString();
      prt_[n] = GetFieldValue(*hw, "kuebonprt" + std::to_string(n)).AsString();
    }
    comschankanl_ = GetFieldValue(*hw, "comschankanl").AsInt();
  }

  port_[5].clear();
  prt_[5].clear();
  auto room = tools_.Open("SELECT * FROM rauminfo WHERE starttisch <= " + NumStr(table_) +
                          " AND starttisch + tischzahl > " + NumStr(table_));
  if (room && !room->Eof()) {
    port_[5] = GetFieldValue(*room, "kuebonport").AsString();
    prt_[5] = GetFieldValue(*room, "kuebonprt").AsString();
  }
}

void KitchenReceipts::ReadPrinterSettings(int printer) {
  cur_ = KitchenPrinterSettings();
  if (printer == 0 || IsMonitor(printer)) return;  // nothing is printed: no grouping, sort or split
  auto rs = tools_.Open("SELECT * FROM kueprtparam WHERE drucker = " + NumStr(printer));
  if (rs && !rs->Eof()) {
    cur_.name = GetFieldValue(*rs, "name").AsString();
    cur_.bonvorlauf = GetFieldValue(*rs, "bonvorlauf").AsBool();
    cur_.kuesummer = GetFieldValue(*rs, "kuesummer").AsBool();
    // A negative number of copies must not swallow the receipt itself.
    cur_.kopien = std::max(0, GetFieldValue(*rs, "kopien").AsInt());
    if (printer != 5) {
      // An unknown grouping would print nothing at all; one receipt is the safe reading.
      cur_.grupp = GetFieldValue(*rs, "grupp").AsInt();
      if (cur_.grupp < 0 || cur_.grupp > 3) cur_.grupp = 0;
      cur_.sort = GetFieldValue(*rs, "sort").AsInt();
      cur_.split = GetFieldValue(*rs, "split").AsBool();
    }
  } else if (printer <= 4) {
    tools_.ui().MessageBox("Keine Einstellungen für Drucker " + std::to_string(printer) + " gefunden.",
                           platform::MsgKind::Critical);
  }
  // The room printer always prints one receipt sorted by article group.
  if (printer == 5) {
    cur_.grupp = 0;
    cur_.sort = 1;
    cur_.split = false;
  }
}

void KitchenReceipts::PrintPrinter(int p) {
  ReadPrinterSettings(p);
  printerItems_.clear();
  dispenserOrders_.clear();

  std::vector<KitchenRow> rows;
  if (!CollectRows(p, rows)) return;

  NewReceipt(p);
  for (size_t i = 0; i < rows.size() && !failed_[static_cast<size_t>(p)]; ++i) {
    KitchenRow row = rows[i];
    auto article = tools_.Open("SELECT * FROM artikel WHERE artnr = " + SqlText(row.artnr));
    const bool haveArticle = article && !article->Eof();
    if (haveArticle && kueartbez_) {
      std::string kitchenText = GetFieldValue(*article, "kueartbez").AsString();
      if (!kitchenText.empty()) row.artbez = kitchenText;
    }
    if (haveArticle && comschankanl_ >= 1) {
      std::string code = GetFieldValue(*article, "schankanlcode").AsString();
      if (!code.empty()) QueueDispenserOrder(row, code);
    }
    if (Prints(p) && row.gang != course_) {
      Add(" ");
      Add(db_ + " --- " + std::to_string(row.gang) + ". Gang ---" + aus_);
      Add(" ");
      course_ = row.gang;
    }
    KueBonLine(p, row, haveArticle && GetFieldValue(*article, "printrezept").AsBool());

    bool receiptEnds = cur_.grupp == 2;
    if (!receiptEnds && i + 1 < rows.size()) {
      if (cur_.grupp == 1) receiptEnds = rows[i + 1].artgrp != row.artgrp;
      if (cur_.grupp == 3) receiptEnds = rows[i + 1].gang != row.gang;
    }
    if (receiptEnds) {
      if (!PrintKueBonFertig(p)) break;
      NewReceipt(p);
    }
  }
  if (!failed_[static_cast<size_t>(p)] && (cur_.grupp == 0 || cur_.grupp == 1 || cur_.grupp == 3)) {
    PrintKueBonFertig(p);
  }

  if (failed_[static_cast<size_t>(p)]) {
    // Lines that stay pending are logged again when they are really printed.
    if (Status status =
            tools_.ExecSQL("DELETE FROM kuebonlog WHERE seqnr = " + NumStr(seqnr_) + " AND drucker = " + NumStr(p));
        !status) {
      tools_.LogSqlError("Küchenbonlog-Einträge von Drucker " + std::to_string(p) + " konnten nicht entfernt werden. " +
                             status.message(),
                         true);
    }
    return;
  }
  // The dispenser pours only what went to the kitchen, so a reprint never pours twice.
  WriteDispenserFiles();
  signItems_.insert(signItems_.end(), printerItems_.begin(), printerItems_.end());
}

bool KitchenReceipts::CollectRows(int p, std::vector<KitchenRow>& rows) {
  const std::string kasse = NumStr(tools_.state().kasse);
  if (Status status = tools_.ExecSQL("DELETE FROM tmpkuebon WHERE kasse = " + kasse); !status) {
    tools_.LogSqlError(
        "Temporäre Tabelle für Küchenbons konnte nicht initialisiert werden. Achtung: es werden "
        "doppelte Bons erzeugt. \r\n\r\n" +
        status.message());
  }

  const bool guests = kuebongast_ > 0;
  const std::string guestColumn = guests ? "gast, " : "";
  auto groups = tools_.Open("SELECT artnr, artbez, artgrp, gang, " + guestColumn +
                            "kueinfo, belaginfo, epreis, SUM(menge) AS anzahl FROM bestellung " +
                            "WHERE tisch = " + NumStr(table_) + "  AND haskuebon = " + tools_.SqlBool(false) +
                            "  AND kueprt = " + NumStr(p) + "  AND id <= " + NumStr(maxId_) +
                            " GROUP BY artnr, artbez, artgrp, gang, " + guestColumn + "kueinfo, belaginfo, epreis ");
  if (!groups) {
    tools_.LogSqlError(
        "Küchenbon-Positionen von Drucker " + std::to_string(p) + " nicht lesbar. " + groups.status().message(), true);
    MarkFailed(p, "Positionen nicht lesbar: " + groups.status().message());
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
      tools_.LogSqlError("Küchenbon-Position konnte nicht angelegt werden. " + inserted.message());
      // A receipt without this line would lose it for good once the lines are marked.
      MarkFailed(p, "Position nicht angelegt: " + inserted.message());
      return false;
    };
    if (!cur_.split) {
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
  std::string order = OrderClause();
  auto work =
      tools_.Open("SELECT * FROM tmpkuebon WHERE kasse = " + kasse + (order.empty() ? "" : " ORDER BY " + order));
  if (!work) {
    tools_.LogSqlError(
        "Küchenbon-Positionen von Drucker " + std::to_string(p) + " nicht lesbar. " + work.status().message(), true);
    MarkFailed(p, "Positionen nicht lesbar: " + work.status().message());
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

std::string KitchenReceipts::OrderClause() const {
  switch (cur_.sort) {
    case 1: return cur_.grupp == 3 ? "gang, artgrp" : "artgrp";
    case 2: return cur_.grupp == 2 ? "artgrp, artnr" : cur_.grupp == 3 ? "gang, artnr" : "artnr";
    case 3: return cur_.grupp == 2 ? "artgrp, gang" : "gang";
    default: return "";
  }
}

void KitchenReceipts::NewReceipt(int printer) {
  kuebonnr_ = tools_.GetUniqueNr("KUEBONNR");
  course_ = 0;
  PrintHeader(printer);
}

void KitchenReceipts::MarkFailed(int printer, const std::string& reason) {
  auto& failed = failed_[static_cast<size_t>(printer)];
  if (failed) return;
  failed = true;
  log_.AddLogLine("FEHLER: " + std::string(IsMonitor(printer) ? "Küchenmonitor" : "Küchenbon") + " Drucker " +
                  std::to_string(printer) + ", Tisch " + std::to_string(table_) + " nicht ausgegeben (" + reason +
                  "). Die Positionen bleiben offen und kommen mit der nächsten Bestellung des Tisches.");
}

void KitchenReceipts::MarkLines() {
  std::string sql = "UPDATE bestellung SET haskuebon = " + tools_.SqlBool(true) + " WHERE tisch = " + NumStr(table_) +
                    " AND id <= " + NumStr(maxId_);
  std::string keep;
  for (int p = 0; p < kKitchenPrinters; ++p) {
    if (failed_[static_cast<size_t>(p)]) keep += (keep.empty() ? "" : ", ") + std::to_string(p);
  }
  if (!keep.empty()) sql += " AND (kueprt IS NULL OR kueprt NOT IN (" + keep + "))";
  // Unmarked lines would be printed again with the table's next order, so a
  // lock conflict gets a second try (setting the marker twice does no harm).
  if (Status status = tools_.ExecSQLRepeatable(sql); !status) {
    tools_.LogSqlError("Küchenbon-Marker nicht gesetzt. " + status.message());
  }
}

void KitchenReceipts::QueueDispenserOrder(const KitchenRow& row, const std::string& code) {
  dispenserOrders_.push_back(FormatZeroPaddedLong(tools_.state().kasse, 2) + FormatZeroPaddedLong(row.menge, 3) +
                             code + "\r\n");
}

void KitchenReceipts::WriteDispenserFiles() {
  platform::Env& env = tools_.env();
  for (const std::string& order : dispenserOrders_) {
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
  dispenserOrders_.clear();
}

}  // namespace tolven::printing
