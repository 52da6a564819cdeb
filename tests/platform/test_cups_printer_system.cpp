// The spooler channel against a real CUPS scheduler started privately for the
// test: its own configuration folder, a local socket instead of a port, and a
// raw queues whose device is a TCP listener of the test standing in for the
// receipt printer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "common/text.h"
#include "platform/cups_printer_system.h"
#include "printing/print_engine.h"
#include "support/fake_env.h"
#include "support/process.h"

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
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 4) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~PrinterListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }
  // The next job's bytes, or nullopt after `seconds` without one.
  std::optional<std::string> NextJob(int seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) <= 0) return std::nullopt;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return std::nullopt;
    std::string data;
    char buf[4096];
    for (pollfd q{c, POLLIN, 0}; ::poll(&q, 1, 10000) > 0;) {
      ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    ::close(c);
    return data;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

void Write(const std::string& path, const std::string& text, mode_t mode = 0644) {
  WriteAll(path, text);
  ::chmod(path.c_str(), mode);
}

// A scheduler of our own; stopped (and its folder removed) at the end.
class PrivateCups {
 public:
  // `morePrinters`: further queues in printers.conf form; "@PORT@" is the listener's port.
  // `ppds`: queue name -> PPD text, for queues with a make and model of their own.
  explicit PrivateCups(int printerPort, const std::string& morePrinters = "",
                       const std::map<std::string, std::string>& ppds = {}) {
    // The scheduler runs its backends as user lp, which must reach the spool files.
    ::chmod(dir_.path().c_str(), 0755);
    for (const char* d : {"conf", "spool", "tmp", "cache", "state", "log", "bin", "bin/backend"}) {
      std::filesystem::create_directories(dir_ / d);
      ::chmod((dir_ / d).c_str(), 0755);
    }
    std::string serverBin = "/usr/lib/cups";
    if (::access("/usr/lib/cups/backend/socket", X_OK) != 0) {
      // Only the scheduler is installed, not the network backends: a minimal
      // AppSocket backend does what the real one does for a raw job.
      serverBin = dir_ / "bin";
      std::filesystem::create_directory_symlink("/usr/lib/cups/daemon", dir_ / "bin/daemon");
      Write(dir_ / "bin/backend/socket",
            "#!/bin/bash\n"
            "if [ $# -eq 0 ]; then echo 'network socket \"Unknown\" \"AppSocket\"'; exit 0; fi\n"
            "hp=\"${DEVICE_URI#socket://}\"; hp=\"${hp%%/*}\"\n"
            "exec 3<>\"/dev/tcp/${hp%:*}/${hp##*:}\" || exit 1\n"
            "if [ -n \"$6\" ]; then cat \"$6\" >&3; else cat >&3; fi\n",
            0755);
    }
    if (!ppds.empty()) std::filesystem::create_directories(dir_ / "conf/ppd");
    for (const auto& [queue, ppd] : ppds) Write(dir_ / ("conf/ppd/" + queue + ".ppd"), ppd);
    socket_ = dir_ / "cups.sock";
    Write(dir_ / "conf/cups-files.conf",
          "ServerRoot " + (dir_ / "conf") + "\nRequestRoot " + (dir_ / "spool") + "\nTempDir " + (dir_ / "tmp") +
              "\nCacheDir " + (dir_ / "cache") + "\nStateDir " + (dir_ / "state") + "\nServerBin " + serverBin +
              "\nDataDir /usr/share/cups\nErrorLog " + (dir_ / "log/error_log") + "\nAccessLog " +
              (dir_ / "log/access_log") + "\nPageLog " + (dir_ / "log/page_log") + "\nFileDevice No\n");
    Write(dir_ / "conf/cupsd.conf",
          "LogLevel warn\nListen " + socket_ +
              "\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
              "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
              "<Policy default>\n  <Limit All>\n    Order deny,allow\n    Allow all\n  </Limit>\n</Policy>\n");
    Write(dir_ / "conf/printers.conf",
          "<DefaultPrinter EPSON_TM-T88V>\nDeviceURI socket://127.0.0.1:" + std::to_string(printerPort) +
              "\nState Idle\nAccepting Yes\n</DefaultPrinter>\n" +
              ReplaceAll(morePrinters, "@PORT@", std::to_string(printerPort)),
          0600);

    cupsd_ = std::make_unique<ChildProcess>(
        kCupsd, std::vector<std::string>{"-f", "-c", dir_ / "conf/cupsd.conf", "-s", dir_ / "conf/cups-files.conf"},
        std::map<std::string, std::string>{}, dir_ / "log/stderr");
  }
  ~PrivateCups() {
    cupsd_->Signal(SIGTERM);
    cupsd_->Wait(5000);  // a scheduler still running then is killed
  }

  // Waits until the scheduler takes connections on its socket; false when it ended instead.
  bool Ready() {
    auto connects = [this] {
      int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket_.c_str());
      bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(fd);
      return ok;
    };
    return WaitFor([&] { return connects() || cupsd_->Wait(0) != -1; }, 10000) && cupsd_->running();
  }

  const std::string& socket() const { return socket_; }
  void Stop() {
    cupsd_->Signal(SIGTERM);
    cupsd_->Wait(5000);
  }
  std::string Diagnostics() const { return ReadAll(dir_ / "log/stderr") + ReadAll(dir_ / "log/error_log"); }

 private:
  TempDir dir_;
  std::string socket_;
  std::unique_ptr<ChildProcess> cupsd_;
};

struct NoLog : LogSink {
  void AddLogLine(const std::string&) override {}
};

// The print engine with the private scheduler as its only device.
struct SpoolerEngine {
  explicit SpoolerEngine(platform::PrinterSystem& spooler)
      : ini(env, dir.path()), engine(env, ui, ini, Codes(ini), Devices(spooler), log, dir.path() + "/") {}

  static std::function<std::string(const std::string&)> Codes(platform::IniFile& ini) {
    return [&ini](const std::string& n) { return printing::GetPrinterCode(ini, n); };
  }
  static printing::ChannelPrintEngine::Devices Devices(platform::PrinterSystem& spooler) {
    printing::ChannelPrintEngine::Devices devices;
    devices.spooler = &spooler;
    return devices;
  }

  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  NoLog log;
  platform::IniFile ini;
  printing::ChannelPrintEngine engine;
};

// Receipt printers are known by queue names the spooler allows ("_" for the
// blank) and by their make and model, and get raw ESC/POS; other printers get
// text; a rejecting queue, a missing and a stopped scheduler are failures.
TEST(CupsSpooler, ReceiptPrintersGetRawJobsOthersTextAndFailuresAreReported) {
  if (::access(kCupsd, X_OK) != 0) GTEST_SKIP() << kCupsd << " is not installed (Debian package cups-daemon)";
  PrinterListener printer;
  ASSERT_GT(printer.port(), 0);
  std::string queues;
  for (const auto& [name, model] : std::vector<std::pair<std::string, std::string>>{
           {"CITIZEN_CT-S310", ""}, {"METAPACE_T-3", ""}, {"Bon", "EPSON BA-T500 Receipt"}, {"Buero", ""}}) {
    queues += "<Printer " + name + ">\nDeviceURI socket://127.0.0.1:@PORT@\n" +
              (model.empty() ? "" : "MakeModel " + model + "\n") + "State Idle\nAccepting Yes\n</Printer>\n";
  }
  // A queue named after its place, with the maker's description of the model.
  const std::string ppd =
      "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
      "*LanguageEncoding: ISOLatin1\n*PCFileName: \"BON.PPD\"\n*Manufacturer: \"EPSON\"\n*Product: \"(BA-T500)\"\n"
      "*ModelName: \"EPSON BA-T500\"\n*ShortNickName: \"EPSON BA-T500 Receipt\"\n"
      "*NickName: \"EPSON BA-T500 Receipt\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n"
      "*ColorDevice: False\n*DefaultColorSpace: Gray\n*FileSystem: False\n*Throughput: \"1\"\n"
      "*OpenUI *PageSize: PickOne\n*DefaultPageSize: X80\n*PageSize X80/80mm: \"<</PageSize[226 800]>>setpagedevice\"\n"
      "*CloseUI: *PageSize\n*DefaultImageableArea: X80\n*ImageableArea X80: \"0 0 226 800\"\n"
      "*DefaultPaperDimension: X80\n*PaperDimension X80: \"226 800\"\n";
  PrivateCups cups(printer.port(), queues, {{"Bon", ppd}});
  ASSERT_TRUE(cups.Ready()) << cups.Diagnostics();
  ::setenv("CUPS_SERVER", cups.socket().c_str(), 1);
  // A queue that takes no jobs, set up through the administration commands.
  std::string admin = "/usr/sbin/lpadmin -p Kueche -E -v socket://127.0.0.1:9 >/dev/null 2>&1 && "
                      "/usr/sbin/cupsreject Kueche >/dev/null 2>&1";
  ASSERT_EQ(std::system(admin.c_str()), 0) << cups.Diagnostics();

  platform::CupsPrinterSystem spooler;  // finds the scheduler through CUPS_SERVER
  EXPECT_EQ(spooler.Server(), cups.socket());
  std::vector<std::string> printers = spooler.InstalledPrinters();
  std::sort(printers.begin(), printers.end());
  EXPECT_EQ(printers, (std::vector<std::string>{"Bon", "Buero", "CITIZEN_CT-S310", "EPSON_TM-T88V", "Kueche",
                                                "METAPACE_T-3"}));
  EXPECT_EQ(spooler.DefaultPrinter(), "EPSON_TM-T88V");
  EXPECT_EQ(spooler.MakeAndModel("Bon"), "EPSON BA-T500 Receipt");
  EXPECT_TRUE(spooler.Reachable().ok());
  SpoolerEngine rig(spooler);
  printing::ChannelPrintEngine& engine = rig.engine;
  FakeUi& ui = rig.ui;

  const std::string hoch = "\x1b!\x10";
  ASSERT_TRUE(engine.MyPrint({hoch + "Tisch 4" + std::string("\x1b!\0", 3), "Grüße", std::string("\x1bp\0\x09\x01", 5)},
                             "NETZ EPSON_TM-T88V", true, false)
                  .ok())
      << (ui.messages.empty() ? "" : ui.messages[0].text);
  std::optional<std::string> job = printer.NextJob(20);
  ASSERT_TRUE(job.has_value()) << cups.Diagnostics();
  const std::string reset("\x1b@\x1bt\x02", 5);
  EXPECT_EQ(HexEncode(*job), HexEncode(reset + hoch + "Tisch 4\r\n" + std::string("\x1b!\0", 3) + "Gr\x81\xE1" "e\r\n" +
                                       std::string("\x1bp\0\x09\x01", 5) + "\x1dV1\r\n"));
  for (const char* queue : {"CITIZEN_CT-S310", "METAPACE_T-3", "Bon"}) {
    SCOPED_TRACE(queue);
    ASSERT_TRUE(engine.MyPrint({"Grüße"}, std::string("NETZ ") + queue, true, false).ok());
    job = printer.NextJob(20);
    ASSERT_TRUE(job.has_value()) << cups.Diagnostics();
    EXPECT_EQ(HexEncode(job->substr(0, 5)), HexEncode(reset)) << "ESC/POS, not a text job";
    EXPECT_NE(job->find("Gr\x81\xE1" "e\r\n"), std::string::npos) << "umlauts in the printer's code table";
  }
  ASSERT_TRUE(engine.MyPrint({"Grüße"}, "NETZ Buero", true, false).ok());
  job = printer.NextJob(20);
  ASSERT_TRUE(job.has_value()) << cups.Diagnostics();
  EXPECT_EQ(*job, "Gr\xC3\xBC\xC3\x9F" "e\n");
  EXPECT_TRUE(ui.messages.empty()) << ui.messages[0].text;

  EXPECT_FALSE(engine.MyPrint({"Schnitzel"}, "NETZ Kueche", true, false).ok());
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(StartsWith(ui.messages[0].text, "Fehler bei Druck auf Kueche\r\n\r\nWindows meldet: cupsCreateJob(Kueche): "))
      << ui.messages[0].text;
  EXPECT_FALSE(printer.NextJob(1).has_value()) << "nothing may reach a printer from a refused job";
  // A scheduler that is not there, or stopped, is a failure too, not a silent loss.
  platform::CupsPrinterSystem nowhere(rig.dir / "no-cups.sock");
  EXPECT_FALSE(nowhere.SubmitRaw("EPSON_TM-T88V", "x", "x").ok());
  EXPECT_TRUE(nowhere.InstalledPrinters().empty());
  cups.Stop();
  EXPECT_FALSE(spooler.Reachable().ok());
  EXPECT_FALSE(engine.MyPrint({"x"}, "WIN", true, false).ok());
  EXPECT_NE(ui.messages.back().text.find("Das Drucksystem ist nicht erreichbar: httpConnect2("), std::string::npos)
      << ui.messages.back().text;
  EXPECT_EQ(ui.messages.back().text.find("Kein Standarddrucker"), std::string::npos);
  ::unsetenv("CUPS_SERVER");
}

}  // namespace
}  // namespace tolven::testing
