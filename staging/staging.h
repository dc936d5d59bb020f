// Component staging: the monitor engine and event add-on copied into versioned staging folders, the
// registry values that point the driver at them, and the system paths and file versions they use.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

namespace zyhok {

// ---- System paths and file versions ----

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

// Whether a component's FileVersion text can name its version folder: one folder name that Windows keeps
// as written (no "\\", "/" or ":", no control character U+0000-U+001F, not ending in "." or a blank, so
// neither "." nor "..", not a device name: IsDeviceName), with no "%" (the device form of a registered path
// expands environment references, and would then name another folder), and with which the staged path of
// the component's 64-bit file `file64` under either root fits in 259 units in its drive-letter form and in
// its device form (ConvertToDevicePath). Staging treats any other text as an unreadable one. An empty text
// names no folder and passes (the copies then lie directly in the component folder).
bool NamesVersionFolder(const std::wstring& text, const wchar_t* file64);

// Whether a folder name is a device name: CON, PRN, AUX, NUL, COM1-COM9 or LPT1-LPT9, with or without an
// extension, case ignored.
bool IsDeviceName(const std::wstring& text);

// The "Fileversion" text of the file's version resource, looked up under each translation of its
// translation table in turn; the last translation that has one wins. Returns 1 and sets `version`, or
// 0 and leaves `version` untouched (missing file, no resource, no entry in any translation). Writes
// its progress lines under "Plugin ZYHOK Adapter".
int GetFileVersionString(const std::wstring& path, std::wstring& version);

// ---- end of system paths and file versions ----

// ---- Monitor DLL registry values ----

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

// ---- end of monitor DLL registry values ----

// ---- Monitor engine and event add-on staging ----

// Stages zymon64.dll and zymon.dll from `package_folder` into
// <system>\zyhok\20019\ZyMon\<version> and <SysWOW64>\zyhok\20019\ZyMon\<version> (<version>: the
// FileVersion text of the package's zymon64.dll; left out when unreadable or when it names no folder,
// NamesVersionFolder) and registers both staged
// paths. *staged_flag ends at 1 only when both files were copied by this call (or at kStagedRepaired). Returns 0 for a
// null folder, else 1. File-system failures raise boost::filesystem::filesystem_error.
int StageMonitorEngine(const wchar_t* package_folder, uint32_t* staged_flag);

// The staged flag of a component whose files were found in place but whose registration held other
// copies (a run that did not end as it should lost it) and was written again: the copies registered before
// are replaced, yet, unlike a set flag, no empty path is handed to the retirement.
inline constexpr uint32_t kStagedRepaired = 2;

// Stages ZyHkEvt64.dll and ZyHkEvt.dll the same way into the AddOn branch, taking them from the
// add-on folder found beside the package (DeriveAddOnSourceFolder); a file is registered only when
// this call copied it. Returns 0 for a null folder or one without a "20019" component, else 1.
int StageEventAddOn(const wchar_t* package_folder, uint32_t* staged_flag);

// The add-on source folder of a package folder: up to and including its last "20019" component,
// then the component A that follows it twice, then "AddOn" (…\20019\A\A\AddOn). False when the
// folder has no "20019" component.
bool DeriveAddOnSourceFolder(const std::wstring& package_folder, std::wstring& source_folder);

// ---- end of monitor engine and event add-on staging ----

}  // namespace zyhok
