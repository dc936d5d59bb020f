// File, folder and version-resource probes used by `check` and `diagnose`, and the text of Windows
// errors.
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "util/handle.h"
#include "zyhost.h"

namespace zyhost {

std::wstring WindowsErrorText(DWORD error) {
  std::wstring text = L"error " + std::to_wstring(error);
  wchar_t* message = nullptr;
  const DWORD units =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (units != 0 && message != nullptr) {
    std::wstring system(message, units);
    while (!system.empty() && std::iswspace(system.back())) system.pop_back();
    if (!system.empty()) text += L": " + system;
  }
  LocalFree(message);
  return text;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ListFolder(const std::wstring& folder, std::vector<std::wstring>* files, std::vector<std::wstring>* folders) {
  WIN32_FIND_DATAW data;
  const zyhok::UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (folders != nullptr) folders->push_back(name);
    } else if (files != nullptr) {
      files->push_back(name);
    }
  } while (FindNextFileW(find.get(), &data));
  if (files != nullptr) std::sort(files->begin(), files->end());
  if (folders != nullptr) std::sort(folders->begin(), folders->end());
}

bool ReadFixedFileVersion(const std::wstring& path, uint16_t numbers[4]) {
  std::vector<BYTE> block = VersionResource(path);
  if (block.empty()) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) || fixed == nullptr ||
      size < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  numbers[0] = HIWORD(fixed->dwFileVersionMS);
  numbers[1] = LOWORD(fixed->dwFileVersionMS);
  numbers[2] = HIWORD(fixed->dwFileVersionLS);
  numbers[3] = LOWORD(fixed->dwFileVersionLS);
  return true;
}

bool ReadPeMachine(const std::wstring& path, std::wstring* machine) {
  const zyhok::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  BYTE head[4096];
  DWORD got = 0;
  if (!ReadFile(file.get(), head, sizeof(head), &got, nullptr) || got < 0x40) return false;
  if (head[0] != 'M' || head[1] != 'Z') return false;
  const DWORD pe = head[0x3C] | (head[0x3D] << 8) | (head[0x3E] << 16) | (static_cast<DWORD>(head[0x3F]) << 24);
  if (pe > got - 6 || head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) {
    return false;
  }
  const WORD type = static_cast<WORD>(head[pe + 4] | (head[pe + 5] << 8));
  if (type == IMAGE_FILE_MACHINE_AMD64) {
    *machine = L"x64";
  } else if (type == IMAGE_FILE_MACHINE_I386) {
    *machine = L"x86";
  } else {
    wchar_t text[32];
    (void)std::swprintf(text, 32, L"machine 0x%04x", type);
    *machine = text;
  }
  return true;
}

}  // namespace zyhost
