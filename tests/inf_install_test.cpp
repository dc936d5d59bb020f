// INF-driven install and uninstall through Wine's real SetupAPI: the package INF registers the zyhok
// service and copies its driver, the uninstall section removes them again, and paths that name
// nothing run no section.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/service.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

constexpr wchar_t kInstallPrefix[] = L"DefaultInstall 128 ";
constexpr size_t kCommandLineMax = 519;

// Whether the service manager still knows zyhok; a deleted service goes away once SetupAPI has
// closed its handle, which may lag the call.
bool ServiceGone() {
  for (int i = 0; i < 100; ++i) {
    SERVICE_STATUS status;
    if (!zyhok::QueryDriverStatus(L"zyhok", &status)) return true;
    Sleep(20);
  }
  return false;
}

// Each case starts and ends without the zyhok service and its driver file.
class InfInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveDriverService();
    ASSERT_FALSE(FileExists(InstalledDriverPath()));
  }
  void TearDown() override { RemoveDriverService(PackageDir(L"v1")); }

  LogCapture log_;
};

TEST_F(InfInstall, InstallRegistersTheServiceAndUninstallRemovesIt) {
  const std::wstring inf = PackageDir(L"v1") + L"\\zyhok.inf";
  EXPECT_TRUE(zyhok::_InstallDriverByInf(inf.c_str()));
  EXPECT_EQ(log_.Texts(), (std::vector<std::wstring>{
                              L"==> _InstallDriverByInf,INF File Path: " + inf,
                              std::wstring(L"called InstallHinfSectionW() Success!, command line: ") + kInstallPrefix + inf,
                              L"<== _InstallDriverByInf,"}))
      << log_.Dump();
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  ASSERT_TRUE(FileExists(InstalledDriverPath()));
  EXPECT_EQ(ReadFileBytes(InstalledDriverPath()), ReadFileBytes(PackageDir(L"v1") + L"\\zyhok.sys"));

  // The registered service is one the start operation can run.
  EXPECT_TRUE(zyhok::StartDriverService(L"zyhok"));
  EXPECT_TRUE(zyhok::StopDriverService(L"zyhok"));

  log_.Clear();
  EXPECT_TRUE(zyhok::_UnInstallDriverByInf(inf.c_str()));
  EXPECT_EQ(log_.Texts(), (std::vector<std::wstring>{L"==> _UnInstallDriverByInf,",
                                                     L"<== _UnInstallDriverByInf,"}))
      << log_.Dump();
  EXPECT_TRUE(ServiceGone());
  EXPECT_FALSE(FileExists(InstalledDriverPath()));
}

TEST_F(InfInstall, PathsThatNameNothingRunNoSection) {
  TempDir dir;
  const std::wstring missing = dir / L"zyhok.inf";
  struct Case {
    const wchar_t* path;
    const wchar_t* shown;
  } cases[] = {{nullptr, L"(NULL)"}, {L"", L""}, {missing.c_str(), missing.c_str()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.shown));
    log_.Clear();
    EXPECT_FALSE(zyhok::_InstallDriverByInf(c.path));
    EXPECT_FALSE(zyhok::_UnInstallDriverByInf(c.path));
    EXPECT_EQ(log_.Texts(), (std::vector<std::wstring>{
                                std::wstring(L"==> _InstallDriverByInf,INF File Path: ") + c.shown,
                                L"Incorrect driver INF filepath.", L"<== _InstallDriverByInf,",
                                L"==> _UnInstallDriverByInf,", L"Incorrect driver INF filepath.",
                                L"<== _UnInstallDriverByInf,"}))
        << log_.Dump();
    EXPECT_EQ(log_.Texts(5).size(), 2u) << log_.Dump();
  }
  EXPECT_FALSE(zyhok::IsDriverExist(L"zyhok"));
}

// zyhok::FileExists counts folders too, so a folder passes and is handed to SetupAPI, which installs
// nothing from it.
TEST_F(InfInstall, FolderPathPassesTheExistenceTestAndIsHandedToSetup) {
  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir / L"present.txt", "x"));
  EXPECT_TRUE(zyhok::FileExists((dir / L"present.txt").c_str()));
  EXPECT_FALSE(zyhok::FileExists((dir / L"absent.txt").c_str()));
  EXPECT_TRUE(zyhok::FileExists(dir.path().c_str()));
  EXPECT_TRUE(zyhok::_InstallDriverByInf(dir.path().c_str()));
  EXPECT_TRUE(log_.Has(2, L"called InstallHinfSectionW() Success!, command line: " +
                              std::wstring(kInstallPrefix) + dir.path()))
      << log_.Dump();
  EXPECT_TRUE(zyhok::_UnInstallDriverByInf(dir.path().c_str()));
  EXPECT_TRUE(log_.Texts(5).empty()) << log_.Dump();
  EXPECT_FALSE(zyhok::IsDriverExist(L"zyhok"));
}

TEST_F(InfInstall, CommandLineOfAVeryLongPathIsCutTo519Characters) {
  TempDir dir;
  std::wstring folder = dir.path();
  while (folder.size() < 600) {
    folder += L"\\" + std::wstring(60, L'z');
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
  }
  const std::wstring inf = folder + L"\\zyhok.inf";
  ASSERT_TRUE(CopyFileW((PackageDir(L"v1") + L"\\zyhok.inf").c_str(), inf.c_str(), FALSE))
      << GetLastError();
  ASSERT_GT(inf.size(), 500u);

  EXPECT_TRUE(zyhok::_InstallDriverByInf(inf.c_str()));
  const std::wstring expected = (kInstallPrefix + inf).substr(0, kCommandLineMax);
  EXPECT_TRUE(log_.Has(2, L"called InstallHinfSectionW() Success!, command line: " + expected))
      << log_.Dump();
  // The cut path names no INF, so nothing was installed.
  EXPECT_FALSE(zyhok::IsDriverExist(L"zyhok"));
}

}  // namespace
