// The main window on the console: the running log, the exchange folders of up
// to five order terminals, and the poll loop that takes order and request files
// from them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "common/log_sink.h"
#include "db/db_tools.h"
#include "gateway/order_import.h"

namespace tolven::fiscal {
class Tse;
}

namespace tolven::gateway {

inline constexpr int kSlots = 5;
inline constexpr size_t kLogBufferSize = 4000;

struct TerminalSlot {
  bool inUse = false;
  std::string folder;   // PdaPfad, ends with the separator
  std::string printer;  // PdaPrt, "" = no printer
  // Last activity, for the status views.
  std::string lastOrder, lastRequest, lastAnswer, lastTime;
};

// What the poll loop hands on to the other subsystems.
struct GatewayHooks {
  // Kitchen receipts of the table after a booked order.
  std::function<void(int32_t trx, int32_t startTime, int32_t table, const std::string& waiterText)> printKueBon;
  // Settlement of a table (terminal slot, table, waiter, payment type, partial list).
  std::function<void(int slot, int32_t table, int32_t waiter, const std::string& payment, const std::string& list)>
      settleTable;
  // A request file of a terminal (slot, request file, answer file).
  std::function<void(int slot, const std::string& requestFile, const std::string& answerFile)> handleRequest;
  // Called at every point where the original processed pending window events.
  std::function<void()> processEvents;
  // True once the window is being closed (SIGINT/SIGTERM).
  std::function<bool()> stopRequested;
};

class Form1 final : public LogSink {
 public:
  Form1(db::DbTools& tools, fiscal::Tse& tse, GatewayHooks hooks);

  // Window load: version in the status line, exchange folders and receipt printers from `system`.
  void Load();
  // The one-shot timer: 500 ms after loading, then the poll loop until the window closes.
  void Run();
  void PollTerminals();
  // One pass over the slots (the body of the poll loop).
  void PollPass();
  // The order file of a slot (its "bestell.txt" exists).
  void ProcessOrderFile(int slot);

  void AddLogLine(const std::string& text) override;
  const std::string& logText() const { return text1_; }
  bool beenden() const { return beenden_; }
  void Close() { beenden_ = true; }
  const std::array<TerminalSlot, kSlots + 1>& slots() const { return slots_; }
  TerminalSlot& slot(int i) { return slots_[static_cast<size_t>(i)]; }
  static std::string Version();
  OrderImport& orderImport() { return orderImport_; }
  GatewayHooks& hooks() { return hooks_; }

  // Writes an answer file atomically, retrying briefly when the terminal holds the
  // old one open; false (with a "FEHLER" log line) when it could not be written.
  bool WriteAnswerFile(const std::string& path, const std::string& contents);
  // A work file left behind by an interrupted run is moved aside, never deleted
  // unread; false when it is still in the way.
  bool SetAsideLeftover(const std::string& workFile);

 private:
  void ProcessEvents();
  std::string WaiterText(int32_t waiter);

  db::DbTools& tools_;
  fiscal::Tse& tse_;
  GatewayHooks hooks_;
  OrderImport orderImport_;
  std::array<TerminalSlot, kSlots + 1> slots_;  // index 1..5
  std::string text1_;
  bool beenden_ = false;
  int32_t table_ = 0;
  int32_t waiter_ = 0;
};

}  // namespace tolven::gateway
