// Install of the driver from a package folder.
#include <windows.h>

#include <string>
#include <vector>

#include "plugin_interface.h"
#include "lifecycle/action_journal.h"
#include "lifecycle/driver_path.h"
#include "lifecycle/install.h"
#include "lifecycle/previous_components.h"
#include "lifecycle/service_settings.h"
#include "lifecycle/staging_repair.h"
#include "service/drivermanage.h"
#include "util/log.h"
#include "util/registry.h"
#include "util/util_PriviRestrict.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

// Runs each driver's INF and starts its service; the first failure ends the loop with kResultFailed. A
// service that already runs, or that the platform does not support, counts as started.
uint32_t InstallAndStartDrivers(const std::wstring& folder) {
  for (const wchar_t* name : kDriverList) {
    const std::wstring inf = InfPathFor(folder, name);
    if (!_InstallDriverByInf(inf.c_str())) {
      ZYLOG(kLogInstall, kLevelError) << L"fail to install " << inf;
      return kResultFailed;
    }
    if (StartDriverService(name)) {
      ZYLOG(kLogInstall, kLevelInfo) << L"Success to start [" << name << L"] service.";
      continue;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_SUCCESS || error == ERROR_SERVICE_ALREADY_RUNNING) {
      ZYLOG(kLogInstall, kLevelInfo) << L"The [" << name << L"] service already running";
    } else if (error == ERROR_UNKNOWN_REVISION) {
      ZYLOG(kLogInstall, kLevelInfo) << L"Not support on this platform";
    } else {
      ZYLOG(kLogInstall, kLevelError) << L"fail to start [" << name << L"] service. Windows error code = " << error;
      return kResultFailed;
    }
  }
  return kResultSuccess;
}

// The platform now holds the driver; the count is set, not incremented.
void TakeOwnership() {
  WriteRegDword(1, kServiceKey, L"PermCount");
  WriteRegDword(1, kServiceKey, L"InstalledByZefa");
}

}  // namespace

uint32_t InstallDrvFromDrvInfo(const DrvInfo& record) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> InstallDrvFromDrvInfo,";
  const std::wstring record_path = RecordDriverPath(record);
  // An empty path normalises to an empty folder: the install then fails at the INF step like any
  // other package that lacks its INF file, which ends the host's batch.
  wchar_t normalized[kNormalizedPathUnits] = {};
  if (!NormalizeDriverPath(record_path.c_str(), normalized)) {
    ZYLOG(kLogInstall, kLevelInfo) << L"Normalize the driver path failed.";
    return kResultInvalidRecord;
  }
  // The service manager's connection, shared by SetupAPI's INF sections and the service calls below.
  OpenBatchServiceManager();
  const std::wstring folder = normalized;
  ZYLOG(kLogInstall, kLevelInfo) << L"rDrvInfo.wszDriverPath = " << record_path;
  ZYLOG(kLogInstall, kLevelInfo) << L"wszNormalDriverFolder = " << folder;

  // The copies in use before this install; retired below when the staging replaced them. The
  // journal lets a run that follows a dead one retire what that run would have retired.
  ActionJournal journal;
  const PreviousComponents previous = journal.Previous();

  // The service key's settings are written between the engine and the add-on.
  const StagedComponents staged = StagePackageComponents(folder, [] { SetDriverServiceSettings(); });

  const uint32_t result = InstallAndStartDrivers(folder);
  if (result == kResultSuccess) TakeOwnership();
  const std::vector<std::wstring> registered = previous.RetireReplaced(staged);
  if (result == kResultSuccess) {
    SettleStaging(journal, registered);
    journal.Commit();
  }
  SetDriverServicePrivilege(TRUE);
  ZYLOG(kLogInstall, kLevelInfo) << L"<== InstallDrvFromDrvInfo,";
  return result;
}

}  // namespace zyhok
