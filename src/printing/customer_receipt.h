// The customer receipt of a stored receipt record: composed in a print-line
// buffer of its own from the layout options of `system`, archived as
// "BON<nr>.BON" and printed on the terminal's printer or the receipt printer
// channel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"
#include "db/db_tools.h"
#include "fiscal/receipt_checks.h"
#include "printing/print_lines.h"

namespace tolven::printing {

class CustomerReceipt {
 public:
  CustomerReceipt(db::DbTools& tools, const PrintServices& printing) : tools_(tools), printing_(printing) {}

  // Composes the receipt into `out`; false when the receipt record cannot be
  // read. `signature`: the one the settlement received for this receipt when
  // its TSE columns could not be stored (null: none). `copy` marks a receipt
  // printed again later (after an interrupted run), so that it never passes
  // for the first printout of that receipt.
  bool Compose(PrintLineBuffer& out, int32_t bunr, const fiscal::ReceiptSignature* signature = nullptr,
               bool copy = false);
  // Composes, archives and prints. `terminalPrinter` is the terminal's PdaPrt
  // ("" = the receipt printer channel). An error when the archive or the
  // printout failed (the other one is still attempted).
  Status Print(int32_t bunr, const std::string& terminalPrinter, const fiscal::ReceiptSignature* signature = nullptr,
               bool copy = false);

  // The receipt printer channel: `bondruckport` of `system`, replaced by the
  // station's `systemhw` row when there is one.
  std::string ReceiptChannel();
  std::string ArchivePath(int32_t bunr) const;

 private:
  struct Layout;
  void AddTexts(PrintLineBuffer& out, const std::string& kf, bool withFonts);
  // The fiscal data of the stored receipt: the TSE transaction with its QR code,
  // or a visible mark that the TSE had failed.
  void AddTseBlock(PrintLineBuffer& out, const db::ResultSet& head, const fiscal::ReceiptSignature* signature,
                   int width);
  // A text wrapped at blanks to the receipt width (a word wider than that is cut).
  static void AddWrapped(PrintLineBuffer& out, const std::string& text, int width);
  // "label value" on one line when it fits, else the label and the value wrapped below.
  static void AddLabelled(PrintLineBuffer& out, const std::string& label, const std::string& value, int width);

  db::DbTools& tools_;
  PrintServices printing_;
};

}  // namespace tolven::printing
