// Alerts for the status page. A message box would stop a program at a POS
// computer until someone read it; the unattended gateway shows it on the
// console and goes on, so every message box is also kept here
// until someone acknowledges it on the status page. The gateway raises further
// alerts of its own (a TSE server that stopped answering).
//
// The alert log is the one piece of status state written from two threads: the
// processing thread adds alerts, the web server acknowledges them. Everything
// goes through one mutex; nothing else of the gateway is touched from the web
// server's threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/ui.h"

namespace tolven::status {

struct Alert {
  int64_t id = 0;
  platform::MsgKind kind = platform::MsgKind::Information;
  std::string title;
  std::string text;
  std::string firstTime;  // "DD.MM.YYYY HH:MM:SS"
  std::string lastTime;   // the latest repetition
  int64_t count = 1;      // the same unacknowledged alert raised again counts up
  bool acknowledged = false;
  std::string acknowledgedTime;
  std::string acknowledgedBy;  // the address the acknowledgement came from
  int64_t order = 0;           // newest first by the latest repetition
};

class AlertLog {
 public:
  // Alerts kept at most; beyond that the oldest acknowledged alert goes first,
  // then the oldest one at all (counted in dropped()). A text longer than
  // kMaxText characters is cut and marked.
  static constexpr size_t kDefaultCapacity = 200;
  static constexpr size_t kMaxText = 4000;

  // `env` gives the times; its Now() must be callable from any thread (the
  // real one is).
  explicit AlertLog(platform::Env& env, size_t capacity = kDefaultCapacity);

  // Records an alert and returns its id. An unacknowledged alert with the same
  // kind, title and text is repeated rather than duplicated: a printer that
  // fails on every printout makes one alert with a count, not hundreds.
  int64_t Add(platform::MsgKind kind, const std::string& title, const std::string& text);
  // False when there is no such alert or it was already acknowledged.
  bool Acknowledge(int64_t id, const std::string& by);
  // Acknowledges every open alert; returns how many.
  int AcknowledgeAll(const std::string& by);

  // Every alert kept, newest first.
  std::vector<Alert> All() const;
  size_t OpenCount() const;
  int64_t dropped() const;
  // Changes with every add and acknowledgement.
  uint64_t generation() const;
  // The alerts acknowledged since the last call, for the gateway's log (which
  // only the processing thread may write).
  std::vector<Alert> TakeAcknowledged();

 private:
  std::string NowText();
  void MakeRoom();

  platform::Env& env_;
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::vector<Alert> alerts_;  // oldest first by insertion
  std::vector<Alert> newlyAcknowledged_;
  int64_t nextId_ = 1;
  int64_t nextOrder_ = 1;
  int64_t dropped_ = 0;
  uint64_t generation_ = 0;
};

// A Ui that keeps every message box as an alert and passes everything on.
class RecordingUi final : public platform::Ui {
 public:
  RecordingUi(platform::Ui& inner, AlertLog& alerts) : inner_(inner), alerts_(alerts) {}

  void Status(const std::string& text) override { inner_.Status(text); }
  void LogLine(const std::string& line) override { inner_.LogLine(line); }
  void MessageBox(const std::string& text, platform::MsgKind kind, const std::string& title) override;
  std::string InputBox(const std::string& prompt, const std::string& title) override {
    return inner_.InputBox(prompt, title);
  }

 private:
  platform::Ui& inner_;
  AlertLog& alerts_;
};

}  // namespace tolven::status
