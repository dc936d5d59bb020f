#include "util/registry.h"

#include <new>
#include <vector>

namespace zyhok {

LONG RegKey::Close() noexcept {
  HKEY key = key_.release();
  if (key == nullptr) return ERROR_SUCCESS;
  return RegCloseKey(key);
}

LONG RegKey::Open(HKEY parent, const wchar_t* sub_key, REGSAM access) noexcept {
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExW(parent, sub_key, 0, access | KEY_WOW64_64KEY, &opened);
  if (result != ERROR_SUCCESS) {
    // Whatever made the 64-bit view fail (the key exists only in the view the caller asked for, or the
    // caller's own view flag conflicts with KEY_WOW64_64KEY), the caller's mask gets its own attempt.
    opened = nullptr;
    result = RegOpenKeyExW(parent, sub_key, 0, access, &opened);
    if (result != ERROR_SUCCESS) return result;
  }
  const LONG closed = Close();
  key_.reset(opened);
  return closed;
}

LONG RegKey::Create(HKEY parent, const wchar_t* sub_key, LPWSTR key_class, DWORD options,
                    REGSAM access, LPSECURITY_ATTRIBUTES security, DWORD* disposition) noexcept {
  HKEY created = nullptr;
  DWORD reported = 0;
  const LONG result = RegCreateKeyExW(parent, sub_key, 0, key_class, options, access, security,
                                      &created, &reported);
  if (result != ERROR_SUCCESS) return result;
  if (disposition != nullptr) *disposition = reported;
  const LONG closed = Close();
  key_.reset(created);
  return closed;
}

LONG RegKey::QueryValue(DWORD& value, const wchar_t* name) const noexcept {
  DWORD type = REG_DWORD;
  DWORD size = sizeof(DWORD);
  DWORD data = 0;
  const LONG result =
      RegQueryValueExW(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (result == ERROR_SUCCESS) value = data;
  return result;
}

LONG RegKey::QueryValue(std::wstring& value, const wchar_t* name) const noexcept {
  DWORD size = 0;
  LONG result = RegQueryValueExW(key_.get(), name, nullptr, nullptr, nullptr, &size);
  if (result != ERROR_SUCCESS) return result;
  try {
    // Whole UTF-16 units: an odd trailing byte has no character of its own and is dropped.
    std::vector<wchar_t> buffer((size + 1) / sizeof(wchar_t));
    result = RegQueryValueExW(key_.get(), name, nullptr, nullptr,
                              reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (result != ERROR_SUCCESS) return result;
    // The data need not end in a terminator, and may hold one before its end: the text stops at the
    // first NUL within the returned bytes and never reads past them.
    const size_t units = size / sizeof(wchar_t);
    size_t length = 0;
    while (length < units && buffer[length] != L'\0') ++length;
    value.assign(buffer.data(), length);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

LONG RegKey::SetValue(DWORD value, const wchar_t* name) noexcept {
  return RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

LONG RegKey::SetValue(const wchar_t* text, const wchar_t* name, DWORD type) noexcept {
  const DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t));
  return RegSetValueExW(key_.get(), name, 0, type, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG RegKey::DeleteValue(const wchar_t* name) noexcept { return RegDeleteValueW(key_.get(), name); }

LONG RegKey::SetValue(HKEY parent, const wchar_t* sub_key, const wchar_t* text,
                      const wchar_t* name) noexcept {
  RegKey key;
  LONG result = key.Create(parent, sub_key, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           nullptr);
  if (result != ERROR_SUCCESS) return result;
  return key.SetValue(text, name, REG_SZ);
}

LONG RegKey::SetValue(HKEY parent, const wchar_t* sub_key, DWORD value, const wchar_t* name) noexcept {
  RegKey key;
  LONG result = key.Create(parent, sub_key, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           nullptr);
  if (result != ERROR_SUCCESS) return result;
  return key.SetValue(value, name);
}

bool ReadRegDword(DWORD& value, const std::wstring& sub_key, const std::wstring& name) noexcept {
  RegKey key;
  return key.Open(HKEY_LOCAL_MACHINE, sub_key.c_str(), KEY_READ) == ERROR_SUCCESS &&
         key.QueryValue(value, name.c_str()) == ERROR_SUCCESS;
}

bool ReadRegString(std::wstring& value, const std::wstring& sub_key, const std::wstring& name) noexcept {
  RegKey key;
  return key.Open(HKEY_LOCAL_MACHINE, sub_key.c_str(), KEY_READ) == ERROR_SUCCESS &&
         key.QueryValue(value, name.c_str()) == ERROR_SUCCESS;
}

bool WriteRegDword(DWORD value, const std::wstring& sub_key, const std::wstring& name) noexcept {
  return RegKey::SetValue(HKEY_LOCAL_MACHINE, sub_key.c_str(), value, name.c_str()) == ERROR_SUCCESS;
}

bool WriteRegString(const std::wstring& value, const std::wstring& sub_key,
                    const std::wstring& name) noexcept {
  return RegKey::SetValue(HKEY_LOCAL_MACHINE, sub_key.c_str(), value.c_str(), name.c_str()) ==
         ERROR_SUCCESS;
}

}  // namespace zyhok
