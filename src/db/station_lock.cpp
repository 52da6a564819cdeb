#include "db/station_lock.h"

#include "common/text.h"
#include "db/dialect.h"

namespace tolven::db {

std::string StationLock::LockFileOf(const std::string& sqliteFile, int32_t station) {
  return sqliteFile + ".kasse" + std::to_string(station) + ".lock";
}

std::string StationLock::RegisterLockFileOf(const std::string& sqliteFile, const std::string& registerId) {
  std::string name;
  for (char c : registerId) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || c == '-' || c == '_') {
      name += c;
    } else {
      name += "%" + HexEncode(std::string(1, c));
    }
  }
  return sqliteFile + ".kassenid-" + name + ".lock";
}

Status StationLock::Take(Connection& connection, const std::string& sql, const std::string& lockFile,
                         const std::string& busyText, std::unique_ptr<platform::InstanceLock>& file) {
  busy_ = false;
  if (sql.empty()) {
    file = platform::MakeInstanceLock();
    Status st = file->Acquire(lockFile);
    busy_ = file->busy();
    if (!st) file.reset();
    return st;
  }
  Status taken = connection.ExecuteForSession(sql);
  busy_ = !taken && taken.message().find(busyText) != std::string::npos;
  return taken;
}

Status StationLock::Acquire(Connection& connection, const std::string& sqliteFile, int32_t station) {
  return Take(connection, connection.dialect().StationLock(station), LockFileOf(sqliteFile, station),
              StationLockBusyText(station), file_);
}

Status StationLock::AcquireRegister(Connection& connection, const std::string& sqliteFile,
                                    const std::string& registerId) {
  // Without regard to case, as file names on Windows would have it anyway.
  const std::string key = ToUpper(registerId);
  return Take(connection, connection.dialect().RegisterLock(key), RegisterLockFileOf(sqliteFile, key),
              kRegisterLockBusyText, registerFile_);
}

}  // namespace tolven::db
