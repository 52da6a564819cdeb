#include "gateway/Form1.h"

#include <cstdio>

#include "common/text.h"
#include "fiscal/modTSE.h"

namespace tolven::gateway {

using db::GetFieldValue;
using platform::kPathSepText;

Form1::Form1(db::DbTools& tools, fiscal::Tse& tse, GatewayHooks hooks)
    : tools_(tools), tse_(tse), hooks_(std::move(hooks)), orderImport_(tools, *this) {}

std::string Form1::Version() {
  return std::to_string(TOLVEN_VERSION_MAJOR) + "." + std::to_string(TOLVEN_VERSION_MINOR) + "." +
         std::to_string(TOLVEN_VERSION_PATCH);
}

void Form1::ProcessEvents() {
  if (hooks_.processEvents) hooks_.processEvents();
}

void Form1::AddLogLine(const std::string& text) {
  std::string line = FormatHMS(tools_.env().Now()) + "  " + text;
  text1_ += line + "\r\n";
  if (text1_.size() > kLogBufferSize) text1_.erase(0, text1_.size() - kLogBufferSize);
  tools_.ui().LogLine(line);
  ProcessEvents();
}

void Form1::Load() {
  tools_.ui().Status("Version " + Version());
  beenden_ = false;
  db::DbError err;
  auto rs = tools_.Open("SELECT * FROM system", err);
  for (int i = 1; i <= kSlots; ++i) {
    TerminalSlot& slot = slots_[static_cast<size_t>(i)];
    std::string folder = rs && !rs->Eof() ? GetFieldValue(*rs, "pfadppcsync" + std::to_string(i)).AsString() : "";
    std::string printer = rs && !rs->Eof() ? GetFieldValue(*rs, "pdaprt" + std::to_string(i)).AsString() : "";
    // An empty setting marks the slot unused; it is never polled (it would be the
    // file-system root once the separator is appended).
    slot.inUse = !folder.empty();
    slot.folder = EndsWith(folder, kPathSepText) ? folder : folder + kPathSepText;
    slot.printer = ToUpper(printer.substr(0, 4)) == "KEIN" ? "" : printer;
    tools_.ui().Status("Orderterminal " + std::to_string(i) + ": " + (slot.inUse ? slot.folder : "-"));
  }
}

void Form1::Run() {
  // The timer fires once, 500 ms after loading, and the loop runs inside it.
  tools_.env().SleepMs(500);
  PollTerminals();
}

void Form1::PollTerminals() {
  AddLogLine("Orderterminal-Gateway gestartet. Warte auf Anfragen...");
  AddLogLine("Version " + Version());
  AddLogLine("Filiale " + std::to_string(tools_.state().filiale) + " / Kasse " + std::to_string(tools_.state().kasse));
  do {
    PollPass();
    if (hooks_.stopRequested && hooks_.stopRequested()) beenden_ = true;
  } while (!beenden_);
}

void Form1::PollPass() {
  bool worked = false;
  for (int i = 1; i <= kSlots; ++i) {
    ProcessEvents();
    const TerminalSlot& slot = slots_[static_cast<size_t>(i)];
    if (!slot.inUse) continue;
    if (platform::Env& env = tools_.env(); env.FileExists(slot.folder + "bestell.txt")) {
      ProcessOrderFile(i);
      worked = true;
    } else if (env.FileExists(slot.folder + "info.txt")) {
      worked = true;
      if (hooks_.handleRequest) {
        hooks_.handleRequest(i, slot.folder + "info.txt", slot.folder + "info.kas");
      }
    }
    tools_.env().SleepMs(50);
    ProcessEvents();
  }
  // Order files, receipts and result sets leave holes in the heap; giving them
  // back after busy passes keeps the process the same size all day.
  if (worked) tools_.env().ReturnFreeMemory();
}

bool Form1::SetAsideLeftover(const std::string& workFile) {
  platform::Env& env = tools_.env();
  if (!env.FileExists(workFile)) return true;
  DateTime now = env.Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", now.date.year, now.date.month, now.date.day,
                now.hour, now.minute, now.second);
  std::string aside = workFile + ".unverarbeitet-" + stamp;
  Status st = env.RenameFile(workFile, aside);
  if (st) {
    AddLogLine("FEHLER: Unverarbeitete Arbeitsdatei " + workFile + " aus einem unterbrochenen Lauf nach " + aside +
               " verschoben. Bitte prüfen.");
    return true;
  }
  AddLogLine("FEHLER: Unverarbeitete Arbeitsdatei " + workFile + " kann nicht verschoben werden: " + st.message());
  return false;
}

bool Form1::WriteAnswerFile(const std::string& path, const std::string& contents) {
  Status st;
  // A terminal reading the old answer over a network share may hold it open for a moment.
  for (int attempt = 0; attempt < 5; ++attempt) {
    st = tools_.env().WriteFileAtomic(path, contents);
    if (st) return true;
    tools_.env().SleepMs(100);
  }
  AddLogLine("FEHLER: Antwortdatei " + path + " kann nicht geschrieben werden: " + st.message());
  return false;
}

namespace {

// Commits the booked lines of an order file. When that fails nothing of the
// file is stored: every line counts as failed and the error joins the list.
bool CommitOrder(db::Connection& conn, LogSink& log, int& booked, int& failed, std::string& errors) {
  db::DbError err;
  if (conn.InTransaction() && conn.CommitTrans(err)) return true;
  if (err.text.empty()) err.text = "Transaktion vorzeitig beendet";
  db::DbError ignored;
  if (conn.InTransaction()) conn.RollbackTrans(ignored);
  // Nothing of the file is stored: the terminal learns so and may send it again.
  const std::string text = "Bestellung nicht gespeichert: " + err.text;
  log.AddLogLine("FEHLER: " + text);
  failed += booked + 1;
  booked = 0;
  errors += " +++ " + text;
  return false;
}

}  // namespace

std::string Form1::WaiterText(int32_t waiter) {
  db::DbError err;
  auto rs = tools_.Open("SELECT * FROM kassi WHERE kanr = " + NumStr(waiter), err);
  std::string name = rs && !rs->Eof() ? GetFieldValue(*rs, "name").AsString() : "unbekannt";
  return std::to_string(waiter) + " - " + name;
}

void Form1::ProcessOrderFile(int slotIndex) {
  TerminalSlot& slot = slots_[static_cast<size_t>(slotIndex)];
  platform::Env& env = tools_.env();
  const std::string orderFile = slot.folder + "bestell.txt";
  const std::string confirmFile = slot.folder + "confirm.kas";
  const std::string workFile = tools_.state().exePfad + "ppcorders" + std::to_string(slotIndex) + ".in";

  AddLogLine("Daten von Orderterminal " + std::to_string(slotIndex) + " werden übernommen...");
  env.SleepMs(250);
  // A file the gateway cannot move aside is never overwritten: the order waits.
  if (!SetAsideLeftover(workFile)) return;
  env.SleepMs(300);
  if (Status st = env.RenameFile(orderFile, workFile); !st) {
    // The terminal may still hold the file; it stays where it is for the next pass.
    AddLogLine("FEHLER: Bestelldatei kann nicht übernommen werden: " + st.message());
    return;
  }
  std::string contents;
  if (Status st = env.ReadFile(workFile, contents); !st) {
    AddLogLine("FEHLER: Bestelldatei kann nicht gelesen werden: " + st.message());
    SetAsideLeftover(workFile);
    return;
  }

  int booked = 0;
  int failed = 0;
  std::string errors;
  bool settle = false;
  // The lines of one file are booked in one transaction: the file costs one
  // sync of the database instead of one per line, and an interrupted run never
  // leaves half an order booked. A line that fails is still only that line.
  // When the transaction cannot be begun, the lines are booked one by one.
  db::Connection& conn = tools_.connection();
  db::DbError txErr;
  const bool inTransaction = conn.BeginTrans(txErr);
  size_t pos = 0;
  while (pos < contents.size()) {
    size_t nl = contents.find('\n', pos);
    std::string line = contents.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? contents.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::string type = GetToken(line, 1);
    if (type == "A") {
      table_ = LeadingWholeNumber(GetToken(line, 2));
      waiter_ = LeadingWholeNumber(GetToken(line, 3));
      AddLogLine("  Bestellung für Tisch " + std::to_string(table_) + " von Kellner " + std::to_string(waiter_) + ":");
    } else if (type == "D") {
      // The engine may end a transaction on its own (disk full, I/O error); later
      // lines would then be stored one by one behind the rolled-back ones.
      if (inTransaction && !conn.InTransaction()) break;
      std::string result = orderImport_.ImportOrderLine(line, table_, waiter_);
      if (result == "OK") {
        ++booked;
      } else {
        AddLogLine(" ERR: " + result);
        ++failed;
        errors += " +++ " + result;
      }
    } else if (type == "E") {
      settle = GetToken(line, 3) == "A";
    }
  }
  if (booked == 0) {
    ++failed;
    errors += " +++ Keine Datensätze gefunden.";
    AddLogLine("  Keine Datensätze gefunden.");
  }
  if (inTransaction && !CommitOrder(conn, *this, booked, failed, errors)) settle = false;
  if (Status st = env.DeleteFile(workFile); !st) AddLogLine("FEHLER: " + st.message());

  const std::string answer = failed > 0 ? errors : "OK";
  WriteAnswerFile(confirmFile, answer + "\r\n");
  AddLogLine(failed > 0 ? "FEHLER bei der Datenübernahme." : "OK");
  slot.lastOrder = "Tisch " + std::to_string(table_) + ": " + std::to_string(booked) + " Zeilen";
  slot.lastAnswer = answer;
  slot.lastTime = FormatHMS(env.Now());

  if (failed == 0) {
    const std::string waiterText = WaiterText(waiter_);
    int32_t startTime = 0;
    int32_t trx = tse_.TSE_StartTransaction(startTime);
    if (hooks_.printKueBon) {
      hooks_.printKueBon(trx, startTime, table_, waiterText);
    } else {
      AddLogLine("  (Küchenbon-Druck nicht eingerichtet)");
    }
  }
  // A cash settlement right after an order with a failed line would bill the
  // lines it booked although their kitchen receipt and TSE start wait for the
  // table's next order, and delete them with the settlement: the kitchen would
  // never see them. The table stays open; the terminal already has the errors.
  if (settle && failed > 0) {
    AddLogLine("FEHLER: Barabrechnung von Tisch " + std::to_string(table_) +
               " nicht ausgeführt, weil nicht alle Zeilen der Bestellung gebucht wurden.");
    settle = false;
  }
  if (settle) {
    if (hooks_.settleTable) {
      hooks_.settleTable(slotIndex, table_, waiter_, "BAR", "");
    } else {
      AddLogLine("  (Barabrechnung nicht eingerichtet)");
    }
  }
}

}  // namespace tolven::gateway
