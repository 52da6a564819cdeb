// What a path names: the exchange-file hand-over decides by it without
// opening anything.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/env.h"
#include "support/fake_env.h"

namespace tolven::testing {
namespace {

TEST(FileInfo, KindSizeAndTimeWithoutOpening) {
  TempDir dir;
  platform::Env& env = platform::DefaultEnv();
  WriteAll(dir / "f", "12345");
  const platform::FileInfo file = env.GetFileInfo(dir / "f");
  EXPECT_EQ(file.kind, platform::FileKind::Regular);
  EXPECT_EQ(file.size, 5);
  EXPECT_GT(file.mtimeNs, 0);
  EXPECT_EQ(env.GetFileInfo(dir.path()).kind, platform::FileKind::Folder);
  ASSERT_EQ(::mkfifo((dir / "p").c_str(), 0600), 0);
  EXPECT_EQ(env.GetFileInfo(dir / "p").kind, platform::FileKind::Other);  // never opened: that would block
  EXPECT_EQ(env.GetFileInfo(dir / "fehlt").kind, platform::FileKind::Missing);
  EXPECT_EQ(env.GetFileInfo("").kind, platform::FileKind::Missing);
}

}  // namespace
}  // namespace tolven::testing
