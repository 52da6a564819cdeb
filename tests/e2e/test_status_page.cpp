// The status page of the real gateway in a real browser (headless Chromium):
// a receipt printer whose port cannot be opened and a TSE server that never
// answers show up as alerts and go when acknowledged; the page refuses other
// addresses than loopback unless they are allowed, and broken requests get an
// error without harming the gateway. The screenshot is kept as a test artefact.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "common/cp1252.h"
#include "e2e/installation.h"
#include "support/http_client.h"

namespace tolven::testing {
namespace {

const std::string kChromium = "/usr/bin/chromium";

// An IPv4 address of this machine that is not loopback; "" when there is none.
std::string OwnAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, buf, sizeof buf);
    if (std::string(buf).rfind("127.", 0) != 0) found = buf;
  }
  ::freeifaddrs(list);
  return found;
}

// With the status page on a free port and a receipt printer on a port that
// cannot be opened.
class PageInstallation : public Installation {
 public:
  // The gateway's own check of the TSE server only where a test asks for it:
  // elsewhere it would add a time-out to the ones the test counts.
  explicit PageInstallation(const std::string& statusSection,
                            const std::string& tseSection = "VERBINDUNGSTEST=NEIN\r\n", int freePort = FreePort())
      : Installation("[PORTS]\r\nCOM9=/nonexistent/tty\r\n[STATUS]\r\nPORT=" + std::to_string(freePort) + "\r\n" +
                     statusSection + "[TSE]\r\n" + tseSection),
        port(freePort) {
    std::filesystem::create_directories(dir / "browser");
    EXPECT_EQ(InitDb(), 0);
    Sql("UPDATE system SET pfadppcsync1 = '" + dir / "pda1" + "', kuebonport1 = 'FILE:" + dir / "out/kueche.txt" +
        "', bondruckport = 'COM9', bonshowbed = -1");
    AddEveningData();  // the schnitzel for printer 1, "Küche"
  }
  std::string Get(const std::string& path, const std::string& host = "127.0.0.1") {
    return RawHttp(host, port, "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) + "\r\n\r\n");
  }
  bool PageUp() { return HttpStatusOf(Get("/status.json")) == 200; }
  // The page as the browser built it (--dump-dom), with a screenshot when asked.
  std::string Browse(const std::string& path, const std::string& screenshot = "") {
    const std::string n = std::to_string(++browserRuns), out = dir / ("browser/out" + n + ".txt");
    const std::vector<std::string> args = {"--headless",
                                           "--no-sandbox",
                                           "--disable-gpu",
                                           "--disable-quic",
                                           "--no-first-run",
                                           "--disable-background-networking",
                                           "--disable-component-update",
                                           "--disable-sync",
                                           "--user-data-dir=" + dir / ("browser/p" + n),
                                           "--window-size=1100,2600",
                                           screenshot.empty() ? "--dump-dom" : "--screenshot=" + screenshot,
                                           "http://127.0.0.1:" + std::to_string(port) + path};
    EXPECT_EQ(RunProgram(kChromium, args, {{"HOME", dir / "browser"}}, out, 90000), 0) << ReadAll(out);
    return Utf8ToCp1252(ReadAll(out));
  }

  int port;
  int browserRuns = 0;
};

// The part of the page that lists the open alerts.
std::string AlertSection(const std::string& dom) {
  size_t start = dom.find("id=\"meldungen\"");
  if (start == std::string::npos) return "";
  return dom.substr(start, dom.find("</section>", start) - start);
}

TEST(StatusPageEndToEnd, FailuresAppearAsAlertsInTheBrowserAndGoWhenAcknowledged) {
  if (!std::filesystem::exists(kChromium)) GTEST_SKIP() << "no " << kChromium;
  PageInstallation inst("");
  ChildProcess sim(kTseSim, {"--never"}, inst.env, inst.dir / "tse-sim.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  ASSERT_TRUE(WaitFor([&] { return inst.PageUp(); }, kEventWaitMs)) << ReadAll(inst.dir / "gateway.log");

  // An order: confirmed at once, then the TSE start runs into its 15 s time-out
  // and the kitchen receipt is printed. Then the table is paid: the receipt is
  // stored unsigned and its printer port cannot be opened.
  EXPECT_EQ(inst.Drop("pda1", "bestell.txt", "A;12;3\r\nD;20;1;ohne Salat;1x5\r\nE;;\r\n", "confirm.kas"), "OK\r\n");
  ASSERT_EQ(inst.Ask("pda1", "ABRECHNEN;12;3;"), "OK\r\n") << ReadAll(inst.dir / "gateway.log");
  // The third alert is the settlement's own message that the receipt is not signed.
  ASSERT_TRUE(
      WaitFor([&] { return inst.Get("/status.json").find("\"openAlerts\":3") != std::string::npos; }, kEventWaitMs))
      << inst.Get("/status.json");

  const std::string json = inst.Browse("/status.json");
  for (const char* part :
       {"\"openAlerts\":3", "Fehler bei Druck auf COM9", "Keine Antwort vom TSE-Server erhalten (Trx-Start)",
        "\"ready\":false", "\"simulator\":false", "\"channel\":\"COM9\",\"name\":\"Bondrucker\"",
        "\"kind\":\"Küchenbon\"",
        // The table paid from the terminal, its receipt unsigned, the TSE's time-out and the failed printout.
        "\"today\":{\"ordersBooked\":1,\"linesRefused\":0,\"settlements\":1,\"receiptsUnsigned\":1,"
        "\"tseTimeouts\":1,\"printFailures\":1,\"requests\":{\"abrechnung\":1}}"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }

  const std::string artefacts = std::string(TOLVEN_BUILD_DIR) + "/test-artifacts";
  std::filesystem::create_directories(artefacts);
  const std::string screenshot = artefacts + "/status-page.png";
  std::filesystem::remove(screenshot);
  inst.Browse("/", screenshot);
  ASSERT_TRUE(std::filesystem::exists(screenshot));
  EXPECT_GT(std::filesystem::file_size(screenshot), 10000u);
  std::printf("Bildschirmfoto der Statusseite: %s\n", screenshot.c_str());

  const std::string page = inst.Browse("/");
  const std::string alerts = AlertSection(page);
  EXPECT_NE(alerts.find("Meldungen (3 offen)"), std::string::npos) << page;
  EXPECT_NE(alerts.find("Fehler bei Druck auf COM9"), std::string::npos);
  EXPECT_NE(alerts.find("Keine Antwort vom TSE-Server erhalten (Trx-Start)"), std::string::npos);
  EXPECT_NE(page.find("TSE nicht bereit"), std::string::npos);
  EXPECT_NE(page.find("Schnitzel"), std::string::npos) << "the kitchen receipt on paper";
  EXPECT_NE(page.find("TSE ausgefallen"), std::string::npos) << "the unsigned customer receipt says so";

  // Acknowledge every alert the way the page's buttons do.
  std::regex action("action=\"(/meldungen/[0-9]+/quittieren)\"");
  int acknowledged = 0;
  for (auto it = std::sregex_iterator(alerts.begin(), alerts.end(), action); it != std::sregex_iterator(); ++it) {
    const std::string origin = "127.0.0.1:" + std::to_string(inst.port);
    std::string r = RawHttp("127.0.0.1", inst.port,
                            "POST " + (*it)[1].str() + " HTTP/1.1\r\nHost: " + origin + "\r\nOrigin: http://" + origin +
                                "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(HttpStatusOf(r), 303) << r;
    ++acknowledged;
  }
  EXPECT_EQ(acknowledged, 3);
  const std::string after = AlertSection(inst.Browse("/"));
  EXPECT_NE(after.find("Keine offenen Meldungen."), std::string::npos) << after;
  EXPECT_EQ(after.find("COM9"), std::string::npos);
  EXPECT_EQ(after.find("TSE-Server"), std::string::npos);
  EXPECT_NE(inst.Get("/status.json").find("\"openAlerts\":0"), std::string::npos);

  // The kitchen receipt's reprint button, posted as the browser does.
  std::smatch reprint;
  ASSERT_TRUE(std::regex_search(page, reprint, std::regex("action=\"(/reprint/kitchen/[0-9]+)\""))) << page;
  const std::string origin = "127.0.0.1:" + std::to_string(inst.port);
  EXPECT_EQ(HttpStatusOf(RawHttp("127.0.0.1", inst.port,
                                 "POST " + reprint[1].str() + " HTTP/1.1\r\nHost: " + origin + "\r\nOrigin: http://" +
                                     origin + "\r\nContent-Length: 0\r\n\r\n")),
            303);
  EXPECT_TRUE(WaitFor([&] { return ReadAll(inst.dir / "out/kueche.txt").find("NACHDRUCK") != std::string::npos; },
                      kEventWaitMs));

  EXPECT_EQ(gateway.Stop(20000), 0);
  sim.Stop(5000);
  const std::string log = Utf8ToCp1252(ReadAll(inst.dir / "gateway.log"));
  EXPECT_NE(log.find("Statusseite: http://127.0.0.1:" + std::to_string(inst.port) + "/"), std::string::npos);
  EXPECT_NE(log.find("Meldung quittiert (127.0.0.1)"), std::string::npos) << log;
}

// The page is bound to loopback unless told otherwise, and answers other
// addresses only when they are allowed.
TEST(StatusPageEndToEnd, OnlyLoopbackUnlessAllowed) {
  const std::string own = OwnAddress();
  if (own.empty()) GTEST_SKIP() << "no address but loopback on this machine";
  auto run = [](const std::string& statusSection, const std::function<void(PageInstallation&)>& check) {
    PageInstallation inst(statusSection);
    ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
    ASSERT_TRUE(WaitFor([&] { return inst.PageUp(); }, kEventWaitMs)) << ReadAll(inst.dir / "gateway.log");
    check(inst);
    EXPECT_EQ(gateway.Stop(10000), 0);
  };
  run("BIND=0.0.0.0\r\nALLOW=" + own + "/32\r\n",
      [&own](PageInstallation& inst) { EXPECT_EQ(HttpStatusOf(inst.Get("/status.json", own)), 200) << "allowed"; });
  run("", [&own](PageInstallation& inst) { EXPECT_EQ(inst.Get("/", own), ""); });
}

// The samples of a Prometheus text as Python's prometheus_client parser reads
// them, one "name{label="value",...} value" a line; "PARSE ERROR ..." when it
// cannot read the text.
std::string ParsedMetrics(const std::string& dir, const std::string& text) {
  WriteAll(dir + "/metrics.txt", text);
  const std::string script =
      "import sys\n"
      "from prometheus_client.parser import text_string_to_metric_families\n"
      "try:\n"
      "    for f in text_string_to_metric_families(open(sys.argv[1], encoding='utf-8').read()):\n"
      "        for s in f.samples:\n"
      "            labels = ','.join('%s=\"%s\"' % kv for kv in sorted(s.labels.items()))\n"
      "            print('%s{%s} %g' % (s.name, labels, s.value))\n"
      "except Exception as e:\n"
      "    print('PARSE ERROR', e)\n";
  EXPECT_EQ(RunProgram("/usr/bin/python3", {"-c", script, dir + "/metrics.txt"}, {}, dir + "/parsed.txt", 30000), 0)
      << ReadAll(dir + "/parsed.txt");
  return ReadAll(dir + "/parsed.txt");
}

std::string Body(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

// The gateway asks the TSE server itself: silent at the start, /healthz turns
// red before any order waited for it; back, green again without an order.
TEST(StatusPageEndToEnd, HealthShowsATseServerSilentAtTheStartAndItsReturnWithoutAnOrder) {
  PageInstallation inst("", "");  // the check as shipped
  auto silent = std::make_unique<ChildProcess>(kTseSim, std::vector<std::string>{"--never"}, inst.env,
                                               inst.dir / "tse-silent.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  ASSERT_TRUE(WaitFor([&] { return inst.PageUp(); }, kEventWaitMs)) << ReadAll(inst.dir / "gateway.log");
  EXPECT_TRUE(WaitFor([&] { return HttpStatusOf(inst.Get("/healthz")) == 503; }, 40000)) << inst.Get("/healthz");
  EXPECT_NE(Utf8ToCp1252(inst.Get("/healthz")).find("TSE nicht bereit"), std::string::npos);
  silent->Stop(5000);
  silent.reset();
  ChildProcess sim(kTseSim, {}, inst.env, inst.dir / "tse-sim.log");
  EXPECT_TRUE(WaitFor([&] { return HttpStatusOf(inst.Get("/healthz")) == 200; }, 40000))
      << inst.Get("/healthz") << ReadAll(inst.dir / "gateway.log");
  EXPECT_EQ(inst.Scalar("SELECT COUNT(*) FROM bestellung"), "0");
  std::string dayLog;
  for (const auto& f : std::filesystem::recursive_directory_iterator(inst.dir / "data/LOG")) {
    if (f.path().parent_path().filename() == "TSE") dayLog += ReadAll(f.path().string());
  }
  EXPECT_NE(dayLog.find(" - processType=SonstigerVorgang"), std::string::npos) << dayLog;
  EXPECT_EQ(gateway.Stop(30000), 0);
}

// One running gateway, its page open to the network: health and metrics,
// the refusals (other addresses, foreign host names as DNS rebinding brings
// them, broken requests), and many clients that never finish their request
// not keeping anybody else out.
TEST(StatusPageEndToEnd, HealthMetricsAndRefusalsOfTheRunningGateway) {
  PageInstallation inst("BIND=0.0.0.0\r\n");
  ChildProcess sim(kTseSim, {}, inst.env, inst.dir / "tse-sim.log");
  ChildProcess gateway(kGateway, {}, inst.env, inst.dir / "gateway.log");
  ASSERT_TRUE(WaitFor([&] { return inst.PageUp(); }, kEventWaitMs)) << ReadAll(inst.dir / "gateway.log");

  EXPECT_NE(inst.Drop("pda1", "bestell.txt", "A;12;3\r\nD;20;1;;\r\nD;99;1;;\r\nE;;\r\n", "confirm.kas"), "OK\r\n")
      << "article 99 does not exist";
  EXPECT_EQ(inst.Drop("pda1", "bestell.txt", "A;13;3\r\nD;20;1;;\r\nE;;\r\n", "confirm.kas"), "OK\r\n");
  EXPECT_EQ(inst.Ask("pda1", "ANMELDUNG;3;1").substr(0, 2), "OK");
  inst.Ask("pda1", "TISCH;12;3");
  ASSERT_TRUE(WaitFor([&] { return Body(inst.Get("/metrics")).find("kind=\"tischdaten\"") != std::string::npos; },
                      kEventWaitMs));
  ASSERT_TRUE(
      WaitFor([&] { return inst.Get("/status.json").find("\"printers\":[]") == std::string::npos; }, kEventWaitMs));
  ASSERT_TRUE(
      WaitFor([&] { return inst.Get("/status.json").find("\"simulator\":true") != std::string::npos; }, kEventWaitMs));
  const std::string metrics = Body(inst.Get("/metrics"));
  const std::string parsed = ParsedMetrics(inst.dir.path(), metrics);
  for (const char* sample :
       {"tolvenpda_orders_booked_total{} 2", "tolvenpda_order_lines_refused_total{} 1",
        "tolvenpda_requests_total{kind=\"anmeldung\"} 1", "tolvenpda_requests_total{kind=\"tischdaten\"} 1",
        "tolvenpda_settlements_total{} 0", "tolvenpda_receipts_unsigned_total{} 0", "tolvenpda_tse_ready{} 1",
        "tolvenpda_tse_simulator{} 1"}) {
    EXPECT_NE(parsed.find(std::string(sample) + "\n"), std::string::npos) << sample << "\n" << parsed;
  }
  EXPECT_NE(parsed.find("tolvenpda_poll_pass_duration_seconds_bucket{le=\"+Inf\"}"), std::string::npos) << parsed;
  EXPECT_NE(parsed.find("tolvenpda_poll_pass_duration_seconds_count{} "), std::string::npos) << "a whole histogram";
  EXPECT_EQ(parsed.find("PARSE ERROR"), std::string::npos) << metrics;

  std::string health = inst.Get("/healthz");
  EXPECT_EQ(HttpStatusOf(health), 200) << health;
  const std::string json = Utf8ToCp1252(inst.Get("/status.json"));
  EXPECT_TRUE(
      std::regex_search(json, std::regex("\"updated\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2}\"")))
      << json.substr(0, 400);
  EXPECT_NE(json.find("\"name\":\"Küchendrucker 1 Küche\""), std::string::npos)
      << "the kitchen printer by name\n"
      << json.substr(json.find("\"printers\""), 600);
  EXPECT_NE(json.find("\"today\":{\"ordersBooked\":2,\"linesRefused\":1"), std::string::npos);
  EXPECT_EQ(json.find("Bitte warten"), std::string::npos) << "printing has ended";
  // The orders were signed by the stand-in: a red warning and an alert, and --check says so below.
  EXPECT_NE(Utf8ToCp1252(inst.Get("/")).find("id=\"tse-simulator\">Signaturen kommen vom TSE-Simulator"),
            std::string::npos);
  EXPECT_NE(json.find("\"serial\":\"TOLVENSIM-0001\",\"simulator\":true"), std::string::npos);

  const std::string own = OwnAddress();
  EXPECT_TRUE(own.empty() || HttpStatusOf(inst.Get("/status.json", own)) == 403) << "from " << own;
  const std::string port = std::to_string(inst.port);
  struct Case {
    const char* name;
    std::string request;
    int status;
  } cases[] = {
      {"foreign host", "GET /status.json HTTP/1.1\r\nHost: evil.example:" + port + "\r\n\r\n", 403},
      {"foreign origin",
       "POST /meldungen/quittieren HTTP/1.1\r\nHost: evil.example:" + port + "\r\nOrigin: http://evil.example:" + port +
           "\r\nContent-Length: 0\r\n\r\n",
       403},
      {"foreign host without port", "GET /metrics HTTP/1.1\r\nHost: evil.example\r\n\r\n", 403},
      {"no Host at all", "GET / HTTP/1.0\r\n\r\n", 403},
      {"localhost", "GET / HTTP/1.1\r\nHost: localhost:" + port + "\r\n\r\n", 200},
      {"IPv6 loopback", "GET / HTTP/1.1\r\nHost: [::1]:" + port + "\r\n\r\n", 200},
      {"body over the limit",
       "POST /meldungen/quittieren HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\n" +
           std::string(100000, 'x'),
       413},
      {"NUL in the path", "GET /%00 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"dot-dot", "GET /../etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400},
      {"overlong path", "GET /" + std::string(50000, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 414},
  };
  for (const Case& c : cases) {
    std::string r = RawHttp("127.0.0.1", inst.port, c.request);
    // A refusal before the request was read whole may end in a reset instead.
    EXPECT_TRUE(HttpStatusOf(r) == c.status || (r.empty() && c.status >= 413)) << c.name << ": " << r.substr(0, 200);
  }
  (void)RawHttp("127.0.0.1", inst.port, "\x16\x03\x01 not http at all\r\n\r\n");

  // 200 connections that send half a request and then wait.
  std::vector<int> slow;
  for (int i = 0; i < 200; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(inst.port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string part = "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    (void)::send(fd, part.data(), part.size(), MSG_NOSIGNAL);
    slow.push_back(fd);
  }
  EXPECT_EQ(HttpStatusOf(inst.Get("/status.json")), 200) << "answered while the slow clients wait";
  for (int fd : slow) ::close(fd);

  // A statement of the processing thread fails: the page's own threads see it
  // only through the published state.
  inst.Sql("DROP TABLE kassi");
  EXPECT_EQ(inst.Ask("pda1", "ANMELDUNG;3;1"), " \r\n");
  ASSERT_TRUE(WaitFor([&] { return HttpStatusOf(inst.Get("/healthz")) == 503; }, kEventWaitMs)) << inst.Get("/healthz");
  health = inst.Get("/healthz");
  EXPECT_NE(health.find("Datenbankanweisung fehlgeschlagen"), std::string::npos) << health;
  EXPECT_NE(health.find("kassi"), std::string::npos) << health;

  EXPECT_EQ(gateway.Stop(20000), 0);
  sim.Stop(5000);
  RunProgram(kGateway, {"--check"}, inst.env, inst.dir / "check.log");
  EXPECT_NE(
      ReadAll(inst.dir / "check.log").find("FEHLER  TSE-Seriennummer: TOLVENSIM-0001: die letzte Signatur kam vom"),
      std::string::npos)
      << ReadAll(inst.dir / "check.log");
}

}  // namespace
}  // namespace tolven::testing
