#include "platform/device_names.h"

namespace tolven::platform {

std::string DefaultComDevice(int number) { return "/dev/ttyS" + std::to_string(number > 0 ? number - 1 : 0); }

std::string DefaultLptDevice(int number) { return "/dev/lp" + std::to_string(number > 0 ? number - 1 : 0); }

}  // namespace tolven::platform
