// The POSIX environment (files, folders, started programs) and the INI files.
#include "platform/env.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/ini_file.h"
#include "platform/posix_files.h"
#include "support/fake_env.h"
#include "support/process.h"

namespace tolven::platform {
namespace {

using tolven::testing::FakeEnv;
using tolven::testing::ReadAll;
using tolven::testing::TempDir;
using tolven::testing::WriteAll;

class PosixEnvTest : public ::testing::Test {
 protected:
  Env& env_ = DefaultEnv();
  TempDir dir_;
};

TEST_F(PosixEnvTest, FilesKeepEveryByteAreReplacedWholeAndErrorsNameTheCall) {
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

  // Errors name the call and the path and keep the number.
  std::string contents = "stale";
  Status st = env_.ReadFile(dir_ / "missing", contents);
  EXPECT_EQ(st.osError(), ENOENT);
  EXPECT_NE(st.message().find("open(" + (dir_ / "missing") + ")"), std::string::npos) << st.message();
  EXPECT_EQ(contents, "");
  EXPECT_FALSE(env_.AppendFile(dir_ / "nofolder/x.log", "x").ok());  // no folder is made on the way
  EXPECT_FALSE(env_.FolderExists(dir_ / "nofolder"));
  EXPECT_FALSE(env_.StartProgram(dir_ / "no-such-program", {"x"}).ok());
}

TEST_F(PosixEnvTest, FoldersAndWindowsNames) {
  ASSERT_TRUE(env_.CreateFolder(dir_ / "LOG/2026/TSE/").ok());  // with its parents
  EXPECT_TRUE(env_.CreateFolder(dir_ / "LOG/2026/TSE").ok());  // an existing one is fine
  EXPECT_TRUE(env_.FolderExists(dir_ / "LOG/2026/TSE") && !env_.FileExists(dir_ / "LOG"));  // a folder is no file
  const std::string name = "K\xFC" "che.txt";  // Windows-1252 names are UTF-8 on disk
  ASSERT_TRUE(env_.WriteFile(dir_ / name, "x").ok());
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir_.path()) / "K\xC3\xBC" "che.txt"));
  EXPECT_EQ(env_.ListFiles(dir_.path()), std::vector<std::string>{name});  // folders are left out
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// An operator protects TOLVEN.INI (mode 600, the service user's): a
// replacement must keep that.
TEST_F(PosixEnvTest, AtomicReplacementKeepsModeAndOwnerAndSyncsTheFolder) {
  WriteAll(dir_ / "own.ini", "old");
  ASSERT_EQ(::chmod((dir_ / "own.ini").c_str(), 0600), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((dir_ / "own.ini").c_str(), 65534, 65534), 0);  // nobody's
  }
  const int syncs = FolderSyncCount(dir_.path());
  ASSERT_TRUE(env_.WriteFileAtomic(dir_ / "own.ini", "new").ok());
  EXPECT_EQ(ReadAll(dir_ / "own.ini"), "new");
  struct stat st = StatOf(dir_ / "own.ini");
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_EQ(FolderSyncCount(dir_.path()), syncs + 1);  // the rename itself is made durable

  // A link in an answer file's place (an exchange folder is written by other
  // programs) is replaced, never followed to a file elsewhere.
  WriteAll(dir_ / "elsewhere", "keep");
  std::filesystem::create_symlink(dir_ / "elsewhere", dir_ / "info.kas");
  ASSERT_TRUE(env_.WriteFileAtomic(dir_ / "info.kas", "OK").ok());
  EXPECT_FALSE(S_ISLNK(StatOf(dir_ / "info.kas").st_mode));
  EXPECT_EQ(ReadAll(dir_ / "elsewhere"), "keep");

  // A new file follows the umask (the service unit's 0077 makes it private).
  mode_t old = ::umask(077);
  Status made = env_.WriteFileAtomic(dir_ / "fresh", "x");
  ::umask(old);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ(StatOf(dir_ / "fresh").st_mode & 0777, 0600u);
  auto names = env_.ListFiles(dir_.path());
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.find(".tmp") != n.npos; }),
            0);
}

// A customer-display program started by the gateway must not inherit the
// signals the gateway ignores (it would outlive a SIGHUP meant for it).
TEST_F(PosixEnvTest, StartedProgramsGetEverySignalAtItsDefault) {
  auto old = ::signal(SIGHUP, SIG_IGN);
  Status st = env_.StartProgram("/bin/sh", {"-c", "grep SigIgn /proc/self/status > " + (dir_ / "sig.tmp") +
                                                       " && mv " + (dir_ / "sig.tmp") + " " + (dir_ / "sig")});
  ::signal(SIGHUP, old);
  ASSERT_TRUE(st.ok()) << st.message();
  ASSERT_TRUE(tolven::testing::WaitFor([&] { return std::filesystem::exists(dir_ / "sig"); }, 10000));
  const std::string line = ReadAll(dir_ / "sig");
  ASSERT_EQ(line.rfind("SigIgn:\t", 0), 0u) << line;
  const unsigned long long ignored = std::stoull(line.substr(8), nullptr, 16);
  EXPECT_EQ(ignored & (1ULL << (SIGHUP - 1)), 0u) << line;
}

TEST_F(PosixEnvTest, WritableFoldersAndFilesAreToldApart) {
  EXPECT_TRUE(env_.CheckWritable(dir_.path()).ok());
  EXPECT_TRUE(env_.ListFiles(dir_.path()).empty());  // the probe is gone again
  EXPECT_EQ(env_.CheckWritable(dir_ / "missing").osError(), ENOENT);
  WriteAll(dir_ / "f", "x");
  EXPECT_TRUE(env_.CheckWritable(dir_ / "f").ok());
  if (::geteuid() != 0) {  // root writes anywhere
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0555), 0);
    EXPECT_EQ(env_.CheckWritable(dir_.path()).osError(), EACCES);
    ::chmod(dir_.path().c_str(), 0755);
  }
}

class IniFileTest : public ::testing::Test {
 protected:
  std::string File() { return dir_ / "TOLVEN.INI"; }
  std::string Read(const std::string& section, const std::string& key, const std::string& dflt = "") {
    return ini_.Read("TOLVEN.INI", section, key, dflt);
  }
  Status Write(const std::string& section, const std::string& key, const std::string& value) {
    return ini_.Write("TOLVEN.INI", section, key, value);
  }

  TempDir dir_;
  FakeEnv env_;
  IniFile ini_{env_, dir_.path()};
};

TEST_F(IniFileTest, ReadsNamesWithoutRegardToCase) {
  WriteAll(File(), "; comment=not a key\r\n[Database]\r\n  Server  =  kasse01  \r\nUSER=\"sa\"\r\nQUOTE=\"half\r\n"
                   "EMPTY=\r\nK\xDC" "CHE=Drucker\r\nLONG=" + std::string(400, 'x') + "\r\n[PFADE]\r\nSERVER=other\r\n");
  EXPECT_EQ(Read("database", "server"), "kasse01");
  EXPECT_EQ(Read("DATABASE", "k\xFC" "che"), "Drucker");
  EXPECT_EQ(Read("DATABASE", "USER"), "sa");  // one pair of quotes goes
  EXPECT_EQ(Read("DATABASE", "QUOTE"), "\"half");
  EXPECT_EQ(Read("DATABASE", "EMPTY", "dflt"), "");  // present but empty is empty
  EXPECT_EQ(Read("DATABASE", "MISSING", "dflt  "), "dflt");
  EXPECT_EQ(Read("DATABASE", "; comment", "d"), "d");
  EXPECT_EQ(Read("PFADE", "SERVER"), "other");
  // Values are cut to what the 255-byte buffer of the profile functions holds.
  EXPECT_EQ(Read("DATABASE", "LONG"), std::string(254, 'x'));
  EXPECT_EQ(Read("DATABASE", "NONE", std::string(400, 'y')), std::string(254, 'y'));
  EXPECT_EQ(ini_.Read("MISSING.INI", "DATABASE", "SERVER", "(local)"), "(local)");
}

TEST_F(IniFileTest, WriteCreatesWhatIsMissingAndLeavesEveryOtherByteAsItWas) {
  ASSERT_TRUE(Write("DATABASE", "SERVER", "(local)").ok());
  ASSERT_TRUE(Write("SETUP", "KASSNR", "1").ok());
  ASSERT_TRUE(Write("DATABASE", "USER", "sa").ok());
  EXPECT_EQ(ReadAll(File()), "[DATABASE]\r\nSERVER=(local)\r\nUSER=sa\r\n[SETUP]\r\nKASSNR=1\r\n");

  const std::string before = "; installed by the POS setup\r\n[DATABASE]\r\nServer = alt ; keep me\r\n  pwd=geheim\r\n\r\n"
                             "[SETUP]\r\nKASSNR=2\r\n\r\n[PFADE]\r\nEXE=D:\\Kasse\\";  // no line end at the end
  WriteAll(File(), before);
  ASSERT_TRUE(Write("database", "PWD", "").ok());  // replaced in its line
  std::string expected = before;
  expected.replace(expected.find("  pwd=geheim"), 12, "PWD=");
  EXPECT_EQ(ReadAll(File()), expected);

  ASSERT_TRUE(Write("DATABASE", "PWDC", "4142").ok());  // behind the section's last entry
  expected.insert(expected.find("\r\n\r\n[SETUP]") + 2, "PWDC=4142\r\n");
  EXPECT_EQ(ReadAll(File()), expected);

  ASSERT_TRUE(Write("PFADE", "ELPAY", "C:\\x\\").ok());
  EXPECT_EQ(ReadAll(File()), expected + "\r\nELPAY=C:\\x\\\r\n");

  WriteAll(File(), "[A]\nX=1\n");  // a file with Unix line ends keeps them
  ASSERT_TRUE(Write("A", "Y", "2").ok());
  ASSERT_TRUE(Write("B", "Z", "3").ok());
  EXPECT_EQ(ReadAll(File()), "[A]\nX=1\nY=2\n[B]\nZ=3\n");
}

TEST_F(IniFileTest, AValueWrittenAsItStandsLeavesTheFileUntouched) {
  WriteAll(File(), "[DATABASE]\r\nSERVER=kasse01\r\nPWD=\r\n");
  const ino_t inode = StatOf(File()).st_ino;
  env_.FailOperation("write");  // a folder the service user cannot write does not matter
  EXPECT_TRUE(Write("Database", "SERVER", "kasse01").ok());
  EXPECT_TRUE(Write("DATABASE", "PWD", "").ok());
  EXPECT_FALSE(Write("DATABASE", "PWD", "x").ok());  // a real change still tries
  EXPECT_EQ(StatOf(File()).st_ino, inode);
  EXPECT_EQ(ReadAll(File()), "[DATABASE]\r\nSERVER=kasse01\r\nPWD=\r\n");
}

// TOLVEN.INI linked to the copy the POS programs share: written through the
// link, in the target's folder (which is synced), and the link stays.
TEST_F(IniFileTest, ALinkedIniIsWrittenThroughItsLink) {
  std::filesystem::create_directories(dir_ / "shared");
  WriteAll(dir_ / "shared/TOLVEN.INI", "[A]\r\nX=1\r\n");
  std::filesystem::create_symlink("shared/TOLVEN.INI", File());
  const int syncs = FolderSyncCount(dir_ / "shared");
  ASSERT_TRUE(Write("A", "X", "2").ok());
  EXPECT_TRUE(S_ISLNK(StatOf(File()).st_mode));
  EXPECT_EQ(ReadAll(dir_ / "shared/TOLVEN.INI"), "[A]\r\nX=2\r\n");
  EXPECT_EQ(FolderSyncCount(dir_ / "shared"), syncs + 1);
}

TEST_F(IniFileTest, FailedOrImpossibleWriteLeavesTheFileAlone) {
  WriteAll(File(), "[A]\r\nX=1\r\n");
  env_.FailOperation("write", "TOLVEN.INI");
  EXPECT_FALSE(Write("A", "X", "2").ok());
  env_.ClearFaults();
  env_.FailOperation("read", "TOLVEN.INI");
  EXPECT_FALSE(Write("A", "Y", "2").ok());  // never replaced by a file of the new key alone
  EXPECT_EQ(ReadAll(File()), "[A]\r\nX=1\r\n");

  IniFile nowhere(env_, dir_ / "missing");
  EXPECT_FALSE(nowhere.Write("TOLVEN.INI", "A", "X", "1").ok());
  EXPECT_EQ(IniFile(env_, dir_.path() + "/").PathOf("A.INI"), dir_ / "A.INI");
}

}  // namespace
}  // namespace tolven::platform
