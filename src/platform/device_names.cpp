#include "platform/device_names.h"

namespace tolven::platform {

std::string ComDevice(const IniFile& ini, int number) {
  std::string configured = ini.Read("TOLVEN.INI", "PORTS", "COM" + std::to_string(number), "");
  return configured.empty() ? DefaultComDevice(number) : configured;
}

std::string LptDevice(const IniFile& ini, int number) {
  std::string configured = ini.Read("TOLVEN.INI", "PORTS", "LPT" + std::to_string(number), "");
  return configured.empty() ? DefaultLptDevice(number) : configured;
}

}  // namespace tolven::platform
