// Install records carried out through the loaded plug-in against Wine's service manager, SetupAPI,
// registry and file system, with the test driver and the fixture packages.
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/plugin_fixture.h"
#include "support/test_support.h"
#include "util/log.h"

namespace {

using namespace zyhok_test;

const std::wstring kRestrictLine = AccessChangeLine(true);

const std::vector<std::wstring> kStagedV1 = StagedComponentFiles(L"2.5.1043", L"1.0.5");
const std::vector<std::wstring> kStagedV2 = StagedComponentFiles(L"2.6.1100", L"1.0.6");

using InstallThroughPlugin = PluginOnCleanMachine;

TEST_F(InstallThroughPlugin, FreshInstallThenReinstallOverTheRunningDriver) {
  const std::wstring pkg = PackageDir(L"v1");
  {
    SCOPED_TRACE("fresh install on a clean machine");
    LogCapture log;
    ASSERT_EQ(plugin_.Do(kInstall, pkg), kSuccess) << log.Dump();
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ServiceDword(L"PermCount"), 1u);
    EXPECT_EQ(ServiceDword(L"InstalledByZefa"), 1u);
    EXPECT_EQ(ServiceDword(L"BootStatus"), 0xFFFFFFFFu);
    EXPECT_EQ(ServiceDword(L"GHSwitch"), 1u);
    EXPECT_EQ(ServiceDword(L"HokFlags"), 0u);
    EXPECT_TRUE(AllFilesExist(kStagedV1));
    EXPECT_TRUE(FileExists(InstalledDriverPath()));
    const zyhok::DrvStatusInfo status = plugin_.Status();
    EXPECT_EQ(status.status, 0xE01A0004u);
    EXPECT_STREQ(status.version, "1.6.1195");

    EXPECT_TRUE(log.Has(2, L"rDrvInfo.wszDriverPath = " + pkg)) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"wszNormalDriverFolder = " + pkg)) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"==> _InstallDriverByInf,INF File Path: " + pkg + L"\\zyhok.inf")) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"Success to start [zyhok] service.")) << log.Dump();
    // Nothing was registered before: the retirement of the replaced copies works on empty paths and
    // logs the rename's own error, whatever the log library did to the last-error value meanwhile.
    SetLastError(0xDEADBEEF);
    ASSERT_FALSE(MoveFileW(L"", L".1"));
    std::wstring rename_failed = L"Rename file() failed. LastError = ";
    zyhok::AppendNumber(rename_failed, GetLastError());
    EXPECT_TRUE(log.Has(3, rename_failed)) << log.Dump();
    const int restrict = LineIndex(log, 2, kRestrictLine);
    EXPECT_GE(restrict, 0) << log.Dump();
    EXPECT_GT(LineIndex(log, 2, L"<== InstallDrvFromDrvInfo,"), restrict) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"<== DoActionFromDrvInfo,asStatus = 0x201a0001")) << log.Dump();
    EXPECT_TRUE(log.Texts(5).empty()) << log.Dump();
  }
  // A package path ending in a separator gets no second one; "PermCount" is set, not counted up.
  for (const wchar_t* separator : {L"\\", L"/"}) {
    SCOPED_TRACE(WideToUtf8(L"reinstall over the running driver, path ending in " + std::wstring(separator)));
    WriteServiceDword(L"PermCount", 3);
    LogCapture log;
    ASSERT_EQ(plugin_.Do(kInstall, pkg + separator), kSuccess) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"==> _InstallDriverByInf,INF File Path: " + pkg + separator + L"zyhok.inf"))
        << log.Dump();
    // The service manager reports 1056 for the running driver, which the start treats as success.
    EXPECT_TRUE(log.Has(2, L"Success to start [zyhok] service.")) << log.Dump();
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ServiceDword(L"PermCount"), 1u);
    EXPECT_EQ(ServiceDword(L"InstalledByZefa"), 1u);
    // The same component versions are in place already: nothing is retired.
    EXPECT_FALSE(log.HasPart(3, L"Rename file(")) << log.Dump();
    EXPECT_TRUE(AllFilesExist(kStagedV1));
  }
}

TEST_F(InstallThroughPlugin, RefusedStartsAreAcceptedOnlyFor1305) {
  const std::wstring pkg = PackageDir(L"v1");
  {
    SCOPED_TRACE("DriverEntry returns STATUS_UNKNOWN_REVISION: start error 1305");
    // The service key exists before the INF install registers the service; the test driver reads
    // its status from it.
    WriteServiceDword(L"TestDriverEntryStatus", 0xC0000058);
    LogCapture log;
    EXPECT_EQ(plugin_.Do(kInstall, pkg), kSuccess) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"Not support on this platform")) << log.Dump();
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(ServiceDword(L"PermCount"), 1u);
    EXPECT_EQ(ServiceDword(L"InstalledByZefa"), 1u);
    EXPECT_GE(LineIndex(log, 2, kRestrictLine), 0) << log.Dump();
  }
  ResetDriverMachineState();
  {
    SCOPED_TRACE("DriverEntry returns STATUS_UNSUCCESSFUL: start error 31, after an install of v2");
    ASSERT_EQ(plugin_.Do(kInstall, PackageDir(L"v2")), kSuccess);
    ASSERT_TRUE(StopDriver());
    ASSERT_TRUE(FileExists(kStagedV2[0]));
    WriteServiceDword(L"TestDriverEntryStatus", 0xC0000001);
    WriteServiceDword(L"PermCount", 7);
    WriteServiceDword(L"InstalledByZefa", 0);
    LogCapture log;
    EXPECT_EQ(plugin_.Do(kInstall, pkg), kFailed) << log.Dump();
    const int failed = LineIndex(log, 5, L"fail to start [zyhok] service. Windows error code = 0x1f");
    EXPECT_GE(failed, 0) << log.Dump();
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(ServiceDword(L"PermCount"), 7u);
    EXPECT_EQ(ServiceDword(L"InstalledByZefa"), 0u);
    // The v2 copies that the v1 staging replaced are retired all the same, and the service object
    // is still restricted after the failure.
    EXPECT_TRUE(NoFileExists(kStagedV2));
    EXPECT_TRUE(AllFilesExist(kStagedV1));
    EXPECT_GT(LineIndex(log, 2, kRestrictLine), failed) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"<== InstallDrvFromDrvInfo,")) << log.Dump();
  }
}

TEST_F(InstallThroughPlugin, PackageWithoutInfFailsAtTheInfStepAndInstallsNoService) {
  // A copy of the v1 package laid out the same way, without its INF file.
  TempDir temp;
  const std::wstring pkg = temp / L"20019\\1.6.1195\\1.6.1195";
  const std::wstring source = PackageDir(L"v1");
  ASSERT_EQ(SHCreateDirectoryExW(nullptr, (pkg + L"\\AddOn").c_str(), nullptr), ERROR_SUCCESS);
  for (const wchar_t* file : {L"zymon64.dll", L"zymon.dll", L"AddOn\\ZyHkEvt64.dll", L"AddOn\\ZyHkEvt.dll"}) {
    ASSERT_TRUE(CopyFileW((source + L"\\" + file).c_str(), (pkg + L"\\" + file).c_str(), TRUE));
  }
  LogCapture log;
  EXPECT_EQ(plugin_.Do(kInstall, pkg), kFailed) << log.Dump();
  EXPECT_TRUE(log.Has(5, L"fail to install " + pkg + L"\\zyhok.inf")) << log.Dump();
  EXPECT_FALSE(log.HasPart(2, L"==> StartDriverService")) << log.Dump();
  EXPECT_EQ(ServiceState(), 0u);
  EXPECT_FALSE(FileExists(InstalledDriverPath()));
  EXPECT_EQ(ServiceDword(L"PermCount"), kNoServiceDword);
  EXPECT_EQ(ServiceDword(L"InstalledByZefa"), kNoServiceDword);
  // What came before the INF step stays: staged components and service settings.
  EXPECT_TRUE(AllFilesExist(kStagedV1));
  EXPECT_EQ(ServiceDword(L"GHSwitch"), 1u);
  EXPECT_GE(LineIndex(log, 2, kRestrictLine), 0) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000c")) << log.Dump();

  SCOPED_TRACE("an empty path is a folder without an INF file too");
  LogCapture empty;
  EXPECT_EQ(plugin_.Do(kInstall, L""), kFailed) << empty.Dump();
  EXPECT_TRUE(empty.Has(5, L"fail to install \\zyhok.inf")) << empty.Dump();
  EXPECT_EQ(ServiceState(), 0u);
}

}  // namespace
