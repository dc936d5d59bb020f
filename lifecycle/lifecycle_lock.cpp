// The machine-wide lifecycle lock (see LifecycleLock in plugin.h).
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "lifecycle/lifecycle_lock.h"
#include "staging/Utilities.h"
#include "util/log.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

// Full access for SYSTEM and Administrators, inherited by what the folder holds; nobody else; protected
// from inheritance.
constexpr const wchar_t* kLockSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr DWORD kPollMs = 50;
constexpr DWORD kMarkerBytes = 4;
constexpr char kHeld[] = "held";
constexpr char kReleased[] = "free";

// Opens the lock file, creating its folder. The first time in the life of the process that it finds
// the folder or the file there already, it puts the access list back on them (only SYSTEM and
// Administrators can have changed it since). Empty, with the reason as the last-error value, when any of
// that fails.
UniqueFileHandle OpenLockFile(const std::wstring& system_folder) {
  static std::atomic<bool> put_back{false};
  UniqueLocal descriptor;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSddl, SDDL_REVISION_1, descriptor.put(), nullptr) ||
      !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
    return UniqueFileHandle();
  }
  const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  const auto failed = [](DWORD error) { return SetLastError(error), error != ERROR_SUCCESS; };
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  if (system_folder.empty()) return SetLastError(ERROR_PATH_NOT_FOUND), UniqueFileHandle();
  std::wstring folder = system_folder + L"\\" + kLifecycleLockFolder;
  if (!CreateDirectoryW(folder.c_str(), &attributes)) {
    if (GetLastError() != ERROR_ALREADY_EXISTS) return UniqueFileHandle();
    if (!put_back && failed(SetNamedSecurityInfoW(&folder[0], SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr))) {
      return UniqueFileHandle();
    }
  }
  UniqueFileHandle file(CreateFileW((folder + L"\\" + kLifecycleLockFile).c_str(),
                                    GENERIC_READ | GENERIC_WRITE | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file && GetLastError() == ERROR_ALREADY_EXISTS && !put_back &&
      failed(SetSecurityInfo(file.get(), SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr))) {
    return UniqueFileHandle();
  }
  if (file) put_back = true;
  return file;
}

// The file's first 4 GiB (all it will ever hold), locked exclusively without waiting; false with the
// reason in `error` (ERROR_LOCK_VIOLATION while another handle holds it).
bool TryLock(HANDLE file, DWORD& error) {
  OVERLAPPED at = {};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, 0, &at)) return true;
  error = GetLastError();
  return false;
}

}  // namespace

LifecycleLock::LifecycleLock(DWORD wait_ms) {
  const std::wstring system_folder = GetSystemDirPath();
  const std::wstring name = system_folder + L"\\" + kLifecycleLockFolder + L"\\" + kLifecycleLockFile;
  file_ = OpenLockFile(system_folder);
  DWORD error = GetLastError();
  bool locked = file_ && TryLock(file_.get(), error);
  bool waited = false;
  const DWORD start = GetTickCount();
  if (!locked && file_ && error == ERROR_LOCK_VIOLATION) {
    waited = true;
    ZYLOG(kLogInstall, kLevelInfo) << L"another batch holds the lifecycle lock " << name << L", waiting for it";
    for (DWORD spent = 0; !locked && error == ERROR_LOCK_VIOLATION && spent < wait_ms; spent = GetTickCount() - start) {
      Sleep(std::min(kPollMs, wait_ms - spent));
      locked = TryLock(file_.get(), error);
    }
    if (!locked && error == ERROR_LOCK_VIOLATION) {
      timed_out_ = true;
      ZYLOG(kLogInstall, kLevelError) << L"fail to get the lifecycle lock " << name << L" within " << wait_ms
                                      << L" ms; nothing is done";
      return;
    }
  }
  if (!locked) {
    ZYLOG(kLogInstall, kLevelError) << (file_ ? L"fail to lock the lifecycle lock "
                                              : L"fail to open the lifecycle lock ")
                                    << name << L", error code: " << error << L"; going on without it";
    file_.reset();
    return;
  }
  owned_ = true;
  char marker[kMarkerBytes] = {};
  DWORD bytes = 0;
  OVERLAPPED at = {};
  const bool abandoned = ReadFile(file_.get(), marker, kMarkerBytes, &bytes, &at) && bytes == kMarkerBytes &&
                         std::equal(marker, marker + kMarkerBytes, kHeld);
  if (abandoned) {
    ZYLOG(kLogInstall, kLevelWarning) << L"the last holder of the lifecycle lock " << name
                                      << L" ended without releasing it; taking it over";
  } else if (waited) {
    ZYLOG(kLogInstall, kLevelInfo) << L"got the lifecycle lock after waiting " << GetTickCount() - start << L" ms";
  }
  at = OVERLAPPED{};
  WriteFile(file_.get(), kHeld, kMarkerBytes, &bytes, &at);
}

LifecycleLock::~LifecycleLock() {
  if (!owned_) return;
  const DWORD error = GetLastError();
  DWORD bytes = 0;
  OVERLAPPED at = {};
  WriteFile(file_.get(), kReleased, kMarkerBytes, &bytes, &at);
  at = OVERLAPPED{};
  UnlockFileEx(file_.get(), 0, MAXDWORD, 0, &at);
  SetLastError(error);
}

}  // namespace zyhok
