// Best-effort retirement of component files and their folders: what cannot go now goes at the next reboot.
#include <windows.h>

#include <cwchar>
#include <string>

#include "staging/path_rules.h"
#include "staging/retirement.h"
#include "staging/staging_journal.h"
#include "util/log.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
constexpr size_t kRetirementNameUnits = MAX_PATH;  // the retirement name's buffer, NUL included

// What waits for the next reboot is left for the next action to finish, should a later run free it.
void DeleteAtReboot(const std::wstring& path) {
  MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  if (!path.empty()) StagingJournal::NoteRepair();
}

// Whether a registered or journalled path may be retired; a refused one is logged.
bool MayRetire(const std::wstring& path) {
  if (path.empty() || IsStagedComponentPath(path)) return true;
  ZYLOG(kLogInstall, kLevelWarning) << L"not a staged component file, left alone: " << path;
  // A failed platform call can refuse a staged copy too: the next action looks at the trees again.
  StagingJournal::NoteRepair();
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
