// zyhost's copies of the plug-in's package and folder rules (see rules.h).
#include "rules.h"

#include "staging/staging_layout.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace zyhost {

namespace {

constexpr wchar_t kDeviceSequence[] = L"\\\\.\\";  // collapsed into its last backslash
constexpr size_t kLongestPath = MAX_PATH - 1;      // without the terminator

std::wstring TrimmedFolder(UINT (*get)(LPWSTR, UINT)) {
  wchar_t buffer[MAX_PATH + 1] = {};
  const UINT n = get(buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::wstring();
  std::wstring folder(buffer, n);
  if (folder.back() == L'\\') folder.pop_back();
  return folder;
}

UINT GetSystemFolder(LPWSTR buffer, UINT size) { return GetSystemDirectoryW(buffer, size); }
UINT GetWindowsFolder(LPWSTR buffer, UINT size) { return GetWindowsDirectoryW(buffer, size); }

}  // namespace

bool NormaliseFolder(const std::wstring& path, std::wstring* folder) {
  *folder = path;
  const size_t at = path.find(kDeviceSequence);
  if (at != std::wstring::npos) folder->erase(at, 3);
  return folder->size() <= kMaxNormalisedFolder;
}

bool AddOnFolder(const std::wstring& package, std::wstring* folder) {
  std::wstring rest = package;
  std::wstring after;
  for (;;) {
    const size_t slash = rest.rfind(L'\\');
    if (rest.empty() || slash == std::wstring::npos) return false;
    const std::wstring last = rest.substr(slash + 1);
    if (last == zyhok::kPackageMarker) break;
    after = last;
    rest.resize(slash);
  }
  *folder = rest + L"\\" + after + L"\\" + after + L"\\" + zyhok::kAddOnLayout.branch;
  return true;
}

std::vector<BYTE> VersionResource(const std::wstring& path) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  std::vector<BYTE> block;
  if (size == 0) return block;
  block.assign(size, 0);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) block.clear();
  return block;
}

bool ReadFileVersionText(const std::wstring& path, std::wstring* text) {
  std::vector<BYTE> block = VersionResource(path);
  if (block.empty()) return false;
  const WORD* table = nullptr;
  UINT table_bytes = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(const_cast<WORD**>(&table)),
                      &table_bytes)) {
    table_bytes = 0;
  }
  bool found = false;
  for (UINT i = 0; i + 1 < table_bytes / 2; i += 2) {
    wchar_t name[64];
    (void)std::swprintf(name, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", table[i], table[i + 1]);
    const wchar_t* value = nullptr;
    UINT units = 0;
    if (VerQueryValueW(block.data(), name, reinterpret_cast<void**>(const_cast<wchar_t**>(&value)), &units) &&
        value != nullptr) {
      // The length may or may not count the terminator; never read past it.
      *text = std::wstring(value, wcsnlen(value, units));
      found = true;
    }
  }
  return found;
}

bool NamesVersionFolder(const std::wstring& text, const std::wstring& file64) {
  const size_t rest = std::wcslen(zyhok::kStagingFolder) + 1 + std::wcslen(zyhok::kAddOnLayout.branch) + 1 +
                      text.size() + 1 + file64.size();
  bool fits = true;
  for (const std::wstring& root : {SystemFolder(), Wow64Folder()}) {
    wchar_t device[MAX_PATH] = {};
    QueryDosDeviceW(root.substr(0, 2).c_str(), device, MAX_PATH);
    fits = fits && root.size() + rest <= kLongestPath && std::wcslen(device) + root.size() - 2 + rest <= kLongestPath;
  }
  const bool odd_end = !text.empty() && (text.back() == L'.' || text.back() == L' ');
  const bool odd_unit =
      std::any_of(text.begin(), text.end(), [](wchar_t c) { return c < L' ' || std::wcschr(L"\\/:%", c) != nullptr; });
  std::wstring base = text.substr(0, text.find(L'.'));
  for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
  const bool device = base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" ||
                      (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
                       base[3] >= L'1' && base[3] <= L'9');
  return fits && !odd_end && !odd_unit && !device;
}

std::wstring SystemFolder() { return TrimmedFolder(&GetSystemFolder); }

std::wstring Wow64Folder() {
  const std::wstring windows = TrimmedFolder(&GetWindowsFolder);
  return windows.empty() ? std::wstring() : windows + L"\\SysWOW64";
}

}  // namespace zyhost
