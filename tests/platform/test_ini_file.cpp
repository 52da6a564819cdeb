#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fake_env.h"

namespace tolven::platform {
namespace {

using tolven::testing::FakeEnv;
using tolven::testing::ReadAll;
using tolven::testing::TempDir;
using tolven::testing::WriteAll;

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
