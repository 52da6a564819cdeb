// The POSIX platform: the file replacement, the INI files, and the settings
// texts of serial ports in termios (the real port on a pseudo-terminal: the
// serial channel's tests of the print engine).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/env.h"
#include "platform/ini_file.h"
#include "platform/posix_files.h"
#include "platform/posix_serial.h"
#include "support/fake_env.h"

namespace tolven::platform {
namespace {

using tolven::testing::FakeEnv;
using tolven::testing::ReadAll;
using tolven::testing::TempDir;
using tolven::testing::WriteAll;

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// An operator protects TOLVEN.INI (mode 600, the service user's): a
// replacement must keep that, and the rename itself is made durable.
TEST(PosixEnv, AtomicReplacementKeepsModeAndOwnerReplacesLinksAndSyncsTheFolder) {
  Env& env = DefaultEnv();
  TempDir dir;
  const std::string bytes("Zeile 1\r\n\x80\xFC\0Ende", 15);
  WriteAll(dir / "own.ini", "old and longer");
  ASSERT_EQ(::chmod((dir / "own.ini").c_str(), 0600), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((dir / "own.ini").c_str(), 65534, 65534), 0);  // nobody's
  }
  const int syncs = FolderSyncCount(dir.path());
  ASSERT_TRUE(env.WriteFileAtomic(dir / "own.ini", bytes).ok());
  EXPECT_EQ(ReadAll(dir / "own.ini"), bytes);
  EXPECT_EQ(StatOf(dir / "own.ini").st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(dir / "own.ini").st_uid, ::geteuid() == 0 ? 65534u : ::geteuid());
  EXPECT_EQ(FolderSyncCount(dir.path()), syncs + 1);

  // A link in an answer file's place (an exchange folder is written by other
  // programs) is replaced, never followed to a file elsewhere.
  WriteAll(dir / "elsewhere", "keep");
  std::filesystem::create_symlink(dir / "elsewhere", dir / "info.kas");
  ASSERT_TRUE(env.WriteFileAtomic(dir / "info.kas", "OK").ok());
  EXPECT_FALSE(S_ISLNK(StatOf(dir / "info.kas").st_mode));
  EXPECT_EQ(ReadAll(dir / "elsewhere"), "keep");
  EXPECT_EQ(env.ListFiles(dir.path()).size(), 3u) << "no temporary file stays";
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

// Names without regard to case; values cut to what the 255-byte buffer of the
// profile functions holds.
TEST_F(IniFileTest, ReadsNamesWithoutRegardToCase) {
  const std::string head =
      "; comment=not a key\r\n[Database]\r\n  Server  =  kasse01  \r\nUSER=\"sa\"\r\nQUOTE=\"half\r\n";
  WriteAll(File(),
           head + "EMPTY=\r\nT\xDCR=Drucker\r\nLONG=" + std::string(400, 'x') + "\r\n[PFADE]\r\nSERVER=other\r\n");
  EXPECT_EQ(Read("database", "server") + "|" + Read("DATABASE", "t\xFCr") + "|" + Read("DATABASE", "USER") + "|" +
                Read("DATABASE", "QUOTE") + "|" + Read("DATABASE", "EMPTY", "dflt") + "|" +
                Read("DATABASE", "MISSING", "dflt  ") + "|" + Read("DATABASE", "; comment", "d") + "|" +
                Read("PFADE", "SERVER") + "|" + Read("DATABASE", "LONG") + "|" +
                Read("DATABASE", "NONE", std::string(400, 'y')),
            "kasse01|Drucker|sa|\"half||dflt|d|other|" + std::string(254, 'x') + "|" + std::string(254, 'y'));
}

// (A new file's sections and keys: the start-up's defaults written back.)
TEST_F(IniFileTest, WriteLeavesEveryOtherByteAsItWas) {
  const std::string before =
      "; installed by the POS setup\r\n[DATABASE]\r\nServer = alt ; keep me\r\n  pwd=geheim\r\n\r\n"
      "[SETUP]\r\nKASSNR=2\r\n\r\n[PFADE]\r\nEXE=D:\\Kasse\\";  // no line end at the end
  WriteAll(File(), before);
  ASSERT_TRUE(Write("database", "PWD", "").ok());       // replaced in its line
  ASSERT_TRUE(Write("DATABASE", "PWDC", "4142").ok());  // behind the section's last entry
  ASSERT_TRUE(Write("PFADE", "ELPAY", "C:\\x\\").ok());
  EXPECT_EQ(ReadAll(File()),
            "; installed by the POS setup\r\n[DATABASE]\r\nServer = alt ; keep me\r\nPWD=\r\n"
            "PWDC=4142\r\n\r\n[SETUP]\r\nKASSNR=2\r\n\r\n[PFADE]\r\nEXE=D:\\Kasse\\\r\nELPAY=C:\\x\\\r\n");
}

// A value written as it stands leaves the file untouched (a folder the
// service user cannot write does not matter); a failed read or write never
// leaves a file of the new key alone.
TEST_F(IniFileTest, NoRewriteWithoutChangeAFailedWriteLeavesTheFileAloneALinkIsWrittenThrough) {
  WriteAll(File(), "[DATABASE]\r\nSERVER=kasse01\r\nPWD=\r\n");
  const ino_t inode = StatOf(File()).st_ino;
  env_.FailOperation("write");
  EXPECT_TRUE(Write("Database", "SERVER", "kasse01").ok());
  EXPECT_TRUE(Write("DATABASE", "PWD", "").ok());
  EXPECT_FALSE(Write("DATABASE", "PWD", "x").ok());  // a real change still tries
  env_.ClearFaults();
  env_.FailOperation("read", "TOLVEN.INI");
  EXPECT_FALSE(Write("DATABASE", "Y", "2").ok());
  EXPECT_EQ(StatOf(File()).st_ino, inode);
  EXPECT_EQ(ReadAll(File()), "[DATABASE]\r\nSERVER=kasse01\r\nPWD=\r\n");
  env_.ClearFaults();

  // TOLVEN.INI linked to the copy the POS programs share: written through the
  // link, in the target's folder (which is synced), and the link stays.
  std::filesystem::remove(File());
  std::filesystem::create_directories(dir_ / "shared");
  WriteAll(dir_ / "shared/TOLVEN.INI", "[A]\r\nX=1\r\n");
  std::filesystem::create_symlink("shared/TOLVEN.INI", File());
  const int syncs = FolderSyncCount(dir_ / "shared");
  ASSERT_TRUE(Write("A", "X", "2").ok());
  EXPECT_TRUE(S_ISLNK(StatOf(File()).st_mode));
  EXPECT_EQ(ReadAll(dir_ / "shared/TOLVEN.INI"), "[A]\r\nX=2\r\n");
  EXPECT_EQ(FolderSyncCount(dir_ / "shared"), syncs + 1);
}

TEST(SerialSettings, TermiosForSettingsAndHandshake) {
  const tcflag_t kept = CLOCAL | CREAD | HUPCL;  // no carrier may block the port; unrelated bits stay
  const struct {
    const char* text;
    Handshake hs;
    speed_t speed;
    tcflag_t cflag, iflag;
  } cases[] = {
      {"115200,O,8,1", Handshake::None, B115200, CS8 | PARENB | PARODD, INPCK},
      {" 19200 , e , 7 , 2 ", Handshake::XonXoff, B19200, CS7 | PARENB | CSTOPB, INPCK | IXON | IXOFF},
      {"38400,M,8,1", Handshake::RtsCts, B38400, CS8 | PARENB | PARODD | CMSPAR | CRTSCTS, INPCK},
      {"9600,N,8,1", Handshake::RtsCtsXonXoff, B9600, CS8 | CRTSCTS, IXON | IXOFF},
      {"1200,S,5,1.5", Handshake::None, B1200, CS5 | PARENB | CMSPAR | CSTOPB, INPCK},
  };
  for (const auto& c : cases) {
    // A cooked terminal, so the translation has something to switch off.
    termios t{};
    t.c_iflag = ICRNL | IXON | IXANY | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CRTSCTS | HUPCL;
    ASSERT_TRUE(SerialSettingsToTermios(c.text, c.hs, t).ok()) << c.text;
    EXPECT_TRUE(cfgetospeed(&t) == c.speed && cfgetispeed(&t) == c.speed) << c.text;
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | kept), c.cflag | kept) << c.text;
    EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF | IXANY | ICRNL | ISTRIP), c.iflag) << c.text;
    EXPECT_EQ((t.c_oflag & OPOST) | (t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)), 0u) << "bytes leave unchanged";
  }
  for (const char* text : {"14400,N,8,1", "9600,NO,8,1", "9600,N,8", "9600,N,8,1,1", "9600x,N,8,1", "-9600,N,8,1",
                           "9600,N,9,1", "9600,N,8,3"}) {
    termios t{};
    t.c_cflag = CS7 | PARENB;
    EXPECT_FALSE(SerialSettingsToTermios(text, Handshake::None, t).ok()) << text;
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS7 | PARENB)) << "a refused text leaves the structure alone";
  }
}

}  // namespace
}  // namespace tolven::platform
