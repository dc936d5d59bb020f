// The machine-wide lifecycle lock (see LifecycleLock in plugin.h).
#include <windows.h>
#include <sddl.h>

#include "plugin/plugin.h"
#include "util/handle.h"
#include "util/log.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

// Full access for SYSTEM and Administrators, nobody else; protected from inheritance.
constexpr const wchar_t* kLockSddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// Creates the mutex with the restricted DACL, or opens the existing one. Null when neither works:
// the name is taken by an object this process may not open, or by another kind of object.
HANDLE OpenOrCreateLock() {
  UniqueLocal descriptor;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSddl, SDDL_REVISION_1, descriptor.put(),
                                                           nullptr)) {
    attributes.lpSecurityDescriptor = descriptor.get();
  }
  return CreateMutexW(&attributes, FALSE, kLifecycleLockName);
}

}  // namespace

LifecycleLock::LifecycleLock(DWORD wait_ms) {
  mutex_ = OpenOrCreateLock();
  if (mutex_ == nullptr) {
    const DWORD error = GetLastError();
    ZYLOG(kLogInstall, kLevelError) << L"fail to open the lifecycle lock " << kLifecycleLockName
                                    << L", error code: " << error << L"; going on without it";
    return;
  }
  DWORD wait = WaitForSingleObject(mutex_, 0);
  if (wait == WAIT_TIMEOUT) {
    ZYLOG(kLogInstall, kLevelInfo) << L"another batch holds the lifecycle lock " << kLifecycleLockName
                                   << L", waiting for it";
    const DWORD start = GetTickCount();
    wait = WaitForSingleObject(mutex_, wait_ms);
    if (wait == WAIT_OBJECT_0) {
      ZYLOG(kLogInstall, kLevelInfo) << L"got the lifecycle lock after waiting " << GetTickCount() - start
                                     << L" ms";
    }
  }
  owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  if (wait == WAIT_ABANDONED) {
    ZYLOG(kLogInstall, kLevelWarning) << L"the last holder of the lifecycle lock " << kLifecycleLockName
                                      << L" ended without releasing it; taking it over";
  } else if (!owned_) {
    timed_out_ = true;
    ZYLOG(kLogInstall, kLevelError) << L"fail to get the lifecycle lock " << kLifecycleLockName << L" within "
                                    << wait_ms << L" ms; nothing is done";
  }
}

LifecycleLock::~LifecycleLock() {
  if (mutex_ == nullptr) return;
  const DWORD error = GetLastError();
  if (owned_) ReleaseMutex(mutex_);
  CloseHandle(mutex_);
  SetLastError(error);
}

}  // namespace zyhok
