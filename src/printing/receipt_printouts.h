// Which customer receipts reached the printer, in the gateway's own table
// `pdabondruck` (created when missing): a receipt whose archive copy is missing
// after a restart was either never printed (the run was interrupted before) or
// printed while its archive could not be written. Only the first needs a copy
// on paper; the second only its archive file, as it was printed.
#pragma once

#include <cstdint>
#include <optional>

#include "common/datetime.h"
#include "common/status.h"
#include "db/station_context.h"

namespace tolven::printing {

class ReceiptPrintouts {
 public:
  static constexpr const char* kTable = "pdabondruck";

  explicit ReceiptPrintouts(db::StationContext& tools) : tools_(tools) {}

  struct Printout {
    DateTime at;        // the time on the paper
    bool copy = false;  // printed as "*** KOPIE ***"
  };
  // Notes that the receipt was printed at `at` by this station.
  Status Record(int32_t bunr, const DateTime& at, bool copy);
  // The printout of the receipt, nullopt when there was none (or it cannot be read).
  std::optional<Printout> Find(int32_t bunr);
  // Forgets this station's printouts up to `bunr`: their archives exist.
  Status ForgetUpTo(int64_t bunr);

 private:
  Status Ready();

  db::StationContext& tools_;
  bool ready_ = false;
};

}  // namespace tolven::printing
