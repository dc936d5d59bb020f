// System folders, device-form paths and the file-version text of component files.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "staging/Utilities.h"
#include "util/handle.h"
#include "util/log.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"Utilities";
constexpr UINT kPathUnits = MAX_PATH;  // 260 units including the terminator
constexpr size_t kMaxPathLength = kPathUnits - 1;

// A folder from GetSystemDirectoryW or GetWindowsDirectoryW, without one trailing backslash. Both
// calls return the length without the terminator when the folder fits and the size they need
// (terminator included, so at least kPathUnits) when it does not; a folder that does not fit is
// treated like a failed call.
template <typename Fill>
std::wstring FolderWithoutTrailingBackslash(Fill fill) {
  wchar_t buffer[kPathUnits] = {};
  const UINT length = fill(buffer, kPathUnits);
  if (length == 0 || length >= kPathUnits) return std::wstring();
  buffer[kPathUnits - 1] = L'\0';
  std::wstring folder(buffer, wcsnlen(buffer, kPathUnits));
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

}  // namespace

bool IsUsableRoot(const std::wstring& root) {
  return root.size() >= 3 && iswalpha(root[0]) && root[1] == L':' && root[2] == L'\\';
}

std::wstring GetSystemDirPath() { return FolderWithoutTrailingBackslash(GetSystemDirectoryW); }

std::wstring GetSysWow64DirPath() {
  std::wstring path = FolderWithoutTrailingBackslash(GetWindowsDirectoryW);
  path += L"\\SysWOW64";
  if (path.size() > kMaxPathLength) return std::wstring();
  return path;
}

std::wstring ConvertToDevicePath(const wchar_t* path) {
  if (path == nullptr) return std::wstring();
  wchar_t expanded[kPathUnits] = {};
  // The result counts the terminator; more than the buffer holds means the text did not fit.
  const DWORD needed = ExpandEnvironmentStringsW(path, expanded, kPathUnits);
  if (needed == 0 || needed > kPathUnits) return std::wstring();
  expanded[kPathUnits - 1] = L'\0';
  const size_t length = wcsnlen(expanded, kPathUnits);

  // The drive is the first two units as they stand; a shorter text is its own drive part.
  const size_t drive_units = length < 2 ? length : 2;
  wchar_t drive[3] = {};
  wmemcpy(drive, expanded, drive_units);

  // On failure the device name stays empty and the drive is dropped. A name that fills the buffer
  // without a terminator is not trusted.
  wchar_t device[kPathUnits] = {};
  if (QueryDosDeviceW(drive, device, kPathUnits) == 0) device[0] = L'\0';
  device[kPathUnits - 1] = L'\0';

  std::wstring result(device, wcsnlen(device, kPathUnits));
  result.append(expanded + drive_units, length - drive_units);
  if (result.size() > kMaxPathLength) return std::wstring();
  return result;
}

int GetFileVersionString(const std::wstring& path, std::wstring& version) {
  ZYLOG(kLogAdapter, kLevelInfo) << L"AddOn path is:" << path;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ZYLOG(kLogAdapter, kLevelInfo) << L"GetFileVersionInfoSize Return value is:" << size;
  if (size == 0) return 0;

  UniqueLocal block(LocalAlloc(LPTR, size));
  if (!block) return 0;
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.get())) return 0;

  // The translation table: pairs of 16-bit language identifier and code page.
  WORD* translations = nullptr;
  UINT table_bytes = 0;
  if (!VerQueryValueW(block.get(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translations), &table_bytes) ||
      translations == nullptr) {
    table_bytes = 0;
  }
  const UINT entries = table_bytes / 4;

  bool found = false;
  std::wstring held;
  for (size_t i = 0; i < entries; ++i) {
    wchar_t query[kPathUnits] = {};
    // Always fits: the name is 36 units long.
    _snwprintf_s(query, kPathUnits, _TRUNCATE, L"\\StringFileInfo\\%04x%04x\\Fileversion",
                 translations[2 * i], translations[2 * i + 1]);
    wchar_t* value = nullptr;
    UINT value_units = 0;
    if (VerQueryValueW(block.get(), query, reinterpret_cast<void**>(&value), &value_units) &&
        value != nullptr) {
      // The length counts the terminator when there is one; never read beyond it.
      held.assign(value, wcsnlen(value, value_units));
      found = true;
    }
    ZYLOG(kLogAdapter, kLevelInfo) << L"File Version: " << (found ? held : std::wstring(L"(NULL)"));
  }

  if (!found) return 0;
  version = held;
  return 1;
}

}  // namespace zyhok
