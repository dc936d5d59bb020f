// The four exports, called the way the host calls them: the built DLL is loaded with LoadLibraryW and
// its functions resolved with GetProcAddress. The status report is checked against the real service
// manager with the test driver of the fixture package.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "plugin/plugin.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;
using zyhok::DrvInfo;
using zyhok::DrvStatusInfo;

// Each case loads the DLL and resolves its exports.
class PluginExports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.valid()) << GetLastError();
    Resolve("Plugin_Interface_DriversDoAction", do_action_);
    Resolve("Plugin_Interface_EnumerateDriversInfo", enumerate_);
    Resolve("Plugin_Interface_GetHelperOwnerModuleID", owner_id_);
    Resolve("Plugin_Interface_GetModuleVersion", module_version_);
  }
  template <typename Fn>
  void Resolve(const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), name)));
    ASSERT_NE(out, nullptr) << name;
  }

  zyhok::UniqueModule dll_{LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str())};
  uint32_t (*do_action_)(const DrvInfo*, uint32_t) = nullptr;
  uint32_t (*enumerate_)(zyhok::DrvStatusCallback, void*) = nullptr;
  uint32_t (*owner_id_)() = nullptr;
  void (*module_version_)(uint32_t*) = nullptr;
};

TEST_F(PluginExports, IdentifyThePluginAndRefuseAnEmptyBatch) {
  EXPECT_EQ(owner_id_(), 20020u);
  uint32_t version[4] = {7, 7, 7, 0xDEADBEEF};
  module_version_(version);
  EXPECT_EQ(std::vector<uint32_t>(version, version + 4), std::vector<uint32_t>({1, 6, 1195, 0xDEADBEEF}))
      << "three words, nothing past them";
  module_version_(nullptr);  // must return without touching anything
  // The DLL's own file version resource agrees.
  uint32_t major = 0, minor = 0, build = 0;
  ASSERT_TRUE(zyhok::GetFileVersionNumbers((BinDir() + L"helperZYHOKDriver.dll").c_str(), &major, &minor, &build));
  EXPECT_EQ(std::vector<uint32_t>({major, minor, build}), std::vector<uint32_t>({1, 6, 1195}));

  LogCapture log;
  EXPECT_EQ(do_action_(nullptr, 0), 0xE01A000Cu);
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

  // Enumerates once and checks the status, version and log lines (level 2 unless given as {level, text}).
  void ExpectReport(uint32_t status, const char* version, const std::vector<std::wstring>& lines,
                    const std::vector<std::pair<unsigned, std::wstring>>& other_lines = {}) {
    LogCapture& log = log_;
    log.Clear();
    Received received;
    std::memset(&received.info, 0xCC, sizeof(received.info));
    EXPECT_EQ(enumerate_(&OnStatus, &received), 0x201A0001u);
    EXPECT_EQ(received.calls, 1);
    EXPECT_EQ(received.context, &received);
    EXPECT_EQ(received.info.driver_id, 0x48000165u);
    EXPECT_EQ(received.info.flag, 1u);
    EXPECT_EQ(received.info.status, status);
    ASSERT_NE(std::memchr(received.info.version, 0, sizeof(received.info.version)), nullptr);
    EXPECT_STREQ(received.info.version, version);
    for (const std::wstring& line : lines) EXPECT_TRUE(log.Has(2, line)) << WideToUtf8(line) << "\n" << log.Dump();
    for (const auto& line : other_lines) {
      EXPECT_TRUE(log.Has(line.first, line.second)) << WideToUtf8(line.second) << "\n" << log.Dump();
    }
    EXPECT_EQ(log.Texts(3).size() + log.Texts(5).size(), other_lines.size()) << log.Dump();
  }

  LogCapture log_;
};

TEST_F(DriverStatusReport, RunningDriverReportsRunningAndItsFileVersion) {
  InstallDriverByInf(PackageDir(L"v1"));
  ASSERT_TRUE(StartDriver());
  ExpectReport(0xE01A0004u, "1.6.1195",
               {L"The current state of zyhok is 0x4", L"Query Version of driver: " + InstalledDriverPath(),
                L"driver version: 1.6.1195"});
}

TEST_F(DriverStatusReport, StoppedDriverReportsNotRunningWithTheVersionOfTheUpdate) {
  InstallDriverByInf(PackageDir(L"v2"));
  ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  ExpectReport(0xE01A0008u, "1.6.1200", {L"The current state of zyhok is 0x1", L"driver version: 1.6.1200"});
}

TEST_F(DriverStatusReport, ServiceWhoseFileIsMissingReportsItsStateAndVersion1_0) {
  InstallDriverByInf(PackageDir(L"v1"));
  ASSERT_TRUE(DeleteFileW(InstalledDriverPath().c_str()));
  ExpectReport(0xE01A0008u, "1.0", {L"driver version: 1.0"},
               {{5, L"Query Version failed, driver: " + InstalledDriverPath()},
                {3, L"Query driver zyhok version failed!"}});
}

TEST_F(DriverStatusReport, MissingServiceReportsUnknownWithoutQueryingTheVersion) {
  ASSERT_EQ(ServiceState(), 0u);
  ExpectReport(0xE01A0009u, "1.0", {L"driver version: 1.0"}, {{3, L"Query driver zyhok status failed!"}});
  EXPECT_FALSE(log_.HasPart(2, L"Query Version of driver")) << log_.Dump();
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
