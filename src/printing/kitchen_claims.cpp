#include "printing/kitchen_claims.h"

#include <map>

#include "common/text.h"
#include "db/transaction.h"

namespace tolven::printing {

using db::GetFieldValue;
using db::SqlText;

namespace {

std::string InList(const std::vector<int>& numbers) {
  std::string in;
  for (int n : numbers) in += (in.empty() ? "" : ", ") + std::to_string(n);
  return in;
}

}  // namespace

Status KitchenClaims::Ready() {
  if (ready_) return Status::Ok();
  if (tools_.connection().InTransaction()) return Status::Error("Tabelle " + std::string(kKitchenClaimTable) + " fehlt");
  Status created = tools_.CreateOwnTable(
      kKitchenClaimTable,
      "bestid INT NOT NULL PRIMARY KEY, kasse INT NOT NULL, auftrag VARCHAR(40), zeit BIGINT NOT NULL, "
      "tse_trx INT NOT NULL");
  if (!created) return created;
  ready_ = true;
  return Status::Ok();
}

std::string KitchenClaims::NewToken() {
  if (run_.empty()) {
    // A run's name: its start to the millisecond; one gateway per station runs at a time.
    const DateTime now = tools_.env().Now();
    run_ = std::to_string(tools_.state().kasse) + "-" + std::to_string(tools_.env().UnixTime()) + "." +
           std::to_string(now.millisecond);
  }
  return run_ + "-" + std::to_string(++counter_);
}

std::string KitchenClaims::Now() const { return std::to_string(tools_.env().UnixTime()); }

std::string KitchenClaims::LinesOf(const std::string& token) {
  return " AND id IN (SELECT bestid FROM " + std::string(kKitchenClaimTable) + " WHERE auftrag = " + SqlText(token) +
         ")";
}

std::string KitchenClaims::SignedLinesOf(const std::string& token) {
  return " AND id IN (SELECT bestid FROM " + std::string(kKitchenClaimTable) + " WHERE auftrag = " + SqlText(token) +
         " AND tse_trx <> 0)";
}

std::string KitchenClaims::Pending(int32_t table) const {
  return " FROM bestellung WHERE tisch = " + NumStr(table) + " AND haskuebon = " + tools_.SqlBool(false);
}

std::string KitchenClaims::InsertUnheld(const std::string& token, int32_t table, const std::string& condition) const {
  return "INSERT INTO " + std::string(kKitchenClaimTable) + " ( bestid, kasse, auftrag, zeit, tse_trx ) SELECT id, " +
         NumStr(tools_.state().kasse) + " , " + SqlText(token) + " , " + Now() + " , 0" + Pending(table) + condition +
         " AND id NOT IN (SELECT bestid FROM " + kKitchenClaimTable + ")";
}

Status KitchenClaims::ClaimBooked(const std::string& token, int32_t table, int64_t aboveId) {
  if (!ready_) return Status::Error("Tabelle " + std::string(kKitchenClaimTable) + " nicht verfügbar");
  return tools_.ExecSQL(InsertUnheld(token, table, " AND id > " + NumStr(aboveId)));
}

Status KitchenClaims::ClaimPending(const std::string& token, int32_t table) {
  if (Status ready = Ready(); !ready) return ready;
  // Released lines first: the row stays, only its holder changes, and a
  // statement that finds the holder empty is the only one that takes it.
  Status taken = tools_.ExecSQLRepeatable("UPDATE " + std::string(kKitchenClaimTable) + " SET auftrag = " +
                                          SqlText(token) + " , kasse = " + NumStr(tools_.state().kasse) +
                                          " , zeit = " + Now() + " WHERE auftrag IS NULL AND bestid IN (SELECT id" +
                                          Pending(table) + ")");
  if (!taken) return taken;
  // Two takers of one line: the second one's insert breaks the key and takes
  // nothing; asked again, it leaves that line to the winner.
  const std::string insert = InsertUnheld(token, table, "");
  Status inserted = tools_.ExecSQL(insert);
  if (!inserted) inserted = tools_.ExecSQL(insert);
  return inserted;
}

std::vector<std::pair<int32_t, std::string>> KitchenClaims::TakeOverStationClaims() {
  std::vector<std::pair<int32_t, std::string>> taken;
  if (!Ready()) return taken;
  const std::string kasse = NumStr(tools_.state().kasse);
  auto rs = tools_.Open("SELECT DISTINCT tisch FROM bestellung WHERE id IN (SELECT bestid FROM " +
                        std::string(kKitchenClaimTable) + " WHERE kasse = " + kasse +
                        " AND auftrag IS NOT NULL) ORDER BY tisch");
  if (!rs) {
    log_.AddLogLine("FEHLER: Küchenbon-Zuordnungen nicht lesbar: " + rs.status().message());
    return taken;
  }
  for (; !rs->Eof(); rs->MoveNext()) {
    const int32_t table = GetFieldValue(*rs, "tisch").AsInt();
    const std::string token = NewToken();
    Status moved = tools_.ExecSQLRepeatable("UPDATE " + std::string(kKitchenClaimTable) + " SET auftrag = " +
                                            SqlText(token) + " WHERE kasse = " + kasse +
                                            " AND auftrag IS NOT NULL AND bestid IN (SELECT id FROM bestellung "
                                            "WHERE tisch = " + NumStr(table) + ")");
    if (!moved) {
      log_.AddLogLine("FEHLER: Küchenbon-Zuordnungen von Tisch " + std::to_string(table) +
                      " nicht übernommen: " + moved.message());
      continue;
    }
    taken.emplace_back(table, token);
  }
  return taken;
}

void KitchenClaims::Prune() {
  if (!Ready()) return;
  if (Status pruned = tools_.ExecSQL("DELETE FROM " + std::string(kKitchenClaimTable) +
                                     " WHERE bestid NOT IN (SELECT id FROM bestellung WHERE haskuebon = " +
                                     tools_.SqlBool(false) + ")");
      !pruned) {
    log_.AddLogLine("FEHLER: Alte Küchenbon-Zuordnungen nicht gelöscht: " + pruned.message());
  }
}

int64_t KitchenClaims::Count(const std::string& token) {
  auto rs = tools_.Open("SELECT COUNT(*) AS n FROM " + std::string(kKitchenClaimTable) +
                        " WHERE auftrag = " + SqlText(token));
  return rs && !rs->Eof() ? GetFieldValue(*rs, "n").AsInt64() : 0;
}

int64_t KitchenClaims::CountHeld(int32_t table) {
  if (!Ready()) return 0;
  auto rs = tools_.Open("SELECT COUNT(*) AS n FROM bestellung WHERE tisch = " + NumStr(table) + " AND haskuebon = " +
                        tools_.SqlBool(false) + " AND id IN (SELECT bestid FROM " + kKitchenClaimTable +
                        " WHERE auftrag IS NOT NULL)");
  return rs && !rs->Eof() ? GetFieldValue(*rs, "n").AsInt64() : 0;
}

Status KitchenClaims::MarkPrinted(const std::string& token, const std::vector<int>& failedPrinters) {
  const std::string mine = " WHERE auftrag = " + SqlText(token);
  std::string printed = "UPDATE bestellung SET haskuebon = " + tools_.SqlBool(true) + " WHERE id IN (SELECT bestid FROM " +
                        kKitchenClaimTable + mine + ")";
  std::string done = "DELETE FROM " + std::string(kKitchenClaimTable) + mine;
  if (!failedPrinters.empty()) {
    printed += " AND (kueprt IS NULL OR kueprt NOT IN (" + InList(failedPrinters) + "))";
    done += " AND bestid NOT IN (SELECT id FROM bestellung WHERE kueprt IN (" + InList(failedPrinters) + "))";
  }
  // Mark and claim go together: a marked line still held would block a
  // settlement, a released one not yet marked would be printed again.
  for (int attempt = 0;; ++attempt) {
    db::Transaction transaction(tools_.connection());
    Status st = transaction.Begin();
    if (st) st = tools_.ExecSQL(printed);
    if (st) st = tools_.ExecSQL(done);
    if (st) st = transaction.Commit();
    if (st || attempt == 1 || !st.IsConflict()) return st;
  }
}

void KitchenClaims::Release(const std::string& token, int32_t signedBy) {
  const std::string sql = "UPDATE " + std::string(kKitchenClaimTable) + " SET auftrag = NULL" +
                          (signedBy > 0 ? " , tse_trx = " + NumStr(signedBy) : std::string()) +
                          " WHERE auftrag = " + SqlText(token);
  // A claim left behind is taken over only by this station's next start.
  if (Status st = tools_.ExecSQLRepeatable(sql); !st) {
    log_.AddLogLine("FEHLER: Küchenbon-Positionen nicht freigegeben: " + st.message());
  }
}

}  // namespace tolven::printing
