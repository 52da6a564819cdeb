// What the platform's own libraries expect of the program's narrow texts, and
// which ODBC driver for SQL Server every machine of the platform has.
#pragma once

namespace tolven::platform {

// True when narrow texts handed to the system's libraries (an ODBC driver's
// narrow functions) are taken as UTF-8: a Linux locale, or Windows set to the
// UTF-8 code page. False for a Windows ANSI code page such as 1252.
bool NarrowSystemTextIsUtf8();
// "FreeTDS" on Linux; "SQL Server" on Windows, the driver every Windows has.
const char* DefaultSqlServerOdbcDriver();

}  // namespace tolven::platform
