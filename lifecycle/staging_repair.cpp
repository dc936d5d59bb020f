// Repair of what a run that did not end as it should left in the staging trees: component copies that no
// value registers, files renamed aside by a retirement, empty version folders, and deletions queued for the
// next reboot that no longer apply. Everything here acts inside the two staging trees only.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "plugin_interface.h"
#include "lifecycle/action_journal.h"
#include "lifecycle/service_settings.h"
#include "lifecycle/staging_repair.h"
#include "staging/Utilities.h"
#include "staging/path_rules.h"
#include "staging/retirement.h"
#include "staging/staging_layout.h"
#include "util/handle.h"
#include "util/log.h"
#include "util/pending_renames.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
// The largest list of pending operations read: the system keeps it small; a larger one is left alone.
constexpr DWORD kMaxPendingBytes = 1024 * 1024;

bool IsRegistered(const std::wstring& path, const std::vector<std::wstring>& registered) {
  return std::any_of(registered.begin(), registered.end(),
                     [&](const std::wstring& copy) { return !copy.empty() && SamePath(copy, path); });
}

// Whether `path` is `folder` or lies below it.
bool Within(const std::wstring& path, const std::wstring& folder) {
  return !folder.empty() && path.size() >= folder.size() && SamePath(path.substr(0, folder.size()), folder) &&
         (path.size() == folder.size() || path[folder.size()] == L'\\');
}

bool HoldsRegistered(const std::wstring& folder, const std::vector<std::wstring>& registered) {
  return std::any_of(registered.begin(), registered.end(),
                     [&](const std::wstring& copy) { return !copy.empty() && Within(copy, folder); });
}

// A file that a retirement renamed aside: a component file's name, ".", and a signed decimal number.
bool IsRenamedAside(const std::wstring& name) {
  for (const ComponentLayout* component : kComponentLayouts) {
    for (const wchar_t* file : {component->file64, component->file32}) {
      const size_t length = wcslen(file);
      if (name.size() <= length + 1 || name[length] != L'.' || !SamePath(name.substr(0, length), file)) continue;
      const size_t digits = name[length + 1] == L'-' ? length + 2 : length + 1;
      if (digits < name.size() && name.find_first_not_of(L"0123456789", digits) == std::wstring::npos) return true;
    }
  }
  return false;
}

// The entries of `folder` but "." and "..", each with whether it is a folder; reparse points are left out.
std::vector<std::pair<std::wstring, bool>> FolderEntries(const std::wstring& folder) {
  std::vector<std::pair<std::wstring, bool>> entries;
  WIN32_FIND_DATAW found;
  const UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &found));
  for (bool more = find.valid(); more; more = FindNextFileW(find.get(), &found)) {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L".." || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    entries.emplace_back(name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  }
  return entries;
}

// Retires the unregistered component copies of a component folder and of its version folders, deletes the
// files renamed aside there, and removes the version folders that end up empty.
void TidyComponentFolder(const std::wstring& folder, const std::vector<std::wstring>& registered, bool nested) {
  const std::wstring prefix = folder + L"\\";
  for (const auto& [name, is_folder] : FolderEntries(folder)) {
    const std::wstring path = prefix + name;
    if (is_folder) {
      if (nested) continue;
      TidyComponentFolder(path, registered, true);
      if (!HoldsRegistered(path, registered)) RemoveDirectoryW(path.c_str());
    } else if (IsRenamedAside(name)) {
      DeleteFileW(path.c_str());  // one still held waits for the reboot, as queued
    } else if (IsStagedComponentPath(path) && !IsRegistered(path, registered)) {
      ZYLOG(kLogInstall, kLevelWarning) << L"a staged copy that no value registers, retired: " << path;
      RetireFile(path);
    }
  }
}

}  // namespace

std::vector<std::wstring> RegisteredComponentPaths() {
  std::vector<std::wstring> paths(4);
  GetRegisteredComponentPaths(paths[0], paths[1]);
  GetRegisteredComponentPaths64(paths[2], paths[3]);
  return paths;
}

void TidyStagingTree(const std::wstring& root, const std::vector<std::wstring>& registered) {
  if (!IsUsableRoot(root)) return;
  for (const ComponentLayout* component : kComponentLayouts) {
    TidyComponentFolder(root + kStagingFolder + L"\\" + component->branch, registered, false);
  }
}

void DropStaleQueuedDeletions(const std::vector<std::wstring>& registered) {
  std::vector<std::wstring> trees;
  for (const std::wstring& root : {GetSystemDirPath(), GetSysWow64DirPath()}) {
    if (IsUsableRoot(root)) trees.push_back(root + L"\\" + kDriverName);  // the first level of kStagingFolder
  }
  UniqueHKey key;
  DWORD type = 0, size = 0;
  if (trees.empty() ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
          ERROR_SUCCESS ||
      RegQueryValueExW(key.get(), kPendingRenamesValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ || size > kMaxPendingBytes) {
    return;
  }
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key.get(), kPendingRenamesValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS) {
    return;
  }
  // Pairs of source and destination; an empty destination queues the source's deletion.
  const std::vector<std::wstring> texts = SplitMultiString(data.data(), size / sizeof(wchar_t));
  std::wstring kept;
  bool dropped = false;
  for (size_t i = 0; i + 1 < texts.size() && !texts[i].empty(); i += 2) {
    const std::wstring& source = texts[i];
    const std::wstring path = PendingEntryPath(source);
    const bool ours = std::any_of(trees.begin(), trees.end(), [&](const std::wstring& t) { return Within(path, t); });
    if (ours && texts[i + 1].empty() &&
        (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES || IsRegistered(path, registered) ||
         HoldsRegistered(path, registered))) {
      ZYLOG(kLogInstall, kLevelWarning) << L"a deletion queued for the next reboot no longer applies, dropped: "
                                        << path;
      dropped = true;
      continue;
    }
    kept += source + L'\0' + texts[i + 1] + L'\0';
  }
  if (!dropped) return;
  if (kept.empty()) {
    RegDeleteValueW(key.get(), kPendingRenamesValue);
    return;
  }
  kept += L'\0';
  RegSetValueExW(key.get(), kPendingRenamesValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                 static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
}

void SettleStaging(const ActionJournal& journal, const std::vector<std::wstring>& registered) {
  if (journal.Inherited()) {
    TidyStagingTree(GetSystemDirPath(), registered);
    TidyStagingTree(GetSysWow64DirPath(), registered);
  }
  DropStaleQueuedDeletions(registered);
}

}  // namespace zyhok
