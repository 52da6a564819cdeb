// A pseudo-terminal standing in for a serial printer: the test reads the
// printer's end. The slave stays open so that the master never sees a hang-up.
#pragma once

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <string>

namespace tolven::testing {

struct Pty {
  int master = -1, slave = -1;
  std::string device;  // empty when no pseudo-terminal could be opened
  Pty() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) device = name;
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  // What arrived until the line has been quiet for `quietMs`.
  std::string Drain(int quietMs) const {
    std::string got;
    char buf[4096];
    pollfd p{master, POLLIN, 0};
    for (ssize_t n = 0; ::poll(&p, 1, quietMs) > 0 && (n = ::read(master, buf, sizeof buf)) > 0;)
      got.append(buf, static_cast<size_t>(n));
    return got;
  }
};

}  // namespace tolven::testing
