// Where the delay-loaded system libraries come from: the system folder, and nowhere else.
#pragma once

#include <windows.h>

struct DelayLoadInfo;  // <delayimp.h>

namespace zyhok {

// The delay-load helper's notification hook (the DLL installs it as __pfnDliNotifyHook2). At the first
// call of a delay-loaded function it loads the library by its full path in the system folder, never by
// bare name through the search path (the host's current folder and PATH among its places), and
// resolves the function there, ahead of the helper's own load. A library or function that cannot be had
// that way is logged at level 5 and replaced by one that throws std::runtime_error into its caller, so
// the action stops and is reported as failed instead of the helper raising an exception through the host.
FARPROC WINAPI ResolveLateImport(unsigned notification, ::DelayLoadInfo* info) noexcept;

}  // namespace zyhok
