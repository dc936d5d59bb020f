// The record's driver path turned into the normalised driver folder, and best-effort retirement of
// component files and their folders: what cannot go now goes at the next reboot.
#include <windows.h>

#include <cwchar>
#include <string>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"
#include "staging/staging.h"
#include "util/log.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
constexpr wchar_t kDeviceSequence[] = L"\\\\.\\";  // backslash, backslash, dot, backslash
constexpr size_t kDeviceSequenceUnits = 4;
constexpr size_t kDroppedUnits = 3;  // the sequence collapses into its last backslash
constexpr size_t kRetirementNameUnits = MAX_PATH;  // the retirement name's buffer, NUL included

// What waits for the next reboot is left for the next action to finish, should a later run free it.
void DeleteAtReboot(const std::wstring& path) {
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  if (!path.empty()) ActionJournal::NoteRepair();
}

// Whether a registered or journalled path may be retired; a refused one is logged.
bool MayRetire(const std::wstring& path) {
  if (path.empty() || IsStagedComponentPath(path)) return true;
  ZYLOG(kLogInstall, kLevelWarning) << L"not a staged component file, left alone: " << path;
  // A failed platform call can refuse a staged copy too: the next action looks at the trees again.
  ActionJournal::NoteRepair();
  return false;
}

// The folder of `path` (GetParentFolder), without the separators it ends in ("X\AddOn\\f" -> "X\AddOn").
std::wstring FolderOf(const std::wstring& path) {
  std::wstring folder;
  GetParentFolder(path, folder);
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
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

bool IsStagedComponentPath(const std::wstring& path) {
  // An add-on with an empty version text is registered as "<component folder>\\<file>": the doubled
  // separator right after "AddOn" names the file directly in the component folder.
  const size_t doubled = path.find(L"\\\\", 2);
  constexpr size_t kAddOnUnits = 6;  // "\AddOn"
  if (doubled != std::wstring::npos && doubled + 1 == path.rfind(L'\\') && doubled >= kAddOnUnits &&
      SamePath(path.substr(doubled - kAddOnUnits, kAddOnUnits), L"\\AddOn")) {
    return IsStagedComponentPath(path.substr(0, doubled) + path.substr(doubled + 1));
  }
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH || path != std::wstring(full, length)) return false;
  if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return false;
  for (const std::wstring& root : {GetSystemDirPath(), GetSysWow64DirPath()}) {
    for (const wchar_t* branch : {L"\\zyhok\\20019\\ZyMon\\", L"\\zyhok\\20019\\AddOn\\"}) {
      const std::wstring base = root + branch;
      if (root.empty() || path.size() <= base.size() || !SamePath(path.substr(0, base.size()), base)) continue;
      // What follows is the file, or one non-empty folder and the file.
      std::wstring file = path.substr(base.size());
      const size_t separator = file.find(L'\\');
      if (separator == 0) continue;
      if (separator != std::wstring::npos) file.erase(0, separator + 1);
      for (const wchar_t* name : {L"zymon64.dll", L"zymon.dll", L"ZyHkEvt64.dll", L"ZyHkEvt.dll"}) {
        if (SamePath(file, name)) return true;
      }
    }
  }
  return false;
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
  if (RemoveDirectoryW(folder.c_str())) return;
  // A folder that is not there (an earlier step of the same retirement removed it) has nothing to wait for.
  // Whether it is there is asked of the file system, not taken from the failure's error code.
  if (folder.empty() || GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) DeleteAtReboot(folder);
}

void RetireFileAndFolder(const std::wstring& path) {
  if (!MayRetire(path)) return;
  const std::wstring folder = FolderOf(path);
  RetireFile(path);
  RemoveFolderOrDefer(folder);
}

void RetireFileAndTwoFolders(const std::wstring& path) {
  if (!MayRetire(path)) return;
  const std::wstring folder = FolderOf(path);
  const std::wstring folder_above = FolderOf(folder);
  RetireFile(path);
  RemoveFolderOrDefer(folder);
  RemoveFolderOrDefer(folder_above);
}

}  // namespace zyhok
