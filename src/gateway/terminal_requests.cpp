#include "gateway/terminal_requests.h"

#include <vector>

#include "common/text.h"
#include "printing/customer_receipt.h"
#include "settlement/modTischAbrechnen.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;

namespace {
const char* const kCardKinds = ";EC;GIRO;CC;VISA;MASTER;AMEX;PAYPAL;";
const char* const kOneLineAnswers = ";ABRECHNEN;BAR;EC;GIRO;CC;VISA;MASTER;AMEX;PAYPAL;ZAHLUNGKK;KUKA;";
const char* const kSettlementFailed = "ERR;Tischabrechnung fehlgeschlagen.";

bool Listed(const char* list, const std::string& command) {
  return std::string(list).find(";" + command + ";") != std::string::npos;
}
}  // namespace

void TerminalRequests::HandleTerminalRequest(int slot, const std::string& /*requestFile*/,
                                             const std::string& answerFile) {
  platform::Env& env = tools_.env();
  ExchangeFile& file = form_.RequestFile(slot);
  const Handover taken = file.TakeOver("Datenabfrage von Orderterminal " + std::to_string(slot) + "...");
  if (taken.outcome == HandoverOutcome::Refused) {
    const std::string refusal = "ERR;Anfrage abgelehnt: " + taken.error + ".";
    form_.WriteAnswerFile(answerFile, refusal + "\r\n");
    form_.slot(slot).lastAnswer = refusal;
    return;
  }
  if (taken.outcome != HandoverOutcome::Taken) return;
  std::string line = taken.contents.substr(0, taken.contents.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  env.SleepMs(50);
  (void)file.DeleteWork();

  const std::string command = GetToken(line, 1);
  const std::optional<int32_t> tableField = StrictWholeNumber(GetToken(line, 2));
  const int32_t waiter = LeadingWholeNumber(GetToken(line, 3));
  const std::string text4 = GetToken(line, 4);
  TerminalSlot& slotInfo = form_.slot(slot);
  slotInfo.lastRequest = line;
  slotInfo.lastTime = FormatHMS(env.Now());

  std::string answer;
  if (!tableField) {
    // The request cannot be processed; the terminal learns so instead of waiting.
    answer = "ERR;Ungültige Anfrage: Feld 2 ist keine ganze Zahl.";
    form_.AddLogLine("FEHLER: Anfrage von Orderterminal " + std::to_string(slot) + " nicht verarbeitet: " + line);
    form_.WriteAnswerFile(answerFile, answer + "\r\n");
    slotInfo.lastAnswer = answer;
    return;
  }
  const int32_t table = *tableField;

  if (command == "ABRECHNEN") {
    answer = SettleTable(slot, table, waiter, "BAR", text4) ? "OK" : kSettlementFailed;
  } else if (Listed(kCardKinds, command)) {
    answer = SettleTable(slot, table, waiter, command, text4) ? "OK" : kSettlementFailed;
  } else if (command == "KUKA" || command == "ZAHLUNGKK") {
    answer = CustomerPayment(slot, table, waiter, text4);
  } else if (command == "ANMELDUNG") {
    answer = LogIn(GetToken(line, 2), GetToken(line, 3));
  }

  if (Listed(kOneLineAnswers, command) || command == "ANMELDUNG") {
    form_.WriteAnswerFile(answerFile, answer + "\r\n");
    slotInfo.lastAnswer = answer.empty() ? "(leer)" : answer;
  } else {
    form_.WriteAnswerFile(answerFile, TableData(table));
    form_.AddLogLine("  Tischdaten " + std::to_string(table) + " gesendet");
    slotInfo.lastAnswer = "Tischdaten " + std::to_string(table);
  }
}

std::string TerminalRequests::LogIn(const std::string& operatorField, const std::string& key) {
  const int32_t op = LeadingWholeNumber(operatorField);
  db::DbError err;
  auto rs = tools_.Open("SELECT * FROM kassi WHERE kanr = " + NumStr(op), err);
  if (!rs || rs->Eof() || GetFieldValue(*rs, "schluesselnr").AsString() != key) return " ";
  const std::string name = GetFieldValue(*rs, "name").AsString();
  form_.AddLogLine("Anmeldung von Kassierer " + std::to_string(op) + "-" + name);
  return "OK" + name;
}

std::string TerminalRequests::CustomerPayment(int slot, int32_t table, int32_t waiter, const std::string& card) {
  const int32_t customer = SetCustomerForTable(table, card);
  if (customer == 0) return "ERR;Kein Kunde zu Kartennummer " + card;
  // A figure that cannot be read must not count as 0: the payment would pass
  // the coverage check on a balance nobody saw.
  bool read = true;
  std::string why;
  auto number = [&](const std::string& sql, const std::string& column) -> int64_t {
    db::DbError err;
    auto rs = tools_.Open(sql, err);
    if (!rs && read) why = err.text;
    if (!rs) read = false;
    return rs && !rs->Eof() ? GetFieldValue(*rs, column).AsInt64() : 0;
  };
  const int64_t sum =
      number("SELECT SUM(menge*epreis ) AS summe FROM bestellung WHERE tisch = " + NumStr(table), "summe");
  // The latest booking, as the ledger finds it (msecs breaks a tie within a second).
  const int64_t balance = number(tools_.dialect().SelectTop(1, "saldo FROM kdkto WHERE kdnr = " + NumStr(customer) +
                                                                  " ORDER BY kdnr, datumzeit DESC, msecs DESC"),
                                 "saldo");
  // The PIN is read with the limit; the request carries none to compare it with.
  const int64_t limit = number(
      "SELECT " + tools_.dialect().Column("limit") + ", pin FROM kunden WHERE kdnr = " + NumStr(customer), "limit");
  if (!read) {
    form_.AddLogLine("FEHLER: Deckung des Kundenkontos " + std::to_string(customer) + " nicht lesbar: " + why);
    return kSettlementFailed;
  }
  if (limit + balance < sum) return "ERR;Keine ausreichende Deckung auf dem Kundenkonto.";
  return SettleTable(slot, table, waiter, "KDKTO", "") ? "OK" : kSettlementFailed;
}

int32_t TerminalRequests::SetCustomerForTable(int32_t table, const std::string& cardNumber) {
  db::DbError err;
  int32_t customer = 0;
  if (auto rs = tools_.Open("SELECT kdnr FROM kunden WHERE cardno = " + SqlText(cardNumber), err); rs && !rs->Eof()) {
    customer = GetFieldValue(*rs, "kdnr").AsInt();
  }
  if (!tools_.ExecSQL("UPDATE bestellung SET kdnr = " + NumStr(customer) + " WHERE tisch = " + NumStr(table), err)) {
    form_.AddLogLine("FEHLER: Kunde für Tisch " + NumStr(table) + " nicht gesetzt. " + err.text);
  }
  return customer;
}

bool TerminalRequests::SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment,
                                   const std::string& list) {
  db::DbError err;
  std::string suffix, filter;
  // Guest numbers the lines had before they were marked, to give them back
  // when the settlement does not go through.
  std::vector<std::pair<int64_t, int64_t>> marked;
  if (!list.empty()) {
    form_.AddLogLine("Teilabrechnung: " + list);
    suffix = "(Teilabrechnung)";
    filter = " AND gast = 99";
    for (int k = 1;; ++k) {
      const int32_t id = LeadingWholeNumber(GetToken(list, k, ":"));
      if (id == 0) break;
      // Only lines of this table: an id of another table must not be settled here
      // nor carried into that table's next partial settlement.
      const std::string where = " WHERE id = " + NumStr(id) + " AND tisch = " + NumStr(table);
      if (auto rs = tools_.Open("SELECT gast FROM bestellung" + where, err); rs && !rs->Eof()) {
        marked.emplace_back(id, GetFieldValue(*rs, "gast").AsInt64());
      }
      if (!tools_.ExecSQL("UPDATE bestellung SET gast = 99" + where, err)) {
        form_.AddLogLine("FEHLER: Gast-Nr für Teilabrechnung nicht gesetzt. " + err.text);
      }
    }
  }
  auto rows = tools_.Open("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = " + NumStr(table) + filter,
                          err);
  if (!rows) {
    form_.AddLogLine("FEHLER: Bestellung für Tisch " + NumStr(table) + " kann nicht gelesen werden. " + err.text);
    return false;
  }
  if (rows->Eof()) return true;

  std::string zahlart = payment;
  const int32_t bunr = settlement_.TischAbrechnen(*rows, table, waiter, zahlart);
  if (bunr < 0) {
    form_.AddLogLine("FEHLER: Tischabrechnung fehlgeschlagen. Tisch" + NumStr(table));
    for (const auto& [id, gast] : marked) {
      tools_.ExecSQL("UPDATE bestellung SET gast = " + NumStr(gast) + " WHERE id = " + NumStr(id), err);
    }
    return false;
  }
  if (!tools_.ExecSQL("DELETE FROM bestellung WHERE tisch = " + NumStr(table) + filter, err)) {
    form_.AddLogLine("FEHLER: Bestellung für Tisch " + NumStr(table) +
                     " konnte nicht gelöscht werden. Bitte manuell löschen. Abrechnung durchgeführt. " + err.text);
    return true;
  }
  form_.AddLogLine("Tisch" + NumStr(table) + " am PDA abgerechnet " + suffix + " / " + payment);
  const std::string printer = slot >= 1 && slot <= kSlots ? form_.slots()[static_cast<size_t>(slot)].printer : "";
  if (Status st = receipt_.Print(bunr, printer); !st) {
    form_.AddLogLine("FEHLER: Kundenbeleg " + std::to_string(bunr) + " nicht gedruckt: " + st.message());
  }
  return true;
}

std::string TerminalRequests::TableData(int32_t table) {
  db::DbError err;
  std::string out;
  auto rs = tools_.Open("SELECT * FROM bestellung WHERE tisch = " + NumStr(table) + " ORDER BY id ", err);
  for (; rs && !rs->Eof(); rs->MoveNext()) {
    // Whole-number forms: a row id above seven digits would not survive single precision.
    out += FormatZeroPadded(static_cast<float>(GetFieldValue(*rs, "menge").AsInt64()), 3) +
           PadRight(GetFieldValue(*rs, "artnr").AsString(), 15) + PadRight(GetFieldValue(*rs, "artbez").AsString(), 40) +
           FormatZeroPaddedLong(GetFieldValue(*rs, "epreis").AsInt64(), 8) +
           FormatZeroPaddedLong(GetFieldValue(*rs, "id").AsInt64(), 10) + "\r\n";
  }
  return out;
}

}  // namespace tolven::gateway
