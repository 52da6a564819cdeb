// The Windows platform against the real system: files held by another
// program, atomic replacement, folders, fibers and the single-instance guard.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/env.h"
#include "platform/fiber.h"
#include "platform/instance_lock.h"
#include "platform/win32/system.h"

// After windows.h.
#include <aclapi.h>
#include <sddl.h>

namespace tolven::platform {
namespace {

class Win32Core : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder_ = Narrow(temp) + "tolven-core-" + std::to_string(GetCurrentProcessId()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(env_.CreateFolder(folder_ + "\\sub\\deeper"));
  }
  void TearDown() override { std::filesystem::remove_all(Wide(folder_)); }
  std::string At(const std::string& name) const { return folder_ + "\\" + name; }
  std::string Read(const std::string& name) {
    std::string contents;
    EXPECT_TRUE(env_.ReadFile(At(name), contents)) << name;
    return contents;
  }
  // Opens the file as a program that shares nothing would.
  HANDLE Hold(const std::string& name) {
    HANDLE h = CreateFileW(Wide(At(name)).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }
  // The same, let go after a moment.
  std::thread HoldForAMoment(const std::string& name) {
    return std::thread([h = Hold(name)] {
      Sleep(300);
      CloseHandle(h);
    });
  }

  Env& env_ = DefaultEnv();
  std::string folder_;
};

TEST_F(Win32Core, FilesAreReplacedAndWaitedForWhileAnotherProgramHoldsThem) {
  ASSERT_TRUE(env_.WriteFile(At("a.txt"), "neu\r\n\xE4"));
  ASSERT_TRUE(env_.WriteFile(At("b.txt"), "alt"));
  ASSERT_TRUE(env_.AppendFile(At("b.txt"), "+"));
  EXPECT_EQ(Read("b.txt"), "alt+");
  ASSERT_TRUE(env_.RenameFile(At("a.txt"), At("b.txt")));
  EXPECT_EQ(Read("b.txt"), "neu\r\n\xE4");
  EXPECT_FALSE(env_.FileExists(At("a.txt")));

  // Held without sharing for a moment: the calls wait for it instead of failing.
  std::thread holder = HoldForAMoment("b.txt");
  EXPECT_TRUE(env_.RenameFile(At("b.txt"), At("c.txt")));
  holder.join();
  holder = HoldForAMoment("c.txt");
  EXPECT_TRUE(env_.DeleteFile(At("c.txt")));
  holder.join();
  EXPECT_FALSE(env_.FileExists(At("c.txt")));

  // Held for longer than the waiting: an error naming the call and the file.
  ASSERT_TRUE(env_.WriteFile(At("d.txt"), "x"));
  HANDLE held = Hold("d.txt");
  const Status st = env_.DeleteFile(At("d.txt"));
  CloseHandle(held);
  EXPECT_FALSE(st);
  EXPECT_EQ(st.message().rfind("DeleteFile(" + At("d.txt") + "): ", 0), 0u) << st.message();
  EXPECT_FALSE(env_.DeleteFile(At("missing.txt")));
}

TEST_F(Win32Core, AtomicWriteLeavesNoTemporaryFileAndListingHoldsOnlyFiles) {
  env_.SetTempMark("K3");
  ASSERT_TRUE(env_.WriteFile(At("küche.txt"), "alt"));
  ASSERT_TRUE(env_.WriteFileAtomic(At("küche.txt"), "neu"));
  EXPECT_EQ(Read("küche.txt"), "neu");
  EXPECT_FALSE(env_.WriteFileAtomic(At("nowhere\\x.txt"), "neu"));
  std::vector<std::string> names = env_.ListFiles(folder_);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, std::vector<std::string>{"küche.txt"});
  env_.SetTempMark("");

  EXPECT_TRUE(env_.FolderExists(At("sub\\deeper")));
  EXPECT_TRUE(env_.CreateFolder(At("sub\\deeper\\")));
  EXPECT_FALSE(env_.CreateFolder(At("küche.txt\\x")));
  EXPECT_TRUE(env_.CheckWritable(folder_));
  EXPECT_EQ(env_.ListFiles(At("sub")).size(), 0u);
  EXPECT_EQ(env_.GetFileInfo(At("küche.txt")).size, 3);
  EXPECT_EQ(env_.GetFileInfo(At("sub")).kind, FileKind::Folder);
  EXPECT_TRUE(env_.FolderExists(env_.ProgramFolder()));
}

TEST(Win32Fiber, FibersInterleaveAndAFinishedOneIsDone) {
  std::string trace;
  Fiber a([&] {
    trace += "a1";
    Fiber::Suspend();
    trace += "a2";
  });
  Fiber b([&] {
    trace += Fiber::Current() != nullptr ? "b1" : "?";
    Fiber::Suspend();
    trace += "b2";
  });
  a.Resume();
  b.Resume();
  a.Resume();
  EXPECT_TRUE(a.finished());
  EXPECT_FALSE(b.finished());
  b.Resume();
  EXPECT_EQ(trace, "a1b1a2b2");
  EXPECT_TRUE(b.finished());
  EXPECT_EQ(Fiber::Current(), nullptr);
  // An unfinished fiber is simply dropped.
  auto c = std::make_unique<Fiber>([] { Fiber::Suspend(); });
  c->Resume();
  c.reset();
}

TEST(Win32InstanceLock, ASecondHolderOfTheSamePathIsBusyUntilTheFirstIsGone) {
  const std::string path = "C:\\Tolven-Test\\" + std::to_string(GetCurrentProcessId()) + "\\tolvenpda.lock";
  auto first = MakeInstanceLock();
  ASSERT_TRUE(first->Acquire(path));
  auto second = MakeInstanceLock();
  // Windows names one file regardless of case and separator.
  std::string other = path;
  std::transform(other.begin(), other.end(), other.begin(),
                 [](char c) { return c == '\\' ? '/' : static_cast<char>(std::tolower(c)); });
  EXPECT_FALSE(second->Acquire(other));
  EXPECT_TRUE(second->busy());
  EXPECT_TRUE(MakeInstanceLock()->Acquire(path + "x"));
  first.reset();
  EXPECT_TRUE(second->Acquire(path));
  EXPECT_FALSE(second->busy());
}

// A gateway on another computer shows only through the lock file on the share.
TEST_F(Win32Core, ALockFileHeldForWritingIsBusy) {
  const std::string path = At("kasse1.lock");
  HANDLE other = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  auto lock = MakeInstanceLock();
  EXPECT_FALSE(lock->Acquire(path));
  EXPECT_TRUE(lock->busy());
  CloseHandle(other);
  EXPECT_TRUE(lock->Acquire(path));
  std::string pid;
  EXPECT_TRUE(env_.ReadFile(path, pid));  // readable while held
  EXPECT_EQ(pid, std::to_string(GetCurrentProcessId()) + "\r\n");
}

// The access list in SDDL ("D:P(A;;FA;;;BA)..."), "" when unreadable.
std::wstring AccessListOf(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &sd) != ERROR_SUCCESS) {
    return L"";
  }
  wchar_t* text = nullptr;
  std::wstring sddl;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    sddl = text;
    LocalFree(text);
  }
  LocalFree(sd);
  return sddl;
}

void SetAccessList(const std::string& path, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr));
  ASSERT_TRUE(SetFileSecurityW(Wide(path).c_str(), DACL_SECURITY_INFORMATION, sd));
  LocalFree(sd);
}

// TOLVEN.INI holds the coded password: who may read it is the operator's
// choice, checked by --check and kept when the gateway writes the file back.
TEST_F(Win32Core, AReplacedFileKeepsItsAccessListAndWhoElseMayReadItIsNamed) {
  const std::string ini = At("TOLVEN.INI");
  ASSERT_TRUE(env_.WriteFile(ini, "[DATABASE]\r\nPWDC=41\r\n"));
  SetAccessList(ini, L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;WD)");
  const Status everyone = env_.CheckNotWorldReadable(ini);
  EXPECT_FALSE(everyone);
  EXPECT_EQ(everyone.message().rfind(ini + " ist lesbar f\xFCr ", 0), 0u) << everyone.message();

  SetAccessList(ini, L"D:P(A;;FA;;;BA)(A;;FA;;;SY)");
  const std::wstring kept = AccessListOf(ini);
  ASSERT_NE(kept, L"");
  EXPECT_TRUE(env_.CheckNotWorldReadable(ini));
  ASSERT_TRUE(env_.WriteFileAtomic(ini, "[DATABASE]\r\nPWDC=42\r\n"));
  EXPECT_EQ(Read("TOLVEN.INI"), "[DATABASE]\r\nPWDC=42\r\n");
  EXPECT_EQ(AccessListOf(ini), kept);

}

}  // namespace
}  // namespace tolven::platform
