#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tolven::testing
