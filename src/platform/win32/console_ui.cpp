// The console on Windows. A console window gets the text as UTF-16, so every
// character shows whatever the console's code page; a file or pipe gets the
// same UTF-8 lines with "\n" as on Linux (the CRT's text mode would add CRs).
// Running as a service there is no console: the log goes to daily files in
// the installation's LOG folder, and errors and every message box to the
// event log as well.
#include <cstdio>
#include <memory>
#include <mutex>

#include "common/cp1252.h"
#include "common/text.h"
#include "platform/daily_log.h"
#include "platform/env.h"
#include "platform/system_service.h"
#include "platform/ui.h"
#include "platform/win32/system.h"

namespace tolven::platform {

namespace {

bool IsConsole(HANDLE h) {
  DWORD mode;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

void Emit(DWORD which, FILE* crtStream, const std::string& text) {
  // What the program printed through the CRT comes first.
  std::fflush(crtStream);
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  if (IsConsole(h)) {
    const std::wstring wide = Wide(text);
    DWORD written = 0;
    WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  const std::string utf8 = Cp1252ToUtf8(text);
  size_t done = 0;
  while (done < utf8.size()) {
    DWORD n = 0;
    if (!::WriteFile(h, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &n, nullptr) || n == 0) return;
    done += n;
  }
}

class EventLog {
 public:
  ~EventLog() {
    if (source_) DeregisterEventSource(source_);
  }
  void Report(WORD type, const std::string& text) {
    if (!source_) source_ = RegisterEventSourceW(nullptr, L"tolvenpda");
    if (!source_) return;
    const std::wstring wide = Wide(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(source_, type, 0, 0, nullptr, 1, 0, strings, nullptr);
  }

 private:
  HANDLE source_ = nullptr;
};

class Win32ConsoleUi final : public Ui {
 public:
  void Status(const std::string& text) override { Emit(STD_OUTPUT_HANDLE, stdout, "[Start] " + text + "\n"); }

  void LogLine(const std::string& line) override {
    Emit(STD_OUTPUT_HANDLE, stdout, line + "\n");
    if (!RunningAsService()) return;
    ServiceLog().Add(line);
    if (line.find("FEHLER") != std::string::npos) eventLog_.Report(EVENTLOG_ERROR_TYPE, line);
  }

  void MessageBox(const std::string& text, MsgKind kind, const std::string& title) override {
    const std::string t = title.empty() ? kAppTitle : title;
    const std::string body = ReplaceAll(ReplaceAll(text, "\r\n", "\n"), "\n", "\n    ");
    const std::string shown = std::string("[") + MsgKindName(kind) + "] " + t + ": " + body;
    Emit(STD_ERROR_HANDLE, stderr, shown + "\n");
    if (!RunningAsService()) return;
    ServiceLog().Add(shown);
    const WORD type = kind == MsgKind::Critical      ? EVENTLOG_ERROR_TYPE
                      : kind == MsgKind::Exclamation ? EVENTLOG_WARNING_TYPE
                                                     : EVENTLOG_INFORMATION_TYPE;
    eventLog_.Report(type, t + ": " + text);
  }

  void UseLogFolder(const std::string& logFolder) override {
    if (RunningAsService()) ServiceLog().SetFolder(logFolder);
  }

  std::string InputBox(const std::string& prompt, const std::string& title) override {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!IsConsole(in)) return "";
    Emit(STD_ERROR_HANDLE, stderr, title + "\n" + prompt + ": ");
    std::wstring answer;
    wchar_t buf[256];
    for (;;) {
      DWORD n = 0;
      if (!ReadConsoleW(in, buf, 256, &n, nullptr) || n == 0) return "";
      answer.append(buf, n);
      if (answer.back() == L'\n') break;
    }
    while (!answer.empty() && (answer.back() == L'\n' || answer.back() == L'\r')) answer.pop_back();
    return Narrow(answer);
  }

 private:
  DailyLog& ServiceLog() {
    std::call_once(serviceLogMade_, [this] { serviceLog_ = std::make_unique<DailyLog>(DefaultEnv()); });
    return *serviceLog_;
  }

  EventLog eventLog_;
  std::once_flag serviceLogMade_;
  std::unique_ptr<DailyLog> serviceLog_;
};

}  // namespace

Ui& ConsoleUi() {
  static Win32ConsoleUi ui;
  return ui;
}

}  // namespace tolven::platform
