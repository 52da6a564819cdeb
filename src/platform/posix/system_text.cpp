#include "platform/system_text.h"

namespace tolven::platform {

// The Linux drivers that convert text (Microsoft's, psqlODBC) take UTF-8 from
// their narrow functions.
bool NarrowSystemTextIsUtf8() { return true; }
const char* DefaultSqlServerOdbcDriver() { return "FreeTDS"; }
const char* OdbcDriverRegistry() { return "in /etc/odbcinst.ini"; }
std::string SecretFileAdvice(const std::string& path) {
  return "chmod 600 " + path + " und Besitzer der Dienstbenutzer";
}

}  // namespace tolven::platform
