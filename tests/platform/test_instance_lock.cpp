#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/device_names.h"
#include "platform/signals.h"
#include "platform/ui.h"
#include "support/fake_env.h"

namespace tolven::platform {
namespace {

using tolven::testing::FakeEnv;
using tolven::testing::ReadAll;
using tolven::testing::TempDir;
using tolven::testing::WriteAll;

TEST(InstanceLock, SecondHolderIsBusyUntilTheFirstEnds) {
  TempDir dir;
  const std::string path = dir / "tolvenpda.lock";
  auto first = MakeInstanceLock();
  ASSERT_TRUE(first->Acquire(path).ok());
  EXPECT_EQ(ReadAll(path), std::to_string(::getpid()) + "\n");

  auto second = MakeInstanceLock();
  Status st = second->Acquire(path);
  EXPECT_FALSE(st.ok());
  EXPECT_TRUE(second->busy());

  first.reset();  // the running gateway ends (or crashes): the lock goes with it
  EXPECT_TRUE(second->Acquire(path).ok());
  EXPECT_FALSE(second->busy());
}

TEST(InstanceLock, UnusableFolderIsAnErrorButNotBusy) {
  TempDir dir;
  auto lock = MakeInstanceLock();
  Status st = lock->Acquire(dir / "missing/tolvenpda.lock");
  EXPECT_FALSE(st.ok());
  EXPECT_FALSE(lock->busy());
  EXPECT_NE(st.message().find("missing/tolvenpda.lock"), std::string::npos);
}

TEST(DeviceNames, ConfiguredOrDefault) {
  TempDir dir;
  FakeEnv env;
  WriteAll(dir / "TOLVEN.INI", "[PORTS]\r\nCOM2=/dev/ttyUSB0\r\nlpt1=/dev/usb/lp0\r\n");
  IniFile ini(env, dir.path());
  EXPECT_EQ(ComDevice(ini, 1), "/dev/ttyS0");
  EXPECT_EQ(ComDevice(ini, 2), "/dev/ttyUSB0");
  EXPECT_EQ(ComDevice(ini, 9), "/dev/ttyS8");
  EXPECT_EQ(LptDevice(ini, 1), "/dev/usb/lp0");
  EXPECT_EQ(LptDevice(ini, 3), "/dev/lp2");
  // Reading device names never writes the configuration.
  EXPECT_EQ(ReadAll(dir / "TOLVEN.INI"), "[PORTS]\r\nCOM2=/dev/ttyUSB0\r\nlpt1=/dev/usb/lp0\r\n");
}

TEST(ConsoleUi, WindowsTextLeavesAsUtf8) {
  ::testing::internal::CaptureStdout();
  ConsoleUi().LogLine("12:00:00  K\xFC" "che");
  ConsoleUi().Status("Pr\xFC" "fe...");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "12:00:00  K\xC3\xBC" "che\n[Start] Pr\xC3\xBC" "fe...\n");

  ::testing::internal::CaptureStderr();
  ConsoleUi().MessageBox("Zeile 1\r\nZeile 2", MsgKind::Critical, "ACHTUNG");
  ConsoleUi().MessageBox("l\xE4uft", MsgKind::Information);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[Kritisch] ACHTUNG: Zeile 1\n    Zeile 2\n[Information] TOLVENPDA: l\xC3\xA4" "uft\n");
}

TEST(StopSignals, SigtermAsksTheLoopToEnd) {
  InstallStopHandlers();
  ResetStop();
  EXPECT_FALSE(StopRequested());
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_TRUE(StopRequested());
  ResetStop();
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(StopRequested());
  ResetStop();
}

}  // namespace
}  // namespace tolven::platform
