#include "gateway/terminal_exchange.h"

#include "common/text.h"

namespace tolven::gateway {

void TerminalExchange::Load() {
  auto rs = tools_.Open("SELECT * FROM system");
  for (int i = 1; i <= kSlots; ++i) {
    TerminalSlot& slot = slots_[i];
    std::string folder = rs && !rs->Eof() ? db::GetFieldValue(*rs, "pfadppcsync" + std::to_string(i)).AsString() : "";
    std::string printer = rs && !rs->Eof() ? db::GetFieldValue(*rs, "pdaprt" + std::to_string(i)).AsString() : "";
    // An empty setting marks the slot unused; it is never polled (it would be the
    // file-system root once the separator is appended).
    slot.inUse = !folder.empty();
    slot.folder = platform::WithTrailingSep(folder);
    slot.printer = ToUpper(printer.substr(0, 4)) == "KEIN" ? "" : printer;
    tools_.ui().Status("Orderterminal " + std::to_string(i) + ": " + (slot.inUse ? slot.folder : "-"));
  }
}

std::string TerminalExchange::AsideFolder() const {
  // Files set aside leave the exchange folders for the installation's own.
  return tools_.state().exePfad.empty() ? "" : tools_.state().exePfad + "BEISEITE" + platform::kPathSepText;
}

ExchangeFile& TerminalExchange::OrderFile(int i) {
  const TerminalSlot& slot = slots_[i];
  auto& file = orderFiles_[i];
  // Work names keep the slot number: two slots sharing a folder stay apart.
  if (!file || file->inputPath() != slot.folder + "bestell.txt") {
    file = std::make_unique<ExchangeFile>(
        tools_.env(), log_, slot.folder,
        ExchangeFileRules{"bestell.txt", "ppcorders" + std::to_string(i) + ".in", 250, 300, Completion::ClosingRecord,
                          "Bestelldatei von Orderterminal " + std::to_string(i), AsideFolder()});
  }
  return *file;
}

ExchangeFile& TerminalExchange::RequestFile(int i) {
  const TerminalSlot& slot = slots_[i];
  auto& file = requestFiles_[i];
  if (!file || file->inputPath() != slot.folder + "info.txt") {
    file = std::make_unique<ExchangeFile>(
        tools_.env(), log_, slot.folder,
        ExchangeFileRules{"info.txt", "ppcinfo" + std::to_string(i), 150, 300, Completion::LineEnd,
                          "Anfragedatei von Orderterminal " + std::to_string(i), AsideFolder()});
  }
  return *file;
}

bool TerminalExchange::WriteAnswerFile(const std::string& path, const std::string& contents) {
  Status st;
  // A terminal reading the old answer over a network share may hold it open for a moment.
  for (int attempt = 0; attempt < 5; ++attempt) {
    st = tools_.env().WriteFileAtomic(path, contents);
    if (st) return true;
    tools_.env().SleepMs(100);
  }
  log_.AddLogLine("FEHLER: Antwortdatei " + path + " kann nicht geschrieben werden: " + st.message());
  return false;
}

}  // namespace tolven::gateway
