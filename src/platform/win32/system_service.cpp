// The gateway as a Windows service. The service manager starts the program
// with --service; the dispatcher then runs ServiceMain on a thread of its
// own, and that thread runs the whole gateway, so the loop and its fibers
// stay on one thread as they do in a console.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "common/cp1252.h"
#include "platform/signals.h"
#include "platform/system_service.h"
#include "platform/win32/file_security.h"
#include "platform/win32/system.h"

namespace tolven::platform {

namespace {

const wchar_t kServiceName[] = L"tolvenpda";
const wchar_t kDisplayName[] = L"TOLVENPDA Orderterminal-Gateway";
const wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tolvenpda";
// Start-up may wait for the database server; the manager should not give up on it early.
constexpr DWORD kStartWaitHintMs = 60000;
constexpr DWORD kStopWaitHintMs = 30000;

std::atomic<bool> g_asService{false};
const std::function<int()>* g_body = nullptr;
const std::vector<int>* g_finalStatuses = nullptr;
std::atomic<int> g_exitCode{0};

std::mutex g_statusMutex;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};

// Under g_statusMutex.
void Report(DWORD state, DWORD waitHint = 0) {
  if (!g_statusHandle) return;
  // Once stopping, the service never claims to run again.
  if (state == SERVICE_RUNNING && g_status.dwCurrentState == SERVICE_STOP_PENDING) return;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_status.dwCheckPoint = pending && state == g_status.dwCurrentState ? g_status.dwCheckPoint + 1 : 0;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwWaitHint = waitHint;
  // A shutdown waits for the gateway as a stop does (preshutdown: the
  // system's plain shutdown notice leaves only a few seconds).
  g_status.dwControlsAccepted = state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
  SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN: {
      RequestStop();
      std::lock_guard<std::mutex> lock(g_statusMutex);
      Report(SERVICE_STOP_PENDING, kStopWaitHintMs);
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, &OnControl, nullptr);
    if (!g_statusHandle) {
      g_exitCode = 1;
      return;
    }
    Report(SERVICE_START_PENDING, kStartWaitHintMs);
  }
  g_exitCode = (*g_body)();
  StopFinished();
  std::lock_guard<std::mutex> lock(g_statusMutex);
  const bool final =
      std::find(g_finalStatuses->begin(), g_finalStatuses->end(), g_exitCode.load()) != g_finalStatuses->end();
  // A failure makes the service manager start the gateway again after a
  // while; one that needs a person (its message is in the event log) ends it.
  if (g_exitCode != 0 && !final) {
    g_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    g_status.dwServiceSpecificExitCode = static_cast<DWORD>(g_exitCode.load());
  }
  Report(SERVICE_STOPPED);
}

std::wstring ExePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return buf.substr(0, n);
    buf.resize(buf.size() * 2);
  }
}

struct ScHandle {
  SC_HANDLE h = nullptr;
  ~ScHandle() {
    if (h) CloseServiceHandle(h);
  }
};

Status SetRegistryText(HKEY key, const wchar_t* name, DWORD type, const std::wstring& value) {
  const LSTATUS rc = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return rc == ERROR_SUCCESS ? Status::Ok() : Win32Error("RegSetValueEx", static_cast<unsigned long>(rc));
}

// The event log shows our texts through a message file whose every message
// is just the text given ("%1"); the one of the .NET runtime is on every
// current Windows.
Status RegisterEventSource() {
  HKEY key;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventLogKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return Win32Error("RegCreateKeyEx(EventLog)", static_cast<unsigned long>(rc));
  Status st = SetRegistryText(key, L"EventMessageFile", REG_EXPAND_SZ,
                              L"%SystemRoot%\\Microsoft.NET\\Framework64\\v4.0.30319\\EventLogMessages.dll");
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  rc = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  if (st && rc != ERROR_SUCCESS) st = Win32Error("RegSetValueEx(TypesSupported)", static_cast<unsigned long>(rc));
  RegCloseKey(key);
  return st;
}

}  // namespace

bool HasServiceOptions() { return true; }

bool RunningAsService() { return g_asService.load(); }

int RunAsService(const std::function<int()>& body, const std::vector<int>& finalStatuses) {
  g_body = &body;
  g_finalStatuses = &finalStatuses;
  g_asService.store(true);
  wchar_t name[] = L"tolvenpda";
  SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    g_asService.store(false);
    const Status st = LastWin32Error("StartServiceCtrlDispatcher");
    std::fprintf(stderr, "%s\n",
                 Cp1252ToUtf8("--service ist nur für den Start durch die Dienstverwaltung: " + st.message()).c_str());
    return 1;
  }
  g_asService.store(false);
  return g_exitCode;
}

Status InstallService() {
  const std::wstring exe = ExePath();
  if (exe.empty()) return LastWin32Error("GetModuleFileName");
  ScHandle scm{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE)};
  if (!scm.h) return LastWin32Error("OpenSCManager");
  const std::wstring command = L"\"" + exe + L"\" --service";
  ScHandle service{CreateServiceW(scm.h, kServiceName, kDisplayName, SERVICE_CHANGE_CONFIG | SERVICE_START,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                  nullptr, nullptr, nullptr, nullptr, nullptr)};
  if (!service.h) return LastWin32Error("CreateService(tolvenpda)");
  std::wstring text = Wide("Holt Bestellungen und Anfragen der Orderterminals und bucht sie in die Kassendatenbank.");
  SERVICE_DESCRIPTIONW description{text.data()};
  ChangeServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, &description);
  // After the other automatic services, so that a database server on this
  // computer is usually up; a start that fails all the same, or a crash, is
  // tried again every 10 seconds.
  SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
  ChangeServiceConfig2W(service.h, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
  SC_ACTION restart[] = {{SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 10000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 3600;
  failure.cActions = 3;
  failure.lpsaActions = restart;
  ChangeServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  SERVICE_FAILURE_ACTIONS_FLAG onExitStatus{TRUE};
  ChangeServiceConfig2W(service.h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitStatus);
  return RegisterEventSource();
}

Status RemoveService() {
  ScHandle scm{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
  if (!scm.h) return LastWin32Error("OpenSCManager");
  ScHandle service{OpenServiceW(scm.h, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)};
  if (!service.h) return LastWin32Error("OpenService(tolvenpda)");
  // A running gateway is asked to stop first and given its time to finish the pass.
  SERVICE_STATUS status{};
  if (ControlService(service.h, SERVICE_CONTROL_STOP, &status)) {
    for (int i = 0; i < 60 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
      Sleep(500);
      if (!QueryServiceStatus(service.h, &status)) break;
    }
  }
  if (!DeleteService(service.h)) return LastWin32Error("DeleteService(tolvenpda)");
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventLogKey);
  return Status::Ok();
}

std::wstring ServiceAccount() {
  ScHandle scm{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)};
  if (!scm.h) return {};
  ScHandle service{OpenServiceW(scm.h, kServiceName, SERVICE_QUERY_CONFIG)};
  if (!service.h) return {};
  DWORD needed = 0;
  QueryServiceConfigW(service.h, nullptr, 0, &needed);
  std::vector<BYTE> buf(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  if (needed == 0 || !QueryServiceConfigW(service.h, config, needed, &needed)) return {};
  return config->lpServiceStartName ? config->lpServiceStartName : L"";
}

void ReportServicePhase(ServicePhase phase) {
  if (!RunningAsService()) return;
  std::lock_guard<std::mutex> lock(g_statusMutex);
  Report(phase == ServicePhase::Running ? SERVICE_RUNNING : SERVICE_STOP_PENDING,
         phase == ServicePhase::Running ? 0 : kStopWaitHintMs);
}

}  // namespace tolven::platform

namespace tolven::platform {

// The Service Control Manager confines no folders.
std::vector<std::string> ServiceUnitFolders() { return {}; }
std::vector<std::string> ServiceWritableFolders(const std::vector<std::string>&) { return {}; }
bool StartedByServiceManager() { return RunningAsService(); }

}  // namespace tolven::platform
