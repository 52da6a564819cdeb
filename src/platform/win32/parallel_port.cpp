// Parallel ports as devices ("LPT1"); a plain file named in the configuration
// works as well (it is created and holds the last printout). Writes are
// overlapped: while the device takes nothing the job pauses through the Env,
// so a printer out of paper costs only its own printout.
#include <algorithm>
#include <cstdint>

#include "common/text.h"
#include "platform/env.h"
#include "platform/parallel_port.h"
#include "platform/win32/system.h"

namespace tolven::platform {

namespace {

// "LPT1", "COM2:", "PRN", "\\.\anything": a device, which must exist.
bool IsDeviceName(const std::string& device) {
  if (StartsWith(device, "\\\\.\\")) return true;
  std::string name = ToUpper(device);
  if (!name.empty() && name.back() == ':') name.pop_back();
  if (name == "PRN") return true;
  return name.size() > 3 && (StartsWith(name, "LPT") || StartsWith(name, "COM")) &&
         StrictWholeNumber(name.substr(3)).has_value();
}

class Win32ParallelPort final : public ParallelPort {
 public:
  explicit Win32ParallelPort(Env& waits) : waits_(waits) {}
  ~Win32ParallelPort() override { Close(); }

  Status Open(const std::string& device) override {
    Close();
    // A missing device (printer unplugged) is an error, never a new plain file.
    const DWORD disposition = IsDeviceName(device) ? OPEN_EXISTING : CREATE_ALWAYS;
    HANDLE h = CreateFileW(Wide(device).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFileW(" + device + ")");
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) {
      Status st = LastWin32Error("CreateEventW(" + device + ")");
      CloseHandle(h);
      return st;
    }
    handle_ = h;
    event_ = done;
    offset_ = 0;
    device_ = device;
    return Status::Ok();
  }

  Status Write(const std::string& bytes) override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return Status::Error("WriteFile(" + device_ + "): port not open", ERROR_INVALID_HANDLE);
    size_t done = 0;
    int64_t lastProgress = waits_.MonotonicMs();
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 64 * 1024));
      DWORD written = 0;
      if (Status st = WriteChunk(bytes.data() + done, chunk, lastProgress, written); !st) return st;
      if (written > 0) {
        done += written;
        offset_ += written;
        lastProgress = waits_.MonotonicMs();
        continue;
      }
      // A device that takes nothing without an error is asked again after a pause, up to the limit.
      if (waits_.MonotonicMs() - lastProgress >= kStallMs)
        return Win32Error("WriteFile(" + device_ + ")", ERROR_TIMEOUT);
      waits_.SleepMs(kWaitSliceMs);
    }
    return Status::Ok();
  }

  void Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (event_) CloseHandle(event_);
    handle_ = INVALID_HANDLE_VALUE;
    event_ = nullptr;
  }

 private:
  static constexpr int kStallMs = 30000;  // as long as a serial printer may stall
  static constexpr int kWaitSliceMs = 10;

  // One overlapped write, waited for in short pauses; cancelled when the
  // device took nothing for the stall limit (what it took by then counts).
  Status WriteChunk(const char* data, DWORD size, int64_t lastProgress, DWORD& written) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset_ & 0xFFFFFFFFu);  // files need the position; devices ignore it
    ov.OffsetHigh = static_cast<DWORD>(offset_ >> 32);
    ov.hEvent = event_;
    (void)ResetEvent(event_);
    if (!::WriteFile(handle_, data, size, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
      return LastWin32Error("WriteFile(" + device_ + ")");
    while (!GetOverlappedResult(handle_, &ov, &written, FALSE)) {
      const DWORD err = GetLastError();
      if (err != ERROR_IO_INCOMPLETE) return Win32Error("WriteFile(" + device_ + ")", err);
      if (waits_.MonotonicMs() - lastProgress >= kStallMs) {
        (void)CancelIoEx(handle_, &ov);
        // The cancelled write ends at once; `ov` and the bytes must outlive it.
        if (!GetOverlappedResult(handle_, &ov, &written, TRUE) || written == 0)
          return Win32Error("WriteFile(" + device_ + ")", ERROR_TIMEOUT);
        return Status::Ok();
      }
      waits_.SleepMs(kWaitSliceMs);
    }
    return Status::Ok();
  }

  Env& waits_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = nullptr;
  uint64_t offset_ = 0;
  std::string device_;
};

}  // namespace

std::unique_ptr<ParallelPort> MakeParallelPort(Env& waits) { return std::make_unique<Win32ParallelPort>(waits); }

}  // namespace tolven::platform
