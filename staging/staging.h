// Component staging: the monitor engine and event add-on copied into versioned staging folders, the
// registry values that point the driver at them, and the system paths and file versions they use.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

namespace zyhok {

// ---- System paths and file versions ----

// ---- end of system paths and file versions ----

// ---- Monitor DLL registry values ----

// Point the driver at the staged engine in `folder`: "ZYHOKMonDll64Name"/"ZYHOKMonDllName" get the
// file's path (a backslash added unless the folder ends in one) and the "...Dev" values its device
// form. Write failures are ignored; always returns 1.
int RegisterMonitorEngine64(const wchar_t* folder);
int RegisterMonitorEngine(const wchar_t* folder);

// Point the driver at the staged add-on in `folder`: "path", "devpath" (device form) and "version"
// under "zyhok\AddOn\ZyHkEvt64" / "zyhok\AddOn\ZyHkEvt" of the services key. A backslash always
// separates folder and file name. Returns 0 (writing nothing) when the key neither opens nor can be
// created, else 1.
int RegisterEventAddOn64(const wchar_t* folder, std::wstring version);
int RegisterEventAddOn(const wchar_t* folder, std::wstring version);

// ---- end of monitor DLL registry values ----

// ---- Monitor engine and event add-on staging ----

// ---- end of monitor engine and event add-on staging ----

}  // namespace zyhok
