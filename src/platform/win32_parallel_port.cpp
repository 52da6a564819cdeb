// Parallel ports as devices ("LPT1"); a plain file named in the configuration
// works as well (it is created and holds the last printout).
#include <algorithm>

#include "common/text.h"
#include "platform/parallel_port.h"
#include "platform/win32_system.h"

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
  ~Win32ParallelPort() override { Close(); }

  Status Open(const std::string& device) override {
    Close();
    // A missing device (printer unplugged) is an error, never a new plain file.
    const DWORD disposition = IsDeviceName(device) ? OPEN_EXISTING : CREATE_ALWAYS;
    HANDLE h = CreateFileW(Wide(device).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastWin32Error("CreateFileW(" + device + ")");
    handle_ = h;
    device_ = device;
    return Status::Ok();
  }

  Status Write(const std::string& bytes) override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return Status::Error("WriteFile(" + device_ + "): port not open", ERROR_INVALID_HANDLE);
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 64 * 1024));
      DWORD written = 0;
      if (!::WriteFile(handle_, bytes.data() + done, chunk, &written, nullptr))
        return LastWin32Error("WriteFile(" + device_ + ")");
      // A device that takes nothing without an error would otherwise be asked forever.
      if (written == 0) return Win32Error("WriteFile(" + device_ + ")", ERROR_WRITE_FAULT);
      done += written;
    }
    return Status::Ok();
  }

  void Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string device_;
};

}  // namespace

std::unique_ptr<ParallelPort> MakeParallelPort() { return std::make_unique<Win32ParallelPort>(); }

}  // namespace tolven::platform
