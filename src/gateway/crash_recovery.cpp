#include "gateway/crash_recovery.h"

#include <map>

#include "common/text.h"
#include "printing/customer_receipt.h"

namespace tolven::gateway {

using db::GetFieldValue;
using db::SqlText;

namespace {

const std::string kPrefix = "Wiederanlauf: ";

}  // namespace

void CrashRecovery::Run(loop::EventLoop* loop) {
  RemoveStaleTseRows();
  // Taken over and listed before the first order or payment of this run, which
  // would otherwise be among them.
  std::vector<KitchenPrinting::Reprint> reprints = kitchen_.TakeOverClaims();
  Receipts receipts = FindReceipts();
  // A silent TSE server or a stalled printer costs these jobs only: the
  // terminals are served meanwhile.
  std::function<void()> steps[] = {[this, reprints] { kitchen_.Recover(reprints); },
                                   [this, receipts] { PrintReceipts(receipts); }};
  for (auto& step : steps) {
    if (loop == nullptr) {
      step();
      continue;
    }
    loop->Spawn([this, step = std::move(step)] {
      try {
        step();
      } catch (const std::exception& e) {
        log_.AddLogLine("FEHLER: " + kPrefix + e.what());
      }
    });
  }
}

void CrashRecovery::RemoveStaleTseRows() {
  const std::string where = " WHERE kasse = " + NumStr(tools_.state().kasse);
  for (const char* table : {"tse_server_req", "tse_server_ans"}) {
    auto rs = tools_.Open(std::string("SELECT COUNT(*) AS n FROM ") + table + where);
    const int64_t n = rs && !rs->Eof() ? GetFieldValue(*rs, "n").AsInt64() : 0;
    if (!rs) {
      log_.AddLogLine("FEHLER: " + kPrefix + table + " nicht lesbar: " + rs.status().message());
      continue;
    }
    if (n == 0) continue;
    if (Status status = tools_.ExecSQL(std::string("DELETE FROM ") + table + where); !status) {
      log_.AddLogLine("FEHLER: " + kPrefix + "alte Zeilen in " + table + " nicht gelöscht: " + status.message());
      continue;
    }
    log_.AddLogLine(kPrefix + std::to_string(n) + " alte Zeile(n) dieser Kasse in " + table + " gelöscht.");
  }
}

bool CrashRecovery::EnsureMarkTable() {
  const std::string columns = "kasse INT NOT NULL PRIMARY KEY, bunr INT NOT NULL";
  Status created = tools_.CreateOwnTable(kMarkTable, columns);
  if (created) return true;
  log_.AddLogLine("FEHLER: " + kPrefix + "Tabelle " + kMarkTable + " nicht angelegt: " + created.message());
  return false;
}

std::optional<int64_t> CrashRecovery::ReadMark() {
  if (!EnsureMarkTable()) return std::nullopt;
  const std::string kasse = NumStr(tools_.state().kasse);
  auto rs = tools_.Open(std::string("SELECT bunr FROM ") + kMarkTable + " WHERE kasse = " + kasse);
  if (!rs) {
    log_.AddLogLine("FEHLER: " + kPrefix + kMarkTable + " nicht lesbar: " + rs.status().message());
    return std::nullopt;
  }
  if (!rs->Eof()) return GetFieldValue(*rs, "bunr").AsInt64();

  auto newest = tools_.Open("SELECT MAX(bunr) AS m FROM kass WHERE kasse = " + kasse);
  if (!newest) {
    log_.AddLogLine("FEHLER: " + kPrefix + "Belege nicht lesbar: " + newest.status().message());
    return std::nullopt;
  }
  const int64_t mark = newest->Eof() ? 0 : GetFieldValue(*newest, "m").AsInt64();
  if (Status status = tools_.ExecSQL(std::string("INSERT INTO ") + kMarkTable + " ( kasse, bunr ) VALUES ( " + kasse +
                                     " , " + NumStr(mark) + " )");
      !status) {
    log_.AddLogLine("FEHLER: " + kPrefix + kMarkTable + " nicht geschrieben: " + status.message());
    return std::nullopt;
  }
  return mark;
}

bool CrashRecovery::StoreMark(int64_t bunr) {
  Status stored = tools_.ExecSQL(std::string("UPDATE ") + kMarkTable + " SET bunr = " + NumStr(bunr) +
                                 " WHERE kasse = " + NumStr(tools_.state().kasse));
  if (stored) return true;
  log_.AddLogLine("FEHLER: " + kPrefix + kMarkTable + " nicht geschrieben: " + stored.message());
  return false;
}

void CrashRecovery::ReportUnsigned(int32_t bunr) {
  // The same words as a signature that failed during the settlement, so the
  // receipt is found the same way.
  const std::string text = "Beleg " + std::to_string(bunr) + " nicht über TSE abgesichert";
  const std::string why =
      "Der Lauf wurde nach dem Speichern des Belegs und vor seiner TSE-Signatur unterbrochen. Der Beleg wird nicht "
      "nachträglich signiert: die TSE kann ihn bereits signiert haben, nur die Antwort ging verloren.";
  log_.AddLogLine("FEHLER: " + text + " (Lauf unterbrochen, nicht nachträglich signiert)");
  tools_.ui().MessageBox(text + "\r\n\r\n" + why, platform::MsgKind::Critical);
  tools_.WriteSysLogMemo("P", text, why);
}

CrashRecovery::Receipts CrashRecovery::FindReceipts() {
  Receipts found;
  const std::optional<int64_t> mark = ReadMark();
  if (!mark) return found;
  auto rs = tools_.Open("SELECT bunr, tse_signatur FROM kass WHERE kasse = " + NumStr(tools_.state().kasse) +
                        " AND bunr > " + NumStr(*mark) + " ORDER BY bunr");
  if (!rs) {
    log_.AddLogLine("FEHLER: " + kPrefix + "Belege nicht lesbar: " + rs.status().message());
    return found;
  }
  found.mark = mark;
  for (; !rs->Eof(); rs->MoveNext()) {
    found.above.emplace_back(GetFieldValue(*rs, "bunr").AsInt(), GetFieldValue(*rs, "tse_signatur").AsString().empty());
  }
  return found;
}

bool CrashRecovery::PrintReceipts(const Receipts& receipts) {
  if (!receipts.mark) return false;
  platform::Env& env = tools_.env();
  // The mark only passes receipts that are done: one whose archive could not
  // be written is looked at again at the next start.
  int64_t newMark = *receipts.mark;
  bool held = false;
  for (const auto& [bunr, unsignedReceipt] : receipts.above) {
    if (!env.FileExists(receipt_.ArchivePath(bunr))) {
      const std::string nr = std::to_string(bunr);
      if (const auto printed = receipt_.printouts().Find(bunr)) {
        // The guest has it: printed while the archive could not be written.
        log_.AddLogLine(kPrefix + "Beleg " + nr + " wurde gedruckt, seine Archivkopie fehlt und wird nachgeschrieben.");
        if (Status st = receipt_.Archive(bunr, *printed); !st) {
          log_.AddLogLine("FEHLER: Archivkopie von Kundenbeleg " + nr + " nicht geschrieben: " + st.message());
        }
      } else {
        log_.AddLogLine(kPrefix + "Beleg " + nr +
                        " wurde nicht gedruckt (Lauf unterbrochen) und wird als Kopie gedruckt.");
        if (tools_.state().tseInUse && unsignedReceipt) ReportUnsigned(bunr);
        const std::shared_ptr<void> marked = markReceipt_ ? markReceipt_(false) : nullptr;
        // The terminal that asked for it is not recorded with the receipt; the
        // station's receipt printer takes it.
        const printing::CustomerReceipt::Outcome copy = receipt_.Print(bunr, "", nullptr, true);
        if (!copy.printed) {
          log_.AddLogLine("FEHLER: Kundenbeleg " + nr + " nicht gedruckt: " + copy.printed.message());
        }
      }
      if (!env.FileExists(receipt_.ArchivePath(bunr))) held = true;
    }
    if (!held) newMark = bunr;
  }
  if (newMark == *receipts.mark) return true;
  if (!StoreMark(newMark)) return false;
  // Printouts at or below the mark have their archives; their rows served their turn.
  if (Status st = receipt_.printouts().ForgetUpTo(newMark); !st) {
    log_.AddLogLine("FEHLER: " + kPrefix + printing::ReceiptPrintouts::kTable + " nicht bereinigt: " + st.message());
  }
  return true;
}

}  // namespace tolven::gateway
