#include "platform/system_text.h"

#include "platform/win32/system.h"

namespace tolven::platform {

bool NarrowSystemTextIsUtf8() { return GetACP() == CP_UTF8; }
const char* DefaultSqlServerOdbcDriver() { return "SQL Server"; }
const char* OdbcDriverRegistry() {
  return "in der ODBC-Datenquellen-Verwaltung (64 Bit, odbcad32.exe, Registerkarte Treiber)";
}
std::string SecretFileAdvice(const std::string& path) {
  // The well-known SIDs of the administrators and SYSTEM, which icacls takes
  // in every language of Windows.
  return "nur Administratoren, SYSTEM und das Dienstkonto dürfen sie lesen: icacls \"" + path +
         "\" /inheritance:r /grant:r *S-1-5-18:(F) *S-1-5-32-544:(F)";
}

}  // namespace tolven::platform
