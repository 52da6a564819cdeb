// Kitchen receipts: after an order has been booked, every line of the table that
// has no kitchen receipt yet goes to its kitchen printer (1 to 5), to a kitchen
// monitor (6, 7) or nowhere (0); every line is logged, the lines are marked as
// done, and the order is signed by the TSE as "Bestellung-V1".
//
// A printout covers the lines it has claimed (see kitchen_claims.h), never a
// line another order or station holds. A printer is handled all or nothing:
// when any of its receipts does not reach the printer (or its lines cannot be
// collected, or a monitor row cannot be written), none of its lines is marked.
// They are given back pending and come out, whole, with the table's next
// printout; its log rows of this call are removed, so every line is logged
// exactly when it is really sent. The order signs them all the same (it was
// ordered), and no later printout signs them again. The log says so in a line
// beginning "FEHLER".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/log_sink.h"
#include "common/numbered_array.h"
#include "db/station_context.h"
#include "fiscal/tse.h"
#include "printing/kitchen_claims.h"
#include "printing/print_lines.h"

namespace tolven::printing {

inline constexpr int kKitchenPrinters = 8;  // printer numbers 0..7

// One work row of `tmpkuebon`, as a receipt line is made from it.
struct KitchenRow {
  std::string artnr;
  std::string artbez;
  int32_t artgrp = 0;
  int32_t gang = 0;
  int32_t gast = 0;
  std::string kueinfo;
  std::string belaginfo;
  int32_t menge = 0;
  int32_t epreis = 0;  // cents
};

// What the `kueprtparam` row of one printer says (defaults when there is none).
struct KitchenPrinterSettings {
  std::string name;
  bool bonvorlauf = false;
  int32_t grupp = 0;  // 0 one receipt, 1 per article group, 2 per line, 3 per course
  int32_t sort = 0;   // 1 article group, 2 article number, 3 course
  bool split = false;
  bool kuesummer = false;
  int32_t kopien = 0;
};

// What one printout covers: the lines of the table that `token` holds.
struct KitchenPrintout {
  int32_t table = 0;
  std::string waiter;
  std::string token;
  std::string note;  // a line under the receipt number, e.g. that it is a reprint
};

// What came of one printer's part of a printout, for whoever watches the
// kitchen (the status page, the retry of a failed printer).
struct KitchenFailure {
  int printer = 0;
  std::string printerName;  // from kueprtparam; "Drucker n" without one
  int32_t table = 0;
  std::string waiter;
  std::string lines;  // "2x Schnitzel, 1x Weißbier 0,5"
  int64_t lineCount = 0;
  std::string reason;
};

class KitchenOutcomes {
 public:
  virtual ~KitchenOutcomes() = default;
  // The printer's lines of the table stay pending.
  virtual void Failed(const KitchenFailure& failure) = 0;
  // The printer printed the table's lines (itself or through its fallback).
  virtual void Printed(int printer, int32_t table) = 0;
};

// The kitchen printers' fallbacks: fallback[n] (1..4) takes over printer n's
// printout when n fails; 0 for none.
struct KitchenOptions {
  std::array<int, 5> fallback{};
  KitchenOutcomes* outcomes = nullptr;
};

class KitchenReceipts {
 public:
  KitchenReceipts(db::StationContext& tools, const PrintServices& printing, fiscal::Tse& tse, LogSink& log,
                  KitchenOptions options = {});

  // Prints the kitchen receipts of the lines the printout holds, marks the
  // printed ones and gives the others back, and signs the lines not signed
  // before with the transaction the caller started for it. Both TSE values are
  // set to 0 when signing is on but no transaction was given.
  void PrintClaimed(const std::optional<fiscal::TseStart>& transaction, const KitchenPrintout& printout);
  // Every pending line of the table nobody holds, claimed and printed as above.
  void PrintKueBon(const std::optional<fiscal::TseStart>& transaction, int32_t table, const std::string& waiter);

  KitchenClaims& claims() { return claims_; }

  // The printer as the kitchen and the page name it: its `kueprtparam` name,
  // else "Drucker n".
  std::string PrinterName(int printer);

  // Kitchen receipt `kuebonnr` once more, from its `kuebonlog` rows, marked
  // "NACHDRUCK", on its printer's channel; nothing is logged, marked or signed
  // (kitchen_reprint.cpp).
  Status Reprint(int32_t kuebonnr);

  // The article text as it goes into the signed order data: umlauts spelled out,
  // quotes and other troublesome characters removed, CR LF as "<CRLF>".
  static std::string CleanForSigning(const std::string& text);
  // Splits an article text for double-size lines (17 characters a line).
  static void SplitDoubleSize(const std::string& text, std::string& first, std::string& rest);

 private:
  struct SignItem {
    int32_t menge;
    std::string text;
    int32_t preis;
  };

  // The `system`, `systemhw` and `rauminfo` settings, read once per call.
  struct Settings {
    int32_t kuebonpreis = 0, kuebonartnr = 0, kuebongast = 0, bonvor = 0;
    int32_t kuebonkellner = 0, kuebonkunde = 0, comschankanl = 0;
    bool kueartbez = false, bonshowtischname = false;
    NumberedArray<std::string, 5> port, prt;  // 1..4 the kitchen printers, 5 the room's printer
    // Size codes; empty when the kitchen receipts print in normal size only.
    std::string dh, aus, dhb, db;
  };

  // The printer at hand, begun afresh for every printer.
  struct PrinterPass {
    KitchenPrinterSettings settings;
    int device = 0;          // the printer whose channel prints; 0: the printer itself
    std::string deviceName;  // the fallback's own name
    std::string insteadOf;   // a fallback's printout names the printer it stands in for
    int32_t kuebonnr = 0;
    int32_t course = 0;
    std::vector<SignItem> items;               // what it sent, for the signature
    std::vector<std::string> dispenserOrders;  // poured only when it printed
  };

  // Everything one call of PrintKueBon reads, counts and collects. Made for
  // the call and handed to every step, so nothing of one printout reaches the next.
  struct Job {
    explicit Job(const PrintServices& printing) : paper(printing) {}
    int32_t table = 0;
    std::string waiter;
    std::string token;
    std::string note;
    std::string lines;  // the condition on `bestellung` that selects the printout's lines
    int32_t seqnr = 0;
    Settings settings;
    PrinterPass pass;
    PrintLineBuffer paper;  // the receipt at hand; this printout's own, as a pause may come between its lines
    std::array<bool, kKitchenPrinters> failed{};
    std::string failure;  // why the printer at hand failed
    std::vector<SignItem> signItems;
    std::optional<std::string> tableName, customerName;  // read when first needed
    std::string processData;
    int64_t orderAmount = 0;
  };

  void Print(Job& job, const std::optional<fiscal::TseStart>& transaction);
  // Reading the configuration (once per call, once per printer).
  Settings ReadSettings(int32_t table);
  KitchenPrinterSettings ReadPrinterSettings(int printer);
  // The printer's own name in `kueprtparam`; empty without one.
  std::string StoredName(int printer);
  // One printer from collecting its lines to marking the outcome.
  void PrintPrinter(Job& job, int printer);
  // Composes the receipts of the rows and prints them; the outcome is in job.failed.
  void ComposeAndPrint(Job& job, int printer, const std::vector<KitchenRow>& rows);
  void Report(const Job& job, int printer, const std::vector<KitchenRow>& rows, const std::string& reason);
  bool CollectRows(Job& job, int printer, std::vector<KitchenRow>& rows);
  // The statements of CollectRows inside its transaction; SQL errors are
  // collected in `errors` (text, quiet) for the log.
  bool FillScratch(Job& job, int printer, std::vector<KitchenRow>& rows,
                   std::vector<std::pair<std::string, bool>>& errors);
  static std::string OrderClause(const KitchenPrinterSettings& printer);
  void NewReceipt(Job& job, int printer);
  void PrintHeader(Job& job, int printer);
  void KueBonLine(Job& job, int printer, const KitchenRow& row, bool printRecipe);
  void PrintArticle(Job& job, const KitchenRow& row, bool printRecipe);
  void PrintRecipe(Job& job, const std::string& artnr);
  void WriteMonitorRow(Job& job, int printer, const KitchenRow& row);
  void QueueDispenserOrder(Job& job, const KitchenRow& row, const std::string& code);
  void WriteDispenserFiles(const Job& job);
  // Finishes the receipt in the job's print-line buffer (paper feed, buzzer) and prints
  // it with its copies on the channel of the printer. False when the receipt did
  // not reach the printer; printers 0, 6 and 7 print nothing and give true.
  bool PrintKueBonFertig(Job& job, int printer);
  void MarkFailed(Job& job, int printer, const std::string& reason);
  // Marks the printed lines; false when they stay held by this printout.
  bool MarkLines(const Job& job);
  // The lines among `condition` that no earlier order signed, as signed data.
  void AddUnsignedItems(Job& job, const std::string& condition);
  // True when the order's transaction was finished with the lines.
  bool SignOrder(Job& job, const std::optional<fiscal::TseStart>& transaction);
  void FinishWithoutPrinting(Job& job, const std::optional<fiscal::TseStart>& transaction);
  std::string TableName(Job& job);
  std::string CustomerName(Job& job);
  static void Add(Job& job, const std::string& line) { job.paper.AddPrintLine(line); }

  db::StationContext& tools_;
  PrintServices printing_;
  fiscal::Tse& tse_;
  LogSink& log_;
  KitchenOptions options_;
  KitchenClaims claims_;
};

}  // namespace tolven::printing
