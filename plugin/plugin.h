// The plug-in interface: the records that cross the boundary to the host, the result codes, and the
// operations of the plug-in subsystem (exports, dispatch, status report).
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

#include "util/handle.h"
#include "zyhok_version.h"

struct DelayLoadInfo;  // <delayimp.h>

namespace zyhok {

// The driver's service name and file stem.
inline constexpr const wchar_t* kDriverName = L"zyhok";

// The driver services the lifecycle operations loop over: install and update walk it first to
// last, uninstall and the update's stop and check steps last to first. It holds one name.
inline constexpr const wchar_t* kDriverList[] = {kDriverName};

// Result codes. Success codes are 0x201A00nn; failure and status codes 0xE01A00nn.
enum ResultCode : uint32_t {
  kResultSuccess = 0x201A0001,          // the action completed (or the status report ran)
  kResultNotStopped = 0x201A0002,       // update: the running driver could not be stopped / still runs
  kStatusRunning = 0xE01A0004,          // status record: the service runs
  kStatusNotRunning = 0xE01A0008,       // status record: the service is in another state
  kStatusUnknown = 0xE01A0009,          // status record: the status could not be read
  kResultInvalidRecord = 0xE01A000A,    // unknown action, or the driver path could not be normalised
  kResultStartFailedRestored = 0xE01A000B,  // update: new driver did not start, original restored
  kResultFailed = 0xE01A000C,           // ends a batch: count 0, INF/start/backup/replace failures
  kResultRollbackFailed = 0xE01A000E,   // update: restoring or restarting the original failed
  kResultStopFailed = 0xE01A0019,       // uninstall: the running driver could not be stopped
};

// The host's driver-info record: 2060 bytes, laid out as below, array stride 2060.
struct DrvInfo {
  uint32_t reserved;               // the host's own; never read
  wchar_t wszDriverPath[1024];     // package folder, UTF-16, NUL-terminated within 1024 units
  uint32_t action;                 // 0 install, 1 update, 2 uninstall, 3 update
  uint32_t compare_state;          // logged only
};
static_assert(sizeof(wchar_t) == 2, "UTF-16 wchar_t required");
static_assert(sizeof(DrvInfo) == 2060, "DrvInfo is 2060 bytes");
static_assert(offsetof(DrvInfo, wszDriverPath) == 4, "DrvInfo layout");
static_assert(offsetof(DrvInfo, action) == 2052, "DrvInfo layout");
static_assert(offsetof(DrvInfo, compare_state) == 2056, "DrvInfo layout");

inline constexpr uint32_t kDriverPathUnits = 1024;

// Actions of a record.
enum DrvAction : uint32_t {
  kActionInstall = 0,
  kActionUpdate = 1,
  kActionUninstall = 2,
  kActionUpdateQuiet = 3,  // an update without the extra compare_state line
};

// The driver-status record handed to the host's callback: 112 bytes.
struct DrvStatusInfo {
  uint32_t driver_id;   // always kDriverId
  uint32_t status;      // kStatusRunning, kStatusNotRunning or kStatusUnknown
  char version[100];    // "major.minor.build" or "1.0", NUL-terminated
  uint8_t flag;         // always 1
  uint8_t padding[3];   // not set
};
static_assert(sizeof(DrvStatusInfo) == 112, "DrvStatusInfo is 112 bytes");
static_assert(offsetof(DrvStatusInfo, status) == 4, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, version) == 8, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, flag) == 108, "DrvStatusInfo layout");

inline constexpr uint32_t kDriverId = 0x48000165;
inline constexpr uint32_t kOwnerModuleId = 20020;
// Major, minor and build of the version resource's 1.6.0.1195 (the third component is not reported).
inline constexpr uint32_t kModuleVersion[3] = {ZYHOK_VERSION_MAJOR, ZYHOK_VERSION_MINOR, ZYHOK_VERSION_BUILD};

// The callback of the status export; its result is not used.
using DrvStatusCallback = uint32_t (*)(const DrvStatusInfo* info, void* context);

// A driver file's version numbers: major, minor, a third word that is always 0, build.
struct DrvVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t reserved;
  uint32_t build;
};

// Version of the file `name` + ".sys" in the system's drivers folder. An empty name or a null `out`
// gives FALSE; `name` must not be null.
BOOL QueryDriverVersion(const wchar_t* name, DrvVersion* out);

// Major and minor (high and low words of dwFileVersionMS) and build (low word of dwFileVersionLS)
// from a file's fixed version information. The out-parameters are only written on success.
BOOL GetFileVersionNumbers(const wchar_t* path, uint32_t* major, uint32_t* minor, uint32_t* build);

// The delay-load helper's notification hook (the DLL installs it as __pfnDliNotifyHook2). At the first
// call of a delay-loaded function it loads the library by its full path in the system folder, never by
// bare name through the search path (the host's current folder and PATH among its places), and
// resolves the function there, ahead of the helper's own load. A library or function that cannot be had
// that way is logged at level 5 and replaced by one that throws std::runtime_error into its caller, so
// the action stops and is reported as failed instead of the helper raising an exception through the host.
FARPROC WINAPI ResolveLateImport(unsigned notification, ::DelayLoadInfo* info) noexcept;

// Carries out one record's action and returns its result code; any action outside 0..3 gives
// kResultInvalidRecord. No exception leaves it.
uint32_t DoActionFromDrvInfo(const DrvInfo& record);

// Carries out `count` records in array order; a record result of kResultFailed ends the batch.
// Returns the last record's result, or kResultFailed for a count of 0 or a null array.
uint32_t DriversDoAction(const DrvInfo* records, uint32_t count);

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

// Fills `info` with the driver's service state and file version, as the status export reports it.
void FillDriverStatus(DrvStatusInfo* info);

}  // namespace zyhok

// The four exports, with C linkage and undecorated names.
extern "C" {
uint32_t Plugin_Interface_DriversDoAction(const zyhok::DrvInfo* records,
                                          uint32_t count);
uint32_t Plugin_Interface_EnumerateDriversInfo(zyhok::DrvStatusCallback callback,
                                              void* context);
uint32_t Plugin_Interface_GetHelperOwnerModuleID(void);
void Plugin_Interface_GetModuleVersion(uint32_t* version);
}
