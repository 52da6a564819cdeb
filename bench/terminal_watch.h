// Watches the exchange folders the way a terminal waits for its answer, but
// with time stamps: the kernel reports (inotify) when the gateway takes the
// input file away and when it publishes an answer file. The gateway itself
// needs no timing code for this.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolven::bench {

enum class FileEvent {
  OrderTaken,       // "bestell.txt" renamed away by the gateway
  OrderConfirmed,   // "confirm.kas" put in place
  RequestTaken,     // "info.txt" renamed away
  RequestAnswered,  // "info.kas" put in place
};

struct TerminalEvent {
  int slot = 0;
  FileEvent kind = FileEvent::OrderTaken;
  double ms = 0;  // NowMs() when the event was read
};

// Which of the events above an inotify record stands for. Answer files are
// published by renaming a finished temporary file, order and request files
// leave by a rename; the terminal's own renames and deletes are not events.
std::optional<FileEvent> Classify(uint32_t mask, std::string_view name);

class TerminalWatch {
 public:
  // folders[i] is the exchange folder of slot i + 1.
  explicit TerminalWatch(const std::vector<std::string>& folders);
  ~TerminalWatch();
  TerminalWatch(const TerminalWatch&) = delete;
  TerminalWatch& operator=(const TerminalWatch&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The next event, or nothing after timeoutMs.
  std::optional<TerminalEvent> Next(double timeoutMs);
  // Waits for one kind of event of one slot; other events are kept for later.
  std::optional<TerminalEvent> WaitFor(int slot, FileEvent kind, double timeoutMs);

 private:
  bool Fill(double timeoutMs);

  int fd_ = -1;
  std::map<int, int> slotOfWatch_;
  std::deque<TerminalEvent> pending_;
};

}  // namespace tolven::bench
