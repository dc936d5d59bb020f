// Uninstall of the driver: give up this platform's share, or stop the driver, retire every staged
// component and remove the service through the package's INF file.
#include <windows.h>
#include <shlwapi.h>

#include <iterator>
#include <optional>
#include <string>

#include "plugin_interface.h"
#include "lifecycle/action_journal.h"
#include "lifecycle/driver_path.h"
#include "lifecycle/service_settings.h"
#include "lifecycle/staging_repair.h"
#include "lifecycle/uninstall.h"
#include "service/drivermanage.h"
#include "staging/Utilities.h"
#include "staging/path_rules.h"
#include "staging/retirement.h"
#include "staging/staging_layout.h"
#include "util/log.h"
#include "util/registry.h"
#include "util/util_PriviRestrict.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

// Retires the registered copies of one architecture with their version and component folders, then
// the staging folders under `root`; folders still in use wait for the next reboot. Whatever else the
// component folders hold (copies that a run that did not end as it should left unregistered, files renamed
// aside) goes first. A root that the platform could not name is left for the next action.
void RemoveStagedUnder(const std::wstring& root,
                       bool (*read_registered)(std::wstring& engine, std::wstring& addon)) {
  if (!IsUsableRoot(root)) {
    ActionJournal::NoteRepair();
    return;
  }
  std::wstring engine, addon;
  read_registered(engine, addon);
  TidyStagingTree(root, {engine, addon});
  RetireFileAndTwoFolders(engine);
  RetireFileAndTwoFolders(addon);
  // Gone with their registered copies, unless those were missing or could not be read.
  for (const ComponentLayout* component : kComponentLayouts) {
    RemoveDirectoryW((root + kStagingFolder + L"\\" + component->branch).c_str());
  }
  RemoveFolderOrDefer(root + kStagingFolder);
  RemoveFolderOrDefer(root + L"\\" + kDriverName);  // the first level of kStagingFolder
}
// The copies that an interrupted install or update replaced but had yet to retire: retired with their
// version folders, so that the removal of the staging trees that follows finds them empty.
void RetireOrphanedCopies(ActionJournal& journal) {
  std::wstring registered[4];
  GetRegisteredComponentPaths(registered[0], registered[1]);
  GetRegisteredComponentPaths64(registered[2], registered[3]);
  for (const std::wstring& path : journal.OrphanedCopies()) {
    bool in_use = false;
    for (const std::wstring& current : registered) {
      in_use = in_use || SamePath(path, current);
    }
    // A path that is no staged component is never looked at on disk: the retirement refuses it.
    if (!path.empty() && !in_use &&
        (!IsStagedComponentPath(path) || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)) {
      RetireFileAndFolder(path);
    }
  }
  journal.KeepStaging(false);
}
}  // namespace

void RemoveStagedComponents() {
  RemoveStagedUnder(GetSysWow64DirPath(), GetRegisteredComponentPaths);
  RemoveStagedUnder(GetSystemDirPath(), GetRegisteredComponentPaths64);
}

namespace {

// When another holder than this platform remains ("PermCount" above 1), gives up this platform's share and
// leaves the driver alone: true. A give-up that a run which did not end as it should already made is made
// again with the same values, not a second time.
bool GiveUpSharedDriver(const wchar_t* name, ActionJournal& journal) {
  const std::wstring key = std::wstring(kServicesKey) + name;
  DWORD count = 0;
  if (!ReadRegDword(count, key, L"PermCount")) count = 0;
  count = journal.ShareCountBefore(count);
  if (count <= 1) return false;
  journal.NoteShare(count);
  WriteRegDword(count - 1, key, L"PermCount");
  WriteRegDword(0, key, L"InstalledByZefa");
  return true;
}

// Stops the driver, retires the staged components and runs its INF's uninstall section: nothing when all
// went through, else the result code the uninstall ends with.
std::optional<uint32_t> RemoveDriver(const wchar_t* name, const std::wstring& driver_folder, ActionJournal& journal) {
  SERVICE_STATUS status = {};
  if (!QueryDriverStatus(name, &status)) {
    ZYLOG(kLogInstall, kLevelWarning) << L"fail to query driver[" << name << L"] status";
    return kResultFailed;
  }
  if (status.dwCurrentState != SERVICE_STOPPED && !StopDriverService(name)) {
    ZYLOG(kLogInstall, kLevelError) << L"fail to stop original driver " << name;
    return kResultStopFailed;
  }
  RetireOrphanedCopies(journal);
  RemoveStagedComponents();
  DropStaleQueuedDeletions({});
  const std::wstring inf = driver_folder + name + L".inf";
  if (!_UnInstallDriverByInf(inf.c_str())) {
    ZYLOG(kLogInstall, kLevelError) << L"fail to uninstall " << name << L" by inf.";
    return kResultFailed;
  }
  return std::nullopt;
}

}  // namespace

uint32_t UninstallDrvFromDrvInfo(const DrvInfo& record) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> UninstallDrvFromDrvInfo,";
  const std::wstring record_path = RecordDriverPath(record);
  // PathCanonicalizeW works on MAX_PATH buffers: a longer record path is refused like any other
  // path that cannot be normalised, before the call could write past the buffer.
  wchar_t canonical[MAX_PATH] = {};
  if (record_path.size() >= MAX_PATH || !PathCanonicalizeW(canonical, record_path.c_str())) {
    ZYLOG(kLogInstall, kLevelInfo) << L"Normalize the driver path failed.";
    return kResultInvalidRecord;
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"rDrvInfo.wszDriverPath = " << record_path;
  ZYLOG(kLogInstall, kLevelInfo) << L"wszNormalDriverFolder = " << std::wstring(canonical);

  // The service manager's connection, shared by the security calls, SetupAPI's INF sections and the
  // service calls below.
  OpenBatchServiceManager();
  SetDriverServicePrivilege(FALSE);
  // What an interrupted install or update had yet to retire stays recorded unless the driver goes.
  ActionJournal journal;
  journal.KeepStaging(true);
  const std::wstring driver_folder = WithTrailingSeparator(canonical);

  uint32_t result = kResultSuccess;
  for (auto it = std::rbegin(kDriverList); it != std::rend(kDriverList); ++it) {
    if (GiveUpSharedDriver(*it, journal)) {
      result = kResultSuccess;
      journal.Commit();
      break;
    }
    if (const std::optional<uint32_t> failed = RemoveDriver(*it, driver_folder, journal)) {
      result = *failed;
      break;
    }
    journal.Commit();
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"<== UninstallDrvFromDrvInfo,";
  return result;
}

}  // namespace zyhok
