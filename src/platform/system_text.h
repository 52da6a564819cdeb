// What the platform's own libraries expect of the program's narrow texts,
// which ODBC driver for SQL Server every machine of the platform has, and how
// an operator of this system is told where to look.
#pragma once

#include <string>

namespace tolven::platform {

// True when narrow texts handed to the system's libraries (an ODBC driver's
// narrow functions) are taken as UTF-8: a Linux locale, or Windows set to the
// UTF-8 code page. False for a Windows ANSI code page such as 1252.
bool NarrowSystemTextIsUtf8();
// "FreeTDS" on Linux; "SQL Server" on Windows, the driver every Windows has.
const char* DefaultSqlServerOdbcDriver();
// Where ODBC drivers are registered, for a message about a missing one
// ("in /etc/odbcinst.ini").
const char* OdbcDriverRegistry();
// What an operator does to a file holding a secret so that only the service
// may read it, for `path`.
std::string SecretFileAdvice(const std::string& path);

}  // namespace tolven::platform
