// The Debian package as scripts/release makes it (scripts/package-deb on this
// build): control fields, files, lintian's verdict, and the package installed
// by dpkg into a scratch root, whose binary must run there and whose unit must
// pass systemd's own check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"
#include "e2e/installation.h"

namespace tolven::testing {
namespace {

TEST(DebianPackage, HoldsTheGatewayWithItsUnitUserAndFoldersAndRunsInAScratchRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for dpkg --root";
  TempDir dir;
  int runs = 0;
  auto run = [&](const std::string& program, const std::vector<std::string>& args) {
    const std::string log = dir / ("run" + std::to_string(++runs) + ".log");
    EXPECT_EQ(RunProgram(program, args, {}, log, 300000), 0) << program << ":\n" << ReadAll(log);
    return ReadAll(log);
  };
  std::string version = ReadAll(std::string(TOLVEN_BUILD_DIR) + "/VERSION");
  version.pop_back();
  const std::string deb = dir / "tolvenpda_" + version + "_amd64.deb";
  EXPECT_EQ(run(std::string(TOLVEN_SOURCE_DIR) + "/scripts/package-deb", {TOLVEN_BUILD_DIR, dir.path()}), deb + "\n");
  EXPECT_EQ(run("/usr/bin/dpkg-deb", {"-f", deb, "Package", "Version"}),
            "Package: tolvenpda\nVersion: " + version + "\n");
  const std::string depends = run("/usr/bin/dpkg-deb", {"-f", deb, "Depends"});
  for (const char* lib :
       {"libc6 (", "libsqlite3-0", "libcups2", "libodbc2", "libqrencode4", "libmicrohttpd12", "tdsodbc"}) {
    EXPECT_NE(depends.find(lib), std::string::npos) << lib << " in " << depends;
  }
  const std::string files = run("/usr/bin/dpkg-deb", {"-c", deb});
  EXPECT_EQ(files.find("tse-sim"), std::string::npos) << "the stand-in is not shipped";
  EXPECT_EQ(Occurrences(files, " root/root "), Occurrences(files, "\n")) << files;
  run("/usr/bin/dpkg-deb", {"-e", deb, dir / "control"});
  EXPECT_EQ(ReadAll(dir / "control/conffiles"), "/etc/tolven/TOLVEN.INI.example\n");
  if (access("/usr/bin/lintian", X_OK) == 0) run("/usr/bin/lintian", {"--fail-on", "error", deb});

  // The maintainer scripts make the service user and its folders in the root.
  const std::string root = dir / "root";
  std::filesystem::create_directories(root + "/var/lib/dpkg/updates");
  WriteAll(root + "/var/lib/dpkg/status", "");
  run("/usr/bin/dpkg",
      {"--root=" + root, "--force-script-chrootless", "--force-depends", "--log=/dev/null", "-i", deb});
  EXPECT_EQ(Occurrences(ReadAll(root + "/etc/group"), ":tolven\n"), 2u) << "in dialout and lp";
  struct stat st {};
  ASSERT_EQ(::stat((root + "/etc/tolven").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_NE(ReadAll(root + "/etc/passwd").find("tolven:x:" + std::to_string(st.st_uid) + ":"), std::string::npos);
  const std::string gateway = root + "/usr/bin/tolvenpda";
  EXPECT_EQ(run(gateway, {"--version"}), "tolvenpda " + version + "\n");
  Installation inst;
  EXPECT_EQ(RunProgram(gateway, {"--init-db"}, inst.env, dir / "init.log"), 0) << ReadAll(dir / "init.log");
  EXPECT_EQ(RunProgram(gateway, {"--check"}, inst.env, dir / "check.log"), 0) << ReadAll(dir / "check.log");

  // The installed unit, its ExecStart that binary (systemd-analyze checks it exists).
  const std::string unit = ReadAll(root + "/lib/systemd/system/tolvenpda.service");
  ASSERT_NE(unit.find("\nExecStart=/usr/bin/tolvenpda\n"), std::string::npos);
  WriteAll(dir / "tolvenpda.service", ReplaceAll(unit, "ExecStart=/usr/bin/tolvenpda", "ExecStart=" + gateway));
  EXPECT_EQ(run("/usr/bin/systemd-analyze", {"verify", dir / "tolvenpda.service"}), "");
}

}  // namespace
}  // namespace tolven::testing
