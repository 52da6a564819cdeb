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

namespace tolven::status {
namespace {

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
  StatusServiceTest() : alerts(env), service(board, alerts, env) {}

  // The TSE in use and not ready, a log line and an answer that must not turn into markup.
  void Publish(bool tseReady) {
    auto s = std::make_shared<StatusSnapshot>();
    s->sequence = 1;
    s->collectedMonotonicMs = env.MonotonicMs();
    s->log = "12:00:00  Orderterminal-Gateway gestartet.\r\n12:00:01  Bestellung für Tisch 12 <b>\r\n";
    s->slots[0].inUse = true;
    s->slots[0].lastAnswer = "ERR;Kein Kunde zu Kartennummer \"9\"";
    s->tse.inUse = true;
    s->tse.ready = tseReady;
    board.Publish(s);
  }
  platform::HttpResponse Call(const std::string& method, const std::string& path,
                              std::map<std::string, std::string> headers = {}) {
    return service.Handle(
        {.method = method, .path = path, .remoteAddress = "127.0.0.1", .headers = headers, .body = ""});
  }

  testing::FakeEnv env;
  AlertLog alerts;
  StatusBoard board;
  StatusService service;
};

TEST_F(StatusServiceTest, PageAndJsonCarryTheStateEscaped) {
  EXPECT_NE(Call("GET", "/").body.find("noch keine Daten"), std::string::npos);
  EXPECT_TRUE(ValidJson(Call("GET", "/status.json").body));
  Publish(false);
  alerts.Add(MsgKind::Critical, "TOLVENPDA", "Fehler bei Druck auf COM9\r\n\r\nWindows meldet: <kein Gerät>");
  const std::string html = Utf8ToCp1252(Call("GET", "/").body);
  EXPECT_NE(html.find("&lt;kein Gerät&gt;"), std::string::npos) << html;
  EXPECT_NE(html.find("Kartennummer &quot;9&quot;"), std::string::npos) << html;
  EXPECT_LT(html.find("Tisch 12 &lt;b&gt;"), html.find("gestartet.")) << "newest log line first";
  const std::string json = Call("GET", "/status.json").body;
  EXPECT_TRUE(ValidJson(json)) << json;
  EXPECT_NE(Utf8ToCp1252(json).find("12:00:01  Bestellung für Tisch 12 \\u003cb\\u003e\""), std::string::npos);
  env.Advance(kStaleMs + 1000);
  EXPECT_NE(Call("GET", "/").body.find("Seit 6 s keine Aktualisierung"), std::string::npos);
}

// /healthz says 200 only while the loop reports, its database answers and the
// TSE signs; otherwise 503 with every reason.
TEST_F(StatusServiceTest, HealthNamesEveryReasonItIsNotWell) {
  EXPECT_EQ(Call("GET", "/healthz").body, "Das Gateway startet, noch keine Meldung der Abfrageschleife.\n");
  Publish(true);
  env.Advance(kStaleMs - 1);
  EXPECT_EQ(Call("GET", "/healthz").status, 200);
  Publish(false);
  env.Advance(kStaleMs + 2000);
  const platform::HttpResponse r = Call("GET", "/healthz");
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(
      Utf8ToCp1252(r.body),
      "Seit 7 s keine Meldung der Abfrageschleife.\nTSE nicht bereit: Belege werden ohne Signatur gespeichert.\n");
  EXPECT_EQ(Call("POST", "/healthz").status, 405);
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
      {"POST", "/meldungen/99/quittieren", {}, 404},
      {"POST", "/meldungen/abc/quittieren", {}, 404},
      {"POST", "/meldungen/-1/quittieren", {}, 404},
      {"POST", "/meldungen/99999999999999999999/quittieren", {}, 404},
      {"GET", "/status.json/", {}, 404},
      {"GET", "/favicon.ico", {}, 204},
      // A form on another site must not acknowledge through the operator's browser.
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
}

TEST(StatusSettings, SectionStatusAndLocalTimes) {
  EXPECT_FALSE(ParseStatusConfig("", "", "").enabled() || ParseStatusConfig("0", "", "").enabled());
  StatusConfig on = ParseStatusConfig(" 8080 ", "", "192.168.1.20, 10.0.0.0/8;fd00::/8  192.168.1.300 kasse2");
  EXPECT_EQ(on.port, 8080);
  EXPECT_EQ(on.bind, "127.0.0.1");
  EXPECT_EQ(on.allowed, (std::vector<std::string>{"192.168.1.20", "10.0.0.0/8", "fd00::/8"}));
  EXPECT_EQ(on.errors.size(), 2u) << "host names and impossible addresses are reported, not guessed";
  for (const char* bad : {"80a", "70000", "-1", "8080 9090"}) {
    StatusConfig c = ParseStatusConfig(bad, "", "");
    EXPECT_FALSE(c.enabled() || c.errors.size() != 1) << bad;
  }
  // Times with the offset of their moment.
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

}  // namespace
}  // namespace tolven::status
