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

// ---- end of install, update, uninstall ----

}  // namespace zyhok
