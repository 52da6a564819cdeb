// The ODBC headers: unixODBC's on Linux, the system's on Windows (which need
// the Windows types declared first).
#pragma once

#ifdef _WIN32
#include "platform/win32/system.h"
#endif
#include <sql.h>
#include <sqlext.h>
