#include "status/alerts.h"

#include <algorithm>

#include "common/datetime.h"

namespace tolven::status {

AlertLog::AlertLog(platform::Env& env, size_t capacity) : env_(env), capacity_(capacity < 1 ? 1 : capacity) {}

std::string AlertLog::NowText() {
  DateTime now = env_.Now();
  return FormatDMY(now.date) + " " + FormatHMS(now);
}

int64_t AlertLog::Add(platform::MsgKind kind, const std::string& title, const std::string& text) {
  std::string body = text;
  if (body.size() > kMaxText) body = body.substr(0, kMaxText) + " [...]";
  const std::string now = NowText();
  std::lock_guard<std::mutex> lock(mutex_);
  ++generation_;
  for (Alert& a : alerts_) {
    if (!a.acknowledged && a.kind == kind && a.title == title && a.text == body) {
      ++a.count;
      a.lastTime = now;
      a.order = nextOrder_++;
      return a.id;
    }
  }
  MakeRoom();
  Alert a;
  a.id = nextId_++;
  a.kind = kind;
  a.title = title;
  a.text = body;
  a.firstTime = now;
  a.lastTime = now;
  a.order = nextOrder_++;
  alerts_.push_back(a);
  return a.id;
}

void AlertLog::MakeRoom() {
  if (alerts_.size() < capacity_) return;
  auto victim = std::find_if(alerts_.begin(), alerts_.end(), [](const Alert& a) { return a.acknowledged; });
  if (victim == alerts_.end()) victim = alerts_.begin();
  alerts_.erase(victim);
  ++dropped_;
}

bool AlertLog::Acknowledge(int64_t id, const std::string& by) {
  const std::string now = NowText();
  std::lock_guard<std::mutex> lock(mutex_);
  for (Alert& a : alerts_) {
    if (a.id != id) continue;
    if (a.acknowledged) return false;
    a.acknowledged = true;
    a.acknowledgedTime = now;
    a.acknowledgedBy = by;
    newlyAcknowledged_.push_back(a);
    ++generation_;
    return true;
  }
  return false;
}

int AlertLog::AcknowledgeAll(const std::string& by) {
  const std::string now = NowText();
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (Alert& a : alerts_) {
    if (a.acknowledged) continue;
    a.acknowledged = true;
    a.acknowledgedTime = now;
    a.acknowledgedBy = by;
    newlyAcknowledged_.push_back(a);
    ++n;
  }
  if (n > 0) ++generation_;
  return n;
}

std::vector<Alert> AlertLog::All() const {
  std::vector<Alert> out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    out = alerts_;
  }
  std::sort(out.begin(), out.end(), [](const Alert& a, const Alert& b) { return a.order > b.order; });
  return out;
}

size_t AlertLog::OpenCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(
      std::count_if(alerts_.begin(), alerts_.end(), [](const Alert& a) { return !a.acknowledged; }));
}

int64_t AlertLog::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

uint64_t AlertLog::generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

std::vector<Alert> AlertLog::TakeAcknowledged() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Alert> out;
  out.swap(newlyAcknowledged_);
  return out;
}

void RecordingUi::MessageBox(const std::string& text, platform::MsgKind kind, const std::string& title) {
  // Recorded first: should the console fail, the page still has it.
  alerts_.Add(kind, title.empty() ? platform::kAppTitle : title, text);
  inner_.MessageBox(text, kind, title);
}

}  // namespace tolven::status
