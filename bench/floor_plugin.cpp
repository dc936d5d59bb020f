// Floor of the load/unload benchmark: a DLL that links what the plug-in links besides its own code
// (the static C and C++ runtime, Boost.Filesystem and Boost.System) and does no work. The export
// refers to Boost.Filesystem so that the linker keeps it, with its static initialisation.
#include <windows.h>

#include <boost/filesystem.hpp>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

extern "C" __declspec(dllexport) int floor_plugin_exists(const wchar_t* path) {
  try {
    return boost::filesystem::exists(boost::filesystem::path(path)) ? 1 : 0;
  } catch (...) {
    return -1;
  }
}
