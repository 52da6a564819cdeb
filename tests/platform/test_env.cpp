#include "platform/env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "support/fake_env.h"

namespace tolven::platform {
namespace {

using tolven::testing::ReadAll;
using tolven::testing::TempDir;
using tolven::testing::WriteAll;

class PosixEnvTest : public ::testing::Test {
 protected:
  Env& env_ = DefaultEnv();
  TempDir dir_;
};

TEST_F(PosixEnvTest, FilesKeepEveryByteAndAreReplacedWhole) {
  const std::string bytes("Zeile 1\r\n\x80\xFC\0Ende", 15);
  ASSERT_TRUE(env_.WriteFile(dir_ / "f", bytes).ok());
  std::string back;
  ASSERT_TRUE(env_.ReadFile(dir_ / "f", back).ok());
  EXPECT_EQ(back, bytes);
  ASSERT_TRUE(env_.WriteFile(dir_ / "f", "short").ok());  // replaced, not overlaid
  EXPECT_EQ(ReadAll(dir_ / "f"), "short");
  ASSERT_TRUE(env_.AppendFile(dir_ / "log", "a\r\n").ok());  // created when missing
  ASSERT_TRUE(env_.AppendFile(dir_ / "log", "b\r\n").ok());
  EXPECT_EQ(ReadAll(dir_ / "log"), "a\r\nb\r\n");

  ASSERT_TRUE(env_.WriteFileAtomic(dir_ / "f", "new").ok());
  EXPECT_EQ(ReadAll(dir_ / "f"), "new");
  EXPECT_FALSE(env_.WriteFileAtomic(dir_ / "missing/f", "x").ok());
  auto names = env_.ListFiles(dir_.path());  // no temporary file left behind
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"f", "log"}));

  ASSERT_TRUE(env_.RenameFile(dir_ / "log", dir_ / "f").ok());  // the target is replaced
  EXPECT_EQ(ReadAll(dir_ / "f"), "a\r\nb\r\n");
  ASSERT_TRUE(env_.DeleteFile(dir_ / "f").ok());
  EXPECT_FALSE(env_.FileExists(dir_ / "f"));
}

TEST_F(PosixEnvTest, ErrorsNameTheCallAndPathAndKeepTheNumber) {
  std::string contents = "stale";
  Status st = env_.ReadFile(dir_ / "missing", contents);
  EXPECT_EQ(st.osError(), ENOENT);
  EXPECT_NE(st.message().find("open(" + (dir_ / "missing") + ")"), std::string::npos) << st.message();
  EXPECT_EQ(contents, "");
  EXPECT_FALSE(env_.AppendFile(dir_ / "nofolder/x.log", "x").ok());  // no folder is made on the way
  EXPECT_FALSE(env_.FolderExists(dir_ / "nofolder"));
  EXPECT_FALSE(env_.StartProgram(dir_ / "no-such-program", {"x"}).ok());
}

TEST_F(PosixEnvTest, FoldersAndFiles) {
  ASSERT_TRUE(env_.CreateFolder(dir_ / "LOG/2026/TSE/").ok());  // with its parents
  EXPECT_TRUE(env_.CreateFolder(dir_ / "LOG/2026/TSE").ok());  // an existing one is fine
  EXPECT_TRUE(env_.FolderExists(dir_ / "LOG/2026/TSE"));
  EXPECT_FALSE(env_.FileExists(dir_ / "LOG"));  // a folder is no file
  WriteAll(dir_ / "plain", "x");
  EXPECT_FALSE(env_.CreateFolder(dir_ / "plain/sub").ok());
  EXPECT_EQ(env_.ListFiles(dir_.path()), std::vector<std::string>{"plain"});  // folders are left out

  const std::string name = "K\xFC" "che.txt";  // Windows-1252 names are UTF-8 on disk
  ASSERT_TRUE(env_.WriteFile(dir_ / name, "x").ok());
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir_.path()) / "K\xC3\xBC" "che.txt"));
  EXPECT_TRUE(env_.FileExists(dir_ / name));
  auto names = env_.ListFiles(dir_.path());
  EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());

  EXPECT_TRUE(env_.FolderExists(env_.ProgramFolder()));
  EXPECT_NE(env_.ProgramFolder().back(), '/');
}

}  // namespace
}  // namespace tolven::platform
