// helperZYHOKDriver.dll as its host sees it: the driver-info and driver-status records, the result codes,
// the actions, the identifiers, the names the driver and the platform share, and the four exports.
// It depends on nothing but the Windows and C headers, so every layer of the library can use it.
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

namespace zyhok {

// The driver's service name and file stem.
inline constexpr const wchar_t* kDriverName = L"zyhok";

// The driver services the lifecycle operations loop over: install and update walk it first to
// last, uninstall and the update's stop and check steps last to first. It holds one name.
inline constexpr const wchar_t* kDriverList[] = {kDriverName};

// The services key under HKEY_LOCAL_MACHINE, and the driver's own key below it, which holds the values the
// driver reads (the staged components' paths, the settings, the ownership flags).
inline constexpr const wchar_t* kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
inline constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\zyhok";

// Whether `whole` is `head` followed by `tail`: the names above are written out in full, and checked here to
// be the one name joined.
constexpr bool IsJoined(const wchar_t* whole, const wchar_t* head, const wchar_t* tail) {
  while (*head != L'\0') {
    if (*whole++ != *head++) return false;
  }
  while (*tail != L'\0') {
    if (*whole++ != *tail++) return false;
  }
  return *whole == L'\0';
}
static_assert(IsJoined(kServiceKey, kServicesKey, kDriverName), "the driver's key is its name under the services key");

// Result codes. Success codes are 0x201A00nn; failure and status codes 0xE01A00nn.
enum ResultCode : uint32_t {
  kResultSuccess = 0x201A0001,              // the action completed (or the status report ran)
  kResultNotStopped = 0x201A0002,           // update: the running driver could not be stopped / still runs
  kStatusRunning = 0xE01A0004,              // status record: the service runs
  kStatusNotRunning = 0xE01A0008,           // status record: the service is in another state
  kStatusUnknown = 0xE01A0009,              // status record: the status could not be read
  kResultInvalidRecord = 0xE01A000A,        // unknown action, or the driver path could not be normalised
  kResultStartFailedRestored = 0xE01A000B,  // update: new driver did not start, original restored
  kResultFailed = 0xE01A000C,               // ends a batch: count 0, INF/start/backup/replace failures
  kResultRollbackFailed = 0xE01A000E,       // update: restoring or restarting the original failed
  kResultStopFailed = 0xE01A0019,           // uninstall: the running driver could not be stopped
};

// The host's driver-info record: 2060 bytes, laid out as below, array stride 2060.
struct DrvInfo {
  uint32_t reserved;            // the host's own; never read
  wchar_t wszDriverPath[1024];  // package folder, UTF-16, NUL-terminated within 1024 units
  uint32_t action;              // 0 install, 1 update, 2 uninstall, 3 update
  uint32_t compare_state;       // logged only
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
  uint32_t driver_id;  // always kDriverId
  uint32_t status;     // kStatusRunning, kStatusNotRunning or kStatusUnknown
  char version[100];   // "major.minor.build" or "1.0", NUL-terminated
  uint8_t flag;        // always 1
  uint8_t padding[3];  // not set
};
static_assert(sizeof(DrvStatusInfo) == 112, "DrvStatusInfo is 112 bytes");
static_assert(offsetof(DrvStatusInfo, status) == 4, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, version) == 8, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, flag) == 108, "DrvStatusInfo layout");

inline constexpr uint32_t kDriverId = 0x48000165;
inline constexpr uint32_t kOwnerModuleId = 20020;

// The callback of the status export; its result is not used.
using DrvStatusCallback = uint32_t (*)(const DrvStatusInfo* info, void* context);

}  // namespace zyhok

// The four exports, with C linkage and undecorated names.
extern "C" {
uint32_t Plugin_Interface_DriversDoAction(const zyhok::DrvInfo* records, uint32_t count);
uint32_t Plugin_Interface_EnumerateDriversInfo(zyhok::DrvStatusCallback callback, void* context);
uint32_t Plugin_Interface_GetHelperOwnerModuleID(void);
void Plugin_Interface_GetModuleVersion(uint32_t* version);
}
