// The machine-wide lock that keeps the lifecycle batches of all processes apart, and the folder it creates,
// which also holds the action journal.
#pragma once

#include <windows.h>

#include "util/handle.h"

namespace zyhok {

// The machine-wide lock that keeps lifecycle batches of all processes apart: an exclusive lock
// (LockFileEx) on the file "lock" in the folder kLifecycleLockFolder under the system folder. The lock
// creates that folder, and the file, with a protected access list that grants SYSTEM and Administrators
// alone, and a process puts that list back on both the first time it finds them. Only those (and the
// system's installer) may create entries in the system folder, so no unprivileged process can make the
// folder or the file first; none can open the file, so none can lock it or keep it open, from whatever
// session. The system lets go of the lock of a process that ends. While a batch holds the lock the file
// reads "held", and "free" once it let go, so that the next holder can tell a holder that ended without
// letting go. The log lines name the lock by its file's full path.
inline constexpr const wchar_t* kLifecycleLockFolder = L"ZYHOK_DriverLifecycle";
inline constexpr const wchar_t* kLifecycleLockFile = L"lock";  // in kLifecycleLockFolder

// How long a batch waits for the lock. Among the records, an update waits on the service at most four
// times (the stop of a service marked for deletion, the stop of the old driver, the start of the new
// one, the restart of the old one after a failed exchange), each wait bounded by kServiceWaitTimeoutMs
// (30 s): two minutes per record besides its file copies. Five such records, the most a host hands in
// one batch with room to spare, hold the lock for at most ten minutes.
inline constexpr DWORD kLifecycleLockWaitMs = 5 * 4 * 30000;

// Holds the lock for its lifetime. The constructor waits at most `wait_ms` for it, logging a level-2
// line when it has to wait and another with the time waited once it has it. A lock whose holder ended
// without releasing it is taken over (level-3 line instead). When the lock file cannot be opened at
// all (no right to the system folder), or opens but cannot be locked for another reason than another
// holder, a level-5 line of its own says so and the batch goes on without the lock:
// the lock is never the reason an action fails. Only a wait that runs out gives timed_out() (level-5
// line).
class LifecycleLock {
 public:
  explicit LifecycleLock(DWORD wait_ms = kLifecycleLockWaitMs);
  ~LifecycleLock();
  LifecycleLock(const LifecycleLock&) = delete;
  LifecycleLock& operator=(const LifecycleLock&) = delete;

  bool timed_out() const { return timed_out_; }

 private:
  UniqueFileHandle file_;
  bool owned_ = false;
  bool timed_out_ = false;
};

}  // namespace zyhok
