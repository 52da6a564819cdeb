// Kitchen receipts: after an order has been booked, every line of the table that
// has no kitchen receipt yet goes to its kitchen printer (1 to 5), to a kitchen
// monitor (6, 7) or nowhere (0); every line is logged, the lines are marked as
// done, and the order is signed by the TSE as "Bestellung-V1".
//
// A printer is handled all or nothing: when any of its receipts does not reach
// the printer (or its lines cannot be collected, or a monitor row cannot be
// written), none of its lines is marked. They stay pending and come out, whole,
// with the next order of the table; its log rows of this call are removed and it
// is left out of this order's signature, so every line is logged and signed
// exactly when it is really sent. The log says so in a line beginning "FEHLER".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "common/numbered_array.h"
#include "db/db_tools.h"
#include "fiscal/tse.h"
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

class KitchenReceipts {
 public:
  KitchenReceipts(db::DbTools& tools, PrintLineBuffer& printLines, fiscal::Tse& tse, LogSink& log);

  // Prints every pending kitchen receipt of the table and signs the order with
  // the transaction the caller started for it. Both TSE values are set to 0 when
  // signing is on but no transaction was given.
  void PrintKueBon(int32_t& tseTrx, int32_t& tseStart, int32_t table, const std::string& waiter);

  // Finishes the receipt in the print-line buffer (paper feed, buzzer) and prints
  // it with its copies on the channel of the printer. False when the receipt did
  // not reach the printer; printers 0, 6 and 7 print nothing and give true.
  bool PrintKueBonFertig(int printer);

  // The article text as it goes into the signed order data: umlauts spelled out,
  // quotes and other troublesome characters removed, CR LF as "<CRLF>".
  static std::string CleanForSigning(const std::string& text);
  // Splits an article text for double-size lines (17 characters a line).
  static void SplitDoubleSize(const std::string& text, std::string& first, std::string& rest);
  // "Bestellung-V1" data of the lines sent in the last call, and its amount.
  const std::string& processData() const { return processData_; }
  int64_t orderAmount() const { return orderAmount_; }

 private:
  struct SignItem {
    int32_t menge;
    std::string text;
    int32_t preis;
  };

  // Reading the configuration (once per call).
  void ReadSettings();
  void ReadPrinterSettings(int printer);
  // One printer from collecting its lines to marking the outcome.
  void PrintPrinter(int printer);
  bool CollectRows(int printer, std::vector<KitchenRow>& rows);
  std::string OrderClause() const;
  void NewReceipt(int printer);
  void PrintHeader(int printer);
  void KueBonLine(int printer, const KitchenRow& row, bool printRecipe);
  void PrintArticle(const KitchenRow& row, bool printRecipe);
  void PrintRecipe(const std::string& artnr);
  void WriteMonitorRow(int printer, const KitchenRow& row);
  void QueueDispenserOrder(const KitchenRow& row, const std::string& code);
  void WriteDispenserFiles();
  void MarkFailed(int printer, const std::string& reason);
  void MarkLines();
  void SignOrder(int32_t& tseTrx, int32_t& tseStart);
  void FinishWithoutPrinting(int32_t& tseTrx, int32_t& tseStart, const std::string& pendingWhere);
  std::string TableName();
  std::string CustomerName();
  void Add(const std::string& line) { printLines_.AddPrintLine(line); }

  db::DbTools& tools_;
  PrintLineBuffer& printLines_;
  fiscal::Tse& tse_;
  LogSink& log_;

  // `system`, `systemhw` and `rauminfo` settings of the current call.
  int32_t kuebonpreis_ = 0, kuebonartnr_ = 0, kuebongast_ = 0, bonvor_ = 0;
  int32_t kuebonkellner_ = 0, kuebonkunde_ = 0, comschankanl_ = 0;
  bool kueartbez_ = false, bonshowtischname_ = false;
  NumberedArray<std::string, 5> port_, prt_;  // 1..4 the kitchen printers, 5 the room's printer
  // Size codes; empty when the kitchen receipts print in normal size only.
  std::string dh_, aus_, dhb_, db_;

  // State of the current call.
  int32_t table_ = 0;
  int64_t maxId_ = 0;  // the newest line this printout covers
  std::string waiter_;
  int32_t seqnr_ = 0;
  int32_t kuebonnr_ = 0;
  int32_t course_ = 0;
  KitchenPrinterSettings cur_;
  std::array<bool, kKitchenPrinters> failed_{};
  std::vector<SignItem> printerItems_, signItems_;
  std::vector<std::string> dispenserOrders_;
  bool tableNameRead_ = false, customerRead_ = false;
  std::string tableName_, customerName_;
  std::string processData_;
  int64_t orderAmount_ = 0;
};

}  // namespace tolven::printing
