#include "platform/serial_settings.h"

#include <string>

#include "common/text.h"

namespace tolven::platform {

Status ParseSerialSettings(std::string_view text, SerialSettings& out) {
  auto refuse = [&] { return Status::Error("Ungültige Schnittstellen-Einstellung '" + std::string(text) + "'"); };
  std::string fields[4];
  size_t start = 0;
  for (int k = 0; k < 4; ++k) {
    size_t comma = text.find(',', start);
    if ((k < 3) != (comma != std::string_view::npos)) return refuse();
    fields[k] = TrimBlanks(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    start = comma + 1;
  }
  SerialSettings s;
  std::optional<int32_t> baud = StrictWholeNumber(fields[0]);
  if (!baud || *baud <= 0) return refuse();
  s.baud = *baud;
  std::string parity = ToUpper(fields[1]);
  if (parity.size() != 1 || std::string_view("NEOMS").find(parity[0]) == std::string_view::npos) return refuse();
  s.parity = parity[0];
  std::optional<int32_t> data = StrictWholeNumber(fields[2]);
  if (!data || *data < 5 || *data > 8) return refuse();
  s.dataBits = *data;
  if (fields[3] == "1") {
    s.stopBits = 1;
  } else if (fields[3] == "2" || fields[3] == "1.5") {
    s.stopBits = 2;
  } else {
    return refuse();
  }
  out = s;
  return Status::Ok();
}

}  // namespace tolven::platform
