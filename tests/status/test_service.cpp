// The status page's addresses and documents: the page and its JSON twin from a
// published snapshot, health, acknowledging alerts, refusals, and the settings
// of TOLVEN.INI section "STATUS".
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/cp1252.h"
#include "status/render.h"
#include "status/service.h"
#include "support/fake_env.h"

namespace tolven::status {
namespace {

class StatusServiceTest : public ::testing::Test {
 protected:
  StatusServiceTest() : alerts(env), service(board, alerts, env) {}

  // A log line that must not turn into markup, the TSE in use.
  void Publish(bool tseReady) {
    auto s = std::make_shared<StatusSnapshot>();
    s->sequence = 1;
    s->collectedMonotonicMs = env.MonotonicMs();
    s->log = "12:00:00  Orderterminal-Gateway gestartet.\r\n12:00:01  Bestellung für Tisch 12 <b>\"\r\n";
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

// /healthz says 200 only while the loop reports, its database answers and the
// TSE signs; otherwise 503 with every reason. The JSON is one valid value by
// Python's strict reader (python3 is a build dependency anyway); the page shows
// the newest log line first, escaped, and that it is stale.
TEST_F(StatusServiceTest, HealthPageAndJson) {
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
  testing::TempDir dir;
  testing::WriteAll(dir / "s.json", Call("GET", "/status.json").body);
  const std::string check = "python3 -c 'import json,sys; json.load(open(sys.argv[1], encoding=\"utf-8\"))' ";
  EXPECT_EQ(std::system((check + dir / "s.json").c_str()), 0) << testing::ReadAll(dir / "s.json");
  const std::string html = Utf8ToCp1252(Call("GET", "/").body);
  EXPECT_LT(html.find("Tisch 12 &lt;b&gt;&quot;"), html.find("gestartet.")) << html;
  EXPECT_NE(html.find("Seit 7 s keine Aktualisierung"), std::string::npos);
}

TEST_F(StatusServiceTest, AcknowledgingAndRefusals) {
  const std::string a = AcknowledgePath(alerts.Add(platform::MsgKind::Critical, "TOLVENPDA", "Drucker A gestört"));
  alerts.Add(platform::MsgKind::Critical, "TSE", "Keine Antwort vom TSE-Server");
  EXPECT_EQ(Call("GET", a).status, 405);
  EXPECT_EQ(Call("POST", "/healthz").status, 405);
  for (const char* id : {"99", "abc", "-1", "99999999999999999999"}) {
    EXPECT_EQ(Call("POST", "/meldungen/" + std::string(id) + "/quittieren").status, 404) << id;
  }
  EXPECT_EQ(Call("GET", "/favicon.ico").status, 204);
  // A form on another site must not acknowledge through the operator's browser.
  EXPECT_EQ(Call("POST", "/meldungen/quittieren", {{"sec-fetch-site", "cross-site"}}).status, 403);
  EXPECT_EQ(Call("POST", a, {{"origin", "http://127.0.0.1:8080"}, {"host", "127.0.0.1:8080"}}).status, 303);
  EXPECT_EQ(Call("POST", a).status, 303) << "a second click is no error";
  EXPECT_EQ(alerts.OpenCount(), 1u);
  EXPECT_EQ(Call("POST", "/meldungen/quittieren").status, 303);
  EXPECT_EQ(alerts.OpenCount(), 0u);
}

TEST(StatusSettings, SectionStatus) {
  EXPECT_FALSE(ParseStatusConfig("", "", "").enabled() || ParseStatusConfig("0", "", "").enabled());
  StatusConfig on = ParseStatusConfig(" 8080 ", "", "192.168.1.20, 10.0.0.0/8;fd00::/8  192.168.1.300 kasse2");
  EXPECT_EQ(on.port, 8080);
  EXPECT_EQ(on.allowed, (std::vector<std::string>{"192.168.1.20", "10.0.0.0/8", "fd00::/8"}));
  EXPECT_EQ(on.errors.size(), 2u) << "host names and impossible addresses are reported, not guessed";
  for (const char* bad : {"80a", "70000", "-1", "8080 9090"}) {
    EXPECT_EQ(ParseStatusConfig(bad, "", "").errors.size(), 1u) << "the page stays off: " << bad;
  }
}

}  // namespace
}  // namespace tolven::status
