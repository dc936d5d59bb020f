// zybench: measures what the plug-in costs, and prints it. It asserts nothing; the figures go into
// the README.
//
//   zybench <package v1> <package v2> [runs]
//
// 1. An install -> update -> uninstall cycle through the plug-in's batch export (the DLL loaded like
//    the host loads it), beside the same platform operations done with Wine's own tools: the INF
//    sections through SetupAPI's rundll32 entry, `sc start`/`sc stop` and a file copy.
// 2. LoadLibrary + FreeLibrary of the plug-in (its environment table is built and destroyed) against
//    a DLL that does nothing.
// 3. A log line whose level is off against one that is written.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "journalsink.h"
#include "plugin/plugin.h"
#include "util/handle.h"
#include "util/log.h"
#include "util/util_EnvironmentVar.h"

namespace {

constexpr const wchar_t* kLogSource = L"zybench";

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::wstring BinDir() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring SystemDir() {
  wchar_t dir[MAX_PATH];
  return std::wstring(dir, GetSystemDirectoryW(dir, MAX_PATH));
}

// Runs a command line to its end; its exit code, or -1 when it could not be started.
int Run(const std::wstring& command) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(L'\0');
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  zyhok::UniqueKernelHandle thread(process.hThread);
  zyhok::UniqueKernelHandle handle(process.hProcess);
  WaitForSingleObject(handle.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(handle.get(), &code);
  return static_cast<int>(code);
}

DWORD ServiceState() {
  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 0;
  zyhok::UniqueScHandle service(OpenServiceW(manager.get(), L"zyhok", SERVICE_QUERY_STATUS));
  SERVICE_STATUS status;
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}

using DoActionFn = uint32_t (*)(const zyhok::DrvInfo*, uint32_t);

uint32_t Do(DoActionFn do_action, uint32_t action, const std::wstring& package) {
  zyhok::DrvInfo record;
  std::memset(&record, 0, sizeof(record));
  wcsncpy(record.wszDriverPath, package.c_str(), zyhok::kDriverPathUnits - 1);
  record.action = action;
  return do_action(&record, 1);
}

// One install -> update -> uninstall cycle through the plug-in; seconds, or a negative value when a
// step did not succeed.
double LibraryCycle(DoActionFn do_action, const std::wstring& v1, const std::wstring& v2) {
  const double start = Now();
  const uint32_t install = Do(do_action, zyhok::kActionInstall, v1);
  const uint32_t update = Do(do_action, zyhok::kActionUpdate, v2);
  const uint32_t uninstall = Do(do_action, zyhok::kActionUninstall, v2);
  const double seconds = Now() - start;
  if (install != zyhok::kResultSuccess || update != zyhok::kResultSuccess ||
      uninstall != zyhok::kResultSuccess) {
    std::fprintf(stderr, "library cycle failed: install 0x%08x, update 0x%08x, uninstall 0x%08x\n",
                 install, update, uninstall);
    return -1;
  }
  return seconds;
}

// The same driver operations with Wine's own tools: install = DefaultInstall + start, update = stop +
// copy of the new driver file + start, uninstall = stop + DefaultUninstall.
double BareCycle(const std::wstring& v1, const std::wstring& v2) {
  const std::wstring hinf = L"rundll32.exe setupapi.dll,InstallHinfSection ";
  const std::wstring sc = L"sc.exe ";
  const double start = Now();
  Run(hinf + L"DefaultInstall 128 " + v1 + L"\\zyhok.inf");
  Run(sc + L"start zyhok");
  const bool installed = ServiceState() == SERVICE_RUNNING;
  Run(sc + L"stop zyhok");
  const bool copied = CopyFileW((v2 + L"\\zyhok.sys").c_str(), (SystemDir() + L"\\drivers\\zyhok.sys").c_str(),
                                FALSE) != FALSE;
  Run(sc + L"start zyhok");
  const bool updated = ServiceState() == SERVICE_RUNNING;
  Run(sc + L"stop zyhok");
  Run(hinf + L"DefaultUninstall 128 " + v2 + L"\\zyhok.inf");
  const double seconds = Now() - start;
  if (!installed || !copied || !updated || ServiceState() != 0) {
    std::fprintf(stderr, "bare cycle failed: installed %d, copied %d, updated %d, state after %lu\n",
                 installed, copied, updated, ServiceState());
    return -1;
  }
  return seconds;
}

void CycleBenchmark(const std::wstring& v1, const std::wstring& v2, int runs) {
  zyhok::UniqueModule plugin(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
  if (!plugin) {
    std::fprintf(stderr, "cannot load helperZYHOKDriver.dll: %lu\n", GetLastError());
    return;
  }
  const auto do_action = reinterpret_cast<DoActionFn>(
      reinterpret_cast<void*>(GetProcAddress(plugin.get(), "Plugin_Interface_DriversDoAction")));
  // Keep the plug-in's log lines out of the measurement's way: they go to the platform's log file.
  std::vector<double> library, bare;
  for (int i = 0; i < runs; ++i) {
    const double l = LibraryCycle(do_action, v1, v2);
    const double b = BareCycle(v1, v2);
    if (l < 0 || b < 0) return;
    library.push_back(l);
    bare.push_back(b);
  }
  const double l = Median(library), b = Median(bare);
  std::printf("install -> update -> uninstall, median of %d runs\n", runs);
  std::printf("  through the plug-in           %8.1f ms\n", l * 1000);
  std::printf("  bare operations (Wine tools)  %8.1f ms\n", b * 1000);
  std::printf("  ratio                         %8.2f (target <= 1.50)\n", l / b);
}

void LoadBenchmark(int rounds) {
  auto measure = [rounds](const std::wstring& dll) {
    // One load first, so both sides read their file from the cache.
    FreeLibrary(LoadLibraryW(dll.c_str()));
    const double start = Now();
    for (int i = 0; i < rounds; ++i) {
      HMODULE module = LoadLibraryW(dll.c_str());
      if (module == nullptr) return -1.0;
      FreeLibrary(module);
    }
    return (Now() - start) / rounds;
  };
  const double plugin = measure(BinDir() + L"helperZYHOKDriver.dll");
  const double empty = measure(BinDir() + L"empty_plugin.dll");
  std::printf("load + unload, mean of %d rounds\n", rounds);
  std::printf("  helperZYHOKDriver.dll         %8.1f us\n", plugin * 1e6);
  std::printf("  empty DLL                     %8.1f us\n", empty * 1e6);
  std::printf("  difference                    %8.1f us\n", (plugin - empty) * 1e6);
  // The part of the difference that is the library's own work at load.
  const double start = Now();
  for (int i = 0; i < rounds; ++i) zyhok::BuildEnvironmentVarMap();
  std::printf("  of which the environment table %7.1f us\n", (Now() - start) / rounds * 1e6);
}

void LogBenchmark(int suppressed_lines, int emitted_lines) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring file = std::wstring(temp) + L"zybench-journal.log";
  DeleteFileW(file.c_str());
  JournalSink_Configure(file.c_str(), L"*=2;Util COMMON=0");
  const std::wstring name = L"zyhok";
  double start = Now();
  for (int i = 0; i < suppressed_lines; ++i) {
    ZYLOG(zyhok::kLogCommon, zyhok::kLevelInfo) << L"Driver Name:" << name << L", round " << i;
  }
  const double suppressed = (Now() - start) / suppressed_lines;
  start = Now();
  for (int i = 0; i < emitted_lines; ++i) {
    ZYLOG(zyhok::kLogInstall, zyhok::kLevelInfo) << L"Driver Name:" << name << L", round " << i;
  }
  const double emitted = (Now() - start) / emitted_lines;
  JournalSink_Configure(L"", L"*=2");
  DeleteFileW(file.c_str());
  std::printf("one log line, mean\n");
  std::printf("  level off (suppressed)        %8.3f us  (%d lines)\n", suppressed * 1e6, suppressed_lines);
  std::printf("  level on (written)            %8.3f us  (%d lines)\n", emitted * 1e6, emitted_lines);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: zybench <package v1> <package v2> [runs]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 5;
  LoadBenchmark(200);
  LogBenchmark(1000000, 20000);
  CycleBenchmark(argv[1], argv[2], runs);
  return 0;
}
