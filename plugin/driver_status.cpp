// The driver status report: service state and driver file version, filled into DrvStatusInfo.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "plugin_interface.h"
#include "plugin/driver_status.h"
#include "service/drivermanage.h"
#include "util/log.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
constexpr DWORD kPathUnits = MAX_PATH;  // 260 units including the NUL
constexpr char kUnknownVersion[] = "1.0";
}  // namespace

BOOL GetFileVersionNumbers(const wchar_t* path, uint32_t* major, uint32_t* minor, uint32_t* build) {
  if (path == nullptr || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return FALSE;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return FALSE;
  std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[size]);
  if (!data) return FALSE;
  if (!GetFileVersionInfoW(path, 0, size, data.get())) return FALSE;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_len = 0;
  if (!VerQueryValueW(data.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_len) ||
      fixed == nullptr || fixed_len < sizeof(VS_FIXEDFILEINFO)) {
    return FALSE;
  }
  if (major) *major = HIWORD(fixed->dwFileVersionMS);
  if (minor) *minor = LOWORD(fixed->dwFileVersionMS);
  if (build) *build = LOWORD(fixed->dwFileVersionLS);
  return TRUE;
}

BOOL QueryDriverVersion(const wchar_t* name, DrvVersion* out) {
  if (name == nullptr || name[0] == L'\0' || out == nullptr) return FALSE;
  wchar_t system_dir[kPathUnits] = {};
  UINT len = GetSystemDirectoryW(system_dir, kPathUnits);
  if (len == 0 || len >= kPathUnits) {
    DWORD expanded = ExpandEnvironmentStringsW(L"%windir%\\system32\\", system_dir, kPathUnits);
    if (expanded == 0 || expanded > kPathUnits) system_dir[0] = L'\0';
  }
  std::wstring path = system_dir;
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  path += L"drivers\\";
  path += name;
  path += L".sys";

  ZYLOG(kLogInstall, kLevelInfo) << L"Query Version of driver: " << path;
  uint32_t major = 0, minor = 0, build = 0;
  bool read = false;
  try {
    read = GetFileVersionNumbers(path.c_str(), &major, &minor, &build) != FALSE;
  } catch (...) {
    // version.dll or one of its functions could not be loaded (logged by the loader's hook): a version
    // that cannot be read, so that the status still reaches the host's callback.
  }
  if (!read) {
    ZYLOG(kLogInstall, kLevelError) << L"Query Version failed, driver: " << path;
    return FALSE;
  }
  out->major = major;
  out->minor = minor;
  out->reserved = 0;
  out->build = build;
  return TRUE;
}

void FillDriverStatus(DrvStatusInfo* info) {
  info->driver_id = kDriverId;
  info->flag = 1;
  SERVICE_STATUS status = {};
  if (QueryDriverStatus(kDriverName, &status)) {
    ZYLOG(kLogInstall, kLevelInfo) << L"The current state of " << kDriverName << L" is "
                                   << status.dwCurrentState;
    const bool running = status.dwCurrentState == SERVICE_RUNNING;
    DrvVersion version = {};
    if (QueryDriverVersion(kDriverName, &version)) {
      (void)std::snprintf(info->version, sizeof(info->version), "%u.%u.%u", version.major, version.minor,
                          version.build);
    } else {
      ZYLOG(kLogInstall, kLevelWarning) << L"Query driver " << kDriverName << L" version failed!";
      std::memcpy(info->version, kUnknownVersion, sizeof(kUnknownVersion));
    }
    info->status = running ? kStatusRunning : kStatusNotRunning;
  } else {
    ZYLOG(kLogInstall, kLevelWarning) << L"Query driver " << kDriverName << L" status failed!";
    std::memcpy(info->version, kUnknownVersion, sizeof(kUnknownVersion));
    info->status = kStatusUnknown;
  }
}

}  // namespace zyhok
