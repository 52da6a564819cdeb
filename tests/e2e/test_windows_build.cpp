// The Windows build (scripts/build-windows) under Wine: tolvenpda.exe and
// tse-sim.exe go through the same evening as the Linux programs, with the
// same database content and the same terminal files, and must answer byte for
// byte as they do. One kitchen printer hangs on a COM port that Wine maps to a
// pseudo-terminal, so the serial path of the Windows port layer is read on the
// Linux side. Skipped with a line saying why when Wine or the build is missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include "common/cp1252.h"
#include "common/text.h"
#include "e2e/installation.h"
#include "support/pty.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

// Where the Windows programs are: $TOLVEN_WINDOWS_BUILD, else build-windows
// beside the sources.
std::string WindowsBuild() {
  const char* dir = std::getenv("TOLVEN_WINDOWS_BUILD");
  return dir && *dir ? dir : std::string(TOLVEN_SOURCE_DIR) + "/build-windows";
}
const std::string kWineRun = std::string(TOLVEN_SOURCE_DIR) + "/scripts/wine-run";

std::string WinePrefix() {
  const char* p = std::getenv("WINEPREFIX");
  if (p && *p) return p;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/tolvenpda-wine-" + std::to_string(::getuid());
}

bool HaveWine() {
  return fs::exists("/usr/bin/wine64") || fs::exists("/usr/lib/wine/wine64") || fs::exists("/usr/bin/wine");
}

// How one build's programs are started, and how it writes a path.
struct Programs {
  bool windows = false;
  std::string gateway, tseSim;

  std::string Program(const std::string& exe) const { return windows ? kWineRun : exe; }
  std::vector<std::string> Args(const std::string& exe, std::vector<std::string> args) const {
    if (windows) args.insert(args.begin(), exe);
    return args;
  }
  // Windows programs see the Linux root as drive Z:.
  std::string Path(const std::string& path) const { return windows ? "Z:" + ReplaceAll(path, "/", "\\") : path; }
};

struct Evening {
  std::vector<std::string> answers;  // every answer file, in the order of the exchanges
  std::string payments, signedReceipts, signedOrders, kitchenFile, serialBytes, receiptArchive, log;
};

// Clock times and dates differ between two runs (and so the check values over
// a printout), and the kitchen ticket's running number depends on whether the
// next order was taken while the previous one waited for the TSE; nothing else may.
std::string WithoutClock(const std::string& text) {
  static const std::regex kClock(R"(\d\d[:.]\d\d([:.]\d\d(\d\d)?)?|###CRC:[0-9A-F]{4}|Nr\.\d+/\d+)");
  return std::regex_replace(text, kClock, "#");
}

Evening RunEvening(const Programs& p) {
  Evening e;
  Installation inst;
  Pty pty;
  EXPECT_FALSE(pty.device.empty());
  if (p.windows) {
    // COM20 of the Wine prefix is the pseudo-terminal (Wine links the low
    // numbers to the machine's own ports when it starts; the high ones stay).
    const fs::path com = fs::path(WinePrefix()) / "dosdevices/com20";
    fs::remove(com);
    fs::create_symlink(pty.device, com);
    inst.env["TOLVEN_WINDIR"] = p.Path(inst.dir / "etc");
  }
  WriteAll(inst.dir / "etc/TOLVEN.INI",
           "[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nDATENBANK=" + p.Path(inst.dir / "data") +
               "\r\nEXE=" + p.Path(inst.dir / "data") + "\r\n[SETUP]\r\nKASSNR=2\r\n[PORTS]\r\nCOM5=" +
               (p.windows ? std::string("\\\\.\\COM20") : pty.device) + "\r\n");
  auto run = [&](const std::string& exe, std::vector<std::string> args, const std::string& log) {
    return RunProgram(p.Program(exe), p.Args(exe, std::move(args)), inst.env, inst.dir / log, 120000);
  };
  EXPECT_EQ(run(p.gateway, {"--init-db"}, "init.log"), 0) << ReadAll(inst.dir / "init.log");
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + p.Path(inst.dir / "pda1") + "', pfadppcsync2 = '" +
           p.Path(inst.dir / "pda2") + "', kuebonport1 = 'FILE:" + p.Path(inst.dir / "out/kueche.txt") +
           "', kuebonport2 = 'COM5', bondruckport = 'FILE:" + p.Path(inst.dir / "out/bon.txt") + "', bonshowbed = -1");
  inst.AddEveningData();
  EXPECT_EQ(run(p.gateway, {"--check"}, "check.log"), 0) << ReadAll(inst.dir / "check.log");

  ChildProcess sim(p.Program(p.tseSim), p.Args(p.tseSim, {}), inst.env, inst.dir / "tse-sim.log");
  ChildProcess gateway(p.Program(p.gateway), p.Args(p.gateway, {}), inst.env, inst.dir / "gateway.log");
  EXPECT_TRUE(
      WaitFor([&] { return ReadAll(inst.dir / "gateway.log").find("gestartet") != std::string::npos; }, kEventWaitMs))
      << ReadAll(inst.dir / "gateway.log");
  auto order = [&](const std::string& pda, const std::string& text) {
    e.answers.push_back(inst.Drop(pda, "bestell.txt", text, "confirm.kas"));
  };
  auto ask = [&](const std::string& pda, const std::string& request) { e.answers.push_back(inst.Ask(pda, request)); };
  order("pda1", "A;12;3\r\nD;10;2;;\r\nD;20;1;ohne Salat;1x5\r\nE;;\r\n");
  order("pda2", "A;14;3\r\nD;10;1;;\r\nE;;\r\n");
  order("pda2", "A;15;3\r\nD;99;1;;\r\nE;;\r\n");
  ask("pda1", "ANMELDUNG;3;1");
  ask("pda1", "ANMELDUNG;3;9");
  ask("pda1", "TISCH;12");
  const std::string table = e.answers.back();
  const std::string beerId = table.size() >= 76 ? table.substr(66, 10) : "";
  ask("pda2", "TISCH;14");
  ask("pda1", "VISA;12;3;" + beerId);
  ask("pda1", "ABRECHNEN;12;3;");
  ask("pda2", "KUKA;14;3;4711");
  ask("pda2", "KUKA;14;3;9999");
  ask("pda2", "TISCH;14");
  // The kitchen's printouts and the last receipt are out before the answers.
  e.serialBytes = pty.Drain(3000);

  gateway.Signal(SIGINT);
  EXPECT_EQ(gateway.Wait(20000), 0) << "the gateway ends after its work on Ctrl-C";
  sim.Signal(SIGINT);
  sim.Wait(20000);
  e.payments =
      inst.Scalar("SELECT GROUP_CONCAT(zahlart || ':' || betrag, ' ') FROM (SELECT * FROM kass ORDER BY bunr)");
  e.signedReceipts = inst.Scalar("SELECT COUNT(*) FROM kass WHERE tse_signatur <> '' AND tse_qr LIKE 'V0;%'");
  e.signedOrders = inst.Scalar("SELECT COUNT(*) FROM tse_bestellungen WHERE tse_signatur <> ''");
  e.kitchenFile = ReadAll(inst.dir / "out/kueche.txt");
  e.receiptArchive = ReadAll(inst.dir / ("data/ARCHIV/BON/BON" + inst.Scalar("SELECT MIN(bunr) FROM kass") + ".BON"));
  e.log = Utf8ToCp1252(ReadAll(inst.dir / "gateway.log"));
  return e;
}

TEST(WindowsBuild, AnEveningUnderWineAnswersAsOnLinux) {
  const Programs windows{true, WindowsBuild() + "/tolvenpda.exe", WindowsBuild() + "/tse-sim.exe"};
  if (!HaveWine()) GTEST_SKIP() << "Wine is not installed: the Windows build is not tried";
  if (!fs::exists(windows.gateway) || !fs::exists(windows.tseSim)) {
    GTEST_SKIP() << "no Windows build in " << WindowsBuild() << " (scripts/build-windows)";
  }
  const Evening linux = RunEvening({false, kGateway, kTseSim});
  const Evening win = RunEvening(windows);

  ASSERT_EQ(linux.answers.size(), 12u);
  EXPECT_EQ(linux.answers[0], "OK\r\n");
  EXPECT_EQ(linux.answers[3], "OKJürgen\r\n");
  EXPECT_EQ(linux.payments, "VISA:840 BAR:1540 KDKTO:420");
  for (size_t i = 0; i < linux.answers.size(); ++i) {
    EXPECT_EQ(HexEncode(win.answers.at(i)), HexEncode(linux.answers[i])) << "answer " << i << ":\n" << win.answers[i];
  }
  EXPECT_EQ(win.payments, linux.payments);
  EXPECT_EQ(win.signedReceipts, "3");
  EXPECT_EQ(win.signedOrders, linux.signedOrders) << linux.log;
  EXPECT_EQ(WithoutClock(win.kitchenFile), WithoutClock(linux.kitchenFile));
  EXPECT_NE(linux.serialBytes.find("bier 0,5"), std::string::npos) << HexEncode(linux.serialBytes);
  EXPECT_EQ(HexEncode(WithoutClock(win.serialBytes)), HexEncode(WithoutClock(linux.serialBytes)));
  EXPECT_NE(win.receiptArchive.find("TSE-Signatur:"), std::string::npos) << win.receiptArchive;
  EXPECT_EQ(WithoutClock(win.receiptArchive).size(), WithoutClock(linux.receiptArchive).size());
  EXPECT_NE(win.log.find("Bestellung für Tisch 12 von Kellner 3:"), std::string::npos) << win.log;
  EXPECT_EQ(Occurrences(win.log, "FEHLER"), 1u) << "only the unknown article's order\n" << win.log;
}

// The zip handed out: the gateway alone, with its version resource, and the
// technician's guide as Windows text that names no document outside the zip.
TEST(WindowsBuild, TheZipHoldsTheGatewayItsGuideAndAnExampleIni) {
  const std::string zip = WindowsBuild() + "/tolvenpda-windows.zip";
  if (!fs::exists(zip)) GTEST_SKIP() << "no " << zip << " (scripts/build-windows)";
  TempDir dir;
  ASSERT_EQ(RunProgram("/usr/bin/python3", {"-m", "zipfile", "-l", zip}, {}, dir / "list.log"), 0);
  EXPECT_EQ(Occurrences(ReadAll(dir / "list.log"), "tolvenpda-windows/"), 4u) << ReadAll(dir / "list.log");
  ASSERT_EQ(RunProgram("/usr/bin/python3", {"-m", "zipfile", "-e", zip, dir.path()}, {}, dir / "unzip.log"), 0);
  auto utf16 = [](const std::string& text) {
    std::string out;
    for (char c : text) out += std::string{c, '\0'};
    return out;
  };
  const std::string exe = ReadAll(dir / "tolvenpda-windows/tolvenpda.exe"),
                    version = ReadAll(WindowsBuild() + "/VERSION");
  EXPECT_NE(exe.find(utf16("FileVersion")), std::string::npos) << "a version resource";
  EXPECT_NE(exe.find(utf16(version.substr(0, version.size() - 1) + '\0')), std::string::npos) << version;
  const std::string guide = ReadAll(dir / "tolvenpda-windows/LIESMICH.txt");
  EXPECT_EQ(Occurrences(guide, "\n"), Occurrences(guide, "\r\n"));
  for (const char* part : {"Gateway für Windows\r\n", "--init-db", "icacls C:\\Windows\\TOLVEN.INI",
                           "\\\\KASSENSERVER\\", "Aktualisieren", "TOLVENSIM-"}) {
    EXPECT_NE(guide.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(guide.find(".md"), std::string::npos);
}

// Installed as a service (Wine's service manager starts it, with the Windows
// folder as its configuration folder), the gateway writes its running log to
// a daily file of the installation and says there that it ended. The test has
// a Wine prefix of its own: Wine's service manager hands its services the
// environment of the program that started the prefix, in a shared prefix
// whichever test came first.
TEST(WindowsBuild, AsAServiceTheGatewayKeepsADailyLogAndSaysWhenItEnds) {
  const std::string gateway = WindowsBuild() + "/tolvenpda.exe";
  if (!HaveWine()) GTEST_SKIP() << "Wine is not installed: the Windows build is not tried";
  if (!fs::exists(gateway)) GTEST_SKIP() << "no Windows build in " << WindowsBuild() << " (scripts/build-windows)";
  std::string wineserver;
  for (const char* w : {"/usr/bin/wineserver", "/usr/lib/wine/wineserver64", "/usr/lib/wine/wineserver"}) {
    if (wineserver.empty() && fs::exists(w)) wineserver = w;
  }
  if (wineserver.empty()) GTEST_SKIP() << "no wineserver";
  TempDir dir;
  const std::string data = "Z:" + ReplaceAll(dir / "data", "/", "\\");
  fs::create_directories(dir / "data");
  fs::create_directories(dir / "wine");
  const std::map<std::string, std::string> env{{"TOLVEN_WINDIR", "C:\\windows"}, {"WINEPREFIX", dir / "wine"}};
  auto wine = [&](std::vector<std::string> args, const std::string& log) {
    return RunProgram(kWineRun, std::move(args), env, dir / log, 180000);
  };
  struct Ended {
    std::function<void()> f;
    ~Ended() { f(); }
  } ended{[&] { RunProgram(wineserver, {"-k"}, env, dir / "kill.log"); }};
  // A lasting wineserver: without one, Wine ends the services with the last
  // program of the prefix (each sc call here).
  ASSERT_EQ(RunProgram(wineserver, {"-p"}, env, dir / "wineserver.log"), 0) << ReadAll(dir / "wineserver.log");
  ASSERT_EQ(wine({"cmd", "/c", "exit"}, "boot.log"), 0) << ReadAll(dir / "boot.log");
  WriteAll(dir / "wine/drive_c/windows/TOLVEN.INI", "[DATABASE]\r\nENGINE=SQLITE\r\n[PFADE]\r\nDATENBANK=" + data +
                                                        "\r\nEXE=" + data + "\r\n[SETUP]\r\nKASSNR=4\r\n");
  ASSERT_EQ(wine({gateway, "--init-db"}, "init.log"), 0) << ReadAll(dir / "init.log");
  ASSERT_EQ(wine({gateway, "--install-service"}, "install.log"), 0) << ReadAll(dir / "install.log");
  ASSERT_EQ(wine({"sc", "start", "tolvenpda"}, "start.log"), 0) << ReadAll(dir / "start.log");
  auto daily = [&] {
    std::string text;
    if (!fs::exists(dir / "data/LOG")) return text;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "data/LOG")) {
      if (entry.path().filename().string().rfind("GATEWAY", 0) == 0) text += ReadAll(entry.path().string());
    }
    return text;
  };
  EXPECT_TRUE(WaitFor([&] { return daily().find("Kasse 4\r\n") != std::string::npos; }, kEventWaitMs)) << daily();
  ASSERT_EQ(wine({"sc", "stop", "tolvenpda"}, "stop.log"), 0) << ReadAll(dir / "stop.log");
  EXPECT_TRUE(WaitFor(
      [&] {
        return daily().find(
                   "endet (R\xFC"
                   "ckgabewert 0).") != std::string::npos;
      },
      kEventWaitMs))
      << daily();
  EXPECT_NE(daily().find("Orderterminal-Gateway beendet.\r\n"), std::string::npos) << daily();
}

}  // namespace
}  // namespace tolven::testing
