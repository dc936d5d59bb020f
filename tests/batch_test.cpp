// Batches of driver-info records handed to the loaded plug-in: which records are dispatched, what
// the batch returns, and how a file-system error inside an action is contained at the export.
#include <string>
#include <vector>

#include "support/plugin_fixture.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;
using zyhok::DrvInfo;

using BatchThroughPlugin = PluginOnCleanMachine;

// Nothing of an install reached the machine.
void ExpectNothingInstalled() {
  EXPECT_EQ(ServiceState(), 0u);
  EXPECT_FALSE(FileExists(InstalledDriverPath()));
  EXPECT_FALSE(FileExists(StagingTree32()));
  EXPECT_EQ(ServiceDword(L"GHSwitch"), kNoServiceDword);
}

TEST_F(BatchThroughPlugin, RefusedBatchesReadNoRecordAndLogNothing) {
  const DrvInfo install = MakeRecord(kInstall, PackageDir(L"v1"));
  LogCapture log;
  EXPECT_EQ(plugin_.DoActions(&install, 0), kFailed) << "count 0, valid record";
  EXPECT_EQ(plugin_.DoActions(nullptr, 0), kFailed) << "count 0, null pointer";
  EXPECT_EQ(plugin_.DoActions(nullptr, 2), kFailed) << "count 2, null pointer";
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  ExpectNothingInstalled();
}

TEST_F(BatchThroughPlugin, UnknownActionIsSkippedAndTheBatchGoesOn) {
  // A share of 2 lets the uninstall succeed without a driver: it only lowers the count.
  WriteServiceDword(L"PermCount", 2);
  LogCapture log;
  EXPECT_EQ(
      plugin_.DoActions({MakeRecord(7, PackageDir(L"v1"), 5), MakeRecord(kUninstall, PackageDir(L"v1"))}),
      0x201A0001u)
      << log.Dump();
  const int entry =
      LineIndex(log, 2, L"==> DoActionFromDrvInfo,rDrvInfo.action = 0x7, rDrvInfo.compare_state = 0x5");
  ASSERT_GE(entry, 0) << log.Dump();
  EXPECT_EQ(LineIndex(log, 2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000a"), entry + 1) << log.Dump();
  EXPECT_EQ(LineIndex(log, 2, L"==> DoActionFromDrvInfo,rDrvInfo.action = 0x2, rDrvInfo.compare_state = 0"),
            entry + 2)
      << log.Dump();
  EXPECT_EQ(ServiceDword(L"PermCount"), 1u);
  EXPECT_EQ(ServiceDword(L"InstalledByZefa"), 0u);
}

TEST_F(BatchThroughPlugin, RecordFailingWithE01A000CEndsTheBatch) {
  // The uninstall finds no service (0xE01A000C); the install after it must never run.
  LogCapture log;
  EXPECT_EQ(plugin_.DoActions(
                {MakeRecord(kUninstall, PackageDir(L"v1")), MakeRecord(kInstall, PackageDir(L"v1"), 9)}),
            kFailed)
      << log.Dump();
  EXPECT_TRUE(log.Has(3, L"fail to query driver[zyhok] status")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000c")) << log.Dump();
  int dispatched = 0;
  for (const std::wstring& text : log.Texts(2)) dispatched += text.rfind(L"==> DoActionFromDrvInfo,", 0) == 0;
  EXPECT_EQ(dispatched, 1) << log.Dump();
  ExpectNothingInstalled();
}

TEST_F(BatchThroughPlugin, FileSystemErrorFromStagingEndsTheInstallWithE01A000C) {
  // A plain file where the native staging tree must be: creating the folders below it fails.
  ASSERT_TRUE(WriteFileBytes(StagingTree64(), "not a folder"));
  LogCapture log;
  EXPECT_EQ(plugin_.Do(kInstall, PackageDir(L"v1")), kFailed) << log.Dump();
  EXPECT_TRUE(log.HasPart(5, L"InstallDrvFromDrvInfo stopped by a file-system error: ")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== DoActionFromDrvInfo,asStatus = 0xe01a000c")) << log.Dump();
  // The install ended where the error was raised: no service settings, no INF install.
  EXPECT_FALSE(log.Has(2, L"<== InstallDrvFromDrvInfo,")) << log.Dump();
  EXPECT_FALSE(log.HasPart(2, L"_InstallDriverByInf")) << log.Dump();
  EXPECT_EQ(GetFileAttributesW(StagingTree64().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  ASSERT_TRUE(DeleteFileW(StagingTree64().c_str()));
  ExpectNothingInstalled();
}

}  // namespace
