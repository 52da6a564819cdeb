// The status page below the browser: printouts as they come out of the
// printer (ESC/POS commands carried out on the paper model, text into HTML and
// JSON without ever turning into markup), what the page learns from the gateway
// (alerts, printouts per channel, receipts read back from the BON archive), its
// addresses and documents, and the HTTP server on real sockets: who may ask, and
// what is refused before the handler sees it.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "common/cp1252.h"
#include "common/crc16.h"
#include "common/text.h"
#include "platform/http_server.h"
#include "platform/http_server_internal.h"
#include "printing/escpos_qr.h"
#include "status/alerts.h"
#include "status/html.h"
#include "status/paper.h"
#include "status/print_recorder.h"
#include "status/render.h"
#include "status/service.h"
#include "support/fake_env.h"
#include "support/fake_print_engine.h"
#include "support/http_client.h"

namespace tolven::status {
namespace {

using platform::MsgKind;
using testing::HttpStatusOf;
using Lines = std::vector<std::string>;

const std::string kHigh = HexDecode("1B2110");
const std::string kBig = HexDecode("1B2130");
const std::string kOff = HexDecode("1B2100");

// The paper as text, a line each: marks in angle brackets, spans in square
// brackets with their look: "w" double width, "h" double height, "b" bold.
Lines Paper(const Lines& lines, bool cut = false) {
  Lines out;
  for (const PaperLine& l : RenderPaper(lines, cut)) {
    out.push_back(l.mark != PaperMark::None ? "<" + l.markText + ">" : "");
    for (const PaperSpan& s : l.spans) {
      std::string look = std::string(s.doubleWidth ? "w" : "") + (s.doubleHeight ? "h" : "") + (s.bold ? "b" : "");
      out.back() += look.empty() ? s.text : "[" + look + ":" + s.text + "]";
    }
  }
  return out;
}

// The cases of each group follow each other on one paper; each switches its
// mode off again. Then the paper as HTML.
TEST(StatusPaper, PrinterCommandsBecomeLookAndMarksAndHtml) {
  // Plain text and blank lines; the size codes of a kitchen line; double width,
  // and GS ! sets the size too; the mode lives on to the next line; emphasis; a
  // line holding only a mode change feeds a blank line.
  EXPECT_EQ(Paper({"Tisch 12", "", " ", kBig + "2" + kOff + kHigh + "x " + kOff + kBig + "Pizza" + kOff,
                   HexDecode("1B2120") + "20:48" + kOff + " Uhr", HexDecode("1D2111") + "SUMME" + HexDecode("1D2100"),
                   kHigh + "oben", "weiter", kOff + "normal",
                   HexDecode("1B4501") + "fett" + HexDecode("1B4500") + " normal", kOff}),
            (Lines{"Tisch 12", "", " ", "[wh:2][h:x ][wh:Pizza]", "[w:20:48] Uhr", "[wh:SUMME]", "[h:oben]",
                   "[h:weiter]", "normal", "[b:fett] normal", ""}));
  // A cut alone leaves no blank line, text before a cut is printed first, a cut
  // with a feed amount; drawer pulses on pin 2 and 5 and the old code without
  // pulse times; the kitchen buzzer; a stored logo.
  EXPECT_EQ(Paper({"Ende", HexDecode("1D5631"), "Summe" + HexDecode("1D5631"), HexDecode("1D564103") + "x",
                   HexDecode("1B70000901"), HexDecode("1B70016464"), HexDecode("1B70"), HexDecode("1B7000FFFF"),
                   HexDecode("1C700100")}),
            (Lines{"Ende", "<Schnitt>", "Summe", "<Schnitt>", "<Schnitt>", "x", "<Schublade öffnen (Pin 2)>",
                   "<Schublade öffnen (Pin 5)>", "<Schublade öffnen>", "<Küchensummer (Pin 2)>", "<Logo 1>"}));
  // Picture bytes are not text; barcodes ended by NUL and with a length; the
  // text printer's directives.
  EXPECT_EQ(Paper({HexDecode("1D76300002000100") + "AB" + "nach", HexDecode("1B2A210200") + "ABCDEF" + "ok",
                   HexDecode("1D6B04") + "4711" + HexDecode("00") + "x", HexDecode("1D6B4903") + "ABC", "#BARCODE:123",
                   "  #FONT:Arial:Hallo", "#QRCODE:"}),
            (Lines{"<Grafik>", "nach", "<Grafik>", "ok", "<Strichcode 4711>", "x", "<Strichcode ABC>",
                   "<Strichcode 123>", "Hallo"}));
  // Form feed and feed lines; other control bytes vanish; a line feed inside a
  // line; the slip station.
  EXPECT_EQ(Paper({std::string(1, '\f'), "a" + HexDecode("1B6402"), "a" + HexDecode("07017F") + "b", "eins\nzwei",
                   HexDecode("1B633004"), HexDecode("1B633001")}),
            (Lines{"<Seitenvorschub>", "a", "", "", "ab", "eins", "zwei", "<Druck auf Belegstation (Formular)>",
                   "<Druck auf Bonrolle>"}));
  // A cut at the end is added once; a QR code keeps every byte of its text
  // (length bytes of 13 and 10 are no line end); commands cut short never read
  // past their line.
  EXPECT_EQ(Paper({"x", HexDecode("1D5631")}, true), (Lines{"x", "<Schnitt>"}));
  EXPECT_EQ(Paper({}, true), (Lines{"<Schnitt>"}));
  const std::string text =
      "V0;TOLVENPDA-1;Kassenbeleg-V1;Beleg^8.40_0.00_0.00_0.00_0.00^8.40:Bar;3;501;" + std::string(184, 'S');
  for (const std::string& data : {text, text.substr(0, 10), text.substr(0, 7), std::string("A;B")})
    EXPECT_EQ(PaperText(RenderPaper({" ", printing::EscPosQrCode(data)}, false)), (Lines{" ", "[QR-Code] " + data}));
  for (const char* hex :
       {"1B", "1B21", "1D286BC80131", "1D7630", "1D6B043132", "1D6B493231", "1B2A21FFFF", "1C70", "101401"}) {
    const Lines p = Paper({HexDecode(hex), "danach"});
    EXPECT_TRUE(!p.empty() && p.back() == "danach") << hex;
  }

  // Text never becomes markup; looks become classes; QR codes become pictures.
  EXPECT_EQ(HtmlText("<script>\"a\"&'b'</script>"), "&lt;script&gt;&quot;a&quot;&amp;&#39;b&#39;&lt;/script&gt;");
  EXPECT_EQ(HtmlText(HexDecode("611B620D0A63")), "ab\nc");
  EXPECT_EQ(JsonString("a\"b\\c\r\n" + HexDecode("017F") + "</x>"),
            "\"a\\\"b\\\\c\\r\\n\\u0001\\u007f\\u003c/x\\u003e\"");
  // Centred, underlined, red, narrow, double height: each its class.
  const std::string html =
      PaperHtml(RenderPaper({"<b>Tisch</b> & " + kBig + "<i>",
                             HexDecode("1B61311B2D01") + "u" + HexDecode("1B7201") + "r" + HexDecode("1B2101") + "n",
                             HexDecode("1B401B6102") + kHigh + "x"},
                            false));
  EXPECT_EQ(
      html,
      "<div class=\"paper\" style=\"width:24ch\"><div class=\"l tall\">&lt;b&gt;Tisch&lt;/b&gt; &amp; <span "
      "class=\"big\" style=\"width:6ch\"><span class=\"dwh\">&lt;i&gt;</span></span></div><div class=\"l tall "
      "ac\"><span class=\"u big\" style=\"width:2ch\"><span class=\"dwh\">u</span></span><span class=\"u red "
      "big\" style=\"width:2ch\"><span class=\"dwh\">r</span></span><span class=\"red n\">n</span></div><div "
      "class=\"l tall ar\"><span class=\"big\" style=\"width:1ch\"><span class=\"dh\">x</span></span></div></div>");
  // Version 1 is 21 modules, with four modules of quiet zone on each side; no
  // symbol for nothing or for more than a QR code holds.
#ifdef TOLVEN_HAVE_QRENCODE
  const std::string svg = QrSvg("HELLO");
  EXPECT_TRUE(svg.find("viewBox=\"0 0 29 29\"") != std::string::npos && svg.find("M4 4h7v1h-7z") != std::string::npos);
#endif
  EXPECT_EQ(QrSvg("") + QrSvg(std::string(5000, 'x')), "");
  const std::string tooLong = PaperHtml(RenderPaper({printing::EscPosQrCode(std::string(3000, 'y'))}, false));
  EXPECT_NE(tooLong.find("QR-Code nicht darstellbar"), std::string::npos);
}

// A receipt archived and printed in one scope is one record with both outcomes.
TEST(PrintRecorderAndAlerts, WhatThePageLearnsFromTheGateway) {
  testing::FakeEnv env;
  testing::FakePrintEngine engine;
  PrintRecorder recorder(engine, env);
  std::vector<int32_t> lookups;
  recorder.SetQrLookup([&lookups](int32_t bunr) {
    lookups.push_back(bunr);
    return bunr == 7 ? std::string("V0;KASSE;Kassenbeleg-V1;QR") : std::string();
  });
  auto Print = [&recorder](const Lines& lines, const std::vector<std::string>& channels) {
    PrintRecorder::Scope scope(recorder, PrintoutKind::CustomerReceipt);
    for (const std::string& channel : channels) {
      (void)recorder.MyPrint(lines, channel, !StartsWith(channel, "FILE:"), false);  // judged by the recorder
    }
  };
  engine.FailChannel("COM1");
  Print({"Bon-Nr 7", "SUMME 8.40"}, {"FILE:/kasse/ARCHIV/BON/BON7.BON", "COM1"});
  const PrintoutRecord& r = *recorder.Receipts().at(0);
  EXPECT_TRUE(engine.printouts.size() == 2 && r.bunr == 7 && r.deliveries.size() == 2 && r.deliveries[0].ok &&
              !r.deliveries[1].ok);
  // The printer copy is cut; the QR code of the receipt is looked up once.
  EXPECT_EQ(r.text, (Lines{"Bon-Nr 7", "SUMME 8.40", "[Schnitt]", "[QR-Code gespeichert] V0;KASSE;Kassenbeleg-V1;QR"}));
  // Not again for the printer copy, nor for a receipt with a QR code of its own.
  Print({"Bon-Nr 8", printing::EscPosQrCode("IM AUSDRUCK")}, {"FILE:/a/BON8.BON"});
  EXPECT_EQ(lookups, (std::vector<int32_t>{7}));
  std::string channels;
  for (const ChannelOutcome& c : recorder.Channels())
    channels += c.channel + " " + std::to_string(c.printouts) + "/" + std::to_string(c.failures) + "; ";
  EXPECT_EQ(channels, "COM1 1/1; FILE:/a/BON*.BON 1/0; FILE:/kasse/ARCHIV/BON/BON*.BON 1/0; ");
  EXPECT_EQ(ArchiveReceiptNumber("FILE:/a/bon12.bon"), 12);
  for (const char* no : {"FILE:/a/BON.BON", "FILE:/a/BONx1.BON", "/a/BON1.BON", "FILE:/a/BON12345678901.BON"})
    EXPECT_EQ(ArchiveReceiptNumber(no), 0) << no;

  // After a restart the last receipts come back from the BON archive, with the
  // outcome of their check value.
  testing::TempDir dir;
  const std::string l1 = "Bon-Nr 3", l2 = "\x1B!\x10SUMME EUR  4.20\x1B!{0}";  // NUL is archived as {0}
  testing::WriteAll(dir / "BON3.BON", l1 + "\r\n" + l2 + "\r\n###CRC:" + HexEncode(Crc16Text(l1 + l2)) + "\r\n");
  testing::WriteAll(dir / "BON5.BON", "Bon-Nr 5\r\n###CRC:0000\r\n");
  PrintRecorder restarted(engine, env);
  restarted.LoadArchived(dir.path() + "/", {5, 4, 3});
  auto receipts = restarted.Receipts();
  ASSERT_EQ(receipts.size(), 2u) << "BON4.BON does not exist";
  EXPECT_EQ(receipts[0]->source + "|" + receipts[1]->source,
            "Archiv BON5.BON, Prüfsumme FALSCH|Archiv BON3.BON, Prüfsumme stimmt");
  EXPECT_EQ(receipts[1]->lines, (Lines{l1, ReplaceAll(l2, "{0}", std::string(1, '\0'))}));

  // Every message box is kept until acknowledged, repetitions count up, and the
  // log stays bounded, dropping acknowledged alerts first, then the oldest.
  testing::FakeUi console;
  AlertLog log(env, 3);
  auto State = [&log] {
    std::string out;
    for (const Alert& a : log.All()) out += std::to_string(a.id) + "x" + std::to_string(a.count) + " ";
    return out + std::to_string(log.dropped());
  };
  RecordingUi(console, log).MessageBox("COM9 gestört", MsgKind::Critical, "");
  log.Add(MsgKind::Critical, "T", "anderes");
  env.Advance(5000);
  EXPECT_EQ(log.Add(MsgKind::Critical, platform::kAppTitle, "COM9 gestört"), 1)
      << "an empty title is the application's";
  EXPECT_EQ(log.Add(MsgKind::Exclamation, platform::kAppTitle, "COM9 gestört"), 3) << "another kind is another alert";
  EXPECT_EQ(console.messages.size(), 1u) << "the console still shows every box";
  EXPECT_EQ(State(), "3x1 1x2 2x1 0") << "a repetition moves the alert up";
  EXPECT_EQ(log.All()[1].firstTime + " " + log.All()[1].lastTime, "05.12.2026 12:00:00 05.12.2026 12:00:05");

  EXPECT_TRUE(log.Acknowledge(1, "127.0.0.1"));
  EXPECT_FALSE(log.Acknowledge(1, "127.0.0.1") || log.Acknowledge(999, "127.0.0.1"));
  EXPECT_EQ(log.Add(MsgKind::Critical, platform::kAppTitle, "COM9 gestört"), 4) << "acknowledged, it is news again";
  EXPECT_EQ(State(), "4x1 3x1 2x1 1");
  log.Add(MsgKind::Critical, "T", std::string(AlertLog::kMaxText + 100, 'x'));
  EXPECT_EQ(State(), "5x1 4x1 3x1 2");
  EXPECT_EQ(log.All().front().text.size(), AlertLog::kMaxText + 6);
  EXPECT_EQ(log.TakeAcknowledged().at(0).acknowledgedBy, "127.0.0.1");
  EXPECT_TRUE(log.TakeAcknowledged().empty()) << "taken once";
}

// /healthz says 200 only while the loop reports, its database answers and the
// TSE signs; otherwise 503 with every reason, and a stalled loop is an alert. The JSON is one valid value by
// Python's strict reader (python3 is a build dependency anyway); the page shows
// the newest log line first, escaped, and that it is stale. Then acknowledging
// alerts, what is refused, and the settings.
TEST(StatusService, HealthPageJsonAcknowledgingRefusalsAndSettings) {
  testing::FakeEnv env;
  AlertLog alerts(env);
  StatusBoard board;
  StatusService service(board, alerts, env);
  // A log line that must not turn into markup, the TSE in use.
  auto Publish = [&](bool tseReady) {
    auto s = std::make_shared<StatusSnapshot>();
    s->sequence = 1;
    s->collectedMonotonicMs = env.MonotonicMs();
    s->log = "12:00:00  Orderterminal-Gateway gestartet.\r\n12:00:01  Bestellung für Tisch 12 <b>\"\r\n12:00:02  OK\n";
    s->tse.inUse = true;
    s->tse.ready = tseReady;
    board.Publish(s);
  };
  auto Call = [&](const std::string& method, const std::string& path, std::map<std::string, std::string> headers = {}) {
    return service.Handle(
        {.method = method, .path = path, .remoteAddress = "127.0.0.1", .headers = headers, .body = ""});
  };
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
  // The stall is one alert however often it is noticed (the watch, every request).
  service.WatchLoop(1);
  while (alerts.OpenCount() == 0) std::this_thread::yield();
  Call("GET", "/healthz");
  EXPECT_TRUE(alerts.All().size() == 1 && alerts.All()[0].count == 1 &&
              alerts.All()[0].text == "Gateway reagiert seit 7 s nicht: keine Meldung der Abfrageschleife.");
#ifndef _WIN32  // Python's parser is on the Linux side
  FILE* json = ::popen("python3 -c 'import json,sys; json.load(sys.stdin)'", "w");
  std::fputs(Call("GET", "/status.json").body.c_str(), json);
  EXPECT_EQ(::pclose(json), 0) << "the JSON is not one valid value";
#endif
  const std::string html = Utf8ToCp1252(Call("GET", "/").body);
  EXPECT_LT(html.find("Tisch 12 &lt;b&gt;&quot;"), html.find("gestartet.")) << html;
  EXPECT_NE(html.find("12:00:02  OK\n12:00:01  Bestellung"), std::string::npos) << "newest line first, each once";
  EXPECT_EQ(html.find("12:00:02  OK"), html.rfind("12:00:02  OK"));
  EXPECT_NE(html.find("Seit 7 s keine Aktualisierung"), std::string::npos);
  Publish(true);  // health comes back with the loop; the alert stays until acknowledged
  EXPECT_TRUE(Call("GET", "/healthz").status == 200 && alerts.OpenCount() == 1u);

  // No acknowledging by GET; a form on another site must not acknowledge
  // through the operator's browser (a foreign Origin the end-to-end run refuses).
  const std::string a = AcknowledgePath(alerts.Add(MsgKind::Critical, "TOLVENPDA", "Drucker A gestört"));
  alerts.Add(MsgKind::Critical, "TSE", "Keine Antwort vom TSE-Server");
  EXPECT_EQ(Call("GET", a).status, 405);
  EXPECT_EQ(Call("POST", "/healthz").status, 405);
  for (const char* id : {"99", "abc", "-1", "99999999999999999999"})
    EXPECT_EQ(Call("POST", "/meldungen/" + std::string(id) + "/quittieren").status, 404) << id;
  EXPECT_EQ(Call("POST", "/meldungen/quittieren", {{"sec-fetch-site", "cross-site"}}).status, 403);
  EXPECT_EQ(Call("POST", a).status, 303);
  EXPECT_EQ(Call("POST", a).status, 303) << "a second click is no error";
  EXPECT_EQ(alerts.OpenCount(), 2u);
  EXPECT_EQ(Call("POST", "/meldungen/quittieren").status, 303);
  EXPECT_EQ(alerts.OpenCount(), 0u);

  // The settings of section STATUS.
  EXPECT_FALSE(ParseStatusConfig("", "", "").enabled() || ParseStatusConfig("0", "", "").enabled());
  StatusConfig on = ParseStatusConfig(" 8080 ", "", "192.168.1.20, 10.0.0.0/8;fd00::/8  192.168.1.300 kasse2");
  EXPECT_EQ(on.port, 8080);
  EXPECT_EQ(on.allowed, (std::vector<std::string>{"192.168.1.20", "10.0.0.0/8", "fd00::/8"}));
  EXPECT_EQ(on.errors.size(), 2u) << "host names and impossible addresses are reported, not guessed";
  for (const char* bad : {"80a", "70000", "-1", "8080 9090"})
    EXPECT_EQ(ParseStatusConfig(bad, "", "").errors.size(), 1u) << "the page stays off: " << bad;
}

// The handler echoes what it was given; "/boom" throws. Then the rules for who
// may ask.
TEST(HttpServer, ServesTheHandlerAndRefusesWhatItCannotServeOrWhoMayNotAsk) {
  platform::HttpServerOptions options;
  options.maxBodyBytes = 64;
  Status st;
  auto server = platform::HttpServer::Start(
      options,
      [](const platform::HttpRequest& r) {
        if (r.path == "/boom") throw std::runtime_error("kaputt");
        return platform::HttpResponse{.body = r.method + " " + r.path + " from " + r.remoteAddress + " body=" + r.body,
                                      .headers = {}};
      },
      st);
  ASSERT_TRUE(server) << st.message();
  // The answer to a request of that start line and what follows the Host header.
  auto Send = [&server](const std::string& start, const std::string& rest) {
    return testing::RawHttp("127.0.0.1", server->port(),
                            start + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) + "\r\n" + rest);
  };
  // Escapes in either case are decoded; the query is not part of the path.
  const std::string answer = Send("POST /a%5fb%2Fc%4a%39?x=%00", "Content-Length: 5\r\n\r\nhallo");
  EXPECT_TRUE(answer.ends_with("\r\n\r\nPOST /a_b/cJ9 from 127.0.0.1 body=hallo")) << answer;
  // Encoded dot-dot, a broken escape, non-ASCII, a relative path, a path too long.
  for (const std::string& path :
       std::vector<std::string>{"/%2e%2e/etc", "/%zz", "/k\xC3\xBC", "/" + std::string(300, 'a')})
    EXPECT_EQ(HttpStatusOf(Send("GET " + path, "\r\n")), 400) << path;
#ifndef _WIN32  // the Windows HTTP service answers what it cannot parse itself (Wine's not at all)
  EXPECT_EQ(HttpStatusOf(Send("GET status", "\r\n")), 400);
  EXPECT_EQ(HttpStatusOf(Send("POST /p", "Content-Length: 1e3\r\n\r\n")), 400);
#endif
  EXPECT_EQ(HttpStatusOf(Send("GET /boom", "\r\n")), 500);
  EXPECT_EQ(HttpStatusOf(Send("POST /p", "Content-Encoding: gzip\r\nContent-Length: 3\r\n\r\nabc")), 415);
  // Wine's HTTP service may answer the refused chunked body once more (400) on
  // the same connection: only the first answer is ours.
  const std::string chunked = Send("POST /p", "Transfer-Encoding: chunked\r\n\r\n5\r\nhallo\r\n0\r\n\r\n");
  EXPECT_EQ(HttpStatusOf(chunked), 411);
  EXPECT_NE(chunked.find("\r\n\r\nAnfragen ohne L\xC3\xA4ngenangabe werden nicht angenommen.\n"), std::string::npos)
      << chunked;

  // Only loopback unless allowed, and only names of this machine: "+" allowed,
  // "-" refused, group by group.
  std::string verdicts;
  for (const char* a :
       {"127.8.9.10", "::1", "::ffff:127.0.0.1", "192.168.1.20", "::ffff:192.168.1.20", "fe80::1%eth0", ""})
    verdicts += platform::AddressAllowed(a, {}) ? "+" : "-";
  const std::vector<std::string> allowed = {"192.168.1.0/24", "10.192.0.0/10", "fd00::/8", "172.16.0.9"};
  for (const char* a : {"|", "192.168.1.77", "::ffff:192.168.1.20", "10.200.1.1", "fd00::5", "172.16.0.9",
                        "192.168.2.77", "10.128.1.1", "fe00::5", "172.16.0.8", "kasse2"})
    verdicts += *a == '|' ? "|" : platform::AddressAllowed(a, allowed) ? "+" : "-";
  verdicts += platform::AddressAllowed("8.8.8.8", {"0.0.0.0/0"}) ? "|+|" : "|-|";
  for (const char* p : {"192.168.1.0/33", "192.168.1", "kasse2", "10.0.0.0/", "10.0.0.0/x", "::/129", ""})
    verdicts += platform::ValidAddressPattern(p) ? "+" : "-";
  // A page of another site that a browser reaches under a name of its own
  // (DNS rebinding) gets nothing; the names of this machine do.
  for (const char* h :
       {"|", "LOCALHOST:8080", "kasse.localhost", "127.0.0.1:80", "[::1]", "localhost.", "", "127.0.0.1.evil.example",
        "localhost.evil.example", "::1", "[::1]x", "127.0.0.1:8o", "192.168.1.5"})
    verdicts += *h == '|' ? "|" : platform::HostAllowed(h, "127.0.0.1") ? "+" : "-";
  EXPECT_EQ(verdicts, "+++----|+++++-----|+|-------|+++++-------");
  EXPECT_TRUE(platform::HostAllowed("192.168.1.5:8080", "192.168.1.5"));
  // Bound to every address (none given, or 0.0.0.0), this machine's own name reaches the page.
  if (const std::string own = platform::HostName(); !own.empty() && !platform::HostAllowed(own, "127.0.0.1")) {
    EXPECT_TRUE(platform::HostAllowed(own + ":8080", "") && platform::HostAllowed(own, "0.0.0.0")) << own;
    EXPECT_FALSE(platform::HostAllowed(own, "pda.invalid")) << own;
  }
  // Idle page connections must leave the descriptors to order files and printers.
  EXPECT_EQ((std::vector<int>{platform::ConnectionLimit(256, 64), platform::ConnectionLimit(256, 8),
                              platform::ConnectionLimit(3, 4096)}),
            (std::vector<int>{16, 4, 3}));
}

}  // namespace
}  // namespace tolven::status
