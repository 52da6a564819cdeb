// Running an installation: backups of the embedded database while the gateway
// works through an evening.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "db/sqlite_connection.h"
#include "e2e/installation.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

// One value of a backup file, read without the gateway's connection.
std::string BackupScalar(const std::string& file, const std::string& sql) {
  auto c = db::OpenSqlite(file, false);
  if (!c) return "(" + c.status().message() + ")";
  auto rs = (*c)->Query(sql);
  if (!rs) return "(" + rs.status().message() + ")";
  return rs->Eof() ? "" : rs->Raw(0).AsString();
}

// Backups taken while two terminals order and pay are each the database as
// it stood at one commit: every receipt with both its lines, every order
// whole; the last one, taken after the evening, holds every receipt.
TEST(Operations, BackupDuringARunningEvening) {
  Installation inst;
  ASSERT_EQ(inst.InitDb(), 0) << ReadAll(inst.dir / "init.log");
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "', pfadppcsync2 = '" + inst.dir / "pda2" +
           "', kuebonport1 = 'FILE:" + inst.dir / "out/kueche.txt" + "', kuebonport2 = 'FILE:" +
           inst.dir / "out/theke.txt" + "', bondruckport = 'FILE:" + inst.dir / "out/bon.txt" + "'");
  inst.AddEveningData();
  auto sim = inst.Start(inst.tseSim, {}, "tse-sim.log");
  auto gateway = inst.Start(inst.gateway, {}, "gateway.log");
  ASSERT_TRUE(
      WaitFor([&] { return ReadAll(inst.dir / "gateway.log").find("gestartet") != std::string::npos; }, kEventWaitMs));

  constexpr int kOrders = 24;
  std::atomic<int> answered{0}, wrong{0};
  std::thread terminals([&] {
    for (int i = 0; i < kOrders; ++i) {
      const std::string order = "A;" + std::to_string(10 + i) + ";3\r\nD;10;1;;\r\nD;20;1;;\r\nE;;A\r\n";
      if (inst.Drop(i % 2 ? "pda2" : "pda1", "bestell.txt", order, "confirm.kas") != "OK\r\n") ++wrong;
      ++answered;
    }
  });
  const std::string backup = inst.dir / "out/sicherung.db";
  int taken = 0;
  while (answered < kOrders || taken < 3) {
    ASSERT_EQ(inst.Run(inst.gateway, {"--backup", backup}, "backup.log"), 0) << ReadAll(inst.dir / "backup.log");
    ++taken;
    EXPECT_NE(ReadAll(inst.dir / "backup.log").find("integrity_check ok"), std::string::npos);
    EXPECT_FALSE(fs::exists(backup + "-wal")) << "the copy is one file";
    EXPECT_EQ(BackupScalar(backup, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(BackupScalar(backup,
                           "SELECT COUNT(*) FROM kass k WHERE (SELECT COUNT(*) FROM kasspro p WHERE "
                           "p.bunr = k.bunr) <> 2"),
              "0");
    EXPECT_EQ(BackupScalar(backup, "SELECT COUNT(*) % 2 FROM bestellung"), "0");
  }
  terminals.join();
  EXPECT_EQ(wrong, 0);
  ASSERT_EQ(inst.Run(inst.gateway, {"--backup", backup}, "backup.log"), 0) << ReadAll(inst.dir / "backup.log");
  EXPECT_EQ(BackupScalar(backup, "SELECT COUNT(*) FROM kass"), std::to_string(kOrders));
  EXPECT_EQ(BackupScalar(backup, "SELECT COUNT(*) FROM kasspro"), std::to_string(2 * kOrders));

  // A folder that cannot take the copy leaves nothing behind; no file name is
  // a wrong call.
  EXPECT_EQ(inst.Run(inst.gateway, {"--backup", inst.dir / "weg/sicherung.db"}, "failed.log"), 13);
  EXPECT_FALSE(fs::exists(inst.dir / "weg"));
  EXPECT_EQ(inst.Run(inst.gateway, {"--backup"}, "usage.log"), 64);
}

}  // namespace
}  // namespace tolven::testing
