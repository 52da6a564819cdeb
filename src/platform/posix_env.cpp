// POSIX implementation of Env. Interrupted calls are retried here and never seen above.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "common/cp1252.h"
#include "platform/env.h"
#include "platform/posix_error.h"

extern char** environ;

namespace tolven::platform {

Status PosixError(const std::string& context, int err) {
  return Status::Error(context + ": " + Utf8ToCp1252(std::strerror(err)), err);
}

namespace {

std::string Native(const std::string& path) { return Cp1252ToUtf8(path); }

Status WriteAll(int fd, const std::string& data, const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return PosixError("write(" + path + ")", errno);
    }
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

int OpenRetry(const std::string& native, int flags, mode_t mode = 0644) {
  int fd;
  do {
    fd = ::open(native.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class PosixEnv final : public Env {
 public:
  DateTime Now() override {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    DateTime t;
    t.date = Date{tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday};
    t.hour = tmv.tm_hour;
    t.minute = tmv.tm_min;
    t.second = tmv.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
  }

  int64_t UnixTime() override { return static_cast<int64_t>(::time(nullptr)); }

  int64_t UtcOffsetAt(int64_t unixTime) override {
    const time_t t = static_cast<time_t>(unixTime);
    struct tm tmv;
    if (!localtime_r(&t, &tmv)) return 0;
    return static_cast<int64_t>(tmv.tm_gmtoff);
  }

  int64_t MonotonicMs() override {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  void ReturnFreeMemory() override { malloc_trim(0); }

  void SleepMs(int ms) override {
    if (ms <= 0) return;
    struct timespec req{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&req, &req) != 0 && errno == EINTR) {
    }
  }

  bool FileExists(const std::string& path) override {
    if (path.empty()) return false;
    struct stat st;
    return ::stat(Native(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  bool FolderExists(const std::string& path) override {
    if (path.empty()) return false;
    struct stat st;
    return ::stat(Native(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  FileInfo GetFileInfo(const std::string& path) override {
    FileInfo info;
    struct stat st;
    if (path.empty() || ::stat(Native(path).c_str(), &st) != 0) return info;
    info.kind = S_ISREG(st.st_mode) ? FileKind::Regular : S_ISDIR(st.st_mode) ? FileKind::Folder : FileKind::Other;
    if (info.kind == FileKind::Regular) info.size = static_cast<int64_t>(st.st_size);
    info.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return info;
  }

  Status DeleteFile(const std::string& path) override {
    if (::unlink(Native(path).c_str()) != 0) return PosixError("unlink(" + path + ")", errno);
    return Status::Ok();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    if (::rename(Native(from).c_str(), Native(to).c_str()) != 0)
      return PosixError("rename(" + from + ", " + to + ")", errno);
    return Status::Ok();
  }

  Status ReadFile(const std::string& path, std::string& contents) override {
    contents.clear();
    int fd = OpenRetry(Native(path), O_RDONLY);
    if (fd < 0) return PosixError("open(" + path + ")", errno);
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        int err = errno;
        ::close(fd);
        return PosixError("read(" + path + ")", err);
      }
      if (n == 0) break;
      contents.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return Status::Ok();
  }

  Status WriteFile(const std::string& path, const std::string& contents) override {
    return WriteWith(path, contents, O_WRONLY | O_CREAT | O_TRUNC, false);
  }

  Status WriteFileAtomic(const std::string& path, const std::string& contents) override {
    std::string temp = path + ".tmp" + std::to_string(::getpid());
    Status st = WriteWith(temp, contents, O_WRONLY | O_CREAT | O_TRUNC, true);
    if (!st) {
      ::unlink(Native(temp).c_str());
      return st;
    }
    st = RenameFile(temp, path);
    if (!st) ::unlink(Native(temp).c_str());
    return st;
  }

  Status AppendFile(const std::string& path, const std::string& contents) override {
    return WriteWith(path, contents, O_WRONLY | O_CREAT | O_APPEND, false);
  }

  Status CreateFolder(const std::string& path) override {
    std::string native = Native(path);
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    for (size_t pos = 1; pos <= native.size(); ++pos) {
      if (pos != native.size() && native[pos] != '/') continue;
      std::string part = native.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return PosixError("mkdir(" + path + ")", errno);
    }
    struct stat st;
    if (::stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return PosixError("mkdir(" + path + ")", ENOTDIR);
    return Status::Ok();
  }

  Status StartProgram(const std::string& path, const std::vector<std::string>& args) override {
    std::vector<std::string> native;
    native.push_back(Native(path));
    for (const auto& a : args) native.push_back(Native(a));
    std::vector<char*> argv;
    for (auto& a : native) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Double fork: the program is handed to init at once, so no zombie stays
    // behind and nothing has to wait for it.
    pid_t child = ::fork();
    if (child < 0) return PosixError("fork(" + path + ")", errno);
    if (child == 0) {
      pid_t pid;
      int rc = posix_spawnp(&pid, native[0].c_str(), nullptr, nullptr, argv.data(), environ);
      ::_exit(rc == 0 ? 0 : 127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return PosixError("posix_spawn(" + path + ")", ENOENT);
    return Status::Ok();
  }

  std::string ProgramFolder() override {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string exe(buf, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return Utf8ToCp1252(slash == 0 ? "/" : exe.substr(0, slash));
  }

  std::vector<std::string> ListFiles(const std::string& folder) override {
    std::vector<std::string> names;
    DIR* dir = ::opendir(Native(folder).c_str());
    if (!dir) return names;
    while (struct dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      std::string full = Native(folder) + "/" + name;
      if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(Utf8ToCp1252(name));
    }
    ::closedir(dir);
    return names;
  }

 private:
  Status WriteWith(const std::string& path, const std::string& contents, int flags, bool sync) {
    int fd = OpenRetry(Native(path), flags);
    if (fd < 0) return PosixError("open(" + path + ")", errno);
    Status st = WriteAll(fd, contents, path);
    if (st && sync && ::fsync(fd) != 0) st = PosixError("fsync(" + path + ")", errno);
    if (::close(fd) != 0 && st) st = PosixError("close(" + path + ")", errno);
    return st;
  }
};

}  // namespace

Env& DefaultEnv() {
  static PosixEnv env;
  return env;
}

}  // namespace tolven::platform
