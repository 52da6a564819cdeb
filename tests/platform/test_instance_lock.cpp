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

using tolven::testing::ReadAll;
using tolven::testing::TempDir;

TEST(InstanceLock, SecondHolderIsBusyUntilTheFirstEndsAndNoFolderIsNotBusy) {
  TempDir dir;
  auto first = MakeInstanceLock(), second = MakeInstanceLock(), third = MakeInstanceLock();
  ASSERT_TRUE(first->Acquire(dir / "tolvenpda.lock").ok());
  EXPECT_EQ(ReadAll(dir / "tolvenpda.lock"), std::to_string(::getpid()) + "\n");
  EXPECT_FALSE(second->Acquire(dir / "tolvenpda.lock").ok());
  EXPECT_TRUE(second->busy());
  first.reset();  // the running gateway ends (or crashes): the lock goes with it
  EXPECT_TRUE(second->Acquire(dir / "tolvenpda.lock").ok());

  Status st = third->Acquire(dir / "missing/tolvenpda.lock");
  EXPECT_FALSE(third->busy());
  EXPECT_NE(st.message().find("missing/tolvenpda.lock"), std::string::npos);
}

TEST(DeviceNames, ConfiguredOrDefaultAndNeverWritten) {
  TempDir dir;
  tolven::testing::FakeEnv env;
  const std::string ini = "[PORTS]\r\nCOM2=/dev/ttyUSB0\r\nlpt1=/dev/usb/lp0\r\n";
  tolven::testing::WriteAll(dir / "TOLVEN.INI", ini);
  IniFile file(env, dir.path());
  EXPECT_EQ(ComDevice(file, 1) + " " + ComDevice(file, 2) + " " + ComDevice(file, 9), "/dev/ttyS0 /dev/ttyUSB0 /dev/ttyS8");
  EXPECT_EQ(LptDevice(file, 1) + " " + LptDevice(file, 3), "/dev/usb/lp0 /dev/lp2");
  EXPECT_EQ(ReadAll(dir / "TOLVEN.INI"), ini);
}

TEST(ConsoleAndSignals, WindowsTextLeavesAsUtf8AndStopSignalsEndTheLoop) {
  ::testing::internal::CaptureStdout();
  ConsoleUi().LogLine("12:00:00  K\xFC" "che");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "12:00:00  K\xC3\xBC" "che\n");
  ::testing::internal::CaptureStderr();
  ConsoleUi().MessageBox("Zeile 1\r\nl\xE4uft", MsgKind::Critical, "ACHTUNG");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[Kritisch] ACHTUNG: Zeile 1\n    l\xC3\xA4" "uft\n");

  InstallStopHandlers();
  for (int sig : {SIGTERM, SIGINT}) {
    ResetStop();
    ASSERT_EQ(::raise(sig), 0);
    EXPECT_TRUE(StopRequested()) << sig;
  }
  ResetStop();
}

}  // namespace
}  // namespace tolven::platform
