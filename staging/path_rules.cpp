// Rules on paths that come from the machine: which name the same file, which a staging step may have
// written, and which version texts can name a folder.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "staging/Utilities.h"
#include "staging/path_rules.h"
#include "staging/staging_layout.h"

namespace zyhok {

namespace {
// `path` with each run of backslashes after its first two units taken as one, as Windows reads it.
std::wstring SingleSeparators(const std::wstring& path) {
  std::wstring out = path.substr(0, 2);
  for (size_t i = out.size(); i < path.size(); ++i) {
    if (path[i] != L'\\' || out.empty() || out.back() != L'\\' || out.size() <= 2) out += path[i];
  }
  return out;
}
}  // namespace

bool SamePath(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = SingleSeparators(a), y = SingleSeparators(b);
  return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
         CSTR_EQUAL;
}

bool GetParentFolder(const std::wstring& path, std::wstring& folder) {
  if (path.empty()) return false;
  size_t separator = path.rfind(L'\\');
  if (separator == std::wstring::npos) separator = path.rfind(L'/');
  if (separator == std::wstring::npos) return false;
  folder = path.substr(0, separator);
  return true;
}

bool IsStagedComponentPath(const std::wstring& path) {
  // An add-on with an empty version text is registered as "<component folder>\\<file>": the doubled
  // separator right after "AddOn" names the file directly in the component folder.
  const size_t doubled = path.find(L"\\\\", 2);
  const std::wstring addon = std::wstring(L"\\") + kAddOnLayout.branch;
  if (doubled != std::wstring::npos && doubled + 1 == path.rfind(L'\\') && doubled >= addon.size() &&
      SamePath(path.substr(doubled - addon.size(), addon.size()), addon)) {
    return IsStagedComponentPath(path.substr(0, doubled) + path.substr(doubled + 1));
  }
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH || path != std::wstring(full, length)) return false;
  if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return false;
  for (const std::wstring& root : {GetSystemDirPath(), GetSysWow64DirPath()}) {
    for (const ComponentLayout* component : kComponentLayouts) {
      const std::wstring base = root + kStagingFolder + L"\\" + component->branch + L"\\";
      if (root.empty() || path.size() <= base.size() || !SamePath(path.substr(0, base.size()), base)) continue;
      // What follows is the file, or one non-empty folder and the file.
      std::wstring file = path.substr(base.size());
      const size_t separator = file.find(L'\\');
      if (separator == 0) continue;
      if (separator != std::wstring::npos) file.erase(0, separator + 1);
      for (const ComponentLayout* layout : kComponentLayouts) {
        if (SamePath(file, layout->file64) || SamePath(file, layout->file32)) return true;
      }
    }
  }
  return false;
}

bool NamesVersionFolder(const std::wstring& text, const wchar_t* file64) {
  // The branches "ZyMon" and "AddOn" are equally long; the staged path is registered in its drive-letter form
  // and its device form, and both must fit.
  static_assert(std::char_traits<wchar_t>::length(kEngineLayout.branch) ==
                std::char_traits<wchar_t>::length(kAddOnLayout.branch));
  const size_t rest = wcslen(kStagingFolder) + 1 + wcslen(kEngineLayout.branch) + 1 + text.size() + 1 + wcslen(file64);
  for (const std::wstring& root : {GetSystemDirPath(), GetSysWow64DirPath()}) {
    if (root.size() + rest > MAX_PATH - 1 || ConvertToDevicePath(root.c_str()).size() + rest > MAX_PATH - 1) {
      return false;
    }
  }
  if (!text.empty() && (text.back() == L'.' || text.back() == L' ')) return false;
  // A "%" would be expanded in the device form only, which would then name another folder.
  for (const wchar_t c : text) {
    if (c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'%') return false;
  }
  return !IsDeviceName(text);
}

bool IsDeviceName(const std::wstring& text) {
  std::wstring base = text.substr(0, text.find(L'.'));
  for (wchar_t& c : base) c = static_cast<wchar_t>(towupper(c));
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
    if (base == device) return true;
  }
  return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) && base[3] >= L'1' &&
         base[3] <= L'9';
}

}  // namespace zyhok
