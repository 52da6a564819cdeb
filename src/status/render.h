// The status page and its JSON twin, made from one published snapshot and the
// alert log. Both are complete documents in UTF-8 without any external
// resource, so the page works on a POS computer without internet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "status/alerts.h"
#include "status/snapshot.h"

namespace tolven::status {

struct StatusView {
  const StatusSnapshot& snapshot;
  const std::vector<Alert>& alerts;  // newest first, acknowledged ones included
  int64_t droppedAlerts = 0;
  // How long ago the snapshot was collected: a gateway busy in a long wait (a
  // TSE server or a printer) publishes nothing meanwhile, and the page says so.
  int64_t ageMs = 0;
};

// The page refreshes itself every kRefreshSeconds.
inline constexpr int kRefreshSeconds = 10;
// From this age on the page warns that the gateway has not reported for a while.
inline constexpr int64_t kStaleMs = 5000;
// A kitchen line that waited longer for its printer makes /healthz fail.
inline constexpr int64_t kKitchenWaitMs = 10000;

std::string RenderStatusPage(const StatusView& view);
std::string RenderStatusJson(const StatusView& view);
// The counters in the Prometheus text format (version 0.0.4).
std::string RenderMetrics(const StatusView& view);

// Whether the gateway does its work: the processing thread reported within
// kStaleMs, its last database statement succeeded and the TSE (when in use)
// is ready. `reasons` says what is wrong, one text each (UTF-8).
bool Healthy(const StatusView& view, bool haveSnapshot, std::vector<std::string>& reasons);

// The form action that acknowledges an alert.
std::string AcknowledgePath(int64_t id);

}  // namespace tolven::status
