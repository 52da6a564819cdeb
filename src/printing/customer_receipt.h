// The customer receipt of a stored receipt record: composed in a print-line
// buffer of its own from the layout options of `system`, archived as
// "BON<nr>.BON" and printed on the terminal's printer or the receipt printer
// channel. The printout never waits for its archive copy: one that cannot be
// written waits in the pending writes, an alert names the receipt, and the
// printout is noted (ReceiptPrintouts) so that a restart writes the archive
// without printing the guest a second receipt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "db/station_context.h"
#include "fiscal/receipt_checks.h"
#include "platform/pending_writes.h"
#include "printing/print_lines.h"
#include "printing/receipt_printouts.h"

namespace tolven::printing {

class CustomerReceipt {
 public:
  // Archive copies that cannot be written wait in `pending` (without it they are lost).
  CustomerReceipt(db::StationContext& tools, const PrintServices& printing, platform::PendingWrites* pending = nullptr)
      : tools_(tools), printing_(printing), pending_(pending), printouts_(tools) {}

  // Composes the receipt into `out`; false when the receipt record cannot be
  // read. `signature`: the one the settlement received for this receipt when
  // its TSE columns could not be stored (null: none). `copy` marks a receipt
  // printed again later (after an interrupted run), so that it never passes
  // for the first printout of that receipt. `printedAt`: the time the paper
  // shows (a copy shows the sale's time instead); unset, now.
  bool Compose(PrintLineBuffer& out, int32_t bunr, const fiscal::ReceiptSignature* signature = nullptr,
               bool copy = false, std::optional<DateTime> printedAt = std::nullopt);

  struct Outcome {
    Status archived;  // when it failed, the copy waits in the pending writes
    Status printed;
    bool ok() const { return archived.ok() && printed.ok(); }
  };
  // Composes, archives and prints; the printout is attempted whatever became of
  // the archive, and noted when it went out. `terminalPrinter` is the
  // terminal's PdaPrt ("" = the receipt printer channel).
  Outcome Print(int32_t bunr, const std::string& terminalPrinter, const fiscal::ReceiptSignature* signature = nullptr,
                bool copy = false);
  // The archive copy alone, of a receipt printed before (as the printout noted
  // it); nothing is printed. An error when it cannot be written (it then waits).
  Status Archive(int32_t bunr, const ReceiptPrintouts::Printout& printed);
  // A copy of the receipt as its archive holds it, marked "*** KOPIE ***", on
  // the receipt printer channel. An error when the archive is missing or fails
  // its check, or the printout failed.
  Status ReprintFromArchive(int32_t bunr);
  ReceiptPrintouts& printouts() { return printouts_; }

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

  // Writes the composed receipt's archive copy; on failure it is kept for later
  // and an alert names the receipt.
  Status WriteArchive(PrintLineBuffer& out, int32_t bunr);

  db::StationContext& tools_;
  PrintServices printing_;
  platform::PendingWrites* pending_;
  ReceiptPrintouts printouts_;
};

}  // namespace tolven::printing
