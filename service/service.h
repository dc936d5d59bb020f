// Service control of the driver's service and INF-driven install and uninstall.
//
// Every operation blocks the calling thread. After a failure the thread's last-error value holds the
// Windows reason, unchanged by the operation's own logging and handle closing.
#pragma once

#include <windows.h>

namespace zyhok {

// Fills `status` with the service's current status. An empty or null name, or a null `status`, gives
// FALSE. Opens the manager with SC_MANAGER_ALL_ACCESS and the service with SERVICE_QUERY_STATUS.
// Nothing is logged.
BOOL QueryDriverStatus(const wchar_t* service_name, SERVICE_STATUS* status);

}  // namespace zyhok
