// Update of the installed driver in place from a package folder, with rollback to the backed-up
// driver file when the new file cannot be copied or does not start.
#include <windows.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "plugin_interface.h"
#include "lifecycle/action_journal.h"
#include "lifecycle/driver_backup.h"
#include "lifecycle/driver_path.h"
#include "lifecycle/ownership_flags.h"
#include "lifecycle/previous_components.h"
#include "lifecycle/staging_repair.h"
#include "lifecycle/update.h"
#include "service/drivermanage.h"
#include "staging/Utilities.h"
#include "util/log.h"
#include "util/registry.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

constexpr DWORD kOsVersionInfoExSize = 284;  // sizeof(OSVERSIONINFOEXW)
constexpr DWORD kOsVersionInfoSize = 276;    // sizeof(OSVERSIONINFOW)
static_assert(sizeof(OSVERSIONINFOEXW) == kOsVersionInfoExSize, "OSVERSIONINFOEXW size");
static_assert(sizeof(OSVERSIONINFOW) == kOsVersionInfoSize, "OSVERSIONINFOW size");

// Whether the driver was installed by another Velmora product rather than by this platform. This
// platform's install always records "InstalledByZefa" = 1 under the service key; a driver whose key
// lacks the value, or holds 0 (this platform gave up its share while another holder remained), is
// held by someone else, and the update takes a share in it.
// A value that is there but cannot be read says nothing: the share is left as it is, rather than taken a
// second time in a driver that this platform holds already.
bool InstalledByOtherProduct() {
  DWORD installed_by_platform = 0;
  RegKey key;
  LONG error = key.Open(HKEY_LOCAL_MACHINE, kServiceKey, KEY_READ);
  if (error == ERROR_SUCCESS) error = key.QueryValue(installed_by_platform, L"InstalledByZefa");
  if (error == ERROR_FILE_NOT_FOUND) return true;
  if (error != ERROR_SUCCESS) {
    ZYLOG(kLogInstall, kLevelWarning) << L"fail to read InstalledByZefa, error code: " << error
                                      << L"; the share is left as it is";
    return false;
  }
  return installed_by_platform == 0;
}

// Whether the service exists. One that cannot be opened for any reason but its absence is there: the INF
// is not run over it, which would change the settings that an update leaves as they are.
bool ServiceExists(const wchar_t* name) {
  if (IsDriverExist(name)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_SERVICE_MARKED_FOR_DELETE) return false;
  ZYLOG(kLogInstall, kLevelWarning) << L"cannot tell whether the service " << name << L" exists, error code: " << error
                                    << L"; its INF is not run";
  return true;
}

void CopyCatalogue(const std::wstring& driver_folder) {
  const std::wstring destination = GetSystemDirPath() + L"\\zyhok.cat";
  const std::wstring source = driver_folder + L"zyhok.cat";
  ZYLOG(kLogInstall, kLevelInfo) << L"wsSystemPath : " << destination;
  ZYLOG(kLogInstall, kLevelInfo) << L"wsCatFilePath : " << source;
  if (!CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
    const DWORD error = GetLastError();
    ZYLOG(kLogInstall, kLevelWarning) << L"Copy zyhok.cat to system folder failed, error code = " << error;
  }
}

// Makes sure every driver's service exists and is not about to be deleted, installing it from the
// package's INF file where needed. Nothing here changes the update's result.
void EnsureServicesExist(const std::wstring& folder) {
  for (const wchar_t* name : kDriverList) {
    ZYLOG(kLogInstall, kLevelInfo) << L"Check if the driver is exist: " << name;
    const std::wstring inf = InfPathFor(folder, name);
    if (!ServiceExists(name)) {
      if (!_InstallDriverByInf(inf.c_str())) {
        ZYLOG(kLogInstall, kLevelError) << L"fail to install " << inf;
        return;
      }
      ZYLOG(kLogInstall, kLevelInfo) << L"Success to install driver by INF" << inf;
      continue;
    }
    if (_CheckDeleteFlagRegistry(name) == 1) {
      if (!StopDriverService(name)) {
        ZYLOG(kLogInstall, kLevelError) << L"fail to stop ";
        return;
      }
      if (!_InstallDriverByInf(inf.c_str())) {
        ZYLOG(kLogInstall, kLevelError) << L"fail to install " << inf;
        return;
      }
      continue;
    }
    if (std::wstring(name) == kDriverName) {
      ZYLOG(kLogInstall, kLevelInfo) << L"Check zyhok is installed by other Velmora products?";
      if (InstalledByOtherProduct()) {
        ZYLOG(kLogInstall, kLevelInfo)
            << L"zyhok is installed by other Velmora products, we should modify its registry.";
        if (!ModifyZyhokRegistry()) {
          ZYLOG(kLogInstall, kLevelError) << L"fail in ModifyZyhokRegistry()!";
        }
      }
    }
  }
}

}  // namespace

BOOL IsWin10OrAbove() {
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = kOsVersionInfoExSize;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  BOOL read = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
  if (!read) {
    info.dwOSVersionInfoSize = kOsVersionInfoSize;
    read = GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
  }
#pragma GCC diagnostic pop
  if (!read) {
    ZYLOG(kLogInstall, kLevelWarning) << L"Get OS version failed.";
    return FALSE;
  }
  if (info.dwMajorVersion < 10) return FALSE;
  ZYLOG(kLogInstall, kLevelInfo) << L"The OS platform is win10 or above.";
  return TRUE;
}

namespace {

// The two folders of the driver file's exchange: the package's (with its trailing separator), which also
// receives the backup of the installed file, and the system's drivers folder.
struct DriverFolders {
  std::wstring package;
  std::wstring drivers;
};

// A step of the exchange: a result code when the update ends there, nothing when it goes on.
using ExchangeStep = std::optional<uint32_t> (*)(const DriverFolders& folders);

std::optional<uint32_t> BackUpOriginalFile(const DriverFolders& folders) {
  ZYLOG(kLogInstall, kLevelInfo) << L"backup original driver file from: " << folders.drivers << L" to "
                                 << folders.package;
  if (CopyDriverFiles(folders.drivers.c_str(), folders.package.c_str(), kCopyBackup)) return std::nullopt;
  ZYLOG(kLogInstall, kLevelInfo) << L"backup original driver file failed.";
  return kResultFailed;
}

std::optional<uint32_t> StopOriginalDrivers(const DriverFolders&) {
  for (auto it = std::rbegin(kDriverList); it != std::rend(kDriverList); ++it) {
    const wchar_t* name = *it;
    SERVICE_STATUS status = {};
    if (!QueryDriverStatus(name, &status)) {
      ZYLOG(kLogInstall, kLevelInfo) << L"fail to query driver[" << name << L"] status";
      continue;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) continue;
    ZYLOG(kLogInstall, kLevelInfo) << L"try to stop original driver: " << name;
    if (!StopDriverService(name)) {
      ZYLOG(kLogInstall, kLevelError) << L"fail to stop original driver: " << name;
      return kResultNotStopped;
    }
    ZYLOG(kLogInstall, kLevelInfo) << L"Success to stop original driver: " << name;
  }
  return std::nullopt;
}

// A failed replacement puts the original file back and starts the original driver again.
std::optional<uint32_t> ReplaceDriverFile(const DriverFolders& folders) {
  ZYLOG(kLogInstall, kLevelInfo) << L"replace original driver file with new ones from: " << folders.package << L" to "
                                 << folders.drivers;
  if (CopyDriverFiles(folders.package.c_str(), folders.drivers.c_str(), kCopyReplace)) return std::nullopt;
  ZYLOG(kLogInstall, kLevelError) << L"replace original driver file with new ones failed.";
  if (!CopyDriverFiles(folders.package.c_str(), folders.drivers.c_str(), kCopyRollback)) {
    ZYLOG(kLogInstall, kLevelError) << L"rollback to original driver file failed.";
    return kResultRollbackFailed;
  }
  ZYLOG(kLogInstall, kLevelInfo) << L"rollback to original driver file successfully.";
  if (StartDriverService(kDriverList[0])) return kResultFailed;
  const DWORD error = GetLastError();
  if (error == ERROR_UNKNOWN_REVISION) {
    ZYLOG(kLogInstall, kLevelInfo) << L"Not support on this platform.";
    return kResultSuccess;
  }
  if (error == ERROR_DRIVER_BLOCKED) {
    ZYLOG(kLogInstall, kLevelInfo) << L"Blocked by boot status.";
    return kResultSuccess;
  }
  ZYLOG(kLogInstall, kLevelError) << L"start original driver file failed.";
  return kResultRollbackFailed;
}

std::optional<uint32_t> ConfirmOriginalsStopped(const DriverFolders&) {
  for (auto it = std::rbegin(kDriverList); it != std::rend(kDriverList); ++it) {
    const wchar_t* name = *it;
    ZYLOG(kLogInstall, kLevelInfo) << L"query original driver to ensure original drivers was stopped: "
                                   << name;
    SERVICE_STATUS status = {};
    if (!QueryDriverStatus(name, &status)) {
      ZYLOG(kLogInstall, kLevelInfo) << L"fail to query original driver[" << name << L"] status";
    } else if (status.dwCurrentState == SERVICE_STOPPED) {
      ZYLOG(kLogInstall, kLevelInfo) << L"original driver was already stopped: " << name;
    } else {
      ZYLOG(kLogInstall, kLevelError) << L"original driver not yet stopped: " << name;
      return kResultNotStopped;
    }
  }
  return std::nullopt;
}

// Unless "HokFlags" bit 0 holds the driver back, starts the new drivers with "BootStatus" at 0xFFFFFFFF;
// a start that fails puts the saved "BootStatus" back and, unless the platform does not support the
// driver, the original file too (the original driver stays stopped).
std::optional<uint32_t> StartNewDrivers(const DriverFolders& folders) {
  DWORD hok_flags = 0;
  if (!ReadRegDword(hok_flags, kServiceKey, L"HokFlags")) hok_flags = 0;
  if ((hok_flags & 1) != 0) return std::nullopt;
  DWORD saved_boot_status = 0xFFFFFFFF;
  if (!ReadRegDword(saved_boot_status, kServiceKey, L"BootStatus")) saved_boot_status = 0xFFFFFFFF;
  WriteRegDword(0xFFFFFFFF, kServiceKey, L"BootStatus");
  for (const wchar_t* name : kDriverList) {
    if (StartDriverService(name)) {
      ZYLOG(kLogInstall, kLevelInfo) << L"Success to start new driver: " << name;
      continue;
    }
    const DWORD error = GetLastError();
    WriteRegDword(saved_boot_status, kServiceKey, L"BootStatus");
    ZYLOG(kLogInstall, kLevelError) << L"fail to start new driver." << name;
    if (error == ERROR_UNKNOWN_REVISION) {
      ZYLOG(kLogInstall, kLevelInfo) << L"Not support on this platform.";
      continue;
    }
    if (!CopyDriverFiles(folders.package.c_str(), folders.drivers.c_str(), kCopyRollback)) {
      ZYLOG(kLogInstall, kLevelError) << L"rollback to original driver file failed.";
      return kResultRollbackFailed;
    }
    return kResultStartFailedRestored;
  }
  return std::nullopt;
}

// The exchange of the driver file, in order; every end of it deletes the backup.
constexpr ExchangeStep kExchangeSteps[] = {BackUpOriginalFile, StopOriginalDrivers, ReplaceDriverFile,
                                           ConfirmOriginalsStopped, StartNewDrivers};

// <Windows folder>\system32\drivers\, or empty when the Windows folder cannot be read.
std::wstring SystemDriversFolder() {
  wchar_t windows_dir[MAX_PATH] = {};
  const UINT windows_len = GetWindowsDirectoryW(windows_dir, MAX_PATH);
  if (windows_len == 0 || windows_len >= MAX_PATH) return std::wstring();
  std::wstring drivers_folder = windows_dir;
  if (drivers_folder.back() != L'\\') drivers_folder += L'\\';
  return drivers_folder + L"system32\\drivers\\";
}

uint32_t FinishUpdate(uint32_t result) {
  ZYLOG(kLogInstall, kLevelInfo) << L"<== UpdateDrvFromDrvInfo," << L"asStatus = " << result;
  return result;
}

}  // namespace

uint32_t UpdateDrvFromDrvInfo(const DrvInfo& record) {
  ZYLOG(kLogInstall, kLevelInfo) << L"==> UpdateDrvFromDrvInfo,";
  const std::wstring record_path = RecordDriverPath(record);
  wchar_t normalized[kNormalizedPathUnits] = {};
  if (!NormalizeDriverPath(record_path.c_str(), normalized) || normalized[0] == L'\0') {
    ZYLOG(kLogInstall, kLevelInfo) << L"Normalize the driver path failed.";
    return kResultInvalidRecord;
  }
  const std::wstring folder = normalized;
  ZYLOG(kLogInstall, kLevelInfo) << L"rDrvInfo.wszDriverPath = " << record_path;
  ZYLOG(kLogInstall, kLevelInfo) << L"wszNormalDriverFolder = " << folder;
  DriverFolders folders = {WithTrailingSeparator(folder), std::wstring()};

  // The journal lets a run that follows one that did not end as it should retire what that run would have.
  ActionJournal journal;
  const PreviousComponents previous = journal.Previous();
  const StagedComponents staged = StagePackageComponents(folder);
  if (IsWin10OrAbove()) CopyCatalogue(folders.package);
  // The service must exist before its file is exchanged.
  EnsureServicesExist(folder);

  folders.drivers = SystemDriversFolder();
  if (folders.drivers.empty()) {
    ZYLOG(kLogInstall, kLevelError) << L"Get windows directory failed.";
    return kResultFailed;
  }
  for (const ExchangeStep step : kExchangeSteps) {
    if (const std::optional<uint32_t> ended = step(folders)) {
      DeleteBackupFiles(folders.package.c_str());
      return FinishUpdate(*ended);
    }
  }
  DeleteBackupFiles(folders.package.c_str());
  SettleStaging(journal, previous.RetireReplaced(staged));
  journal.Commit();
  return FinishUpdate(kResultSuccess);
}

}  // namespace zyhok
