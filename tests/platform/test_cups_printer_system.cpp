// The spooler channel against a real CUPS scheduler started privately for the
// test: its own configuration folder, a local socket instead of a port, and a
// raw queue whose device is a TCP listener of the test standing in for the
// receipt printer. A second queue rejects jobs.
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
#include "printing/frmDruck2.h"
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
  explicit PrivateCups(int printerPort) {
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
              "\nState Idle\nAccepting Yes\n</DefaultPrinter>\n",
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
  std::string Diagnostics() const { return ReadAll(dir_ / "log/stderr") + ReadAll(dir_ / "log/error_log"); }

 private:
  TempDir dir_;
  std::string socket_;
  std::unique_ptr<ChildProcess> cupsd_;
};

struct NoLog : LogSink {
  void AddLogLine(const std::string&) override {}
};

TEST(CupsSpooler, RawJobReachesThePrinterAndARejectingQueueFails) {
  if (::access(kCupsd, X_OK) != 0) GTEST_SKIP() << kCupsd << " is not installed (Debian package cups-daemon)";
  PrinterListener printer;
  ASSERT_GT(printer.port(), 0);
  PrivateCups cups(printer.port());
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
  EXPECT_EQ(printers, (std::vector<std::string>{"EPSON_TM-T88V", "Kueche"}));
  EXPECT_EQ(spooler.DefaultPrinter(), "EPSON_TM-T88V");

  TempDir dir;
  FakeEnv env;
  FakeUi ui;
  NoLog log;
  platform::IniFile ini(env, dir.path());
  printing::frmDruck2::Devices devices;
  devices.spooler = &spooler;
  printing::frmDruck2 engine(env, ui, ini, [&ini](const std::string& n) { return printing::GetPrinterCode(ini, n); },
                             devices, log, dir.path() + "/");

  const std::string hoch = "\x1b!\x10";
  ASSERT_TRUE(engine.MyPrint({hoch + "Tisch 4" + std::string("\x1b!\0", 3), "Grüße", std::string("\x1bp\0\x09\x01", 5)},
                             "NETZ EPSON_TM-T88V", true, false)
                  .ok())
      << (ui.messages.empty() ? "" : ui.messages[0].text);
  std::optional<std::string> job = printer.NextJob(20);
  ASSERT_TRUE(job.has_value()) << cups.Diagnostics();
  std::string expected = std::string("\x1b@\x1bt\x02", 5) + hoch + "Tisch 4\r\n" + std::string("\x1b!\0", 3) +
                         "Gr\x81\xE1" "e\r\n" + std::string("\x1bp\0\x09\x01", 5) + "\x1dV1\r\n";
  EXPECT_EQ(HexEncode(*job), HexEncode(expected));

  // Plain text to the same (raw) queue arrives as UTF-8.
  ASSERT_TRUE(spooler.SubmitText("EPSON_TM-T88V", "Test", "Grüße\n").ok());
  job = printer.NextJob(20);
  ASSERT_TRUE(job.has_value()) << cups.Diagnostics();
  EXPECT_EQ(*job, "Gr\xC3\xBC\xC3\x9F" "e\n");

  EXPECT_FALSE(engine.MyPrint({"Schnitzel"}, "NETZ Kueche", true, false).ok());
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(StartsWith(ui.messages[0].text, "Fehler bei Druck auf Kueche\r\n\r\nWindows meldet: cupsCreateJob(Kueche): "))
      << ui.messages[0].text;
  EXPECT_FALSE(printer.NextJob(1).has_value()) << "nothing may reach a printer from a refused job";

  // A scheduler that is gone is a failure too, not a silent loss.
  platform::CupsPrinterSystem nowhere(dir / "no-cups.sock");
  EXPECT_FALSE(nowhere.SubmitRaw("EPSON_TM-T88V", "x", "x").ok());
  EXPECT_TRUE(nowhere.InstalledPrinters().empty());
  ::unsetenv("CUPS_SERVER");
}

}  // namespace
}  // namespace tolven::testing
