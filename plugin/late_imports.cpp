// The system libraries that the plug-in delay-loads, taken from the system folder only.
#include <windows.h>
#include <delayimp.h>

#include <cstring>
#include <stdexcept>

#include "plugin/late_imports.h"
#include "util/log.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // the plug-in's own image, from the linker

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

// Stands in for a function that could not be loaded. It is reached by a jump from the delay-load thunk,
// with the caller's return address on the stack, so its exception unwinds straight into the caller: the
// action stops there and the dispatch reports it as failed.
[[noreturn]] void Unavailable() { throw std::runtime_error("a system library function could not be loaded"); }
}  // namespace

FARPROC WINAPI ResolveLateImport(unsigned notification, DelayLoadInfo* info) noexcept {
  if (notification != dliStartProcessing) return nullptr;
  // The library's handle is kept where the loader's helper keeps it (the slot its delay-import descriptor
  // names), so that it is loaded, and referenced, once per load of the plug-in rather than once per function.
  auto* const slot = reinterpret_cast<HMODULE*>(reinterpret_cast<BYTE*>(&__ImageBase) + info->pidd->rvaHmod);
  HMODULE module = *slot;
  if (module == nullptr) {
    // <system folder>\<name>, built without allocating: the loader's helper that calls this is C code.
    wchar_t path[MAX_PATH];
    const UINT folder = GetSystemDirectoryW(path, MAX_PATH);
    const size_t name = strlen(info->szDll);
    if (folder > 0 && folder + 1 + name < MAX_PATH) {
      path[folder] = L'\\';
      for (size_t i = 0; i <= name; ++i) path[folder + 1 + i] = static_cast<unsigned char>(info->szDll[i]);
      module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    // Another thread that loaded it meanwhile already holds the reference that is kept.
    if (module != nullptr && InterlockedExchangePointer(reinterpret_cast<PVOID*>(slot), module) == module) {
      FreeLibrary(module);
    }
  }
  const LPCSTR function = info->dlp.fImportByName ? info->dlp.szProcName : MAKEINTRESOURCEA(info->dlp.dwOrdinal);
  const FARPROC address = module != nullptr ? GetProcAddress(module, function) : nullptr;
  if (address != nullptr) {
    *info->ppfn = address;  // later calls go straight to the function
    return address;
  }
  const DWORD error = GetLastError();
  ZYLOG(kLogInstall, kLevelError) << L"fail to load " << info->szDll << L" ("
                                  << (info->dlp.fImportByName ? info->dlp.szProcName : "by ordinal")
                                  << L") from the system folder, error code: " << error;
  return reinterpret_cast<FARPROC>(&Unavailable);
}

}  // namespace zyhok
