// Windows implementation of Env. Every file is opened sharing read, write and
// delete, so the gateway never keeps another program out of the exchange
// folders; when another program (the terminals' sync software, a virus
// scanner) holds a file without sharing it, the call is tried again for a
// short, bounded time, as that software itself does.
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/env.h"
#include "platform/service_notify.h"
#include "platform/win32/file_security.h"
#include "platform/win32/system.h"

namespace tolven::platform {

namespace {

constexpr int kAttempts = 20;
constexpr DWORD kRetryWaitMs = 50;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// 100-ns intervals between 01.01.1601 and 01.01.1970.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

// Another program holds the file for the moment. A rename or delete is also
// refused with "access denied" while the other side still has the file open.
bool HeldByOther(DWORD err, bool accessDeniedToo) {
  return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION ||
         (accessDeniedToo && err == ERROR_ACCESS_DENIED);
}

// Runs `call` (a Win32 call reporting failure through GetLastError) until it
// succeeds, fails for another reason, or the attempts are used up; the last
// error stays GetLastError().
template <class Call>
bool Retried(Call call, bool accessDeniedToo) {
  for (int attempt = 1;; ++attempt) {
    if (call()) return true;
    const DWORD err = GetLastError();
    if (attempt >= kAttempts || !HeldByOther(err, accessDeniedToo)) {
      SetLastError(err);
      return false;
    }
    ::Sleep(kRetryWaitMs);
  }
}

HANDLE OpenRetry(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  HANDLE h = INVALID_HANDLE_VALUE;
  Retried(
      [&] {
        h = CreateFileW(path.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
        return h != INVALID_HANDLE_VALUE;
      },
      false);
  return h;
}

bool MoveRetry(const std::wstring& from, const std::wstring& to) {
  return Retried(
      [&] { return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0; },
      true);
}

int64_t TicksOf(const FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME FileTimeOf(int64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return ft;
}

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

// Attributes, size and time of what the path names. A symbolic link or
// junction is followed, as stat() does, by asking the file it leads to.
bool Examine(const std::wstring& path, DWORD& attributes, int64_t& size, FILETIME& written) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  attributes = data.dwFileAttributes;
  size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  written = data.ftLastWriteTime;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  HANDLE h = CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return false;
  attributes = info.dwFileAttributes;
  size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  written = info.ftLastWriteTime;
  return true;
}

bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsRegular(DWORD attributes) { return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0; }

Status WriteAll(HANDLE h, const std::string& data, const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(h, data.data() + done, chunk, &n, nullptr)) return LastWin32Error("WriteFile(" + path + ")");
    done += n;
  }
  return Status::Ok();
}

// One argument as the C runtime's command-line parser splits it again:
// quotes around it when it holds blanks or quotes, a quote inside escaped,
// and backslashes doubled only where a quote follows them.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::wstring ModuleFileName() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

class Win32Env final : public Env {
 public:
  DateTime Now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    DateTime t;
    t.date = Date{st.wYear, st.wMonth, st.wDay};
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
  }

  int64_t UnixTime() override {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (TicksOf(ft) - kUnixEpochTicks) / 10000000;
  }

  int64_t UtcOffsetAt(int64_t unixTime) override {
    // The zone's rules for that year (a zone may have changed its rules), not
    // the ones of today.
    const FILETIME ft = FileTimeOf(unixTime * 10000000 + kUnixEpochTicks);
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&ft, &utc)) return 0;
    TIME_ZONE_INFORMATION zone;
    const bool converted = GetTimeZoneInformationForYear(utc.wYear, nullptr, &zone)
                               ? SystemTimeToTzSpecificLocalTime(&zone, &utc, &local) != 0
                               : SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) != 0;
    FILETIME localFt;
    if (!converted || !SystemTimeToFileTime(&local, &localFt)) return 0;
    return (TicksOf(localFt) - TicksOf(ft)) / 10000000;
  }

  int64_t MonotonicMs() override { return static_cast<int64_t>(GetTickCount64()); }

  void SleepMs(int ms) override {
    NotifyWatchdog();
    if (ms > 0) ::Sleep(static_cast<DWORD>(ms));
  }

  void ReturnFreeMemory() override { _heapmin(); }

  bool FileExists(const std::string& path) override {
    DWORD attributes;
    int64_t size;
    FILETIME written;
    return Examine(Wide(path), attributes, size, written) && IsRegular(attributes);
  }

  bool FolderExists(const std::string& path) override {
    DWORD attributes;
    int64_t size;
    FILETIME written;
    return Examine(Wide(path), attributes, size, written) && IsFolder(attributes);
  }

  FileInfo GetFileInfo(const std::string& path) override {
    FileInfo info;
    DWORD attributes;
    int64_t size;
    FILETIME written;
    if (!Examine(Wide(path), attributes, size, written)) return info;
    info.kind = IsFolder(attributes) ? FileKind::Folder : IsRegular(attributes) ? FileKind::Regular : FileKind::Other;
    if (info.kind == FileKind::Regular) info.size = size;
    info.mtimeNs = (TicksOf(written) - kUnixEpochTicks) * 100;
    return info;
  }

  Status DeleteFile(const std::string& path) override {
    const std::wstring native = Wide(path);
    if (!Retried([&] { return DeleteFileW(native.c_str()) != 0; }, true))
      return LastWin32Error("DeleteFile(" + path + ")");
    return Status::Ok();
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    if (!MoveRetry(Wide(from), Wide(to))) return LastWin32Error("MoveFileEx(" + from + ", " + to + ")");
    return Status::Ok();
  }

  Status ReadFile(const std::string& path, std::string& contents) override {
    contents.clear();
    HANDLE h = OpenRetry(Wide(path), GENERIC_READ, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFile(" + path + ")");
    char buf[65536];
    Status st = Status::Ok();
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(h, buf, sizeof buf, &n, nullptr)) {
        st = LastWin32Error("ReadFile(" + path + ")");
        break;
      }
      if (n == 0) break;
      contents.append(buf, n);
    }
    CloseHandle(h);
    if (!st) contents.clear();
    return st;
  }

  Status WriteFile(const std::string& path, const std::string& contents) override {
    return WriteWith(path, contents, GENERIC_WRITE, CREATE_ALWAYS);
  }

  Status AppendFile(const std::string& path, const std::string& contents) override {
    // Append access alone: every write lands at the end, also when another
    // program appends to the same log at the same time.
    return WriteWith(path, contents, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  }

  Status WriteFileAtomic(const std::string& path, const std::string& contents) override {
    const std::wstring native = Wide(path);
    DWORD attributes;
    int64_t size;
    FILETIME written;
    const bool replacing = Examine(native, attributes, size, written) && !IsFolder(attributes);
    if (replacing) {
      // A file this account may not write is not replaced through its
      // folder either (a read-only TOLVEN.INI in the Windows folder).
      HANDLE existing = OpenRetry(native, GENERIC_WRITE, OPEN_EXISTING);
      if (existing == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFile(" + path + ")");
      CloseHandle(existing);
    }
    const std::string temp = TempNameOf(path, tempMark_, static_cast<long>(GetCurrentProcessId()));
    const std::wstring nativeTemp = Wide(temp);
    HANDLE h = OpenRetry(nativeTemp, GENERIC_WRITE, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFile(" + temp + ")");
    Status st = WriteAll(h, contents, temp);
    if (st && !FlushFileBuffers(h)) st = LastWin32Error("FlushFileBuffers(" + temp + ")");
    if (!CloseHandle(h) && st) st = LastWin32Error("CloseHandle(" + temp + ")");
    // The replacement gets the access list of the file it replaces: a
    // TOLVEN.INI only administrators and the service may read stays so.
    if (st && replacing) st = CopyFileSecurity(native, nativeTemp);
    // The move replaces a symbolic link at the path rather than following it,
    // and with write-through it is on the disk when it returns.
    if (st && !MoveRetry(nativeTemp, native)) st = LastWin32Error("MoveFileEx(" + temp + ", " + path + ")");
    if (!st) DeleteFileW(nativeTemp.c_str());
    return st;
  }

  void SetTempMark(const std::string& mark) override { tempMark_ = mark; }

  Status CheckNotWorldReadable(const std::string& path) override { return CheckOnlyTrustedReaders(path); }

  Status CheckWritable(const std::string& path) override {
    const std::wstring native = Wide(path);
    DWORD attributes;
    int64_t size;
    FILETIME written;
    const bool examined = Examine(native, attributes, size, written);
    // A device ("\\.\COM3") has no attributes: opening it tells whether it is
    // there and free.
    if (!examined && GetLastError() != ERROR_INVALID_PARAMETER) {
      return LastWin32Error("GetFileAttributesEx(" + path + ")");
    }
    if (!examined || !IsFolder(attributes)) {
      HANDLE h = OpenRetry(native, GENERIC_WRITE, OPEN_EXISTING);
      if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFile(" + path + ")");
      CloseHandle(h);
      return Status::Ok();
    }
    // Access lists of shares and inherited rights say little in advance:
    // creating a file is the only sure test.
    std::string probe = path;
    if (!probe.empty() && probe.back() != '\\' && probe.back() != '/') probe += '\\';
    probe += ".tolvenpda-probe-" + std::to_string(GetCurrentProcessId());
    HANDLE h = CreateFileW(Wide(probe).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFile(" + probe + ")");
    CloseHandle(h);
    return Status::Ok();
  }

  Status CreateFolder(const std::string& path) override {
    std::wstring native = Wide(path);
    while (native.size() > 1 && IsSep(native.back()) && native[native.size() - 2] != L':') native.pop_back();
    if (native.empty()) return Win32Error("CreateDirectory(" + path + ")", ERROR_INVALID_NAME);
    // Parents first. The root ("C:", "\", "\\server\share") is never made.
    size_t first = 1;
    if (native.size() > 2 && IsSep(native[0]) && IsSep(native[1])) {
      const size_t server = native.find_first_of(L"\\/", 2);
      const size_t share = server == std::wstring::npos ? server : native.find_first_of(L"\\/", server + 1);
      first = share == std::wstring::npos ? native.size() : share;
    }
    for (size_t pos = first; pos <= native.size(); ++pos) {
      if (pos != native.size() && !IsSep(native[pos])) continue;
      const std::wstring part = native.substr(0, pos);
      if (part.back() == L':' || IsSep(part.back())) continue;
      if (CreateDirectoryW(part.c_str(), nullptr)) continue;
      const DWORD err = GetLastError();
      if (err == ERROR_ALREADY_EXISTS || FolderExists(Narrow(part))) continue;
      return Win32Error("CreateDirectory(" + path + ")", err);
    }
    // Something that is no folder stands in the way.
    if (!FolderExists(path)) return Win32Error("CreateDirectory(" + path + ")", ERROR_DIRECTORY);
    return Status::Ok();
  }

  Status StartProgram(const std::string& path, const std::vector<std::string>& args) override {
    // The program's own name is taken up to the closing quote without
    // escapes (a path cannot hold a quote); the system searches it as the
    // shell would when it has no folder.
    std::wstring line = L"\"" + Wide(path) + L"\"";
    for (const auto& a : args) {
      line += L' ';
      AppendQuoted(line, Wide(a));
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      return LastWin32Error("CreateProcess(" + path + ")");
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return Status::Ok();
  }

  std::string ProgramFolder() override {
    const std::wstring exe = ModuleFileName();
    const size_t sep = exe.find_last_of(L"\\/");
    if (sep == std::wstring::npos) return ".";
    return Narrow(exe.substr(0, sep));
  }

  std::vector<std::string> ListFiles(const std::string& folder) override {
    std::vector<std::string> names;
    std::wstring pattern = Wide(folder);
    if (!pattern.empty() && !IsSep(pattern.back())) pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      if (IsRegular(found.dwFileAttributes)) names.push_back(Narrow(found.cFileName));
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return names;
  }

 private:
  std::string tempMark_;

  Status WriteWith(const std::string& path, const std::string& contents, DWORD access, DWORD disposition) {
    HANDLE h = OpenRetry(Wide(path), access, disposition);
    if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFile(" + path + ")");
    Status st = WriteAll(h, contents, path);
    if (!CloseHandle(h) && st) st = LastWin32Error("CloseHandle(" + path + ")");
    return st;
  }
};

}  // namespace

std::string DefaultConfigFolder() {
  wchar_t buf[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "C:\\Windows";
  return Narrow(std::wstring(buf, n));
}

std::string EnvironmentText(const char* name) {
  const wchar_t* value = _wgetenv(Wide(name).c_str());
  return value ? Narrow(value) : "";
}

Env& DefaultEnv() {
  static Win32Env env;
  return env;
}

}  // namespace tolven::platform
