// The Debian package as scripts/release makes it (scripts/package-deb on this
// build): its control fields and files, lintian's verdict, and the package
// installed into a scratch root, whose binary must run there and whose unit
// must pass systemd's own check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "common/text.h"
#include "e2e/installation.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

std::string Trimmed(const std::string& text) {
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

TEST(DebianPackage, HoldsTheGatewayWithItsUnitUserAndFoldersAndRunsInAScratchRoot) {
  if (!fs::exists("/usr/bin/dpkg-shlibdeps")) GTEST_SKIP() << "dpkg-dev is not installed";
  TempDir dir;
  const std::string script = std::string(TOLVEN_SOURCE_DIR) + "/scripts/package-deb";
  ASSERT_EQ(RunProgram(script, {TOLVEN_BUILD_DIR, dir / "out"}, {}, dir / "package.log", 120000), 0)
      << ReadAll(dir / "package.log");
  const std::string version = Trimmed(ReadAll(std::string(TOLVEN_BUILD_DIR) + "/VERSION"));
  const std::string deb = dir / "out/tolvenpda_" + version + "_amd64.deb";
  ASSERT_EQ(Trimmed(ReadAll(dir / "package.log")), deb);

  int runs = 0;
  auto dpkgDeb = [&](const std::vector<std::string>& args) {
    const std::string log = dir / ("dpkg-deb" + std::to_string(++runs) + ".log");
    EXPECT_EQ(RunProgram("/usr/bin/dpkg-deb", args, {}, log), 0) << ReadAll(log);
    return ReadAll(log);
  };
  EXPECT_EQ(dpkgDeb({"-f", deb, "Package", "Version", "Architecture"}),
            "Package: tolvenpda\nVersion: " + version + "\nArchitecture: amd64\n");
  const std::string depends = dpkgDeb({"-f", deb, "Depends"});
  for (const char* lib : {"libc6", "libsqlite3-0", "libcups2", "libodbc2", "libqrencode4", "libmicrohttpd12", "tdsodbc",
                          "systemd | systemd-standalone-sysusers"}) {
    EXPECT_NE(depends.find(lib), std::string::npos) << lib << " in " << depends;
  }
  const std::string files = dpkgDeb({"-c", deb});
  for (const char* path : {" ./usr/bin/tolvenpda\n", " ./lib/systemd/system/tolvenpda.service\n",
                           " ./usr/lib/sysusers.d/tolvenpda.conf\n", " ./usr/lib/tmpfiles.d/tolvenpda.conf\n",
                           " ./etc/tolven/TOLVEN.INI.example\n", " ./usr/share/doc/tolvenpda/copyright\n"}) {
    EXPECT_NE(files.find(path), std::string::npos) << path << " in\n" << files;
  }
  EXPECT_EQ(files.find("tse-sim"), std::string::npos) << "the stand-in is not shipped";
  EXPECT_EQ(Occurrences(files, "root/root"), Occurrences(files, "\n")) << files;
  dpkgDeb({"-e", deb, dir / "control"});
  EXPECT_EQ(ReadAll(dir / "control/conffiles"), "/etc/tolven/TOLVEN.INI.example\n");

  if (fs::exists("/usr/bin/lintian")) {
    EXPECT_EQ(RunProgram("/usr/bin/lintian", {"--fail-on", "error", deb}, {}, dir / "lintian.log", 300000), 0)
        << ReadAll(dir / "lintian.log");
  }

  // Installed into a scratch root: as root through dpkg with the maintainer
  // scripts (the service user and its folders made there), otherwise unpacked.
  const std::string root = dir / "root";
  if (::geteuid() == 0) {
    for (const char* d : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "etc"}) fs::create_directories(root + "/" + d);
    WriteAll(root + "/var/lib/dpkg/status", "");
    ASSERT_EQ(RunProgram("/usr/bin/dpkg",
                         {"--root=" + root, "--force-script-chrootless", "--force-depends", "--log=/dev/null", "-i", deb},
                         {}, dir / "dpkg.log", 120000),
              0)
        << ReadAll(dir / "dpkg.log");
    EXPECT_NE(ReadAll(root + "/etc/passwd").find("tolven:x:"), std::string::npos) << "made by systemd-sysusers";
    EXPECT_NE(ReadAll(root + "/etc/group").find("dialout:"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat((root + "/var/lib/tolven").c_str(), &st), 0) << "made by systemd-tmpfiles";
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_NE(st.st_uid, 0u);
  } else {
    dpkgDeb({"-x", deb, root});
  }
  const std::string gateway = root + "/usr/bin/tolvenpda";
  EXPECT_EQ(RunProgram(gateway, {"--version"}, {}, dir / "version.log"), 0);
  EXPECT_EQ(ReadAll(dir / "version.log"), "tolvenpda " + version + "\n");
  Installation inst;
  ASSERT_EQ(RunProgram(gateway, {"--init-db"}, inst.env, dir / "init.log"), 0) << ReadAll(dir / "init.log");
  EXPECT_EQ(RunProgram(gateway, {"--check"}, inst.env, dir / "check.log"), 0) << ReadAll(dir / "check.log");

  // The unit as installed, its ExecStart the unpacked binary (systemd-analyze
  // checks that it exists).
  const std::string analyze = "/usr/bin/systemd-analyze";
  if (!fs::exists(analyze)) GTEST_SKIP() << "systemd-analyze is not installed";
  std::string unit = ReadAll(root + "/lib/systemd/system/tolvenpda.service");
  const std::string execStart = "ExecStart=/usr/bin/tolvenpda\n";
  ASSERT_NE(unit.find(execStart), std::string::npos);
  WriteAll(dir / "tolvenpda.service", ReplaceAll(unit, execStart, "ExecStart=" + gateway + "\n"));
  EXPECT_EQ(RunProgram(analyze, {"verify", dir / "tolvenpda.service"}, {}, dir / "verify.log"), 0)
      << ReadAll(dir / "verify.log");
  EXPECT_EQ(ReadAll(dir / "verify.log"), "");
}

}  // namespace
}  // namespace tolven::testing
