#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  void Put(const std::string& contents) { WriteAll(File(), contents); }

  TempDir dir_;
  FakeEnv env_;
  IniFile ini_{env_, dir_.path()};
};

TEST_F(IniFileTest, ReadsLikeTheProfileFunctions) {
  Put("; comment=not a key\r\n"
      "[Database]\r\n"
      "  Server  =  kasse01  \r\n"
      "USER=\"sa\"\r\n"
      "PWD='x y'\r\n"
      "QUOTE=\"half\r\n"
      "EMPTY=\r\n"
      "[PFADE]\r\n"
      "SERVER=other\r\n");
  struct Case {
    std::string section, key, defaultValue, expected;
  };
  const std::vector<Case> cases = {
      {"DATABASE", "SERVER", "", "kasse01"},     // names without regard to case, blanks cut
      {"database", "server", "", "kasse01"},
      {"DATABASE", "USER", "", "sa"},            // one pair of quotes removed
      {"DATABASE", "PWD", "", "x y"},
      {"DATABASE", "QUOTE", "", "\"half"},       // an unmatched quote stays
      {"DATABASE", "EMPTY", "dflt", ""},         // a key that is there but empty is empty
      {"DATABASE", "MISSING", "dflt  ", "dflt"}, // the default loses trailing blanks
      {"PFADE", "SERVER", "", "other"},          // the key of the right section
      {"NOSECTION", "SERVER", "d", "d"},
      {"DATABASE", "; comment", "d", "d"},       // a comment line is no key
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ini_.Read("TOLVEN.INI", c.section, c.key, c.defaultValue), c.expected) << c.section << "/" << c.key;
  }
  EXPECT_EQ(ini_.Read("MISSING.INI", "DATABASE", "SERVER", "(local)"), "(local)");
}

TEST_F(IniFileTest, ValueIsCutToWhatFitsTheBuffer) {
  const std::string longValue(400, 'x');
  Put("[S]\r\nK=" + longValue + "\r\n");
  EXPECT_EQ(ini_.Read("TOLVEN.INI", "S", "K"), std::string(254, 'x'));
  EXPECT_EQ(ini_.Read("TOLVEN.INI", "S", "NONE", longValue), std::string(254, 'x'));
}

TEST_F(IniFileTest, WriteCreatesMissingFileAndSection) {
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "DATABASE", "SERVER", "(local)").ok());
  EXPECT_EQ(ReadAll(File()), "[DATABASE]\r\nSERVER=(local)\r\n");
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "SETUP", "KASSNR", "1").ok());
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "DATABASE", "USER", "sa").ok());
  EXPECT_EQ(ReadAll(File()), "[DATABASE]\r\nSERVER=(local)\r\nUSER=sa\r\n[SETUP]\r\nKASSNR=1\r\n");
}

TEST_F(IniFileTest, WriteLeavesEveryOtherByteAsItWas) {
  const std::string before =
      "; installed by the POS setup\r\n"
      "[DATABASE]\r\n"
      "Server = alt ; keep me\r\n"
      "  pwd=geheim\r\n"
      "\r\n"
      "[SETUP]\r\n"
      "KASSNR=2\r\n"
      "\r\n"
      "[PFADE]\r\n"
      "EXE=D:\\Kasse\\";  // last line without a line end
  Put(before);

  // An existing key, found without regard to case, is replaced in its line.
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "database", "PWD", "").ok());
  std::string expected = before;
  expected.replace(expected.find("  pwd=geheim"), 12, "PWD=");
  EXPECT_EQ(ReadAll(File()), expected);

  // A new key goes behind the last entry of its section, before the blank line.
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "DATABASE", "PWDC", "4142").ok());
  expected.insert(expected.find("\r\n\r\n[SETUP]") + 2, "PWDC=4142\r\n");
  EXPECT_EQ(ReadAll(File()), expected);

  // A new key in the last section, whose last line had no line end.
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "PFADE", "ELPAY", "C:\\x\\").ok());
  expected += "\r\nELPAY=C:\\x\\\r\n";
  EXPECT_EQ(ReadAll(File()), expected);

  EXPECT_EQ(ini_.Read("TOLVEN.INI", "DATABASE", "SERVER"), "alt ; keep me");
  EXPECT_EQ(ini_.Read("TOLVEN.INI", "SETUP", "KASSNR"), "2");
}

TEST_F(IniFileTest, FileWithUnixLineEndsKeepsThem) {
  Put("[A]\nX=1\n");
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "A", "Y", "2").ok());
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "B", "Z", "3").ok());
  EXPECT_EQ(ReadAll(File()), "[A]\nX=1\nY=2\n[B]\nZ=3\n");
}

TEST_F(IniFileTest, WindowsCharactersArePlainBytes) {
  ASSERT_TRUE(ini_.Write("TOLVEN.INI", "DRUCK", "KÜCHE", "Küchendrucker \x80").ok());
  EXPECT_EQ(ReadAll(File()), "[DRUCK]\r\nKÜCHE=Küchendrucker \x80\r\n");
  EXPECT_EQ(ini_.Read("TOLVEN.INI", "druck", "küche"), "Küchendrucker \x80");
}

TEST_F(IniFileTest, FailedWriteLeavesTheFileAlone) {
  Put("[A]\r\nX=1\r\n");
  env_.FailOperation("write", "TOLVEN.INI");
  EXPECT_FALSE(ini_.Write("TOLVEN.INI", "A", "X", "2").ok());
  EXPECT_EQ(ReadAll(File()), "[A]\r\nX=1\r\n");
  env_.ClearFaults();
  env_.FailOperation("read", "TOLVEN.INI");
  // An unreadable file is never replaced by one holding only the new key.
  EXPECT_FALSE(ini_.Write("TOLVEN.INI", "A", "Y", "2").ok());
  EXPECT_EQ(ReadAll(File()), "[A]\r\nX=1\r\n");
}

TEST_F(IniFileTest, MissingFolderIsAnErrorNotACrash) {
  IniFile nowhere(env_, dir_ / "missing");
  EXPECT_EQ(nowhere.Read("TOLVEN.INI", "A", "X", "d"), "d");
  EXPECT_FALSE(nowhere.Write("TOLVEN.INI", "A", "X", "1").ok());
  EXPECT_EQ(nowhere.PathOf("TOLVEN.INI"), dir_ / "missing/TOLVEN.INI");
  EXPECT_EQ(IniFile(env_, dir_.path() + "/").PathOf("A.INI"), dir_ / "A.INI");
}

}  // namespace
}  // namespace tolven::platform
