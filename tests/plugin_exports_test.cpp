// The four exports, called the way the host calls them: the built DLL is loaded with LoadLibraryW and
// its functions resolved with GetProcAddress. The status report is checked against the real service
// manager with the test driver of the fixture package.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin/plugin.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;
using zyhok::DrvInfo;
using zyhok::DrvStatusInfo;

struct Exports {
  zyhok::UniqueModule module;
  uint32_t (*do_action)(const DrvInfo*, uint32_t) = nullptr;
  uint32_t (*enumerate)(zyhok::DrvStatusCallback, void*) = nullptr;
  uint32_t (*owner_id)() = nullptr;
  void (*module_version)(uint32_t*) = nullptr;
};

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class PluginExports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    exports_ = new Exports();
    exports_->module.reset(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
    ASSERT_TRUE(exports_->module.valid()) << GetLastError();
    HMODULE m = exports_->module.get();
    Resolve(m, "Plugin_Interface_DriversDoAction", exports_->do_action);
    Resolve(m, "Plugin_Interface_EnumerateDriversInfo", exports_->enumerate);
    Resolve(m, "Plugin_Interface_GetHelperOwnerModuleID", exports_->owner_id);
    Resolve(m, "Plugin_Interface_GetModuleVersion", exports_->module_version);
  }
  static void TearDownTestSuite() {
    delete exports_;
    exports_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(exports_->do_action, nullptr);
    ASSERT_NE(exports_->enumerate, nullptr);
    ASSERT_NE(exports_->owner_id, nullptr);
    ASSERT_NE(exports_->module_version, nullptr);
  }
  static Exports* exports_;
};
Exports* PluginExports::exports_ = nullptr;

TEST_F(PluginExports, IdentifyThePlugin) {
  EXPECT_EQ(exports_->owner_id(), 20020u);
  EXPECT_EQ(exports_->owner_id(), 20020u);
  uint32_t version[4] = {7, 7, 7, 0xDEADBEEF};
  exports_->module_version(version);
  EXPECT_EQ(version[0], 1u);
  EXPECT_EQ(version[1], 6u);
  EXPECT_EQ(version[2], 1195u);
  EXPECT_EQ(version[3], 0xDEADBEEFu) << "wrote past the three words";
  exports_->module_version(nullptr);  // must return without touching anything
}

TEST_F(PluginExports, FileVersionResourceIs1_6_0_1195) {
  const std::wstring dll = BinDir() + L"helperZYHOKDriver.dll";
  uint32_t major = 0, minor = 0, build = 0;
  ASSERT_TRUE(zyhok::GetFileVersionNumbers(dll.c_str(), &major, &minor, &build));
  EXPECT_EQ(major, 1u);
  EXPECT_EQ(minor, 6u);
  EXPECT_EQ(build, 1195u);
}

TEST_F(PluginExports, EmptyBatchIsRefusedWithoutReadingRecords) {
  LogCapture log;
  EXPECT_EQ(exports_->do_action(nullptr, 0), 0xE01A000Cu);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

struct Received {
  int calls = 0;
  void* context = nullptr;
  DrvStatusInfo info;
};

uint32_t OnStatus(const DrvStatusInfo* info, void* context) {
  auto* received = static_cast<Received*>(context);
  ++received->calls;
  received->context = context;
  std::memcpy(&received->info, info, sizeof(DrvStatusInfo));
  return 0xFFFFFFFF;  // ignored by the plug-in
}

// Each case leaves the machine without the zyhok service.
class DriverStatusReport : public PluginExports {
 protected:
  void SetUp() override {
    PluginExports::SetUp();
    RemoveDriverService();
  }
  void TearDown() override { RemoveDriverService(PackageDir(L"v1")); }

  Received Enumerate() {
    Received received;
    std::memset(&received.info, 0xCC, sizeof(received.info));
    EXPECT_EQ(exports_->enumerate(&OnStatus, &received), 0x201A0001u);
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.context, &received);
    EXPECT_EQ(received.info.driver_id, 0x48000165u);
    EXPECT_EQ(received.info.flag, 1u);
    EXPECT_NE(std::memchr(received.info.version, 0, sizeof(received.info.version)), nullptr);
    return received;
  }
};

TEST_F(DriverStatusReport, RunningDriverReportsRunningAndItsFileVersion) {
  InstallDriverByInf(PackageDir(L"v1"));
  ASSERT_TRUE(StartDriver());
  LogCapture log;
  Received r = Enumerate();
  EXPECT_EQ(r.info.status, 0xE01A0004u);
  EXPECT_STREQ(r.info.version, "1.6.1195");
  EXPECT_TRUE(log.Has(2, L"The current state of zyhok is 0x4")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"Query Version of driver: " + InstalledDriverPath())) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"driver version: 1.6.1195")) << log.Dump();
  EXPECT_EQ(log.Texts(3).size() + log.Texts(5).size(), 0u) << log.Dump();
}

TEST_F(DriverStatusReport, StoppedDriverReportsNotRunningWithTheVersionOfTheUpdate) {
  InstallDriverByInf(PackageDir(L"v2"));
  ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  LogCapture log;
  Received r = Enumerate();
  EXPECT_EQ(r.info.status, 0xE01A0008u);
  EXPECT_STREQ(r.info.version, "1.6.1200");
  EXPECT_TRUE(log.Has(2, L"The current state of zyhok is 0x1")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"driver version: 1.6.1200")) << log.Dump();
}

TEST_F(DriverStatusReport, ServiceWhoseFileIsMissingReportsItsStateAndVersion1_0) {
  InstallDriverByInf(PackageDir(L"v1"));
  ASSERT_TRUE(DeleteFileW(InstalledDriverPath().c_str()));
  LogCapture log;
  Received r = Enumerate();
  EXPECT_EQ(r.info.status, 0xE01A0008u);
  EXPECT_STREQ(r.info.version, "1.0");
  EXPECT_TRUE(log.Has(5, L"Query Version failed, driver: " + InstalledDriverPath())) << log.Dump();
  EXPECT_TRUE(log.Has(3, L"Query driver zyhok version failed!")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"driver version: 1.0")) << log.Dump();
}

TEST_F(DriverStatusReport, MissingServiceReportsUnknownWithoutQueryingTheVersion) {
  ASSERT_EQ(ServiceState(), 0u);
  LogCapture log;
  Received r = Enumerate();
  EXPECT_EQ(r.info.status, 0xE01A0009u);
  EXPECT_STREQ(r.info.version, "1.0");
  EXPECT_TRUE(log.Has(3, L"Query driver zyhok status failed!")) << log.Dump();
  EXPECT_FALSE(log.HasPart(2, L"Query Version of driver")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"driver version: 1.0")) << log.Dump();
}

TEST_F(DriverStatusReport, DriverRefusingToLoadStaysStoppedAndIsReportedSo) {
  InstallDriverByInf(PackageDir(L"v1"));
  SetDriverEntryStatus(0xC0000058);  // STATUS_UNKNOWN_REVISION
  EXPECT_FALSE(StartDriver());
  Received r = Enumerate();
  EXPECT_EQ(r.info.status, 0xE01A0008u);
  EXPECT_STREQ(r.info.version, "1.6.1195");
}

TEST(DriverVersionQuery, RefusesEmptyNameAndNullRecord) {
  zyhok::DrvVersion version = {9, 9, 9, 9};
  EXPECT_FALSE(zyhok::QueryDriverVersion(L"", &version));
  EXPECT_FALSE(zyhok::QueryDriverVersion(L"zyhok", nullptr));
  EXPECT_EQ(version.major, 9u);
  uint32_t major = 7;
  EXPECT_FALSE(zyhok::GetFileVersionNumbers(nullptr, &major, &major, &major));
  EXPECT_FALSE(zyhok::GetFileVersionNumbers(L"C:\\no\\such\\file.dll", &major, &major, &major));
  EXPECT_EQ(major, 7u);
}

}  // namespace
