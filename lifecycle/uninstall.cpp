// Uninstall of the driver: give up this platform's share, or stop the driver, retire every staged
// component and remove the service through the package's INF file.
#include <windows.h>
#include <shlwapi.h>

#include <iterator>
#include <string>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"
#include "service/service.h"
#include "staging/staging.h"
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
  RemoveDirectoryW((root + L"\\zyhok\\20019\\ZyMon").c_str());
  RemoveDirectoryW((root + L"\\zyhok\\20019\\AddOn").c_str());
  RemoveFolderOrDefer(root + L"\\zyhok\\20019");
  RemoveFolderOrDefer(root + L"\\zyhok");
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
    const wchar_t* name = *it;
    const std::wstring key = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + name;
    DWORD count = 0;
    if (!ReadRegDword(count, key, L"PermCount")) count = 0;
    // A give-up that a dead run already made is made again with the same values, not a second time.
    count = journal.ShareCountBefore(count);
    if (count > 1) {
      // Another holder remains: give up this platform's share and leave the driver alone.
      journal.NoteShare(count);
      WriteRegDword(count - 1, key, L"PermCount");
      WriteRegDword(0, key, L"InstalledByZefa");
      result = kResultSuccess;
      journal.Commit();
      break;
    }
    SERVICE_STATUS status = {};
    if (!QueryDriverStatus(name, &status)) {
      ZYLOG(kLogInstall, kLevelWarning) << L"fail to query driver[" << name << L"] status";
      result = kResultFailed;
      break;
    }
    if (status.dwCurrentState != SERVICE_STOPPED && !StopDriverService(name)) {
      ZYLOG(kLogInstall, kLevelError) << L"fail to stop original driver " << name;
      result = kResultStopFailed;
      break;
    }
    RetireOrphanedCopies(journal);
    RemoveStagedComponents();
    DropStaleQueuedDeletions({});
    const std::wstring inf = driver_folder + name + L".inf";
    if (!_UnInstallDriverByInf(inf.c_str())) {
      ZYLOG(kLogInstall, kLevelError) << L"fail to uninstall " << name << L" by inf.";
      result = kResultFailed;
      break;
    }
    journal.Commit();
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"<== UninstallDrvFromDrvInfo,";
  return result;
}

}  // namespace zyhok
