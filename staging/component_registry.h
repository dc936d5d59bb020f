// The registry values that point the driver at the staged engine and add-on.
#pragma once

#include <string>

namespace zyhok {

// Point the driver at the staged engine in `folder`: "ZYHOKMonDll64Name"/"ZYHOKMonDllName" get the
// file's path (a backslash added unless the folder ends in one) and the "...Dev" values its device
// form. Write failures are ignored; always returns 1. With `changed`, the values are read first and
// *changed tells whether either held something else (or could not be read).
int RegisterMonitorEngine64(const wchar_t* folder, bool* changed = nullptr);
int RegisterMonitorEngine(const wchar_t* folder, bool* changed = nullptr);

// Point the driver at the staged add-on in `folder`: "path", "devpath" (device form) and "version"
// under "zyhok\AddOn\ZyHkEvt64" / "zyhok\AddOn\ZyHkEvt" of the services key. A backslash always
// separates folder and file name. Returns 0 (writing nothing) when the key neither opens nor can be
// created, else 1. With `changed`, the values are read first: when all three already hold what would be
// written, nothing is written and *changed is false; otherwise *changed is true and they are written.
int RegisterEventAddOn64(const wchar_t* folder, const std::wstring& version, bool* changed = nullptr);
int RegisterEventAddOn(const wchar_t* folder, const std::wstring& version, bool* changed = nullptr);

}  // namespace zyhok
