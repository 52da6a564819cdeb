// The spooler channel against a real CUPS scheduler started privately for the
// test: its own configuration folder, a local socket instead of a port, and
// raw queues whose device is a TCP listener of the test standing in for the
// receipt printer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/text.h"
#include "platform/cups_printer_system.h"
#include "printing/print_engine.h"
#include "support/fake_env.h"
#include "support/process.h"
#include "support/recording_log.h"

namespace tolven::testing {
namespace {

const char* kCupsd = "/usr/sbin/cupsd";

// Takes connections on a free port of 127.0.0.1; every connection is one job.
class PrinterListener {
 public:
  PrinterListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 4) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = std::to_string(ntohs(a.sin_port));
  }
  ~PrinterListener() { ::close(fd_); }
  // The next job's bytes, or "(none)" after `seconds` without one.
  std::string NextJob(int seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) <= 0) return "(none)";
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    std::string data;
    char buf[4096];
    for (pollfd q{c, POLLIN, 0}; ::poll(&q, 1, 10000) > 0;) {
      const ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    ::close(c);
    return data;
  }
  std::string port;

 private:
  int fd_;
};

// Receipt printers are known by queue names the spooler allows ("_" for the
// blank) and by their make and model, and get raw ESC/POS; other printers get
// text; a rejecting queue, a missing and a stopped scheduler are failures.
TEST(CupsSpooler, ReceiptPrintersGetRawJobsOthersTextAndFailuresAreReported) {
  if (::access(kCupsd, X_OK) != 0) GTEST_SKIP() << kCupsd << " is not installed (Debian package cups-daemon)";
  PrinterListener printer;
  ASSERT_NE(printer.port, "");
  // The scheduler runs its backends as user lp, which must reach the spool files.
  TempDir dir;
  for (const char* d : {"", "/conf", "/spool", "/tmp", "/cache", "/state", "/log", "/bin", "/bin/backend"}) {
    std::filesystem::create_directories(dir.path() + d);
    ::chmod((dir.path() + d).c_str(), 0755);
  }
  // Only the scheduler is installed, not the network backends: a minimal
  // AppSocket backend does what the real one does for a raw job.
  std::filesystem::create_directory_symlink("/usr/lib/cups/daemon", dir / "bin/daemon");
  WriteAll(dir / "bin/backend/socket",
           "#!/bin/bash\nif [ $# -eq 0 ]; then echo 'network socket \"Unknown\" \"AppSocket\"'; exit 0; fi\n"
           "hp=\"${DEVICE_URI#socket://}\"; hp=\"${hp%%/*}\"\nexec 3<>\"/dev/tcp/${hp%:*}/${hp##*:}\" || exit 1\n"
           "if [ -n \"$6\" ]; then cat \"$6\" >&3; else cat >&3; fi\n");
  ::chmod((dir / "bin/backend/socket").c_str(), 0755);
  WriteAll(dir / "conf/cups-files.conf", "ServerRoot " + dir / "conf" + "\nRequestRoot " + dir / "spool" +
                                             "\nTempDir " + dir / "tmp" + "\nCacheDir " + dir / "cache" +
                                             "\nStateDir " + dir / "state" + "\nServerBin " + dir / "bin" +
                                             "\nDataDir /usr/share/cups\nErrorLog " + dir / "log/error_log" +
                                             "\nFileDevice No\n");
  const std::string socket = dir / "cups.sock";
  WriteAll(dir / "conf/cupsd.conf", "LogLevel warn\nListen " + socket +
                                        "\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                                        "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
  std::string queues;
  for (const auto& [name, extra] : std::vector<std::pair<std::string, std::string>>{
           {"<DefaultPrinter EPSON_TM-T88V", ""}, {"<Printer CITIZEN_CT-S310", ""}, {"<Printer METAPACE_T-3", ""},
           {"<Printer Bon", ""}, {"<Printer Buero", ""},
           {"<Printer Kueche", "Accepting No\n"}}) {
    queues += name + ">\nDeviceURI socket://127.0.0.1:" + printer.port + "\n" + extra + "State Idle\n" +
              (extra == "Accepting No\n" ? "" : "Accepting Yes\n") +
              (name[1] == 'D' ? "</DefaultPrinter>\n" : "</Printer>\n");
  }
  WriteAll(dir / "conf/printers.conf", queues);
  // A queue named after its place, with the maker's description of the model.
  std::filesystem::create_directories(dir / "conf/ppd");
  WriteAll(dir / "conf/ppd/Bon.ppd", "*PPD-Adobe: \"4.3\"\n*NickName: \"EPSON BA-T500 Receipt\"\n");
  ChildProcess cupsd(kCupsd, {"-f", "-c", dir / "conf/cupsd.conf", "-s", dir / "conf/cups-files.conf"}, {},
                     dir / "log/stderr");
  auto diagnostics = [&] { return ReadAll(dir / "log/stderr") + ReadAll(dir / "log/error_log"); };
  platform::CupsPrinterSystem spooler(socket);
  ASSERT_TRUE(WaitFor([&] { return spooler.Reachable().ok(); }, 10000)) << diagnostics();

  std::vector<std::string> printers = spooler.InstalledPrinters();
  std::sort(printers.begin(), printers.end());
  EXPECT_EQ(printers, (std::vector<std::string>{"Bon", "Buero", "CITIZEN_CT-S310", "EPSON_TM-T88V", "Kueche",
                                                "METAPACE_T-3"}));
  EXPECT_EQ(spooler.DefaultPrinter(), "EPSON_TM-T88V");
  EXPECT_EQ(spooler.MakeAndModel("Bon"), "EPSON BA-T500 Receipt");
  FakeEnv env;
  FakeUi ui;
  RecordingLog log;
  platform::IniFile ini(env, dir.path());
  printing::ChannelPrintEngine::Devices devices;
  devices.spooler = &spooler;
  printing::ChannelPrintEngine engine(
      env, ui, ini, [&ini](const std::string& n) { return printing::GetPrinterCode(ini, n); }, devices, log,
      dir.path() + "/");

  const std::string hoch = "\x1b!\x10", normal("\x1b!\0", 3), kick("\x1bp\0\x09\x01", 5);
  ASSERT_TRUE(engine.MyPrint({hoch + "Tisch 4" + normal, "Grüße", kick}, "NETZ EPSON_TM-T88V", true, false).ok());
  const std::string reset("\x1b@\x1bt\x02", 5);
  EXPECT_EQ(HexEncode(printer.NextJob(20)),
            HexEncode(reset + hoch + "Tisch 4\r\n" + normal + "Gr\x81\xE1" "e\r\n" + kick + "\x1dV1\r\n"))
      << diagnostics();
  for (const char* queue : {"CITIZEN_CT-S310", "METAPACE_T-3", "Bon"}) {
    ASSERT_TRUE(engine.MyPrint({"Grüße"}, std::string("NETZ ") + queue, true, false).ok());
    EXPECT_EQ(HexEncode(printer.NextJob(20)), HexEncode(reset + "Gr\x81\xE1" "e\r\n\x1dV1\r\n")) << queue;
  }
  ASSERT_TRUE(engine.MyPrint({"Grüße"}, "NETZ Buero", true, false).ok());
  EXPECT_EQ(printer.NextJob(20), "Gr\xC3\xBC\xC3\x9F" "e\n");
  EXPECT_TRUE(ui.messages.empty()) << ui.messages[0].text;

  EXPECT_FALSE(engine.MyPrint({"Schnitzel"}, "NETZ Kueche", true, false).ok());
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(StartsWith(ui.messages[0].text, "Fehler bei Druck auf Kueche\r\n\r\nWindows meldet: cupsCreateJob(Kueche): "))
      << ui.messages[0].text;
  EXPECT_EQ(printer.NextJob(1), "(none)") << "nothing may reach a printer from a refused job";
  // A scheduler that is not there, or stopped, is a failure too, not a silent loss.
  EXPECT_FALSE(platform::CupsPrinterSystem(dir / "no-cups.sock").SubmitRaw("EPSON_TM-T88V", "x", "x").ok());
  cupsd.Signal(SIGTERM);
  cupsd.Wait(5000);
  EXPECT_FALSE(engine.MyPrint({"x"}, "WIN", true, false).ok());
  EXPECT_NE(ui.messages.back().text.find("Das Drucksystem ist nicht erreichbar: httpConnect2("), std::string::npos)
      << ui.messages.back().text;
}

}  // namespace
}  // namespace tolven::testing
