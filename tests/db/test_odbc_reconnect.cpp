// A session the server ends (a restart, a network break, an administrator)
// is opened again by the next statement outside a transaction, with the
// station lock taken again; the statement that met the break fails and is
// never repeated. PostgreSQL registration only.
#include <gtest/gtest.h>

#include "db/station_lock.h"
#include "support/pg_server.h"
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
  // The pause between two attempts to open the session again runs on this clock.
  testing::FakeEnv clock;
  auto conn = OpenOdbc(testing::PgTarget(db.databaseName()), 30, err, clock);
  ASSERT_TRUE(conn) << err.text;
  auto ended = [&] {
    ASSERT_TRUE(admin->Execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
                               "current_database() AND pid <> pg_backend_pid()",
                               err))
        << err.text;
  };
  // Counted on the session that ends the others.
  auto rows = [&] {
    DbError e;
    auto rs = admin->Query("SELECT COUNT(*) FROM kassea", e);
    return rs && !rs->Eof() ? rs->Raw(0).AsString() : e.text;
  };

  StationLock held;
  ASSERT_TRUE(held.Acquire(*conn, "", 7).ok());
  ended();
  EXPECT_FALSE(conn->Execute("INSERT INTO kassea (bunr) VALUES (1)", err)) << "the statement that met the break";
  clock.SleepMs(5200);
  EXPECT_TRUE(conn->Execute("INSERT INTO kassea (bunr) VALUES (2)", err)) << err.text;
  EXPECT_EQ(rows(), "1") << "the failed insert was not repeated";
  // Taken again in the new session, or a second gateway could slip in.
  auto other = db.OpenSecond();
  StationLock second;
  EXPECT_FALSE(second.Acquire(*other, "", 7).ok());
  EXPECT_TRUE(second.busy());

  // Broken inside a transaction: the transaction fails as a whole, the next one works.
  ASSERT_TRUE(conn->BeginTrans(err)) << err.text;
  ASSERT_TRUE(conn->Execute("INSERT INTO kassea (bunr) VALUES (3)", err)) << err.text;
  ended();
  conn->Execute("INSERT INTO kassea (bunr) VALUES (4)", err);
  EXPECT_FALSE(conn->CommitTrans(err));
  EXPECT_FALSE(conn->InTransaction());
  // The attempt after the first break was less than the pause ago: a server that
  // stays away costs every statement only this refusal, not a log-in time-out.
  EXPECT_FALSE(conn->BeginTrans(err));
  EXPECT_NE(err.text.find("neuer Versuch in wenigen Sekunden"), std::string::npos) << err.text;
  clock.SleepMs(5200);
  ASSERT_TRUE(conn->BeginTrans(err)) << err.text;
  ASSERT_TRUE(conn->Execute("INSERT INTO kassea (bunr) VALUES (5)", err)) << err.text;
  ASSERT_TRUE(conn->CommitTrans(err)) << err.text;
  EXPECT_EQ(rows(), "2");
}

}  // namespace
}  // namespace tolven::db
