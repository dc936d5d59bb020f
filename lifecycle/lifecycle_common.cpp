// Pieces shared by install, update and uninstall.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"
#include "staging/staging.h"

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

namespace {
// `path` with each run of backslashes after its first two units taken as one, as Windows reads it.
std::wstring SingleSeparators(const std::wstring& path) {
  std::wstring out = path.substr(0, 2);
  for (size_t i = out.size(); i < path.size(); ++i) {
    if (path[i] != L'\\' || out.empty() || out.back() != L'\\' || out.size() <= 2) out += path[i];
  }
  return out;
}
}  // namespace

bool SamePath(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = SingleSeparators(a), y = SingleSeparators(b);
  return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
         CSTR_EQUAL;
}

PreviousComponents PreviousComponents::Read() {
  PreviousComponents previous;
  if (GetRegisteredComponentPaths(previous.engine32, previous.addon32)) {
    GetRegisteredComponentPaths64(previous.engine64, previous.addon64);
  }
  return previous;
}

std::vector<std::wstring> PreviousComponents::RetireReplaced(uint32_t engine_staged, uint32_t addon_staged) const {
  // The copies registered now are this action's own. A previous copy of the same path had gone missing
  // (an uninstall that failed after its clean-up) and was staged again: it stays.
  std::vector<std::wstring> now = RegisteredComponentPaths();
  // A component whose registration was repaired retires only the copies that were registered before.
  const auto retire = [&now](const std::wstring& path, uint32_t staged) {
    for (const std::wstring& current : now) {
      if (!path.empty() && SamePath(path, current)) return;
    }
    if (staged == kStagedRepaired && path.empty()) return;
    RetireFileAndFolder(path);
  };
  if (engine_staged != 0) {
    retire(engine32, engine_staged);
    retire(engine64, engine_staged);
  }
  if (addon_staged != 0) {
    retire(addon32, addon_staged);
    retire(addon64, addon_staged);
  }
  return now;
}

void SettleStaging(const ActionJournal& journal, const std::vector<std::wstring>& registered) {
  if (journal.Inherited()) {
    TidyStagingTree(GetSystemDirPath(), registered);
    TidyStagingTree(GetSysWow64DirPath(), registered);
  }
  DropStaleQueuedDeletions(registered);
}

void PreviousComponents::ForgetRetired() {
  for (std::wstring* path : {&engine32, &addon32, &engine64, &addon64}) {
    // Any other path is never looked at on disk; the retirement refuses it with its line.
    if (!IsStagedComponentPath(*path)) continue;
    std::wstring folder;
    GetParentFolder(*path, folder);
    if (GetFileAttributesW(path->c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
      path->clear();
    }
  }
}

}  // namespace zyhok
