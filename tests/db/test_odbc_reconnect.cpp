// A session the server ends (a restart, a network break, an administrator)
// is opened again by the next statement outside a transaction; the statement
// that met the break fails and is never repeated. PostgreSQL registration only.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "db/station_lock.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::TestDb;
using tolven::testing::TestEngine;

TEST(PgSession, ALostSessionIsOpenedAgainByTheNextStatement) {
  if (TestEngine() != "POSTGRESQL") GTEST_SKIP() << "PostgreSQL only (TOLVEN_TEST_ENGINE=POSTGRESQL)";
  TestDb db;
  auto admin = db.OpenSecond();
  ASSERT_TRUE(admin);
  DbError err;
  auto ended = [&] {
    ASSERT_TRUE(admin->Execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
                               "current_database() AND pid <> pg_backend_pid()",
                               err))
        << err.text;
  };

  // The station lock is taken again in the new session, or a second gateway could slip in.
  StationLock held;
  ASSERT_TRUE(held.Acquire(db.conn(), "", 7).ok());
  ended();
  EXPECT_FALSE(db.conn().Execute("INSERT INTO kassea (bunr) VALUES (1)", err)) << "the statement that met the break";
  // The wait between two attempts lets a server that stays away cost little.
  std::this_thread::sleep_for(std::chrono::milliseconds(5200));
  EXPECT_TRUE(db.conn().Execute("INSERT INTO kassea (bunr) VALUES (2)", err)) << err.text;
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM kassea"), "1") << "the failed insert was not repeated";
  auto other = db.OpenSecond();
  StationLock second;
  EXPECT_FALSE(second.Acquire(*other, "", 7).ok());
  EXPECT_TRUE(second.busy());

  // Broken inside a transaction: the transaction fails as a whole, the next one works.
  ASSERT_TRUE(db.conn().BeginTrans(err)) << err.text;
  ASSERT_TRUE(db.conn().Execute("INSERT INTO kassea (bunr) VALUES (3)", err)) << err.text;
  ended();
  db.conn().Execute("INSERT INTO kassea (bunr) VALUES (4)", err);
  EXPECT_FALSE(db.conn().CommitTrans(err));
  EXPECT_FALSE(db.conn().InTransaction());
  std::this_thread::sleep_for(std::chrono::milliseconds(5200));
  ASSERT_TRUE(db.conn().BeginTrans(err)) << err.text;
  ASSERT_TRUE(db.conn().Execute("INSERT INTO kassea (bunr) VALUES (5)", err)) << err.text;
  ASSERT_TRUE(db.conn().CommitTrans(err)) << err.text;
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM kassea"), "2");
}

}  // namespace
}  // namespace tolven::db
