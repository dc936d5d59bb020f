// Driver lifecycle: install, update and uninstall from a driver-info record, and their file and
// registry steps.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

namespace zyhok {

// ---- Driver path normalisation and file retirement ----

// Units of the normalised driver folder buffer, terminator included.
inline constexpr size_t kNormalizedPathUnits = MAX_PATH;

// Turns the record's driver path into the normalised driver folder: the first "\\.\" in the path is
// collapsed into one backslash (C:\a\\.\b -> C:\a\b); everything else is kept as it stands.
// Reads at most the record's 1024 units of `record_path`, so a path without a terminator is safe.
// Returns 1 with `out` (kNormalizedPathUnits units) filled; 0 when `out` or `record_path` is null or
// the result does not fit in `out` with its terminator (then `out`, if given, is left empty).
int NormalizeDriverPath(const wchar_t* record_path, wchar_t* out);

// The text before the last '\' of `path`, or before the last '/' when there is no '\'. False, and
// `folder` untouched, for an empty path or one without a separator.
bool GetParentFolder(const std::wstring& path, std::wstring& folder);

// The name a file is renamed to when it cannot be deleted: path + "." + the tick count printed as a
// signed decimal number. Empty when the name would not fit in MAX_PATH units with its terminator.
std::wstring RetirementName(const std::wstring& path, DWORD tick_count);

// Deletes the file; when that is refused (a process has it loaded), renames it to its retirement
// name and schedules the renamed file for deletion at the next reboot, so the file's own name is free
// at once. When the rename fails too, logs a warning and schedules the file under its own name.
// Best effort: reports nothing.
void RetireFile(const std::wstring& path);

// Removes the folder, or schedules it for deletion at the next reboot when it cannot be removed now.
void RemoveFolderOrDefer(const std::wstring& folder);

// RetireFile, then RemoveFolderOrDefer on the file's folder.
void RetireFileAndFolder(const std::wstring& path);

// RetireFile, then RemoveFolderOrDefer on the file's folder and then on the folder above it
// (X\ZyMon\1\zymon.dll: the file, X\ZyMon\1, X\ZyMon).
void RetireFileAndTwoFolders(const std::wstring& path);

// ---- end of driver path normalisation and file retirement ----

// ---- Driver file backup, replace and rollback ----

// ---- end of driver file backup, replace and rollback ----

// ---- Driver service key settings ----

// ---- end of driver service key settings ----

// ---- Service deletion and ownership flags ----

// ---- end of service deletion and ownership flags ----

// ---- Install, update, uninstall ----

// ---- end of install, update, uninstall ----

}  // namespace zyhok
