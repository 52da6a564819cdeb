// The status page's addresses and documents: the page and its JSON twin from a
// published snapshot, health, acknowledging alerts, refusals, and the settings
// of TOLVEN.INI section "STATUS".
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/cp1252.h"
#include "status/metrics.h"
#include "status/render.h"
#include "status/service.h"
#include "support/fake_env.h"
#include "support/fake_print_engine.h"

namespace tolven::status {
namespace {

using platform::HttpRequest;
using platform::HttpResponse;
using platform::MsgKind;

// Whether the text is one valid JSON value, by Python's strict reader (python3
// is a build dependency anyway).
bool ValidJson(const std::string& text) {
  testing::TempDir dir;
  testing::WriteAll(dir / "s.json", text);
  const std::string cmd = "python3 -c 'import json,sys; json.load(open(sys.argv[1], encoding=\"utf-8\"))' " +
                          dir / "s.json" + " 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

class StatusServiceTest : public ::testing::Test {
 protected:
  StatusServiceTest() : alerts(env), recorder(engine, env), service(board, alerts, env) {}

  void PublishSample() {
    auto s = std::make_shared<StatusSnapshot>();
    s->sequence = 3;
    s->collectedMonotonicMs = env.MonotonicMs();
    s->log = "12:00:00  Orderterminal-Gateway gestartet.\r\n12:00:01  Bestellung für Tisch 12 <b>\r\n";
    s->slots[0].number = 1;
    s->slots[0].inUse = true;
    s->slots[0].lastAnswer = "ERR;Kein Kunde zu Kartennummer \"9\"";
    s->slots[0].pendingFiles = {"bestell.txt"};
    for (int i = 1; i < gateway::kSlots; ++i) s->slots[static_cast<size_t>(i)].number = i + 1;
    s->tse.inUse = true;
    s->tse.ready = false;
    s->tse.lastTimeout = "05.12.2026 11:59:00 Trx-Start";
    {
      PrintRecorder::Scope scope(recorder, PrintoutKind::KitchenReceipt);
      recorder.MyPrint({"KÜCHE", std::string("\x1B!\x30", 3) + "2x Schnitzel"}, "FILE:/k.txt", true, false);
    }
    s->kitchenReceipts = recorder.KitchenReceipts();
    board.Publish(s);
  }
  HttpResponse Call(const std::string& method, const std::string& path,
                    std::map<std::string, std::string> headers = {}) {
    HttpRequest r;
    r.method = method;
    r.path = path;
    r.remoteAddress = "127.0.0.1";
    r.headers = std::move(headers);
    return service.Handle(r);
  }

  testing::FakeEnv env;
  AlertLog alerts;
  testing::FakePrintEngine engine;
  PrintRecorder recorder;
  StatusBoard board;
  StatusService service;
};

// Text from the gateway never turns into markup on the page or breaks the JSON.
TEST_F(StatusServiceTest, PageAndJsonCarryTheStateEscaped) {
  EXPECT_NE(Call("GET", "/").body.find("noch keine Daten"), std::string::npos);
  EXPECT_TRUE(ValidJson(Call("GET", "/status.json").body));
  PublishSample();
  alerts.Add(MsgKind::Critical, "TOLVENPDA", "Fehler bei Druck auf COM9\r\n\r\nWindows meldet: <kein Gerät>");
  HttpResponse page = Call("GET", "/");
  EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
  const std::string html = Utf8ToCp1252(page.body);
  for (const char* part : {"&lt;kein Gerät&gt;", "ERR;Kein Kunde zu Kartennummer &quot;9&quot;", "Tisch 12 &lt;b&gt;",
                           "Nicht eingerichtet: Terminal 2, 3, 4, 5", "bestell.txt", "05.12.2026 11:59:00 Trx-Start"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part;
  }
  EXPECT_LT(html.find("Tisch 12"), html.find("gestartet.")) << "newest log line first";
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("keine Aktualisierung"), std::string::npos);
  bool secured = false;
  for (const auto& [name, value] : page.headers) secured = secured || name == "Content-Security-Policy";
  EXPECT_TRUE(secured);

  HttpResponse json = Call("GET", "/status.json");
  EXPECT_EQ(json.contentType, "application/json; charset=utf-8");
  EXPECT_TRUE(ValidJson(json.body)) << json.body;
  const std::string j = Utf8ToCp1252(json.body);
  for (const char* part : {"\"lines\":[\"KÜCHE\",\"2x Schnitzel\",\"[Schnitt]\"]", "\"pendingFiles\":[\"bestell.txt\"]",
                           "12:00:01  Bestellung für Tisch 12 \\u003cb\\u003e\""}) {
    EXPECT_NE(j.find(part), std::string::npos) << part;
  }
  env.Advance(kStaleMs + 1000);
  EXPECT_NE(Call("GET", "/").body.find("Seit 6 s keine Aktualisierung"), std::string::npos);
}

// /healthz says 200 only while the loop reports, its database answers and the
// TSE signs; otherwise 503 with every reason.
TEST_F(StatusServiceTest, HealthNamesEveryReasonItIsNotWell) {
  HttpResponse r = Call("GET", "/healthz");
  EXPECT_EQ(r.status, 503);
  EXPECT_NE(r.body.find("startet"), std::string::npos) << r.body;
  PublishSample();  // TSE in use and not ready
  r = Call("GET", "/healthz");
  EXPECT_EQ(r.status, 503);
  EXPECT_NE(Utf8ToCp1252(r.body).find("TSE nicht bereit"), std::string::npos) << r.body;
  auto s = std::make_shared<StatusSnapshot>(*board.Latest());
  s->tse.ready = true;
  board.Publish(s);
  EXPECT_EQ(Call("GET", "/healthz").body, "OK\n");
  env.Advance(kStaleMs + 2000);
  r = Call("GET", "/healthz");
  EXPECT_EQ(r.status, 503);
  EXPECT_NE(r.body.find("Seit 7 s keine Meldung"), std::string::npos) << r.body;
  EXPECT_EQ(Call("POST", "/healthz").status, 405);
}

TEST(StatusTimes, IsoWithTheOffsetOfThatMoment) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  const std::string got = IsoLocalTime("05.12.2026 12:00:01") + "|" + IsoLocalTime("29.03.2026 14:05:00 Trx") + "|" +
                          IsoLocalTime("12:00:01") + "|" + IsoLocalTime("");
  old ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
  EXPECT_EQ(got, "2026-12-05T12:00:01+01:00|2026-03-29T14:05:00+02:00 Trx|12:00:01|");
}

TEST_F(StatusServiceTest, AcknowledgingAndRefusals) {
  const int64_t a = alerts.Add(MsgKind::Critical, "TOLVENPDA", "Drucker A gestört");
  alerts.Add(MsgKind::Critical, "TSE", "Keine Antwort vom TSE-Server");
  struct Case {
    const char* method;
    std::string path;
    std::map<std::string, std::string> headers;
    int status;
  } cases[] = {
      {"GET", AcknowledgePath(a), {}, 405},
      {"POST", "/", {}, 405},
      {"DELETE", "/status.json", {}, 405},
      {"POST", "/meldungen/99/quittieren", {}, 404},
      {"POST", "/meldungen/abc/quittieren", {}, 404},
      {"POST", "/meldungen/-1/quittieren", {}, 404},
      {"POST", "/meldungen/99999999999999999999/quittieren", {}, 404},
      {"GET", "/status.json/", {}, 404},
      {"GET", "/favicon.ico", {}, 204},
      // A form on another site must not acknowledge through the operator's browser.
      {"POST", AcknowledgePath(a), {{"origin", "http://evil.example"}, {"host", "127.0.0.1:8080"}}, 403},
      {"POST", "/meldungen/quittieren", {{"sec-fetch-site", "cross-site"}}, 403},
      {"POST", AcknowledgePath(a), {{"origin", "http://127.0.0.1:8080"}, {"host", "127.0.0.1:8080"}}, 303},
      {"POST", AcknowledgePath(a), {}, 303},  // a second click is no error
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Call(c.method, c.path, c.headers).status, c.status) << c.method << " " << c.path;
  }
  EXPECT_EQ(alerts.OpenCount(), 1u);
  EXPECT_EQ(Call("POST", "/meldungen/quittieren").status, 303);
  EXPECT_EQ(alerts.OpenCount(), 0u);
  EXPECT_NE(Call("GET", "/status.json").body.find("\"acknowledgedBy\":\"127.0.0.1\""), std::string::npos);
}

TEST(StatusConfig, SettingsOfSectionStatus) {
  StatusConfig off = ParseStatusConfig("", "", "");
  EXPECT_FALSE(off.enabled() || ParseStatusConfig("0", "", "").enabled());
  EXPECT_EQ(off.bind, "127.0.0.1");
  EXPECT_TRUE(off.errors.empty());
  StatusConfig on = ParseStatusConfig(" 8080 ", "0.0.0.0", "192.168.1.20, 10.0.0.0/8;fd00::/8  ");
  EXPECT_EQ(on.port, 8080);
  EXPECT_EQ(on.bind, "0.0.0.0");
  EXPECT_EQ(on.allowed, (std::vector<std::string>{"192.168.1.20", "10.0.0.0/8", "fd00::/8"}));
  for (const char* bad : {"80a", "70000", "-1", "8080 9090"}) {
    StatusConfig c = ParseStatusConfig(bad, "", "");
    EXPECT_FALSE(c.enabled()) << bad;
    EXPECT_EQ(c.errors.size(), 1u) << bad;
  }
  StatusConfig partly = ParseStatusConfig("8080", "", "192.168.1.300 kasse2 10.1.1.1");
  EXPECT_EQ(partly.allowed, (std::vector<std::string>{"10.1.1.1"}));
  EXPECT_EQ(partly.errors.size(), 2u) << "host names and impossible addresses are reported, not guessed";
}

}  // namespace
}  // namespace tolven::status
