// The batch walk of the host's driver-info records and the dispatch of one record to its action.
#include <windows.h>

#include <boost/filesystem.hpp>
#include <exception>
#include <new>

#include "plugin_interface.h"
#include "lifecycle/install.h"
#include "lifecycle/uninstall.h"
#include "lifecycle/update.h"
#include "plugin/dispatch.h"
#include "service/drivermanage.h"
#include "util/log.h"
#include "util/util_PriviRestrict.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

// Runs one lifecycle action. An exception that escapes it (a file-system error from component
// staging, or an allocation failure) ends the action where it was raised; it is logged and reported
// as kResultFailed: the action did not complete, and the code tells the host to stop the batch rather
// than go on with records that may depend on this one.
template <typename Action>
uint32_t RunAction(const wchar_t* name, Action action, const DrvInfo& record) {
  try {
    return action(record);
  } catch (const boost::filesystem::filesystem_error& e) {
    ZYLOG(kLogInstall, kLevelError) << name << L" stopped by a file-system error: " << e.what();
  } catch (const std::bad_alloc&) {
    ZYLOG(kLogInstall, kLevelError) << name << L" stopped: out of memory";
  } catch (const std::exception& e) {
    ZYLOG(kLogInstall, kLevelError) << name << L" stopped by an error: " << e.what();
  } catch (...) {
    ZYLOG(kLogInstall, kLevelError) << name << L" stopped by an unknown error";
  }
  return kResultFailed;
}

}  // namespace

uint32_t DoActionFromDrvInfo(const DrvInfo& record) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> DoActionFromDrvInfo," << L"rDrvInfo.action = " << record.action
                                 << L", rDrvInfo.compare_state = " << record.compare_state;
  uint32_t result = kResultInvalidRecord;
  switch (record.action) {
    case kActionInstall:
      result = RunAction(L"InstallDrvFromDrvInfo", InstallDrvFromDrvInfo, record);
      break;
    case kActionUpdate:
    case kActionUpdateQuiet:
      // The access restriction is lifted through security calls that use the service manager: the batch's
      // connection is made first, so that they share it. (An install or an uninstall makes it once its
      // record's path is taken, so that a refused record costs no connection.)
      OpenBatchServiceManager();
      SetDriverServicePrivilege(FALSE);
      if (record.action == kActionUpdate) {
        ZYLOG(kLogInstall, kLevelInfo) << L"rDrvInfo.compare_state = " << record.compare_state;
      }
      result = RunAction(L"UpdateDrvFromDrvInfo", UpdateDrvFromDrvInfo, record);
      SetDriverServicePrivilege(TRUE);
      break;
    case kActionUninstall: result = RunAction(L"UninstallDrvFromDrvInfo", UninstallDrvFromDrvInfo, record); break;
    default:
      break;
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"<== DoActionFromDrvInfo," << L"asStatus = " << result;
  return result;
}

uint32_t DriversDoAction(const DrvInfo* records, uint32_t count) {
  if (count == 0 || records == nullptr) return kResultFailed;
  uint32_t result = kResultFailed;
  for (uint32_t i = 0; i < count; ++i) {
    result = DoActionFromDrvInfo(records[i]);
    if (result == kResultFailed) break;
  }
  return result;
}

}  // namespace zyhok
