// Device files behind the port names of the configuration ("COM1", "LPT1"):
// TOLVEN.INI section "PORTS", keys COM1..COM9 and LPT1..LPT3 (for example
// COM1=/dev/ttyUSB0); without an entry COMn is /dev/ttyS(n-1) and LPTn /dev/lp(n-1).
#pragma once

#include <string>

#include "platform/ini_file.h"

namespace tolven::platform {

std::string ComDevice(const IniFile& ini, int number);
std::string LptDevice(const IniFile& ini, int number);

}  // namespace tolven::platform
