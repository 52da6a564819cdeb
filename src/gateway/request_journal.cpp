#include "gateway/request_journal.h"

#include "common/text.h"
#include "gateway/exchange_handover.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;

namespace {
// The order journal's rows name their files by hash, size and time alone;
// request rows never match one of them.
const char* const kPrefix = "anfrage-";
}  // namespace

std::string RequestJournal::Identity(const std::string& contents, const platform::FileInfo& info) {
  return kPrefix + ContentHash(contents) + "-" + std::to_string(contents.size()) + "-" + std::to_string(info.mtimeNs);
}

// `abrechnung` is 1 while the answer is not delivered, 0 once it is: the
// order journal's own meaning of a settlement still to be told.
Status RequestJournal::Record(int slot, const std::string& identity, const std::string& answer) {
  return table_.Record(slot, identity, true, answer);
}

void RequestJournal::Answered(int slot, const std::string& identity, const std::string& answer) {
  table_.Conclude(slot, identity, answer);
}

RequestJournal::Lookup RequestJournal::Find(const std::string& where, std::string& identity, std::string& answer,
                                            bool& answered) {
  if (!Ready()) return Lookup::Unknown;
  auto rs = tools_.Open(std::string("SELECT kennung, abrechnung, antwort FROM ") + kOrderJournalTable +
                        " WHERE kasse = " + NumStr(tools_.state().kasse) + where);
  if (!rs) {
    log_.AddLogLine("FEHLER: Anfragejournal nicht lesbar: " + rs.status().message());
    return Lookup::Unknown;
  }
  if (rs->Eof()) return Lookup::NotFound;
  identity = GetFieldValue(*rs, "kennung").AsString();
  answer = GetFieldValue(*rs, "antwort").AsString();
  answered = GetFieldValue(*rs, "abrechnung").AsInt() == 0;
  return Lookup::Found;
}

RequestJournal::Lookup RequestJournal::FindFile(int slot, const std::string& identity, std::string& answer,
                                                bool& answered) {
  std::string found;
  return Find(" AND slot = " + NumStr(slot) + " AND kennung = " + SqlText(identity), found, answer, answered);
}

RequestJournal::Lookup RequestJournal::FindResend(int slot, std::string& identity, std::string& answer) {
  // The prefix holds only letters, hex digits and "-": no LIKE wildcard.
  const std::string prefix = identity.substr(0, identity.rfind('-') + 1);
  const int64_t since = tools_.env().UnixTime() - int64_t{kResendMinutes} * 60;
  bool answered = false;
  return Find(" AND slot = " + NumStr(slot) + " AND kennung LIKE " + SqlText(prefix + "%") +
                  " AND abrechnung = 1 AND zeit >= " + std::to_string(since),
              identity, answer, answered);
}

}  // namespace tolven::gateway
