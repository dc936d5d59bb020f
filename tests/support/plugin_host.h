// The built plug-in loaded the way the platform's host loads it (LoadLibraryW of
// helperZYHOKDriver.dll, exports resolved by name), and a reset of everything a lifecycle action
// leaves on the machine, so that end-to-end tests start from and return to a clean prefix.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace zyhok_test {

// Record actions and result codes as the host writes and reads them.
inline constexpr uint32_t kInstall = 0;
inline constexpr uint32_t kUninstall = 2;
inline constexpr uint32_t kSuccess = 0x201A0001;
inline constexpr uint32_t kFailed = 0xE01A000C;

// Entry line of the access change on the driver's service object: put on (install) or lifted
// (uninstall).
inline std::wstring AccessChangeLine(bool restrict) {
  return std::wstring(
             L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,pwszServiceName=zyhok, "
             L"bRestrictAct=") +
         (restrict ? L"1" : L"0");
}

// The driver's service key under HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t* kDriverServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\zyhok";

// A driver-info record as the host lays it out. `path` longer than 1023 units is cut (no terminator
// is then stored when it fills all 1024 units).
zyhok::DrvInfo MakeRecord(uint32_t action, const std::wstring& path, uint32_t compare_state = 0);

class LoadedPlugin {
 public:
  LoadedPlugin();
  bool loaded() const { return do_action_ != nullptr && enumerate_ != nullptr; }
  uint32_t DoActions(const zyhok::DrvInfo* records, uint32_t count) const;
  uint32_t DoActions(const std::vector<zyhok::DrvInfo>& records) const;
  uint32_t Do(uint32_t action, const std::wstring& path, uint32_t compare_state = 0) const;
  // The status record handed to the host's callback.
  zyhok::DrvStatusInfo Status() const;

 private:
  zyhok::UniqueModule module_;
  uint32_t (*do_action_)(const zyhok::DrvInfo*, uint32_t) = nullptr;
  uint32_t (*enumerate_)(zyhok::DrvStatusCallback, void*) = nullptr;
};

// A fresh host process: a copy of the running test program under `exe_name`, beside copies of the
// plug-in and the platform libraries, which on "--host" loads the plug-in, hands the records to the
// batch export in one call and exits with the batch's result. Wine's per-program settings for that
// name are removed again when the object goes.
class HostProcess {
 public:
  explicit HostProcess(const std::wstring& exe_name);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // The Windows version Wine reports to this program only ("win7", "win10").
  void SetWindowsVersion(const std::wstring& version);
  // Whether the program's manifest declares Windows 10 support.
  void DeclareWindows10(bool declared);
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

// The host side of HostProcess, called first by every test program's main: true (with the exit code)
// when the command line asked for it.
bool RunAsHost(int* exit_code);

// Staging roots' trees: <system>\zyhok and <SysWOW64>\zyhok.
std::wstring StagingTree64();
std::wstring StagingTree32();

// Everything an install, update or uninstall can leave behind: the service (stopped, deleted), the
// installed driver file, the service key with its values and sub-keys, both staging trees, the
// catalogue copy <system>\zyhok.cat and any pending-deletion entries naming those places. Safe to
// call on a clean machine.
void ResetDriverMachineState();

// Every file below `folder`, as lower-case paths.
std::vector<std::wstring> FilesBelow(const std::wstring& folder);

// Which fixture driver the installed driver file is: "v1", "v2", "none" or "other".
std::wstring InstalledDriver();

// What a lifecycle action leaves on the machine, one item a line, for comparing two machines: the
// service state, which fixture driver the installed file is and its size, every folder and file of both
// staging trees, every value under the service key and its sub-keys, and every folder and file below
// `packages` when given.
std::wstring DescribeMachine(const std::wstring& packages = L"");

// Paths queued in PendingFileRenameOperations for deletion at the next reboot (sources whose
// destination is empty), without the "\??\" prefix.
std::vector<std::wstring> PendingDeletions();

void WriteServiceDword(const std::wstring& name, DWORD value);
void DeleteServiceValue(const std::wstring& name);

// The staged copies of a package's components, in this order: 64-bit engine, 32-bit engine, 64-bit
// add-on, 32-bit add-on (fixture v1: engine "2.5.1043", add-on "1.0.5"; v2: "2.6.1100", "1.0.6").
std::vector<std::wstring> StagedComponentFiles(const std::wstring& engine_version,
                                               const std::wstring& addon_version);

// A REG_DWORD under the driver's service key, or kNoServiceDword when it cannot be read.
inline constexpr DWORD kNoServiceDword = 0xBAD0BAD0;
DWORD ServiceDword(const std::wstring& name);


}  // namespace zyhok_test
