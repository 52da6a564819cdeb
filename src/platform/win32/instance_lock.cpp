// The single-instance guard as a named mutex: the system removes it with the
// last handle, so a crashed gateway never leaves a stale lock behind. The
// global namespace makes the service (session 0) and a gateway started by
// hand in a user's session see each other. Where the lock file can be
// written, it is held open for writing as well, which other computers see
// through a share (a station's lock beside a shared database file); the
// Windows folder, which an ordinary user may not write, has the mutex alone.
#include <cstdint>

#include "platform/instance_lock.h"
#include "platform/win32/system.h"

namespace tolven::platform {

namespace {

// Mutex names cannot hold a backslash and are at most MAX_PATH long. The path
// is made absolute and upper-cased first, since "c:\windows\x" and
// "C:\WINDOWS\x" are one file on Windows.
std::wstring MutexNameOf(const std::string& path) {
  const std::wstring given = Wide(path);
  std::wstring full(MAX_PATH, L'\0');
  DWORD n = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.resize(n);
    n = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  full = n > 0 && n < full.size() ? full.substr(0, n) : given;
  if (!full.empty()) CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  for (wchar_t& c : full) {
    if (c == L'\\') c = L'/';
  }
  constexpr size_t kKeep = 160;
  if (full.size() > kKeep) {
    // Long paths keep their end, where they differ, and a hash of the whole.
    uint64_t hash = 14695981039346656037ULL;
    for (wchar_t c : full) hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ULL;
    wchar_t hex[17];
    for (int i = 15; i >= 0; --i, hash >>= 4) hex[i] = L"0123456789ABCDEF"[hash & 15];
    hex[16] = L'\0';
    full = std::wstring(hex) + L"-" + full.substr(full.size() - kKeep);
  }
  return L"Global\\tolvenpda-" + full;
}

class Win32InstanceLock final : public InstanceLock {
 public:
  ~Win32InstanceLock() override { Release(); }

  Status Acquire(const std::string& path) override {
    busy_ = false;
    HANDLE h = CreateMutexW(nullptr, FALSE, MutexNameOf(path).c_str());
    const DWORD err = GetLastError();
    // A mutex made by a gateway under another account (the service) may
    // exist without this one being allowed to open it: taken all the same.
    if (!h) {
      busy_ = err == ERROR_ACCESS_DENIED;
      return Win32Error("CreateMutex(" + path + ")", err);
    }
    if (err == ERROR_ALREADY_EXISTS) {
      CloseHandle(h);
      busy_ = true;
      return Status::Error("CreateMutex(" + path + "): von einem anderen Prozess belegt", static_cast<int>(err));
    }
    // Readable by others (the process id helps an operator find the
    // gateway), writable by no one else.
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD fileErr = GetLastError();
      if (fileErr == ERROR_SHARING_VIOLATION || fileErr == ERROR_LOCK_VIOLATION) {
        CloseHandle(h);
        busy_ = true;
        return Win32Error("CreateFile(" + path + ")", fileErr);
      }
    } else {
      const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
      DWORD written = 0;
      if (SetEndOfFile(file)) ::WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    }
    Release();
    mutex_ = h;
    file_ = file;
    return Status::Ok();
  }

  bool busy() const override { return busy_; }

 private:
  void Release() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (mutex_) CloseHandle(mutex_);
    file_ = INVALID_HANDLE_VALUE;
    mutex_ = nullptr;
  }

  HANDLE mutex_ = nullptr;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  bool busy_ = false;
};

}  // namespace

std::unique_ptr<InstanceLock> MakeInstanceLock() { return std::make_unique<Win32InstanceLock>(); }
bool InstanceLockNeedsFile() { return false; }

}  // namespace tolven::platform
