// zyhost's own copies of the rules by which the plug-in reads a package and names places on the
// machine: the record path's normalisation, the add-on folder beside a package, the "FileVersion" text
// that names a staging folder, and the system folders. They are written apart from the library on
// purpose (zyhost must judge a package without the plug-in); path_rules_test holds each of them against
// the library's own operation on the same cases, so `check` and `diagnose` cannot drift from what
// the plug-in does. Nothing here depends on the rest of zyhost.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zyhost {

// The plug-in keeps the normalised package folder in 260 units with the terminator.
constexpr size_t kMaxNormalisedFolder = 259;

// The plug-in's package folder for a record path: the first "\\.\" collapsed into one backslash
// (C:\a\\.\b -> C:\a\b), everything else as given. `folder` always gets that text; false when it is
// longer than kMaxNormalisedFolder, a path the plug-in refuses.
bool NormaliseFolder(const std::wstring& path, std::wstring* folder);

// The add-on folder of a package folder: up to and including its last component "20019", then the
// component after it twice, then "AddOn" (that component is empty when the path ends at "20019").
// False when no component is "20019".
bool AddOnFolder(const std::wstring& package, std::wstring* folder);

// The "FileVersion" text of a file's version resource: the string of the last translation in the
// translation table that has one. False when the file has no version resource or no translation
// with that string.
bool ReadFileVersionText(const std::wstring& path, std::wstring* text);

// Whether the plug-in takes a component's "FileVersion" text as the name of its version folder: no
// "\\", "/", ":", "%" or control character (U+0000-U+001F) in it, not ending in "." or a blank, not a device
// name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension, case ignored), and short enough
// that the staged 64-bit file `file64` under either system folder keeps within 259 units in its
// drive-letter form and in its device form. For any other text it stages the component without a version
// folder, as for an unreadable one.
bool NamesVersionFolder(const std::wstring& text, const std::wstring& file64);

// The system folder and the 32-bit system folder (<Windows>\SysWOW64, whether or not it exists),
// without a trailing backslash; empty when the system does not report them in 259 units.
std::wstring SystemFolder();
std::wstring Wow64Folder();

// The file's version resource, or an empty buffer.
std::vector<BYTE> VersionResource(const std::wstring& path);

}  // namespace zyhost
