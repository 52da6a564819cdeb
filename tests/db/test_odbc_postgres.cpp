// The ODBC engine on a real PostgreSQL server: every byte of text, and a
// session the server ends. Runs in the "pg." registration of the database
// tests. (A transaction the server ended on its own: the SQL Server stand-in
// and the transaction guard's tests, which run here too.)
#include <gtest/gtest.h>

#include "db/odbc_connection.h"
#include "db/station_context.h"
#include "db/station_lock.h"
#include "support/pg_server.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

// The next statement outside a transaction opens a lost session again, with
// the station lock; the statement that met the break fails and is never repeated.
TEST(PgEngine, EveryWindowsByteSurvivesAndALostSessionIsOpenedAgain) {
  if (testing::TestEngine() != "POSTGRESQL") GTEST_SKIP() << "PostgreSQL only";
  testing::TestDb db;
  std::string all;
  // Forty times over: longer than one piece the driver hands out.
  for (int round = 0; round < 40; ++round) {
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  }
  db.Exec("INSERT INTO syslog (typ, memotext) VALUES ('I', " + SqlText(all) + ")");
  EXPECT_EQ(db.Scalar("SELECT memotext FROM syslog"), all);

  testing::FakeEnv clock;  // the pause between two attempts to open the session again
  auto opened = OpenOdbc(testing::PgTarget(db.databaseName()), 30, clock);
  ASSERT_TRUE(opened) << opened.status().message();
  std::unique_ptr<Connection> conn = std::move(*opened);
  StationLock held, second;
  ASSERT_TRUE(held.Acquire(*conn, "", 7).ok());
  db.Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND datname = " +
          SqlText(db.databaseName()));
  EXPECT_FALSE(conn->Execute("INSERT INTO kassea (bunr) VALUES (1)")) << "the statement that met the break";
  clock.SleepMs(5200);
  Status again = conn->Execute("INSERT INTO kassea (bunr) VALUES (2)");
  EXPECT_TRUE(again) << again.message();
  auto other = db.OpenSecond();
  EXPECT_TRUE(!second.Acquire(*other, "", 7).ok() && second.busy()) << "taken again in the new session";
  EXPECT_EQ(db.Scalar("SELECT string_agg(bunr::text, ',') FROM kassea"), "2");
}

}  // namespace
}  // namespace tolven::db
