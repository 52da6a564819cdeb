#include <gtest/gtest.h>

#include <filesystem>

#include "platform/daily_log.h"
#include "platform/pending_writes.h"
#include "support/fake_env.h"

namespace tolven::testing {
namespace {

// Pieces that fail wait; a file's later pieces wait behind its earlier ones,
// and all are written, in order, once the file can be written again.
TEST(PendingWrites, KeptUntilWritableAndInTheirOrder) {
  TempDir dir;
  FakeEnv env;
  platform::PendingWrites pending;
  const std::string log = dir / "LOG/tse.log", bon = dir / "BON/BON7.BON";
  env.FailOperation("append", "tse.log");
  EXPECT_FALSE(pending.Append(env, log, "eins\r\n", "TSE-Log").ok());
  env.ClearFaults();
  EXPECT_FALSE(pending.Append(env, log, "zwei\r\n", "TSE-Log").ok()) << "behind the first";
  pending.Keep(bon, "alt", "Archivkopie 7");
  pending.Keep(bon, "neu", "Archivkopie 7");
  env.FailOperation("append", "tse.log");
  ASSERT_EQ(pending.Retry(env).size(), 1u) << "the archive, not the log";
  EXPECT_EQ(ReadAll(bon), "neu");
  env.ClearFaults();
  EXPECT_EQ(pending.Retry(env).size(), 2u);
  EXPECT_EQ(ReadAll(log), "eins\r\nzwei\r\n");
  EXPECT_TRUE(pending.empty());
}

// A service's log: lines given before the folder is known, and while it
// cannot be written, are written once it can (at the latest when the log
// ends), each into the file of the day it was given on.
TEST(DailyLog, LinesWaitForTheirFolderAndGoToTheFileOfTheirDay) {
  TempDir dir;
  FakeEnv env;
  WriteAll(dir / "LOG", "a file where the folder belongs");
  {
    platform::DailyLog log(env);
    env.SetNow({{2026, 12, 31}, 23, 59, 59});
    log.Add("vor dem Ordner");
    log.SetFolder(dir / "LOG");
    log.Add("FEHLER: Ordner nicht beschreibbar");
    env.SetNow({{2027, 1, 1}, 0, 0, 1});
    log.Add("im neuen Jahr");
    std::filesystem::remove(dir / "LOG");
  }
  EXPECT_EQ(ReadAll(dir / "LOG/2026/GATEWAY20261231.LOG"), "vor dem Ordner\r\nFEHLER: Ordner nicht beschreibbar\r\n");
  EXPECT_EQ(ReadAll(dir / "LOG/2027/GATEWAY20270101.LOG"), "im neuen Jahr\r\n");
}

}  // namespace
}  // namespace tolven::testing
