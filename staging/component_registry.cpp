// Registry values that point the driver at the staged monitor engine and event add-on files, in
// drive-letter form and in the kernel's device form.
#include <windows.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "plugin_interface.h"
#include "staging/Utilities.h"
#include "staging/component_registry.h"
#include "staging/staging_layout.h"
#include "util/log.h"
#include "util/registry.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

// Whether any of `values` (name, data) under `key` does not hold its data now, or cannot be read.
bool AnyDiffers(const std::wstring& key, std::initializer_list<std::pair<const wchar_t*, std::wstring>> values) {
  for (const auto& [name, data] : values) {
    std::wstring stored;
    if (!ReadRegString(stored, key, name) || stored != data) return true;
  }
  return false;
}

int RegisterEngine(const wchar_t* folder, const wchar_t* file_name, const wchar_t* value_name,
                   const wchar_t* device_value_name, bool* changed) {
  const std::wstring key = kServiceKey;
  std::wstring file = folder ? folder : L"";
  if (file.empty() || (file.back() != L'\\' && file.back() != L'/')) file += L'\\';
  file += file_name;
  const std::wstring device = ConvertToDevicePath(file.c_str());
  if (changed != nullptr) *changed = AnyDiffers(key, {{value_name, file}, {device_value_name, device}});
  WriteRegString(file, key, value_name);
  WriteRegString(device, key, device_value_name);
  return 1;
}

int RegisterAddOn(const wchar_t* folder, const std::wstring& version, const wchar_t* key_suffix,
                  const wchar_t* file_name, bool* changed) {
  const std::wstring key_path = std::wstring(kServiceKey) + L"\\" + key_suffix;
  const std::wstring base = folder ? folder : L"";
  const std::wstring device_folder = ConvertToDevicePath(base.c_str());
  const std::wstring path = base + L"\\" + file_name, device_path = device_folder + L"\\" + file_name;
  if (changed != nullptr) {
    *changed = AnyDiffers(
        key_path, {{kAddOnPathValue, path}, {kAddOnDevicePathValue, device_path}, {kAddOnVersionValue, version}});
    if (!*changed) return 1;
  }
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
  WriteRegString(path, key_path, kAddOnPathValue);
  WriteRegString(device_path, key_path, kAddOnDevicePathValue);
  WriteRegString(version, key_path, kAddOnVersionValue);
  key.Close();
  return 1;
}

}  // namespace

int RegisterMonitorEngine64(const wchar_t* folder, bool* changed) {
  return RegisterEngine(folder, kEngineLayout.file64, kEngineValue64, kEngineDeviceValue64, changed);
}

int RegisterMonitorEngine(const wchar_t* folder, bool* changed) {
  return RegisterEngine(folder, kEngineLayout.file32, kEngineValue32, kEngineDeviceValue32, changed);
}

int RegisterEventAddOn64(const wchar_t* folder, const std::wstring& version, bool* changed) {
  return RegisterAddOn(folder, version, kAddOnKey64, kAddOnLayout.file64, changed);
}

int RegisterEventAddOn(const wchar_t* folder, const std::wstring& version, bool* changed) {
  return RegisterAddOn(folder, version, kAddOnKey32, kAddOnLayout.file32, changed);
}

}  // namespace zyhok
