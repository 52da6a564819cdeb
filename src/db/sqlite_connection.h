// The embedded engine: one SQLite database file, for the demo and single-station
// installations. Durable: write-ahead log with a full sync at every commit, so a
// committed receipt survives a power loss.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/result.h"
#include "common/status.h"
#include "db/connection.h"

namespace tolven::db {

// Opens the database file (UTF-8 conversion of the name inside). With create
// false a missing file is an error, never an empty new database.
Result<std::unique_ptr<Connection>> OpenSqlite(const std::string& path, bool create);

// Copies the database file `source` into the new file `target` with the
// engine's online backup: one read transaction, so the copy is the database as
// it stood at one commit, while the gateway goes on writing (the write-ahead
// log keeps writers and this reader apart). The copy is a single file (no
// write-ahead log of its own) and must pass "PRAGMA integrity_check"; `pages`
// is its size in pages. A failed copy leaves `target` to the caller to remove.
Status BackupSqlite(const std::string& source, const std::string& target, int64_t& pages);

// Runs a script of several statements (the schema).
Status ExecuteSqliteScript(Connection& connection, const std::string& script);

}  // namespace tolven::db
