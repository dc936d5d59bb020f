// The record's driver path: read within its 1024 units, normalised into the driver folder, and the
// package files named in that folder.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

#include "plugin_interface.h"

namespace zyhok {

// Units of the normalised driver folder buffer, terminator included.
inline constexpr size_t kNormalizedPathUnits = MAX_PATH;

// Turns the record's driver path into the normalised driver folder: the first "\\.\" in the path is
// collapsed into one backslash (C:\a\\.\b -> C:\a\b); everything else is kept as it stands.
// Reads at most the record's 1024 units of `record_path`, so a path without a terminator is safe.
// Returns 1 with `out` (kNormalizedPathUnits units) filled; 0 when `out` or `record_path` is null or
// the result does not fit in `out` with its terminator (then `out`, if given, is left empty).
int NormalizeDriverPath(const wchar_t* record_path, wchar_t* out);

// The record's driver path, read no further than its 1024 units.
std::wstring RecordDriverPath(const DrvInfo& record);
// `folder` with "\\" appended unless it already ends in "\\" or "/".
std::wstring WithTrailingSeparator(const std::wstring& folder);
// The INF file of driver `name` in `folder`: folder, a separator unless it ends in one, name, ".inf".
std::wstring InfPathFor(const std::wstring& folder, const wchar_t* name);

}  // namespace zyhok
