// Diagnostic records of the ODBC driver manager and drivers turned into a DriverError.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "db/connection.h"
#include "db/odbc_api.h"
#include "db/odbc_connection.h"

namespace tolven::db {

// One diagnostic record as the driver reports it.
struct DiagRecord {
  std::string sqlState;
  int32_t native = 0;
  std::string message;  // with the driver's "[vendor][component]" prefixes
};

// Fills err from records: number and state of the first error (warnings,
// state class "01", only when there is nothing else), every native number, the
// texts of the errors joined by " / " without their prefixes, and the source
// from the prefixes ("FreeTDS SQL Server"). A record without a native number
// counts as -1, so a failure never reads as error number 0.
void FillError(OdbcEngine engine, const std::vector<DiagRecord>& records, DriverError& err);

// Reads every record of a handle (UTF-8 texts of PostgreSQL converted) and
// fills err; `rc` names the failure when the driver left no record.
void ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, OdbcEngine engine, SQLRETURN rc, DriverError& err);

}  // namespace tolven::db
