#include "platform/env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
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

TEST_F(PosixEnvTest, FileExistsOnlyForRegularFiles) {
  WriteAll(dir_ / "a.txt", "x");
  EXPECT_TRUE(env_.FileExists(dir_ / "a.txt"));
  EXPECT_FALSE(env_.FileExists(dir_ / "b.txt"));
  EXPECT_FALSE(env_.FileExists(dir_.path()));  // a folder is no file
  EXPECT_FALSE(env_.FileExists(""));
  EXPECT_FALSE(env_.FileExists(dir_ / "a.txt/x"));
  EXPECT_TRUE(env_.FolderExists(dir_.path()));
  EXPECT_FALSE(env_.FolderExists(dir_ / "a.txt"));
}

TEST_F(PosixEnvTest, ReadWriteAppendKeepBytes) {
  const std::string bytes("Zeile 1\r\n\x80\xFC\0Ende", 15);
  ASSERT_TRUE(env_.WriteFile(dir_ / "f", bytes).ok());
  std::string back;
  ASSERT_TRUE(env_.ReadFile(dir_ / "f", back).ok());
  EXPECT_EQ(back, bytes);

  ASSERT_TRUE(env_.AppendFile(dir_ / "log", "a\r\n").ok());  // created when missing
  ASSERT_TRUE(env_.AppendFile(dir_ / "log", "b\r\n").ok());
  EXPECT_EQ(ReadAll(dir_ / "log"), "a\r\nb\r\n");

  ASSERT_TRUE(env_.WriteFile(dir_ / "f", "short").ok());  // replaced, not overlaid
  EXPECT_EQ(ReadAll(dir_ / "f"), "short");
}

TEST_F(PosixEnvTest, ErrorsNameTheCallAndPathAndKeepTheNumber) {
  std::string contents = "stale";
  Status st = env_.ReadFile(dir_ / "missing", contents);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.osError(), ENOENT);
  EXPECT_NE(st.message().find("open(" + (dir_ / "missing") + ")"), std::string::npos) << st.message();
  EXPECT_EQ(contents, "");

  EXPECT_FALSE(env_.AppendFile(dir_ / "nofolder/x.log", "x").ok());  // the folder is not created
  EXPECT_FALSE(env_.FolderExists(dir_ / "nofolder"));
  EXPECT_EQ(env_.DeleteFile(dir_ / "missing").osError(), ENOENT);
  EXPECT_FALSE(env_.RenameFile(dir_ / "missing", dir_ / "other").ok());
}

TEST_F(PosixEnvTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
  WriteAll(dir_ / "info.kas", "old contents that are longer");
  ASSERT_TRUE(env_.WriteFileAtomic(dir_ / "info.kas", "new").ok());
  EXPECT_EQ(ReadAll(dir_ / "info.kas"), "new");
  EXPECT_EQ(env_.ListFiles(dir_.path()), std::vector<std::string>{"info.kas"});

  // Failure (no folder): nothing is left behind.
  EXPECT_FALSE(env_.WriteFileAtomic(dir_ / "missing/info.kas", "x").ok());
  EXPECT_EQ(env_.ListFiles(dir_.path()).size(), 1u);
}

TEST_F(PosixEnvTest, RenameReplacesTargetAndDeleteRemoves) {
  WriteAll(dir_ / "a", "A");
  WriteAll(dir_ / "b", "B");
  ASSERT_TRUE(env_.RenameFile(dir_ / "a", dir_ / "b").ok());
  EXPECT_FALSE(env_.FileExists(dir_ / "a"));
  EXPECT_EQ(ReadAll(dir_ / "b"), "A");
  ASSERT_TRUE(env_.DeleteFile(dir_ / "b").ok());
  EXPECT_FALSE(env_.FileExists(dir_ / "b"));
}

TEST_F(PosixEnvTest, CreateFolderMakesParentsAndAcceptsExisting) {
  const std::string deep = dir_ / "LOG/2026/TSE/";
  ASSERT_TRUE(env_.CreateFolder(deep).ok());
  EXPECT_TRUE(env_.FolderExists(dir_ / "LOG/2026/TSE"));
  EXPECT_TRUE(env_.CreateFolder(deep).ok());
  WriteAll(dir_ / "plain", "x");
  EXPECT_FALSE(env_.CreateFolder(dir_ / "plain").ok());
  EXPECT_FALSE(env_.CreateFolder(dir_ / "plain/sub").ok());
}

TEST_F(PosixEnvTest, WindowsNamesBecomeUtf8NamesOnDisk) {
  const std::string name = "K\xFC" "che.txt";  // Küche.txt in Windows-1252
  ASSERT_TRUE(env_.WriteFile(dir_ / name, "x").ok());
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir_.path()) / "K\xC3\xBC" "che.txt"));
  EXPECT_TRUE(env_.FileExists(dir_ / name));
  EXPECT_EQ(env_.ListFiles(dir_.path()), std::vector<std::string>{name});
}

TEST_F(PosixEnvTest, ListFilesSkipsFolders) {
  WriteAll(dir_ / "b.txt", "");
  WriteAll(dir_ / "a.txt", "");
  ASSERT_TRUE(env_.CreateFolder(dir_ / "sub").ok());
  auto names = env_.ListFiles(dir_.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_TRUE(env_.ListFiles(dir_ / "missing").empty());
}

TEST_F(PosixEnvTest, ClocksAndProgramFolder) {
  DateTime now = env_.Now();
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  EXPECT_EQ(now.date.year, local.tm_year + 1900);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LT(now.millisecond, 1000);
  EXPECT_NEAR(static_cast<double>(env_.UnixTime()), static_cast<double>(t), 2.0);
  int64_t before = env_.MonotonicMs();
  env_.SleepMs(0);
  env_.SleepMs(2);
  EXPECT_GE(env_.MonotonicMs() - before, 2);
  std::string folder = env_.ProgramFolder();
  EXPECT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(env_.FolderExists(folder));
}

TEST_F(PosixEnvTest, StartProgramReportsMissingProgram) {
  EXPECT_TRUE(env_.StartProgram("/bin/true", {}).ok());
  EXPECT_FALSE(env_.StartProgram(dir_ / "no-such-program", {"x"}).ok());
}

}  // namespace
}  // namespace tolven::platform
