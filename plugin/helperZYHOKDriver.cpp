// The plug-in's entry point and its four exports. No C++ exception leaves an export.
#include <windows.h>
#include <delayimp.h>

#include "plugin_interface.h"
#include "lifecycle/lifecycle_lock.h"
#include "plugin/dispatch.h"
#include "plugin/driver_status.h"
#include "plugin/late_imports.h"
#include "service/drivermanage.h"
#include "util/log.h"
#include "zyhok_version.h"

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";
// Major, minor and build of the version resource's 1.6.0.1195 (the third component is not reported).
constexpr uint32_t kModuleVersion[3] = {ZYHOK_VERSION_MAJOR, ZYHOK_VERSION_MINOR, ZYHOK_VERSION_BUILD};
}  // namespace

// The delay-loaded system libraries come from the system folder only (see ResolveLateImport).
extern "C" PfnDliHook __pfnDliNotifyHook2 = zyhok::ResolveLateImport;

// libstdc++'s own release of the buffer it keeps for throwing exceptions when memory runs out (about
// 73 KB, allocated when the library loads and otherwise never freed).
namespace __gnu_cxx {
void __freeres();
}

// On an unload by FreeLibrary (`reserved` null; not at process exit) the C++ runtime's emergency
// buffer is given back, so that a host that loads and unloads the plug-in again and again keeps its
// memory. Nothing runs after it that could throw.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
  return TRUE;
}

extern "C" uint32_t Plugin_Interface_GetHelperOwnerModuleID(void) { return zyhok::kOwnerModuleId; }

extern "C" void Plugin_Interface_GetModuleVersion(uint32_t* version) {
  if (version == nullptr) return;
  version[0] = kModuleVersion[0];
  version[1] = kModuleVersion[1];
  version[2] = kModuleVersion[2];
}

extern "C" uint32_t Plugin_Interface_EnumerateDriversInfo(zyhok::DrvStatusCallback callback,
                                                          void* context) {
  try {
    zyhok::DrvStatusInfo info;
    zyhok::FillDriverStatus(&info);
    if (callback != nullptr) callback(&info, context);
    ZYLOG(zyhok::kLogInstall, zyhok::kLevelInfo) << L"driver version: " << info.version;
  } catch (...) {
    // Only an allocation failure or a version library that cannot be loaded (logged) gets here; the
    // report has nothing more to say.
  }
  return zyhok::kResultSuccess;
}

extern "C" uint32_t Plugin_Interface_DriversDoAction(const zyhok::DrvInfo* records, uint32_t count) {
  if (count == 0) return zyhok::kResultFailed;
  try {
    // One batch at a time on the machine, whichever process calls.
    const zyhok::LifecycleLock lock;
    if (lock.timed_out()) return zyhok::kResultFailed;
    // The batch's service operations share one connection to the service control manager.
    const zyhok::ServiceManagerScope service_manager;
    return zyhok::DriversDoAction(records, count);
  } catch (...) {
    // DoActionFromDrvInfo catches everything its actions raise; only its own logging could get here.
    return zyhok::kResultFailed;
  }
}
