// File, folder and version-resource probes used by `check` and `diagnose`.
#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "util/handle.h"
#include "zyhost.h"

namespace zyhost {

namespace {

std::wstring TrimmedFolder(UINT (*get)(LPWSTR, UINT)) {
  wchar_t buffer[MAX_PATH + 1] = {};
  const UINT n = get(buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::wstring();
  std::wstring folder(buffer, n);
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

UINT GetSystemFolder(LPWSTR buffer, UINT size) { return GetSystemDirectoryW(buffer, size); }
UINT GetWindowsFolder(LPWSTR buffer, UINT size) { return GetWindowsDirectoryW(buffer, size); }

// The file's version resource, or an empty buffer.
std::vector<BYTE> VersionResource(const std::wstring& path) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  std::vector<BYTE> block;
  if (size == 0) return block;
  block.assign(size, 0);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) block.clear();
  return block;
}

}  // namespace

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ListFolder(const std::wstring& folder, std::vector<std::wstring>* files,
                std::vector<std::wstring>* folders) {
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

std::wstring SystemFolder() { return TrimmedFolder(&GetSystemFolder); }

std::wstring Wow64Folder() {
  const std::wstring windows = TrimmedFolder(&GetWindowsFolder);
  return windows.empty() ? std::wstring() : windows + L"\\SysWOW64";
}

bool ReadFileVersionText(const std::wstring& path, std::wstring* text) {
  std::vector<BYTE> block = VersionResource(path);
  if (block.empty()) return false;
  const WORD* table = nullptr;
  UINT table_bytes = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(const_cast<WORD**>(&table)), &table_bytes)) {
    table_bytes = 0;
  }
  bool found = false;
  for (UINT i = 0; i + 1 < table_bytes / 2; i += 2) {
    wchar_t name[64];
    std::swprintf(name, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", table[i], table[i + 1]);
    const wchar_t* value = nullptr;
    UINT units = 0;
    if (VerQueryValueW(block.data(), name, reinterpret_cast<void**>(const_cast<wchar_t**>(&value)),
                       &units) &&
        value != nullptr) {
      // The length may or may not count the terminator; never read past it.
      *text = std::wstring(value, wcsnlen(value, units));
      found = true;
    }
  }
  return found;
}

bool ReadFixedFileVersion(const std::wstring& path, uint16_t numbers[4]) {
  std::vector<BYTE> block = VersionResource(path);
  if (block.empty()) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) ||
      fixed == nullptr || size < sizeof(VS_FIXEDFILEINFO)) {
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
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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
    std::swprintf(text, 32, L"machine 0x%04x", type);
    *machine = text;
  }
  return true;
}

}  // namespace zyhost
