// The real gateway and the TSE server stand-in installed as a service (run as
// an unprivileged user when the test runs as root): a whole evening of orders
// and payments from two terminals, one of them slow (an order growing a line
// every 400 ms, a request written in two halves, its exchange folder a file
// system of its own where the machine allows mounting one), and the ways a
// start ends early. Three terminals ordering through a TSE server that is
// silent for a while. (A silent TSE server on the status page: test_status_page.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/cp1252.h"
#include "common/text.h"
#include "e2e/installation.h"
#include "printing/escpos_qr.h"

namespace tolven::testing {
namespace {

namespace fs = std::filesystem;

void Append(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << text;
}

TEST(GatewayEndToEnd, AWholeEveningOfOrdersPaymentsAndSignedReceipts) {
  Installation inst;
  inst.InstallAsService();
  const std::string slow = inst.dir / "pda1";
  const bool mounted = ::mount("tmpfs", slow.c_str(), "tmpfs", 0, "size=4m") == 0;
  struct Unmount {
    std::string path;
    bool active;
    ~Unmount() {
      if (active) ::umount2(path.c_str(), MNT_DETACH);
    }
  } unmount{slow, mounted};
  if (!mounted) std::cout << "[ NOTE     ] tmpfs cannot be mounted here: exchange folder on the disk\n";
  if (inst.asUser) {
    for (const char* d : {"etc", "data", "kasse", "pda1", "pda2", "out"}) GiveToServiceUser(inst.dir / d);
  }
  EXPECT_NE(inst.Run(inst.gateway, {}, "nodb.log"), 0);
  EXPECT_NE(ReadAll(inst.dir / "nodb.log").find("--init-db"), std::string::npos) << "no database yet";
  ASSERT_EQ(inst.Run(inst.gateway, {"--init-db"}, "init.log"), 0) << ReadAll(inst.dir / "init.log");
  EXPECT_NE(inst.Run(inst.gateway, {"--init-db"}, "init2.log"), 0) << "a database with tables is left alone";
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + slow + "', pfadppcsync2 = '" + inst.dir / "pda2" +
           "', kuebonport1 = 'FILE:" + inst.dir / "out/kueche.txt" + "', kuebonport2 = 'FILE:" +
           inst.dir / "out/theke.txt" + "', bondruckport = 'FILE:" + inst.dir / "out/bon.txt" + "', bonshowbed = -1");
  inst.AddEveningData();
  if (inst.asUser) GiveToServiceUser(inst.dir / "data");  // the test's own writes as root
  // --init-db wrote the defaults back; from now on the INI is configured.
  const std::string iniBefore = ReadAll(inst.dir / "etc/TOLVEN.INI");
  EXPECT_EQ(inst.Run(inst.gateway, {"--check"}, "check.log"), 0) << ReadAll(inst.dir / "check.log");

  auto sim = inst.Start(inst.tseSim, {}, "tse-sim.log");
  auto gateway = inst.Start(inst.gateway, {}, "gateway.log");
  ASSERT_TRUE(
      WaitFor([&] { return ReadAll(inst.dir / "gateway.log").find("gestartet") != std::string::npos; }, kEventWaitMs));
  EXPECT_EQ(inst.Run(inst.gateway, {}, "second.log"), 2);
  EXPECT_NE(Utf8ToCp1252(ReadAll(inst.dir / "second.log")).find("Programm läuft bereits."), std::string::npos);

  // The slow terminal's order is answered once it is whole, not before.
  bool answeredEarly = false;
  for (const char* line : {"A;12;3", "D;10;2;;", "D;20;1;ohne Salat;1x5", "E;;"}) {
    answeredEarly = answeredEarly || fs::exists(slow + "/confirm.kas");
    Append(slow + "/bestell.txt", std::string(line) + "\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  EXPECT_FALSE(answeredEarly) << "confirmed before the terminal had finished writing";
  EXPECT_EQ(inst.Drop("pda2", "bestell.txt", "A;14;3\r\nD;10;1;;\r\nE;;\r\n", "confirm.kas"), "OK\r\n");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(slow + "/confirm.kas"); }, 30000)) << ReadAll(inst.dir / "gateway.log");
  EXPECT_EQ(ReadAll(slow + "/confirm.kas"), "OK\r\n");
  fs::remove(slow + "/confirm.kas");
  EXPECT_FALSE(fs::exists(slow + "/bestell.txt"));
  EXPECT_EQ(inst.Drop("pda2", "bestell.txt", "A;15;3\r\nD;99;1;;\r\nE;;\r\n", "confirm.kas"),
            " +++ Artikel >99< nicht gefunden. +++ Keine Datensätze gefunden.\r\n");

  EXPECT_EQ(inst.Scalar("SELECT epreis || '/' || belaginfo FROM bestellung WHERE artnr = '20'"), "1540/Pommes, ");
  EXPECT_EQ(inst.Scalar("SELECT artbez FROM bestellung WHERE tisch = 14"), "Weißbier 0,5");
  EXPECT_EQ(inst.Ask("pda1", "ANMELDUNG;3;1"), "OKJürgen\r\n");
  // A request written in two halves is answered for the whole of it.
  Append(slow + "/info.txt", "TISCH;1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(fs::exists(slow + "/info.kas")) << "answered without its line end";
  Append(slow + "/info.txt", "2\r\n");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(slow + "/info.kas"); }, 30000)) << ReadAll(inst.dir / "gateway.log");
  const std::string table = ReadAll(slow + "/info.kas");
  fs::remove(slow + "/info.kas");
  ASSERT_EQ(table.size(), 2u * 78) << table;
  const std::string beerId = table.substr(66, 10);

  // Kitchen and bar tickets went to their files; both orders were signed and
  // every request and answer row of the TSE server is cleaned up.
  EXPECT_NE(ReadAll(inst.dir / "out/kueche.txt").find("Schnitzel"), std::string::npos);
  EXPECT_NE(ReadAll(inst.dir / "out/theke.txt").find("Weißbier 0,5"), std::string::npos);
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM tse_bestellungen WHERE tse_signatur <> ''"), "2");
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM bestellung WHERE haskuebon = 0"), "0");
  EXPECT_TRUE(WaitFor([&] { return inst.Scalar("SELECT COUNT(*) FROM tse_server_req") == "0"; }, kEventWaitMs));
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM tse_server_ans"), "0");

  EXPECT_EQ(inst.Ask("pda1", "VISA;12;3;" + beerId), "OK\r\n");
  EXPECT_EQ(inst.Ask("pda1", "ABRECHNEN;12;3;"), "OK\r\n");
  EXPECT_EQ(inst.Ask("pda2", "KUKA;14;3;4711"), "OK\r\n");
  EXPECT_EQ(inst.Ask("pda2", "KUKA;14;3;9999"), "ERR;Kein Kunde zu Kartennummer 9999\r\n");

  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM bestellung"), "0");
  EXPECT_EQ(inst.Scalar("SELECT GROUP_CONCAT(zahlart || ':' || betrag, ' ') FROM (SELECT * FROM kass ORDER BY bunr)"),
            "VISA:840 BAR:1540 KDKTO:420");
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM kass WHERE tse_signatur <> '' AND tse_qr LIKE 'V0;%'"), "3");
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM kasspro"), "3");
  EXPECT_EQ(inst.Scalar("SELECT saldo FROM kdkto WHERE kdnr = 100"), "-420");
  EXPECT_EQ(inst.Scalar("SELECT betrag || '/' || saldo FROM barsaldo"), "1540/1540");
  EXPECT_NE(inst.Scalar("SELECT COUNT(*) FROM buch2"), "0");
  const std::string firstBunr = inst.Scalar("SELECT MIN(bunr) FROM kass");
  const std::string archive = ReadAll(inst.dir / ("kasse/ARCHIV/BON/BON" + firstBunr + ".BON"));
  EXPECT_NE(archive.find("Zahlung mit VISA-Karte"), std::string::npos) << archive;
  // The fiscal block and the QR code hold exactly what was stored with the receipt.
  EXPECT_NE(archive.find("TSE-Transaktion:"), std::string::npos);
  EXPECT_NE(archive.find("TSE-Signatur:"), std::string::npos);
  const std::string raw = ReplaceAll(archive, "{0}", std::string(1, '\0'));
  std::string qrData;
  ASSERT_NE(raw.find("\x1d(k"), std::string::npos);
  ASSERT_TRUE(printing::QrCodeData(raw.substr(raw.find("\x1d(k")), qrData));
  EXPECT_EQ(qrData, inst.Scalar("SELECT tse_qr FROM kass WHERE bunr = " + firstBunr));
  const std::string printed = ReadAll(inst.dir / "out/bon.txt");
  EXPECT_NE(printed.find("Zahlung per Kundenkonto"), std::string::npos) << "the last receipt printed";

  gateway->Signal(SIGINT);
  EXPECT_EQ(gateway->Wait(5000), 0);
  EXPECT_EQ(sim->Stop(5000), 0);
  // Nothing of the hand-over was written outside the exchange folders, nothing
  // beside the program, and a configured TOLVEN.INI is left exactly as the
  // operator protected it.
  for (const char* folder : {"data", "kasse"}) {
    for (const auto& e : fs::directory_iterator(inst.dir / folder)) {
      EXPECT_NE(e.path().filename().string().rfind("ppc", 0), 0u) << e.path();
    }
  }
  std::vector<std::string> inBin;
  for (const auto& e : fs::directory_iterator(inst.dir / "bin")) inBin.push_back(e.path().filename());
  std::sort(inBin.begin(), inBin.end());
  EXPECT_EQ(inBin, (std::vector<std::string>{"tolvenpda", "tse-sim"}));
  EXPECT_EQ(ReadAll(inst.dir / "etc/TOLVEN.INI"), iniBefore);
  struct stat st {};
  ASSERT_EQ(::stat((inst.dir / "etc/TOLVEN.INI").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, inst.asUser ? kServiceUser : ::getuid()) << "the configuration stays its owner's";
  std::string tseLog;
  for (const auto& f : fs::recursive_directory_iterator(inst.dir / "kasse/LOG")) {
    if (f.path().filename().string().rfind("TSE_VS_2_", 0) == 0) tseLog += ReadAll(f.path().string());
  }
  EXPECT_NE(tseLog.find(" 2  - Transaktionsnummer=1\r\n"), std::string::npos) << tseLog;
  const std::string out = Utf8ToCp1252(ReadAll(inst.dir / "gateway.log"));
  EXPECT_NE(out.find("Orderterminal-Gateway gestartet. Warte auf Anfragen..."), std::string::npos);
  EXPECT_NE(out.find("Bestellung für Tisch 12 von Kellner 3:"), std::string::npos) << "log is UTF-8 on the console";
}

// Three terminals order while the TSE server is silent: they are answered
// before the first request has timed out, later orders are stored unsigned
// without waiting. Once the server answers again, payments alone bring signing
// back: a receipt is sent as the probe, and receipts and orders are signed
// again. Every order is booked and printed exactly once.
TEST(GatewayEndToEnd, ThreeTerminalsOrderThroughATseOutage) {
  Installation inst("[TSE]\r\nVERBINDUNGSTEST=NEIN\r\n");  // receipts alone find the server back
  fs::create_directories(inst.dir / "pda3");
  ASSERT_EQ(inst.InitDb(), 0);
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "', pfadppcsync2 = '" + inst.dir / "pda2" +
           "', pfadppcsync3 = '" + inst.dir / "pda3" + "', kuebonport1 = 'FILE:" + inst.dir / "out/kueche.txt" +
           "', bondruckport = 'FILE:" + inst.dir / "out/bon.txt" + "'");
  inst.Sql("INSERT INTO artgrp (artgrp, kueprt) VALUES (1, 1)");
  inst.Sql("INSERT INTO artikel (artnr, artbez, artgrp, vkpreis) VALUES ('20', 'Schnitzel', 1, 1390)");
  auto silent = std::make_unique<ChildProcess>(kTseSim, std::vector<std::string>{"--never"}, inst.env,
                                               inst.dir / "tse-silent.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  const auto log = [&] { return ReadAll(inst.dir / "gateway.log"); };
  int orders = 0;
  // The three terminals' orders at once, each for a table of its own; true
  // when every one was confirmed.
  auto round = [&] {
    for (int t = 1; t <= 3; ++t) {
      inst.Drop("pda" + std::to_string(t), "bestell.txt",
                "A;" + std::to_string(++orders) + ";3\r\nD;20;1;;\r\nE;;\r\n");
    }
    return WaitFor(
        [&] {
          for (int t = 1; t <= 3; ++t) {
            if (!fs::exists(inst.dir / ("pda" + std::to_string(t) + "/confirm.kas"))) return false;
          }
          for (int t = 1; t <= 3; ++t) fs::remove(inst.dir / ("pda" + std::to_string(t) + "/confirm.kas"));
          return true;
        },
        kEventWaitMs);
  };
  const std::string kTimeOut = "Keine Antwort vom TSE-Server", kOpen = "TSE-Server antwortet nicht.",
                    kBack = "TSE-Server antwortet wieder";
  ASSERT_TRUE(round());
  EXPECT_EQ(Occurrences(log(), kTimeOut), 0u) << "answered before the TSE's first time-out";
  ASSERT_TRUE(WaitFor([&] { return Occurrences(log(), kTimeOut) == 3; }, 30000)) << log();
  ASSERT_TRUE(round() && round());  // held back: no further time-out
  silent->Stop(5000);
  silent.reset();
  ChildProcess sim(kTseSim, {}, inst.env, inst.dir / "tse-sim.log");
  // Only payments now, one table at a time, until one is the probe.
  int paid = 0;
  while (log().find(kBack) == std::string::npos && paid < orders) {
    ASSERT_EQ(inst.Ask("pda1", "ABRECHNEN;" + std::to_string(++paid) + ";3;"), "OK\r\n");
    WaitFor([&] { return log().find(kBack) != std::string::npos; }, 2500);
  }
  // The first receipt was held back, the last one signed; no order was signed meanwhile.
  EXPECT_EQ(
      inst.Scalar("SELECT GROUP_CONCAT(COALESCE(tse_signatur, '') <> '', '') FROM (SELECT * FROM kass ORDER BY bunr)"),
      std::string(paid - 1, '0') + "1")
      << log();
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM tse_bestellungen"), "0");
  ASSERT_TRUE(round());
  EXPECT_TRUE(WaitFor([&] { return inst.Scalar("SELECT COUNT(*) FROM tse_bestellungen") != "0"; }, kEventWaitMs));
  // One syslog row for each order stored unsigned while the server was silent.
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM syslog WHERE txt LIKE 'Bestellung % ohne TSE-Signatur%'"),
            std::to_string(orders - 3));
  EXPECT_EQ(gateway.Stop(30000), 0);
  sim.Stop(5000);
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) || '/' || COUNT(DISTINCT tisch) FROM bestellung WHERE haskuebon <> 0"),
            std::to_string(orders - paid) + "/" + std::to_string(orders - paid));
  EXPECT_EQ(Occurrences(log(), kOpen), 1u);
  EXPECT_EQ(Occurrences(log(), kTimeOut), 3u);
}

// A restart during a TSE outage with lines the kitchen never had: a terminal
// is answered while the recovery's reprint still waits for the silent server.
TEST(GatewayEndToEnd, ARestartDuringATseOutageAnswersTheTerminalsAtOnce) {
  Installation inst;
  ASSERT_EQ(inst.InitDb(), 0);
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" +
           "', kuebonport1 = 'FILE:" + inst.dir / "out/kueche.txt" + "'");
  inst.AddEveningData();
  inst.Sql(
      "INSERT INTO bestellung (tisch, kanr, kdnr, konto, gast, artnr, artbez, artgrp, menge, epreis, opreis, "
      "rabatt, kueprt, haskuebon, mark) VALUES (7, 3, 0, 0, 0, '20', 'Schnitzel', 2, 1, 1390, 1390, 0, 1, 0, 0)");
  ChildProcess silent(kTseSim, {"--never"}, inst.env, inst.dir / "tse-silent.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  const auto log = [&] { return Utf8ToCp1252(ReadAll(inst.dir / "gateway.log")); };
  EXPECT_EQ(inst.Ask("pda1", "ANMELDUNG;3;1"), "OKJürgen\r\n");
  EXPECT_NE(log().find("offene Küchenbons für Tisch 7 werden gedruckt."), std::string::npos) << log();
  EXPECT_EQ(log().find("Keine Antwort vom TSE-Server"), std::string::npos) << "answered after the TSE's time-out";
  ASSERT_TRUE(
      WaitFor([&] { return ReadAll(inst.dir / "out/kueche.txt").find("Schnitzel") != std::string::npos; }, 30000))
      << log();
  EXPECT_NE(log().find("Keine Antwort vom TSE-Server"), std::string::npos);
  EXPECT_EQ(gateway.Stop(30000), 0);
}

// A 1 MB order beside another terminal's one-line order, and a FIFO and a link
// swapped in under an order file's name during its hand-over: the other
// terminal is answered and the gateway goes on.
TEST(GatewayEndToEnd, ALongOrderAndFilesSwappedInHoldUpNoOtherTerminal) {
  Installation inst;
  fs::create_directories(inst.dir / "pda3");
  ASSERT_EQ(inst.InitDb(), 0);
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "', pfadppcsync2 = '" + inst.dir / "pda2" +
           "', pfadppcsync3 = '" + inst.dir / "pda3" + "'");
  inst.AddEveningData();
  ChildProcess sim(kTseSim, {}, inst.env, inst.dir / "tse-sim.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  const auto log = [&] { return Utf8ToCp1252(ReadAll(inst.dir / "gateway.log")); };
  const auto taking = [&](int terminal, size_t n) {
    const std::string text = "Daten von Orderterminal " + std::to_string(terminal) + " werden übernommen";
    return WaitFor([&] { return Occurrences(log(), text) == n; }, kEventWaitMs);
  };
  const std::string pda1 = inst.dir / "pda1", shortOrder = "A;14;3\r\nD;20;1;;\r\nE;;\r\n";
  std::string longOrder = "A;12;3\r\n";
  while (longOrder.size() + 15 < 1024 * 1024) longOrder += "D;10;1;;\r\n";
  inst.Drop("pda1", "bestell.txt", longOrder + "E;;\r\n");
  ASSERT_TRUE(taking(1, 1));
  EXPECT_EQ(TerminalExchange(inst.dir / "pda2", "bestell.txt", shortOrder, "confirm.kas", 180000), "OK\r\n");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(pda1 + "/confirm.kas"); }, 120000)) << log().substr(0, 3000);
  EXPECT_EQ(ReadAll(pda1 + "/confirm.kas"), "OK\r\n");
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM bestellung WHERE tisch = 12"),
            std::to_string((longOrder.size() - 8) / 10));

  WriteAll(inst.dir / "other.txt", "A;16;3\r\nD;20;1;;\r\nE;;\r\n");
  for (const std::string terminal : {"1", "3"}) {
    const std::string order = inst.dir / ("pda" + terminal + "/bestell.txt");
    inst.Drop("pda" + terminal, "bestell.txt", shortOrder);
    ASSERT_TRUE(taking(std::stoi(terminal), terminal == "1" ? 2 : 1));
    fs::remove(order);
    if (terminal == "1") {
      ASSERT_EQ(::mkfifo(order.c_str(), 0600), 0);
    } else {
      fs::create_symlink(inst.dir / "other.txt", order);
    }
    EXPECT_EQ(inst.Drop("pda2", "bestell.txt", shortOrder, "confirm.kas"), "OK\r\n");
  }
  for (const std::string terminal : {"1", "3"}) {
    fs::remove(inst.dir / ("pda" + terminal + "/bestell.txt"));
    EXPECT_EQ(inst.Drop("pda" + terminal, "bestell.txt", shortOrder, "confirm.kas"), "OK\r\n") << log();
  }
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM bestellung WHERE tisch = 16"), "0") << "the link was followed";
  EXPECT_EQ(gateway.Stop(30000), 0);
}

// Another program holds the database's write lock (a POS program's long
// booking): the order that needs it waits, and only that order; another
// terminal's table data is answered meanwhile, and the order is booked once the
// lock is gone.
TEST(GatewayEndToEnd, AnotherProgramsWriteLockHoldsUpOnlyTheOrderThatNeedsIt) {
  Installation inst;
  ASSERT_EQ(inst.InitDb(), 0);
  inst.Sql("UPDATE system SET pfadppcsync1 = '" + inst.dir / "pda1" + "', pfadppcsync2 = '" + inst.dir / "pda2" + "'");
  inst.AddEveningData();
  ChildProcess sim(kTseSim, {}, inst.env, inst.dir / "tse-sim.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  const auto log = [&] { return Utf8ToCp1252(ReadAll(inst.dir / "gateway.log")); };
  ASSERT_EQ(inst.Drop("pda1", "bestell.txt", "A;7;3\r\nD;20;1;;\r\nE;;\r\n", "confirm.kas"), "OK\r\n") << log();

  auto opened = db::OpenSqlite(inst.dir / "data/tolven.db", false);
  ASSERT_TRUE(opened) << opened.status().message();
  std::unique_ptr<db::Connection> other = std::move(*opened);
  ASSERT_TRUE(other->Execute("BEGIN IMMEDIATE"));
  inst.Drop("pda1", "bestell.txt", "A;8;3\r\nD;10;2;;\r\nE;;\r\n");
  ASSERT_TRUE(
      WaitFor([&] { return Occurrences(log(), "Daten von Orderterminal 1 werden übernommen") == 2; }, kEventWaitMs));
  const std::string tableData = TerminalExchange(inst.dir / "pda2", "info.txt", "TISCH;7\r\n", "info.kas", 15000);
  const bool orderWaited = !fs::exists(inst.dir / "pda1/confirm.kas");
  ASSERT_TRUE(other->Execute("COMMIT"));
  EXPECT_NE(tableData.find("Schnitzel"), std::string::npos) << tableData << log();
  EXPECT_TRUE(orderWaited) << "the order was answered while another program held the lock";
  ASSERT_TRUE(WaitFor([&] { return fs::exists(inst.dir / "pda1/confirm.kas"); }, 30000)) << log();
  EXPECT_EQ(ReadAll(inst.dir / "pda1/confirm.kas"), "OK\r\n");
  EXPECT_EQ(inst.Scalar("SELECT SUM(menge) FROM bestellung WHERE tisch = 8"), "2");
  EXPECT_EQ(gateway.Stop(30000), 0);
}

}  // namespace
}  // namespace tolven::testing
