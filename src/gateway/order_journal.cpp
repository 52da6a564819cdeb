#include "gateway/order_journal.h"

#include "common/text.h"
#include "gateway/exchange_handover.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;

namespace {
// What a stored answer may hold; a longer error list is cut.
constexpr size_t kAnswerChars = 4000;
}  // namespace

std::string OrderJournal::Identity(const std::string& contents, const platform::FileInfo& info) {
  return ContentHash(contents) + "-" + std::to_string(contents.size()) + "-" + std::to_string(info.mtimeNs);
}

bool OrderJournal::Ready() {
  if (ready_) {
    Prune();
    return true;
  }
  platform::Env& env = tools_.env();
  if (env.MonotonicMs() < nextTryMs_) return false;
  const std::string columns =
      "kasse INT NOT NULL, slot INT NOT NULL, kennung VARCHAR(80) NOT NULL, zeit BIGINT NOT NULL, "
      "abrechnung INT NOT NULL, antwort VARCHAR(4000)";
  // Never inside a transaction: a failed create would end it.
  const Status created =
      tools_.connection().InTransaction() ? Status::Error("") : tools_.CreateOwnTable(kOrderJournalTable, columns);
  if (created) {
    ready_ = true;
    Prune();
    return true;
  }
  if (nextTryMs_ == 0) {
    log_.AddLogLine(std::string("FEHLER: Buchungsjournal ") + kOrderJournalTable +
                    " nicht verfügbar, Bestellungen werden ohne Journal gebucht: " + created.message());
  }
  nextTryMs_ = env.MonotonicMs() + 60000;
  return false;
}

void OrderJournal::Prune() {
  platform::Env& env = tools_.env();
  if (env.MonotonicMs() < nextPruneMs_ || tools_.connection().InTransaction()) return;
  nextPruneMs_ = env.MonotonicMs() + 3600 * 1000;
  const int64_t before = env.UnixTime() - int64_t{kOrderJournalDays} * 86400;
  if (Status status =
          tools_.ExecSQL(std::string("DELETE FROM ") + kOrderJournalTable + " WHERE zeit < " + std::to_string(before));
      !status) {
    log_.AddLogLine("FEHLER: Alte Einträge des Buchungsjournals nicht gelöscht: " + status.message());
  }
}

std::string OrderJournal::Where(int slot, const std::string& identity) const {
  return " WHERE kasse = " + NumStr(tools_.state().kasse) + " AND slot = " + NumStr(slot) +
         " AND kennung = " + SqlText(identity);
}

Status OrderJournal::Record(int slot, const std::string& identity, bool settlementPending, const std::string& answer) {
  return tools_.ExecSQL(std::string("INSERT INTO ") + kOrderJournalTable +
                        " ( kasse, slot, kennung, zeit, abrechnung, antwort ) VALUES ( " +
                        NumStr(tools_.state().kasse) + " , " + NumStr(slot) + " , " + SqlText(identity) + " , " +
                        std::to_string(tools_.env().UnixTime()) + " , " + NumStr(settlementPending ? 1 : 0) + " , " +
                        SqlText(answer.substr(0, kAnswerChars)) + " )");
}

void OrderJournal::Conclude(int slot, const std::string& identity, const std::string& answer) {
  if (Status status = tools_.ExecSQL(std::string("UPDATE ") + kOrderJournalTable + " SET abrechnung = 0, antwort = " +
                                     SqlText(answer.substr(0, kAnswerChars)) + Where(slot, identity));
      !status) {
    log_.AddLogLine("FEHLER: Buchungsjournal nicht fortgeschrieben: " + status.message());
  }
}

OrderJournal::Lookup OrderJournal::Find(int slot, const std::string& identity, std::string& answer,
                                        bool& settlementPending) {
  if (!Ready()) return Lookup::Unknown;
  auto rs = tools_.Open(std::string("SELECT abrechnung, antwort FROM ") + kOrderJournalTable + Where(slot, identity));
  if (!rs) {
    log_.AddLogLine("FEHLER: Buchungsjournal nicht lesbar: " + rs.status().message());
    return Lookup::Unknown;
  }
  if (rs->Eof()) return Lookup::NotBooked;
  // Raw: the answer's leading blank (" +++ ...") is part of it.
  const int column = rs->Find("antwort");
  answer = column < 0 ? "" : rs->Raw(static_cast<size_t>(column)).AsString();
  settlementPending = GetFieldValue(*rs, "abrechnung").AsInt() != 0;
  return Lookup::Booked;
}

}  // namespace tolven::gateway
