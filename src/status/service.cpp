#include "status/service.h"

#include <chrono>
#include <condition_variable>

#include "common/text.h"
#include "status/render.h"

namespace tolven::status {

using platform::HttpRequest;
using platform::HttpResponse;

StatusConfig ParseStatusConfig(const std::string& port, const std::string& bind, const std::string& allow) {
  StatusConfig c;
  const std::string p = TrimBlanks(port);
  if (!p.empty()) {
    std::optional<int32_t> n = StrictWholeNumber(p);
    if (n && *n >= 0 && *n <= 65535) {
      c.port = *n;
    } else {
      c.errors.push_back("[STATUS] PORT=" + p + " ist keine Portnummer (1 bis 65535); die Statusseite bleibt aus.");
    }
  }
  const std::string b = TrimBlanks(bind);
  if (!b.empty()) c.bind = b;
  std::string list = allow;
  for (char& ch : list) {
    if (ch == ',' || ch == ';' || ch == '\t') ch = ' ';
  }
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find(' ', pos);
    if (end == std::string::npos) end = list.size();
    const std::string entry = list.substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty()) continue;
    if (platform::ValidAddressPattern(entry)) {
      c.allowed.push_back(entry);
    } else {
      c.errors.push_back("[STATUS] ALLOW: '" + entry + "' ist keine Adresse und kein Adressbereich; ignoriert.");
    }
  }
  return c;
}

namespace {

HttpResponse Text(int status, const std::string& text) {
  HttpResponse r;
  r.status = status;
  r.body = text + "\n";
  return r;
}

void Secure(HttpResponse& r) {
  r.headers.push_back({"Cache-Control", "no-store"});
  r.headers.push_back({"X-Content-Type-Options", "nosniff"});
  r.headers.push_back({"Referrer-Policy", "no-referrer"});
  // Nothing is loaded from anywhere, no script runs, and the page cannot be
  // framed to trick someone into acknowledging.
  r.headers.push_back({"Content-Security-Policy",
                       "default-src 'none'; style-src 'unsafe-inline'; img-src data:; form-action 'self'; "
                       "frame-ancestors 'none'; base-uri 'none'"});
  r.headers.push_back({"X-Frame-Options", "DENY"});
}

HttpResponse MethodNotAllowed(const std::string& allow) {
  HttpResponse r = Text(405, "Methode nicht erlaubt.");
  r.headers.push_back({"Allow", allow});
  return r;
}

// A form posted from another site (or from a page served elsewhere) carries its
// own origin; only the status page itself may acknowledge.
bool SameOrigin(const HttpRequest& request) {
  const std::string site = request.Header("sec-fetch-site");
  if (!site.empty() && site != "same-origin" && site != "none") return false;
  const std::string origin = request.Header("origin");
  if (origin.empty()) return true;
  return origin == "http://" + request.Header("host");
}

// Back to the page once the request is taken: what came of it stands in the log.
HttpResponse BackToThePage(const std::string& text) {
  HttpResponse r = Text(303, text);
  r.headers.push_back({"Location", "/"});
  Secure(r);
  return r;
}

}  // namespace

template <typename Render>
HttpResponse StatusService::WithView(bool withAlerts, Render render) {
  std::shared_ptr<const StatusSnapshot> snapshot = board_.Latest();
  static const StatusSnapshot kNone;
  const StatusSnapshot& s = snapshot ? *snapshot : kNone;
  std::vector<Alert> alerts = withAlerts ? alerts_.All() : std::vector<Alert>();
  StatusView view{s, alerts, withAlerts ? alerts_.dropped() : 0,
                  snapshot ? env_.MonotonicMs() - s.collectedMonotonicMs : 0};
  return render(view, snapshot != nullptr);
}

HttpResponse StatusService::Page(bool json) {
  return WithView(true, [json](const StatusView& view, bool) {
    HttpResponse r;
    r.contentType = json ? "application/json; charset=utf-8" : "text/html; charset=utf-8";
    r.body = json ? RenderStatusJson(view) : RenderStatusPage(view);
    Secure(r);
    return r;
  });
}

HttpResponse StatusService::Health() {
  return WithView(false, [](const StatusView& view, bool published) {
    std::vector<std::string> reasons;
    HttpResponse r;
    if (Healthy(view, published, reasons)) {
      r.body = "OK\n";
    } else {
      r.status = 503;
      for (const std::string& why : reasons) r.body += why + "\n";
    }
    r.headers.push_back({"Cache-Control", "no-store"});
    return r;
  });
}

HttpResponse StatusService::Metrics() {
  return WithView(true, [](const StatusView& view, bool) {
    HttpResponse r;
    r.contentType = "text/plain; version=0.0.4; charset=utf-8";
    r.body = RenderMetrics(view);
    r.headers.push_back({"Cache-Control", "no-store"});
    return r;
  });
}

HttpResponse StatusService::Acknowledge(const HttpRequest& request, const std::string& what) {
  if (!SameOrigin(request)) return Text(403, "Quittieren nur von der Statusseite aus.");
  const std::string by = request.remoteAddress;
  if (what.empty()) {
    alerts_.AcknowledgeAll(by);
  } else {
    std::optional<int32_t> id = StrictWholeNumber(what);
    if (!id || *id <= 0 || what.find_first_not_of("0123456789") != std::string::npos) {
      return Text(404, "Keine solche Meldung.");
    }
    bool known = alerts_.Acknowledge(*id, by);
    if (!known) {
      // A second click on an alert already acknowledged is no error.
      bool exists = false;
      for (const Alert& a : alerts_.All()) exists = exists || a.id == *id;
      if (!exists) return Text(404, "Keine solche Meldung.");
    }
  }
  return BackToThePage("Quittiert.");
}

HttpResponse StatusService::Reprint(const HttpRequest& request, ReprintRequest::Kind kind, const std::string& number) {
  if (request.method != "POST") return MethodNotAllowed("POST");
  if (!SameOrigin(request)) return Text(403, "Nachdruck nur von der Statusseite aus.");
  const std::optional<int32_t> n = StrictWholeNumber(number);
  if (!n || *n <= 0 || number.find_first_not_of("0123456789") != std::string::npos) {
    return Text(404, "Keine solche Nummer.");
  }
  if (!reprints_->Add({kind, *n, request.remoteAddress})) return Text(503, "Zu viele Nachdrucke warten.");
  return BackToThePage("Nachdruck angefordert.");
}

HttpResponse StatusService::Waiting(const HttpRequest& request, ReprintRequest::Kind kind, const std::string& rest) {
  if (request.method != "POST") return MethodNotAllowed("POST");
  if (!SameOrigin(request)) return Text(403, "Nur von der Statusseite aus.");
  // "<printer>/<table>"
  const size_t slash = rest.find('/');
  const std::string printer = rest.substr(0, slash), table = slash == std::string::npos ? "" : rest.substr(slash + 1);
  const std::optional<int32_t> p = StrictWholeNumber(printer), t = StrictWholeNumber(table);
  if (!p || !t || *p <= 0 || *t < 0 || (printer + table).find_first_not_of("0123456789") != std::string::npos) {
    return Text(404, "Keine solchen Positionen.");
  }
  if (!reprints_->Add({kind, *t, request.remoteAddress, *p})) return Text(503, "Zu viele Aufträge warten.");
  return BackToThePage(kind == ReprintRequest::Kind::WaitingPrint ? "Druck angefordert." : "Verwerfen angefordert.");
}

void StatusService::CheckLoop() {
  std::shared_ptr<const StatusSnapshot> s = board_.Latest();
  if (!s) return;  // still starting; /healthz says so
  const int64_t age = env_.MonotonicMs() - s->collectedMonotonicMs;
  if (age < kStaleMs) return;
  {
    std::lock_guard<std::mutex> lock(stallMutex_);
    if (stalledAt_ == s) return;
    stalledAt_ = s;
  }
  alerts_.Add(platform::MsgKind::Critical, platform::kAppTitle,
              "Gateway reagiert seit " + std::to_string(age / 1000) + " s nicht: keine Meldung der Abfrageschleife.");
}

void StatusService::WatchLoop(int intervalMs) {
  watch_ = std::jthread([this, intervalMs](std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any wake;
    std::unique_lock<std::mutex> lock(m);
    while (!wake.wait_for(lock, stop, std::chrono::milliseconds(intervalMs), [] { return false; }) &&
           !stop.stop_requested()) {
      CheckLoop();
    }
  });
}

HttpResponse StatusService::Handle(const HttpRequest& request) {
  CheckLoop();
  const std::string& path = request.path;
  const bool read = request.method == "GET" || request.method == "HEAD";
  if (path == "/" || path == "/index.html" || path == "/status.json") {
    if (!read) return MethodNotAllowed("GET, HEAD");
    return Page(path == "/status.json");
  }
  if (path == "/healthz" || path == "/metrics") {
    if (!read) return MethodNotAllowed("GET, HEAD");
    return path == "/healthz" ? Health() : Metrics();
  }
  if (path == "/favicon.ico") {
    HttpResponse none;
    none.status = 204;
    return none;
  }
  for (const auto& [route, kind] : {std::pair{"/kitchen/print/", ReprintRequest::Kind::WaitingPrint},
                                    std::pair{"/kitchen/drop/", ReprintRequest::Kind::WaitingDrop}}) {
    if (reprints_ && StartsWith(path, route)) return Waiting(request, kind, path.substr(std::string(route).size()));
  }
  for (const auto& [route, kind] : {std::pair{"/reprint/receipt/", ReprintRequest::Kind::Receipt},
                                    std::pair{"/reprint/kitchen/", ReprintRequest::Kind::Kitchen}}) {
    if (reprints_ && StartsWith(path, route)) return Reprint(request, kind, path.substr(std::string(route).size()));
  }
  const std::string prefix = "/meldungen/";
  const std::string suffix = "quittieren";
  if (StartsWith(path, prefix) && EndsWith(path, suffix)) {
    std::string middle = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (middle.empty() || (middle.back() == '/' && middle.find('/') == middle.size() - 1)) {
      if (!middle.empty()) middle.pop_back();
      if (request.method != "POST") return MethodNotAllowed("POST");
      return Acknowledge(request, middle);
    }
  }
  return Text(404, "Nicht gefunden.");
}

}  // namespace tolven::status
