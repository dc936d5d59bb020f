// The settings an install or update writes under the driver's service key, and the registered component
// paths read back from it.
#pragma once

#include <string>

namespace zyhok {

// Writes "ZYHOKSystemDiskName" (device of the system directory's drive, empty when it cannot be
// queried), "BootStatus" = 0xFFFFFFFF, "GHSwitch" = 1 and "HokFlags" = 0 under the service key,
// creating it when missing. Every write is attempted; none is reported. Always returns 1.
int SetDriverServiceSettings();

// Read the registered 32-bit (64-bit) engine path ("ZYHOKMonDllName" / "ZYHOKMonDll64Name") and
// add-on path ("path" under "AddOn\ZyHkEvt" / "AddOn\ZyHkEvt64") of the service key into the
// out-strings; a missing value leaves its string as it was. True when both strings are non-empty.
bool GetRegisteredComponentPaths(std::wstring& engine_path, std::wstring& addon_path);
bool GetRegisteredComponentPaths64(std::wstring& engine_path, std::wstring& addon_path);

}  // namespace zyhok
