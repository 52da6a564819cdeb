#include "platform/device_names.h"

namespace tolven::platform {

// "\\.\" reaches COM10 and above too, which the plain name does not.
std::string DefaultComDevice(int number) { return "\\\\.\\COM" + std::to_string(number > 0 ? number : 1); }

std::string DefaultLptDevice(int number) { return "LPT" + std::to_string(number > 0 ? number : 1); }

}  // namespace tolven::platform
