// One gateway per station number, on the engine of the test run (SQLite: a
// lock file beside the database; PostgreSQL: an advisory lock of the session).
#include "db/station_lock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/test_db.h"

namespace tolven::db {
namespace {

using testing::TestDb;

TEST(StationLock, HeldByOneSessionPerStationUntilItEnds) {
  TestDb db;
  auto first = db.OpenSecond(), second = db.OpenSecond();
  StationLock a, b, c;
  ASSERT_TRUE(a.Acquire(*first, db.dbPath(), 3).ok());
  Status st = b.Acquire(*second, db.dbPath(), 3);
  EXPECT_FALSE(st.ok());
  EXPECT_TRUE(b.busy()) << st.message();
  EXPECT_TRUE(c.Acquire(*second, db.dbPath(), 4).ok());
  // The gateway ends (or its connection drops): the station is free.
  first->Close();
  if (db.IsSqlite()) a = StationLock();
  // The server lets go of a closed session's locks when its backend has
  // ended, a moment after the client closed it.
  StationLock d;
  bool taken = false;
  for (int attempt = 0; attempt < 50 && !taken; ++attempt) {
    taken = d.Acquire(*second, db.dbPath(), 3).ok();
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(taken);
}

}  // namespace
}  // namespace tolven::db
