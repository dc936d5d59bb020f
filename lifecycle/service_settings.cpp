// Settings under the driver's service key, and the registered component paths read back from it.
#include <windows.h>

#include <string>

#include "plugin_interface.h"
#include "lifecycle/action_journal.h"
#include "lifecycle/service_settings.h"
#include "staging/Utilities.h"
#include "util/registry.h"

namespace zyhok {

int SetDriverServiceSettings() {
  const std::wstring key = kServiceKey;

  // The device that the system directory's drive maps to: the first target QueryDosDeviceW reports.
  std::wstring disk_device;
  const std::wstring system_dir = GetSystemDirPath();
  if (system_dir.size() >= 2) {
    const std::wstring drive = system_dir.substr(0, 2);
    wchar_t target[MAX_PATH] = {};
    if (QueryDosDeviceW(drive.c_str(), target, MAX_PATH) != 0) {
      target[MAX_PATH - 1] = L'\0';
      disk_device = target;
    }
  }

  // Each write is made whatever the earlier ones gave; none is reported.
  WriteRegString(disk_device, key, L"ZYHOKSystemDiskName");
  WriteRegDword(0xFFFFFFFF, key, L"BootStatus");
  WriteRegDword(1, key, L"GHSwitch");
  WriteRegDword(0, key, L"HokFlags");
  return 1;
}

namespace {

// Reads one registered path; a path that exists but cannot be read leaves its copy unknown to this action,
// so the next one is told to look at the staging trees again.
void ReadComponentPath(const std::wstring& key_path, const wchar_t* name, std::wstring& path) {
  RegKey key;
  LONG error = key.Open(HKEY_LOCAL_MACHINE, key_path.c_str(), KEY_READ);
  if (error == ERROR_SUCCESS) error = key.QueryValue(path, name);
  if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) ActionJournal::NoteRepair();
}

bool ReadComponentPaths(const wchar_t* engine_value, const wchar_t* addon_suffix,
                        std::wstring& engine_path, std::wstring& addon_path) {
  const std::wstring key = kServiceKey;
  ReadComponentPath(key, engine_value, engine_path);
  ReadComponentPath(key + addon_suffix, L"path", addon_path);
  return !engine_path.empty() && !addon_path.empty();
}

}  // namespace

bool GetRegisteredComponentPaths(std::wstring& engine_path, std::wstring& addon_path) {
  return ReadComponentPaths(L"ZYHOKMonDllName", L"\\AddOn\\ZyHkEvt", engine_path, addon_path);
}

bool GetRegisteredComponentPaths64(std::wstring& engine_path, std::wstring& addon_path) {
  return ReadComponentPaths(L"ZYHOKMonDll64Name", L"\\AddOn\\ZyHkEvt64", engine_path, addon_path);
}

}  // namespace zyhok
