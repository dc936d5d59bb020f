// Baseline for the load/unload benchmark: a DLL with an entry point and nothing else.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
