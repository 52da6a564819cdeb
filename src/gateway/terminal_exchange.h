// The exchange folders of up to five order terminals: each slot's folder and
// receipt printer (from `system`), its order and request files, what it last
// did (for the status views), and the answer files written back.
#pragma once

#include <memory>
#include <string>

#include "common/log_sink.h"
#include "common/numbered_array.h"
#include "db/station_context.h"
#include "gateway/exchange_handover.h"

namespace tolven::gateway {

inline constexpr int kSlots = 5;

struct TerminalSlot {
  bool inUse = false;
  std::string folder;   // PdaPfad, ends with the separator
  std::string printer;  // PdaPrt, "" = no printer
  // Last activity, for the status views.
  std::string lastOrder, lastRequest, lastAnswer, lastTime;
};

class TerminalExchange {
 public:
  TerminalExchange(db::StationContext& tools, LogSink& log) : tools_(tools), log_(log) {}

  // Exchange folders and receipt printers from `system`.
  void Load();

  using Slots = NumberedArray<TerminalSlot, kSlots>;
  const Slots& slots() const { return slots_; }
  TerminalSlot& slot(int i) { return slots_[i]; }
  // The exchange files of a slot: the order file ("bestell.txt", or the work
  // file an interrupted pass left) and the request file ("info.txt").
  ExchangeFile& OrderFile(int slot);
  ExchangeFile& RequestFile(int slot);
  // The installation's folder for exchange files set aside.
  std::string AsideFolder() const;
  // Writes an answer file atomically, retrying briefly when the terminal holds
  // the old one open; false (with a "FEHLER" log line) when it could not be written.
  bool WriteAnswerFile(const std::string& path, const std::string& contents);

 private:
  db::StationContext& tools_;
  LogSink& log_;
  Slots slots_;
  NumberedArray<std::unique_ptr<ExchangeFile>, kSlots> orderFiles_, requestFiles_;
};

}  // namespace tolven::gateway
