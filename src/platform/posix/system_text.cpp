#include "platform/system_text.h"

namespace tolven::platform {

// The Linux drivers that convert text (Microsoft's, psqlODBC) take UTF-8 from
// their narrow functions.
bool NarrowSystemTextIsUtf8() { return true; }
const char* DefaultSqlServerOdbcDriver() { return "FreeTDS"; }

}  // namespace tolven::platform
