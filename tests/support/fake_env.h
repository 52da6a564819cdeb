// Test doubles of the platform layer: a clock that only moves when told (or when
// the code sleeps), real files in a temporary folder, switches that make single
// file operations fail, and a Ui that records everything.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/forwarding_env.h"
#include "platform/ui.h"

namespace tolven::testing {

// Files go to the real file system (tests use a temporary folder) through
// the ForwardingEnv; the clock, the programs started and the injected faults
// are the fake's own.
class FakeEnv : public platform::ForwardingEnv {
 public:
  FakeEnv();

  // The clock: starts at 05.12.2026 12:00:00.000 local time (= UTC here).
  void SetNow(const DateTime& t);
  void Advance(int64_t ms);
  DateTime Now() override;
  int64_t UnixTime() override;
  // Unset, local time is UTC. Set, the clock runs in UTC and Now() shows it
  // shifted by the offset of the moment (a night when the clocks go back);
  // SetNow then wants a local time that is not ambiguous.
  std::function<int64_t(int64_t unixTime)> utcOffset;
  int64_t UtcOffsetAt(int64_t unixTime) override { return utcOffset ? utcOffset(unixTime) : 0; }
  int64_t MonotonicMs() override { return monotonicMs_; }
  // Sleeping only advances the clock; the wait is recorded.
  void SleepMs(int ms) override;
  const std::vector<int>& sleeps() const { return sleeps_; }
  // Called at every SleepMs (after the clock moved), e.g. to let a peer act "meanwhile".
  std::function<void(int)> onSleep;

  Status DeleteFile(const std::string& path) override;
  Status RenameFile(const std::string& from, const std::string& to) override;
  Status ReadFile(const std::string& path, std::string& contents) override;
  // Through ReadFile, so that its faults apply.
  Status ReadRegularFile(const std::string& path, int64_t maxBytes, std::string& contents) override {
    return Env::ReadRegularFile(path, maxBytes, contents);
  }
  Status ReadFileHead(const std::string& path, int64_t maxBytes, std::string& contents) override {
    return Env::ReadFileHead(path, maxBytes, contents);
  }
  // In place, as the loop's jobs wait for the fake clock.
  void RunBlocking(const std::function<void()>& work) override { work(); }
  void ReturnFreeMemory() override {}
  Status WriteFile(const std::string& path, const std::string& contents) override;
  Status WriteFileAtomic(const std::string& path, const std::string& contents) override;
  Status AppendFile(const std::string& path, const std::string& contents) override;
  // The real test, or the fault "writable" for paths containing the match.
  Status CheckWritable(const std::string& path) override;
  Status StartProgram(const std::string& path, const std::vector<std::string>& args) override;
  std::string ProgramFolder() override { return programFolder; }

  // Fault switches: the named operation ("rename", "write", "append", "delete",
  // "read", "writable") fails `count` times from now on (-1: always) for paths containing `match`.
  void FailOperation(const std::string& op, const std::string& match = "", int count = -1);
  void ClearFaults() { faults_.clear(); }

  std::string programFolder = "/opt/tolven";
  std::vector<std::string> startedPrograms;

 private:
  bool Faulty(const std::string& op, const std::string& path);
  struct Fault {
    std::string match;
    int remaining;
  };
  std::multimap<std::string, Fault> faults_;
  int64_t epochMs_;  // UTC in ms since 1970 (= local time while no utcOffset is set)
  int64_t monotonicMs_ = 1000000;
  std::vector<int> sleeps_;
};

struct Message {
  std::string text;
  platform::MsgKind kind;
  std::string title;
};

class FakeUi : public platform::Ui {
 public:
  void Status(const std::string& text) override { statuses.push_back(text); }
  void LogLine(const std::string& line) override { logLines.push_back(line); }
  void MessageBox(const std::string& text, platform::MsgKind kind, const std::string& title) override {
    messages.push_back({text, kind, title});
  }
  std::string InputBox(const std::string& prompt, const std::string& title) override {
    inputPrompts.push_back(title + ": " + prompt);
    return inputAnswer;
  }
  bool HasMessage(const std::string& part) const {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const Message& m) { return m.text.find(part) != std::string::npos; });
  }

  std::vector<std::string> statuses, logLines, inputPrompts;
  std::vector<Message> messages;
  std::string inputAnswer;
};

// A fresh empty folder under the system's temporary folder, removed at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path + "/" + name
  std::string operator/(const std::string& name) const { return path_ + platform::kPathSepText + name; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& contents);

}  // namespace tolven::testing
