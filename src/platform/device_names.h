// Device files behind the port names of the configuration ("COM1", "LPT1"):
// TOLVEN.INI section "PORTS", keys COM1..COM9 and LPT1..LPT3 (for example
// COM1=/dev/ttyUSB0 or COM1=\\.\COM12). Without an entry the system's own
// name is used: /dev/ttyS(n-1) and /dev/lp(n-1) on Linux, \\.\COMn and LPTn
// on Windows.
#pragma once

#include <string>

#include "platform/ini_file.h"

namespace tolven::platform {

std::string ComDevice(const IniFile& ini, int number);
std::string LptDevice(const IniFile& ini, int number);

// The system's names without an entry (posix/device_names.cpp, win32/device_names.cpp).
std::string DefaultComDevice(int number);
std::string DefaultLptDevice(int number);

}  // namespace tolven::platform
