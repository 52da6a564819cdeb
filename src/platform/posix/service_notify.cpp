#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/service_notify.h"

namespace tolven::platform {

namespace {

int64_t MonotonicUsec() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::atomic<int64_t> g_lastWatchdog{0};

}  // namespace

bool ServiceNotify(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path) return false;
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path || (path[0] != '/' && path[0] != '@')) return false;
  std::memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // an abstract socket
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t size = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
  // A service manager that does not read its socket must never stall the
  // loop: a full queue costs a ping at once, and READY/STOPPING wait a second.
  int flags = MSG_NOSIGNAL;
  if (message == "WATCHDOG=1") {
    flags |= MSG_DONTWAIT;
  } else {
    struct timeval limit {
      1, 0
    };
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  ssize_t sent =
      ::sendto(fd, message.data(), message.size(), flags, reinterpret_cast<const struct sockaddr*>(&addr), size);
  ::close(fd);
  return sent == static_cast<ssize_t>(message.size());
}

void NotifyReady() { ServiceNotify("READY=1\nSTATUS=Warte auf Anfragen"); }

void NotifyStopping() { ServiceNotify("STOPPING=1"); }

int64_t WatchdogIntervalUsec() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || !*usec) return 0;
  // A watchdog meant for another process of the unit is not ours.
  if (const char* pid = std::getenv("WATCHDOG_PID"); pid && *pid && std::atol(pid) != static_cast<long>(::getpid())) {
    return 0;
  }
  long long v = std::atoll(usec);
  return v > 0 ? v : 0;
}

void NotifyWatchdog() {
  const int64_t interval = WatchdogIntervalUsec();
  if (interval == 0) return;
  const int64_t now = MonotonicUsec();
  const int64_t last = g_lastWatchdog.load();
  if (last != 0 && now - last < interval / 4) return;
  g_lastWatchdog.store(now);
  ServiceNotify("WATCHDOG=1");
}

}  // namespace tolven::platform
