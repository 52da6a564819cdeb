// The SQL Server engine through the real FreeTDS driver against the stand-in
// server of tests/tds_server.py, which logs what the driver really sends.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <sstream>
#include <thread>

#include "common/cp1252.h"
#include "db/odbc_connection.h"
#include "fiscal/tse.h"
#include "gateway/order_booking.h"
#include "gateway/running_log.h"
#include "loop/event_loop.h"
#include "support/process.h"
#include "support/scripted_tse.h"
#include "support/test_db.h"

namespace tolven::testing {
namespace {

using db::OdbcTarget;

// Started on a free port of 127.0.0.1. mode: "normal" or "silent"; script:
// lines "regular expression<TAB>answer".
class TdsStandin {
 public:
  explicit TdsStandin(const std::string& mode, const std::string& script = "") {
    WriteAll(dir_ / "script", script);
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/python3",
        std::vector<std::string>{TOLVEN_SOURCE_DIR "/tests/tds_server.py", "--port-file", dir_ / "port", "--log",
                                 dir_ / "log", "--script", dir_ / "script", "--mode", mode},
        std::map<std::string, std::string>{}, dir_ / "output");
    WaitFor([&] { return std::filesystem::exists(dir_ / "port"); }, 10000);
    port_ = ReadAll(dir_ / "port");
    EXPECT_NE(port_, "") << "the stand-in did not start: " << ReadAll(dir_ / "output");
  }
  OdbcTarget Target(const std::string& user = "kasse", const std::string& password = "geheim") const {
    return {db::OdbcEngine::SqlServer, "", "127.0.0.1," + port_, user, password, "tolven", "", "", ""};
  }
  // The log lines (one JSON object each, UTF-8 as it is) that hold the piece.
  std::vector<std::string> Lines(const std::string& piece) const {
    std::vector<std::string> out;
    std::istringstream log(ReadAll(dir_ / "log"));
    for (std::string line; std::getline(log, line);)
      if (line.find(piece) != std::string::npos) out.push_back(line);
    return out;
  }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  std::string port_;
};

// The stand-in does not depend on the engine under test: the PostgreSQL
// registration of this program leaves it to the default one.
TEST(FreeTdsStandin, LogInsErrorsRefusedBytesTransactionsADropAndASilentServer) {
  if (TestEngine() == "POSTGRESQL") GTEST_SKIP() << "runs in the default registration";
  TdsStandin server("normal", "UPDATE kass\terror 1205 13 Deadlock victim\nSELECT 'weg'\tclose\n");
  // Log-ins reach the server as typed; "};" cannot be written for FreeTDS: refused, nothing sent.
  const std::vector<std::pair<std::string, std::string>> logins = {
      {"a;b=c", "p}w;x"}, {"k}", " {ende} "}, {"müller", "Grüße"}};
  for (const auto& [user, password] : logins) {
    auto opened = db::OpenOdbc(server.Target(user, password), 5);
    EXPECT_TRUE(opened) << user << ": " << opened.status().message();
  }
  EXPECT_EQ(server.Lines(R"("event": "login", "tds": "7.4")").size(), logins.size());
  for (const auto& [user, password] : logins) {
    const std::string seen = R"("user": ")" + user + R"(", "password": ")" + password + R"(", "app": "tolvenpda")";
    EXPECT_EQ(server.Lines(Cp1252ToUtf8(seen)).size(), 1u) << seen;
  }
  db::OpenFailure failure = db::OpenFailure::Other;
  auto refused = db::OpenOdbc(server.Target("a};b", "x"), 5, platform::DefaultEnv(), &failure);
  ASSERT_FALSE(refused);
  EXPECT_EQ(failure, db::OpenFailure::BadLogin) << refused.status().message();
  EXPECT_NE(refused.status().message().find("'};'"), std::string::npos) << refused.status().message();
  // FreeTDS sends the log-in as Latin-1: "€" and the rest of 80 to 9F hex would arrive as other characters.
  refused = db::OpenOdbc(server.Target("kasse", "5€"), 5);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.status().message().find("Das Passwort enthält ein Zeichen wie"), std::string::npos)
      << refused.status().message();
  EXPECT_EQ(server.Lines(R"("connect")").size(), logins.size());

  FakeEnv clock;  // times the pause before a lost session is opened again
  auto opened = db::OpenOdbc(server.Target(), 5, clock);
  ASSERT_TRUE(opened) << opened.status().message();
  std::unique_ptr<db::Connection> c = std::move(*opened);

  // The driver opens the transaction itself; the lock statement adds no second level.
  ASSERT_TRUE(c->BeginTrans());
  EXPECT_EQ(server.Lines("sp_getapplock").size(), 1u);
  EXPECT_EQ(server.Lines("IF @@TRANCOUNT = 0 BEGIN TRANSACTION").size(), 1u);
  // A deadlock victim's whole transaction is over on the server; the driver
  // would send the next statement outside any transaction, committed on its
  // own. Nothing more of it reaches the server, and the commit becomes a rollback.
  Status failed = c->Execute("UPDATE kass SET tisch = 1");
  EXPECT_TRUE(failed.IsConflict()) << failed.message();
  failed = c->Execute("INSERT INTO kassea (bunr) VALUES (2)");
  EXPECT_EQ(failed.code(), 1205) << failed.message();
  EXPECT_FALSE(c->TransactionFailure());
  EXPECT_FALSE(c->CommitTrans());
  EXPECT_TRUE(server.Lines("VALUES (2)").empty());
  EXPECT_EQ(server.Lines(R"("request")").back(), R"({"event": "transaction", "request": "rollback"})");

  // Bytes without a character in Windows-1252 are refused in plain words, and the session goes on.
  for (const char bad : {'\x81', '\x8D', '\x8F', '\x90', '\x9D'}) {
    const Status refusedText = c->Execute(std::string("INSERT INTO syslog (txt) VALUES ('Tisch ") + bad + "5')");
    EXPECT_NE(refusedText.message().find("nicht belegt"), std::string::npos) << refusedText.message();
    EXPECT_EQ(refusedText.message().find(bad), std::string::npos) << "the message itself must be storable";
  }
  EXPECT_TRUE(c->Execute("INSERT INTO syslog (txt) VALUES ('Grüße € 5')"));
  EXPECT_EQ(server.Lines(R"("batch")").back(),
            Cp1252ToUtf8(R"x({"event": "batch", "sql": "INSERT INTO syslog (txt) VALUES ('Grüße € 5')"})x"));
  EXPECT_TRUE(server.Lines("Tisch").empty());

  // A dropped session is opened again by a later statement; the one that met the break is not repeated.
  EXPECT_FALSE(c->Query("SELECT 'weg'"));
  clock.SleepMs(5200);  // the pause between two attempts
  failed = c->Execute("UPDATE system SET booltest = 0");
  EXPECT_TRUE(failed) << failed.message();
  EXPECT_EQ(server.Lines(R"("login")").size(), logins.size() + 2);
  EXPECT_EQ(server.Lines("SELECT 'weg'").size(), 1u);

  // A server that accepts and stays silent fails the log-in as unreachable.
  TdsStandin silent("silent");
  // In a thread of its own, so a driver that hangs fails the test instead of the run.
  std::packaged_task<db::OpenFailure()> open([target = silent.Target()] {
    db::OpenFailure why = db::OpenFailure::Other;
    auto none = db::OpenOdbc(target, 2, platform::DefaultEnv(), &why);  // no TDS version: the default must time out too
    EXPECT_FALSE(none);
    return why;
  });
  auto silentOpen = open.get_future();
  std::thread(std::move(open)).detach();
  ASSERT_EQ(silentOpen.wait_for(std::chrono::seconds(90)), std::future_status::ready) << "the log-in waits for ever";
  EXPECT_EQ(silentOpen.get(), db::OpenFailure::Unreachable);
  EXPECT_EQ(silent.Lines(R"("connect")").size(), 1u);
}

// A deadlock on an order's second line, and again on the whole order's second
// try: nothing of it is committed and the terminal is asked to send it again;
// the resend commits every line once.
TEST(FreeTdsStandin, AnOrderMetByDeadlocksIsCommittedWholeOnceByItsResend) {
  if (TestEngine() == "POSTGRESQL") GTEST_SKIP() << "runs in the default registration";
  TestDb local;  // the clock, the messages and the exchange folder
  const std::string folder = local.folder() + "/";
  TdsStandin server("normal", "FROM system\trow pfadppcsync1=" + folder +
                                  "\nFROM artikel\trow artbez=Artikel;artgrp=1;vkpreis=100\n"
                                  "INSERT INTO bestellung.*'20'\t2*error 1205 13 Transaction was deadlocked\n");
  auto opened = db::OpenOdbc(server.Target(), 5, local.env());
  ASSERT_TRUE(opened) << opened.status().message();
  std::unique_ptr<db::Connection> conn = std::move(*opened);
  loop::EventLoop loop(local.env());
  db::StationContext tools(*conn, local.state(), loop, local.ui());
  ScriptedTseServer tseServer;
  fiscal::Tse tse(tools, tseServer, fiscal::TseIdentity{});
  gateway::RunningLog log(loop, local.ui());
  gateway::TerminalExchange exchange(tools, log);
  exchange.Load();
  gateway::OrderBooking orders(tools, tse, exchange, log, nullptr, nullptr);
  for (const char* answer :
       {" +++ Bestellung nicht gespeichert: Datenbank ist belegt, bitte erneut senden.\r\n", "OK\r\n"}) {
    WriteAll(folder + "bestell.txt", "A;12;3\r\nD;10;1\r\nD;20;1\r\nD;30;1\r\nE;;\r\n");
    orders.ProcessOrderFile(1);
    EXPECT_EQ(ReadAll(folder + "confirm.kas"), answer);
  }
  std::string pending, committed;  // the inserts a commit ends
  for (const std::string& line : server.Lines("")) {
    if (line.find("INSERT INTO bestellung") != std::string::npos) pending += line.substr(line.find("'"), 4);
    if (line.find(R"("request": "commit")") != std::string::npos) committed += pending;
    if (line.find(R"("request": ")") != std::string::npos) pending.clear();
  }
  EXPECT_EQ(committed, "'10''20''30'");
}

}  // namespace
}  // namespace tolven::testing
