#include "terminal_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench_util.h"

namespace tolven::bench {

std::optional<FileEvent> Classify(uint32_t mask, std::string_view name) {
  if (mask & IN_MOVED_FROM) {
    if (name == "bestell.txt") return FileEvent::OrderTaken;
    if (name == "info.txt") return FileEvent::RequestTaken;
  }
  // A writer that does not publish by rename shows up as a closed written file.
  if (mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) {
    if (name == "confirm.kas") return FileEvent::OrderConfirmed;
    if (name == "info.kas") return FileEvent::RequestAnswered;
  }
  return std::nullopt;
}

TerminalWatch::TerminalWatch(const std::vector<std::string>& folders) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  for (size_t i = 0; i < folders.size(); ++i) {
    int wd = ::inotify_add_watch(fd_, folders[i].c_str(), IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE);
    if (wd < 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    slotOfWatch_[wd] = static_cast<int>(i) + 1;
  }
}

TerminalWatch::~TerminalWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool TerminalWatch::Fill(double timeoutMs) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int rc = ::poll(&p, 1, timeoutMs < 0 ? 0 : static_cast<int>(timeoutMs + 0.999));
  if (rc <= 0) return false;
  alignas(inotify_event) char buf[16384];
  ssize_t n = ::read(fd_, buf, sizeof buf);
  const double now = NowMs();
  if (n <= 0) return false;
  for (ssize_t off = 0; off < n;) {
    const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
    off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    auto slot = slotOfWatch_.find(e->wd);
    if (slot == slotOfWatch_.end() || e->len == 0) continue;
    if (auto kind = Classify(e->mask, std::string_view(e->name, ::strnlen(e->name, e->len)))) {
      pending_.push_back(TerminalEvent{slot->second, *kind, now});
    }
  }
  return true;
}

std::optional<TerminalEvent> TerminalWatch::Next(double timeoutMs) {
  const double until = NowMs() + timeoutMs;
  while (pending_.empty()) {
    const double left = until - NowMs();
    if (left <= 0) return std::nullopt;
    Fill(left);
  }
  TerminalEvent e = pending_.front();
  pending_.pop_front();
  return e;
}

std::optional<TerminalEvent> TerminalWatch::WaitFor(int slot, FileEvent kind, double timeoutMs) {
  const double until = NowMs() + timeoutMs;
  for (;;) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->slot == slot && it->kind == kind) {
        TerminalEvent e = *it;
        pending_.erase(it);
        return e;
      }
    }
    const double left = until - NowMs();
    if (left <= 0) return std::nullopt;
    Fill(left);
  }
}

}  // namespace tolven::bench
