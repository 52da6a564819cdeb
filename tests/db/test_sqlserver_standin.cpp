// The SQL Server engine through the real FreeTDS driver against the stand-in
// server of tests/tds_server.py, which logs what the driver really sends.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "common/cp1252.h"
#include "db/odbc_connection.h"
#include "db/tds_standin.h"
#include "platform/signals.h"
#include "startup/startup.h"
#include "support/test_db.h"

namespace tolven::db {
namespace {

using tolven::testing::TdsStandin;

// The stand-in does not depend on the engine under test: the PostgreSQL
// registration of this program leaves it to the default one.
bool PgRun() { return tolven::testing::TestEngine() == "POSTGRESQL"; }

// Opens in a thread of its own, so a driver that hangs fails the test instead
// of holding the whole run.
std::unique_ptr<Connection> OpenWithin(const OdbcTarget& target, int loginTimeout, DbError& err, bool& returned) {
  auto task = std::make_shared<std::packaged_task<std::pair<std::unique_ptr<Connection>, DbError>()>>(
      [target, loginTimeout] {
        DbError e;
        auto c = OpenOdbc(target, loginTimeout, e);
        return std::make_pair(std::move(c), e);
      });
  auto result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  returned = result.wait_for(std::chrono::seconds(90)) == std::future_status::ready;
  if (!returned) return nullptr;
  auto [connection, e] = result.get();
  err = e;
  return std::move(connection);
}

TEST(FreeTdsStandin, AServerThatAcceptsAndStaysSilentFailsTheLogInAsUnreachable) {
  if (PgRun()) GTEST_SKIP() << "runs in the default registration";
  TdsStandin server("silent");
  ASSERT_TRUE(server.started());
  DbError err;
  bool returned = false;
  // No TDS version configured: the default must still honour the log-in time-out.
  EXPECT_EQ(OpenWithin(server.Target(), 2, err, returned), nullptr);
  ASSERT_TRUE(returned) << "the log-in waits for ever";
  EXPECT_EQ(ClassifyOpenFailure(OdbcEngine::SqlServer, err), OpenFailure::Unreachable)
      << err.sqlState << " " << err.number << " " << err.text;
  EXPECT_EQ(server.Events("connect").size(), 1u);
}

TEST(FreeTdsStandin, LogInsReachTheServerAsTypedAndEncryptAsConfigured) {
  if (PgRun()) GTEST_SKIP() << "runs in the default registration";
  TdsStandin server;
  ASSERT_TRUE(server.started());
  const std::vector<std::pair<std::string, std::string>> logins = {
      {"kasse", "p}w;x"}, {"a;b=c", "{x"}, {"ab}", " blank "}, {"k}", "ende}"}, {"müller", "Grüße"},
  };
  for (const auto& [user, password] : logins) {
    DbError err;
    auto c = OpenOdbc(server.Target(user, password), 5, err);
    EXPECT_NE(c, nullptr) << user << " / " << password << ": " << err.text;
  }
  const auto seen = server.Events("login");
  ASSERT_EQ(seen.size(), logins.size());
  for (size_t i = 0; i < logins.size(); ++i) {
    EXPECT_EQ(seen[i].at("user"), Cp1252ToUtf8(logins[i].first));
    EXPECT_EQ(seen[i].at("password"), Cp1252ToUtf8(logins[i].second));
    EXPECT_EQ(seen[i].at("app"), "tolvenpda") << "an administrator sees who holds the lock";
    EXPECT_EQ(seen[i].at("tds"), "7.4");
    EXPECT_EQ(seen[i].at("database"), "tolven");
  }

  // "};" cannot be written for FreeTDS: refused as a log-in problem, nothing sent.
  for (const auto& [user, password] : std::vector<std::pair<std::string, std::string>>{{"kasse", "x};y"},
                                                                                      {"a};b", "x"}}) {
    DbError err;
    EXPECT_EQ(OpenOdbc(server.Target(user, password), 5, err), nullptr);
    EXPECT_EQ(ClassifyOpenFailure(OdbcEngine::SqlServer, err), OpenFailure::BadLogin) << err.text;
    EXPECT_NE(err.text.find("'};'"), std::string::npos) << err.text;
  }
  EXPECT_EQ(server.Events("connect").size(), logins.size());

  // Encryption as configured; the stand-in speaks no TLS, so a driver that must encrypt gives up.
  OdbcTarget off = server.Target();
  off.encrypt = "no";
  DbError err;
  EXPECT_NE(OpenOdbc(off, 5, err), nullptr) << err.text;
  OdbcTarget required = server.Target();
  required.encrypt = "yes";
  EXPECT_EQ(OpenOdbc(required, 5, err), nullptr);
  const auto prelogins = server.Events("prelogin");
  ASSERT_EQ(prelogins.size(), logins.size() + 2);
  EXPECT_EQ(prelogins[logins.size()].at("encryption"), "2") << "not supported: no TLS at all";
  EXPECT_EQ(prelogins.back().at("encryption"), "1");
}

TEST(FreeTdsStandin, OneSessionResultsErrorsRefusedBytesTransactionsAndADrop) {
  if (PgRun()) GTEST_SKIP() << "runs in the default registration";
  TdsStandin server("normal", {"SELECT mwst1\trows mwst1,sprache 19,DE", "UPDATE kass\terror 1205 13 Deadlock victim",
                               "SELECT 'weg'\tclose"});
  ASSERT_TRUE(server.started());
  DbError err;
  tolven::testing::FakeEnv clock;  // times the pause before a lost session is opened again
  auto c = OpenOdbc(server.Target(), 5, err, clock);
  ASSERT_NE(c, nullptr) << err.text;
  auto rs = c->Query("SELECT mwst1, sprache FROM system", err);
  ASSERT_NE(rs, nullptr) << err.text;
  ASSERT_FALSE(rs->Eof());
  EXPECT_EQ(rs->Raw(rs->Find("mwst1")).AsInt64(), 19);
  EXPECT_EQ(rs->Raw(rs->Find("sprache")).AsString(), "DE");
  EXPECT_FALSE(c->Execute("UPDATE kass SET tisch = 1", err));
  EXPECT_EQ(err.number, 1205);

  ASSERT_TRUE(c->BeginTrans(err)) << err.text;
  ASSERT_TRUE(c->Execute("INSERT INTO kassea (bunr) VALUES (1)", err)) << err.text;
  ASSERT_TRUE(c->CommitTrans(err)) << err.text;
  // The driver opens the transaction itself; the lock statement adds no second level.
  const auto requests = server.Events("transaction");
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[0].at("request"), "begin");
  EXPECT_EQ(requests[1].at("request"), "commit");
  bool lockSeen = false;
  for (const auto& b : server.Events("batch")) {
    if (b.at("sql").find("sp_getapplock") != std::string::npos) {
      lockSeen = true;
      EXPECT_NE(b.at("sql").find("IF @@TRANCOUNT = 0 BEGIN TRANSACTION"), std::string::npos);
    }
  }
  EXPECT_TRUE(lockSeen);

  // A deadlock victim's whole transaction is over on the server; the driver
  // would send the next statement outside any transaction, committed on its
  // own. Nothing more of it reaches the server, and the commit becomes a rollback.
  DbError first;
  ASSERT_TRUE(c->BeginTrans(err)) << err.text;
  ASSERT_TRUE(c->Execute("INSERT INTO kassea (bunr) VALUES (1)", err)) << err.text;
  EXPECT_FALSE(c->Execute("UPDATE kass SET tisch = 1", err));
  EXPECT_TRUE(IsLockConflict(err)) << err.text;
  EXPECT_FALSE(c->Execute("INSERT INTO kassea (bunr) VALUES (2)", err));
  EXPECT_EQ(err.number, 1205) << err.text;
  EXPECT_FALSE(c->Query("SELECT bunr FROM kassea", err));
  EXPECT_TRUE(c->TransactionFailure(first));
  EXPECT_TRUE(IsLockConflict(first)) << first.text;
  EXPECT_FALSE(c->CommitTrans(err));
  for (const auto& b : server.Events("batch")) {
    EXPECT_EQ(b.at("sql").find("VALUES (2)"), std::string::npos) << "sent after the deadlock";
    EXPECT_EQ(b.at("sql").find("SELECT bunr"), std::string::npos) << "sent after the deadlock";
  }
  EXPECT_EQ(server.Events("transaction").back().at("request"), "rollback");
  ASSERT_TRUE(c->BeginTrans(err)) << err.text;  // the session goes on with the next transaction
  EXPECT_TRUE(c->Execute("INSERT INTO kassea (bunr) VALUES (3)", err)) << err.text;
  EXPECT_TRUE(c->CommitTrans(err)) << err.text;

  // Bytes without a character in Windows-1252 are refused in plain words, and the session goes on.
  for (const char bad : {'\x81', '\x8D', '\x8F', '\x90', '\x9D'}) {
    EXPECT_FALSE(c->Execute(std::string("INSERT INTO syslog (txt) VALUES ('Tisch ") + bad + "5')", err));
    EXPECT_NE(err.text.find("nicht belegt"), std::string::npos) << err.text;
    EXPECT_EQ(err.text.find(bad), std::string::npos) << "the message itself must be storable";
  }
  EXPECT_TRUE(c->Execute("INSERT INTO syslog (txt) VALUES ('Grüße € 5')", err)) << err.text;
  std::vector<std::string> batches;
  for (const auto& b : server.Events("batch")) batches.push_back(b.at("sql"));
  EXPECT_EQ(batches.back(), Cp1252ToUtf8("INSERT INTO syslog (txt) VALUES ('Grüße € 5')"));
  for (const std::string& b : batches) EXPECT_EQ(b.find("Tisch"), std::string::npos) << b;

  // A session the server drops is opened again by a later statement; the
  // statement that met the break is not repeated.
  EXPECT_EQ(c->Query("SELECT 'weg'", err), nullptr);
  clock.SleepMs(5200);  // the pause between two attempts
  EXPECT_TRUE(c->Execute("UPDATE system SET booltest = 0", err)) << err.text;
  EXPECT_EQ(server.Events("login").size(), 2u);
  size_t dropped = 0;
  for (const auto& b : server.Events("batch")) dropped += b.at("sql") == "SELECT 'weg'" ? 1 : 0;
  EXPECT_EQ(dropped, 1u);
}

// The start-up asked to end while the log-in waited goes no further: no
// log-in to the master database, nothing created.
TEST(FreeTdsStandin, AStopDuringTheLogInEndsTheStartUp) {
  if (PgRun()) GTEST_SKIP() << "runs in the default registration";
  TdsStandin server("no-database");
  ASSERT_TRUE(server.started());
  tolven::testing::TempDir dir;
  tolven::testing::WriteAll(dir / "TOLVEN.INI", "[DATABASE]\r\nENGINE=MSSQL\r\nSERVER=" + server.server() +
                                                    "\r\nUSER=kasse\r\nPWD=geheim\r\n[PFADE]\r\nEXE=" + dir.path() +
                                                    "/\r\n");
  tolven::testing::FakeEnv env;
  tolven::testing::FakeUi ui;
  Startup start(env, ui, dir.path());
  StartupState state;
  ASSERT_EQ(start.ReadConfiguration(state, false), kExitOk);
  std::unique_ptr<Connection> connection;
  platform::RequestStop();
  EXPECT_EQ(start.OpenServerConnection(state, connection), kExitNoDatabase);
  platform::ResetStop();
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(server.Events("login").size(), 1u);
  EXPECT_FALSE(ui.HasMessage("wurde nicht gefunden"));

  // Without the stop the missing database is created through the master database.
  EXPECT_EQ(start.OpenServerConnection(state, connection), kExitNoDatabase);
  EXPECT_TRUE(ui.HasMessage("wurde nicht gefunden"));
  EXPECT_GT(server.Events("login").size(), 2u);
}

}  // namespace
}  // namespace tolven::db
