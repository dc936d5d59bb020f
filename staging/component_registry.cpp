// Registry values that point the driver at the staged monitor engine and event add-on files, in
// drive-letter form and in the kernel's device form.
#include <windows.h>

#include <string>

#include "lifecycle/lifecycle.h"
#include "staging/staging.h"
#include "util/log.h"
#include "util/registry.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

int RegisterEngine(const wchar_t* folder, const wchar_t* file_name, const wchar_t* value_name,
                   const wchar_t* device_value_name) {
  const std::wstring key = DriverServiceKeyPath();
  std::wstring file = folder ? folder : L"";
  if (file.empty() || (file.back() != L'\\' && file.back() != L'/')) file += L'\\';
  file += file_name;
  const std::wstring device = ConvertToDevicePath(file.c_str());
  WriteRegString(file, key, value_name);
  WriteRegString(device, key, device_value_name);
  return 1;
}

int RegisterAddOn(const wchar_t* folder, const std::wstring& version, const wchar_t* key_suffix,
                  const wchar_t* file_name) {
  const std::wstring key_path = L"SYSTEM\\CurrentControlSet\\Services\\" + std::wstring(key_suffix);
  RegKey key;
  const LONG opened = key.Open(HKEY_LOCAL_MACHINE, key_path.c_str(), KEY_ALL_ACCESS);
  if (opened == ERROR_FILE_NOT_FOUND &&
      key.Create(HKEY_LOCAL_MACHINE, key_path.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                 KEY_ALL_ACCESS) != ERROR_SUCCESS) {
    ZYLOG(kLogInstall, kLevelInfo) << L"Create registry was failed: " << key_path;
    key.Close();
    return 0;
  }
  // Any other open failure is passed over: the writes below open or create the key themselves.
  const std::wstring base = folder ? folder : L"";
  const std::wstring device_folder = ConvertToDevicePath(base.c_str());
  WriteRegString(base + L"\\" + file_name, key_path, L"path");
  WriteRegString(device_folder + L"\\" + file_name, key_path, L"devpath");
  WriteRegString(version, key_path, L"version");
  key.Close();
  return 1;
}

}  // namespace

int RegisterMonitorEngine64(const wchar_t* folder) {
  return RegisterEngine(folder, L"zymon64.dll", L"ZYHOKMonDll64Name", L"ZYHOKMonDll64NameDev");
}

int RegisterMonitorEngine(const wchar_t* folder) {
  return RegisterEngine(folder, L"zymon.dll", L"ZYHOKMonDllName", L"ZYHOKMonDllNameDev");
}

int RegisterEventAddOn64(const wchar_t* folder, const std::wstring& version) {
  return RegisterAddOn(folder, version, L"zyhok\\AddOn\\ZyHkEvt64", L"ZyHkEvt64.dll");
}

int RegisterEventAddOn(const wchar_t* folder, const std::wstring& version) {
  return RegisterAddOn(folder, version, L"zyhok\\AddOn\\ZyHkEvt", L"ZyHkEvt.dll");
}

}  // namespace zyhok
