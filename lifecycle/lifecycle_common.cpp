// Pieces shared by install, update and uninstall.
#include <windows.h>

#include <cwchar>
#include <string>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"

namespace zyhok {

std::wstring RecordDriverPath(const DrvInfo& record) {
  // The host's text may lack a terminator within its 1024 units: never read past them.
  return std::wstring(record.wszDriverPath, wcsnlen(record.wszDriverPath, kDriverPathUnits));
}

namespace {
bool EndsWithSeparator(const std::wstring& folder) {
  return !folder.empty() && (folder.back() == L'\\' || folder.back() == L'/');
}
}  // namespace

std::wstring WithTrailingSeparator(const std::wstring& folder) {
  return EndsWithSeparator(folder) ? folder : folder + L"\\";
}

std::wstring InfPathFor(const std::wstring& folder, const wchar_t* driver_name) {
  return WithTrailingSeparator(folder) + driver_name + L".inf";
}

}  // namespace zyhok
