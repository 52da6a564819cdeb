// Everything the program needs from the operating system apart from devices:
// clocks, waits, files, folders and starting programs. All fixed waits go
// through SleepMs, so component tests run on a fake clock without sleeping.
// Paths are Windows-1252 text like every other text of the program; the
// implementation converts them at the edge.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/datetime.h"
#include "common/status.h"

namespace tolven::platform {

// The separator of folder names on this platform.
// Every character that separates folder names in a path given to the program
// (Windows also takes "/", as in "C:/Kasse/pda1").
#ifdef _WIN32
inline constexpr char kPathSep = '\\';
inline constexpr const char* kPathSeps = "\\/";
#else
inline constexpr char kPathSep = '/';
inline constexpr const char* kPathSeps = "/";
#endif
inline const std::string kPathSepText(1, kPathSep);
inline bool EndsWithPathSep(const std::string& path) {
  return !path.empty() && std::string_view(kPathSeps).find(path.back()) != std::string_view::npos;
}
// The folder with one separator at its end.
inline std::string WithTrailingSep(const std::string& folder) {
  return EndsWithPathSep(folder) ? folder : folder + kPathSepText;
}

// What a path names, as far as taking a file over from another writer needs it.
enum class FileKind { Missing, Regular, Folder, Other };
struct FileInfo {
  FileKind kind = FileKind::Missing;
  int64_t size = 0;     // bytes; 0 unless a regular file
  int64_t mtimeNs = 0;  // last modification, nanoseconds since 1970 (the file system's resolution)
  bool operator==(const FileInfo&) const = default;
};

class Env {
 public:
  virtual ~Env() = default;

  // Local wall-clock time with milliseconds.
  virtual DateTime Now() = 0;
  // Seconds since 01.01.1970 00:00:00 UTC.
  virtual int64_t UnixTime() = 0;
  // How far local time was ahead of UTC at that moment, in seconds (the
  // offset changes when the clocks go forward or back). 0 where local time is UTC.
  virtual int64_t UtcOffsetAt(int64_t unixTime) {
    (void)unixTime;
    return 0;
  }
  // Milliseconds on a clock that never jumps (not affected by midnight or clock changes).
  virtual int64_t MonotonicMs() = 0;
  virtual void SleepMs(int ms) = 0;
  // Runs `work`, a call that may block for long (a device, the spooler, a
  // folder on a share, a database statement): inside a job of the event loop
  // on a worker thread while only that job waits; elsewhere in place. What
  // `work` throws is thrown here. `work` touches nothing the loop's jobs share.
  virtual void RunBlocking(const std::function<void()>& work) { work(); }

  // True when the path is not empty and names an existing regular file; any
  // error gives false.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  // Kind, size and modification time of what the path names, links followed.
  // A path that cannot be examined (missing, no permission) gives Missing.
  virtual FileInfo GetFileInfo(const std::string& path) = 0;
  // Deleting a missing file is an error (the callers test for existence first).
  virtual Status DeleteFile(const std::string& path) = 0;
  // Replaces an existing target.
  virtual Status RenameFile(const std::string& from, const std::string& to) = 0;
  virtual Status ReadFile(const std::string& path, std::string& contents) = 0;
  // A file other programs put in place (an exchange file): read only when the
  // path itself names a regular file (a link, a FIFO or a device is refused
  // without waiting for it) and holds at most `maxBytes`.
  virtual Status ReadRegularFile(const std::string& path, int64_t maxBytes, std::string& contents);
  // The first `maxBytes` of such a file, however long it is.
  virtual Status ReadFileHead(const std::string& path, int64_t maxBytes, std::string& contents);
  // Creates or replaces the file with exactly these bytes.
  virtual Status WriteFile(const std::string& path, const std::string& contents) = 0;
  // Publishes the file atomically: written to a temporary name in the same
  // folder (TempNameOf), synced, then renamed into place and the folder synced,
  // so a reader never sees half of it and a power cut leaves the old or the new
  // file. An existing file keeps its mode and owner (Windows: its access list,
  // and one this account may not write is not replaced); a new one gets the
  // process's defaults. A symbolic link at the path is replaced, not followed.
  // On failure the temporary file is removed and the old file left as it was.
  virtual Status WriteFileAtomic(const std::string& path, const std::string& contents) = 0;
  // The file a symbolic link at the path finally names (the path itself when
  // it is no link), for writing through a link and keeping it.
  virtual std::string ResolveLink(const std::string& path) { return path; }
  // Marks this process's temporary files (the station, "K3"), so that a start
  // removes only its own leftovers from folders that stations share.
  virtual void SetTempMark(const std::string& mark) { (void)mark; }
  // Ok unless users beyond the trusted ones may read the file (for files
  // holding a secret): on Linux every local user through its mode; on Windows
  // anyone beyond administrators, SYSTEM, the owner, this account and the
  // service's account through its access list.
  virtual Status CheckNotWorldReadable(const std::string& path) {
    (void)path;
    return Status::Ok();
  }
  // Ok when the process can create files in the folder (tried with a file that
  // is removed again) or, for a file, write it; otherwise the system's reason.
  virtual Status CheckWritable(const std::string& path) {
    (void)path;
    return Status::Ok();
  }
  // Appends, creating the file when missing; the folder is not created.
  virtual Status AppendFile(const std::string& path, const std::string& contents) = 0;
  // Creates the folder and any missing parents; an existing folder is fine.
  virtual Status CreateFolder(const std::string& path) = 0;
  // Starts a program without waiting for it.
  virtual Status StartProgram(const std::string& path, const std::vector<std::string>& args) = 0;
  // The folder from which the program was started, without a trailing separator.
  virtual std::string ProgramFolder() = 0;
  // Names of the files in a folder (no sub-folders), unsorted.
  virtual std::vector<std::string> ListFiles(const std::string& folder) = 0;
  // Hands memory the process freed back to the system, so that a day of
  // bookings leaves it no larger than one busy moment made it.
  virtual void ReturnFreeMemory() {}
};

// The temporary name beside `path` that WriteFileAtomic uses: path + ".tmp" +
// mark + "-" + process id ("kueche.txt.tmpK3-4711").
std::string TempNameOf(const std::string& path, const std::string& mark, long pid);
// True for a file name that TempNameOf gave with this mark (any process id).
bool IsTempNameOf(const std::string& name, const std::string& mark);

// The real operating system.
Env& DefaultEnv();

// Where TOLVEN.INI lives unless the installation says otherwise: /etc/tolven
// on Linux, the Windows folder on Windows (where the POS programs keep it).
std::string DefaultConfigFolder();
// An environment variable as Windows-1252 text; "" when it is not set.
std::string EnvironmentText(const char* name);

}  // namespace tolven::platform
