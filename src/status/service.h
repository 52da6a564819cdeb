// The status page's addresses: the page, its JSON twin, acknowledging alerts,
// and for monitoring programs /healthz and /metrics. Runs on the web server's threads and touches nothing but the
// published snapshot and the alert log.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/http_server.h"
#include "status/alerts.h"
#include "status/reprints.h"
#include "status/snapshot.h"

namespace tolven::status {

// TOLVEN.INI section "STATUS": PORT (the page is off when it is empty or 0),
// BIND (the address to listen on, default 127.0.0.1), ALLOW (addresses or
// prefixes besides loopback that may see the page, separated by blanks, commas
// or semicolons).
struct StatusConfig {
  int port = 0;
  std::string bind = "127.0.0.1";
  std::vector<std::string> allowed;
  // What was wrong with the settings, one text each, for the log; an invalid
  // PORT leaves the page off, an invalid ALLOW entry is left out.
  std::vector<std::string> errors;
  bool enabled() const { return port > 0; }
};

StatusConfig ParseStatusConfig(const std::string& port, const std::string& bind, const std::string& allow);

class StatusService {
 public:
  // `env` gives the monotonic clock for the age of the snapshot; it must be
  // callable from any thread (the real one is).
  // `reprints` (may be null: no reprints) takes the page's reprint requests.
  StatusService(StatusBoard& board, AlertLog& alerts, platform::Env& env, ReprintQueue* reprints = nullptr)
      : board_(board), alerts_(alerts), env_(env), reprints_(reprints) {}

  platform::HttpResponse Handle(const platform::HttpRequest& request);

  // A processing thread that has not reported for kStaleMs cannot raise an
  // alert itself, so the page's threads do: once per stall, on every request
  // and from WatchLoop. Safe from any thread.
  void CheckLoop();
  // Checks every `intervalMs` on a thread of its own, so a stall is in the
  // alert log even when nobody looked at the page meanwhile. Stopped when the
  // service goes.
  void WatchLoop(int intervalMs = 1000);

 private:
  platform::HttpResponse Page(bool json);
  // 200 "OK" or 503 with the reasons, one a line.
  platform::HttpResponse Health();
  platform::HttpResponse Metrics();
  platform::HttpResponse Acknowledge(const platform::HttpRequest& request, const std::string& what);
  platform::HttpResponse Reprint(const platform::HttpRequest& request, ReprintRequest::Kind kind,
                                 const std::string& number);
  // Kitchen lines waiting for their printer: "<printer>/<table>" printed now or dropped.
  platform::HttpResponse Waiting(const platform::HttpRequest& request, ReprintRequest::Kind kind,
                                 const std::string& rest);
  // The latest snapshot (an empty one before the first) with the alerts, as
  // the renderers take it; the renderer learns whether there was a snapshot.
  template <typename Render>
  platform::HttpResponse WithView(bool withAlerts, Render render);

  StatusBoard& board_;
  AlertLog& alerts_;
  platform::Env& env_;
  ReprintQueue* reprints_;
  std::mutex stallMutex_;
  // The snapshot the last stall alert was raised for: a stall is the time
  // between two snapshots, however often it is noticed.
  std::shared_ptr<const StatusSnapshot> stalledAt_;
  std::jthread watch_;  // last: stopped before the members it reads go
};

}  // namespace tolven::status
