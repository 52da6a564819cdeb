// Two stations on one PostgreSQL database, as an installation with two
// registers runs them: two real gateways (KASSNR 1 and 2) with their own
// configuration, installation and exchange folders, one TSE server stand-in,
// and terminals that order and settle at both stations at the same time, round
// after round, both on the same tables at the same time. Afterwards every
// number that must be unique is, every receipt is whole and signed, the
// ledgers add up and nothing is lost.
#include <gtest/gtest.h>
#include <signal.h>

#include <barrier>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "common/text.h"
#include "db/station_context.h"
#include "e2e/installation.h"
#include "support/fake_env.h"
#include "support/money_invariants.h"
#include "support/pg_server.h"
#include "support/process.h"

namespace tolven::testing {
namespace {

constexpr int kWaitMs = 30000;

// Stations are different machines with file systems of their own: each
// gateway runs from its own copy of the program (the request work files live
// in the program folder) in its own installation folder, and the exchange
// folder named in `system` ("pda") is relative to it.
class Station {
 public:
  Station(const TempDir& root, int kasse, const std::string& database) : kasse_(kasse) {
    dir_ = root / ("station" + std::to_string(kasse));
    for (const char* d : {"etc", "pda", "out", "bin"}) std::filesystem::create_directories(dir_ + "/" + d);
    std::filesystem::copy_file(kGateway, dir_ + "/bin/tolvenpda");
    const db::OdbcTarget t = PgTarget(database);
    WriteAll(dir_ + "/etc/TOLVEN.INI", "[DATABASE]\r\nENGINE=POSTGRESQL\r\nODBCDRIVER=" + t.driver +
                                           "\r\nSERVER=" + t.server + "\r\nUSER=" + t.user +
                                           "\r\nPWD=station\r\nCATALOG=" + database + "\r\n[PFADE]\r\nEXE=" + dir_ +
                                           "\r\n[SETUP]\r\nKASSNR=" + std::to_string(kasse) + "\r\n");
  }

  void Start() {
    // exec keeps the process id, so the signals reach the gateway itself.
    const std::vector<std::string> args = {"-c", "cd '" + dir_ + "' && exec bin/tolvenpda"};
    process_ = std::make_unique<ChildProcess>(
        "/bin/sh", args, std::map<std::string, std::string>{{"TOLVEN_WINDIR", dir_ + "/etc"}}, dir_ + "/gateway.log");
  }
  int Stop() {
    process_->Signal(SIGTERM);
    return process_->Wait(10000);
  }

  std::string Exchange(const std::string& name, const std::string& contents, const std::string& answerName) {
    return TerminalExchange(dir_ + "/pda", name, contents, answerName, kWaitMs);
  }

  const std::string& dir() const { return dir_; }
  int kasse() const { return kasse_; }

 private:
  int kasse_;
  std::string dir_;
  std::unique_ptr<ChildProcess> process_;
};

// Both stations and the TSE server stand-in they share, started; Stop ends
// them all and gives both gateways' logs.
class TwoStations {
 public:
  TwoStations(const TempDir& root, const std::string& database)
      : one(root, 1, database), two(root, 2, database), sim_(kTseSim, {}, SimEnv(root, one), root / "tse-sim.log") {
    one.Start();
    two.Start();
  }

  std::string Stop() {
    EXPECT_EQ(one.Stop(), 0);
    EXPECT_EQ(two.Stop(), 0);
    sim_.Signal(SIGTERM);
    EXPECT_EQ(sim_.Wait(10000), 0);
    return ReadAll(one.dir() + "/gateway.log") + ReadAll(two.dir() + "/gateway.log");
  }

  Station one, two;

 private:
  static std::map<std::string, std::string> SimEnv(const TempDir& root, const Station& station) {
    std::filesystem::create_directories(root / "sim");
    WriteAll(root / "sim/TOLVEN.INI", ReadAll(station.dir() + "/etc/TOLVEN.INI"));
    return {{"TOLVEN_WINDIR", root / "sim"}};
  }

  ChildProcess sim_;
};

class MultiStation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PgConfigured()) GTEST_SKIP() << "TOLVEN_TEST_PG is not set: scripts/test starts a server (scripts/pg-cluster)";
    database_ = UniquePgDatabaseName("multistation");
    std::string error;
    ASSERT_TRUE(CreatePgDatabase(database_, true, error)) << error;
    conn_ = OpenPg(database_, error);
    ASSERT_TRUE(conn_) << error;
  }
  void TearDown() override {
    conn_.reset();
    if (!database_.empty()) DropPgDatabase(database_);
  }

  void Sql(const std::string& sql) {
    const Status done = conn_->Execute(sql);
    ASSERT_TRUE(done) << sql << ": " << done.message();
  }
  // Every row, each as its fields.
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    auto rs = conn_->Query(sql);
    std::vector<std::vector<std::string>> out;
    if (!rs) ADD_FAILURE() << sql << ": " << rs.status().message();
    for (; rs && !rs->Eof(); rs->MoveNext()) {
      out.emplace_back();
      for (size_t i = 0; i < rs->ColumnCount(); ++i) out.back().push_back(rs->Raw(i).AsString());
    }
    return out;
  }
  std::string Scalar(const std::string& sql) {
    auto rows = Rows(sql);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
  }

  // The installation both stations share: printers that are files in each
  // station's folder, two articles, a waiter and a regular with an account.
  void SetUpInstallation() {
    Sql("UPDATE system SET pfadppcsync1 = 'pda', kuebonport1 = 'FILE:out/kueche.txt', "
        "kuebonport2 = 'FILE:out/theke.txt', bondruckport = 'FILE:out/bon.txt'");
    Sql("INSERT INTO artgrp (artgrp, kueprt) VALUES (1, 2), (2, 1)");
    Sql("INSERT INTO kueprtparam (drucker, name, kopien) VALUES (1, 'Küche', 1), (2, 'Theke', 1)");
    Sql("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES "
        "('10', 'Weißbier 0,5', 1, 420, 0, 1), ('20', 'Schnitzel', 2, 1390, 1, 2)");
    Sql("INSERT INTO belaege (belnr, belbez, preis1) VALUES (5, 'Pommes', 150)");
    Sql("INSERT INTO kassi (kanr, name, schluesselnr) VALUES (3, 'Jürgen', '1')");
    Sql("INSERT INTO kunden (kdnr, cardno, \"limit\", name) VALUES (100, '4711', 10000000, 'Stammtisch')");
  }

  std::string database_;
  std::unique_ptr<db::Connection> conn_;
};

// Both stations order on the same few tables and settle them at the same
// time: whole and in part, in cash, by card and on the shared account. Every
// line is settled at most once, a line booked during a settlement stays open,
// and a refused settlement stores nothing.
TEST_F(MultiStation, TwoGatewaysOrderOnAndSettleTheSameTables) {
  constexpr int kSharedRounds = 16;
  constexpr int kLinesPerOrder = 3;
  const int32_t kTables[] = {61, 62, 63};
  TempDir root;
  SetUpInstallation();
  // One article per order line, so that every line can be traced to its receipt.
  std::vector<std::string> articles;
  std::string values;
  for (int kasse = 1; kasse <= 2; ++kasse) {
    for (int round = 1; round <= kSharedRounds; ++round) {
      for (int line = 1; line <= kLinesPerOrder; ++line) {
        const std::string artnr =
            "K" + std::to_string(kasse) + "R" + std::to_string(round) + "L" + std::to_string(line);
        articles.push_back(artnr);
        values += std::string(values.empty() ? "" : ", ") + "('" + artnr + "', 'Artikel " + artnr + "', " +
                  std::to_string(line == 2 ? 2 : 1) + ", " + std::to_string(100 + 7 * round + line) + ", 0, " +
                  std::to_string(line == 3 ? 2 : 1) + ")";
      }
    }
  }
  Sql("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES " + values);

  TwoStations stations(root, database_);
  Station &one = stations.one, &two = stations.two;

  std::mutex mu;
  std::vector<std::string> problems;
  std::map<std::string, int> outcomes;
  std::barrier sync(2);
  auto work = [&](Station& s) {
    for (int round = 1; round <= kSharedRounds; ++round) {
      const std::string table = std::to_string(kTables[round % 3]);
      const std::string where = "Kasse " + std::to_string(s.kasse()) + " Runde " + std::to_string(round) + ": ";
      std::string order = "A;" + table + ";3\r\n";
      for (int line = 1; line <= kLinesPerOrder; ++line) {
        order +=
            "D;K" + std::to_string(s.kasse()) + "R" + std::to_string(round) + "L" + std::to_string(line) + ";1;;\r\n";
      }
      order += "E;;\r\n";
      // Both order at once, look at the table at once and settle at once;
      // every third round the second station orders only while the first one
      // settles.
      const bool late = s.kasse() == 2 && round % 3 == 0;
      std::string confirm;
      sync.arrive_and_wait();
      if (!late) confirm = s.Exchange("bestell.txt", order, "confirm.kas");
      sync.arrive_and_wait();
      const std::string someIds = EverySecondId(s.Exchange("info.txt", "TISCH;" + table + ";3\r\n", "info.kas"));
      sync.arrive_and_wait();
      if (late) confirm = s.Exchange("bestell.txt", order, "confirm.kas");
      // Whole in cash, in part in cash, on the account, in part by card.
      std::string request;
      switch ((round + s.kasse()) % 4) {
        case 0: request = "ABRECHNEN;" + table + ";3;"; break;
        case 2: request = "KUKA;" + table + ";3;4711"; break;
        default: request = std::string(round % 2 ? "ABRECHNEN;" : "VISA;") + table + ";3;" + someIds; break;
      }
      const std::string paid = s.Exchange("info.txt", request + "\r\n", "info.kas");
      std::lock_guard<std::mutex> lock(mu);
      if (confirm != "OK\r\n") problems.push_back(where + "Bestellung " + confirm);
      if (paid == "OK\r\n") {
        ++outcomes["OK"];
      } else if (paid.rfind("ERR;", 0) == 0 && paid.size() > 6) {
        ++outcomes[paid.substr(0, paid.size() - 2)];
      } else {
        problems.push_back(where + request + " -> " + paid);
      }
    }
  };
  std::thread t1(work, std::ref(one)), t2(work, std::ref(two));
  t1.join();
  t2.join();
  const std::string logs = stations.Stop();
  for (const auto& p : problems) ADD_FAILURE() << p;
  std::string summary;
  for (const auto& [answer, n] : outcomes) summary += answer + ": " + std::to_string(n) + "\n";
  SCOPED_TRACE(summary);

  for (const std::string& violation : CheckMoneyInvariants(*conn_, articles)) ADD_FAILURE() << violation;
  // Both stations settled, each line open or on exactly one receipt (the checker).
  EXPECT_GE(outcomes["OK"], kSharedRounds) << logs;
  EXPECT_NE(Scalar("SELECT COUNT(*) FROM kass WHERE kasse = 1"), "0");
  EXPECT_NE(Scalar("SELECT COUNT(*) FROM kass WHERE kasse = 2"), "0");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM bestellung WHERE gast = 99"), "0");
  // Every order and every receipt signed, nothing left with the TSE server,
  // each receipt archived in its own station's folder.
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM tse_bestellungen WHERE tse_signatur <> ''"),
            std::to_string(2 * kSharedRounds));
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM kass WHERE COALESCE(tse_signatur, '') = ''"), "0");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM tse_server_req") + Scalar("SELECT COUNT(*) FROM tse_server_ans"), "00");
  // Each line reached the kitchen paper of the two stations exactly once, and
  // each order transaction signed exactly its own order's lines.
  const std::string n = std::to_string(articles.size());
  EXPECT_EQ(Scalar("SELECT COUNT(*) || '/' || COUNT(DISTINCT artnr) FROM kuebonlog"), n + "/" + n);
  std::set<std::string> signedOrders;
  for (const auto& r : Rows("SELECT tse_processdata FROM tse_bestellungen")) {
    std::set<std::string> orders;
    for (size_t at = r[0].find("Artikel K"); at != std::string::npos; at = r[0].find("Artikel K", at + 1))
      orders.insert(r[0].substr(at + 8, r[0].find('L', at + 8) - at - 8));
    EXPECT_TRUE(orders.size() == 1 && Occurrences(r[0], "Artikel K") == kLinesPerOrder) << r[0];
    EXPECT_TRUE(orders.empty() || signedOrders.insert(*orders.begin()).second) << "signed twice: " << r[0];
  }
  for (const auto& r : Rows("SELECT bunr, kasse FROM kass")) {
    const std::string archive = ReadAll(root / ("station" + r[1] + "/ARCHIV/BON/BON" + r[0] + ".BON"));
    EXPECT_NE(archive.find("###CRC:"), std::string::npos) << "receipt " << r[0] << " of station " << r[1];
  }
}

}  // namespace
}  // namespace tolven::testing
