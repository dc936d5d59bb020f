// Uninstall records carried out through the loaded plug-in on a driver that the plug-in installed
// from the v1 fixture package, against Wine's service manager, SetupAPI, registry and file system.
#include <algorithm>
#include <string>
#include <vector>

#include "support/plugin_fixture.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

// True when something under the staging trees is queued for deletion at the next reboot.
bool StagingQueued() {
  const std::vector<std::wstring> pending = PendingDeletions();
  return std::any_of(pending.begin(), pending.end(), [](const std::wstring& path) {
    return _wcsnicmp(path.c_str(), StagingTree64().c_str(), StagingTree64().size()) == 0 ||
           _wcsnicmp(path.c_str(), StagingTree32().c_str(), StagingTree32().size()) == 0;
  });
}

// Each test starts with the driver installed from v1 by the plug-in, and running.
class UninstallThroughPlugin : public PluginOnCleanMachine {
 protected:
  void SetUp() override {
    PluginOnCleanMachine::SetUp();
    ASSERT_EQ(plugin_.Do(kInstall, pkg_), kSuccess);
    ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  }

  // The driver, its file and every staged copy are where the install put them, and nothing of the
  // staging trees waits for a reboot.
  void ExpectInstalledAndUntouched() {
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(FileExists(InstalledDriverPath()));
    EXPECT_TRUE(AllFilesExist(staged_));
    EXPECT_FALSE(StagingQueued());
  }

  const std::wstring pkg_ = PackageDir(L"v1");
  const std::vector<std::wstring> staged_ = StagedComponentFiles(L"2.5.1043", L"1.0.5");
};

TEST_F(UninstallThroughPlugin, AnotherHolderKeepsTheDriverAndOnlyTheShareIsGivenUp) {
  const DWORD rows[][2] = {{2, 1}, {0xFFFFFFFF, 0xFFFFFFFE}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "PermCount " << row[0]);
    WriteServiceDword(L"PermCount", row[0]);
    WriteServiceDword(L"InstalledByZefa", 1);
    LogCapture log;
    EXPECT_EQ(plugin_.Do(kUninstall, pkg_), kSuccess) << log.Dump();
    EXPECT_EQ(ServiceDword(L"PermCount"), row[1]);
    EXPECT_EQ(ServiceDword(L"InstalledByZefa"), 0u);
    ExpectInstalledAndUntouched();
    EXPECT_TRUE(log.Has(2, AccessChangeLine(false))) << log.Dump();
    EXPECT_FALSE(log.HasPart(2, L"WaitForServiceState")) << log.Dump();
    EXPECT_FALSE(log.HasPart(2, L"_UnInstallDriverByInf")) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"<== UninstallDrvFromDrvInfo,")) << log.Dump();
  }
}

TEST_F(UninstallThroughPlugin, ClientInstanceBlocksTheStopUntilItIsGoneThenEverythingIsRemoved) {
  {
    SCOPED_TRACE("a client instance holds mailslot zyhok_INSTANCE15");
    zyhok::UniqueFileHandle slot(
        CreateMailslotW(L"\\\\.\\mailslot\\zyhok_INSTANCE15", 0, MAILSLOT_WAIT_FOREVER, nullptr));
    ASSERT_TRUE(slot.valid()) << GetLastError();
    LogCapture log;
    EXPECT_EQ(plugin_.Do(kUninstall, pkg_), 0xE01A0019u) << log.Dump();
    EXPECT_TRUE(log.Has(5, L"fail to stop original driver zyhok")) << log.Dump();
    EXPECT_FALSE(log.HasPart(2, L"_UnInstallDriverByInf")) << log.Dump();
    ExpectInstalledAndUntouched();
    EXPECT_EQ(ServiceDword(L"PermCount"), 1u);
  }
  {
    SCOPED_TRACE("no client instance; the record path holds . and .. elements");
    LogCapture log;
    EXPECT_EQ(plugin_.Do(kUninstall, pkg_ + L"\\..\\1.6.1195\\.\\"), kSuccess) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"wszNormalDriverFolder = " + pkg_ + L"\\")) << log.Dump();
    EXPECT_TRUE(log.Has(2, L"==> _UnInstallDriverByInf,")) << log.Dump();
    EXPECT_FALSE(log.Has(5, L"Incorrect driver INF filepath.")) << log.Dump();
    EXPECT_TRUE(log.Texts(5).empty()) << log.Dump();
    EXPECT_EQ(ServiceState(), 0u);
    EXPECT_FALSE(FileExists(InstalledDriverPath()));
    // Nothing holds the staged files, so the trees go at once rather than at the next reboot.
    EXPECT_FALSE(FileExists(StagingTree64()));
    EXPECT_FALSE(FileExists(StagingTree32()));
    EXPECT_FALSE(StagingQueued());
    // With a share of 1 the count is not lowered: the INF removal takes the service key with it.
    EXPECT_EQ(ServiceDword(L"PermCount"), kNoServiceDword);
  }
}

TEST_F(UninstallThroughPlugin, MissingServiceFailsTheQueryAndTouchesNoFile) {
  RemoveDriverService(pkg_);
  ASSERT_EQ(ServiceState(), 0u);
  LogCapture log;
  EXPECT_EQ(plugin_.Do(kUninstall, pkg_), kFailed) << log.Dump();
  EXPECT_TRUE(log.Has(3, L"fail to query driver[zyhok] status")) << log.Dump();
  EXPECT_FALSE(log.HasPart(3, L"Rename file(")) << log.Dump();
  EXPECT_FALSE(log.HasPart(2, L"_UnInstallDriverByInf")) << log.Dump();
  EXPECT_TRUE(AllFilesExist(staged_));
  EXPECT_FALSE(StagingQueued());
  EXPECT_TRUE(log.Has(2, L"<== UninstallDrvFromDrvInfo,")) << log.Dump();
}

}  // namespace
