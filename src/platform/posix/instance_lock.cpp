#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/cp1252.h"
#include "platform/instance_lock.h"
#include "platform/posix/error.h"

namespace tolven::platform {

namespace {
class PosixInstanceLock final : public InstanceLock {
 public:
  ~PosixInstanceLock() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status Acquire(const std::string& path) override {
    busy_ = false;
    int fd = ::open(Cp1252ToUtf8(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return PosixError("open(" + path + ")", errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      ::close(fd);
      busy_ = err == EWOULDBLOCK;
      return PosixError("flock(" + path + ")", err);
    }
    // The process id helps an operator find the running gateway.
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
      ssize_t ignored = ::write(fd, pid.data(), pid.size());
      (void)ignored;
    }
    fd_ = fd;
    return Status::Ok();
  }

  bool busy() const override { return busy_; }

 private:
  int fd_ = -1;
  bool busy_ = false;
};
}  // namespace

std::unique_ptr<InstanceLock> MakeInstanceLock() { return std::make_unique<PosixInstanceLock>(); }
bool InstanceLockNeedsFile() { return true; }

}  // namespace tolven::platform
