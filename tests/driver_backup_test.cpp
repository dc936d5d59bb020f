// Backup, replacement and rollback of the driver file through the real setupkit.dll stand-in, on real
// files: a temp folder stands for the system drivers folder (holding the installed v1 zyhok.sys) and
// another for the driver package folder (holding the new v2 zyhok.sys).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;
using zyhok::CopyDriverFiles;
using zyhok::DeleteBackupFiles;
using Names = std::vector<std::wstring>;

class DriverFileCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    v1_ = ReadFileBytes(PackageDir(L"v1") + L"\\zyhok.sys");
    v2_ = ReadFileBytes(PackageDir(L"v2") + L"\\zyhok.sys");
    ASSERT_FALSE(v1_.empty());
    ASSERT_NE(v1_, v2_) << "the fixture driver files must differ to tell the copies apart";
    ASSERT_TRUE(CreateDirectoryW(DriversDir().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(PackageFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(Installed(), v1_));
    ASSERT_TRUE(WriteFileBytes(Package() + L"zyhok.sys", v2_));
  }

  // Without trailing backslash, and as the callers hand them in: with it.
  std::wstring DriversDir() const { return root_ / L"drivers"; }
  std::wstring PackageFolder() const { return root_ / L"package"; }
  std::wstring Drivers() const { return DriversDir() + L"\\"; }
  std::wstring Package() const { return PackageFolder() + L"\\"; }
  std::wstring Installed() const { return Drivers() + L"zyhok.sys"; }
  std::wstring Backup() const { return Package() + L"zyhok_backup.sys"; }

  TempDir root_;
  std::string v1_;
  std::string v2_;
};

TEST_F(DriverFileCopy, BackupReplaceAndRollbackLeaveByteIdenticalFiles) {
  // A backup left by an earlier update is overwritten by the current installed file.
  ASSERT_TRUE(WriteFileBytes(Backup(), "stale backup"));
  LogCapture log;

  ASSERT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), zyhok::kCopyBackup), 1) << log.Dump();
  EXPECT_EQ(ReadFileBytes(Backup()), v1_);
  EXPECT_EQ(ReadFileBytes(Installed()), v1_) << "the backup must leave the installed file alone";

  ASSERT_EQ(CopyDriverFiles(Package().c_str(), Drivers().c_str(), zyhok::kCopyReplace), 1) << log.Dump();
  EXPECT_EQ(ReadFileBytes(Installed()), v2_);
  EXPECT_EQ(ReadFileBytes(Backup()), v1_);

  ASSERT_EQ(CopyDriverFiles(Package().c_str(), Drivers().c_str(), zyhok::kCopyRollback), 1) << log.Dump();
  EXPECT_EQ(ReadFileBytes(Installed()), v1_);
  EXPECT_EQ(ReadFileBytes(Package() + L"zyhok.sys"), v2_);

  EXPECT_EQ(log.Texts(2), Names({L"backup old drivers from: " + Installed() + L" to " + Backup(),
                                 L"replace old drivers with new drivers from: " + Package() +
                                     L"zyhok.sys to " + Installed(),
                                 L"rollback to old drivers from: " + Backup() + L" to " + Installed()}))
      << log.Dump();
  EXPECT_EQ(log.Lines().size(), 3u) << log.Dump();
  for (const auto& line : log.Lines()) EXPECT_EQ(line.module, L"ZYHOK Driver Installation");
  // Nothing but the driver files: no temporary copies left beside the destinations.
  EXPECT_EQ(ListFolder(DriversDir()), Names({L"zyhok.sys"}));
  EXPECT_EQ(ListFolder(PackageFolder()), Names({L"zyhok.sys", L"zyhok_backup.sys"}));
}

// A copy that cannot be made fails with the Windows error logged and the installed file kept.
TEST_F(DriverFileCopy, FailedCopyLogsTheErrorAndKeepsTheDestination) {
  auto fails = [&](const char* what, const std::wstring& from, const std::wstring& to, uint32_t mode,
                   const wchar_t* error) {
    SCOPED_TRACE(what);
    LogCapture log;
    EXPECT_EQ(CopyDriverFiles(from.c_str(), to.c_str(), mode), 0);
    EXPECT_EQ(log.Texts(5), Names({error})) << log.Dump();
    EXPECT_EQ(log.Texts(2).size(), 1u) << "the copy's own line is logged before it fails\n" << log.Dump();
    EXPECT_EQ(ReadFileBytes(Installed()), v1_);
    EXPECT_EQ(ListFolder(DriversDir()), Names({L"zyhok.sys"}));
  };
  fails("no backup", Package(), Drivers(), zyhok::kCopyRollback, L"Copy file failed.0x2");
  ASSERT_TRUE(SetFileAttributesW(Installed().c_str(), FILE_ATTRIBUTE_READONLY));
  fails("read-only file", Package(), Drivers(), zyhok::kCopyReplace, L"Copy file failed.0x5");
  SetFileAttributesW(Installed().c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(CreateDirectoryW(Backup().c_str(), nullptr));
  fails("folder in the way", Drivers(), Package(), zyhok::kCopyBackup, L"Copy file failed.0x10b");
  const DWORD attributes = GetFileAttributesW(Backup().c_str());
  EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_TRUE(ListFolder(Backup()).empty());
  const std::wstring missing = root_ / L"missing\\";
  fails("missing folder", Drivers(), missing, zyhok::kCopyBackup, L"Copy file failed.0x3");
  EXPECT_FALSE(FileExists(missing));
}

TEST_F(DriverFileCopy, BadModesAndNullFoldersTouchNothingAndLogNothing) {
  LogCapture log;
  for (uint32_t mode : {0u, 4u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), mode), 0);
    EXPECT_EQ(CopyDriverFiles(Package().c_str(), Drivers().c_str(), mode), 0);
  }
  for (uint32_t mode : {zyhok::kCopyReplace, zyhok::kCopyBackup, zyhok::kCopyRollback}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(CopyDriverFiles(nullptr, Drivers().c_str(), mode), 0);
    EXPECT_EQ(CopyDriverFiles(Package().c_str(), nullptr, mode), 0);
  }
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  EXPECT_EQ(ReadFileBytes(Installed()), v1_);
  EXPECT_EQ(ReadFileBytes(Package() + L"zyhok.sys"), v2_);
  EXPECT_EQ(ListFolder(DriversDir()), Names({L"zyhok.sys"}));
  EXPECT_EQ(ListFolder(PackageFolder()), Names({L"zyhok.sys"}));
}

TEST_F(DriverFileCopy, FoldersWithoutTrailingBackslashGlueTheFileNames) {
  // "<root>\drivers" + "zyhok.sys" names the file "driverszyhok.sys" beside the folder.
  ASSERT_TRUE(WriteFileBytes(root_ / L"driverszyhok.sys", v2_));
  EXPECT_EQ(CopyDriverFiles(DriversDir().c_str(), PackageFolder().c_str(), zyhok::kCopyBackup), 1);
  EXPECT_EQ(ReadFileBytes(root_ / L"packagezyhok_backup.sys"), v2_);
  EXPECT_FALSE(FileExists(Backup()));

  EXPECT_EQ(DeleteBackupFiles(PackageFolder().c_str()), 1);
  EXPECT_EQ(ListFolder(root_.path()), Names({L"drivers", L"driverszyhok.sys", L"package"}));
}

TEST_F(DriverFileCopy, BackupDeletion) {
  // An existing backup goes silently and alone.
  ASSERT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), zyhok::kCopyBackup), 1);
  LogCapture log;
  EXPECT_EQ(DeleteBackupFiles(nullptr), 0);
  EXPECT_TRUE(FileExists(Backup()));
  EXPECT_EQ(DeleteBackupFiles(Package().c_str()), 1);
  EXPECT_EQ(ListFolder(PackageFolder()), Names({L"zyhok.sys"}));
  EXPECT_EQ(ReadFileBytes(Installed()), v1_);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();

  // A missing backup, or one that is a folder, is reported at level 2.
  const std::wstring failed = L"delete backup file " + Backup() + L" failed";
  EXPECT_EQ(DeleteBackupFiles(Package().c_str()), 0);
  ASSERT_TRUE(CreateDirectoryW(Backup().c_str(), nullptr));
  EXPECT_EQ(DeleteBackupFiles(Package().c_str()), 0);
  EXPECT_TRUE(FileExists(Backup()));
  EXPECT_EQ(log.Texts(), Names({failed, failed})) << log.Dump();
  EXPECT_EQ(log.Texts(2).size(), 2u) << log.Dump();
}

}  // namespace
