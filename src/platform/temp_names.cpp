#include "platform/env.h"

namespace tolven::platform {

std::string TempNameOf(const std::string& path, const std::string& mark, long pid) {
  // Without a mark the name stays what it always was.
  if (mark.empty()) return path + ".tmp" + std::to_string(pid);
  return path + ".tmp" + mark + "-" + std::to_string(pid);
}

bool IsTempNameOf(const std::string& name, const std::string& mark) {
  if (mark.empty()) return false;  // unmarked names may belong to any station
  const std::string infix = ".tmp" + mark + "-";
  size_t at = name.rfind(infix);
  if (at == std::string::npos || at == 0) return false;
  size_t digits = at + infix.size();
  if (digits == name.size()) return false;
  for (size_t i = digits; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

}  // namespace tolven::platform
