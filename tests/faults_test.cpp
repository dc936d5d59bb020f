// One failed platform call, then the same record again, ends where one clean run ends. The test program is the
// plug-in's host: it points the loaded plug-in's import slots (ordinary and delay-loaded imports, and setupkit's
// Copy) at wrappers that pass every call through, but fail the n-th call of one chosen function with a chosen error.
// A counting run of each action finds how often the action calls each function; then every point (function#n) is
// failed once, with error 5 (access denied) and with error 112 (disk full): the first run must give a result code
// of the host's table without crashing, and the run that follows without faults must leave the lifecycle row's
// whole machine. An uninstall whose failed run removed the service anyway is followed by an install and an
// uninstall, which must leave nothing.
#include "support/test_support.h"
#include <delayimp.h>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <utility>

namespace {

using namespace zyhok_test;

// How a function reports a failure: a zero or null result with the reason as the last-error value, a result of all
// ones (INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES) with the last-error value, the error returned as the result
// (the registry and the security-information calls), or (setupkit's Copy) false with the error in its fourth
// argument.
enum class Fails { kZero, kAllOnes, kReturnsError, kOutParameter };
struct Group {
  Fails how;
  std::vector<const char*> names;
};
// Every function through which the plug-in reads or changes the machine, grouped by how each reports a failure:
// file changes; file reads; path and folder names; the service manager, account lookup and INF sections; version
// resources; the three that fail with all ones; security information; the registry; and the platform's Copy (by
// its mangled name).
const Group kGroups[] = {
    {Fails::kZero,
     {"CopyFileExW", "CopyFileW", "CreateDirectoryExW", "CreateDirectoryW", "DeleteFileW", "MoveFileExW", "MoveFileW",
      "RemoveDirectoryW", "SetFileAttributesW"}},
    {Fails::kZero,
     {"FindNextFileW", "GetFileAttributesExW", "GetFileInformationByHandle", "GetFileSizeEx", "LockFileEx", "ReadFile",
      "WriteFile"}},
    {Fails::kZero,
     {"GetFullPathNameW", "GetSystemDirectoryW", "GetWindowsDirectoryW", "QueryDosDeviceW", "PathCanonicalizeW"}},
    {Fails::kZero,
     {"ControlService", "LookupAccountSidW", "OpenSCManagerW", "OpenServiceW", "QueryServiceStatus", "StartServiceW",
      "InstallHinfSectionW"}},
    {Fails::kZero, {"GetFileVersionInfoSizeW", "GetFileVersionInfoW", "VerQueryValueW"}},
    {Fails::kAllOnes, {"CreateFileW", "FindFirstFileW", "GetFileAttributesW"}},
    {Fails::kReturnsError, {"GetNamedSecurityInfoW", "SetEntriesInAclW", "SetNamedSecurityInfoW", "SetSecurityInfo"}},
    {Fails::kReturnsError,
     {"RegCreateKeyExW", "RegDeleteValueW", "RegOpenKeyExW", "RegQueryValueExW", "RegSetValueExW"}},
    {Fails::kOutParameter, {"_Z4CopyRKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEES6_bPj"}}};
struct Function {
  const char* name;
  Fails how;
};
// The functions of kGroups one after the other: a function's index is its place here.
const std::vector<Function> kFunctions = [] {
  std::vector<Function> all;
  for (const Group& group : kGroups) {
    for (const char* name : group.names) all.push_back({name, group.how});
  }
  return all;
}();

// Which call fails, and how many calls each wrapped function has taken since counting began.
struct Faults {
  bool counting = false;
  size_t function = SIZE_MAX;  // index into kFunctions of the function whose call fails
  unsigned call = 0;           // 1-based number of the call that fails
  DWORD error = 0;
  bool fired = false;
  std::vector<unsigned> calls;

  bool Hit(size_t index) {
    if (!counting) return false;
    const unsigned n = ++calls[index];
    if (index != function || n != call) return false;
    fired = true;
    return true;
  }
};
Faults g_faults;

// Every wrapped function takes at most twelve integer or pointer arguments and returns an integer, a pointer or
// nothing. On x64 each argument travels in a register or an 8-byte stack slot, and the result in RAX, so one
// wrapper of twelve words passes any of them through unchanged: the words past the caller's own arguments are
// never read by the function called, and a caller expecting a narrower result reads the low part of RAX.
using Word = uintptr_t;
using AnyFunction = Word (*)(Word, Word, Word, Word, Word, Word, Word, Word, Word, Word, Word, Word);
constexpr size_t kMaxFunctions = 64;
AnyFunction g_originals[kMaxFunctions];

template <size_t I>
Word Wrapper(Word a, Word b, Word c, Word d, Word e, Word f, Word g, Word h, Word i, Word j, Word k, Word l) {
  if (!g_faults.Hit(I)) return g_originals[I](a, b, c, d, e, f, g, h, i, j, k, l);
  SetLastError(g_faults.error);
  switch (kFunctions[I].how) {
    case Fails::kAllOnes: return ~Word{0};
    case Fails::kReturnsError: return g_faults.error;
    case Fails::kOutParameter:  // Copy(destination, source, replace, error)
      if (d != 0) *reinterpret_cast<uint32_t*>(d) = g_faults.error;
      return 0;
    case Fails::kZero: break;
  }
  return 0;
}
template <size_t... I>
std::array<AnyFunction, sizeof...(I)> Wrappers(std::index_sequence<I...>) {
  return {&Wrapper<I>...};
}
const std::array<AnyFunction, kMaxFunctions> kWrappers = Wrappers(std::make_index_sequence<kMaxFunctions>());

// Points the import slots of `module` named in kFunctions at their wrappers; the number of slots changed.
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
      const auto named = [&](const Function& f) { return strcmp(f.name, name) == 0; };
      const size_t i = std::find_if(kFunctions.begin(), kFunctions.end(), named) - kFunctions.begin();
      if (i == kFunctions.size()) continue;
      // A delay-loaded slot still holds the loader's thunk: the wrapper calls the system library's function.
      g_originals[i] = delayed ? reinterpret_cast<AnyFunction>(GetProcAddress(LoadLibraryA(dll), name))
                               : reinterpret_cast<AnyFunction>(*slots);
      DWORD protection = 0;
      VirtualProtect(slots, sizeof(*slots), PAGE_READWRITE, &protection);
      *slots = reinterpret_cast<ULONGLONG>(kWrappers[i]);
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
    ASSERT_LE(kFunctions.size(), kMaxFunctions);
    ASSERT_GE(PatchImports(GetModuleHandleW(L"helperZYHOKDriver.dll")), kFunctions.size());
  }
  void TearDown() override { ResetDriverMachineState(); }

  // The row's records, with the calls counted (and the chosen one failed); the batch's result.
  uint32_t Act(const Scenario& row, size_t function, unsigned call, DWORD error) {
    g_faults = {true, function, call, error, false, std::vector<unsigned>(kFunctions.size())};
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
  ASSERT_EQ(Act(row, SIZE_MAX, 0, 0), row.result);
  const std::vector<unsigned> counts = g_faults.calls;
  world_.ExpectMachine(row.after, plugin);
  if (row.records[0].action == kUninstall) EXPECT_EQ(plugin.Do(kInstall, world_.v1()), kSuccess);
  EXPECT_EQ(plugin.DoActions(world_.Records(row.records)), row.result);
  world_.ExpectMachine(row.after, plugin);
  ASSERT_FALSE(HasFailure());
  size_t points = 0, absorbed = 0, differed = 0;
  for (size_t f = 0; f < counts.size(); ++f) {
    for (unsigned n = 1; n <= counts[f]; ++n) {
      const std::string point = std::string(kFunctions[f].name) + "#" + std::to_string(n);
      SCOPED_TRACE(point);
      const int failures_before = Failures();
      ASSERT_TRUE(world_.Begin(row.before, plugin));
      const std::vector<std::wstring> queued = PendingDeletions();
      log.Clear();
      const uint32_t first = Act(row, f, n, GetParam().error);
      if (!g_faults.fired) continue;  // a call that this run did not make (a wait polled fewer times)
      ++points;
      EXPECT_EQ(kActionResults.count(first), 1u) << std::hex << first;
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
