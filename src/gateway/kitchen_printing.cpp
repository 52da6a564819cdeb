#include "gateway/kitchen_printing.h"

#include "common/text.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;
using printing::KitchenClaims;
using printing::KitchenPrintout;

namespace {

const std::string kRecoveryPrefix = "Wiederanlauf: ";

std::string PrintingKey(int32_t table) { return "Küche Tisch " + std::to_string(table); }

}  // namespace

KitchenPrinting::KitchenPrinting(db::DbTools& tools, fiscal::Tse& tse, printing::KitchenReceipts& receipts,
                                 loop::Holds& holds, LogSink& log, std::function<std::shared_ptr<void>()> markKitchen)
    : tools_(tools), tse_(tse), receipts_(receipts), holds_(holds), log_(log), markKitchen_(std::move(markKitchen)) {}

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

std::string KitchenPrinting::WaiterText(int32_t waiter) {
  auto rs = tools_.Open("SELECT name FROM kassi WHERE kanr = " + NumStr(waiter));
  const std::string name = rs && !rs->Eof() ? GetFieldValue(*rs, "name").AsString() : "unbekannt";
  return std::to_string(waiter) + " - " + name;
}

int64_t KitchenPrinting::UnsignedLines(const std::string& token) {
  auto rs = tools_.Open("SELECT COUNT(*) AS n FROM " + std::string(printing::kKitchenClaimTable) +
                        " WHERE auftrag = " + SqlText(token) + " AND tse_trx = 0");
  return rs && !rs->Eof() ? GetFieldValue(*rs, "n").AsInt64() : 0;
}

void KitchenPrinting::PrintOrder(int32_t tseTrx, int32_t tseStart, int32_t table, const std::string& waiterText,
                                 const std::string& booked) {
  KitchenClaims& claims = receipts_.claims();
  const KitchenPrintout printout{table, waiterText, booked.empty() ? claims.NewToken() : booked, ""};
  // Its own lines are the order's already; older ones nobody holds come along
  // (a printout that failed before, lines a POS program booked).
  if (Status claimed = claims.ClaimPending(printout.token, table); !claimed) {
    log_.AddLogLine("FEHLER: Ältere offene Küchenpositionen von Tisch " + std::to_string(table) +
                    " nicht übernommen: " + claimed.message());
  }
  PrintWith(tseTrx, tseStart, printout);
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
    if (auto first = tools_.Open("SELECT kanr FROM bestellung WHERE id = (SELECT MIN(bestid) FROM " +
                                 std::string(printing::kKitchenClaimTable) + " WHERE auftrag = " + SqlText(token) +
                                 ")");
        first && !first->Eof()) {
      waiter = GetFieldValue(*first, "kanr").AsInt();
    }
    reprints.push_back({table, WaiterText(waiter), token});
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
  auto rs = tools_.Open("SELECT tisch, MIN(id) AS erste FROM bestellung WHERE haskuebon = " + tools_.SqlBool(false) +
                        " AND artnr <> " + SqlText("$GVTGAG") + " AND artnr <> " + SqlText("$GVFA") +
                        " AND id NOT IN (SELECT bestid FROM " + printing::kKitchenClaimTable +
                        " WHERE auftrag IS NOT NULL) GROUP BY tisch ORDER BY tisch");
  if (!rs) {
    log_.AddLogLine("FEHLER: " + kRecoveryPrefix + "offene Küchenbons nicht lesbar: " + rs.status().message());
    return;
  }
  // Read whole first: the printouts pause, and other jobs use the connection meanwhile.
  std::vector<std::pair<int32_t, int64_t>> tables;
  for (; !rs->Eof(); rs->MoveNext()) {
    tables.emplace_back(GetFieldValue(*rs, "tisch").AsInt(), GetFieldValue(*rs, "erste").AsInt64());
  }
  for (const auto& [table, firstLine] : tables) {
    int32_t waiter = 0;
    if (auto line = tools_.Open("SELECT kanr FROM bestellung WHERE id = " + NumStr(firstLine));
        line && !line->Eof()) {
      waiter = GetFieldValue(*line, "kanr").AsInt();
    }
    const KitchenPrintout printout{table, WaiterText(waiter), claims.NewToken(), ""};
    if (Status claimed = claims.ClaimPending(printout.token, table); !claimed || claims.Count(printout.token) == 0) {
      continue;  // another station took them meanwhile, or the next order will
    }
    log_.AddLogLine(kRecoveryPrefix + "offene Küchenbons für Tisch " + std::to_string(table) + " werden gedruckt.");
    Print(printout, UnsignedLines(printout.token) > 0 && tse_.TseInUse());
  }
}

void KitchenPrinting::Print(const KitchenPrintout& printout, bool startTse) {
  int32_t startTime = 0;
  int32_t trx = 0;
  if (startTse) trx = tse_.TSE_StartTransaction(startTime);
  PrintWith(trx, startTime, printout);
}

void KitchenPrinting::PrintWith(int32_t tseTrx, int32_t tseStart, const KitchenPrintout& printout) {
  // Taken after the TSE start: a slow or silent TSE server holds up no other
  // printout of the table. One printout of a table at a time on this station.
  const loop::Holds::Hold hold = holds_.Take(PrintingKey(printout.table));
  const std::shared_ptr<void> marked = markKitchen_ ? markKitchen_() : nullptr;
  receipts_.PrintClaimed(tseTrx, tseStart, printout);
}

}  // namespace tolven::gateway
