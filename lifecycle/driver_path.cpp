// The record's driver path: read within its 1024 units, normalised into the driver folder, and the package
// files named in that folder.
#include <windows.h>

#include <cwchar>
#include <string>

#include "plugin_interface.h"
#include "lifecycle/driver_path.h"

namespace zyhok {

namespace {
constexpr wchar_t kDeviceSequence[] = L"\\\\.\\";  // backslash, backslash, dot, backslash
constexpr size_t kDeviceSequenceUnits = 4;
constexpr size_t kDroppedUnits = 3;  // the sequence collapses into its last backslash
}  // namespace

int NormalizeDriverPath(const wchar_t* record_path, wchar_t* out) {
  if (out == nullptr) return 0;
  out[0] = L'\0';
  if (record_path == nullptr) return 0;

  // The record holds 1024 units; a path without a terminator in them ends there.
  const size_t length = wcsnlen(record_path, kDriverPathUnits);
  const std::wstring path(record_path, length);
  std::wstring result = path;
  const size_t found = path.find(kDeviceSequence, 0, kDeviceSequenceUnits);
  if (found != std::wstring::npos) result.erase(found, kDroppedUnits);

  if (result.size() >= kNormalizedPathUnits) return 0;
  wmemcpy(out, result.c_str(), result.size() + 1);
  return 1;
}

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
