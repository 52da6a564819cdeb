#include "db/driver_error.h"

namespace tolven::db {

bool IsLockConflict(const DriverError& err) {
  if (err.source == "SQLite") {
    const int32_t primary = err.number & 0xFF;
    return primary == 5 || primary == 6;  // SQLITE_BUSY, SQLITE_LOCKED
  }
  if (err.sqlState == "40P01" || err.sqlState == "55P03" || err.sqlState == "40001") return true;
  for (int32_t n : err.nativeNumbers) {
    if (n == 1205 || n == 1222) return true;
  }
  // The settlement lock of SQL Server (sp_getapplock): -1 timed out, -3 chosen as deadlock victim.
  return err.text.find("nicht erhalten (-1)") != std::string::npos ||
         err.text.find("nicht erhalten (-3)") != std::string::npos;
}

Status StatusOf(const DriverError& err) {
  return Status::EngineError(err.text, err.number, err.sqlState,
                             IsLockConflict(err) ? ErrorKind::Conflict : ErrorKind::Other, err.source);
}

}  // namespace tolven::db
