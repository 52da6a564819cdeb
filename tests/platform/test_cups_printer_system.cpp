// The spooler channel against a real CUPS scheduler started privately for the
// test: its own configuration folder, a local socket instead of a port, and
// raw queues whose backend keeps the jobs for the test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/text.h"
#include "platform/posix/cups_printer_system.h"
#include "printing/print_engine.h"
#include "support/fake_env.h"
#include "support/process.h"
#include "support/recording_log.h"

namespace tolven::testing {
namespace {

const char* kCupsd = "/usr/sbin/cupsd";

// Receipt printers are known by queue names the spooler allows ("_" for the
// blank) and by their make and model, and get raw ESC/POS; other printers get
// text; a rejecting queue and a stopped scheduler are failures.
TEST(CupsSpooler, ReceiptPrintersGetRawJobsOthersTextAndFailuresAreReported) {
  if (::access(kCupsd, X_OK) != 0) GTEST_SKIP() << kCupsd << " is not installed (Debian package cups-daemon)";
  // The scheduler runs its backends as user lp, which must reach the spool files.
  TempDir dir;
  for (const char* d : {"", "/conf/ppd", "/spool", "/tmp", "/cache", "/state", "/log", "/bin/backend", "/jobs"}) {
    std::filesystem::create_directories(dir.path() + d);
    ::chmod((dir.path() + d).c_str(), std::string(d) == "/jobs" ? 0777 : 0755);
  }
  // The printer: a backend that keeps every job's bytes in a file named by its number.
  std::filesystem::create_directory_symlink("/usr/lib/cups/daemon", dir / "bin/daemon");
  WriteAll(dir / "bin/backend/socket",
           "#!/bin/sh\n[ $# -eq 0 ] && echo 'network socket \"Unknown\" \"AppSocket\"' && exit 0\n"
           "cat ${6:--} > " +
               dir / "jobs/.$1" + " && mv " + dir / "jobs/.$1" + " " + dir / "jobs/$1\n");
  ::chmod((dir / "bin/backend/socket").c_str(), 0755);
  auto job = [&](int number) {
    const std::string file = dir / ("jobs/" + std::to_string(number));
    return WaitFor([&] { return std::filesystem::exists(file); }, 20000) ? ReadAll(file) : "(none)";
  };
  WriteAll(dir / "conf/cups-files.conf",
           "ServerRoot " + dir / "conf" + "\nRequestRoot " + dir / "spool" + "\nTempDir " + dir / "tmp" +
               "\nCacheDir " + dir / "cache" + "\nStateDir " + dir / "state" + "\nServerBin " + dir / "bin" +
               "\nDataDir /usr/share/cups\nErrorLog " + dir / "log/error_log" + "\nFileDevice No\n");
  const std::string socket = dir / "cups.sock";
  WriteAll(dir / "conf/cupsd.conf", "LogLevel warn\nListen " + socket + "\nBrowsing No\nDefaultAuthType None\n");
  std::string queues;
  for (const std::string q :
       {"DefaultPrinter EPSON_TM-T88V", "Printer CITIZEN_CT-S310", "Printer Bon", "Printer Buero", "Printer Kueche"})
    queues += "<" + q + ">\nDeviceURI socket://127.0.0.1:9100\nState Idle\nAccepting " +
              (q == "Printer Kueche" ? "No" : "Yes") + "\n</" + q.substr(0, q.find(' ')) + ">\n";
  WriteAll(dir / "conf/printers.conf", queues);
  // A queue named after its place, with the maker's description of the model.
  WriteAll(dir / "conf/ppd/Bon.ppd", "*PPD-Adobe: \"4.3\"\n*NickName: \"EPSON BA-T500 Receipt\"\n");
  ChildProcess cupsd(kCupsd, {"-f", "-c", dir / "conf/cupsd.conf", "-s", dir / "conf/cups-files.conf"}, {},
                     dir / "log/stderr");
  platform::CupsPrinterSystem spooler(socket);
  ASSERT_TRUE(WaitFor([&] { return spooler.Reachable().ok(); }, 10000))
      << ReadAll(dir / "log/stderr") + ReadAll(dir / "log/error_log");

  std::vector<std::string> printers = spooler.InstalledPrinters();
  std::sort(printers.begin(), printers.end());
  EXPECT_EQ(printers, (std::vector<std::string>{"Bon", "Buero", "CITIZEN_CT-S310", "EPSON_TM-T88V", "Kueche"}));
  EXPECT_EQ(spooler.DefaultPrinter(), "EPSON_TM-T88V");
  FakeEnv env;
  FakeUi ui;
  RecordingLog log;
  platform::IniFile ini(env, dir.path());
  printing::ChannelPrintEngine engine(
      env, ui, ini, [&ini](const std::string& n) { return printing::GetPrinterCode(ini, n); },
      printing::ChannelPrintEngine::Devices{{}, {}, &spooler, nullptr}, log, dir.path() + "/");

  const std::string hoch = "\x1b!\x10", normal("\x1b!\0", 3), kick("\x1bp\0\x09\x01", 5);
  const std::string reset("\x1b@\x1bt\x02", 5), cut = "\x1dV1\r\n";
  ASSERT_TRUE(engine.MyPrint({hoch + "Tisch 4" + normal, "Grüß Gott", kick}, "NETZ EPSON_TM-T88V", true, false).ok());
  EXPECT_EQ(HexEncode(job(1)), HexEncode(reset + hoch + "Tisch 4\r\n" + normal + "Gr\x81\xE1 Gott\r\n" + kick + cut));
  int number = 1;
  for (const char* queue : {"CITIZEN_CT-S310", "Bon"}) {
    ASSERT_TRUE(engine.MyPrint({"Grüß Gott"}, std::string("NETZ ") + queue, true, false).ok());
    EXPECT_EQ(HexEncode(job(++number)), HexEncode(reset + "Gr\x81\xE1 Gott\r\n" + cut)) << queue;
  }
  ASSERT_TRUE(engine.MyPrint({"Grüß Gott"}, "NETZ Buero", true, false).ok());
  EXPECT_EQ(job(4), "Gr\xC3\xBC\xC3\x9F Gott\n");

  EXPECT_FALSE(engine.MyPrint({"Schnitzel"}, "NETZ Kueche", true, false).ok());
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(
      StartsWith(ui.messages[0].text, "Fehler bei Druck auf Kueche\r\n\r\nWindows meldet: cupsCreateJob(Kueche): "))
      << ui.messages[0].text;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "jobs"), {}), 4) << "nothing from a refused job";
  // A scheduler that stopped is a failure too, not a silent loss.
  cupsd.Stop(5000);
  EXPECT_FALSE(engine.MyPrint({"x"}, "WIN", true, false).ok());
  EXPECT_NE(ui.messages.back().text.find("Das Drucksystem ist nicht erreichbar: httpConnect2("), std::string::npos)
      << ui.messages.back().text;
}

}  // namespace
}  // namespace tolven::testing
