// What the printers did, for the status page: a print engine in front of the
// real one that passes every printout on unchanged and keeps the outcome per
// channel and the last customer and kitchen receipts, rendered as they look on
// paper. The rendering happens here, on the processing thread, once per
// printout; the web server only ever reads finished, immutable records.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/station_context.h"
#include "platform/env.h"
#include "platform/fiber.h"
#include "printing/print_lines.h"

namespace tolven::status {

enum class PrintoutKind { Other, CustomerReceipt, KitchenReceipt };

const char* PrintoutKindName(PrintoutKind kind);

struct PrintDelivery {
  std::string channel;
  bool ok = true;
  std::string error;
};

struct PrintoutRecord {
  int64_t id = 0;
  PrintoutKind kind = PrintoutKind::Other;
  std::string time;                       // "DD.MM.YYYY HH:MM:SS"
  std::vector<PrintDelivery> deliveries;  // archive and printer of one receipt share a record
  int32_t bunr = 0;                       // receipt number, when the archive name tells it
  int32_t kuebonnr = 0;                   // kitchen receipt number, from its "Nr." line
  std::string source;                     // where the lines came from
  std::vector<std::string> lines;         // as handed to the engine
  bool cutAtEnd = false;
  std::string storedQr;           // the receipt's QR text when its lines hold none
  std::vector<std::string> text;  // PaperText
  std::string html;               // PaperHtml (+ the stored QR code)
};

struct ChannelOutcome {
  std::string channel;  // receipt archives are counted together as ".../BON*.BON"
  std::string name;     // what the configuration calls the printer on it, "" when unknown
  std::string time;
  bool ok = true;
  std::string error;
  int64_t printouts = 0;
  int64_t failures = 0;
  uint64_t lastUse = 0;  // order of the latest printout, for making room
};

class PrintRecorder final : public printing::PrintEngine {
 public:
  static constexpr size_t kKeep = 6;  // receipts of each kind kept for the page
  static constexpr size_t kMaxChannels = 40;

  PrintRecorder(printing::PrintEngine& inner, platform::Env& env);

  Status MyPrint(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd,
                 bool slowPrinter) override;

  // Printouts made while a scope lives are of its kind; identical printouts of
  // one scope (a receipt archived and then printed, kitchen copies) are one
  // record with several deliveries.
  struct ScopeState {
    PrintoutKind kind = PrintoutKind::Other;
    int64_t serial = 0;  // 0 outside any scope
  };
  class Scope {
   public:
    Scope(PrintRecorder& r, PrintoutKind kind);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    PrintRecorder& recorder_;
    ScopeState previous_;
  };

  // The QR text stored with a receipt, for receipts whose lines carry no QR
  // code (archives from before the code was printed); "" when there is none.
  void SetQrLookup(std::function<std::string(int32_t bunr)> lookup) { qrLookup_ = std::move(lookup); }

  // Shows the receipts of these numbers (newest first) from their archive
  // files in `folder`, so the page has receipts right after a start. Missing or
  // unreadable files are skipped.
  void LoadArchived(const std::string& folder, const std::vector<int32_t>& bunrs);

  std::vector<std::shared_ptr<const PrintoutRecord>> Receipts() const { return {receipts_.begin(), receipts_.end()}; }
  std::vector<std::shared_ptr<const PrintoutRecord>> KitchenReceipts() const {
    return {kitchen_.begin(), kitchen_.end()};
  }
  std::vector<ChannelOutcome> Channels() const;
  uint64_t generation() const { return generation_; }
  // A printout is under way (the print engine's status text means something).
  bool busy() const { return busy_ > 0; }

 private:
  void Record(const std::vector<std::string>& lines, const std::string& channel, bool cutAtEnd, const Status& st);
  void Render(PrintoutRecord& r);
  std::string NowText();

  printing::PrintEngine& inner_;
  platform::Env& env_;
  std::function<std::string(int32_t)> qrLookup_;
  // Per job of the event loop (nullptr: outside any), as jobs print in turns.
  std::map<const void*, ScopeState> scopes_;
  int64_t nextSerial_ = 1;
  int64_t nextId_ = 1;
  int64_t lastSerial_ = -1;                                               // scope of the newest record
  std::deque<std::shared_ptr<const PrintoutRecord>> receipts_, kitchen_;  // newest first
  std::map<std::string, ChannelOutcome> channels_;
  uint64_t generation_ = 0;
  int busy_ = 0;
};

// The receipt number of an archive channel "FILE:...BON<nr>.BON"; 0 otherwise.
int32_t ArchiveReceiptNumber(const std::string& channel);

// The newest receipt numbers of this station (kass), newest first; empty when
// they cannot be read.
std::vector<int32_t> LatestReceiptNumbers(db::StationContext& tools, int count);
// kass.tse_qr of the receipt; "" when there is none.
std::string StoredQrText(db::StationContext& tools, int32_t bunr);

}  // namespace tolven::status
