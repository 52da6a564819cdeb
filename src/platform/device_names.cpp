#include "platform/device_names.h"

namespace tolven::platform {

std::string ComDevice(const IniFile& ini, int number) {
  std::string configured = ini.Read("TOLVEN.INI", "PORTS", "COM" + std::to_string(number), "");
  if (!configured.empty()) return configured;
#ifdef _WIN32
  return "\\\\.\\COM" + std::to_string(number);
#else
  return "/dev/ttyS" + std::to_string(number > 0 ? number - 1 : 0);
#endif
}

std::string LptDevice(const IniFile& ini, int number) {
  std::string configured = ini.Read("TOLVEN.INI", "PORTS", "LPT" + std::to_string(number), "");
  if (!configured.empty()) return configured;
#ifdef _WIN32
  return "LPT" + std::to_string(number);
#else
  return "/dev/lp" + std::to_string(number > 0 ? number - 1 : 0);
#endif
}

}  // namespace tolven::platform
