// Service control of the driver's service and INF-driven install and uninstall.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

#include "service/drivermanage.h"
#include "util/handle.h"
#include "util/log.h"
#include "util/text.h"
#include "util/thread_pointer.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"drivermanage";

constexpr DWORD kMinPollMs = 1000;
constexpr DWORD kMaxPollMs = 10000;
constexpr int kInstanceCount = 16;        // client instance numbers 0..15
constexpr size_t kMailslotUnits = 260;    // mailslot name buffer, NUL included
constexpr size_t kCommandLineUnits = 520;  // INF command line buffer, NUL included

// Access rights for each use of the service.
constexpr DWORD kQueryAccess = SERVICE_QUERY_STATUS;                 // 0x4
constexpr DWORD kStartAccess = SERVICE_QUERY_STATUS | SERVICE_START;  // 0x14
constexpr DWORD kStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;    // 0x24

// The scope of the batch that runs on this thread (null outside a batch).
ThreadPointer<ServiceManagerScope> g_batch_scope;

SC_HANDLE OpenManagerHandle() { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

// The manager for one operation: the batch's shared handle inside a ServiceManagerScope (opened by
// the first operation that needs it), otherwise a handle of the operation's own that closes with it.
// When the manager cannot be opened the object is empty and the last-error value holds the reason.
class Manager {
 public:
  Manager() {
    ServiceManagerScope* const scope = g_batch_scope.get();
    if (scope == nullptr) {
      own_.reset(OpenManagerHandle());
      handle_ = own_.get();
      return;
    }
    handle_ = scope->manager();
  }
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  UniqueScHandle own_;
  SC_HANDLE handle_ = nullptr;
};

// Writes a line to standard output without disturbing the thread's last-error value.
void PrintError(const char* function, DWORD error) {
  std::printf("ControlService failed! function:%s Error = %d \n", function, static_cast<int>(error));
  (void)std::fflush(stdout);
  SetLastError(error);
}

// "<section> 128 <path>", cut to what fits the fixed command-line buffer.
std::wstring HinfCommandLine(const wchar_t* section, const wchar_t* inf_path) {
  std::wstring command = section;
  command += L" 128 ";
  command += inf_path;
  if (command.size() > kCommandLineUnits - 1) command.resize(kCommandLineUnits - 1);
  return command;
}

// Shared steps of the INF install and uninstall. Returns FALSE (with the error line) when the path
// names nothing; otherwise runs the section and returns TRUE.
BOOL RunInfSection(const wchar_t* section, const wchar_t* inf_path, bool log_success) {
  if (IsEmpty(inf_path) || !FileExists(inf_path)) {
    ZYLOG(kLogInstall, kLevelError) << L"Incorrect driver INF filepath.";
    return FALSE;
  }
  const std::wstring command = HinfCommandLine(section, inf_path);
  InstallHinfSectionW(nullptr, nullptr, command.c_str(), 0);
  if (log_success) {
    ZYLOG(kLogInstall, kLevelInfo) << L"called InstallHinfSectionW() Success!, command line: "
                                   << command;
  }
  return TRUE;
}

}  // namespace

ServiceManagerScope::ServiceManagerScope() : outer_(g_batch_scope.get()) { g_batch_scope.set(this); }

ServiceManagerScope::~ServiceManagerScope() { g_batch_scope.set(outer_); }

SC_HANDLE ServiceManagerScope::manager() {
  if (!manager_) manager_.reset(OpenManagerHandle());
  return manager_.get();
}

void OpenBatchServiceManager() {
  ServiceManagerScope* const scope = g_batch_scope.get();
  if (scope == nullptr) return;
  const DWORD error = GetLastError();
  scope->manager();
  SetLastError(error);
}

DWORD ServicePollInterval(DWORD wait_hint) {
  const DWORD interval = wait_hint / 10;
  if (interval < kMinPollMs) return kMinPollMs;
  if (interval > kMaxPollMs) return kMaxPollMs;
  return interval;
}

BOOL WaitForServiceState(SC_HANDLE service, DWORD desired_state) {
  // Made for each wait, not kept in a function-local static: see ThreadPointer for what its guard costs.
  const ServiceWaitClock system_clock{[] { return GetTickCount(); }, [](DWORD ms) { Sleep(ms); }};
  return WaitForServiceState(service, desired_state, system_clock);
}

BOOL WaitForServiceState(SC_HANDLE service, DWORD desired_state, const ServiceWaitClock& clock) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> WaitForServiceState,timeout value: "
                                 << kServiceWaitTimeoutMs;
  const DWORD deadline = clock.now() + kServiceWaitTimeoutMs;
  BOOL reached = FALSE;
  SERVICE_STATUS status = {};
  if (QueryServiceStatus(service, &status)) {
    DWORD last_state = status.dwCurrentState;
    DWORD last_checkpoint = status.dwCheckPoint;
    for (bool first = true;; first = false) {
      if (status.dwCurrentState == desired_state) {
        reached = TRUE;
        break;
      }
      // Compared as a signed distance so that the tick counter wrapping does not end the wait early.
      if (static_cast<LONG>(clock.now() - deadline) > 0) {
        SetLastError(ERROR_TIMEOUT);
        break;
      }
      if (!first) {
        if (status.dwCurrentState != last_state) {
          last_state = status.dwCurrentState;
        } else if (status.dwCheckPoint < last_checkpoint) {
          break;  // the service went backwards: it will not get there
        }
        last_checkpoint = status.dwCheckPoint;
      }
      clock.sleep(ServicePollInterval(status.dwWaitHint));
      if (!QueryServiceStatus(service, &status)) break;
    }
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"<== WaitForServiceState,Is Service Ok: " << reached;
  return reached;
}

BOOL StartService(SC_HANDLE manager, const wchar_t* service_name) {
  UniqueScHandle service(OpenServiceW(manager, service_name, kStartAccess));
  if (!service) return FALSE;
  if (StartServiceW(service.get(), 0, nullptr)) {
    if (WaitForServiceState(service.get(), SERVICE_RUNNING)) return TRUE;
    ZYLOG(kLogInstall, kLevelWarning) << L"WaitForServiceState(SERVICE_RUNNING) timeout!";
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return FALSE;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_SERVICE_ALREADY_RUNNING) return TRUE;
  ZYLOG(kLogInstall, kLevelError) << L"ControlService failed! function:StartService, error code: "
                                  << error;
  PrintError("StartService", error);
  return FALSE;
}

BOOL StopDriver(SC_HANDLE manager, const wchar_t* service_name) {
  UniqueScHandle service(OpenServiceW(manager, service_name, kStopAccess));
  if (!service) return FALSE;
  SERVICE_STATUS status = {};
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    PrintError("StopDriver", GetLastError());
    return FALSE;
  }
  if (WaitForServiceState(service.get(), SERVICE_STOPPED)) return TRUE;
  SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
  return FALSE;
}

BOOL StartDriverService(const wchar_t* service_name) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> StartDriverService,Driver Name:" << service_name;
  if (IsEmpty(service_name)) return FALSE;
  BOOL result = FALSE;
  const Manager manager;
  if (manager) result = StartService(manager.get(), service_name);
  ZYLOG(kLogInstall, kLevelInfo) << L"<== StartDriverService,bResult: " << result;
  return result;
}

BOOL IsDriverInstanceRunning(const wchar_t* service_name) {
  if (service_name == nullptr) return FALSE;
  const std::wstring prefix = std::wstring(L"\\\\.\\mailslot\\") + service_name + L"_INSTANCE";
  int running = 0;
  // Every number is probed, so that the count covers all instances.
  for (int instance = 0; instance < kInstanceCount; ++instance) {
    std::wstring name = prefix + std::to_wstring(instance);
    if (name.size() > kMailslotUnits - 1) name.resize(kMailslotUnits - 1);
    UniqueFileHandle slot(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (slot) ++running;
  }
  return running > 0 ? TRUE : FALSE;
}

BOOL StopDriverService(const wchar_t* service_name) {
  if (IsEmpty(service_name)) return FALSE;
  if (IsDriverInstanceRunning(service_name)) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  const Manager manager;
  if (!manager) return FALSE;
  return StopDriver(manager.get(), service_name);
}

BOOL QueryDriverStatus(const wchar_t* service_name, SERVICE_STATUS* status) {
  if (IsEmpty(service_name) || status == nullptr) return FALSE;
  const Manager manager;
  if (!manager) return FALSE;
  BOOL queried = FALSE;
  UniqueScHandle service(OpenServiceW(manager.get(), service_name, kQueryAccess));
  if (service) queried = QueryServiceStatus(service.get(), status);
  return queried ? TRUE : FALSE;
}

BOOL IsDriverExist(const wchar_t* service_name) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> IsDriverExist,";
  BOOL exists = FALSE;
  if (service_name != nullptr) {
    ZYLOG(kLogInstall, kLevelInfo) << L"try to opens an existing service: " << service_name;
    const Manager manager;
    if (!manager) {
      const DWORD error = GetLastError();
      ZYLOG(kLogInstall, kLevelError) << L"OpenSCManager failed. error code: " << error;
    } else {
      UniqueScHandle service(OpenServiceW(manager.get(), service_name, kQueryAccess));
      if (service) {
        exists = TRUE;
      } else {
        const DWORD error = GetLastError();
        ZYLOG(kLogInstall, kLevelError) << L"OpenService failed. error code: " << error;
      }
    }
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"<== IsDriverExist,The service: " << service_name
                                 << (exists ? L" exists" : L" does not exist");
  return exists;
}

BOOL _InstallDriverByInf(const wchar_t* inf_path) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> _InstallDriverByInf,INF File Path: "
                                 << std::wstring(inf_path != nullptr ? inf_path : L"(NULL)");
  const BOOL done = RunInfSection(L"DefaultInstall", inf_path, true);
  ZYLOG(kLogInstall, kLevelInfo) << L"<== _InstallDriverByInf,";
  return done;
}

BOOL _UnInstallDriverByInf(const wchar_t* inf_path) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> _UnInstallDriverByInf,";
  const BOOL done = RunInfSection(L"DefaultUninstall", inf_path, false);
  ZYLOG(kLogInstall, kLevelInfo) << L"<== _UnInstallDriverByInf,";
  return done;
}

bool FileExists(const wchar_t* path) {
  return path != nullptr && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace zyhok
