// The one place where an operating-system error number becomes a Status.
#pragma once

#include <string>

#include "common/status.h"

namespace tolven::platform {

// "context: system text", with the error number kept.
Status PosixError(const std::string& context, int err);

}  // namespace tolven::platform
