// The sharing values under the driver's service key: "PermCount" (how many product installations
// hold the driver), "InstalledByZefa" (whether this platform holds a share) and "DeleteFlag" (the
// service is marked for deletion at the next reboot, set by others).
#include <windows.h>

#include <string>

#include "plugin_interface.h"
#include "lifecycle/ownership_flags.h"
#include "util/log.h"
#include "util/registry.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
}  // namespace

int _CheckDeleteFlagRegistry(const wchar_t* service_name) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> _CheckDeleteFlagRegistry,";
  int marked = 0;
  RegKey key;
  const std::wstring path = std::wstring(kServicesKey) + (service_name ? service_name : L"");
  if (service_name != nullptr && key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS) == ERROR_SUCCESS) {
    DWORD flag = 0;
    if (key.QueryValue(flag, L"DeleteFlag") == ERROR_SUCCESS && flag != 0) {
      marked = 1;
      ZYLOG(kLogInstall, kLevelWarning) << L"The DeleteFlag indicates the service: " << service_name
                                        << L" was marked for deletion on reboot";
    }
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"<== _CheckDeleteFlagRegistry," << L"bRet = " << marked;
  key.Close();
  return marked;
}

bool ModifyZyhokRegistry() {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> ModifyZyhokRegistry,";
  bool result = true;
  const std::wstring path = kServiceKey;
  RegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS) != ERROR_SUCCESS) {
    ZYLOG(kLogInstall, kLevelError) << L"fail to open registry: " << path;
    result = false;
  } else {
    DWORD count = 0;
    if (key.QueryValue(count, L"PermCount") == ERROR_SUCCESS) {
      key.SetValue(count + 1, L"PermCount");
    } else {
      key.SetValue(static_cast<DWORD>(1), L"PermCount");
      ZYLOG(kLogInstall, kLevelWarning) << L"fail to query registry: " << path << L"\\" << L"PermCount";
    }
    if (key.DeleteValue(L"DeleteFlag") != ERROR_SUCCESS) {
      ZYLOG(kLogInstall, kLevelWarning) << L"fail to delete registry: " << path << L"\\" << L"DeleteFlag";
    }
  }
  // Written whether or not the key opened: the write creates a missing key.
  if (!WriteRegDword(1, path, L"InstalledByZefa")) result = false;
  ZYLOG(kLogInstall, kLevelInfo) << L"<== ModifyZyhokRegistry," << L"bRet = " << static_cast<uint32_t>(result);
  key.Close();
  return result;
}

}  // namespace zyhok
