// Registry access: RegKey, the owner of one open key, and four one-call value functions on
// HKEY_LOCAL_MACHINE.
//
// Member operations return the Windows error code of the underlying call (ERROR_SUCCESS = 0) and log
// nothing; callers log what they need. A failed Open or Create leaves the held key open and unchanged,
// and a failed read leaves its out-parameter unchanged.
#pragma once

#include <windows.h>

#include <string>

#include "util/handle.h"

namespace zyhok {

class RegKey {
 public:
  RegKey() noexcept = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  // Moving hands the open key over; the source is left holding none.
  RegKey(RegKey&& other) noexcept = default;
  RegKey& operator=(RegKey&& other) noexcept = default;
  ~RegKey() { Close(); }

  HKEY Handle() const noexcept { return key_.get(); }
  bool Valid() const noexcept { return key_.valid(); }

  // Closes the held key, if any. Returns RegCloseKey's result, ERROR_SUCCESS when nothing was held.
  LONG Close() noexcept;

  // Opens an existing key, first in the 64-bit view (access | KEY_WOW64_64KEY), then once more with
  // `access` unchanged; the second attempt's result decides. On success the previously held key is
  // closed and the result of that close is returned (ERROR_SUCCESS on a fresh object).
  LONG Open(HKEY parent, const wchar_t* sub_key, REGSAM access) noexcept;

  // RegCreateKeyExW with exactly these arguments (one attempt, no view flag added). After a successful
  // call the disposition (REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY) is stored through
  // `disposition` when given, the previously held key is closed and the result of that close returned.
  LONG Create(HKEY parent, const wchar_t* sub_key, LPWSTR key_class = nullptr,
              DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_ALL_ACCESS,
              LPSECURITY_ATTRIBUTES security = nullptr, DWORD* disposition = nullptr) noexcept;

  // Reads 4 bytes of value data whatever its stored type: ERROR_FILE_NOT_FOUND for a missing value,
  // ERROR_MORE_DATA for longer data. `value` changes only on success.
  LONG QueryValue(DWORD& value, const wchar_t* name) const noexcept;

  // Reads a string value (its type is not examined; REG_EXPAND_SZ is not expanded): asks for the data
  // size, reads that many bytes and keeps the characters up to the first NUL within them, or all of
  // them when the data holds no NUL. `value` changes only on success; ERROR_OUTOFMEMORY when the
  // buffer cannot be had.
  LONG QueryValue(std::wstring& value, const wchar_t* name) const noexcept;

  // Stores `value` as REG_DWORD.
  LONG SetValue(DWORD value, const wchar_t* name) noexcept;

  // Stores the NUL-terminated `text` with its terminator ((characters + 1) * 2 bytes) as `type`.
  LONG SetValue(const wchar_t* text, const wchar_t* name, DWORD type) noexcept;

  LONG DeleteValue(const wchar_t* name) noexcept;

  // Create (KEY_ALL_ACCESS, missing parents included) and write one REG_SZ or REG_DWORD value with a
  // temporary key. Return the first error met, else ERROR_SUCCESS.
  static LONG SetValue(HKEY parent, const wchar_t* sub_key, const wchar_t* text,
                       const wchar_t* name) noexcept;
  static LONG SetValue(HKEY parent, const wchar_t* sub_key, DWORD value, const wchar_t* name) noexcept;

 private:
  UniqueHKey key_;
};

// One value under HKEY_LOCAL_MACHINE\<sub_key>. The reads open the key with KEY_READ and leave `value`
// unchanged on failure; the writes create the key (and missing parents) when needed. Each returns true
// on success and drops the Windows error code.
bool ReadRegDword(DWORD& value, const std::wstring& sub_key, const std::wstring& name) noexcept;
bool ReadRegString(std::wstring& value, const std::wstring& sub_key, const std::wstring& name) noexcept;
bool WriteRegDword(DWORD value, const std::wstring& sub_key, const std::wstring& name) noexcept;
bool WriteRegString(const std::wstring& value, const std::wstring& sub_key,
                    const std::wstring& name) noexcept;

}  // namespace zyhok
