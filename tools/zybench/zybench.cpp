// zybench: measures what the plug-in costs, and prints it. It asserts nothing; the figures go into
// docs/benchmark.md.
//
//   zybench <package v1> <package v2> [runs]
//
// 1. An install -> update -> uninstall cycle through the plug-in's batch export (the DLL loaded like
//    the host loads it), with the log as the platform configures it ("*=2") and with logging off,
//    beside the least the job can be done with: one in-process program that makes only the platform
//    calls the cycle cannot do without (MinimalCycle), and beside the same driver operations done with
//    Wine's own tools (a process for each step: the INF sections through SetupAPI's rundll32 entry,
//    `sc start`/`sc stop`). The four run in turn within each round, so that a machine busy with other
//    work slows them alike, in an order that turns by one each round; the figures are medians, and the
//    ratios are medians of each round's ratios.
// 2. LoadLibrary + FreeLibrary of the plug-in (its environment table is built and destroyed) against
//    a DLL that links the same static runtime and Boost.Filesystem and does nothing (the floor), and
//    a DLL that does nothing with no runtime at all; in alternating blocks, medians of the blocks.
// 3. A log line whose level is off against one that is written.
#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_interface.h"
#include "journalsink.h"
#include "staging/component_staging.h"
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
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process)) {
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
  if (install != zyhok::kResultSuccess || update != zyhok::kResultSuccess || uninstall != zyhok::kResultSuccess) {
    (void)std::fprintf(stderr, "library cycle failed: install 0x%08x, update 0x%08x, uninstall 0x%08x\n", install,
                       update, uninstall);
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
  const bool copied =
      CopyFileW((v2 + L"\\zyhok.sys").c_str(), (SystemDir() + L"\\drivers\\zyhok.sys").c_str(), FALSE) != FALSE;
  Run(sc + L"start zyhok");
  const bool updated = ServiceState() == SERVICE_RUNNING;
  Run(sc + L"stop zyhok");
  Run(hinf + L"DefaultUninstall 128 " + v2 + L"\\zyhok.inf");
  const double seconds = Now() - start;
  if (!installed || !copied || !updated || ServiceState() != 0) {
    (void)std::fprintf(stderr, "bare cycle failed: installed %d, copied %d, updated %d, state after %lu\n", installed,
                       copied, updated, ServiceState());
    return -1;
  }
  return seconds;
}

// A package as the least program sees it: the package folder and the add-on folder beside it (text
// work only, done before the clock), and the version texts that name the folders its copies go to,
// which the least program reads inside its timed work, as the plug-in does.
struct Package {
  std::wstring folder;        // the driver package
  std::wstring addon_folder;  // the add-on files beside it
  std::wstring engine_version;
  std::wstring addon_version;
};

bool FindPackage(const std::wstring& folder, Package& package) {
  package.folder = folder;
  return zyhok::DeriveAddOnSourceFolder(folder, package.addon_folder);
}

// The "FileVersion" text of the first translation in `file`'s version resource, read with the least
// calls: size, data, translation, text. Empty when there is none.
std::wstring VersionText(const std::wstring& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  std::vector<BYTE> data(size);
  const WORD* translation = nullptr;
  UINT bytes = 0;
  if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &bytes) || bytes < 4) {
    return std::wstring();
  }
  wchar_t query[64];
  wsprintfW(query, L"\\StringFileInfo\\%04x%04x\\FileVersion", translation[0], translation[1]);
  const wchar_t* text = nullptr;
  return VerQueryValueW(data.data(), query, (void**)&text, &bytes) && text ? text : L"";
}

bool ReadVersions(Package& package) {
  package.engine_version = VersionText(package.folder + L"\\zymon64.dll");
  package.addon_version = VersionText(package.addon_folder + L"\\ZyHkEvt64.dll");
  return !package.engine_version.empty() && !package.addon_version.empty();
}

// A service start or stop waited for by polling its status without a pause.
bool WaitTight(SC_HANDLE service, DWORD desired) {
  const DWORD deadline = GetTickCount() + 30000;
  SERVICE_STATUS status;
  while (QueryServiceStatus(service, &status)) {
    if (status.dwCurrentState == desired) return true;
    if (static_cast<LONG>(GetTickCount() - deadline) > 0) return false;
    SwitchToThread();
  }
  return false;
}

// The staged copies of one package under one root (system32 or SysWOW64).
struct StagedTree {
  std::wstring root;  // <root>\zyhok\20019
  const wchar_t* engine_file;
  const wchar_t* addon_file;
};

void MakeFolder(const std::wstring& folder) { CreateDirectoryW(folder.c_str(), nullptr); }

// Copies the engine and add-on files of `package` into their version folders under both roots.
bool StageCopies(const StagedTree (&trees)[2], const Package& package) {
  bool copied = true;
  for (const StagedTree& tree : trees) {
    const std::wstring engine = tree.root + L"\\ZyMon\\" + package.engine_version;
    const std::wstring addon = tree.root + L"\\AddOn\\" + package.addon_version;
    MakeFolder(tree.root.substr(0, tree.root.size() - 6));  // <root>\zyhok
    MakeFolder(tree.root);
    MakeFolder(tree.root + L"\\ZyMon");
    MakeFolder(engine);
    MakeFolder(tree.root + L"\\AddOn");
    MakeFolder(addon);
    copied &= CopyFileW((package.folder + L"\\" + tree.engine_file).c_str(),
                        (engine + L"\\" + tree.engine_file).c_str(), TRUE) != FALSE;
    copied &= CopyFileW((package.addon_folder + L"\\" + tree.addon_file).c_str(),
                        (addon + L"\\" + tree.addon_file).c_str(), TRUE) != FALSE;
  }
  return copied;
}

void RemoveCopies(const StagedTree (&trees)[2], const Package& package) {
  for (const StagedTree& tree : trees) {
    const std::wstring engine = tree.root + L"\\ZyMon\\" + package.engine_version;
    const std::wstring addon = tree.root + L"\\AddOn\\" + package.addon_version;
    DeleteFileW((engine + L"\\" + tree.engine_file).c_str());
    DeleteFileW((addon + L"\\" + tree.addon_file).c_str());
    RemoveDirectoryW(engine.c_str());
    RemoveDirectoryW(addon.c_str());
  }
}

void RemoveTrees(const StagedTree (&trees)[2]) {
  for (const StagedTree& tree : trees) {
    RemoveDirectoryW((tree.root + L"\\ZyMon").c_str());
    RemoveDirectoryW((tree.root + L"\\AddOn").c_str());
    RemoveDirectoryW(tree.root.c_str());
    RemoveDirectoryW(tree.root.substr(0, tree.root.size() - 6).c_str());
  }
}

// The least the cycle can be done with, in this process: the INF's install section, the start
// (waited for by a tight poll), v1's component versions read and its engine and add-on copies into
// their version folders under system32 and SysWOW64; then v2's versions read and its copies, the stop,
// the new driver file's copy, the start, v1's copies removed; then the stop, the INF's uninstall
// section and the staged files and folders removed. No log, no registry value of the plug-in's own,
// no access restriction, no backup.
double MinimalCycle(Package v1, Package v2) {
  const std::wstring system_dir = SystemDir();
  wchar_t buffer[MAX_PATH];
  const std::wstring windows_dir(buffer, GetWindowsDirectoryW(buffer, MAX_PATH));
  const StagedTree trees[2] = {{system_dir + L"\\zyhok\\20019", L"zymon64.dll", L"ZyHkEvt64.dll"},
                               {windows_dir + L"\\SysWOW64\\zyhok\\20019", L"zymon.dll", L"ZyHkEvt.dll"}};
  const std::wstring install = L"DefaultInstall 128 " + v1.folder + L"\\zyhok.inf";
  const std::wstring uninstall = L"DefaultUninstall 128 " + v2.folder + L"\\zyhok.inf";
  const std::wstring new_driver = v2.folder + L"\\zyhok.sys";
  const std::wstring driver = system_dir + L"\\drivers\\zyhok.sys";

  const double start = Now();
  InstallHinfSectionW(nullptr, nullptr, install.c_str(), 0);
  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  zyhok::UniqueScHandle service(
      manager ? OpenServiceW(manager.get(), L"zyhok", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
  SERVICE_STATUS status;
  const bool installed =
      service && StartServiceW(service.get(), 0, nullptr) && WaitTight(service.get(), SERVICE_RUNNING);
  bool staged = ReadVersions(v1) && StageCopies(trees, v1);

  staged &= ReadVersions(v2) && StageCopies(trees, v2);
  const bool stopped = service && ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
                       WaitTight(service.get(), SERVICE_STOPPED);
  const bool copied = CopyFileW(new_driver.c_str(), driver.c_str(), FALSE) != FALSE;
  const bool updated = service && StartServiceW(service.get(), 0, nullptr) && WaitTight(service.get(), SERVICE_RUNNING);
  RemoveCopies(trees, v1);

  const bool stopped_again = service && ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
                             WaitTight(service.get(), SERVICE_STOPPED);
  service.reset();
  manager.reset();
  InstallHinfSectionW(nullptr, nullptr, uninstall.c_str(), 0);
  RemoveCopies(trees, v2);
  RemoveTrees(trees);
  const double seconds = Now() - start;

  if (!installed || !staged || !stopped || !copied || !updated || !stopped_again || ServiceState() != 0 ||
      GetFileAttributesW(trees[0].root.c_str()) != INVALID_FILE_ATTRIBUTES) {
    (void)std::fprintf(stderr,
                       "minimal cycle failed: installed %d, staged %d, stopped %d, copied %d, updated %d, "
                       "stopped again %d, state after %lu\n",
                       installed, staged, stopped, copied, updated, stopped_again, ServiceState());
    return -1;
  }
  return seconds;
}

void CycleBenchmark(const std::wstring& v1, const std::wstring& v2, int runs) {
  zyhok::UniqueModule plugin(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
  if (!plugin) {
    (void)std::fprintf(stderr, "cannot load helperZYHOKDriver.dll: %lu\n", GetLastError());
    return;
  }
  const auto do_action = reinterpret_cast<DoActionFn>(
      reinterpret_cast<void*>(GetProcAddress(plugin.get(), "Plugin_Interface_DriversDoAction")));
  Package package1, package2;
  if (!FindPackage(v1, package1) || !FindPackage(v2, package2)) {
    (void)std::fprintf(stderr, "cannot find the packages' add-on folders\n");
    return;
  }
  // The plug-in's lines go to the log file that the environment names (scripts/bench.sh: the
  // platform's levels, "*=2"); for the second plug-in figure every module is switched off.
  // The order turns by one place each round: whichever way runs first in a round also runs after the
  // tools' processes of the round before, which leave the system busy for a while as they end.
  std::vector<double> logged, quiet, minimal, tools;
  for (int i = 0; i < runs; ++i) {
    double l = 0, m = 0, q = 0, b = 0;
    for (int step = 0; step < 4; ++step) {
      switch ((step + i) % 4) {
        case 0:
          JournalSink_Configure(nullptr, L"*=2");
          l = LibraryCycle(do_action, v1, v2);
          break;
        case 1: m = MinimalCycle(package1, package2); break;
        case 2:
          JournalSink_Configure(nullptr, L"*=0");
          q = LibraryCycle(do_action, v1, v2);
          break;
        default: b = BareCycle(v1, v2); break;
      }
    }
    if (l < 0 || m < 0 || q < 0 || b < 0) return;
    logged.push_back(l);
    minimal.push_back(m);
    quiet.push_back(q);
    tools.push_back(b);
  }
  JournalSink_Configure(nullptr, L"*=2");
  std::vector<double> ratios, quiet_ratios;
  for (size_t i = 0; i < logged.size(); ++i) {
    ratios.push_back(logged[i] / minimal[i]);
    quiet_ratios.push_back(quiet[i] / minimal[i]);
  }
  const double l = Median(logged), q = Median(quiet), m = Median(minimal), b = Median(tools);
  std::printf(
      "install -> update -> uninstall, median of %d rounds (the four in turn in each round, the\n"
      "order turning by one each round)\n",
      runs);
  std::printf("  plug-in, log on (\"*=2\")        %8.1f ms\n", l * 1000);
  std::printf("  plug-in, log off               %8.1f ms\n", q * 1000);
  std::printf("  minimal in-process program     %8.1f ms\n", m * 1000);
  std::printf("  Wine's tools, a process a step %8.1f ms\n", b * 1000);
  std::printf("  plug-in / minimal, log on      %8.2f (median of the rounds' ratios; target <= 1.30)\n",
              Median(ratios));
  std::printf("  plug-in / minimal, log off     %8.2f\n", Median(quiet_ratios));
  std::printf("  plug-in / Wine's tools         %8.2f\n", l / b);
}

// The platform calls the environment table cannot do without, with nothing of the library around them.
void TableCalls() {
  wchar_t text[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, text);
  HKEY key = nullptr;
  const REGSAM access = KEY_ALL_ACCESS | KEY_WOW64_64KEY;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmora\\ZEFA", 0, access, &key) == ERROR_SUCCESS) {
    DWORD size = 0;
    RegQueryValueExW(key, L"InstallDir", nullptr, nullptr, nullptr, &size);
    size = std::min<DWORD>(size, sizeof(text));
    RegQueryValueExW(key, L"InstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
  }
  static const wchar_t* const kVariables[] = {L"%ALLUSERSPROFILE%",
                                              L"%COMPUTERNAME%",
                                              L"%COMSPEC%",
                                              L"%HOMEDRIVE%",
                                              L"%HOMEPATH%",
                                              L"%PATH%",
                                              L"%PATHEXT%",
                                              L"%PROGRAMFILES%",
                                              L"%PROMPT%",
                                              L"%SYSTEMDRIVE%",
                                              L"%SYSTEMROOT%",
                                              L"%TEMP%",
                                              L"%TMP%",
                                              L"%USERNAME%",
                                              L"%USERPROFILE%",
                                              L"%WINDIR%",
                                              L"%PROCESSOR_ARCHITECTURE%",
                                              L"%PROCESSOR_IDENTIFIER%",
                                              L"%PROCESSOR_LEVEL%",
                                              L"%PROCESSOR_REVISION%",
                                              L"%NUMBER_OF_PROCESSORS%",
                                              L"%OS%"};
  for (const wchar_t* variable : kVariables) ExpandEnvironmentStringsW(variable, text, MAX_PATH);
}

void LoadBenchmark(int blocks, int rounds) {
  const std::wstring dlls[] = {BinDir() + L"helperZYHOKDriver.dll", BinDir() + L"floor_plugin.dll",
                               BinDir() + L"empty_plugin.dll"};
  // One load first, so every DLL is read from the cache.
  for (const std::wstring& dll : dlls) FreeLibrary(LoadLibraryW(dll.c_str()));
  std::vector<double> means[3];
  for (int block = 0; block < blocks; ++block) {
    for (int d = 0; d < 3; ++d) {
      const double start = Now();
      for (int i = 0; i < rounds; ++i) {
        HMODULE module = LoadLibraryW(dlls[d].c_str());
        if (module == nullptr) {
          (void)std::fprintf(stderr, "cannot load %ls: %lu\n", dlls[d].c_str(), GetLastError());
          return;
        }
        FreeLibrary(module);
      }
      means[d].push_back((Now() - start) / rounds);
    }
  }
  std::vector<double> shares;
  shares.reserve(blocks);
  for (int block = 0; block < blocks; ++block) {
    shares.push_back((means[0][block] - means[1][block]) / means[1][block]);
  }
  const double plugin = Median(means[0]), floor = Median(means[1]), empty = Median(means[2]);
  std::printf("load + unload, median of %d blocks of %d rounds each (the three in turn)\n", blocks, rounds);
  std::printf("  helperZYHOKDriver.dll          %8.1f us\n", plugin * 1e6);
  std::printf("  floor: runtime + Boost.Fs only %8.1f us\n", floor * 1e6);
  std::printf("  empty DLL                      %8.1f us\n", empty * 1e6);
  std::printf("  the library's own share        %8.1f us = %.2f of the floor (target <= 0.25)\n",
              (plugin - floor) * 1e6, Median(shares));
  // The part of that share that is the environment table, and the platform calls the table must
  // make, made directly: the shell's all-users folder, the install folder's registry value (open,
  // size, data, close) and the 22 variables.
  double start = Now();
  for (int i = 0; i < rounds; ++i) zyhok::BuildEnvironmentVarMap();
  const double table = (Now() - start) / rounds;
  start = Now();
  for (int i = 0; i < rounds; ++i) TableCalls();
  const double calls = (Now() - start) / rounds;
  std::printf("  of which the environment table %8.1f us\n", table * 1e6);
  std::printf("  the calls the table must make  %8.1f us (made directly; the rest of the share: %.1f us)\n",
              calls * 1e6, (plugin - floor - calls) * 1e6);
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
  // Back to the file the environment names (the default file when it names none).
  wchar_t configured[MAX_PATH] = {};
  GetEnvironmentVariableW(L"ZYJOURNAL_FILE", configured, MAX_PATH);
  JournalSink_Configure(configured, L"*=2");
  DeleteFileW(file.c_str());
  std::printf("one log line, mean\n");
  std::printf("  level off (suppressed)        %8.3f us  (%d lines)\n", suppressed * 1e6, suppressed_lines);
  std::printf("  level on (written)            %8.3f us  (%d lines)\n", emitted * 1e6, emitted_lines);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    (void)std::fprintf(stderr, "usage: zybench <package v1> <package v2> [runs]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, _wtoi(argv[3])) : 5;
  LoadBenchmark(15, 20);
  LogBenchmark(1000000, 20000);
  CycleBenchmark(argv[1], argv[2], runs);
  return 0;
}
