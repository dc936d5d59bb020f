// The renames and deletions that the system carries out at the next reboot: where it keeps them, how their
// REG_MULTI_SZ data splits into texts, and the path an entry names. Header only, shared by the library, zyhost
// and the tests.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace zyhok {

// Under HKEY_LOCAL_MACHINE: pairs of source and destination, each with a "\??\" prefix as the system writes
// it; an empty destination queues the source's deletion.
inline constexpr const wchar_t* kSessionManagerKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr const wchar_t* kPendingRenamesValue = L"PendingFileRenameOperations";

// The path that an entry names: the entry without the "\??\" prefix the system writes before it.
inline std::wstring PendingEntryPath(const std::wstring& entry) {
  constexpr wchar_t kNtPrefix[] = L"\\??\\";
  return entry.compare(0, 4, kNtPrefix) == 0 ? entry.substr(4) : entry;
}

// The texts of `units` units of REG_MULTI_SZ data, in order, each up to its NUL, empty ones included (the
// empty text that ends the list too); a last text without a NUL ends with the data. Reads no unit past them.
inline std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t units) {
  std::vector<std::wstring> texts;
  for (size_t at = 0; at < units;) {
    size_t end = at;
    while (end < units && data[end] != L'\0') ++end;
    texts.emplace_back(data + at, end - at);
    at = end + 1;
  }
  return texts;
}

}  // namespace zyhok
