// Customer receipts while the receipt archive cannot be written (a full file
// system where the machine allows mounting one, else a file in the folder's
// place): printed all the same, an alert for each, the archive written once
// there is room again, and after a restart the missing archive filled in
// without a copy on paper. Reprints of a receipt and a kitchen receipt through
// the status page.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

#include "common/cp1252.h"
#include "e2e/installation.h"
#include "support/http_client.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

// A folder that can be made unwritable and given back.
class ArchiveFolder {
 public:
  explicit ArchiveFolder(std::string path) : path_(std::move(path)) {
    fs::create_directories(path_);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
    if (!mounted_) std::cout << "[ NOTE     ] tmpfs cannot be mounted here: a file takes the folder's place\n";
  }
  ~ArchiveFolder() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  void Block() {
    if (mounted_) {
      std::ofstream(path_ + "/voll", std::ios::binary) << std::string(1 << 20, 'x');
    } else {
      fs::rename(path_, path_ + ".weg");
      WriteAll(path_, "kein Ordner");
    }
  }
  void Unblock() {
    fs::remove(mounted_ ? path_ + "/voll" : path_);
    if (!mounted_) fs::rename(path_ + ".weg", path_);
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST(ReceiptArchiveEndToEnd, PrintedWithoutArchiveFilledInLaterAndReprintedFromThePage) {
  const int port = FreePort();
  Installation inst("[STATUS]\r\nPORT=" + std::to_string(port) + "\r\n");
  ASSERT_EQ(inst.InitDb(), 0);
  const std::string bon = inst.dir / "out/bon.txt", kitchen = inst.dir / "out/kueche.txt";
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "', kuebonport1 = 'FILE:" + kitchen +
           "', bondruckport = 'FILE:" + bon + "'");
  inst.AddEveningData();
  const std::string archive = inst.dir / "data/ARCHIV/BON";
  ArchiveFolder folder(archive);
  ChildProcess sim(kTseSim, {}, inst.env, inst.dir / "tse-sim.log");
  auto start = [&](const std::string& log) {
    auto g = std::make_unique<ChildProcess>(kGateway, std::vector<std::string>{}, inst.env, inst.dir / log);
    EXPECT_TRUE(WaitFor([&] { return ReadAll(inst.dir / log).find("gestartet") != std::string::npos; }, kEventWaitMs));
    return g;
  };
  auto pay = [&](const std::string& table) {
    EXPECT_EQ(inst.Drop("pda1", "bestell.txt", "A;" + table + ";3\r\nD;20;1;;\r\nE;;\r\n", "confirm.kas"), "OK\r\n");
    EXPECT_EQ(inst.Ask("pda1", "ABRECHNEN;" + table + ";3;"), "OK\r\n");
    const std::string bunr = inst.Scalar("SELECT MAX(bunr) FROM kass");
    EXPECT_NE(ReadAll(bon).find("Bon-Nr " + bunr), std::string::npos) << "printed at once";
    return bunr;
  };
  auto archived = [&](const std::string& bunr) { return ReadAll(archive + "/BON" + bunr + ".BON"); };
  auto send = [&](const std::string& method, const std::string& path, const std::string& origin) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    return HttpStatusOf(RawHttp("127.0.0.1", port,
                                method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin +
                                    "\r\nContent-Length: 0\r\n\r\n"));
  };

  auto gateway = start("gateway.log");
  folder.Block();
  const std::string first = pay("12");
  EXPECT_EQ(archived(first), "");
  EXPECT_NE(Utf8ToCp1252(RawHttp("127.0.0.1", port, "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
                .find("Archivkopie von Kundenbeleg " + first + " fehlt"),
            std::string::npos)
      << "an alert names the receipt";
  folder.Unblock();
  ASSERT_TRUE(WaitFor([&] { return archived(first).find("###CRC:") != std::string::npos; }, kEventWaitMs));
  EXPECT_NE(archived(first).find("Bon-Nr " + first), std::string::npos);

  // Stopped before there is room again: the next start writes the archive, and prints nothing.
  folder.Block();
  const std::string second = pay("13");
  EXPECT_EQ(gateway->Stop(20000), 0);
  folder.Unblock();
  fs::remove(bon);
  gateway = start("gateway2.log");
  ASSERT_TRUE(WaitFor([&] { return archived(second).find("###CRC:") != std::string::npos; }, kEventWaitMs));
  EXPECT_EQ(archived(second).find("KOPIE"), std::string::npos);
  const std::string log = Utf8ToCp1252(ReadAll(inst.dir / "gateway2.log"));
  EXPECT_NE(log.find("Beleg " + second + " wurde gedruckt, seine Archivkopie fehlt"), std::string::npos) << log;
  EXPECT_EQ(log.find("als Kopie gedruckt"), std::string::npos) << log;

  const std::string own = "http://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(send("GET", "/reprint/receipt/" + first, own), 405);
  EXPECT_EQ(send("POST", "/reprint/receipt/" + first, "http://evil.example"), 403);
  EXPECT_EQ(send("POST", "/reprint/receipt/" + first, own), 303);
  ASSERT_TRUE(WaitFor([&] { return ReadAll(bon).find("*** KOPIE ***") != std::string::npos; }, kEventWaitMs));
  EXPECT_NE(ReadAll(bon).find("Bon-Nr " + first), std::string::npos);
  const std::string ticket = inst.Scalar("SELECT MIN(kuebonnr) FROM kuebonlog");
  EXPECT_EQ(send("POST", "/reprint/kitchen/" + ticket, own), 303);
  ASSERT_TRUE(WaitFor([&] { return ReadAll(kitchen).find("NACHDRUCK") != std::string::npos; }, kEventWaitMs));
  EXPECT_NE(ReadAll(kitchen).find("Nr." + ticket + "/"), std::string::npos);
  EXPECT_EQ(gateway->Stop(20000), 0);
  EXPECT_NE(Utf8ToCp1252(ReadAll(inst.dir / "gateway2.log")).find("Nachdruck von Küchenbon " + ticket + " gedruckt."),
            std::string::npos);
}

}  // namespace
}  // namespace tolven::testing
