// Service control of the driver's service and INF-driven install and uninstall.
//
// Every operation blocks the calling thread. After a failure the thread's last-error value holds the
// Windows reason, unchanged by the operation's own logging and handle closing.
#pragma once

#include <windows.h>

#include <functional>

#include "util/handle.h"

// windows.h maps StartService to StartServiceW; this subsystem names its own operation StartService,
// so the macro is dropped here and the Windows function is always called as StartServiceW.
#undef StartService

namespace zyhok {

// Within the life of a ServiceManagerScope on a thread, the operations below that open the local
// service manager (StartDriverService, StopDriverService, QueryDriverStatus, IsDriverExist) share one
// manager handle, opened with SC_MANAGER_ALL_ACCESS by OpenBatchServiceManager or by the first of them
// and closed when the scope ends; an open that failed is tried again by the next operation that needs
// the manager. Outside a scope each operation opens and closes a manager of its own. The plug-in's
// batch export holds one scope for its batch: each manager open is a connection to the service control
// manager, which costs far more than the calls made through it, and a batch whose records name no
// action makes none. Scopes nest; an inner scope shares nothing with the outer one.
class ServiceManagerScope {
 public:
  ServiceManagerScope();
  ~ServiceManagerScope();
  ServiceManagerScope(const ServiceManagerScope&) = delete;
  ServiceManagerScope& operator=(const ServiceManagerScope&) = delete;

  // The shared handle, opened now when the scope holds none yet; null (with the reason as the
  // last-error value) when the manager cannot be opened.
  SC_HANDLE manager();

 private:
  ServiceManagerScope* outer_;
  UniqueScHandle manager_;
};

// Opens the shared handle of the scope on this thread now, if there is one and it holds none, keeping
// the last-error value. Each action calls it once its record is taken (an update before it lifts the
// access restriction): the calls that open managers of their own inside the system (the access
// restriction's security calls, SetupAPI's INF sections) are then handed the batch's connection instead
// of making one each.
void OpenBatchServiceManager();

// Overall time-out of a service wait, in milliseconds.
inline constexpr DWORD kServiceWaitTimeoutMs = 30000;

// Poll interval of a service wait for a reported wait hint: a tenth of the hint, at least 1000 ms
// and at most 10000 ms.
DWORD ServicePollInterval(DWORD wait_hint);

// The clock and the sleep a service wait uses; the plain overload uses GetTickCount and Sleep.
struct ServiceWaitClock {
  std::function<DWORD()> now;
  std::function<void(DWORD)> sleep;
};

// Polls the service (opened with SERVICE_QUERY_STATUS) until it reports `desired_state`. Gives up
// with ERROR_TIMEOUT once more than 30000 ms have passed, and at once (no error set) when the
// checkpoint drops while the state stays the same, or when a status query fails. A service already
// in the state costs a single query and no sleep.
BOOL WaitForServiceState(SC_HANDLE service, DWORD desired_state);
BOOL WaitForServiceState(SC_HANDLE service, DWORD desired_state, const ServiceWaitClock& clock);

// Starts the service through `manager` and waits until it runs. A service that already runs is
// success without a wait. A failed wait gives ERROR_SERVICE_REQUEST_TIMEOUT (1053); a refused start
// leaves the refusal's error.
BOOL StartService(SC_HANDLE manager, const wchar_t* service_name);

// Sends the stop control and waits until the service stopped. A failed wait gives
// ERROR_SERVICE_REQUEST_TIMEOUT (1053); a refused control leaves the refusal's error.
BOOL StopDriver(SC_HANDLE manager, const wchar_t* service_name);

// Opens the local service manager and starts the service (StartService). Null or empty name: FALSE.
BOOL StartDriverService(const wchar_t* service_name);

// Opens the local service manager and stops the service (StopDriver), unless a client instance of
// the driver runs (IsDriverInstanceRunning): then no control is sent and the result is FALSE with
// ERROR_SERVICE_ALREADY_RUNNING (1056). Null or empty name: FALSE. Nothing is logged.
BOOL StopDriverService(const wchar_t* service_name);

// TRUE when any of the mailslots "\\.\mailslot\<name>_INSTANCE<n>", n = 0..15, exists.
BOOL IsDriverInstanceRunning(const wchar_t* service_name);

// Fills `status` with the service's current status. An empty or null name, or a null `status`, gives
// FALSE. Opens the manager with SC_MANAGER_ALL_ACCESS and the service with SERVICE_QUERY_STATUS.
// Nothing is logged.
BOOL QueryDriverStatus(const wchar_t* service_name, SERVICE_STATUS* status);

// TRUE when the service can be opened with SERVICE_QUERY_STATUS. Null name: FALSE.
BOOL IsDriverExist(const wchar_t* service_name);

// Run the INF's DefaultInstall or DefaultUninstall section through InstallHinfSectionW (mode 128).
// A null or empty path, or one that does not exist, gives FALSE and runs nothing. Otherwise the
// result is TRUE: the setup interface reports no failure, so callers check what the section did.
// The command line is cut to 519 characters.
BOOL _InstallDriverByInf(const wchar_t* inf_path);
BOOL _UnInstallDriverByInf(const wchar_t* inf_path);

// True when GetFileAttributesW finds `path` (a file or a folder). Null path: false.
bool FileExists(const wchar_t* path);

}  // namespace zyhok
