// The settings text of a serial port as the configuration writes it:
// "baud,parity,data bits,stop bits", for example "9600,N,8,1" or "115200,o,8,1".
#pragma once

#include <string_view>

#include "common/status.h"

namespace tolven::platform {

struct SerialSettings {
  int baud = 9600;
  char parity = 'N';  // N, E, O, M (mark) or S (space), upper case
  int dataBits = 8;   // 5..8
  // 1 or 2; "1.5" is kept as 2, which is what the line gives with 5 data bits.
  int stopBits = 1;
};

// Four fields separated by commas, blanks around them allowed; parity in either
// case. A speed that is not a whole positive number, an unknown parity, data
// bits outside 5..8 or stop bits other than 1, 1.5 and 2 are refused.
Status ParseSerialSettings(std::string_view text, SerialSettings& out);

}  // namespace tolven::platform
