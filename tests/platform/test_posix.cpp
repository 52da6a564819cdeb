// The POSIX platform: the INI files and the file replacement under them, and
// the settings texts of serial ports in termios (the real port on a
// pseudo-terminal: the serial channel's tests of the print engine).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "platform/ini_file.h"
#include "platform/posix/files.h"
#include "platform/posix/serial.h"
#include "platform/system_service.h"
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

// Names without regard to case; values cut to what the 255-byte buffer of the
// profile functions holds. A write leaves every other byte as it was (a new
// file's sections and keys: the start-up's defaults written back), and the
// mode and owner an operator gave TOLVEN.INI (600, the service user's); the
// rename itself is made durable.
TEST(IniFile, ReadsNamesWithoutRegardToCaseWritesOnlyTheKeyAndOnlyWhenItChangesLinksKept) {
  TempDir dir;
  FakeEnv env;
  IniFile ini(env, dir.path());
  const std::string file = dir / "TOLVEN.INI";
  auto Read = [&](const std::string& section, const std::string& key, const std::string& dflt = "") {
    return ini.Read("TOLVEN.INI", section, key, dflt);
  };
  WriteAll(file,
           "; comment=not a key\r\n[Database]\r\n  Server  =  kasse01  \r\nUSER=\"sa\"\r\nQUOTE=\"half\r\n"
           "EMPTY=\r\nT\xDCR=Drucker\r\nLONG=" +
               std::string(400, 'x') + "\r\n[PFADE]\r\nSERVER=other\r\n");
  EXPECT_EQ(Read("database", "server") + "|" + Read("DATABASE", "t\xFCr") + "|" + Read("DATABASE", "USER") + "|" +
                Read("DATABASE", "QUOTE") + "|" + Read("DATABASE", "EMPTY", "dflt") + "|" +
                Read("DATABASE", "MISSING", "dflt  ") + "|" + Read("DATABASE", "; comment", "d") + "|" +
                Read("PFADE", "SERVER") + "|" + Read("DATABASE", "LONG") + "|" +
                Read("DATABASE", "NONE", std::string(400, 'y')),
            "kasse01|Drucker|sa|\"half||dflt|d|other|" + std::string(254, 'x') + "|" + std::string(254, 'y'));

  WriteAll(file,
           "; installed by the POS setup\r\n[DATABASE]\r\nServer = alt ; keep me\r\n  pwd=geheim\r\n\r\n"
           "[SETUP]\r\nKASSNR=2\r\n\r\n[PFADE]\r\nEXE=D:\\Kasse\\");  // no line end at the end
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  ASSERT_EQ(::geteuid() == 0 ? ::chown(file.c_str(), 65534, 65534) : 0, 0);  // nobody's, where we may
  const int syncs = FolderSyncCount(dir.path());
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "database", "PWD", "").ok());       // replaced in its line
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "DATABASE", "PWDC", "4142").ok());  // behind the section's last entry
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "PFADE", "ELPAY", "C:\\x\\").ok());
  EXPECT_EQ(ReadAll(file),
            "; installed by the POS setup\r\n[DATABASE]\r\nServer = alt ; keep me\r\nPWD=\r\n"
            "PWDC=4142\r\n\r\n[SETUP]\r\nKASSNR=2\r\n\r\n[PFADE]\r\nEXE=D:\\Kasse\\\r\nELPAY=C:\\x\\\r\n");
  EXPECT_EQ(StatOf(file).st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(file).st_uid, ::geteuid() == 0 ? 65534u : ::geteuid());
  EXPECT_EQ(FolderSyncCount(dir.path()), syncs + 3);
  EXPECT_EQ(env.ListFiles(dir.path()).size(), 1u) << "no temporary file stays";

  // A value written as it stands leaves the file untouched, not even tried (a
  // folder the service user cannot write does not matter); a failed read or
  // write never leaves a file of the new key alone.
  WriteAll(file, "[DATABASE]\r\nSERVER=kasse01\r\nPWD=\r\n");
  env.FailOperation("write");
  EXPECT_TRUE(ini.Write("TOLVEN.INI", "Database", "PWD", "").ok());    // as the start-up writes its defaults back
  EXPECT_FALSE(ini.Write("TOLVEN.INI", "DATABASE", "PWD", "x").ok());  // a real change still tries
  env.ClearFaults();
  env.FailOperation("read", "TOLVEN.INI");
  EXPECT_FALSE(ini.Write("TOLVEN.INI", "DATABASE", "Y", "2").ok());
  EXPECT_EQ(ReadAll(file), "[DATABASE]\r\nSERVER=kasse01\r\nPWD=\r\n");
  env.ClearFaults();

  // TOLVEN.INI linked to the copy the POS programs share: written through the
  // link, in the target's folder (which is synced), and the link stays.
  std::filesystem::remove(file);
  std::filesystem::create_directories(dir / "shared");
  WriteAll(dir / "shared/TOLVEN.INI", "[A]\r\nX=1\r\n");
  std::filesystem::create_symlink("shared/TOLVEN.INI", file);
  const int sharedSyncs = FolderSyncCount(dir / "shared");
  ASSERT_TRUE(ini.Write("TOLVEN.INI", "A", "X", "2").ok());
  EXPECT_TRUE(S_ISLNK(StatOf(file).st_mode));
  EXPECT_EQ(FolderSyncCount(dir / "shared"), sharedSyncs + 1);
  // A link in an answer file's place (an exchange folder is written by other
  // programs) is replaced, never followed to a file elsewhere.
  std::filesystem::create_symlink("shared/TOLVEN.INI", dir / "info.kas");
  ASSERT_TRUE(env.WriteFileAtomic(dir / "info.kas", "OK").ok());
  EXPECT_FALSE(S_ISLNK(StatOf(dir / "info.kas").st_mode));
  EXPECT_EQ(ReadAll(dir / "shared/TOLVEN.INI"), "[A]\r\nX=2\r\n");
}

// What another program puts under an exchange file's name is read only when it
// is a regular file within the limit: a FIFO (whose open would wait for a
// writer) or a link is refused at once.
TEST(PosixEnv, AnExchangeFileIsReadOnlyAsARegularFileWithinItsLimit) {
  TempDir dir;
  platform::Env& env = platform::DefaultEnv();
  WriteAll(dir / "bestell.txt", "A;1;3\r\n");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir / "bestell.txt", dir / "link");
  std::string contents;
  EXPECT_TRUE(env.ReadRegularFile(dir / "bestell.txt", 7, contents).ok());
  EXPECT_EQ(contents, "A;1;3\r\n");
  for (const char* name : {"fifo", "link"}) EXPECT_FALSE(env.ReadRegularFile(dir / name, 100, contents).ok()) << name;
  EXPECT_FALSE(env.ReadRegularFile(dir / "bestell.txt", 6, contents).ok());
  EXPECT_EQ(contents, "");
}

// What the installed unit lets the service write: its [Service] section only,
// the administrator's unit before the vendor's, the drop-ins of every folder by
// name (an earlier folder's of the same name wins), an empty ReadWritePaths=
// clearing the list; without ProtectSystem=strict nothing is confined.
TEST(SystemService, WritableFoldersFromTheUnitAndItsDropIns) {
  TempDir etc, lib;
  std::filesystem::create_directories(etc / "tolvenpda.service.d");
  std::filesystem::create_directories(lib / "tolvenpda.service.d");
  WriteAll(etc / "tolvenpda.service",
           "[Unit]\nReadWritePaths=/unit\n[Service]\n  ProtectSystem = strict\r\n# ReadWritePaths=/note\n"
           "ReadWritePaths=-/var/lib/tolven  +/srv/a\n");
  WriteAll(lib / "tolvenpda.service", "[Service]\nProtectSystem=strict\nReadWritePaths=/vendor\n");
  WriteAll(lib / "tolvenpda.service.d/10-share.conf", "[Service]\nReadWritePaths=/mnt/share\n");
  WriteAll(lib / "tolvenpda.service.d/20-x.conf", "[Service]\nReadWritePaths=/lib-loses\n");
  WriteAll(etc / "tolvenpda.service.d/20-x.conf", "[Service]\nReadWritePaths=/etc-wins\n");
  const std::vector<std::string> folders{etc.path(), lib.path()};
  EXPECT_EQ(ServiceWritableFolders(folders),
            (std::vector<std::string>{"/var/lib/tolven", "/srv/a", "/mnt/share", "/etc-wins"}));
  WriteAll(etc / "tolvenpda.service.d/30-reset.conf", "[Service]\nReadWritePaths=\nReadWritePaths=/only\n");
  EXPECT_EQ(ServiceWritableFolders(folders), std::vector<std::string>{"/only"});
  WriteAll(lib / "tolvenpda.service.d/40-loose.conf", "[Service]\nProtectSystem=full\n");
  EXPECT_TRUE(ServiceWritableFolders(folders).empty());
}

TEST(SerialSettings, TermiosForSettingsAndHandshake) {
  const tcflag_t kept = CLOCAL | CREAD | HUPCL;  // no carrier may block the port; unrelated bits stay
  // A cooked terminal, so the translation has something to switch off (that
  // output bytes leave unchanged: the serial printout into a pseudo-terminal).
  termios cooked{};
  cooked.c_iflag = ICRNL | IXON | IXANY | ISTRIP;
  cooked.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
  cooked.c_cflag = CS7 | PARENB | CRTSCTS | HUPCL;
  // text, handshake -> speed, control and input flags
  const std::tuple<const char*, Handshake, speed_t, tcflag_t, tcflag_t> cases[] = {
      {"115200,O,8,1", Handshake::None, B115200, CS8 | PARENB | PARODD, INPCK},
      {" 19200 , e , 7 , 2 ", Handshake::XonXoff, B19200, CS7 | PARENB | CSTOPB, INPCK | IXON | IXOFF},
      {"38400,M,8,1", Handshake::RtsCts, B38400, CS8 | PARENB | PARODD | CMSPAR | CRTSCTS, INPCK},
      {"9600,N,8,1", Handshake::RtsCtsXonXoff, B9600, CS8 | CRTSCTS, IXON | IXOFF},
      {"1200,S,5,1.5", Handshake::None, B1200, CS5 | PARENB | CMSPAR | CSTOPB, INPCK},
  };
  for (const auto& [text, hs, speed, cflag, iflag] : cases) {
    termios t = cooked;
    ASSERT_TRUE(SerialSettingsToTermios(text, hs, t).ok()) << text;
    EXPECT_TRUE(cfgetospeed(&t) == speed && cfgetispeed(&t) == speed) << text;
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | kept), cflag | kept) << text;
    EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF | IXANY | ICRNL | ISTRIP), iflag) << text;
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u) << "nothing the printer sends goes back to it";
  }
  for (const char* text : {"14400,N,8,1", "9600,NO,8,1", "9600,N,8", "9600,N,8,1,1", "9600x,N,8,1", "-9600,N,8,1",
                           "9600,N,9,1", "9600,N,8,3"}) {
    termios t = cooked;
    EXPECT_FALSE(SerialSettingsToTermios(text, Handshake::None, t).ok()) << text;
    EXPECT_EQ(std::memcmp(&t, &cooked, sizeof t), 0) << "a refused text leaves the structure alone";
  }
}

}  // namespace
}  // namespace tolven::platform
