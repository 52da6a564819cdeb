// Settlement cost: the real TischAbrechnen of a 20-line table with vouchers,
// paid on the customer's account, against a bare transaction that inserts the
// same rows into the same tables on the same connection (write-ahead log, full
// sync at every commit). Both run alternately in one process, so that the disk,
// the cache and the load are the same for both; TSE signing and printing are
// not part of either.
#include <map>
#include <set>

#include "bench_util.h"
#include "common/text.h"
#include "db/sqlite_connection.h"
#include "figures.h"
#include "local_db.h"
#include "settlement/table_settlement.h"

namespace tolven::bench {

namespace {

constexpr int kTable = 12;
constexpr int kCustomer = 7;

std::vector<std::string> MasterData() {
  return {
      "INSERT INTO artikel (artnr, artbez, artgrp, mwst, ausserhaus, ticket, kostenstelle) VALUES "
      "('10', 'Pils 0,3', 1, 1, 0, 0, 0), ('11', 'Weizen 0,5', 1, 1, 0, 0, 0), "
      "('12', 'Apfelschorle 0,4', 1, 1, 0, 0, 0), ('13', 'Wasser 0,75', 1, 1, 0, 0, 0), "
      "('14', 'Espresso', 1, 1, 0, 0, 0), ('20', 'Schnitzel Wiener Art', 2, 2, 0, 0, 0), "
      "('21', 'Pizza Margherita', 2, 2, 0, 0, 0), ('22', 'Salat der Saison', 2, 2, 0, 0, 0), "
      "('23', 'Rinderhüfte 250 g', 2, 2, 0, 0, 0), ('24', 'Apfelstrudel', 2, 2, 0, 0, 0)",
      "INSERT INTO artgrp (artgrp, artgrp2, grpbez) VALUES (1, 1, 'Getränke'), (2, 2, 'Küche')",
      "INSERT INTO artgrp2 (artgrp2, grpbez) VALUES (1, 'Getränke'), (2, 'Speisen')",
      "INSERT INTO kassi (kanr, name) VALUES (3, 'Jürgen')",
      "INSERT INTO tische (tisch, bubemerk, gaeste, tse_startbest) VALUES (12, 'Fenster', 4, 0)",
      "INSERT INTO kunden (kdnr, cardno, \"limit\", vname, name, strasse, plz, ort, kdgrp) VALUES "
      "(7, '4711', 10000000, 'Erika', 'Muster', 'Hauptstr. 1', '12345', 'Ort', 1)",
      "INSERT INTO kdkto (kdktobunr, datumzeit, msecs, kdnr, betrag, saldo) VALUES "
      "(1, '2026-01-01 10:00:00', 0, 7, 0, 0)",
      "UPDATE system SET gstypeu1mwstschl = 1, nokassi0 = 0",
  };
}

// Seventeen article lines, a voucher sold, an own voucher and a foreign voucher
// redeemed: twenty order rows of the customer's table.
std::vector<std::string> TableOrders(int round) {
  const char* const articles[] = {"10", "11", "12", "13", "14", "20", "21", "22", "23", "24"};
  const int prices[] = {330, 420, 310, 450, 220, 1390, 890, 790, 2450, 590};
  const std::string head =
      "INSERT INTO bestellung (tisch, kanr, kdnr, gast, artnr, artbez, artgrp, menge, epreis, rabatt, info, konto) "
      "VALUES (" +
      std::to_string(kTable) + ", 3, " + std::to_string(kCustomer) + ", ";
  std::vector<std::string> sql;
  for (int i = 0; i < 17; ++i) {
    const int a = i % 10;
    sql.push_back(head + std::to_string(1 + i % 4) + ", '" + articles[a] + "', '" + articles[a] + "', " +
                  (a < 5 ? "1" : "2") + ", " + std::to_string(1 + i % 2) + ", " + std::to_string(prices[a]) +
                  ", 0, '', 4000)");
  }
  const std::string r = std::to_string(round);
  sql.push_back(head + "1, '$$$GS', 'Gutschein', 0, 1, 2000, 0, 'S-" + r + ";Geburtstag', 0)");
  sql.push_back(head + "1, '$$$GS', 'Gutschein', 0, 1, -1000, 0, 'R-" + r + "', 0)");
  sql.push_back(head + "1, '$$$FGS', 'Fremdgutschein', 0, 1, -400, 0, '', 0)");
  sql.push_back("INSERT INTO gutscheine (status, gsnr, betrag) VALUES (0, 'R-" + r + "', 1000)");
  return sql;
}

std::string Literal(const db::Value& v) {
  if (v.IsNull()) return "NULL";
  if (v.IsText()) return db::SqlText(v.AsString());
  if (v.IsInteger()) return std::to_string(v.AsInt64());
  return Fixed(v.AsDouble(), 4);
}

// A copied row gets fresh numbers, as the next receipt would: its receipt,
// sequence and ledger numbers per round, and a value of its own in the columns
// the schema keeps unique. Word-for-word repeats would be cheaper for the engine
// than real receipts are.
const std::set<std::string> kRoundColumns = {"bunr", "seqnr", "kdktobunr"};
const std::map<std::string, std::string> kUniqueColumn = {{"buch2", "bunr2"}};

// The bookkeeping around the measured calls (setting the table, finding and
// removing the copied rows) runs on a second connection, as another station's
// would, so that it leaves the measured connection as the gateway would have it.
class Comparison {
 public:
  explicit Comparison(LocalDb& db) : db_(db) {}

  bool Prepare(std::string& error) {
    auto opened = db::OpenSqlite(db_.dbPath(), false);
    if (!opened) {
      error = opened.status().message();
      return false;
    }
    aux_ = std::move(*opened);
    if (!Exec(MasterData(), error)) return false;
    auto rs = aux_->Query("SELECT name FROM sqlite_master WHERE type = 'table' AND name <> 'sqlite_sequence'");
    if (!rs) {
      error = rs.status().message();
      return false;
    }
    for (; !rs->Eof(); rs->MoveNext()) tables_.push_back(rs->Raw(0).AsString());
    // Counters and first-time rows are made by the first settlements; the
    // rows of a settlement in the steady state are what the bare transaction copies.
    for (int warm = 0; warm < 2; ++warm) {
      if (Settle(nullptr, warm == 1) < 0) {
        error = "settlement failed: " + lastError_;
        return false;
      }
    }
    return !rows_.empty();
  }

  // One settlement; its duration (TischAbrechnen only) in *ms. With `capture`
  // the rows it stored become the bare transaction's rows.
  int32_t Settle(double* ms, bool capture = false) {
    std::string error;
    std::vector<std::string> setup = TableOrders(++round_);
    setup.insert(setup.begin(), "BEGIN IMMEDIATE");
    setup.push_back("COMMIT");
    if (!Exec(setup, error)) {
      lastError_ = error;
      return -1;
    }
    std::map<std::string, int64_t> before;
    if (capture) before = MaxRowids();
    auto rows = db_.conn().Query("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = " + NumStr(kTable));
    if (!rows) return -1;
    settlement::TableSettlement module(db_.tools(), log_, nullptr);
    std::string zahlart = "KDKTO";
    const double t0 = NowMs(), c0 = ThreadCpuMs();
    const Result<int32_t> settled = module.TischAbrechnen(*rows, kTable, 3, zahlart);
    const int32_t bunr = settled.value_or(-1);
    if (ms) *ms = NowMs() - t0;
    settleCpu.push_back(ThreadCpuMs() - c0);
    lastError_ = settled.status().message();
    if (capture && bunr > 0) CaptureRows(before);
    (void)aux_->Execute("DELETE FROM bestellung WHERE tisch = " + NumStr(kTable));  // the next round's setup shows
    return bunr;
  }

  // The bare transaction; its duration in *ms. The copied rows are removed
  // afterwards (not timed) so that both sides always see the same tables.
  bool Bare(double& ms) {
    auto before = MaxRowids();
    ++bareRound_;
    std::vector<std::string> statements;
    for (const auto& [table, inserts] : rows_) {
      int k = 0;
      for (const auto& sql : inserts) {
        std::string text = ReplaceAll(sql, "@ROUND@", std::to_string(1000000000 + bareRound_));
        statements.push_back(ReplaceAll(text, "@UNIQUE@", std::to_string(1000000000 + bareRound_ * 100 + k++)));
      }
    }
    db::Connection& c = db_.conn();
    const double t0 = NowMs(), c0 = ThreadCpuMs();
    Status done = c.BeginTrans();
    for (size_t i = 0; done && i < statements.size(); ++i) done = c.Execute(statements[i]);
    if (done) done = c.CommitTrans();
    const bool ok = done.ok();
    ms = NowMs() - t0;
    bareCpu.push_back(ThreadCpuMs() - c0);
    if (!ok) {
      if (c.InTransaction()) (void)c.RollbackTrans();
      lastError_ = done.message();
      return false;
    }
    // Not timed; a copy left behind would show in the next round's figures.
    (void)aux_->BeginTrans();
    for (const auto& [table, max] : before) {
      (void)aux_->Execute("DELETE FROM " + table + " WHERE rowid > " + std::to_string(max));
    }
    (void)aux_->CommitTrans();
    return true;
  }

  std::string RowsText() const {
    std::string text;
    size_t total = 0;
    for (const auto& [table, inserts] : rows_) {
      text += (text.empty() ? "" : ", ") + table + " " + std::to_string(inserts.size());
      total += inserts.size();
    }
    return std::to_string(total) + " rows (" + text + ")";
  }
  const std::string& lastError() const { return lastError_; }
  // CPU time of each call, beside the wall-clock durations the callers keep.
  std::vector<double> settleCpu, bareCpu;

 private:
  std::map<std::string, int64_t> MaxRowids() {
    std::map<std::string, int64_t> max;
    for (const auto& t : tables_) {
      auto rs = aux_->Query("SELECT COALESCE(MAX(rowid), 0) FROM " + t);
      max[t] = rs && !rs->Eof() ? rs->Raw(0).AsInt64() : 0;
    }
    return max;
  }

  void CaptureRows(const std::map<std::string, int64_t>& before) {
    for (const auto& [table, max] : before) {
      auto rs = aux_->Query("SELECT * FROM " + table + " WHERE rowid > " + std::to_string(max));
      if (!rs) continue;
      auto unique = kUniqueColumn.find(table);
      for (; !rs->Eof(); rs->MoveNext()) {
        std::string columns, values;
        for (size_t i = 0; i < rs->ColumnCount(); ++i) {
          const std::string& name = rs->ColumnName(i);
          const bool fresh = unique != kUniqueColumn.end() && unique->second == name;
          const std::string value = fresh                       ? std::string("@UNIQUE@")
                                    : kRoundColumns.count(name) ? std::string("@ROUND@")
                                                                : Literal(rs->Raw(i));
          columns += (columns.empty() ? "" : ", ") + name;
          values += (values.empty() ? "" : ", ") + value;
        }
        rows_[table].push_back("INSERT INTO " + table + " (" + columns + ") VALUES (" + values + ")");
      }
    }
  }

  bool Exec(const std::vector<std::string>& statements, std::string& error) {
    for (const auto& sql : statements) {
      if (Status done = aux_->Execute(sql); !done) {
        error = sql + ": " + done.message();
        return false;
      }
    }
    return true;
  }

  LocalDb& db_;
  std::unique_ptr<db::Connection> aux_;
  NullLog log_;
  std::vector<std::string> tables_;
  std::map<std::string, std::vector<std::string>> rows_;
  int round_ = 0;
  int bareRound_ = 0;
  std::string lastError_;
};

}  // namespace

int RunSettlementCost(const BenchOptions& options, int rounds) {
  LocalDb db(options.parentDir, platform::DefaultEnv(), options.keep);
  std::string error;
  if (!db.Create(error)) {
    Note("FEHLER: " + error);
    return 1;
  }
  db.state().tseInUse = false;  // signing is not part of the cost
  Comparison cmp(db);
  if (!cmp.Prepare(error)) {
    Note("FEHLER: " + error);
    return 1;
  }
  Note("one settlement stores " + cmp.RowsText() + "; the bare transaction inserts the same rows");
  std::vector<double> settle, bare, ratios;
  for (int i = 0; i < rounds; ++i) {
    double s = 0, b = 0;
    // Alternating which goes first keeps checkpoints and cache effects from favouring one side.
    auto settleOnce = [&] { return cmp.Settle(&s) > 0; };
    bool ok = i % 2 == 0 ? settleOnce() && cmp.Bare(b) : cmp.Bare(b) && settleOnce();
    if (!ok) {
      Note("FEHLER in round " + std::to_string(i) + ": " + cmp.lastError());
      return 1;
    }
    settle.push_back(s);
    bare.push_back(b);
    ratios.push_back(s / b);
  }
  const Summary ss = Summarise(settle), bs = Summarise(bare), rs = Summarise(ratios);
  Note("TischAbrechnen:     " + Describe(ss));
  Note("bare transaction:   " + Describe(bs));
  Note("ratio per pair:     " + Describe(rs, "x"));
  Note("CPU time, TischAbrechnen:   " + Describe(Summarise(cmp.settleCpu)));
  Note("CPU time, bare transaction: " + Describe(Summarise(cmp.bareCpu)));
  const double ratio = ss.median / bs.median;
  Report({"settlement cost (20-line table, vouchers, customer account) vs bare transaction",
          "ratio of medians " + Fixed(ratio, 2) + " (" + Fixed(ss.median, 2) + " ms vs " + Fixed(bs.median, 2) +
              " ms, " + std::to_string(rounds) + " pairs)",
          "<= 1.5", ratio <= 1.5});
  return 0;
}

}  // namespace tolven::bench
