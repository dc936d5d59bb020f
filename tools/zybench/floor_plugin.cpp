// Floor of the load/unload benchmark: a DLL that links what the plug-in links besides its own code
// (the static C and C++ runtime, Boost.Filesystem and Boost.System) and does no work. The export
// uses the Boost.Filesystem operations the plug-in uses, so that the linker keeps the same parts of
// the library, with their static initialisation.
#include <windows.h>

#include <boost/filesystem.hpp>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

extern "C" __declspec(dllexport) int floor_plugin_stage(const wchar_t* from, const wchar_t* folder) {
  namespace fs = boost::filesystem;
  try {
    const fs::path target = fs::path(folder) / L"staged";
    if (!fs::exists(target)) fs::create_directory(target);
    fs::copy_file(fs::path(from), target / fs::path(from).filename(), fs::copy_options::none);
    return 1;
  } catch (const fs::filesystem_error& e) {
    return e.what()[0] != '\0' ? 0 : -1;
  }
}
