// The real gateway as it is installed and run as a service: signals during a
// settlement, the journal, and a database the service user
// cannot write. (A whole evening as the service user: test_gateway_e2e.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>

#include "common/cp1252.h"
#include "e2e/installation.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

// One beer ordered and settled from terminal 1 while the TSE server takes its
// time; `during` runs once the receipt (the n-th) is committed and not yet signed.
void SettleWhileSigning(Installation& inst, int n, const std::function<void()>& during) {
  ASSERT_EQ(inst.Drop("pda1", "bestell.txt", "A;12;3\r\nD;10;1;;\r\nE;;\r\n", "confirm.kas"), "OK\r\n")
      << ReadAll(inst.dir / "gateway.log");
  fs::remove(inst.dir / "pda1/info.kas");
  inst.Drop("pda1", "info.txt", "ABRECHNEN;12;3;\r\n");
  const std::string last = "SELECT COALESCE(tse_signatur, '') FROM kass ORDER BY bunr DESC LIMIT 1";
  ASSERT_TRUE(WaitFor([&] { return inst.Scalar("SELECT COUNT(*) FROM kass") == std::to_string(n); }, 30000))
      << ReadAll(inst.dir / "gateway.log");
  ASSERT_EQ(inst.Scalar(last), "") << "the TSE answered too soon";
  during();
  ASSERT_TRUE(WaitFor([&] { return fs::exists(inst.dir / "pda1/info.kas"); }, 30000))
      << ReadAll(inst.dir / "gateway.log");
  EXPECT_EQ(ReadAll(inst.dir / "pda1/info.kas"), "OK\r\n");
  EXPECT_NE(inst.Scalar(last), "");
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM bestellung"), "0");
}

// The service manager's side of the notification socket, bound by the test.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
    const timeval tv{0, 200000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() { ::close(fd_); }
  bool bound() const { return bound_; }
  // Collects messages until one contains `what` or the time is up.
  bool WaitFor(const std::string& what, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
      char buf[512];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      received += std::string(buf, static_cast<size_t>(n)) + "|";
      if (std::string(buf, static_cast<size_t>(n)).find(what) != std::string::npos) return true;
    }
    return false;
  }
  std::string received;

 private:
  int fd_ = -1;
  bool bound_ = false;
};

// Under the service manager: ready, alive and stopping told through the
// notification socket the test binds.
TEST(InstalledGateway, SighupDuringASettlementChangesNothingAndSigtermEndsAfterThePass) {
  Installation inst;
  ASSERT_EQ(inst.InitDb(), 0) << ReadAll(inst.dir / "init.log");
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "'");
  inst.Sql("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES ('10', 'Pils', 1, 380, 0, 1)");
  NotifySocket notify(inst.dir / "notify");
  ASSERT_TRUE(notify.bound());
  auto env = inst.env;
  env["NOTIFY_SOCKET"] = inst.dir / "notify";
  env["WATCHDOG_USEC"] = "400000";
  ChildProcess sim(kTseSim, {"--delay", "1500"}, inst.env, inst.dir / "tse-sim.log");
  ChildProcess gateway(kGateway, {}, env, inst.dir / "gateway.log");
  EXPECT_TRUE(notify.WaitFor("READY=1", 20000)) << notify.received << ReadAll(inst.dir / "gateway.log");
  // Pings keep coming while the loop only waits for terminals.
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", 5000)) << notify.received;
  notify.received.clear();
  EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", 5000)) << notify.received;
  SettleWhileSigning(inst, 1, [&] { gateway.Signal(SIGHUP); });
  EXPECT_EQ(gateway.Wait(500), -1) << "SIGHUP ended the gateway";
  // Nor does any other signal whose default would end the process.
  for (int sig : {SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGPWR, SIGRTMIN + 3}) gateway.Signal(sig);
  EXPECT_EQ(gateway.Wait(500), -1) << "a signal ended the gateway";

  // SIGTERM in the same place (the gateway still takes orders): the pass ends
  // with the receipt signed and the answer written, then the gateway ends
  // with status 0.
  SettleWhileSigning(inst, 2, [&] { gateway.Signal(SIGTERM); });
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", 10000)) << notify.received;
  EXPECT_EQ(gateway.Wait(10000), 0);
  sim.Signal(SIGTERM);
  EXPECT_NE(ReadAll(inst.dir / "gateway.log").find("Orderterminal-Gateway beendet."), std::string::npos);
}

// Standard error connected to the journal: a critical message box is an error
// entry ("<3>", journalctl -p err), each of its lines; elsewhere lines stay plain.
TEST(InstalledGateway, MessagesReachTheJournalWithTheirPriority) {
  Installation inst;  // no database: the start ends with a critical message box
  WriteAll(inst.dir / "journal.log", "");
  struct stat st {};
  ASSERT_EQ(::stat((inst.dir / "journal.log").c_str(), &st), 0);
  auto env = inst.env;
  env["JOURNAL_STREAM"] = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  EXPECT_EQ(RunProgram(kGateway, {}, env, inst.dir / "journal.log"), 4);
  const std::string journal = ReadAll(inst.dir / "journal.log");
  EXPECT_NE(journal.find("<3>[Kritisch] TOLVENPDA: Die Datenbank-Datei"), std::string::npos) << journal;
  EXPECT_NE(journal.find("\n<3>    Legen Sie sie mit"), std::string::npos) << journal;
  EXPECT_NE(journal.find("<6>[Start] Lese INI..."), std::string::npos) << journal;

  EXPECT_EQ(RunProgram(kGateway, {}, inst.env, inst.dir / "console.log"), 4);
  EXPECT_EQ(ReadAll(inst.dir / "console.log").find('<'), std::string::npos) << ReadAll(inst.dir / "console.log");
}

// --- run as the service user ---------------------------------------------------

class AsServiceUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the gateway as an unprivileged user";
    if (!fs::exists(kSetpriv)) GTEST_SKIP() << kSetpriv << " is missing";
    inst_.InstallAsService();
  }
  Installation inst_;
};

TEST_F(AsServiceUser, ADatabaseTheServiceUserCannotWriteEndsWithItsOwnMessage) {
  ASSERT_EQ(inst_.InitDb(), 0) << ReadAll(inst_.dir / "init.log");  // as root: the file stays root's
  for (const char* d : {"etc", "kasse"}) GiveToServiceUser(inst_.dir / d);
  EXPECT_EQ(inst_.Run(inst_.gateway, {}, "gateway.log"), 8);
  const std::string out = Utf8ToCp1252(ReadAll(inst_.dir / "gateway.log"));
  EXPECT_NE(out.find("Die Datenbank-Datei '" + inst_.dir / "data/tolven.db" + "' kann nicht beschrieben werden"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Unbekanntes Datumsformat"), std::string::npos);
  EXPECT_EQ(inst_.Run(inst_.gateway, {"--check"}, "check.log"), 10);
  EXPECT_NE(ReadAll(inst_.dir / "check.log").find("FEHLER  Datenbank: kann nicht beschrieben werden"),
            std::string::npos)
      << ReadAll(inst_.dir / "check.log");
}

}  // namespace
}  // namespace tolven::testing
