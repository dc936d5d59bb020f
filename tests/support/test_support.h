// Helpers shared by the test programs: fixtures, a private log, temporary folders, the driver service, the plug-in
// loaded as the host loads it, a reset of all an action leaves (tests start from a clean prefix), and scenarios.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "plugin_interface.h"
#include "util/handle.h"

namespace zyhok_test {

// What comes before the last backslash of `path` (the whole path when it has none).
inline std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }
std::wstring SelfPath();  // the running test program
std::wstring BinDir();    // the running test program's folder (where the built DLLs lie), with a backslash
// Package folder of a fixture package ("v1": driver 1.6.0.1195, "v2": driver 1.6.0.1200), without a
// trailing backslash: <packages>\<name>\20019\<pkgver>\<pkgver>.
std::wstring PackageDir(const std::wstring& name);
std::wstring FixturesDir();  // where the fixture build keeps its intermediate files
std::wstring SystemDir();    // C:\windows\system32, without a trailing backslash
inline std::wstring InstalledDriverPath() { return SystemDir() + L"\\drivers\\zyhok.sys"; }
// Staging roots' trees: <system>\zyhok and <SysWOW64>\zyhok.
inline std::wstring StagingTree64() { return SystemDir() + L"\\zyhok"; }
inline std::wstring StagingTree32() { return ParentOf(SystemDir()) + L"\\SysWOW64\\zyhok"; }
// The action journal that an action which did not end as it should leaves for the next one.
inline std::wstring JournalPath() { return SystemDir() + L"\\ZYHOK_DriverLifecycle\\journal"; }
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
std::wstring Lower(std::wstring text);  // for comparing Windows paths
inline bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::wstring> ListFolder(const std::wstring& folder);  // names but "." and "..", sorted
bool CopyTree(const std::wstring& from, const std::wstring& to);   // creates `to`; false if anything failed
bool RemoveTree(const std::wstring& path);                         // false if anything was left
// A fresh folder under the Windows temp folder, removed with its content when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir() { RemoveTree(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};
// Starts `command` in `directory` (this process's when empty) with this environment plus `environment`
// ("NAME=value", which win), output to <outputs>.out and .err when given; an empty handle on failure.
zyhok::UniqueKernelHandle StartProcess(const std::wstring& command, const std::wstring& directory,
                                       const std::vector<std::wstring>& environment = {},
                                       const std::wstring& outputs = L"");
DWORD ExitCodeOf(const zyhok::UniqueKernelHandle& process);  // waits; 0 for an empty handle
// A line of a log file as the log library writes it.
struct LogLine {
  unsigned level;
  std::wstring module, source;
  unsigned line;
  std::wstring text;
};
std::vector<LogLine> LogLines(const std::wstring& file);
// The lines of a log file as "<level><module initial> <text>", the form in which stories are compared.
std::vector<std::wstring> Told(const std::wstring& log_file);
// Points the log library at a private file for the lifetime of the object, with the given levels
// ("*=2" by default), and reads the lines back. The previous file and levels are restored afterwards.
class LogCapture {
 public:
  explicit LogCapture(const std::wstring& levels = L"*=2");
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const { return LogLines(file_); }
  std::vector<std::wstring> Told() const { return zyhok_test::Told(file_); }
  void Clear();  // forgets the lines written so far
  void SetLevels(const std::wstring& levels);
  const std::wstring& file() const { return file_; }
  std::string Dump() const;  // for failure messages

 private:
  TempDir dir_;
  std::wstring file_;
};
// The driver service zyhok: a section of a package's INF run ("DefaultInstall" copies zyhok.sys and registers the
// service); the service stopped, the package's DefaultUninstall run, and neither the service nor the driver file
// left; its SERVICE_STATUS dwCurrentState (0 when it cannot be read); started or stopped, waiting up to 10 s.
void RunInfSection(const wchar_t* section, const std::wstring& package_dir);
void RemoveDriverService(const std::wstring& package_dir = L"");
DWORD ServiceState();
bool ControlDriver(bool start);
// Waits up to `timeout_ms` for a service's state, and up to 10 s for a service to be deleted.
bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeout_ms);
void WaitUntilDeleted(const std::wstring& service);
// Raw access to values under HKEY_LOCAL_MACHINE through advapi32, independent of the code under test.
// A value is its error, type and every byte, so a string is checked with its terminator.
struct RegValue {
  LONG error = ERROR_FILE_NOT_FOUND;
  DWORD type = REG_NONE;
  std::string bytes;
  std::wstring Units() const;  // the data as UTF-16 units, every unit kept
};
RegValue Raw(DWORD type, const void* data, size_t bytes);
inline RegValue Sz(const std::wstring& text, DWORD type = REG_SZ) {  // with its terminator
  return Raw(type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}
inline RegValue Dword(DWORD value) { return Raw(REG_DWORD, &value, sizeof(value)); }
RegValue ReadHklmValue(const std::wstring& key, const wchar_t* name);
LONG WriteHklmValue(const std::wstring& key, const wchar_t* name, const RegValue& value);  // creates the key
// Record actions and result codes as the host writes and reads them (kFailed: the batch is ended).
inline constexpr uint32_t kInstall = 0, kUninstall = 2, kSuccess = 0x201A0001, kFailed = 0xE01A000C,
                          kRefused = 0xE01A000A, kNotStopped = 0x201A0002, kRestored = 0xE01A000B,
                          kRollbackFailed = 0xE01A000E, kStopFailed = 0xE01A0019;
// Every result that a record, and so a batch, may end with.
inline const std::set<uint32_t> kActionResults = {kSuccess, kNotStopped,     kRefused,   kRestored,
                                                  kFailed,  kRollbackFailed, kStopFailed};
inline constexpr const wchar_t* kDriverServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\zyhok";  // under HKLM
// A driver-info record as the host lays it out; a `path` of 1024 units or more fills them all, without a terminator.
zyhok::DrvInfo MakeRecord(uint32_t action, const std::wstring& path, uint32_t compare_state = 0);
// The plug-in of `folder` (with its trailing backslash), loaded as plug-in hosts load it: by full path with
// LOAD_WITH_ALTERED_SEARCH_PATH, so that its imports are looked for in its own folder first.
class LoadedPlugin {
 public:
  explicit LoadedPlugin(const std::wstring& folder = BinDir());
  bool loaded() const { return do_action_ != nullptr && enumerate_ != nullptr; }
  uint32_t DoActions(const zyhok::DrvInfo* records, uint32_t count) const { return do_action_(records, count); }
  uint32_t DoActions(const std::vector<zyhok::DrvInfo>& records) const {
    return do_action_(records.data(), static_cast<uint32_t>(records.size()));
  }
  uint32_t Do(uint32_t action, const std::wstring& path, uint32_t compare_state = 0) const {
    return DoActions({MakeRecord(action, path, compare_state)});
  }
  template <typename F>
  F Export(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
  }
  // The status record handed to the host's callback. The export must call back exactly once, with the
  // context, and return its own result (success), not the callback's (here 0xFFFFFFFF).
  zyhok::DrvStatusInfo Status() const;

 private:
  zyhok::UniqueModule module_;
  uint32_t (*do_action_)(const zyhok::DrvInfo*, uint32_t) = nullptr;
  uint32_t (*enumerate_)(zyhok::DrvStatusCallback, void*) = nullptr;
};
// A fresh host process: a copy of the running test program under `exe_name` (with the log library it imports), which on
// "--host" loads the plug-in from a folder of its own ("plugin", beside the platform libraries), hands the records to
// the batch export in one call and exits with the batch's result. Its current folder, and the first folder on its PATH,
// hold a library that records its loading under each name of the platform's and the system's libraries that the
// plug-in imports: none may be loaded by the time the object goes. Wine's per-program settings for that name go too.
class HostProcess {
 public:
  explicit HostProcess(const std::wstring& exe_name);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // The Windows version that Wine reports to this program only ("win7", "win10"), and whether the program's
  // manifest declares Windows 10.
  void SetWindows(const std::wstring& version, bool declares_windows10);
  // Starts the records with the log going to `log_file` and `environment` ("NAME=value" entries) added,
  // without waiting: the process, or an empty handle when it could not be started.
  zyhok::UniqueKernelHandle Start(const std::vector<zyhok::DrvInfo>& records, const std::wstring& log_file,
                                  const std::vector<std::wstring>& environment = {}) const;
  // Start, then wait: the exit code (the batch's result), or 0 when the process could not be started.
  uint32_t Run(const std::vector<zyhok::DrvInfo>& records, const std::wstring& log_file,
               const std::vector<std::wstring>& environment = {}) const;

 private:
  std::wstring AppKey() const;
  TempDir dir_;
  std::wstring exe_;
  bool had_app_defaults_ = false;
};
// Removes everything an install, update or uninstall can leave behind: the service, the installed driver file,
// the service key, both staging trees, the catalogue copy, the action journal and the pending deletions naming
// those places.
void ResetDriverMachineState();
// A fixture package copied into `dir` with its layout (<dir>\<name>\20019\<ver>\<ver>), so that a test
// may alter it and an update may write its backup beside the driver file: the copy's package folder.
std::wstring CopyPackage(const TempDir& dir, const std::wstring& name);
// A machine's state as path -> state text, so that two machines compare entry by entry.
using Snapshot = std::map<std::wstring, std::wstring>;
// Every folder and file below `folder` as "<folder>\<name>" -> "d" or "f <size>", with " <write time>"
// when `times`; reparse points (Wine's links out of the drive) are left out.
void SnapshotFolder(const std::wstring& folder, Snapshot& out, bool times);
// HKLM\`key` and its sub-keys as "HKLM\<key>" -> "k", and each value as "HKLM\<key>|<name>" ->
// "<type>:<data>" (a REG_DWORD in hex, anything else as its UTF-16 units).
void SnapshotKey(const std::wstring& key, Snapshot& out);
// The entries of PendingFileRenameOperations (pairs: source, destination) as stored.
std::vector<std::wstring> PendingRenameEntries();
// Paths queued for deletion at the next reboot (sources whose destination is empty), without "\??\".
std::vector<std::wstring> PendingDeletions();
// Lifecycle scenarios as rows: the machine before, the records, the result, the whole machine after and
// the whole story (every log line with its level and module, in order). A row states the machine after
// as a named base plus what differs, and the story as named parts, each of which stands for the lines
// that the plug-in writes for one step; both are written from the plug-in's documented texts and values.
// A record; its path may hold the tokens of ScenarioMachine::Expand.
struct Rec {
  uint32_t action;
  const wchar_t* path;
  uint32_t compare_state = 0;
};
struct Scenario {
  const char* name;
  const wchar_t* before;  // words of ScenarioMachine::Prepare
  std::vector<Rec> records;
  uint32_t result;
  const wchar_t* after;             // words of ScenarioMachine::Expected
  std::vector<std::wstring> story;  // parts of ScenarioMachine::Story
};
inline void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }
// The rows of the lifecycle table, and one of them by name.
const std::vector<Scenario>& LifecycleScenarios();
const Scenario& LifecycleScenario(const std::string& name);
// The observable machine as item -> state, compared whole: "service", "driver" (which fixture's bytes the
// installed file holds), "catalogue", "status" (what the status export reports), "reg<sub-key>|<value>"
// (type:data) and "reg<sub-key>" (k) for the service key, "<path>" (d, or the fixture file it holds) for
// both staging trees, and "queued <path>" for every deletion queued for the next reboot since `pending`;
// ExpectMachine adds "decoy <name>" (the text each decoy file holds).
using Machine = std::map<std::wstring, std::wstring>;

// A scenario's world: copies of both fixture packages and what a row holds open during its records.
class ScenarioMachine {
 public:
  ScenarioMachine();
  // Replaces %V1%, %V2% (the package copies), %LONG% (a path that fits no buffer), %SYS%, %WOW% (the
  // staging roots), %DRIVERS% (the drivers folder with its backslash), %ENGINE% (the staged v1 engine),
  // %RENAME_ERROR% (the error of renaming an empty path), %DECOYS% (the decoys' folder) and %CLIMB% (that
  // folder reached by climbing out of a version folder).
  std::wstring Expand(std::wstring text) const;
  std::vector<zyhok::DrvInfo> Records(const std::vector<Rec>& recs) const;
  // From a clean machine (an abandoned lifecycle lock taken over), the machine of the words of `before`,
  // noting the deletions queued by then.
  ::testing::AssertionResult Begin(const std::wstring& before, const LoadedPlugin& plugin);
  // Lets go of what the row held open during its records.
  void Release();
  static Machine Observe(const LoadedPlugin& plugin, const std::vector<std::wstring>& pending);
  Machine Expected(const std::wstring& after) const;
  // The lines "<level><module initial> <text>" that the parts stand for (as Told shows a log file).
  std::vector<std::wstring> Story(const std::vector<std::wstring>& parts) const;
  // The machine (beside the deletions queued before) and the log file's story are the expected ones; the package
  // copies hold what they held when the machine was begun (no backup is left beside their files).
  void ExpectMachine(const std::wstring& after, const LoadedPlugin& plugin) const;
  void ExpectStory(const std::wstring& log_file, const std::vector<std::wstring>& parts) const;

  const std::wstring& v1() const { return v1_; }
  const std::wstring& v2() const { return v2_; }
  const std::wstring& host() const { return host_; }

 private:
  bool Prepare(const std::wstring& word, const LoadedPlugin& plugin);
  void Tell(const std::wstring& part, std::vector<std::wstring>& out) const;
  void Stage(const std::vector<std::wstring>& args, std::vector<std::wstring>& out) const;
  TempDir copies_;
  const std::wstring v1_, v2_, engine_, decoys_;
  std::vector<std::pair<std::wstring, std::wstring>> tokens_;
  zyhok::UniqueFileHandle instance_, held_;
  zyhok::UniqueModule loaded_;
  std::wstring host_;
  std::vector<std::wstring> pending_;
  std::pair<std::vector<std::wstring>, std::vector<std::wstring>> packages_;
};
// A difference between two machines, item by item, for failure messages.
std::string MachineDiff(const Machine& expected, const Machine& actual);

}  // namespace zyhok_test
