#include "gateway/terminal_requests.h"

#include <algorithm>
#include <vector>

#include "common/text.h"
#include "printing/customer_receipt.h"
#include "settlement/table_settlement.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;

namespace {
const char* const kCardKinds = ";EC;GIRO;CC;VISA;MASTER;AMEX;PAYPAL;";
const char* const kOneLineAnswers = ";ABRECHNEN;BAR;EC;GIRO;CC;VISA;MASTER;AMEX;PAYPAL;ZAHLUNGKK;KUKA;";
const char* const kSettlementFailed = "Tischabrechnung fehlgeschlagen.";

bool Listed(const char* list, const std::string& command) {
  return std::string(list).find(";" + command + ";") != std::string::npos;
}

// The ids of a partial list ("4711:4712"), each once, up to the first that is not a number.
std::vector<int64_t> ListedIds(const std::string& list) {
  std::vector<int64_t> ids;
  for (int k = 1;; ++k) {
    const int64_t id = LeadingWholeNumber(GetToken(list, k, ":"));
    if (id <= 0) break;
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  return ids;
}

RequestKind KindOf(const std::string& command) {
  if (command == "ANMELDUNG") return RequestKind::LogIn;
  if (command == "ABRECHNEN") return RequestKind::CashPayment;
  if (command == "KUKA" || command == "ZAHLUNGKK") return RequestKind::CustomerPayment;
  if (Listed(kCardKinds, command)) return RequestKind::CardPayment;
  return RequestKind::TableData;
}
}  // namespace

void TerminalRequests::HandleTerminalRequest(int slot, const std::string& /*requestFile*/,
                                             const std::string& answerFile) {
  const std::shared_ptr<void> marked = markReceipt_ ? markReceipt_() : nullptr;
  platform::Env& env = tools_.env();
  ExchangeFile& file = exchange_.RequestFile(slot);
  const std::string from = "Orderterminal " + std::to_string(slot);
  std::string contents;
  platform::FileInfo info;
  const bool leftover = file.LeftoverPresent() && ReadLeftover(file, contents, info);
  if (leftover) {
    const std::string self = RequestJournal::Identity(contents, info);
    std::string stored;
    bool answered = false;
    switch (journal_.FindFile(slot, self, stored, answered)) {
      case RequestJournal::Lookup::Unknown:
        // Without the journal nobody can tell whether it was settled.
        file.SetWorkAside("unverarbeitet");
        return;
      case RequestJournal::Lookup::Found:
        log_.AddLogLine("Zahlung von " + from + " war bereits abgerechnet; die Antwort wird nachgereicht.");
        // Answered already: only the work file was left.
        if (answered) {
          (void)file.DeleteWork();
        } else {
          Answer(slot, answerFile, stored + "\r\n", self);
        }
        return;
      case RequestJournal::Lookup::NotFound:
        log_.AddLogLine("Unverarbeitete Anfrage von " + from + " wird jetzt bearbeitet.");
        break;
    }
  } else {
    const Handover taken = file.TakeOver("Datenabfrage von " + from + "...");
    if (taken.outcome == HandoverOutcome::Refused) {
      const std::string refusal = "ERR;Anfrage abgelehnt: " + taken.error + ".";
      exchange_.WriteAnswerFile(answerFile, refusal + "\r\n");
      exchange_.slot(slot).lastAnswer = refusal;
      return;
    }
    if (taken.outcome != HandoverOutcome::Taken) return;
    contents = taken.contents;
    info = taken.info;
  }
  std::string line = contents.substr(0, contents.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  env.SleepMs(50);

  const std::string command = GetToken(line, 1);
  const std::optional<int32_t> tableField = StrictWholeNumber(GetToken(line, 2));
  const int32_t waiter = LeadingWholeNumber(GetToken(line, 3));
  const std::string text4 = GetToken(line, 4);
  TerminalSlot& slotInfo = exchange_.slot(slot);
  slotInfo.lastRequest = line;
  slotInfo.lastTime = FormatHMS(env.Now());
  observer_.RequestRead(slot, KindOf(command));

  std::string answer;
  if (!tableField) {
    // The request cannot be processed; the terminal learns so instead of waiting.
    answer = "ERR;Ungültige Anfrage: Feld 2 ist keine ganze Zahl.";
    log_.AddLogLine("FEHLER: Anfrage von " + from + " nicht verarbeitet: " + line);
    Answer(slot, answerFile, answer + "\r\n", "");
    slotInfo.lastAnswer = answer;
    return;
  }
  const int32_t table = *tableField;

  const bool card = Listed(kCardKinds, command), customer = command == "KUKA" || command == "ZAHLUNGKK";
  settlement::SettleRequest request;
  std::string identity;
  if ((command == "ABRECHNEN" || card || customer) && journal_.Ready()) {
    identity = RequestJournal::Identity(contents, info);
    std::string resent = identity;
    if (!leftover && journal_.FindResend(slot, resent, answer) == RequestJournal::Lookup::Found) {
      // Settled before an interruption; the terminal never got the answer.
      log_.AddLogLine("Zahlung von " + from + " war bereits abgerechnet; die Antwort wird nachgereicht.");
      Answer(slot, answerFile, answer + "\r\n", resent);
      slotInfo.lastAnswer = answer;
      return;
    }
    request.record = [this, slot, identity] { return journal_.Record(slot, identity, "OK"); };
  }
  if (command == "ABRECHNEN" || card) {
    const Status settled = Settle(slot, table, waiter, command == "ABRECHNEN" ? "BAR" : command, text4, request);
    answer = settled ? "OK" : "ERR;" + settled.message();
  } else if (customer) {
    answer = CustomerPayment(slot, table, waiter, text4, request);
  } else if (command == "ANMELDUNG") {
    answer = LogIn(GetToken(line, 2), GetToken(line, 3));
  }

  if (Listed(kOneLineAnswers, command) || command == "ANMELDUNG") {
    Answer(slot, answerFile, answer + "\r\n", answer == "OK" ? identity : "");
    slotInfo.lastAnswer = answer.empty() ? "(leer)" : answer;
  } else {
    Answer(slot, answerFile, TableData(table), "");
    log_.AddLogLine("  Tischdaten " + std::to_string(table) + " gesendet");
    slotInfo.lastAnswer = "Tischdaten " + std::to_string(table);
  }
}

bool TerminalRequests::ReadLeftover(ExchangeFile& file, std::string& contents, platform::FileInfo& info) {
  if (!file.ReadLeftoverWork(contents, info)) return false;
  // The terminal has sent the same request again meanwhile: that one is answered.
  std::string resent;
  if (file.Present() && tools_.env().ReadFile(file.inputPath(), resent).ok() && resent == contents) {
    (void)file.DeleteWork();
    return false;
  }
  return true;
}

void TerminalRequests::Answer(int slot, const std::string& answerFile, const std::string& text,
                              const std::string& identity) {
  const bool written = exchange_.WriteAnswerFile(answerFile, text);
  // A settled request whose answer could not be written stays for the next
  // pass, which answers it from the journal.
  if (!written && !identity.empty()) return;
  if (written && !identity.empty()) journal_.Answered(slot, identity, "OK");
  (void)exchange_.RequestFile(slot).DeleteWork();
}

std::string TerminalRequests::LogIn(const std::string& operatorField, const std::string& key) {
  const int32_t op = LeadingWholeNumber(operatorField);
  // An empty key opens nothing, nor does an operator without a key.
  if (TrimBlanks(key).empty()) return " ";
  auto rs = tools_.Open("SELECT * FROM kassi WHERE kanr = " + NumStr(op));
  if (!rs || rs->Eof()) return " ";
  const std::string stored = GetFieldValue(*rs, "schluesselnr").AsString();
  if (TrimBlanks(stored).empty() || stored != key) return " ";
  const std::string name = GetFieldValue(*rs, "name").AsString();
  log_.AddLogLine("Anmeldung von Kassierer " + std::to_string(op) + "-" + name);
  return "OK" + name;
}

std::string TerminalRequests::CustomerPayment(int slot, int32_t table, int32_t waiter, const std::string& card,
                                              settlement::SettleRequest request) {
  // Nothing is written before the settlement: a refused payment leaves the
  // table as it was. The coverage check runs inside the settlement's transaction.
  const Result<int32_t> customer = CustomerOfCard(card);
  if (!customer) return std::string("ERR;") + kSettlementFailed;
  if (*customer == 0) return "ERR;Kein Kunde zu Kartennummer " + card;
  request.customer = *customer;
  request.checkCoverage = true;
  const Status settled = Settle(slot, table, waiter, "KDKTO", "", request);
  return settled ? "OK" : "ERR;" + settled.message();
}

Result<int32_t> TerminalRequests::CustomerOfCard(const std::string& cardNumber) {
  // A customer without a card has an empty card number; a blank request must not find him.
  if (TrimBlanks(cardNumber).empty()) return 0;
  auto rs = tools_.Open("SELECT kdnr FROM kunden WHERE cardno = " + SqlText(cardNumber));
  if (!rs) {
    log_.AddLogLine("FEHLER: Kunde zu Kartennummer " + cardNumber + " nicht lesbar. " + rs.status().message());
    return rs.status();
  }
  return rs->Eof() ? 0 : GetFieldValue(*rs, "kdnr").AsInt();
}

Status TerminalRequests::SettleTable(int slot, int32_t table, int32_t waiter, const std::string& payment,
                                     const std::string& list) {
  const std::shared_ptr<void> marked = markReceipt_ ? markReceipt_() : nullptr;
  return Settle(slot, table, waiter, payment, list, settlement::SettleRequest{});
}

Status TerminalRequests::KitchenHasLines(int32_t table, int32_t waiter, const std::string& filter) {
  // The lines the kitchen printout takes (as it selects them), among those of `filter`.
  const std::string sql = "SELECT COUNT(*) AS n FROM bestellung WHERE tisch = " + NumStr(table) +
                          " AND haskuebon = " + tools_.SqlBool(false) + " AND artnr <> " + SqlText("$GVTGAG") +
                          " AND artnr <> " + SqlText("$GVFA") + filter;
  auto pending = [&](int64_t& n) {
    auto rs = tools_.Open(sql);
    if (!rs) {
      log_.AddLogLine("FEHLER: Offene Küchenpositionen von Tisch" + NumStr(table) + " nicht lesbar. " +
                      rs.status().message());
      return false;
    }
    n = rs->Eof() ? 0 : GetFieldValue(*rs, "n").AsInt64();
    return true;
  };
  int64_t n = 0;
  if (!pending(n)) return Status::Error(kSettlementFailed);
  if (n == 0) return Status::Ok();
  if (kitchen_) {
    kitchen_->PrintPending(table, tools_.WaiterText(waiter));
    if (!pending(n)) return Status::Error(kSettlementFailed);
    if (n == 0) return Status::Ok();
  }
  log_.AddLogLine("FEHLER: Tisch" + NumStr(table) + " nicht abgerechnet: " + std::to_string(n) +
                  " Positionen hat die Küche noch nicht erhalten.");
  return Status::Error("Küchenbon für Tisch " + std::to_string(table) + " nicht gedruckt, Tisch bleibt offen.");
}

Status TerminalRequests::Settle(int slot, int32_t table, int32_t waiter, const std::string& payment,
                                const std::string& list, const settlement::SettleRequest& base) {
  // Kitchen receipts of the table printing meanwhile would come out twice.
  const loop::Holds::Hold hold = holds_.Take("Tisch " + std::to_string(table));
  settlement::SettleRequest request = base;
  std::string suffix, filter;
  std::vector<int64_t> ids;
  if (!list.empty()) {
    log_.AddLogLine("Teilabrechnung: " + list);
    suffix = "(Teilabrechnung)";
    request.partial = true;
    ids = ListedIds(list);
  }
  auto open = tools_.Open("SELECT COUNT(*) AS n FROM bestellung WHERE tisch = " + NumStr(table));
  if (!open) {
    log_.AddLogLine("FEHLER: Bestellung für Tisch " + NumStr(table) + " kann nicht gelesen werden. " +
                    open.status().message());
    return Status::Error(kSettlementFailed);
  }
  // Nothing to settle: "OK" would tell the waiter to keep money that no
  // receipt holds (a resend of a stored payment is answered before).
  const std::string empty = "Tisch " + std::to_string(table) + " hat keine offenen Positionen.";
  if (open->Eof() || GetFieldValue(*open, "n").AsInt64() == 0) {
    log_.AddLogLine("Tisch" + NumStr(table) + " nicht abgerechnet: keine offenen Positionen.");
    return Status::Error(empty);
  }
  if (!list.empty()) {
    if (ids.empty()) {
      const std::string reason = "Teilabrechnung ohne gültige Position.";
      log_.AddLogLine("FEHLER: Tisch" + NumStr(table) + " nicht abgerechnet: " + reason);
      return Status::Error(reason);
    }
    std::string in;
    for (int64_t id : ids) in += (in.empty() ? "" : " , ") + NumStr(id);
    filter = " AND id IN ( " + in + " )";
  }
  auto rows = tools_.Open("SELECT *, menge*epreis as gpreis FROM bestellung WHERE tisch = " + NumStr(table) + filter +
                          " ORDER BY id");
  if (!rows) {
    log_.AddLogLine("FEHLER: Bestellung für Tisch " + NumStr(table) + " kann nicht gelesen werden. " +
                    rows.status().message());
    return Status::Error(kSettlementFailed);
  }
  // The terminal charged for exactly the listed lines: each must be open on this table.
  if (!ids.empty() && rows->RecordCount() != ids.size()) {
    log_.AddLogLine("Tisch" + NumStr(table) + " nicht abgerechnet: " + std::to_string(ids.size()) +
                    " Positionen angefordert, " + std::to_string(rows->RecordCount()) + " offen.");
    return Status::Error("Positionen nicht offen auf Tisch " + std::to_string(table) + ".");
  }
  if (rows->Eof()) return Status::Error(empty);
  // The kitchen must have had exactly these lines; one booked after this read
  // is not settled now and takes the kitchen's way of its own.
  std::string read;
  for (; !rows->Eof(); rows->MoveNext()) {
    read += (read.empty() ? "" : " , ") + NumStr(GetFieldValue(*rows, "id").AsInt64());
  }
  rows->MoveFirst();
  if (Status kitchen = KitchenHasLines(table, waiter, " AND id IN ( " + read + " )"); !kitchen) return kitchen;

  std::string zahlart = payment;
  const settlement::SettlementResult settled = settlement_.TischAbrechnen(*rows, table, waiter, zahlart, request);
  if (!settled) {
    if (!settled.refusal.empty()) return Status::Error(settled.refusal);
    log_.AddLogLine("FEHLER: Tischabrechnung fehlgeschlagen. Tisch" + NumStr(table));
    return Status::Error(kSettlementFailed);
  }
  const int32_t bunr = *settled;
  // The settled lines left the table with the receipt's commit.
  log_.AddLogLine("Tisch" + NumStr(table) + " am PDA abgerechnet " + suffix + " / " + payment);
  const std::string printer = slot >= 1 && slot <= kSlots ? exchange_.slots()[slot].printer : "";
  const fiscal::ReceiptSignature* unstored = settled.unstoredSignature ? &*settled.unstoredSignature : nullptr;
  const printing::CustomerReceipt::Outcome printed = receipt_.Print(bunr, printer, unstored);
  if (!printed.printed) {
    log_.AddLogLine("FEHLER: Kundenbeleg " + std::to_string(bunr) + " nicht gedruckt: " + printed.printed.message());
  } else if (!printed.archived) {
    log_.AddLogLine("FEHLER: Kundenbeleg " + std::to_string(bunr) +
                    " gedruckt, Archivkopie fehlt noch: " + printed.archived.message());
  }
  return Status::Ok();
}

std::string TerminalRequests::TableData(int32_t table) {
  std::string out;
  auto rs = tools_.Open("SELECT * FROM bestellung WHERE tisch = " + NumStr(table) + " ORDER BY id ");
  for (; rs && !rs->Eof(); rs->MoveNext()) {
    // Whole-number forms: a row id above seven digits would not survive single precision.
    out += FormatZeroPadded(static_cast<float>(GetFieldValue(*rs, "menge").AsInt64()), 3) +
           PadRight(GetFieldValue(*rs, "artnr").AsString(), 15) +
           PadRight(GetFieldValue(*rs, "artbez").AsString(), 40) +
           FormatZeroPaddedLong(GetFieldValue(*rs, "epreis").AsInt64(), 8) +
           FormatZeroPaddedLong(GetFieldValue(*rs, "id").AsInt64(), 10) + "\r\n";
  }
  return out;
}

}  // namespace tolven::gateway
