// Driver lifecycle: install, update and uninstall from a driver-info record, and their file and
// registry steps.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

namespace zyhok {

// ---- Driver path normalisation and file retirement ----

// ---- end of driver path normalisation and file retirement ----

// ---- Driver file backup, replace and rollback ----

// ---- end of driver file backup, replace and rollback ----

// ---- Driver service key settings ----

// "SYSTEM\CurrentControlSet\Services\zyhok": the driver's service key under HKEY_LOCAL_MACHINE.
std::wstring DriverServiceKeyPath();

// Writes "ZYHOKSystemDiskName" (device of the system directory's drive, empty when it cannot be
// queried), "BootStatus" = 0xFFFFFFFF, "GHSwitch" = 1 and "HokFlags" = 0 under the service key,
// creating it when missing. Every write is attempted; none is reported. Always returns 1.
int SetDriverServiceSettings();

// Read the registered 32-bit (64-bit) engine path ("ZYHOKMonDllName" / "ZYHOKMonDll64Name") and
// add-on path ("path" under "AddOn\ZyHkEvt" / "AddOn\ZyHkEvt64") of the service key into the
// out-strings; a missing value leaves its string as it was. True when both strings are non-empty.
bool GetRegisteredComponentPaths(std::wstring& engine_path, std::wstring& addon_path);
bool GetRegisteredComponentPaths64(std::wstring& engine_path, std::wstring& addon_path);

// ---- end of driver service key settings ----

// ---- Service deletion and ownership flags ----

// 1 when "DeleteFlag" under the service key of `service_name` exists, reads and is non-zero (the
// service is marked for deletion at the next reboot); 0 otherwise. Changes nothing.
int _CheckDeleteFlagRegistry(const wchar_t* service_name);

// Takes this platform's share in a driver that another product installed: "PermCount" + 1 (1 when it
// cannot be read), "DeleteFlag" removed, "InstalledByZefa" = 1 (creating the key when missing). True
// when the service key opened and "InstalledByZefa" was written.
bool ModifyZyhokRegistry();

// ---- end of service deletion and ownership flags ----

// ---- Install, update, uninstall ----

struct DrvInfo;

// The record's driver path, read no further than its 1024 units.
std::wstring RecordDriverPath(const DrvInfo& record);
// `folder` with "\\" appended unless it already ends in "\\" or "/".
std::wstring WithTrailingSeparator(const std::wstring& folder);
// The INF file of driver `name` in `folder`: folder, a separator unless it ends in one, name, ".inf".
std::wstring InfPathFor(const std::wstring& folder, const wchar_t* name);

// The three actions of a driver-info record. Each returns a result code of plugin/plugin.h. A
// file-system error from component staging leaves install and update as a
// boost::filesystem::filesystem_error; the dispatch turns it into a result code.
uint32_t InstallDrvFromDrvInfo(const DrvInfo& record);
uint32_t UninstallDrvFromDrvInfo(const DrvInfo& record);
uint32_t UpdateDrvFromDrvInfo(const DrvInfo& record);

// Retires every staged engine and add-on copy named in the registry, with their staging folders.
void RemoveStagedComponents();

// Whether the system reports version 10 or above (a program without a compatibility manifest sees
// 6.2 on Windows 10).
BOOL IsWin10OrAbove();

// ---- end of install, update, uninstall ----

}  // namespace zyhok
