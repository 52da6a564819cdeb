#include "db/station_lock.h"

#include "db/dialect.h"

namespace tolven::db {

std::string StationLock::LockFileOf(const std::string& sqliteFile, int32_t station) {
  return sqliteFile + ".kasse" + std::to_string(station) + ".lock";
}

Status StationLock::Acquire(Connection& connection, const std::string& sqliteFile, int32_t station) {
  busy_ = false;
  const std::string sql = connection.dialect().StationLock(station);
  if (sql.empty()) {
    file_ = platform::MakeInstanceLock();
    Status st = file_->Acquire(LockFileOf(sqliteFile, station));
    busy_ = file_->busy();
    if (!st) file_.reset();
    return st;
  }
  DbError err;
  if (connection.ExecuteForSession(sql, err)) return Status::Ok();
  busy_ = err.text.find(StationLockBusyText(station)) != std::string::npos;
  return Status::Error(err.text, static_cast<int>(err.number));
}

}  // namespace tolven::db
