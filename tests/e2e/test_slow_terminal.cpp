// The real gateway and a terminal that writes slowly: an order file that grows
// one line every 400 ms and a request written in two halves, in an exchange
// folder that is a file system of its own where the machine allows mounting one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/installation.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

void Append(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
}

TEST(SlowTerminal, AnOrderWrittenOneLineEvery400MsIsBookedWhole) {
  Installation inst;
  ASSERT_EQ(inst.InitDb(), 0) << ReadAll(inst.dir / "init.log");
  const std::string folder = inst.dir / "pda1";
  const bool mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=4m") == 0;
  struct Unmount {
    std::string path;
    bool active;
    ~Unmount() {
      if (active) ::umount2(path.c_str(), MNT_DETACH);
    }
  } unmount{folder, mounted};
  if (!mounted) std::cout << "[ NOTE     ] tmpfs cannot be mounted here: exchange folder on the disk\n";

  inst.Sql("UPDATE system SET pfadppcsync1 = '" + folder + "', kuebonport1 = 'FILE:" + inst.dir / "out/kueche.txt" +
           "'");
  inst.Sql("INSERT INTO artgrp (artgrp, kueprt) VALUES (1, 1)");
  inst.Sql("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis, belpreis, mwst) VALUES "
           "('10', 'Kaffee', 1, 280, 0, 1), ('20', 'Kuchen', 1, 350, 0, 2)");
  ChildProcess sim(kTseSim, {}, inst.env, inst.dir / "tse-sim.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  ASSERT_TRUE(WaitFor([&] { return ReadAll(inst.dir / "gateway.log").find("gestartet") != std::string::npos; },
                      10000));

  const std::string order = folder + "/bestell.txt";
  const std::string confirm = folder + "/confirm.kas";
  bool answeredEarly = false;
  for (const char* line : {"A;12;3", "D;10;1;;", "D;20;1;;", "D;10;2;;", "D;20;2;;", "E;;"}) {
    answeredEarly = answeredEarly || fs::exists(confirm);
    Append(order, std::string(line) + "\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  EXPECT_FALSE(answeredEarly) << "confirmed before the terminal had finished writing";
  ASSERT_TRUE(WaitFor([&] { return fs::exists(confirm); }, 30000)) << ReadAll(inst.dir / "gateway.log");
  EXPECT_EQ(ReadAll(confirm), "OK\r\n");
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM bestellung WHERE tisch = 12"), "4");
  EXPECT_EQ(inst.Scalar("SELECT SUM(menge) FROM bestellung WHERE tisch = 12"), "6");

  // A request written in two halves is answered for the whole of it.
  const std::string answer = folder + "/info.kas";
  Append(folder + "/info.txt", "TISCH;1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(fs::exists(answer)) << "answered without its line end";
  Append(folder + "/info.txt", "2\r\n");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(answer); }, 30000)) << ReadAll(inst.dir / "gateway.log");
  EXPECT_EQ(ReadAll(answer).size(), 4u * 78) << ReadAll(answer);

  // Nothing of the hand-over was written outside the exchange folder.
  for (const auto& e : fs::directory_iterator(inst.dir / "data")) {
    EXPECT_NE(e.path().filename().string().rfind("ppc", 0), 0u) << e.path();
  }
  gateway.Signal(SIGTERM);
  EXPECT_EQ(gateway.Wait(5000), 0);
}

}  // namespace
}  // namespace tolven::testing
