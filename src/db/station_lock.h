// One gateway per station number: two gateways with the same KASSNR (a copied
// TOLVEN.INI) would share TSE correlation keys and one cash balance. The lock
// lives as long as the gateway's database session (server engines) or its
// lock file beside the database (SQLite), so a crashed gateway never keeps
// its station locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/status.h"
#include "db/connection.h"
#include "platform/instance_lock.h"

namespace tolven::db {

class StationLock {
 public:
  // Takes the lock of `station` on the open connection; `sqliteFile` is the
  // database file on the embedded engine. Ok while held; otherwise busy()
  // tells whether another gateway holds it or the lock could not be tried.
  Status Acquire(Connection& connection, const std::string& sqliteFile, int32_t station);
  // The same for the station's register id (KASSENID), held beside it.
  Status AcquireRegister(Connection& connection, const std::string& sqliteFile, const std::string& registerId);
  bool busy() const { return busy_; }
  // The lock file of the embedded engine: beside the database, per station.
  static std::string LockFileOf(const std::string& sqliteFile, int32_t station);
  // Per register id; characters other than letters, digits, "-" and "_" as %XX.
  static std::string RegisterLockFileOf(const std::string& sqliteFile, const std::string& registerId);

 private:
  Status Take(Connection& connection, const std::string& sql, const std::string& lockFile, const std::string& busyText,
              std::unique_ptr<platform::InstanceLock>& file);

  std::unique_ptr<platform::InstanceLock> file_, registerFile_;
  bool busy_ = false;
};

}  // namespace tolven::db
