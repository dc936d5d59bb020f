// Rules on paths that come from the machine (registered, journalled, read from a version resource): which
// name the same file, which a staging step may have written, and which version texts can name a folder.
#pragma once

#include <windows.h>

#include <string>

namespace zyhok {

// Whether two paths name the same file, compared as Windows compares names (ordinal, ignoring case), a
// run of backslashes after the first two units counting as one (an add-on with an empty version text is
// registered as "...\AddOn\\ZyHkEvt64.dll").
bool SamePath(const std::wstring& a, const std::wstring& b);

// The text before the last '\' of `path`, or before the last '/' when there is no '\'. False, and
// `folder` untouched, for an empty path or one without a separator.
bool GetParentFolder(const std::wstring& path, std::wstring& folder);

// Whether `path` names a component file that staging may have written: zymon64.dll, zymon.dll,
// ZyHkEvt64.dll or ZyHkEvt.dll (case ignored) directly in <root>\zyhok\20019\ZyMon or ...\AddOn, or
// in one folder below either, where <root> is the system folder or SysWOW64. The path must be in its
// plain full form: a drive-letter path that GetFullPathNameW leaves as it is (no "." or ".." element,
// "/" or doubled separator), not a "\\?\", "\\.\" or UNC path, at most 259 units. The one doubled
// separator allowed is the form an add-on with an empty version text is registered in, right after
// "AddOn" (<root>\zyhok\20019\AddOn\\ZyHkEvt64.dll).
bool IsStagedComponentPath(const std::wstring& path);

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

}  // namespace zyhok
