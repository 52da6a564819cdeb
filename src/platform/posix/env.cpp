// POSIX implementation of Env. Interrupted calls are retried here and never seen above.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "common/cp1252.h"
#include "platform/env.h"
#include "platform/posix/error.h"
#include "platform/posix/files.h"
#include "platform/service_notify.h"

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

// New files get 0666 less the process's umask (the service unit sets 0077).
int OpenRetry(const std::string& native, int flags, mode_t mode = 0666) {
  int fd;
  do {
    fd = ::open(native.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string FolderOfNative(const std::string& native) {
  size_t slash = native.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : native.substr(0, slash);
}

// The file a path finally names when its last part is a symbolic link (a
// shared INI linked into the configuration folder): writing through the link
// keeps it a link. A dangling link names the file it would create.
std::string FollowLinks(std::string native) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return native;
    char buf[PATH_MAX];
    ssize_t n = ::readlink(native.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return native;
    std::string target(buf, static_cast<size_t>(n));
    native = target.front() == '/' ? target : FolderOfNative(native) + "/" + target;
  }
  return native;
}

std::mutex g_syncMutex;
std::map<std::string, int> g_folderSyncs;  // for tests: which folders were synced

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
    // Every fixed wait of the program (TSE answers, printer pauses) passes
    // here: a gateway waiting within its bounds is alive for the watchdog.
    NotifyWatchdog();
    if (ms <= 0) return;
    struct timespec req {
      ms / 1000, static_cast<long>(ms % 1000) * 1000000L
    };
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
    return ReadOpen(fd, path, INT64_MAX, contents);
  }

  Status ReadRegularFile(const std::string& path, int64_t maxBytes, std::string& contents) override {
    contents.clear();
    // Neither a link swapped in (it would read a file elsewhere) nor a FIFO
    // (its open waits for a writer) may hold up the loop.
    int fd = OpenRetry(Native(path), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
      if (errno == ELOOP) return Status::Error(path + " ist keine Datei (Verweis).");
      return PosixError("open(" + path + ")", errno);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return Status::Error(path + " ist keine Datei.");
    }
    return ReadOpen(fd, path, maxBytes, contents);
  }

  Status ReadFileHead(const std::string& path, int64_t maxBytes, std::string& contents) override {
    contents.clear();
    int fd = OpenRetry(Native(path), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return PosixError("open(" + path + ")", errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return Status::Error(path + " ist keine Datei.");
    }
    contents.resize(static_cast<size_t>(maxBytes));
    size_t got = 0;
    while (got < contents.size()) {
      const ssize_t n = ::read(fd, contents.data() + got, contents.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int err = errno;
        ::close(fd);
        contents.clear();
        return PosixError("read(" + path + ")", err);
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    ::close(fd);
    contents.resize(got);
    return Status::Ok();
  }

  // Reads to the end (at most `maxBytes`) and closes the descriptor.
  static Status ReadOpen(int fd, const std::string& path, int64_t maxBytes, std::string& contents) {
    char buf[65536];
    Status result = Status::Ok();
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        result = PosixError("read(" + path + ")", errno);
        break;
      }
      if (n == 0) break;
      contents.append(buf, static_cast<size_t>(n));
      if (static_cast<int64_t>(contents.size()) > maxBytes) {
        result = Status::Error(path + " ist zu groß (mehr als " + std::to_string(maxBytes) + " Bytes).");
        break;
      }
    }
    ::close(fd);
    if (!result) contents.clear();
    return result;
  }

  Status WriteFile(const std::string& path, const std::string& contents) override {
    return WriteWith(path, contents, O_WRONLY | O_CREAT | O_TRUNC, false);
  }

  Status WriteFileAtomic(const std::string& path, const std::string& contents) override {
    // A symbolic link in the place of the file is replaced, never followed: an
    // exchange folder is written by other programs, and a link there must not
    // make the gateway overwrite a file elsewhere (ResolveLink is for callers
    // that want the link kept).
    const std::string target = Native(path);
    const std::string temp = TempNameOf(target, tempMark_, static_cast<long>(::getpid()));
    const std::string shownTemp = Utf8ToCp1252(temp);
    struct stat old;
    const bool replacing = ::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    int fd = OpenRetry(temp, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) return PosixError("open(" + shownTemp + ")", errno);
    if (replacing) {
      // The replacement looks like the file it replaces: an INI that the
      // operator made readable for its owner only stays so. Only root can
      // give a file to another owner; anyone else keeps at least the mode.
      if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        int ignored = ::fchown(fd, old.st_uid, old.st_gid);
        (void)ignored;
      }
      (void)::fchmod(fd, old.st_mode & 07777);
    }
    Status st = WriteAll(fd, contents, shownTemp);
    if (st && ::fsync(fd) != 0) st = PosixError("fsync(" + shownTemp + ")", errno);
    if (::close(fd) != 0 && st) st = PosixError("close(" + shownTemp + ")", errno);
    if (st && ::rename(temp.c_str(), target.c_str()) != 0) {
      st = PosixError("rename(" + shownTemp + ", " + Utf8ToCp1252(target) + ")", errno);
    }
    if (!st) {
      ::unlink(temp.c_str());
      return st;
    }
    // The file is in place; a folder that cannot be synced only loses the
    // durability of the rename, and reporting a failure now would make the
    // caller redo what is already done.
    (void)SyncFolder(Utf8ToCp1252(FolderOfNative(target)));
    return Status::Ok();
  }

  void SetTempMark(const std::string& mark) override { tempMark_ = mark; }

  std::string ResolveLink(const std::string& path) override { return Utf8ToCp1252(FollowLinks(Native(path))); }

  Status CheckNotWorldReadable(const std::string& path) override {
    struct stat st;
    if (::stat(Native(path).c_str(), &st) != 0) return PosixError("stat(" + path + ")", errno);
    if ((st.st_mode & S_IROTH) == 0) return Status::Ok();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return Status::Error(path + " ist für alle Benutzer lesbar (Modus " + mode + ")");
  }

  Status CheckWritable(const std::string& path) override {
    const std::string native = Native(path);
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) return PosixError("stat(" + path + ")", errno);
    if (!S_ISDIR(st.st_mode)) {
      if (::access(native.c_str(), W_OK) != 0) return PosixError("access(" + path + ")", errno);
      return Status::Ok();
    }
    // Permission bits say little on shares (CIFS, NFS with root squashing):
    // creating a file is the only sure test.
    std::string probe = native;
    if (probe.back() != '/') probe += '/';
    probe += ".tolvenpda-probe-" + std::to_string(::getpid());
    int fd = OpenRetry(probe, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return PosixError("open(" + Utf8ToCp1252(probe) + ")", errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return Status::Ok();
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
      // The program starts with every signal at its default: what the gateway
      // ignores (SIGHUP, SIGPIPE ...) is its own business.
      posix_spawnattr_t attr;
      posix_spawnattr_init(&attr);
      sigset_t all;
      sigfillset(&all);
      posix_spawnattr_setsigdefault(&attr, &all);
      posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
      pid_t pid;
      int rc = posix_spawnp(&pid, native[0].c_str(), nullptr, &attr, argv.data(), environ);
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
  std::string tempMark_;

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

Status SyncFolder(const std::string& folder) {
  std::string native = Native(folder);
  while (native.size() > 1 && native.back() == '/') native.pop_back();
  int fd = OpenRetry(native, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return PosixError("open(" + folder + ")", errno);
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  int err = errno;
  ::close(fd);
  if (rc != 0 && err != EINVAL) return PosixError("fsync(" + folder + ")", err);
  std::lock_guard<std::mutex> lock(g_syncMutex);
  ++g_folderSyncs[Utf8ToCp1252(native)];
  return Status::Ok();
}

int FolderSyncCount(const std::string& folder) {
  std::string key = folder;
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  std::lock_guard<std::mutex> lock(g_syncMutex);
  auto it = g_folderSyncs.find(key);
  return it == g_folderSyncs.end() ? 0 : it->second;
}

std::string DefaultConfigFolder() { return "/etc/tolven"; }

std::string EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  return value ? Utf8ToCp1252(value) : "";
}

Env& DefaultEnv() {
  static PosixEnv env;
  return env;
}

}  // namespace tolven::platform
