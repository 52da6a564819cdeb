// Parallel ports as device files; a plain file named in the configuration
// works as well (it is created and holds the last printout).
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "common/cp1252.h"
#include "common/text.h"
#include "platform/env.h"
#include "platform/parallel_port.h"
#include "platform/posix/error.h"

namespace tolven::platform {

namespace {

class PosixParallelPort final : public ParallelPort {
 public:
  explicit PosixParallelPort(Env& waits) : waits_(waits) {}
  ~PosixParallelPort() override { Close(); }

  Status Open(const std::string& device) override {
    Close();
    // A missing device (printer unplugged) is an error, never a new plain file
    // in /dev. Non-blocking, so that a printer out of paper costs only its own
    // printout (and a FIFO without a reader is refused instead of waited on).
    int flags = O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | (StartsWith(device, "/dev/") ? 0 : O_CREAT);
    int fd;
    do {
      fd = ::open(Cp1252ToUtf8(device).c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return PosixError("open(" + device + ")", errno);
    fd_ = fd;
    device_ = device;
    return Status::Ok();
  }

  Status Write(const std::string& bytes) override {
    if (fd_ < 0) return Status::Error("write(" + device_ + "): port not open", EBADF);
    size_t done = 0;
    int64_t lastProgress = waits_.MonotonicMs();
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        lastProgress = waits_.MonotonicMs();
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return PosixError("write(" + device_ + ")", errno);
      // No poll(2) here: the lp driver reports itself always writable. The
      // device is simply asked again after a pause in which other jobs run.
      if (waits_.MonotonicMs() - lastProgress >= kStallMs) return PosixError("write(" + device_ + ")", ETIMEDOUT);
      waits_.SleepMs(kWaitSliceMs);
    }
    return Status::Ok();
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  static constexpr int kStallMs = 30000;  // as long as a serial printer may stall
  static constexpr int kWaitSliceMs = 10;
  Env& waits_;
  int fd_ = -1;
  std::string device_;
};

}  // namespace

std::unique_ptr<ParallelPort> MakeParallelPort(Env& waits) { return std::make_unique<PosixParallelPort>(waits); }

}  // namespace tolven::platform
