// Updates of the driver carried out through the plug-in's batch export, as the host calls it, against
// the real service manager, registry and files of the Wine prefix, with the programmable test driver
// and the fixture packages. Every case checks what the update left behind (installed driver file,
// service state, service key values, the package folder) and the log lines that tell the story.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/plugin_fixture.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;

constexpr uint32_t kNotStopped = 0x201A0002;
constexpr uint32_t kStartFailedRestored = 0xE01A000B;
constexpr uint32_t kRollbackFailed = 0xE01A000E;

// DriverEntry results of the test driver and the StartServiceW errors they become.
constexpr DWORD kUnknownRevision = 0xC0000058;  // 1305
constexpr DWORD kDriverBlocked = 0xC000036C;    // 1275
constexpr DWORD kUnsuccessful = 0xC0000001;     // 31

constexpr size_t kNone = static_cast<size_t>(-1);

// A fixture package copied into a temporary folder with its layout (<temp>\20019\<ver>\<ver>), so the
// update may write its backup beside the driver file, and a case may break the package, without
// touching the fixture.
class PackageCopy {
 public:
  explicit PackageCopy(const std::wstring& name) {
    const std::wstring original = PackageDir(name);
    const size_t at = original.find(L"\\20019\\");
    EXPECT_TRUE(CopyTree(original.substr(0, at), dir_.path())) << WideToUtf8(original);
    folder_ = dir_.path() + original.substr(at);
  }
  const std::wstring& folder() const { return folder_; }
  std::wstring operator/(const std::wstring& file) const { return folder_ + L"\\" + file; }

 private:
  TempDir dir_;
  std::wstring folder_;
};

// Index among the lines of this level of the first whose text starts with `prefix`, or kNone.
size_t LineStartingWith(const LogCapture& log, unsigned level, const std::wstring& prefix) {
  const std::vector<std::wstring> texts = log.Texts(level);
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].rfind(prefix, 0) == 0) return i;
  }
  return kNone;
}

size_t CountLines(const LogCapture& log, const std::wstring& prefix) {
  size_t count = 0;
  for (const std::wstring& text : log.Texts()) count += text.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

bool HasServiceDword(const std::wstring& name) {
  DWORD value = 0;
  return ReadServiceDword(name, value);
}

// The update ran with the service object's restriction lifted, and the restriction was put back after
// it, whatever its result.
void ExpectRestrictionLiftedAroundUpdate(const LogCapture& log) {
  const size_t lifted = LineStartingWith(log, 2, AccessChangeLine(false));
  const size_t entry = LineStartingWith(log, 2, L"==> UpdateDrvFromDrvInfo,");
  const size_t exit = LineStartingWith(log, 2, L"<== UpdateDrvFromDrvInfo,asStatus = ");
  const size_t put_back = LineStartingWith(log, 2, AccessChangeLine(true));
  ASSERT_NE(put_back, kNone) << log.Dump();
  EXPECT_LT(lifted, entry);
  EXPECT_LT(entry, exit);
  EXPECT_LT(exit, put_back);
}

class UpdateThroughPlugin : public PluginOnCleanMachine {
 protected:
  void SetUp() override {
    PluginOnCleanMachine::SetUp();
    ASSERT_FALSE(v1_.empty());
    ASSERT_NE(v1_, v2_);
  }

  // Starts a case from a clean machine with this platform's install of v1 (running, "PermCount" 1,
  // "InstalledByZefa" 1).
  void InstallV1() {
    ResetDriverMachineState();
    ASSERT_EQ(plugin_.Do(kInstall, PackageDir(L"v1")), kSuccess);
    ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  }
  // Starts a case with v1 installed and running the way another product installs it: INF only.
  void InstallV1ByInf() {
    ResetDriverMachineState();
    InstallDriverByInf(PackageDir(L"v1"));
    ASSERT_TRUE(StartDriver());
  }

  // Which fixture driver the installed driver file is: "v1", "v2", "missing" or "other".
  std::string Installed() const {
    if (!FileExists(InstalledDriverPath())) return "missing";
    const std::string bytes = ReadFileBytes(InstalledDriverPath());
    return bytes == v1_ ? "v1" : bytes == v2_ ? "v2" : "other";
  }

  // What an update left behind: the installed driver file ("v1", "v2"), the service state, and no
  // backup in the package folder.
  void ExpectLeftBehind(const char* driver, DWORD state, const PackageCopy& package) const {
    EXPECT_EQ(Installed(), driver);
    EXPECT_EQ(ServiceState(), state);
    EXPECT_FALSE(FileExists(package / L"zyhok_backup.sys"));
  }

  const std::string v1_ = ReadFileBytes(PackageDir(L"v1") + L"\\zyhok.sys");
  const std::string v2_ = ReadFileBytes(PackageDir(L"v2") + L"\\zyhok.sys");
  const std::wstring drivers_ = SystemDir() + L"\\drivers\\";
};

TEST_F(UpdateThroughPlugin, MissingDriverIsInstalledFromTheInfThenReplacedAndStarted) {
  PackageCopy v2(L"v2");
  LogCapture log;
  EXPECT_EQ(plugin_.Do(1, v2.folder()), kSuccess) << log.Dump();

  const size_t installed = LineStartingWith(log, 2, L"Success to install driver by INF" + (v2 / L"zyhok.inf"));
  EXPECT_NE(installed, kNone) << log.Dump();
  EXPECT_LT(installed, LineStartingWith(log, 2, L"backup original driver file from: " + drivers_ + L" to " +
                                             v2.folder() + L"\\"));
  EXPECT_TRUE(log.Has(2, L"Success to start new driver: zyhok"));
  ExpectLeftBehind("v2", SERVICE_RUNNING, v2);
  EXPECT_EQ(ServiceDword(L"BootStatus"), 0xFFFFFFFFu);
  // A service that the update itself registers gets no share flags.
  EXPECT_FALSE(HasServiceDword(L"PermCount"));
  EXPECT_FALSE(HasServiceDword(L"InstalledByZefa"));
  const zyhok::DrvStatusInfo status = plugin_.Status();
  EXPECT_EQ(status.status, 0xE01A0004u);
  EXPECT_STREQ(status.version, "1.6.1200");
}

TEST_F(UpdateThroughPlugin, ServiceMarkedForDeletionIsStoppedAndReinstalledBeforeTheExchange) {
  {
    SCOPED_TRACE("marked, no client instance");
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    WriteServiceDword(L"DeleteFlag", 1);
    PackageCopy v2(L"v2");
    LogCapture log;
    EXPECT_EQ(plugin_.Do(3, v2.folder()), kSuccess) << log.Dump();
    EXPECT_TRUE(log.Has(3, L"The DeleteFlag indicates the service: zyhok was marked for deletion on reboot"));
    const size_t reinstall =
        LineStartingWith(log, 2, L"==> _InstallDriverByInf,INF File Path: " + (v2 / L"zyhok.inf"));
    EXPECT_NE(reinstall, kNone) << log.Dump();
    EXPECT_LT(reinstall, LineStartingWith(log, 2, L"backup original driver file from: "));
    // The stop before the reinstall left nothing running for the exchange to stop.
    EXPECT_EQ(LineStartingWith(log, 2, L"try to stop original driver: "), kNone);
    EXPECT_EQ(LineStartingWith(log, 2, L"Check zyhok is installed by other Velmora products?"), kNone);
    ExpectLeftBehind("v2", SERVICE_RUNNING, v2);
    EXPECT_EQ(ServiceDword(L"DeleteFlag"), 1u);
    EXPECT_EQ(ServiceDword(L"PermCount"), 1u);
  }
  {
    SCOPED_TRACE("marked while a client instance runs: neither stopped nor reinstalled");
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    WriteServiceDword(L"DeleteFlag", 1);
    zyhok::UniqueFileHandle instance(CreateMailslotW(L"\\\\.\\mailslot\\zyhok_INSTANCE15", 0, 0, nullptr));
    ASSERT_TRUE(instance.valid());
    PackageCopy v2(L"v2");
    LogCapture log;
    EXPECT_EQ(plugin_.Do(1, v2.folder()), kNotStopped) << log.Dump();
    EXPECT_TRUE(log.Has(5, L"fail to stop "));
    EXPECT_EQ(LineStartingWith(log, 2, L"==> _InstallDriverByInf,"), kNone);
    EXPECT_TRUE(log.Has(5, L"fail to stop original driver: zyhok"));
    ExpectLeftBehind("v1", SERVICE_RUNNING, v2);
  }
}

TEST_F(UpdateThroughPlugin, ADriverHeldByAnotherProductGetsThisPlatformsShare) {
  struct Row {
    const char* name;
    bool has_flag;
    DWORD installed_by_zefa;
    DWORD perm_count;
    bool takes_share;
  };
  const Row rows[] = {
      {"installed by another product", false, 0, 1, true},
      {"this platform released its share", true, 0, 3, true},
      {"installed by this platform", true, 1, 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(InstallV1ByInf());
    if (row.has_flag) WriteServiceDword(L"InstalledByZefa", row.installed_by_zefa);
    WriteServiceDword(L"PermCount", row.perm_count);
    WriteServiceDword(L"DeleteFlag", 0);  // present but not a deletion mark
    PackageCopy v2(L"v2");
    LogCapture log;
    EXPECT_EQ(plugin_.Do(1, v2.folder()), kSuccess) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"Check zyhok is installed by other Velmora products?"));
    EXPECT_EQ(log.Has(2, L"zyhok is installed by other Velmora products, we should modify its registry."),
              row.takes_share);
    EXPECT_EQ(ServiceDword(L"PermCount"), row.perm_count + (row.takes_share ? 1 : 0));
    EXPECT_EQ(ServiceDword(L"InstalledByZefa"), 1u);
    EXPECT_EQ(HasServiceDword(L"DeleteFlag"), !row.takes_share);
    ExpectLeftBehind("v2", SERVICE_RUNNING, v2);
  }
}

TEST_F(UpdateThroughPlugin, HokFlagsBit0LeavesTheNewDriverStopped) {
  for (const DWORD flags : {1u, 2u}) {
    const bool starts = (flags & 1) == 0;
    SCOPED_TRACE(testing::Message() << "HokFlags " << flags);
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    WriteServiceDword(L"HokFlags", flags);
    WriteServiceDword(L"BootStatus", 5);
    PackageCopy v2(L"v2");
    LogCapture log;
    EXPECT_EQ(plugin_.Do(1, v2.folder()), kSuccess) << log.Dump();
    ExpectLeftBehind("v2", starts ? SERVICE_RUNNING : SERVICE_STOPPED, v2);
    EXPECT_EQ(ServiceDword(L"BootStatus"), starts ? 0xFFFFFFFFu : 5u);
    EXPECT_EQ(log.Has(2, L"Success to start new driver: zyhok"), starts);
  }
}

TEST_F(UpdateThroughPlugin, NewDriverThatDoesNotStart) {
  {
    SCOPED_TRACE("refused as not supported (1305): the new file stays");
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    SetDriverEntryStatus(kUnknownRevision);
    WriteServiceDword(L"BootStatus", 7);
    PackageCopy v2(L"v2");
    LogCapture log;
    EXPECT_EQ(plugin_.Do(3, v2.folder()), kSuccess) << log.Dump();
    EXPECT_TRUE(log.Has(5, L"fail to start new driver.zyhok"));
    EXPECT_TRUE(log.Has(2, L"Not support on this platform."));
    EXPECT_EQ(ServiceDword(L"BootStatus"), 7u);
    ExpectLeftBehind("v2", SERVICE_STOPPED, v2);
  }
  {
    // A DriverEntry that refuses is not used here: Wine's driver host releases the refused image only
    // after StartServiceW has returned, so the rollback would race with it. A file that cannot be
    // loaded at all fails the start without holding the file.
    SCOPED_TRACE("new driver file that does not load: rolled back, the old driver stays stopped");
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    DeleteServiceValue(L"BootStatus");
    PackageCopy broken(L"v2");
    ASSERT_TRUE(WriteFileBytes(broken / L"zyhok.sys", "MZ but not a driver"));
    LogCapture log;
    EXPECT_EQ(plugin_.Do(1, broken.folder(), 0), kStartFailedRestored) << log.Dump();
    EXPECT_TRUE(log.Has(5, L"fail to start new driver.zyhok"));
    EXPECT_TRUE(log.Has(2, L"rollback to old drivers from: " + (broken / L"zyhok_backup.sys") + L" to " +
                               drivers_ + L"zyhok.sys"));
    EXPECT_EQ(CountLines(log, L"==> StartDriverService,"), 1u) << "the old driver was started again";
    ExpectLeftBehind("v1", SERVICE_STOPPED, broken);
    EXPECT_EQ(ServiceDword(L"BootStatus"), 0xFFFFFFFFu);  // absent before: written both times
    EXPECT_TRUE(log.Has(2, L"rDrvInfo.compare_state = 0"));
    ExpectRestrictionLiftedAroundUpdate(log);
  }
}

TEST_F(UpdateThroughPlugin, BackupOrRollbackThatCannotWrite) {
  {
    SCOPED_TRACE("backup refused: nothing is stopped or replaced");
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    PackageCopy v2(L"v2");
    ASSERT_TRUE(CreateDirectoryW((v2 / L"zyhok_backup.sys").c_str(), nullptr));
    LogCapture log;
    EXPECT_EQ(plugin_.Do(1, v2.folder()), kFailed) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"backup original driver file failed."));
    EXPECT_TRUE(log.Has(2, L"delete backup file " + (v2 / L"zyhok_backup.sys") + L" failed"));
    EXPECT_NE(LineStartingWith(log, 2, L"<== UpdateDrvFromDrvInfo,asStatus = 0xe01a000c"), kNone);
    EXPECT_EQ(LineStartingWith(log, 2, L"try to stop original driver: "), kNone);
    EXPECT_EQ(Installed(), "v1");
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  }
  {
    SCOPED_TRACE("installed file open without write sharing: replace and rollback both refused");
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    PackageCopy v2(L"v2");
    LogCapture log;
    {
      zyhok::UniqueFileHandle reader(CreateFileW(InstalledDriverPath().c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(reader.valid());
      EXPECT_EQ(plugin_.Do(1, v2.folder()), kRollbackFailed) << log.Dump();
    }
    EXPECT_TRUE(log.Has(5, L"replace original driver file with new ones failed."));
    EXPECT_TRUE(log.Has(5, L"rollback to original driver file failed."));
    EXPECT_EQ(CountLines(log, L"==> StartDriverService,"), 0u) << "no restart after a failed rollback";
    ExpectLeftBehind("v1", SERVICE_STOPPED, v2);
  }
}

TEST_F(UpdateThroughPlugin, FailedReplacementRestoresAndRestartsTheOldDriver) {
  struct Row {
    const char* name;
    DWORD entry_status;
    uint32_t result;
    unsigned level;
    const wchar_t* line;
    DWORD state;
  };
  const Row rows[] = {
      {"old driver restarted", 0, kFailed, 0, nullptr, SERVICE_RUNNING},
      {"old driver blocked (1275)", kDriverBlocked, kSuccess, 2, L"Blocked by boot status.", SERVICE_STOPPED},
      {"old driver not supported (1305)", kUnknownRevision, kSuccess, 2, L"Not support on this platform.",
       SERVICE_STOPPED},
      {"old driver refused (31)", kUnsuccessful, kRollbackFailed, 5, L"start original driver file failed.",
       SERVICE_STOPPED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NO_FATAL_FAILURE(InstallV1());
    SetDriverEntryStatus(row.entry_status);
    // Without its driver file the package still backs up the installed one, but cannot replace it.
    PackageCopy broken(L"v2");
    ASSERT_TRUE(DeleteFileW((broken / L"zyhok.sys").c_str()));
    LogCapture log;
    if (row.result == kFailed) {
      // The result ends the batch: the uninstall after it is never carried out.
      const std::vector<zyhok::DrvInfo> batch = {MakeRecord(3, broken.folder()),
                                                 MakeRecord(2, PackageDir(L"v1"))};
      EXPECT_EQ(plugin_.DoActions(batch), kFailed) << log.Dump();
      EXPECT_EQ(CountLines(log, L"==> DoActionFromDrvInfo,"), 1u);
      EXPECT_FALSE(log.Has(2, L"rDrvInfo.compare_state = 0"));
      ExpectRestrictionLiftedAroundUpdate(log);
    } else {
      EXPECT_EQ(plugin_.Do(1, broken.folder()), row.result) << log.Dump();
      EXPECT_TRUE(log.Has(row.level, row.line));
    }
    EXPECT_TRUE(log.Has(5, L"replace original driver file with new ones failed."));
    EXPECT_TRUE(log.Has(2, L"rollback to original driver file successfully."));
    ExpectLeftBehind("v1", row.state, broken);
  }
}

// The catalogue copy depends on the version that GetVersionExW reports to the host process, which
// Wine derives from its configured Windows version and the process's compatibility manifest, both
// read at process start. So each case runs the update in a fresh host process: a copy of this program
// under its own name (so its per-program Wine setting concerns nothing else), with or without a
// manifest that declares Windows 10 support.
class UpdateHost {
 public:
  static constexpr const wchar_t* kExe = L"zyhok_update_host.exe";

  UpdateHost() {
    zyhok::UniqueHKey defaults;
    had_app_defaults_ = RegOpenKeyExW(HKEY_CURRENT_USER, kAppDefaults, 0, KEY_READ, defaults.put()) ==
                        ERROR_SUCCESS;
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    CopyFileW(std::wstring(self, n).c_str(), (dir_ / kExe).c_str(), FALSE);
    for (const wchar_t* dll : {L"helperZYHOKDriver.dll", L"journalsink.dll", L"setupkit.dll"}) {
      CopyFileW((BinDir() + dll).c_str(), (dir_ / dll).c_str(), FALSE);
    }
  }
  // Leaves Wine's per-program settings as they were found.
  ~UpdateHost() {
    RegDeleteTreeW(HKEY_CURRENT_USER, AppKey().c_str());
    if (!had_app_defaults_) RegDeleteKeyW(HKEY_CURRENT_USER, kAppDefaults);
  }

  // Wine's Windows version for the host program only ("win7", "win10").
  void SetWindowsVersion(const std::wstring& version) {
    zyhok::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, AppKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                   static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
  }
  void DeclareWindows10(bool declared) {
    const std::wstring manifest = dir_ / (std::wstring(kExe) + L".manifest");
    DeleteFileW(manifest.c_str());
    if (!declared) return;
    WriteFileBytes(manifest,
                   "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                   "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
                   "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
                   "    <application>\r\n"
                   "      <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\r\n"
                   "    </application>\r\n"
                   "  </compatibility>\r\n"
                   "</assembly>\r\n");
  }
  // Runs one record in the host, logging into `log_file`; returns the record's result.
  uint32_t Run(uint32_t action, const std::wstring& package, const std::wstring& log_file) {
    std::wstring command =
        L"\"" + (dir_ / kExe) + L"\" --update-host " + std::to_wstring(action) + L" \"" + package + L"\"";
    SetEnvironmentVariableW(L"ZYJOURNAL_FILE", log_file.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL created = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        dir_.path().c_str(), &startup, &process);
    SetEnvironmentVariableW(L"ZYJOURNAL_FILE", nullptr);
    if (!created) return 0;
    zyhok::UniqueKernelHandle process_handle(process.hProcess);
    zyhok::UniqueKernelHandle thread_handle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
  }

 private:
  static constexpr const wchar_t* kAppDefaults = L"Software\\Wine\\AppDefaults";
  static std::wstring AppKey() { return std::wstring(kAppDefaults) + L"\\" + kExe; }
  TempDir dir_;
  bool had_app_defaults_ = false;
};

TEST_F(UpdateThroughPlugin, CatalogueIsCopiedOnlyWhereTheHostSeesWindows10) {
  struct Row {
    const char* name;
    const wchar_t* version;
    bool manifest;
    bool copies;
  };
  const Row rows[] = {
      {"Windows 7 (6.1)", L"win7", true, false},
      {"Windows 10 to a host without a Windows 10 manifest (6.2)", L"win10", false, false},
      {"Windows 10 to a host that declares it (10.0)", L"win10", true, true},
  };
  UpdateHost host;
  const std::wstring catalogue = SystemDir() + L"\\zyhok.cat";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ResetDriverMachineState();
    ASSERT_NO_FATAL_FAILURE(host.SetWindowsVersion(row.version));
    host.DeclareWindows10(row.manifest);
    PackageCopy v2(L"v2");
    LogCapture log;
    EXPECT_EQ(host.Run(3, v2.folder(), log.file()), kSuccess) << log.Dump();
    EXPECT_NE(LineStartingWith(log, 2, L"<== UpdateDrvFromDrvInfo,"), kNone) << "the host did not update";
    EXPECT_EQ(log.Has(2, L"The OS platform is win10 or above."), row.copies);
    EXPECT_EQ(log.Has(2, L"wsSystemPath : " + catalogue), row.copies);
    EXPECT_EQ(log.Has(2, L"wsCatFilePath : " + (v2 / L"zyhok.cat")), row.copies);
    if (row.copies) {
      EXPECT_EQ(ReadFileBytes(catalogue), ReadFileBytes(v2 / L"zyhok.cat"));
    } else {
      EXPECT_FALSE(FileExists(catalogue));
    }
  }
}

}  // namespace

// The program doubles as the plug-in host of the catalogue cases:
//   update_slow_test.exe --update-host <action> <package folder>
// loads the plug-in beside it, carries out that one record and exits with the record's result code.
int main(int argc, char** argv) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args != nullptr && count == 4 && std::wstring(args[1]) == L"--update-host") {
    const uint32_t action = static_cast<uint32_t>(std::wcstoul(args[2], nullptr, 10));
    const std::wstring package = args[3];
    LocalFree(args);
    zyhok_test::LoadedPlugin plugin;
    return plugin.loaded() ? static_cast<int>(plugin.Do(action, package)) : 1;
  }
  LocalFree(args);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
