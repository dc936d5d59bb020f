// The package's components staged by an install or update, and the copies registered before, retired once
// replaced.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "lifecycle/previous_components.h"
#include "lifecycle/service_settings.h"
#include "lifecycle/staging_repair.h"
#include "staging/component_staging.h"
#include "staging/path_rules.h"
#include "staging/retirement.h"
#include "util/log.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
}  // namespace

PreviousComponents PreviousComponents::Read() {
  PreviousComponents previous;
  if (GetRegisteredComponentPaths(previous.engine32, previous.addon32)) {
    GetRegisteredComponentPaths64(previous.engine64, previous.addon64);
  }
  return previous;
}

StagedComponents StagePackageComponents(const std::wstring& folder, void (*between)()) {
  StagedComponents staged;
  if (StageMonitorEngine(folder.c_str(), &staged.engine) == 0) {
    ZYLOG(kLogInstall, kLevelWarning) << L"Back up the ZyMon failed.";
  }
  if (between != nullptr) between();
  if (StageEventAddOn(folder.c_str(), &staged.addon) == 0) {
    ZYLOG(kLogInstall, kLevelWarning) << L"Back up the AddOn failed.";
  }
  return staged;
}

std::vector<std::wstring> PreviousComponents::RetireReplaced(const StagedComponents& staged) const {
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
  if (staged.engine != 0) {
    retire(engine32, staged.engine);
    retire(engine64, staged.engine);
  }
  if (staged.addon != 0) {
    retire(addon32, staged.addon);
    retire(addon64, staged.addon);
  }
  return now;
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
