// Best-effort retirement of component files and their folders: what cannot go now goes at the next reboot.
#pragma once

#include <windows.h>

#include <string>

namespace zyhok {

// The name a file is renamed to when it cannot be deleted: path + "." + the tick count printed as a
// signed decimal number, cut to the 259 units that fit in MAX_PATH with the terminator.
std::wstring RetirementName(const std::wstring& path, DWORD tick_count);

// Deletes the file; when that is refused (a process has it loaded), renames it to its retirement
// name and schedules the renamed file for deletion at the next reboot, so the file's own name is free
// at once. When the rename fails too, logs a warning and schedules the file under its own name.
// Best effort: reports nothing.
void RetireFile(const std::wstring& path);

// Removes the folder, or schedules it for deletion at the next reboot when it cannot be removed now (a
// folder that is not there is left alone).
void RemoveFolderOrDefer(const std::wstring& folder);

// The two below retire a registered or journalled copy. Those paths are read from the registry, so
// each is an input: a non-empty path that IsStagedComponentPath refuses is left alone with a level-3
// line that names it. An empty path goes through, as nothing that exists.
// RetireFile, then RemoveFolderOrDefer on the file's folder.
void RetireFileAndFolder(const std::wstring& path);

// RetireFile, then RemoveFolderOrDefer on the file's folder and then on the folder above it
// (X\ZyMon\1\zymon.dll: the file, X\ZyMon\1, X\ZyMon).
void RetireFileAndTwoFolders(const std::wstring& path);

}  // namespace zyhok
