#include "gateway/kitchen_printing.h"

#include <optional>

#include "common/datetime.h"
#include "common/text.h"
#include "db/transaction.h"
#include "gateway/kitchen_backlog.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;
using printing::KitchenClaims;
using printing::KitchenPrintout;

namespace {

const std::string kRecoveryPrefix = "Wiederanlauf: ";

// Pending lines as every printout takes them: tips and their like never go to the kitchen.
std::string NotForTheKitchen() { return " AND artnr <> " + SqlText("$GVTGAG") + " AND artnr <> " + SqlText("$GVFA"); }

std::string Unheld() {
  return " AND id NOT IN (SELECT bestid FROM " + std::string(printing::kKitchenClaimTable) +
         " WHERE auftrag IS NOT NULL)";
}

int64_t SecondsOf(const DateTime& t) { return DaysFromCivil(t.date) * 86400 + SecondsSinceMidnight(t); }

// The column "seit" (a line's insdate); none when it is empty (a POS program
// may leave it so).
std::optional<DateTime> Since(const db::ResultSet& rs) {
  const int i = rs.Find("seit");
  if (i < 0 || rs.Raw(static_cast<size_t>(i)).IsNull()) return std::nullopt;
  return ParseDateTime(TrimBlanks(rs.Raw(static_cast<size_t>(i)).AsString()));
}

std::string PrintingKey(int32_t table) { return "Küche Tisch " + std::to_string(table); }

}  // namespace

KitchenPrinting::KitchenPrinting(db::StationContext& tools, fiscal::Tse& tse, printing::KitchenReceipts& receipts,
                                 loop::Holds& holds, LogSink& log, std::function<std::shared_ptr<void>()> markKitchen,
                                 KitchenBacklog* backlog)
    : tools_(tools),
      tse_(tse),
      receipts_(receipts),
      holds_(holds),
      log_(log),
      markKitchen_(std::move(markKitchen)),
      backlog_(backlog) {}

int64_t KitchenPrinting::NewestLine() {
  if (!receipts_.claims().ready()) return -1;
  auto rs = tools_.Open("SELECT MAX(id) AS m FROM bestellung");
  return rs && !rs->Eof() ? GetFieldValue(*rs, "m").AsInt64() : -1;
}

std::string KitchenPrinting::ClaimBooked(int32_t table, int64_t aboveId) {
  if (aboveId < 0) return "";
  KitchenClaims& claims = receipts_.claims();
  std::string token = claims.NewToken();
  if (Status claimed = claims.ClaimBooked(token, table, aboveId); !claimed) {
    log_.AddLogLine("FEHLER: Küchenpositionen von Tisch " + std::to_string(table) +
                    " nicht der Bestellung zugeordnet: " + claimed.message());
    return "";
  }
  return token;
}

int64_t KitchenPrinting::UnsignedLines(const std::string& token) {
  auto rs = tools_.Open("SELECT COUNT(*) AS n FROM " + std::string(printing::kKitchenClaimTable) +
                        " WHERE auftrag = " + SqlText(token) + " AND tse_trx = 0");
  return rs && !rs->Eof() ? GetFieldValue(*rs, "n").AsInt64() : 0;
}

void KitchenPrinting::PrintOrder(const std::optional<fiscal::TseStart>& transaction, int32_t table,
                                 const std::string& waiterText, const std::string& booked) {
  KitchenClaims& claims = receipts_.claims();
  const KitchenPrintout printout{table, waiterText, booked.empty() ? claims.NewToken() : booked, ""};
  // Its own lines are the order's already; older ones nobody holds come along
  // (a printout that failed before, lines a POS program booked).
  if (Status claimed = claims.ClaimPending(printout.token, table); !claimed) {
    log_.AddLogLine("FEHLER: Ältere offene Küchenpositionen von Tisch " + std::to_string(table) +
                    " nicht übernommen: " + claimed.message());
  }
  PrintWith(transaction, printout);
}

void KitchenPrinting::PrintPending(int32_t table, const std::string& waiterText) {
  KitchenClaims& claims = receipts_.claims();
  platform::Env& env = tools_.env();
  // Another printout has them: it marks them within moments, or gives them back.
  const int64_t until = env.MonotonicMs() + kHeldWaitMs;
  while (claims.CountHeld(table) > 0 && env.MonotonicMs() < until) env.SleepMs(20);
  const KitchenPrintout printout{table, waiterText, claims.NewToken(), ""};
  if (Status claimed = claims.ClaimPending(printout.token, table); !claimed) {
    log_.AddLogLine("FEHLER: Offene Küchenpositionen von Tisch " + std::to_string(table) +
                    " nicht übernommen: " + claimed.message());
    return;
  }
  if (claims.Count(printout.token) == 0) return;
  Print(printout, UnsignedLines(printout.token) > 0);
}

std::vector<KitchenPrinting::Reprint> KitchenPrinting::TakeOverClaims() {
  std::vector<Reprint> reprints;
  KitchenClaims& claims = receipts_.claims();
  if (Status ready = claims.Ready(); !ready) {
    log_.AddLogLine("FEHLER: " + kRecoveryPrefix + "Tabelle " + printing::kKitchenClaimTable +
                    " nicht verfügbar: " + ready.message());
    return reprints;
  }
  claims.Prune();
  // Held by this station when it stopped: printed or not, nobody can tell.
  for (const auto& [table, token] : claims.TakeOverStationClaims()) {
    int32_t waiter = 0;
    if (auto first =
            tools_.Open("SELECT kanr FROM bestellung WHERE id = (SELECT MIN(bestid) FROM " +
                        std::string(printing::kKitchenClaimTable) + " WHERE auftrag = " + SqlText(token) + ")");
        first && !first->Eof()) {
      waiter = GetFieldValue(*first, "kanr").AsInt();
    }
    reprints.push_back({table, tools_.WaiterText(waiter), token});
  }
  return reprints;
}

void KitchenPrinting::Recover(const std::vector<Reprint>& reprints) {
  KitchenClaims& claims = receipts_.claims();
  if (!claims.ready()) return;
  for (const Reprint& r : reprints) {
    log_.AddLogLine(kRecoveryPrefix + "Küchenbons für Tisch " + std::to_string(r.table) +
                    " aus einem unterbrochenen Lauf werden gedruckt.");
    Print({r.table, r.waiterText, r.token, kRestartNote}, UnsignedLines(r.token) > 0 && tse_.TseInUse());
  }
  // Tips and their like alone never go to the kitchen.
  const std::string pending =
      " FROM bestellung WHERE haskuebon = " + tools_.SqlBool(false) + NotForTheKitchen() + Unheld();
  auto rs =
      tools_.Open("SELECT tisch, MIN(id) AS erste, MIN(insdate) AS seit" + pending + " GROUP BY tisch ORDER BY tisch");
  if (!rs) {
    log_.AddLogLine("FEHLER: " + kRecoveryPrefix + "offene Küchenbons nicht lesbar: " + rs.status().message());
    return;
  }
  // Read whole first: the printouts pause, and other jobs use the connection meanwhile.
  struct Table {
    int32_t table;
    int64_t firstLine;
    int64_t waitedMs;
  };
  std::vector<Table> tables;
  const int64_t now = SecondsOf(tools_.env().Now());
  for (; !rs->Eof(); rs->MoveNext()) {
    const std::optional<DateTime> since = Since(*rs);
    tables.push_back({GetFieldValue(*rs, "tisch").AsInt(), GetFieldValue(*rs, "erste").AsInt64(),
                      since ? (now - SecondsOf(*since)) * 1000 : 0});
  }
  for (const auto& [table, firstLine, waitedMs] : tables) {
    int32_t waiter = 0;
    if (auto line = tools_.Open("SELECT kanr FROM bestellung WHERE id = " + NumStr(firstLine)); line && !line->Eof()) {
      waiter = GetFieldValue(*line, "kanr").AsInt();
    }
    if (backlog_ != nullptr && waitedMs > backlog_->staleMs()) {
      // A backlog from long ago is not printed by itself: the page lists it.
      ListStale(table, tools_.WaiterText(waiter), waitedMs, pending);
      continue;
    }
    const KitchenPrintout printout{table, tools_.WaiterText(waiter), claims.NewToken(), ""};
    if (Status claimed = claims.ClaimPending(printout.token, table); !claimed || claims.Count(printout.token) == 0) {
      continue;  // another station took them meanwhile, or the next order will
    }
    log_.AddLogLine(kRecoveryPrefix + "offene Küchenbons für Tisch " + std::to_string(table) + " werden gedruckt.");
    Print(printout, UnsignedLines(printout.token) > 0 && tse_.TseInUse());
  }
}

void KitchenPrinting::ListStale(int32_t table, const std::string& waiterText, int64_t waitedMs,
                                const std::string& pending) {
  auto rs = tools_.Open("SELECT kueprt, COUNT(*) AS n" + pending + " AND tisch = " + NumStr(table) +
                        " GROUP BY kueprt ORDER BY kueprt");
  for (; rs && !rs->Eof(); rs->MoveNext()) {
    printing::KitchenFailure f;
    f.printer = GetFieldValue(*rs, "kueprt").AsInt();
    if (f.printer == 0) continue;  // nothing to print for these
    f.printerName = receipts_.PrinterName(f.printer);
    f.table = table;
    f.waiter = waiterText;
    f.lineCount = GetFieldValue(*rs, "n").AsInt64();
    f.lines = std::to_string(f.lineCount) + " Positionen";
    f.reason = "Beim Start vorgefunden";
    backlog_->FoundStale(f, waitedMs);
  }
  log_.AddLogLine(kRecoveryPrefix + "offene Küchenbons für Tisch " + std::to_string(table) +
                  " sind zu alt und werden nicht von selbst gedruckt (Statusseite).");
}

bool KitchenPrinting::PrintLate(int32_t table, const std::string& waiterText) {
  KitchenClaims& claims = receipts_.claims();
  const std::string token = claims.NewToken();
  if (Status claimed = claims.ClaimPending(token, table); !claimed) {
    log_.AddLogLine("FEHLER: Wartende Küchenpositionen von Tisch " + std::to_string(table) +
                    " nicht übernommen: " + claimed.message());
    return true;  // still there: the next try takes them
  }
  if (claims.Count(token) == 0) return false;
  std::string note = "*** NACHTRAG ***";
  if (auto first = tools_.Open("SELECT MIN(insdate) AS seit FROM bestellung WHERE tisch = " + NumStr(table) +
                               KitchenClaims::LinesOf(token));
      first && !first->Eof()) {
    if (const std::optional<DateTime> since = Since(*first))
      note = "*** NACHTRAG – bestellt um " + FormatHM(*since) + " ***";
  }
  Print({table, waiterText, token, note}, UnsignedLines(token) > 0 && tse_.TseInUse());
  return true;
}

bool KitchenPrinting::DropWaiting(int32_t table, int printer, const std::string& by) {
  const std::string lines = " FROM bestellung WHERE tisch = " + NumStr(table) + " AND kueprt = " + NumStr(printer) +
                            " AND haskuebon = " + tools_.SqlBool(false) + Unheld();
  db::Transaction transaction(tools_.connection());
  Status st = transaction.Begin();
  int64_t count = 0;
  if (st) {
    auto rs = tools_.Open("SELECT COUNT(*) AS n" + lines);
    if (rs && !rs->Eof()) count = GetFieldValue(*rs, "n").AsInt64();
    st = tools_.ExecSQL("UPDATE bestellung SET haskuebon = " + tools_.SqlBool(true) + " WHERE id IN (SELECT id" +
                        lines + ")");
  }
  if (st) st = transaction.Commit();
  if (!st) {
    log_.AddLogLine("FEHLER: Wartende Küchenpositionen von Tisch " + std::to_string(table) +
                    " nicht verworfen: " + st.message());
    return false;
  }
  receipts_.claims().Prune();
  const DateTime now = tools_.env().Now();
  log_.AddLogLine("Küchenbon Tisch " + std::to_string(table) + ", Drucker " + std::to_string(printer) + ": " +
                  std::to_string(count) + " wartende Positionen verworfen (als gedruckt markiert) von " + by + " am " +
                  FormatDMY(now.date) + " " + FormatHMS(now) + ".");
  tools_.WriteSysLog("P", "Küchenbon Tisch " + std::to_string(table) + ": " + std::to_string(count) +
                              " Positionen von Drucker " + std::to_string(printer) + " verworfen von " + by);
  return true;
}

void KitchenPrinting::Print(const KitchenPrintout& printout, bool startTse) {
  std::optional<fiscal::TseStart> transaction;
  if (startTse) {
    if (Result<fiscal::TseStart> started = tse_.TSE_StartTransaction()) transaction = *started;  // a failure is logged
  }
  PrintWith(transaction, printout);
}

void KitchenPrinting::PrintWith(const std::optional<fiscal::TseStart>& transaction, const KitchenPrintout& printout) {
  // Taken after the TSE start: a slow or silent TSE server holds up no other
  // printout of the table. One printout of a table at a time on this station.
  const loop::Holds::Hold hold = holds_.Take(PrintingKey(printout.table));
  const std::shared_ptr<void> marked = markKitchen_ ? markKitchen_() : nullptr;
  receipts_.PrintClaimed(transaction, printout);
}

}  // namespace tolven::gateway
