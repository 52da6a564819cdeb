#include "support/money_invariants.h"

#include <algorithm>
#include <map>
#include <set>

#include "common/text.h"

namespace tolven::testing {

namespace {

using Row = std::map<std::string, db::Value>;

// Every row of a query as name -> value (names in upper case: engines differ in the case they return).
std::vector<Row> Rows(db::Connection& conn, const std::string& sql, std::vector<std::string>& problems) {
  auto rs = conn.Query(sql);
  std::vector<Row> out;
  if (!rs) {
    problems.push_back("Abfrage fehlgeschlagen: " + sql + ": " + rs.status().message());
    return out;
  }
  for (; !rs->Eof(); rs->MoveNext()) {
    Row row;
    for (size_t i = 0; i < rs->ColumnCount(); ++i) row[ToUpper(rs->ColumnName(i))] = rs->Raw(i);
    out.push_back(std::move(row));
  }
  return out;
}

int64_t Int(const Row& row, const std::string& name) {
  auto it = row.find(ToUpper(name));
  return it == row.end() ? 0 : it->second.AsInt64();
}

std::string Text(const Row& row, const std::string& name) {
  auto it = row.find(ToUpper(name));
  return it == row.end() ? "" : TrimBlanks(it->second.AsString());
}

// `sql` lists the values handed out more than once (first column) and how often (second).
void Unique(db::Connection& conn, const std::string& what, const std::string& sql, std::vector<std::string>& problems) {
  for (const Row& r : Rows(conn, sql, problems)) {
    problems.push_back(what + " " + Text(r, "v") + " " + Text(r, "n") + "-mal");
  }
}

// The ledgers of `table`, one per `owner`, each in the order of its booking
// number: each balance is the previous one plus the amount.
void RunningBalances(db::Connection& conn, const std::string& table, const std::string& owner,
                     const std::string& number, std::vector<std::string>& problems) {
  const auto all = Rows(conn, "SELECT " + owner + ", " + number + ", betrag, saldo FROM " + table, problems);
  std::map<int64_t, std::vector<const Row*>> byOwner;
  for (const Row& r : all) byOwner[Int(r, owner)].push_back(&r);
  for (auto& [key, rows] : byOwner) {
    std::sort(rows.begin(), rows.end(), [&](const Row* a, const Row* b) { return Int(*a, number) < Int(*b, number); });
    int64_t balance = 0;
    for (const Row* r : rows) {
      balance += Int(*r, "betrag");
      if (Int(*r, "saldo") != balance) {
        problems.push_back(table + " " + owner + " " + std::to_string(key) + ": Saldo " +
                           std::to_string(Int(*r, "saldo")) + " nach Buchung " + std::to_string(Int(*r, "betrag")) +
                           ", Summe der Buchungen " + std::to_string(balance));
        balance = Int(*r, "saldo");  // one drift is one violation, not one per later row
      }
    }
  }
}

void Ledgers(db::Connection& conn, std::vector<std::string>& problems) {
  // Customer account and cash balance carry their own booking number.
  RunningBalances(conn, "kdkto", "kdnr", "kdktobunr", problems);
  RunningBalances(conn, "barsaldo", "kasse", "lfdnr", problems);
  // Bonus points have only their time: bookings of one instant may come in
  // any order, as long as one order of them adds up.
  const auto bonus = Rows(conn, "SELECT kdnr, datumzeit, punkte, saldo FROM bkto", problems);
  std::map<int64_t, std::vector<const Row*>> bonusByCustomer;
  for (const Row& r : bonus) bonusByCustomer[Int(r, "kdnr")].push_back(&r);
  for (auto& [kdnr, rows] : bonusByCustomer) {
    auto when = [](const Row* r) { return r->at("DATUMZEIT").AsDateTime(); };
    std::stable_sort(rows.begin(), rows.end(), [&](const Row* a, const Row* b) { return when(a) < when(b); });
    int64_t balance = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      // Among the rows of the same instant, take the one that follows on.
      for (size_t j = i; j < rows.size() && when(rows[j]) == when(rows[i]); ++j) {
        if (Int(*rows[j], "saldo") == balance + Int(*rows[j], "punkte")) {
          std::swap(rows[i], rows[j]);
          break;
        }
      }
      balance += Int(*rows[i], "punkte");
      if (Int(*rows[i], "saldo") != balance) {
        problems.push_back("bkto Kunde " + std::to_string(kdnr) + ": Saldo " + std::to_string(Int(*rows[i], "saldo")) +
                           ", Summe der Buchungen " + std::to_string(balance));
        balance = Int(*rows[i], "saldo");
      }
    }
  }
}

void Receipts(db::Connection& conn, std::vector<std::string>& problems) {
  const auto headers =
      Rows(conn, "SELECT bunr, kasse, betrag, sum0, sum1, sum2, sum3, sum1alt, sum2alt FROM kass", problems);
  std::map<int64_t, int64_t> lineSums;
  std::set<int64_t> withLines;
  for (const Row& r : Rows(conn, "SELECT bunr, posbetrag FROM kasspro", problems)) {
    lineSums[Int(r, "bunr")] += Int(r, "posbetrag");
    withLines.insert(Int(r, "bunr"));
  }
  std::set<int64_t> journaled;
  // Cash lines of the journal and cash-balance bookings, per register and receipt.
  std::map<std::pair<int64_t, int64_t>, int64_t> journalCash, balanceCash;
  for (const Row& r : Rows(conn, "SELECT bunr, kasse, zahlart, betrag FROM buch2", problems)) {
    journaled.insert(Int(r, "bunr"));
    if (Text(r, "zahlart") == "BAR") journalCash[{Int(r, "kasse"), Int(r, "bunr")}] += Int(r, "betrag");
  }
  for (const Row& r : Rows(conn, "SELECT bunr, kasse, betrag FROM barsaldo", problems)) {
    balanceCash[{Int(r, "kasse"), Int(r, "bunr")}] += Int(r, "betrag");
  }
  std::set<int64_t> receipts;
  for (const Row& h : headers) {
    const int64_t bunr = Int(h, "bunr");
    receipts.insert(bunr);
    const int64_t betrag = Int(h, "betrag");
    const std::string name = "Beleg " + std::to_string(bunr);
    if (lineSums[bunr] != betrag) {
      problems.push_back(name + ": Zeilen ergeben " + std::to_string(lineSums[bunr]) + ", Betrag " +
                         std::to_string(betrag));
    }
    const int64_t keys =
        Int(h, "sum0") + Int(h, "sum1") + Int(h, "sum2") + Int(h, "sum3") + Int(h, "sum1alt") + Int(h, "sum2alt");
    if (keys != betrag) {
      problems.push_back(name + ": Summen der Steuerschlüssel " + std::to_string(keys) + ", Betrag " +
                         std::to_string(betrag));
    }
    if (!journaled.count(bunr)) problems.push_back(name + ": keine Buchung in buch2");
  }
  for (int64_t bunr : withLines) {
    if (!receipts.count(bunr)) problems.push_back("Belegzeilen ohne Beleg " + std::to_string(bunr));
  }
  std::set<std::pair<int64_t, int64_t>> keys;
  for (const auto& [k, v] : journalCash) keys.insert(k);
  for (const auto& [k, v] : balanceCash) keys.insert(k);
  for (const auto& k : keys) {
    if (journalCash[k] != balanceCash[k]) {
      problems.push_back("Kasse " + std::to_string(k.first) + " Beleg " + std::to_string(k.second) +
                         ": Bar im Journal " + std::to_string(journalCash[k]) + ", im Barsaldo " +
                         std::to_string(balanceCash[k]));
    }
  }
}

void OrderLines(db::Connection& conn, const std::vector<std::string>& ordered, std::vector<std::string>& problems) {
  if (ordered.empty()) return;
  std::map<std::string, int> open, billed;
  for (const Row& r : Rows(conn, "SELECT artnr FROM bestellung", problems)) ++open[Text(r, "artnr")];
  for (const Row& r : Rows(conn, "SELECT artnr FROM kasspro", problems)) ++billed[Text(r, "artnr")];
  for (const std::string& artnr : ordered) {
    const int o = open[artnr], b = billed[artnr];
    if (o + b != 1) {
      problems.push_back("Bestellzeile " + artnr + ": " + std::to_string(o) + "-mal offen, " + std::to_string(b) +
                         "-mal auf Belegen");
    }
  }
}

}  // namespace

std::vector<std::string> CheckMoneyInvariants(db::Connection& conn, const std::vector<std::string>& orderedArticles) {
  std::vector<std::string> problems;
  OrderLines(conn, orderedArticles, problems);
  Receipts(conn, problems);
  Ledgers(conn, problems);
  const std::pair<const char*, const char*> numbers[] = {
      {"kass.bunr", "SELECT bunr AS v, COUNT(*) AS n FROM kass GROUP BY bunr HAVING COUNT(*) > 1"},
      {"kass.seqnr", "SELECT seqnr AS v, COUNT(*) AS n FROM kass GROUP BY seqnr HAVING COUNT(*) > 1"},
      {"buch2.bunr2", "SELECT bunr2 AS v, COUNT(*) AS n FROM buch2 GROUP BY bunr2 HAVING COUNT(*) > 1"},
      {"kdkto.kdktobunr", "SELECT kdktobunr AS v, COUNT(*) AS n FROM kdkto GROUP BY kdktobunr HAVING COUNT(*) > 1"},
      {"barsaldo.lfdnr", "SELECT lfdnr AS v, COUNT(*) AS n FROM barsaldo GROUP BY lfdnr HAVING COUNT(*) > 1"},
      {"tse_bestellungen.seqnr",
       "SELECT seqnr AS v, COUNT(*) AS n FROM tse_bestellungen GROUP BY seqnr HAVING COUNT(*) > 1"},
      // A kitchen receipt's lines share its seqnr and number; receipts and other orders never do.
      {"seqnr von Bestellung und Beleg",
       "SELECT seqnr AS v, COUNT(*) AS n FROM (SELECT DISTINCT seqnr FROM kuebonlog UNION ALL "
       "SELECT seqnr FROM kass) s GROUP BY seqnr HAVING COUNT(*) > 1"},
      {"kuebonlog.kuebonnr",
       "SELECT kuebonnr AS v, COUNT(DISTINCT seqnr) AS n FROM kuebonlog GROUP BY kuebonnr HAVING COUNT(DISTINCT seqnr) "
       "> 1"},
  };
  for (const auto& [what, sql] : numbers) Unique(conn, what, sql, problems);
  return problems;
}

}  // namespace tolven::testing
