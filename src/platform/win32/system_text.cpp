#include "platform/system_text.h"
#include "platform/win32/system.h"

namespace tolven::platform {

bool NarrowSystemTextIsUtf8() { return GetACP() == CP_UTF8; }
const char* DefaultSqlServerOdbcDriver() { return "SQL Server"; }

}  // namespace tolven::platform
