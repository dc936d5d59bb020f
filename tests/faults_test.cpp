// One failed platform call, then the same record again, ends where one clean run ends. The test program is the
// plug-in's host: it points the loaded plug-in's import slots (ordinary and delay-loaded imports, and setupkit's
// Copy) at wrappers that pass every call through, but fail the n-th call of one chosen function with a chosen error.
// A counting run of each action finds how often the action calls each function; then every point (function#n) is
// failed once, with error 5 (access denied) and with error 112 (disk full): the first run must give a result code
// of the host's table without crashing, and the run that follows without faults must leave the lifecycle row's
// whole machine. An uninstall whose failed run removed the service anyway is followed by an install and an
// uninstall, which must leave nothing.
#include "support/test_support.h"
#include <aclapi.h>
#include <delayimp.h>
#include <setupapi.h>
#include <shlwapi.h>
#include <cstring>
#include <iostream>
#include <iterator>
#include <type_traits>
#include "setupkit.h"

namespace {

using namespace zyhok_test;

// Each wrapper's index in kHooks comes from __COUNTER__, which the table's HOOK lines advance by two apiece.
constexpr int kCounterBase = __COUNTER__;

// Which call fails, and how many calls each wrapped function has taken since counting began.
struct Faults {
  bool counting = false;
  int function = -1;  // index into kHooks of the function whose call fails
  unsigned call = 0;  // 1-based number of the call that fails
  DWORD error = 0;
  bool fired = false;
  std::vector<unsigned> calls;

  bool Hit(int counter) {
    const int index = (counter - kCounterBase - 1) / 2;
    if (!counting) return false;
    const unsigned n = ++calls[index];
    if (index != function || n != call) return false;
    fired = true;
    return true;
  }
};
Faults g_faults;

// How a wrapped function reports failure: a zero or null result with the reason as the last-error value, a
// result of all ones (INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES) with the last-error value, or the error
// returned as the result (the registry and the security-information calls).
enum class Fails { kZero, kAllOnes, kReturnsError };

template <int I, Fails kHow, typename F>
struct Hook;
template <int I, Fails kHow, typename R, typename... A>
struct Hook<I, kHow, R (*)(A...)> {
  static inline R (*original)(A...) = nullptr;
  static R Call(A... args) {
    if (!g_faults.Hit(I)) return original(args...);
    SetLastError(g_faults.error);
    if constexpr (std::is_void_v<R>) {
      return;
    } else if constexpr (kHow == Fails::kReturnsError) {
      return static_cast<R>(g_faults.error);
    } else if constexpr (kHow == Fails::kAllOnes && std::is_pointer_v<R>) {
      return reinterpret_cast<R>(static_cast<intptr_t>(-1));
    } else if constexpr (kHow == Fails::kAllOnes) {
      return static_cast<R>(-1);
    } else {
      return R{};
    }
  }
};

// setupkit's Copy reports its failure through its out-parameter.
template <int I>
struct CopyHook {
  static inline decltype(&Copy) original = nullptr;
  static bool Call(const std::wstring& destination, const std::wstring& source, bool replace, uint32_t* error) {
    if (!g_faults.Hit(I)) return original(destination, source, replace, error);
    if (error != nullptr) *error = g_faults.error;
    return false;
  }
};

struct HookEntry {
  const char* dll;
  const char* name;
  void* wrapper;
  void** original;
};
// Every function through which the plug-in reads or changes the machine: files and folders, the registry, the
// service manager, security information, version resources, INF sections, path canonicalisation and the
// platform's Copy, each with how it reports a failure (ZERO, ONES or RETURNS). The index of each is its position.
constexpr const char *kKernel32 = "KERNEL32.dll", *kAdvapi32 = "ADVAPI32.dll", *kVersion = "VERSION.dll",
                     *kSetupApi = "SETUPAPI.dll", *kShlwapi = "SHLWAPI.dll";
#define HOOK(dll, fn, how)                                                                    \
  HookEntry {                                                                                 \
    dll, #fn, reinterpret_cast<void*>(&Hook<__COUNTER__, Fails::how, decltype(&fn)>::Call),   \
        reinterpret_cast<void**>(&Hook<__COUNTER__ - 1, Fails::how, decltype(&fn)>::original) \
  }
#define ZERO(dll, fn) HOOK(dll, fn, kZero)
#define ONES(dll, fn) HOOK(dll, fn, kAllOnes)
#define RETURNS(dll, fn) HOOK(dll, fn, kReturnsError)
#define COPY()                                                                             \
  HookEntry {                                                                              \
    "setupkit.dll", "_Z4CopyRKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES6_bPj", \
        reinterpret_cast<void*>(&CopyHook<__COUNTER__>::Call),                             \
        reinterpret_cast<void**>(&CopyHook<__COUNTER__ - 1>::original)                     \
  }
const HookEntry kHooks[] = {ZERO(kKernel32, CopyFileExW),
                            ZERO(kKernel32, CopyFileW),
                            ZERO(kKernel32, CreateDirectoryExW),
                            ZERO(kKernel32, CreateDirectoryW),
                            ONES(kKernel32, CreateFileW),
                            ZERO(kKernel32, DeleteFileW),
                            ONES(kKernel32, FindFirstFileW),
                            ZERO(kKernel32, FindNextFileW),
                            ZERO(kKernel32, GetFileAttributesExW),
                            ONES(kKernel32, GetFileAttributesW),
                            ZERO(kKernel32, GetFileInformationByHandle),
                            ZERO(kKernel32, GetFileSizeEx),
                            ZERO(kKernel32, GetFullPathNameW),
                            ZERO(kKernel32, GetSystemDirectoryW),
                            ZERO(kKernel32, GetWindowsDirectoryW),
                            ZERO(kKernel32, LockFileEx),
                            ZERO(kKernel32, MoveFileExW),
                            ZERO(kKernel32, MoveFileW),
                            ZERO(kKernel32, QueryDosDeviceW),
                            ZERO(kKernel32, ReadFile),
                            ZERO(kKernel32, RemoveDirectoryW),
                            ZERO(kKernel32, SetFileAttributesW),
                            ZERO(kKernel32, WriteFile),
                            ZERO(kAdvapi32, ControlService),
                            RETURNS(kAdvapi32, GetNamedSecurityInfoW),
                            ZERO(kAdvapi32, LookupAccountSidW),
                            ZERO(kAdvapi32, OpenSCManagerW),
                            ZERO(kAdvapi32, OpenServiceW),
                            ZERO(kAdvapi32, QueryServiceStatus),
                            RETURNS(kAdvapi32, RegCreateKeyExW),
                            RETURNS(kAdvapi32, RegDeleteValueW),
                            RETURNS(kAdvapi32, RegOpenKeyExW),
                            RETURNS(kAdvapi32, RegQueryValueExW),
                            RETURNS(kAdvapi32, RegSetValueExW),
                            RETURNS(kAdvapi32, SetEntriesInAclW),
                            RETURNS(kAdvapi32, SetNamedSecurityInfoW),
                            RETURNS(kAdvapi32, SetSecurityInfo),
                            ZERO(kAdvapi32, StartServiceW),
                            ZERO(kVersion, GetFileVersionInfoSizeW),
                            ZERO(kVersion, GetFileVersionInfoW),
                            ZERO(kVersion, VerQueryValueW),
                            ZERO(kSetupApi, InstallHinfSectionW),
                            ZERO(kShlwapi, PathCanonicalizeW),
                            COPY()};
#undef HOOK
#undef ZERO
#undef ONES
#undef RETURNS
#undef COPY
static_assert(__COUNTER__ == kCounterBase + 1 + 2 * std::size(kHooks), "each hook's index is its place in the table");

int HookIndex(const char* name) {
  for (size_t i = 0; i < std::size(kHooks); ++i) {
    if (strcmp(kHooks[i].name, name) == 0) return static_cast<int>(i);
  }
  return -1;
}

// Points the import slots of `module` named in kHooks at their wrappers; the number of slots changed.
size_t PatchImports(HMODULE module) {
  auto* const base = reinterpret_cast<BYTE*>(module);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  size_t patched = 0;
  // One slot table with its parallel name table, of the library `dll`.
  const auto patch = [&](const char* dll, ULONGLONG* slots, const IMAGE_THUNK_DATA* names, bool delayed) {
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name = reinterpret_cast<const char*>(base + names->u1.AddressOfData + 2);  // after the hint
      const int i = HookIndex(name);
      if (i < 0 || _stricmp(kHooks[i].dll, dll) != 0) continue;
      // A delay-loaded slot still holds the loader's thunk: the wrapper calls the system library's function.
      *kHooks[i].original =
          delayed ? reinterpret_cast<void*>(GetProcAddress(LoadLibraryA(dll), name)) : reinterpret_cast<void*>(*slots);
      DWORD protection = 0;
      VirtualProtect(slots, sizeof(*slots), PAGE_READWRITE, &protection);
      *slots = reinterpret_cast<ULONGLONG>(kHooks[i].wrapper);
      VirtualProtect(slots, sizeof(*slots), protection, &protection);
      ++patched;
    }
  };
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
    patch(reinterpret_cast<const char*>(base + d->Name), reinterpret_cast<ULONGLONG*>(base + d->FirstThunk),
          reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk), false);
  }
  const IMAGE_DATA_DIRECTORY& delayed = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  for (auto* d = reinterpret_cast<const ImgDelayDescr*>(base + delayed.VirtualAddress); d->rvaDLLName != 0; ++d) {
    patch(reinterpret_cast<const char*>(base + d->rvaDLLName), reinterpret_cast<ULONGLONG*>(base + d->rvaIAT),
          reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->rvaINT), true);
  }
  return patched;
}

// The result codes of the host's table.
bool InTable(uint32_t result) {
  for (uint32_t code : {0x201A0001u, 0x201A0002u, 0xE01A0004u, 0xE01A0008u, 0xE01A0009u, 0xE01A000Au, 0xE01A000Bu,
                        0xE01A000Cu, 0xE01A000Eu, 0xE01A0019u}) {
    if (result == code) return true;
  }
  return false;
}

int Failures() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

// An action, the lifecycle row that runs it cleanly, and the error of the failed calls.
struct Point {
  const char* action;
  const char* row;
  DWORD error;
};
void PrintTo(const Point& p, std::ostream* out) { *out << p.row << " error " << p.error; }

class FailedCall : public ::testing::TestWithParam<Point> {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(plugin_->loaded());
    ASSERT_GE(PatchImports(GetModuleHandleW(L"helperZYHOKDriver.dll")), std::size(kHooks));
  }
  void TearDown() override { ResetDriverMachineState(); }

  // The row's records, with the calls counted (and the chosen one failed); the batch's result.
  uint32_t Act(const Scenario& row, int function, unsigned call, DWORD error) {
    g_faults.calls.assign(std::size(kHooks), 0);
    g_faults.function = function;
    g_faults.call = call;
    g_faults.error = error;
    g_faults.fired = false;
    g_faults.counting = true;
    const uint32_t result = plugin_->DoActions(world_.Records(row.records));
    g_faults.counting = false;
    return result;
  }

  static inline LoadedPlugin* plugin_ = new LoadedPlugin();  // lives as long as the patched process
  ScenarioMachine world_;
};

TEST_P(FailedCall, ThenTheSameRecordAgainEndsAsOneCleanRun) {
  const Scenario& row = LifecycleScenario(GetParam().row);
  const LoadedPlugin& plugin = *plugin_;
  LogCapture log(L"*=3");  // warnings and errors only: the lines a failure must leave
  // The counting run, which is the clean run: its result and machine are the row's; so are those of the
  // same record again (for an uninstall: after an install).
  ASSERT_TRUE(world_.Begin(row.before, plugin));
  ASSERT_EQ(Act(row, -1, 0, 0), row.result);
  const std::vector<unsigned> counts = g_faults.calls;
  world_.ExpectMachine(row.after, plugin);
  if (row.records[0].action == kUninstall) EXPECT_EQ(plugin.Do(kInstall, world_.v1()), kSuccess);
  EXPECT_EQ(plugin.DoActions(world_.Records(row.records)), row.result);
  world_.ExpectMachine(row.after, plugin);
  ASSERT_FALSE(HasFailure());
  size_t points = 0, absorbed = 0, differed = 0;
  for (size_t f = 0; f < counts.size(); ++f) {
    for (unsigned n = 1; n <= counts[f]; ++n) {
      const std::string point = std::string(kHooks[f].name) + "#" + std::to_string(n);
      SCOPED_TRACE(point);
      const int failures_before = Failures();
      ASSERT_TRUE(world_.Begin(row.before, plugin));
      const std::vector<std::wstring> queued = PendingDeletions();
      log.Clear();
      const uint32_t first = Act(row, static_cast<int>(f), n, GetParam().error);
      if (!g_faults.fired) continue;  // a call that this run did not make (a wait polled fewer times)
      ++points;
      EXPECT_TRUE(InTable(first)) << std::hex << first;
      // A run that does not succeed says why at level 3 or 5; a record refused (a path that cannot be normalised)
      // says so at level 2, as for any refused record.
      EXPECT_TRUE(first == kSuccess || first == kRefused || !log.Lines().empty()) << std::hex << first;
      // A failure that the run absorbed, leaving the clean run's result and machine and no journal, is
      // followed by the same second run as the clean run is: the row's own second run, proved once below.
      if (first == row.result && !FileExists(JournalPath()) &&
          ScenarioMachine::Observe(plugin, queued) == world_.Expected(row.after)) {
        ++absorbed;
        continue;
      }
      // An uninstall that removed the service all the same: the record again would only be refused.
      if (row.records[0].action == kUninstall && ServiceState() == 0) {
        EXPECT_EQ(plugin.Do(kInstall, world_.v1()), kSuccess);
      }
      EXPECT_EQ(plugin.DoActions(world_.Records(row.records)), row.result);
      world_.ExpectMachine(row.after, plugin);
      differed += Failures() != failures_before;
    }
  }
  std::cout << "[ points ] " << row.name << " error " << GetParam().error << ": " << points << " failed calls ("
            << absorbed << " absorbed), " << differed << " did not end as one clean run\n";
}
INSTANTIATE_TEST_SUITE_P(Actions, FailedCall,
                         ::testing::Values(Point{"Install", "FreshInstall", ERROR_ACCESS_DENIED},
                                           Point{"Install", "FreshInstall", ERROR_DISK_FULL},
                                           Point{"Update", "UpdateOfTheRunningDriver", ERROR_ACCESS_DENIED},
                                           Point{"Update", "UpdateOfTheRunningDriver", ERROR_DISK_FULL},
                                           Point{"Uninstall", "UninstallRemovesEverything", ERROR_ACCESS_DENIED},
                                           Point{"Uninstall", "UninstallRemovesEverything", ERROR_DISK_FULL}),
                         [](const ::testing::TestParamInfo<Point>& info) {
                           return std::string(info.param.action) + "_Error" + std::to_string(info.param.error);
                         });

}  // namespace
