#include <windows.h>

#include "service/service.h"
#include "util/handle.h"

namespace zyhok {

BOOL QueryDriverStatus(const wchar_t* service_name, SERVICE_STATUS* status) {
  if (service_name == nullptr || service_name[0] == L'\0' || status == nullptr) return FALSE;
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return FALSE;
  BOOL queried = FALSE;
  UniqueScHandle service(OpenServiceW(manager.get(), service_name, SERVICE_QUERY_STATUS));
  if (service) queried = QueryServiceStatus(service.get(), status);
  return queried ? TRUE : FALSE;
}

}  // namespace zyhok
