// The record's driver path turned into the normalised driver folder, and best-effort retirement of
// component files and their folders: what cannot go now goes at the next reboot.
#include <windows.h>

#include <cwchar>
#include <string>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"
#include "util/log.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
constexpr wchar_t kDeviceSequence[] = L"\\\\.\\";  // backslash, backslash, dot, backslash
constexpr size_t kDeviceSequenceUnits = 4;
constexpr size_t kDroppedUnits = 3;  // the sequence collapses into its last backslash
constexpr size_t kRetirementNameUnits = MAX_PATH;  // the retirement name's buffer, NUL included

void DeleteAtReboot(const std::wstring& path) {
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

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

bool GetParentFolder(const std::wstring& path, std::wstring& folder) {
  if (path.empty()) return false;
  size_t separator = path.rfind(L'\\');
  if (separator == std::wstring::npos) separator = path.rfind(L'/');
  if (separator == std::wstring::npos) return false;
  folder = path.substr(0, separator);
  return true;
}

std::wstring RetirementName(const std::wstring& path, DWORD tick_count) {
  // "%s.%d" into MAX_PATH units with truncation: a name that does not fit keeps its first 259 units.
  std::wstring name = path + L"." + std::to_wstring(static_cast<int32_t>(tick_count));
  if (name.size() > kRetirementNameUnits - 1) name.resize(kRetirementNameUnits - 1);
  return name;
}

void RetireFile(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return;

  const std::wstring retired = RetirementName(path, GetTickCount());
  if (MoveFileW(path.c_str(), retired.c_str())) {
    DeleteAtReboot(retired);
    return;
  }
  const DWORD error = GetLastError();
  ZYLOG(kLogInstall, kLevelWarning) << L"Rename file(" << path << L") failed. LastError = " << error;
  DeleteAtReboot(path);
}

void RemoveFolderOrDefer(const std::wstring& folder) {
  if (!RemoveDirectoryW(folder.c_str())) DeleteAtReboot(folder);
}

void RetireFileAndFolder(const std::wstring& path) {
  std::wstring folder;
  GetParentFolder(path, folder);
  RetireFile(path);
  RemoveFolderOrDefer(folder);
}

void RetireFileAndTwoFolders(const std::wstring& path) {
  std::wstring folder;
  std::wstring folder_above;
  GetParentFolder(path, folder);
  GetParentFolder(folder, folder_above);
  RetireFile(path);
  RemoveFolderOrDefer(folder);
  RemoveFolderOrDefer(folder_above);
}

}  // namespace zyhok
