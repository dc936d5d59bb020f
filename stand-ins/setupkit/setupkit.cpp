// Stand-in for the platform's setupkit.dll: the file copy that replaces the driver file during an
// update.
//
// The copy goes to a temporary file beside the destination first and is then moved over the
// destination, so a failed copy never leaves a half-written destination. A destination that is
// read-only is not forced: the copy fails with the system's reason.
//
// The platform promises only the result and *error. The thread's last-error value is left holding a
// value of this library's own (kCopyLeavesError), on success and on failure, so that a caller that
// reads GetLastError() after Copy instead of *error fails its tests.
#define SETUPKIT_BUILD
#include "setupkit.h"

#include <windows.h>

namespace {

constexpr DWORD kCopyLeavesError = ERROR_NO_MORE_FILES;

std::wstring TempNameBeside(const std::wstring& destination) {
  wchar_t suffix[32];
  wsprintfW(suffix, L".setupkit-%lu-%lu.tmp", GetCurrentProcessId(), GetTickCount());
  return destination + suffix;
}

bool CopyThroughTemp(const std::wstring& destination, const std::wstring& source, bool replace, uint32_t* error) {
  auto fail = [error](DWORD code) {
    if (error != nullptr) *error = code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
    return false;
  };
  if (destination.empty() || source.empty()) return fail(ERROR_INVALID_PARAMETER);

  const DWORD source_attributes = GetFileAttributesW(source.c_str());
  if (source_attributes == INVALID_FILE_ATTRIBUTES) return fail(GetLastError());
  if (source_attributes & FILE_ATTRIBUTE_DIRECTORY) return fail(ERROR_DIRECTORY);

  const DWORD dest_attributes = GetFileAttributesW(destination.c_str());
  if (dest_attributes != INVALID_FILE_ATTRIBUTES) {
    if (!replace) return fail(ERROR_FILE_EXISTS);
    if (dest_attributes & FILE_ATTRIBUTE_DIRECTORY) return fail(ERROR_DIRECTORY);
    if (dest_attributes & FILE_ATTRIBUTE_READONLY) return fail(ERROR_ACCESS_DENIED);
  }

  const std::wstring temp = TempNameBeside(destination);
  if (!CopyFileW(source.c_str(), temp.c_str(), TRUE)) return fail(GetLastError());
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!MoveFileExW(temp.c_str(), destination.c_str(), flags)) {
    const DWORD code = GetLastError();
    DeleteFileW(temp.c_str());
    return fail(code);
  }
  return true;
}

}  // namespace

bool Copy(const std::wstring& destination, const std::wstring& source, bool replace, uint32_t* error) {
  const bool copied = CopyThroughTemp(destination, source, replace, error);
  SetLastError(kCopyLeavesError);
  return copied;
}
