#include "status/render.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "common/cp1252.h"
#include "status/html.h"

namespace tolven::status {

namespace {

std::string H(const std::string& text) { return HtmlText(text); }
std::string J(const std::string& text) { return JsonString(text); }
std::string B(bool flag) { return flag ? "true" : "false"; }
std::string N(int64_t n) { return std::to_string(n); }
std::string T(const std::string& time) { return IsoLocalTime(time); }

std::string CountsJson(const StatusCounts& c) {
  std::string out = "{\"ordersBooked\":" + N(c.ordersBooked) + ",\"linesRefused\":" + N(c.linesRefused) +
                    ",\"settlements\":" + N(c.settlements) + ",\"receiptsUnsigned\":" + N(c.receiptsUnsigned) +
                    ",\"tseTimeouts\":" + N(c.tseTimeouts) + ",\"printFailures\":" + N(c.printFailures) +
                    ",\"requests\":{";
  bool first = true;
  for (const auto& [kind, n] : c.requests) {
    out += (first ? "" : ",") + J(kind) + ":" + N(n);
    first = false;
  }
  return out + "}}";
}

std::string CountsHtml(const StatusCounts& c) {
  std::string out = "<section id=\"heute\"><h2>Heute</h2><dl>";
  auto row = [&out](const char* label, int64_t n) {
    out += std::string("<dt>") + label + "</dt><dd>" + N(n) + "</dd>";
  };
  row("Bestellungen gebucht", c.ordersBooked);
  row("Bestellzeilen abgelehnt", c.linesRefused);
  row("Tische abgerechnet", c.settlements);
  int64_t requests = 0;
  for (const auto& [kind, n] : c.requests) requests += n;
  row("Anfragen der Terminals", requests);
  row("Belege ohne Signatur", c.receiptsUnsigned);
  row("TSE-Zeitüberschreitungen", c.tseTimeouts);
  row("Fehlgeschlagene Ausdrucke", c.printFailures);
  return out + "</dl><p class=\"muted\">Seit Mitternacht, oder seit dem Start, wenn er heute war.</p></section>";
}

std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
    pos = end + 1;
  }
  return out;
}

std::string KindClass(platform::MsgKind kind) {
  switch (kind) {
    case platform::MsgKind::Critical: return "crit";
    case platform::MsgKind::Exclamation: return "warn";
    default: return "info";
  }
}

const char* kCss =
    "*{box-sizing:border-box}body{font-family:system-ui,-apple-system,\"Segoe UI\",\"DejaVu Sans\",sans-serif;"
    "margin:0;background:#f3f3f0;color:#1b1b1b;font-size:15px}"
    "header{background:#23395b;color:#fff;padding:.6em 1em}header h1{font-size:1.2em;margin:0}"
    "header .sub{font-size:.85em;opacity:.9;margin-top:.2em}"
    "main{padding:.5em 1em 2em;max-width:1400px}"
    "section{background:#fff;border:1px solid #ddd;border-radius:6px;margin:.8em 0;padding:.6em .9em}"
    "h2{font-size:1.05em;margin:.1em 0 .5em}"
    ".banner{padding:.6em .9em;border-radius:6px;margin:.8em 0;font-weight:bold}"
    ".banner.bad{background:#b3261e;color:#fff}.banner.stale{background:#f0c000;color:#222}"
    ".alert{border-left:6px solid #888;background:#fafafa;padding:.4em .6em;margin:.5em 0;display:flex;"
    "flex-wrap:wrap;gap:.5em;align-items:flex-start}"
    ".alert.crit{border-color:#b3261e;background:#fdecea}.alert.warn{border-color:#e0a000;background:#fff7e0}"
    ".alert.info{border-color:#2a6fb0;background:#eaf2fb}"
    ".alert .body{flex:1 1 20em;min-width:0}.alert .meta{font-size:.85em;color:#444}"
    ".alert pre{white-space:pre-wrap;word-break:break-word;margin:.2em 0;font-family:inherit}"
    "button{font-size:1em;padding:.35em .9em;border-radius:4px;border:1px solid #555;background:#fff;cursor:pointer}"
    ".ok{color:#1e7b34;font-weight:600}.bad{color:#b3261e;font-weight:600}"
    ".muted{color:#777}.grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(17em,1fr));gap:.6em}"
    ".card{border:1px solid #e3e3e3;border-radius:5px;padding:.4em .6em}.card h3{font-size:1em;margin:.1em 0 .3em}"
    ".card h3.channel{font-family:monospace;font-weight:600;word-break:break-all}"
    "dl{display:grid;grid-template-columns:max-content 1fr;gap:.15em .8em;margin:0}dt{color:#555}dd{margin:0;"
    "word-break:break-word}"
    ".receipts{display:flex;flex-wrap:wrap;gap:1em;align-items:flex-start}"
    "figure{margin:0;max-width:100%;overflow-x:auto}figcaption{font-size:.8em;color:#444;margin-bottom:.3em;"
    "max-width:30em}"
    "pre.log{white-space:pre-wrap;word-break:break-word;font-size:.85em;max-height:30em;overflow-y:auto;margin:0}"
    ".storedqr{font-size:11px;color:#555;margin-top:.4em;max-width:20em}"
    "@media (max-width:600px){body{font-size:14px}main{padding:.3em .4em}section{padding:.5em}}";

std::string AlertsHtml(const StatusView& v) {
  std::vector<const Alert*> open;
  for (const Alert& a : v.alerts) {
    if (!a.acknowledged) open.push_back(&a);
  }
  std::string out = "<section id=\"meldungen\"><h2>Meldungen (" + N(static_cast<int64_t>(open.size())) + " offen)</h2>";
  if (open.empty()) {
    out += "<p class=\"muted\">Keine offenen Meldungen.</p>";
  } else {
    if (open.size() > 1) {
      out += "<form method=\"post\" action=\"/meldungen/quittieren\"><button type=\"submit\">Alle " +
             N(static_cast<int64_t>(open.size())) + " Meldungen quittieren</button></form>";
    }
    for (const Alert* a : open) {
      out += "<div class=\"alert " + KindClass(a->kind) + "\" id=\"meldung-" + N(a->id) + "\"><div class=\"body\">";
      out += "<div class=\"meta\">" + H(a->firstTime) + " &middot; " + H(platform::MsgKindName(a->kind)) +
             " &middot; " + H(a->title);
      if (a->count > 1) out += " &middot; " + N(a->count) + "-mal, zuletzt " + H(a->lastTime);
      out += "</div><pre>" + H(a->text) + "</pre></div>";
      out += "<form method=\"post\" action=\"" + AcknowledgePath(a->id) +
             "\"><button type=\"submit\">Quittieren</button></form></div>";
    }
  }
  if (v.droppedAlerts > 0) {
    out += "<p class=\"muted\">" + N(v.droppedAlerts) + " ältere Meldungen wurden verworfen.</p>";
  }
  return out + "</section>";
}

std::string TseHtml(const TseStatus& t) {
  std::string out = "<section id=\"tse\"><h2>TSE</h2><dl>";
  out += "<dt>TSE in Verwendung</dt><dd>" + std::string(t.inUse ? "ja" : "nein") + "</dd>";
  out += "<dt>TSE bereit</dt><dd>" +
         std::string(t.ready ? "<span class=\"ok\">ja</span>" : "<span class=\"bad\">nein</span>") + "</dd>";
  if (!t.serial.empty()) {
    out += "<dt>Seriennummer</dt><dd>" + H(t.serial) +
           (t.simulator ? " <span class=\"bad\">TSE-Simulator, keine gültige TSE</span>" : "") + "</dd>";
  }
  out += "<dt>Letzte Transaktion</dt><dd>";
  if (t.last.time.empty()) {
    out += "<span class=\"muted\">noch keine</span>";
  } else {
    // A start the TSE never answered has no transaction number to show.
    out += H(t.last.operation) +
           (t.last.transactionNumber >= 0 ? " Nr. " + N(t.last.transactionNumber) : std::string(" ohne Nummer"));
    if (!t.last.processType.empty()) out += " (" + H(t.last.processType) + ")";
    out += ", " + H(t.last.time) + ", ";
    if (!t.last.ok) {
      out += "<span class=\"bad\">fehlgeschlagen</span>";
    } else if (t.last.operation == "Abschluss") {
      out += "<span class=\"ok\">signiert</span>, Signaturzähler " + N(t.last.signatureCounter);
    } else {
      out += "<span class=\"ok\">gestartet</span>";
    }
  }
  out += "</dd><dt>Letzte Zeitüberschreitung</dt><dd>" +
         (t.lastTimeout.empty() ? std::string("<span class=\"muted\">keine</span>") : H(t.lastTimeout)) + "</dd>";
  out += "<dt>Zeitüberschreitungen seit Start</dt><dd>" + N(t.timeouts) + "</dd>";
  out += "<dt>Abfragen der Antworttabelle</dt><dd>" + N(t.answerQueries) + "</dd>";
  return out + "</dl></section>";
}

std::string PrintersHtml(const StatusSnapshot& s) {
  std::string out = "<section id=\"drucker\"><h2>Drucker</h2>";
  if (s.printers.empty()) {
    out += "<p class=\"muted\">Seit dem Start wurde nichts gedruckt.</p>";
  } else {
    out += "<div class=\"grid\">";
    for (const ChannelOutcome& c : s.printers) {
      out += "<div class=\"card\"><h3 class=\"channel\">" + H(c.channel) + "</h3><dl>" +
             (c.name.empty() ? std::string() : "<dt>Drucker</dt><dd>" + H(c.name) + "</dd>") +
             "<dt>Letzter Ausdruck</dt><dd>" + H(c.time) + "</dd><dt>Ergebnis</dt><dd>" +
             (c.ok ? std::string("<span class=\"ok\">OK</span>") : "<span class=\"bad\">FEHLER</span> " + H(c.error)) +
             "</dd><dt>Ausdrucke</dt><dd>" + N(c.printouts) +
             (c.failures > 0 ? ", davon " + N(c.failures) + " fehlgeschlagen" : std::string()) + "</dd></dl></div>";
    }
    out += "</div>";
  }
  if (!s.printStatus.empty())
    out += "<p class=\"muted\">Letzte Statuszeile des Druckfensters: " + H(s.printStatus) + "</p>";
  return out + "</section>";
}

std::string TerminalsHtml(const StatusSnapshot& s) {
  std::string out = "<section id=\"terminals\"><h2>Orderterminals</h2><div class=\"grid\">";
  std::string unused;
  for (const SlotStatus& t : s.slots) {
    if (!t.inUse) {
      unused += (unused.empty() ? "" : ", ") + N(t.number);
      continue;
    }
    out += "<div class=\"card\" id=\"terminal-" + N(t.number) + "\"><h3>Terminal " + N(t.number) + "</h3><dl>";
    out += "<dt>Ordner</dt><dd>" + H(t.folder) + "</dd>";
    out += "<dt>Belegdrucker</dt><dd>" + (t.printer.empty() ? std::string("Bondrucker der Kasse") : H(t.printer)) +
           "</dd>";
    auto row = [&out](const char* label, const std::string& value) {
      out += std::string("<dt>") + label + "</dt><dd>" +
             (value.empty() ? std::string("<span class=\"muted\">&ndash;</span>") : H(value)) + "</dd>";
    };
    row("Letzte Bestellung", t.lastOrder);
    row("Letzte Anfrage", t.lastRequest);
    row("Letzte Antwort", t.lastAnswer);
    row("Zeit", t.lastTime);
    std::string pending;
    for (const std::string& f : t.pendingFiles) pending += (pending.empty() ? "" : ", ") + f;
    row("Wartende Dateien", pending);
    out += "</dl></div>";
  }
  out += "</div>";
  if (!unused.empty()) out += "<p class=\"muted\">Nicht eingerichtet: Terminal " + unused + "</p>";
  return out + "</section>";
}

std::string ReceiptsHtml(const char* id, const std::string& title,
                         const std::vector<std::shared_ptr<const PrintoutRecord>>& records) {
  std::string out = std::string("<section id=\"") + id + "\"><h2>" + H(title) + "</h2>";
  if (records.empty()) return out + "<p class=\"muted\">Noch keine.</p></section>";
  out += "<div class=\"receipts\">";
  for (const auto& r : records) {
    out += "<figure><figcaption>";
    out += H(PrintoutKindName(r->kind));
    if (r->bunr > 0) out += " " + N(r->bunr);
    if (!r->time.empty()) out += " &middot; " + H(r->time);
    out += " &middot; " + H(r->source);
    for (const PrintDelivery& d : r->deliveries) {
      out += "<br>" + H(d.channel) + ": " +
             (d.ok ? std::string("<span class=\"ok\">OK</span>") : "<span class=\"bad\">FEHLER</span> " + H(d.error));
    }
    const bool receipt = r->kind == PrintoutKind::CustomerReceipt && r->bunr > 0;
    if (receipt || (r->kind == PrintoutKind::KitchenReceipt && r->kuebonnr > 0)) {
      out += "<form method=\"post\" action=\"" +
             (receipt ? "/reprint/receipt/" + N(r->bunr) : "/reprint/kitchen/" + N(r->kuebonnr)) +
             "\"><button type=\"submit\">Nachdrucken</button></form>";
    }
    out += "</figcaption>" + r->html + "</figure>";
  }
  return out + "</div></section>";
}

std::string ReceiptsJson(const std::vector<std::shared_ptr<const PrintoutRecord>>& records) {
  std::string out = "[";
  for (size_t i = 0; i < records.size(); ++i) {
    const PrintoutRecord& r = *records[i];
    if (i) out += ",";
    out += "{\"id\":" + N(r.id) + ",\"kind\":" + J(PrintoutKindName(r.kind)) + ",\"time\":" + J(T(r.time)) +
           ",\"receiptNumber\":" + N(r.bunr) + ",\"source\":" + J(r.source) + ",\"deliveries\":[";
    for (size_t k = 0; k < r.deliveries.size(); ++k) {
      const PrintDelivery& d = r.deliveries[k];
      out += (k ? "," : "") + std::string("{\"channel\":") + J(d.channel) + ",\"ok\":" + B(d.ok) +
             ",\"error\":" + J(d.error) + "}";
    }
    out += "],\"lines\":[";
    for (size_t k = 0; k < r.text.size(); ++k) out += (k ? "," : "") + J(r.text[k]);
    out += "]}";
  }
  return out + "]";
}

}  // namespace

namespace {

// The kitchen lines waiting for their printer, each table with its two buttons.
std::string KitchenWaitsHtml(const StatusSnapshot& s) {
  if (s.kitchenWaits.empty()) return "";
  std::string out =
      "<section id=\"kueche\"><h2>Küchenbons warten auf ihren Drucker</h2><table><tr><th>Drucker</th><th>Tisch</th>"
      "<th>Kellner</th><th>Positionen</th><th>wartet seit</th><th></th></tr>";
  for (const gateway::KitchenWait& w : s.kitchenWaits) {
    const std::string where = std::to_string(w.printer) + "/" + std::to_string(w.table);
    out += "<tr><td>" + H(w.printerName) + " (" + N(w.printer) + ")</td><td>" + N(w.table) + "</td><td>" + H(w.waiter) +
           "</td><td>" + H(w.lines) + "</td><td>" + N(w.waitedMs / 60000) + " min" +
           (w.stale ? " &ndash; nicht mehr von selbst" : "") + "</td><td>";
    out += "<form method=\"post\" action=\"/kitchen/print/" + where +
           "\"><button type=\"submit\">Jetzt drucken</button></form>";
    out += "<form method=\"post\" action=\"/kitchen/drop/" + where +
           "\"><button type=\"submit\">Verwerfen</button></form></td></tr>";
  }
  return out +
         "</table><p class=\"muted\">Der Drucker wird alle 15 s erneut versucht; sobald er druckt, kommen die "
         "Positionen mit &bdquo;NACHTRAG &ndash; bestellt um&ldquo; und ihrer Bestellzeit. Was länger wartet als "
         "TOLVEN.INI [KUECHE] NACHDRUCK_MINUTEN, druckt nicht mehr von selbst: hier drucken oder verwerfen "
         "(verworfen heißt: als gedruckt markiert). [KUECHE] ERSATZn nennt einen Ersatzdrucker.</p></section>";
}

}  // namespace

std::string AcknowledgePath(int64_t id) { return "/meldungen/" + std::to_string(id) + "/quittieren"; }

std::string RenderStatusPage(const StatusView& v) {
  const StatusSnapshot& s = v.snapshot;
  std::string out =
      "<!DOCTYPE html><html lang=\"de\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"" +
      std::to_string(kRefreshSeconds) +
      "\">"
      "<title>Orderterminal-Gateway &ndash; Status</title><style>" +
      std::string(kCss) + PaperCss() + "</style></head><body><header><h1>Orderterminal-Gateway</h1><div class=\"sub\">";
  if (s.sequence == 0) {
    out += "Das Gateway startet, noch keine Daten.";
  } else {
    out += "Version " + H(s.version) + " &middot; Filiale " + N(s.filiale) + " / Kasse " + N(s.kasse) +
           " &middot; Datenbank " + H(s.engine) + " &middot; gestartet " + H(s.startedAt) + " &middot; Stand " +
           H(s.collectedAt);
  }
  out += "</div></header><main>";
  if (s.sequence != 0 && v.ageMs >= kStaleMs) {
    out += "<div class=\"banner stale\">Seit " + N(v.ageMs / 1000) +
           " s keine Aktualisierung: das Gateway wartet gerade (z. B. auf den TSE-Server oder einen Drucker) "
           "oder hängt.</div>";
  }
  if (s.tse.inUse && !s.tse.ready) {
    out +=
        "<div class=\"banner bad\">TSE nicht bereit: Belege und Bestellungen werden ohne Signatur gespeichert."
        "</div>";
  }
  if (s.tse.simulator) {
    out += "<div class=\"banner bad\" id=\"tse-simulator\">" + H(SimulatorAlertText(s.tse.serial)) + "</div>";
  }
  if (s.sequence != 0 && !s.database.ok) {
    out += "<div class=\"banner bad\">Letzte Datenbankanweisung fehlgeschlagen: " + H(s.database.error) + "</div>";
  }
  out +=
      AlertsHtml(v) + KitchenWaitsHtml(s) + CountsHtml(s.today) + TseHtml(s.tse) + PrintersHtml(s) + TerminalsHtml(s);
  out += ReceiptsHtml("belege", "Letzte Kundenbelege", s.receipts);
  out += ReceiptsHtml("kuechenbons", "Letzte Küchenbons", s.kitchenReceipts);
  out += "<section id=\"protokoll\"><h2>Protokoll (neueste Zeile oben)</h2><pre class=\"log\">";
  std::vector<std::string> lines = LogLines(s.log);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) out += H(*it) + "\n";
  out +=
      "</pre></section><p class=\"muted\">Dieselben Daten für Überwachungsprogramme: "
      "<a href=\"/status.json\">/status.json</a></p></main></body></html>";
  return Cp1252ToUtf8(out);
}

std::string RenderStatusJson(const StatusView& v) {
  const StatusSnapshot& s = v.snapshot;
  size_t open = 0;
  for (const Alert& a : v.alerts) open += a.acknowledged ? 0 : 1;
  std::string out =
      "{\"version\":" + J(s.version) + ",\"branch\":" + N(s.filiale) + ",\"station\":" + N(s.kasse) +
      ",\"engine\":" + J(s.engine) + ",\"started\":" + J(T(s.startedAt)) + ",\"updated\":" + J(T(s.collectedAt)) +
      ",\"updatedMsAgo\":" + N(v.ageMs) + ",\"sequence\":" + N(static_cast<int64_t>(s.sequence)) +
      ",\"openAlerts\":" + N(static_cast<int64_t>(open)) + ",\"droppedAlerts\":" + N(v.droppedAlerts) + ",\"alerts\":[";
  for (size_t i = 0; i < v.alerts.size(); ++i) {
    const Alert& a = v.alerts[i];
    out += (i ? "," : "") + std::string("{\"id\":") + N(a.id) + ",\"kind\":" + J(platform::MsgKindName(a.kind)) +
           ",\"title\":" + J(a.title) + ",\"text\":" + J(a.text) + ",\"first\":" + J(T(a.firstTime)) +
           ",\"last\":" + J(T(a.lastTime)) + ",\"count\":" + N(a.count) + ",\"acknowledged\":" + B(a.acknowledged) +
           ",\"acknowledgedAt\":" + J(T(a.acknowledgedTime)) + ",\"acknowledgedBy\":" + J(a.acknowledgedBy) + "}";
  }
  out += "],\"terminals\":[";
  for (size_t i = 0; i < s.slots.size(); ++i) {
    const SlotStatus& t = s.slots[i];
    out += (i ? "," : "") + std::string("{\"slot\":") + N(t.number) + ",\"inUse\":" + B(t.inUse) +
           ",\"folder\":" + J(t.folder) + ",\"printer\":" + J(t.printer) + ",\"lastOrder\":" + J(t.lastOrder) +
           ",\"lastRequest\":" + J(t.lastRequest) + ",\"lastAnswer\":" + J(t.lastAnswer) +
           ",\"lastTime\":" + J(t.lastTime) + ",\"pendingFiles\":[";
    for (size_t k = 0; k < t.pendingFiles.size(); ++k) out += (k ? "," : "") + J(t.pendingFiles[k]);
    out += "]}";
  }
  const TseStatus& t = s.tse;
  out += "],\"tse\":{\"inUse\":" + B(t.inUse) + ",\"ready\":" + B(t.ready) +
         ",\"lastOperation\":" + J(t.last.operation) + ",\"lastTransaction\":" + N(t.last.transactionNumber) +
         ",\"lastProcessType\":" + J(t.last.processType) + ",\"lastOk\":" + B(t.last.ok) +
         ",\"lastSignatureCounter\":" + N(t.last.signatureCounter) + ",\"lastTime\":" + J(T(t.last.time)) +
         ",\"lastTimeout\":" + J(T(t.lastTimeout)) + ",\"timeouts\":" + N(t.timeouts) +
         ",\"answerQueries\":" + N(t.answerQueries) + ",\"serial\":" + J(t.serial) +
         ",\"simulator\":" + B(t.simulator) + "},\"printers\":[";
  for (size_t i = 0; i < s.printers.size(); ++i) {
    const ChannelOutcome& c = s.printers[i];
    out += (i ? "," : "") + std::string("{\"channel\":") + J(c.channel) + ",\"name\":" + J(c.name) +
           ",\"time\":" + J(T(c.time)) + ",\"ok\":" + B(c.ok) + ",\"error\":" + J(c.error) +
           ",\"printouts\":" + N(c.printouts) + ",\"failures\":" + N(c.failures) + "}";
  }
  out += "],\"printStatus\":" + J(s.printStatus) + ",\"today\":" + CountsJson(s.today) +
         ",\"sinceStart\":" + CountsJson(s.total) + ",\"database\":{\"ok\":" + B(s.database.ok) +
         ",\"error\":" + J(s.database.error) + "}" + ",\"receipts\":" + ReceiptsJson(s.receipts) +
         ",\"kitchenReceipts\":" + ReceiptsJson(s.kitchenReceipts) + ",\"log\":[";
  std::vector<std::string> lines = LogLines(s.log);
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "," : "") + J(lines[i]);
  out += "]}";
  return Cp1252ToUtf8(out);
}

namespace {

// A label value: backslash, double quote and line feed escaped.
std::string Label(const std::string& cp1252) {
  std::string out;
  for (char c : Cp1252ToUtf8(cp1252)) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, int64_t value) { out += name + " " + N(value) + "\n"; }

std::string Seconds(int64_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(ms) / 1000.0);
  return buf;
}

}  // namespace

std::string RenderMetrics(const StatusView& v) {
  const StatusSnapshot& s = v.snapshot;
  const StatusCounts& c = s.total;
  std::string out;
  Family(out, "tolvenpda_orders_booked_total", "counter", "Order files booked.");
  Sample(out, "tolvenpda_orders_booked_total", c.ordersBooked);
  Family(out, "tolvenpda_order_lines_refused_total", "counter", "Order lines refused and answered as errors.");
  Sample(out, "tolvenpda_order_lines_refused_total", c.linesRefused);
  Family(out, "tolvenpda_requests_total", "counter", "Terminal requests by kind.");
  for (const auto& [kind, n] : c.requests) Sample(out, "tolvenpda_requests_total{kind=\"" + Label(kind) + "\"}", n);
  Family(out, "tolvenpda_settlements_total", "counter", "Tables settled.");
  Sample(out, "tolvenpda_settlements_total", c.settlements);
  Family(out, "tolvenpda_receipts_unsigned_total", "counter", "Customer receipts stored without a TSE signature.");
  Sample(out, "tolvenpda_receipts_unsigned_total", c.receiptsUnsigned);
  Family(out, "tolvenpda_tse_timeouts_total", "counter", "Calls the TSE server did not answer in time.");
  Sample(out, "tolvenpda_tse_timeouts_total", c.tseTimeouts);
  Family(out, "tolvenpda_print_failures_total", "counter", "Failed printouts by channel.");
  for (const ChannelOutcome& p : s.printers) {
    Sample(out, "tolvenpda_print_failures_total{channel=\"" + Label(p.channel) + "\"}", p.failures);
  }
  Family(out, "tolvenpda_database_errors_total", "counter", "Database statements that failed.");
  Sample(out, "tolvenpda_database_errors_total", s.database.failures);
  Family(out, "tolvenpda_poll_pass_duration_seconds", "histogram", "Duration of a pass over the terminal slots.");
  int64_t cumulative = 0;
  for (size_t i = 0; i < kPassBucketsMs.size(); ++i) {
    cumulative += s.passes.buckets[i];
    out += "tolvenpda_poll_pass_duration_seconds_bucket{le=\"" + Seconds(kPassBucketsMs[i]) + "\"} " + N(cumulative) +
           "\n";
  }
  out += "tolvenpda_poll_pass_duration_seconds_bucket{le=\"+Inf\"} " + N(s.passes.count) + "\n";
  out += "tolvenpda_poll_pass_duration_seconds_sum " + Seconds(s.passes.sumMs) + "\n";
  Sample(out, "tolvenpda_poll_pass_duration_seconds_count", s.passes.count);
  Family(out, "tolvenpda_tse_ready", "gauge", "1 when the TSE is ready or not in use.");
  Sample(out, "tolvenpda_tse_ready", !s.tse.inUse || s.tse.ready ? 1 : 0);
  Family(out, "tolvenpda_tse_simulator", "gauge",
         "1 when the last signature came from the TSE server stand-in: receipts signed so are not valid.");
  Sample(out, "tolvenpda_tse_simulator", s.tse.simulator ? 1 : 0);
  Family(out, "tolvenpda_report_age_seconds", "gauge", "Age of the processing thread's latest report.");
  out += "tolvenpda_report_age_seconds " + Seconds(v.ageMs) + "\n";
  Family(out, "tolvenpda_kitchen_lines_waiting", "gauge", "Kitchen lines waiting for their printer.");
  int64_t waiting = 0, oldestMs = 0;
  for (const gateway::KitchenWait& w : s.kitchenWaits) {
    waiting += w.lineCount;
    oldestMs = std::max(oldestMs, w.waitedMs);
  }
  Sample(out, "tolvenpda_kitchen_lines_waiting", waiting);
  Family(out, "tolvenpda_kitchen_oldest_wait_seconds", "gauge", "How long the oldest waiting kitchen line has waited.");
  out += "tolvenpda_kitchen_oldest_wait_seconds " + Seconds(oldestMs) + "\n";
  Family(out, "tolvenpda_open_alerts", "gauge", "Alerts not yet acknowledged.");
  int64_t open = 0;
  for (const Alert& a : v.alerts) open += a.acknowledged ? 0 : 1;
  Sample(out, "tolvenpda_open_alerts", open);
  return out;
}

bool Healthy(const StatusView& v, bool haveSnapshot, std::vector<std::string>& reasons) {
  const StatusSnapshot& s = v.snapshot;
  if (!haveSnapshot) {
    reasons.push_back("Das Gateway startet, noch keine Meldung der Abfrageschleife.");
    return false;
  }
  if (v.ageMs >= kStaleMs) {
    reasons.push_back("Seit " + N(v.ageMs / 1000) + " s keine Meldung der Abfrageschleife.");
  }
  if (!s.database.ok) {
    reasons.push_back(Cp1252ToUtf8("Letzte Datenbankanweisung fehlgeschlagen: " + s.database.error));
  }
  if (s.tse.inUse && !s.tse.ready) {
    reasons.push_back(Cp1252ToUtf8("TSE nicht bereit: Belege werden ohne Signatur gespeichert."));
  }
  // One line per printer whose kitchen lines have waited too long, naming the tables.
  std::map<int, std::pair<std::string, std::string>> late;  // printer: name, tables
  std::map<int, int64_t> longest;
  for (const gateway::KitchenWait& w : s.kitchenWaits) {
    if (w.waitedMs <= kKitchenWaitMs) continue;
    auto& [name, tables] = late[w.printer];
    name = w.printerName;
    tables += (tables.empty() ? "" : ", ") + std::to_string(w.table);
    longest[w.printer] = std::max(longest[w.printer], w.waitedMs);
  }
  for (const auto& [printer, what] : late) {
    reasons.push_back(Cp1252ToUtf8("Küchendrucker " + what.first + " (" + std::to_string(printer) +
                                   "): Positionen warten seit " + std::to_string(longest[printer] / 1000) +
                                   " s, Tisch " + what.second));
  }
  return reasons.empty();
}

}  // namespace tolven::status
