// What an engine's driver reports about a failure, as the two engine adapters
// (ODBC, SQLite) collect it, and its translation into the program's Status:
// the one place that knows which numbers and states mean another station's
// lock. Nothing outside the adapters sees it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"

namespace tolven::db {

struct DriverError {
  int32_t number = 0;                  // native error number of the engine (0: none)
  std::string text;                    // description
  std::string source;                  // engine or driver that reported it
  std::string sqlState;                // five-character state where the engine has one
  std::vector<int32_t> nativeNumbers;  // every native number of the diagnostic records

  void Clear() { *this = DriverError(); }
};

// Another station held what the statement or transaction needed: a deadlock
// (SQL Server 1205, PostgreSQL 40P01, either's 40001), a lock wait that ran
// out (SQL Server 1222 or the settlement lock not granted, PostgreSQL 55P03)
// or a busy or locked SQLite file. The same work may succeed when run again.
bool IsLockConflict(const DriverError& err);

// The driver's report as the program's error value: its text, native number
// and state, and whether it was a lock conflict.
Status StatusOf(const DriverError& err);

// The outcome of an adapter's call that filled `err` when it failed.
inline Status Outcome(bool ok, const DriverError& err) { return ok ? Status::Ok() : StatusOf(err); }

}  // namespace tolven::db
