// The system paths that staging builds on, the device form of a path, and a component's FileVersion text.
#pragma once

#include <windows.h>

#include <string>

namespace zyhok {

// Every path these operations build fits the platform's classic limit: 259 units and a terminator.
// A result that would not fit is refused (an empty text) rather than truncated, since a truncated path
// names a different place.

// The native system folder (C:\Windows\system32), without one trailing backslash. Empty when the
// platform call fails or the folder does not fit.
std::wstring GetSystemDirPath();

// Whether a staging root read from the platform can be used: a full drive-letter path ("C:\..."). The two
// roots are empty, or "\SysWOW64" alone, when the platform call that names them fails; staged or retired
// there, a path would name a folder of the current drive instead.
bool IsUsableRoot(const std::wstring& root);

// The Windows folder followed by "\SysWOW64" (C:\Windows\SysWOW64), whether or not that folder exists.
// When the Windows folder cannot be read the result is "\SysWOW64" alone; when the joined path does
// not fit it is empty.
std::wstring GetSysWow64DirPath();

// Kernel device form of a drive-letter path that may hold %NAME% references: the references are
// expanded, then the first two units (the drive, taken as they stand) are replaced by the drive's
// device name (C:\Windows\x.dll -> \Device\HarddiskVolume1\Windows\x.dll). A drive without a
// device name is simply dropped. Empty for a null path, a failed expansion, or an expanded or
// device-form path that does not fit.
std::wstring ConvertToDevicePath(const wchar_t* path);

// The "Fileversion" text of the file's version resource, looked up under each translation of its
// translation table in turn; the last translation that has one wins. Returns 1 and sets `version`, or
// 0 and leaves `version` untouched (missing file, no resource, no entry in any translation). Writes
// its progress lines under "Plugin ZYHOK Adapter".
int GetFileVersionString(const std::wstring& path, std::wstring& version);

}  // namespace zyhok
