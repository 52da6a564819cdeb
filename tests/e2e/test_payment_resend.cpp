// A payment from a terminal is answered "OK" only when its receipt was stored,
// with the real gateway and TSE server stand-in: killed after the payment's
// commit, the restarted gateway answers the terminal's resend "OK" without a
// second receipt; a card payment on a table paid already is refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "e2e/installation.h"

namespace tolven::testing {
namespace {

TEST(PaymentEndToEnd, KilledAfterTheCommitTheResendIsAnsweredOkAndAPaidTableRefused) {
  Installation inst;
  ASSERT_EQ(inst.InitDb(), 0) << ReadAll(inst.dir / "init.log");
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "'");
  inst.AddEveningData();
  // Lines the kitchen has had: the payment goes straight to its receipt.
  inst.Sql(
      "INSERT INTO bestellung (tisch, kanr, artnr, artbez, menge, epreis, haskuebon) VALUES "
      "(60, 3, '10', 'Weißbier 0,5', 2, 420, -1)");
  // The stored receipt waits for its signature: the moment of the kill.
  ChildProcess sim(kTseSim, {"--delay", "10000"}, inst.env, inst.dir / "tse-sim.log");
  auto gateway = std::make_unique<ChildProcess>(kGateway, std::vector<std::string>{}, inst.env, inst.dir / "1.log");
  inst.Drop("pda1", "info.txt", "EC;60;3;1\r\n");
  ASSERT_TRUE(WaitFor([&] { return inst.Scalar("SELECT COUNT(*) FROM kass") == "1"; }, kEventWaitMs));
  gateway->Signal(SIGKILL);
  gateway->Wait(10000);
  // No answer came: the terminal sends the same request again.
  inst.Drop("pda1", "info.txt", "EC;60;3;1\r\n");
  gateway = std::make_unique<ChildProcess>(kGateway, std::vector<std::string>{}, inst.env, inst.dir / "2.log");
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(inst.dir / "pda1/info.kas"); }, 30000));
  EXPECT_EQ(ReadAll(inst.dir / "pda1/info.kas") + inst.Scalar("SELECT COUNT(*) FROM kass"), "OK\r\n1");
  // Answered, the table is paid: a card payment on it is refused, and so is the same request sent later.
  for (const char* again : {"VISA;60;3;", "EC;60;3;1"}) {
    EXPECT_EQ(inst.Ask("pda1", again), "ERR;Tisch 60 hat keine offenen Positionen.\r\n") << again;
  }
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM kass"), "1");
  EXPECT_EQ(gateway->Stop(20000), 0);
}

}  // namespace
}  // namespace tolven::testing
