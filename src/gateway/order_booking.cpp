// The order file of a terminal: taken over, booked in one transaction with its
// journal row, answered in "confirm.kas", then the kitchen receipts and the
// cash settlement it may ask for.
#include "gateway/order_booking.h"

#include <algorithm>
#include <optional>

#include "common/text.h"
#include "db/transaction.h"
#include "fiscal/tse.h"

namespace tolven::gateway {

using db::GetFieldValue;

// What one attempt at booking a file came to.
struct OrderBooking::Booking {
  int booked = 0;
  int failed = 0;
  std::string errors;
  // Log lines in file order; those of booked lines are written only once
  // their booking is committed.
  std::vector<std::pair<bool, std::string>> log;
  int32_t table = 0;
  int32_t waiter = 0;
  bool settle = false;
  bool stored = false;    // committed
  bool recorded = false;  // the journal row is part of the commit
  // The engine ended the transaction at this line (it has no savepoints):
  // the whole file is to be tried once more without it.
  std::optional<size_t> retryWithout;
  std::string retryMessage;
  bool retryWithoutJournal = false;
  // Another station's lock ended it (a deadlock, a lock wait run out): the
  // whole file is worth one more try as it is. `conflict` holds the engine's words.
  std::optional<std::string> conflict;
  std::string kitchenToken;  // the claim of the booked lines for their kitchen printout
};

namespace {

const char* const kLineSavepoint = "bestellzeile";
// A long order gives way to the other jobs this often: a file of 100,000 lines
// must not keep another terminal's one-line order waiting until it is booked.
constexpr size_t kLinesBetweenPauses = 256;
const char* const kEndedEarly = "Transaktion vorzeitig beendet";

// A table number of an "A" line: the leading number, refused when it is
// negative or does not fit 32 bits (today's rule would make it 0, the
// take-away table with its own prices).
std::optional<int32_t> TableNumber(const std::string& field) {
  const double n = LeadingNumber(field);
  if (n < 0 || n > 2147483647.0) return std::nullopt;
  return LeadingWholeNumber(field);
}

std::vector<std::string> Records(const std::string& contents) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < contents.size()) {
    size_t nl = contents.find('\n', pos);
    std::string line = contents.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? contents.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

std::string NotSettled(int32_t table, const std::string& reason) {
  return " +++ Tisch " + std::to_string(table) + " nicht abgerechnet: " + reason;
}

}  // namespace

void OrderBooking::StartKitchenPrinting(int32_t table, int32_t waiter, const std::string& token) {
  const std::string waiterText = tools_.WaiterText(waiter);
  // The order's lines are its own since its booking (claimed in the
  // database), so its TSE transaction covers exactly them whenever it starts,
  // and a silent TSE server's wait holds up no other order of the table.
  Result<fiscal::TseStart> started = tse_.TSE_StartTransaction();  // a failure is logged
  if (kitchen_) {
    kitchen_->PrintOrder(started ? std::optional(*started) : std::nullopt, table, waiterText, token);
  } else {
    log_.AddLogLine("  (Küchenbon-Druck nicht eingerichtet)");
  }
}

OrderBooking::OrderBooking(db::StationContext& tools, fiscal::Tse& tse, TerminalExchange& exchange, LogSink& log,
                           OrderKitchen* kitchen, TableSettler* settler, Observer& observer)
    : tools_(tools),
      tse_(tse),
      exchange_(exchange),
      log_(log),
      kitchen_(kitchen),
      settler_(settler),
      observer_(observer),
      orderImport_(tools, log),
      journal_(tools, log) {}

void OrderBooking::ProcessOrderFile(int slotIndex, const std::function<void()>& release) {
  TerminalSlot& slot = exchange_.slot(slotIndex);
  ExchangeFile& file = exchange_.OrderFile(slotIndex);
  if (file.LeftoverPresent()) {
    RecoverOrderFile(slotIndex, release);
    return;
  }
  const Handover h = file.TakeOver("Daten von Orderterminal " + std::to_string(slotIndex) + " werden übernommen...");
  if (h.outcome == HandoverOutcome::Refused) {
    const std::string answer = " +++ Bestelldatei abgelehnt: " + h.error + ".";
    exchange_.WriteAnswerFile(slot.folder + "confirm.kas", answer + "\r\n");
    slot.lastAnswer = answer;
    slot.lastTime = FormatHMS(tools_.env().Now());
    return;
  }
  if (h.outcome != HandoverOutcome::Taken) return;
  BookOrderFile(slotIndex, h.contents, OrderJournal::Identity(h.contents, h.info), h.unfinished, release);
}

void OrderBooking::RecoverOrderFile(int slotIndex, const std::function<void()>& release) {
  TerminalSlot& slot = exchange_.slot(slotIndex);
  ExchangeFile& file = exchange_.OrderFile(slotIndex);
  std::string contents;
  platform::FileInfo info;
  if (!file.ReadLeftoverWork(contents, info)) return;
  const std::string identity = OrderJournal::Identity(contents, info);
  std::string answer;
  bool settlementPending = false;
  switch (journal_.Find(slotIndex, identity, answer, settlementPending)) {
    case OrderJournal::Lookup::Unknown:
      // Without the journal nobody can tell whether it was booked: it is
      // neither booked twice nor deleted unread.
      file.SetWorkAside("unverarbeitet");
      return;
    case OrderJournal::Lookup::NotBooked:
      log_.AddLogLine("Unverarbeitete Bestellung von Orderterminal " + std::to_string(slotIndex) +
                      " wird jetzt gebucht.");
      BookOrderFile(slotIndex, contents, identity, !EndsWithClosingRecord(contents), release);
      return;
    case OrderJournal::Lookup::Booked: break;
  }
  log_.AddLogLine("Bestellung von Orderterminal " + std::to_string(slotIndex) +
                  " war bereits gebucht; die Bestätigung wird nachgereicht.");
  int32_t table = 0, waiter = 0;
  bool haveTable = false;
  for (const std::string& line : Records(contents)) {
    if (GetToken(line, 1) != "A" || haveTable) continue;
    if (auto t = TableNumber(GetToken(line, 2))) {
      table = *t;
      waiter = LeadingWholeNumber(GetToken(line, 3));
      haveTable = true;
    }
  }
  // The whole order was booked; its kitchen lines may not have been printed.
  if (answer == "OK" && haveTable) {
    auto rs = tools_.Open("SELECT COUNT(*) AS n FROM bestellung WHERE tisch = " + NumStr(table) +
                          " AND haskuebon = " + tools_.SqlBool(false));
    if (rs && !rs->Eof() && GetFieldValue(*rs, "n").AsInt64() > 0) StartKitchenPrinting(table, waiter, "");
  }
  if (settlementPending) {
    // Whether the settlement went through before the interruption cannot be
    // told from here; it is not run a second time.
    answer = (answer == "OK" ? "" : answer) + NotSettled(table, "Abrechnung wurde unterbrochen, bitte Tisch prüfen.");
    log_.AddLogLine("FEHLER: Barabrechnung von Tisch " + std::to_string(table) + " wurde unterbrochen. Bitte prüfen.");
    journal_.Conclude(slotIndex, identity, answer);
  }
  if (!exchange_.WriteAnswerFile(slot.folder + "confirm.kas", answer + "\r\n")) return;
  if (Status st = file.DeleteWork(); !st) log_.AddLogLine("FEHLER: " + st.message());
  slot.lastAnswer = CutForLog(answer);
  slot.lastTime = FormatHMS(tools_.env().Now());
}

OrderBooking::Booking OrderBooking::AttemptBooking(int slotIndex, const std::vector<std::string>& lines,
                                                   const std::string& identity, bool unfinished, bool journal,
                                                   const std::vector<std::pair<size_t, std::string>>& refused) {
  Booking b;
  db::Connection& conn = tools_.connection();
  db::Transaction transaction(conn);
  auto fail = [&](const std::string& message) {
    b.log.emplace_back(false, " ERR: " + message);
    ++b.failed;
    b.errors += " +++ " + message;
  };
  // Nothing of the file is stored: the terminal learns so and may send it again.
  auto wholeFileLost = [&](const std::string& why, bool conflict = false) {
    // Asked before the rollback: the transaction's first failure tells whether
    // another station's lock stopped it, whatever step reported it.
    if (conflict || transaction.Failure().IsConflict()) b.conflict = why;
    transaction.Rollback();
    b.failed += b.booked + 1;
    b.booked = 0;
    b.recorded = false;
    if (b.conflict) {
      // The waiter gets one plain line instead of the engine's words and the
      // refusals of single lines: the whole order is to be sent again.
      b.log.emplace_back(false, "FEHLER: Bestellung nicht gespeichert, Sperrkonflikt: " + why);
      b.errors = " +++ Bestellung nicht gespeichert: Datenbank ist belegt, bitte erneut senden.";
      return;
    }
    const std::string text = "Bestellung nicht gespeichert: " + why;
    b.log.emplace_back(false, "FEHLER: " + text);
    b.errors += " +++ " + text;
  };

  // Never line by line outside a transaction: a file sent again after a
  // partial booking would book those lines twice.
  if (Status begun = transaction.Begin(); !begun) {
    wholeFileLost(begun.message(), begun.IsConflict());
    return b;
  }
  const bool savepoints = conn.SupportsSavepoints();
  const int64_t newestBefore = kitchen_ ? kitchen_->NewestLine() : -1;
  // Ends the savepoint of a line, back to before the line first when `undo`;
  // false (the whole file lost) when that fails.
  auto closeLine = [&](bool undo) {
    Status closed = !undo || conn.InTransaction() ? Status::Ok() : Status::Error(kEndedEarly);
    if (closed && undo) closed = transaction.RollbackToSavepoint(kLineSavepoint);
    if (closed) closed = transaction.ReleaseSavepoint(kLineSavepoint);
    if (!closed) wholeFileLost(conn.InTransaction() ? closed.message() : kEndedEarly, closed.IsConflict());
    return closed.ok();
  };
  bool haveTable = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    // Inside the transaction: a real pause once every job has a connection of
    // its own; until then the loop's guard makes it none.
    if (i > 0 && i % kLinesBetweenPauses == 0) tools_.env().SleepMs(0);
    const std::string& line = lines[i];
    const std::string type = GetToken(line, 1);
    if (type == "A") {
      const std::optional<int32_t> table = TableNumber(GetToken(line, 2));
      haveTable = table.has_value();
      if (!haveTable) {
        fail("Tischnummer >" + GetToken(line, 2) + "< unzulässig.");
        continue;
      }
      b.table = *table;
      b.waiter = LeadingWholeNumber(GetToken(line, 3));
      b.log.emplace_back(false, "  Bestellung für Tisch " + std::to_string(b.table) + " von Kellner " +
                                    std::to_string(b.waiter) + ":");
    } else if (type == "D") {
      auto known = std::find_if(refused.begin(), refused.end(), [&](const auto& r) { return r.first == i; });
      if (known != refused.end()) {
        fail(known->second);
        continue;
      }
      // The table of an earlier file never carries over.
      if (!haveTable) {
        fail("Artikel >" + TrimBlanks(GetToken(line, 2)) + "< ohne gültige Tischangabe (A-Zeile) nicht gebucht.");
        continue;
      }
      // The engine may end a transaction on its own (disk full, I/O error).
      if (!conn.InTransaction()) {
        wholeFileLost(kEndedEarly);
        return b;
      }
      if (savepoints) {
        if (Status saved = transaction.Savepoint(kLineSavepoint); !saved) {
          wholeFileLost(saved.message(), saved.IsConflict());
          return b;
        }
      }
      LineBooking r = orderImport_.BookOrderLine(line, b.table, b.waiter);
      if (r.booked) {
        if (savepoints && !closeLine(false)) return b;
        ++b.booked;
        b.log.emplace_back(true, r.logText);
        continue;
      }
      // Another station's lock is no fault of the line: the whole file again.
      if (r.conflict) {
        wholeFileLost(r.message, true);
        return b;
      }
      fail(r.message);
      if (!r.databaseFailed) {
        if (savepoints && !closeLine(false)) return b;
        continue;
      }
      // A failure only the server saw: back to before this line.
      if (savepoints) {
        if (!closeLine(true)) return b;
        continue;
      }
      // An engine without savepoints has ended the whole transaction.
      wholeFileLost(r.message);
      b.retryWithout = i;
      b.retryMessage = r.message;
      return b;
    } else if (type == "E") {
      b.settle = GetToken(line, 3) == "A";
    }
  }
  if (b.booked == 0) {
    ++b.failed;
    b.errors += " +++ Keine Datensätze gefunden.";
    b.log.emplace_back(false, "  Keine Datensätze gefunden.");
  }
  if (unfinished) {
    ++b.failed;
    const std::string text = "Bestelldatei unvollständig übertragen (ohne Abschlusszeile E), " +
                             std::to_string(b.booked) + " Zeilen gebucht.";
    b.errors += " +++ " + text;
    b.log.emplace_back(true, "FEHLER: " + text);
  }
  if (b.settle && b.failed > 0) {
    // The lines it booked wait for their kitchen receipt with the table's
    // next order; settled now, the kitchen would never see them.
    b.errors += NotSettled(b.table, "nicht alle Bestellzeilen gebucht.");
    b.log.emplace_back(false, "FEHLER: Barabrechnung von Tisch " + std::to_string(b.table) +
                                  " nicht ausgeführt, weil nicht alle Zeilen der Bestellung gebucht wurden.");
  }
  // The booked lines are the order's for the kitchen from the commit on: no
  // other order, station or settlement prints or signs them meanwhile. Those
  // of an order with a failed line wait for the table's next order unclaimed.
  if (b.booked > 0 && b.failed == 0 && kitchen_ && newestBefore >= 0) {
    if (Status saved = savepoints ? transaction.Savepoint("kueche") : Status::Ok(); !saved) {
      wholeFileLost(saved.message(), saved.IsConflict());
      return b;
    }
    b.kitchenToken = kitchen_->ClaimBooked(b.table, newestBefore);
    // Unclaimed, the lines are claimed when they print.
    if (savepoints) {
      const Status kept = b.kitchenToken.empty() ? transaction.RollbackToSavepoint("kueche") : Status::Ok();
      const Status released = kept ? transaction.ReleaseSavepoint("kueche") : kept;
      if (!released) {
        wholeFileLost(released.message(), released.IsConflict());
        return b;
      }
    }
  }
  if (journal) {
    const std::string answer = b.failed > 0 ? b.errors : "OK";
    if (savepoints) {
      if (Status saved = transaction.Savepoint("journal"); !saved) {
        wholeFileLost(saved.message(), saved.IsConflict());
        return b;
      }
    }
    if (Status recorded = journal_.Record(slotIndex, identity, b.settle && b.failed == 0, answer); recorded) {
      b.recorded = true;
      if (savepoints) (void)transaction.ReleaseSavepoint("journal");
    } else if (recorded.IsConflict()) {
      // Booked without its journal row, a resend after a lost answer would be booked twice.
      wholeFileLost(recorded.message(), true);
      return b;
    } else {
      b.log.emplace_back(false, "FEHLER: Buchungsjournal nicht geschrieben: " + recorded.message());
      const Status undone = savepoints && conn.InTransaction() ? transaction.RollbackToSavepoint("journal") : recorded;
      if (!undone) {
        wholeFileLost(undone.message());
        b.retryWithoutJournal = true;
        return b;
      }
    }
  }
  // A transaction the engine ended on its own is reported by the commit.
  if (Status committed = transaction.Commit(); !committed) {
    wholeFileLost(committed.message(), committed.IsConflict());
    return b;
  }
  b.stored = true;
  return b;
}

void OrderBooking::BookOrderFile(int slotIndex, const std::string& contents, const std::string& identity,
                                 bool unfinished, const std::function<void()>& release) {
  TerminalSlot& slot = exchange_.slot(slotIndex);
  platform::Env& env = tools_.env();
  ExchangeFile& file = exchange_.OrderFile(slotIndex);
  const std::string confirmFile = slot.folder + "confirm.kas";

  std::vector<std::string> lines = Records(contents);
  if (unfinished) {
    // Booked with what it holds; the terminal learns how much that was.
    lines.erase(std::remove_if(lines.begin(), lines.end(), [](const std::string& l) { return GetToken(l, 1) == "E"; }),
                lines.end());
  }
  // Read outside the transaction: a failing catalog query must not end it.
  orderImport_.LoadColumnLengths();
  bool journal = journal_.Ready();
  std::vector<std::pair<size_t, std::string>> refused;
  Booking b = AttemptBooking(slotIndex, lines, identity, unfinished, journal, refused);
  // A lock conflict gets one more try of the whole file. An engine without
  // savepoints ends the transaction at a line that only the server refuses:
  // the file is booked once more without that line (each time one line
  // fewer, so this ends).
  for (bool conflictSeen = false;;) {
    if (b.conflict && !conflictSeen) {
      conflictSeen = true;
      log_.AddLogLine("  Sperrkonflikt mit einer anderen Station (" + *b.conflict +
                      "), Bestellung wird erneut gebucht.");
    } else if (!b.conflict && (b.retryWithout || b.retryWithoutJournal)) {
      if (b.retryWithout) refused.emplace_back(*b.retryWithout, b.retryMessage);
      if (b.retryWithoutJournal) journal = false;
      log_.AddLogLine("  Bestellung wird ohne die abgelehnte Zeile erneut gebucht.");
    } else {
      break;
    }
    b = AttemptBooking(slotIndex, lines, identity, unfinished, journal, refused);
  }
  for (size_t i = 0; i < b.log.size(); ++i) {
    if (i > 0 && i % kLinesBetweenPauses == 0) env.SleepMs(0);
    // The log never says a line was booked when its booking was not committed.
    if (!b.log[i].first || b.stored) log_.AddLogLine(b.log[i].second);
  }
  std::string answer = b.failed > 0 ? b.errors : "OK";
  observer_.OrderBooked(slotIndex, b.stored, b.failed);
  slot.lastOrder = "Tisch " + std::to_string(b.table) + ": " + std::to_string(b.booked) + " Zeilen";

  bool answered = false;
  auto finish = [&](const std::string& text) {
    answered = exchange_.WriteAnswerFile(confirmFile, text + "\r\n");
    log_.AddLogLine(b.failed > 0 || text != "OK" ? "FEHLER bei der Datenübernahme." : "OK");
    slot.lastAnswer = CutForLog(text);
    slot.lastTime = FormatHMS(env.Now());
  };

  // Once answered and its work file gone, the slot takes the terminal's next
  // file while this one goes on to the TSE and the kitchen. A booked file whose
  // answer could not be written stays: the next pass finds it in the journal
  // and answers it then.
  auto done = [&] {
    if (!answered && b.recorded) return;
    if (Status st = file.DeleteWork(); !st) log_.AddLogLine("FEHLER: " + st.message());
    if (release) release();
  };
  const bool settleNow = b.stored && b.settle && b.failed == 0;
  // A cash settlement is answered once it is decided, so that a refusal
  // reaches the terminal; any other order is answered at once.
  if (!settleNow) {
    finish(answer);
    done();
  }
  if (b.stored && b.failed == 0) StartKitchenPrinting(b.table, b.waiter, b.kitchenToken);
  if (settleNow) {
    if (settler_) {
      if (const Status settled = settler_->SettleTable(slotIndex, b.table, b.waiter, "BAR", ""); !settled) {
        const std::string reason = settled.message().empty() ? "Tischabrechnung fehlgeschlagen." : settled.message();
        answer = NotSettled(b.table, reason);
        log_.AddLogLine("FEHLER: Barabrechnung von Tisch " + std::to_string(b.table) + " nicht ausgeführt: " + reason);
      }
    } else {
      log_.AddLogLine("  (Barabrechnung nicht eingerichtet)");
    }
    if (b.recorded) journal_.Conclude(slotIndex, identity, answer);
    finish(answer);
    done();
  }
}

}  // namespace tolven::gateway
