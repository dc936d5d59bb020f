// Backup, replacement and rollback of the driver file through the real setupkit.dll stand-in, on real
// files: a temp folder stands for the system drivers folder (holding the installed v1 zyhok.sys) and
// another for the driver package folder (holding the new v2 zyhok.sys).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;
using zyhok::CopyDriverFiles;
using zyhok::DeleteBackupFiles;

// Names of the entries of a folder, sorted.
std::vector<std::wstring> Listing(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

class DriverFileCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    v1_ = ReadFileBytes(PackageDir(L"v1") + L"\\zyhok.sys");
    v2_ = ReadFileBytes(PackageDir(L"v2") + L"\\zyhok.sys");
    ASSERT_FALSE(v1_.empty());
    ASSERT_FALSE(v2_.empty());
    ASSERT_NE(v1_, v2_) << "the fixture driver files must differ to tell the copies apart";
    ASSERT_TRUE(CreateDirectoryW(DriversDir().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(PackageFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(DriversDir() + L"\\zyhok.sys", v1_));
    ASSERT_TRUE(WriteFileBytes(PackageFolder() + L"\\zyhok.sys", v2_));
  }

  // Without trailing backslash.
  std::wstring DriversDir() const { return root_ / L"drivers"; }
  std::wstring PackageFolder() const { return root_ / L"package"; }
  // As the callers hand them in: with the trailing backslash.
  std::wstring Drivers() const { return DriversDir() + L"\\"; }
  std::wstring Package() const { return PackageFolder() + L"\\"; }

  std::string InstalledBytes() const { return ReadFileBytes(Drivers() + L"zyhok.sys"); }
  std::wstring Backup() const { return Package() + L"zyhok_backup.sys"; }

  TempDir root_;
  std::string v1_;
  std::string v2_;
};

TEST_F(DriverFileCopy, BackupReplaceAndRollbackLeaveByteIdenticalFiles) {
  LogCapture log;

  ASSERT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), zyhok::kCopyBackup), 1) << log.Dump();
  EXPECT_EQ(ReadFileBytes(Backup()), v1_);
  EXPECT_EQ(InstalledBytes(), v1_) << "the backup must leave the installed file alone";
  EXPECT_EQ(ReadFileBytes(Package() + L"zyhok.sys"), v2_);
  EXPECT_TRUE(log.Has(2, L"backup old drivers from: " + Drivers() + L"zyhok.sys to " + Backup()))
      << log.Dump();

  ASSERT_EQ(CopyDriverFiles(Package().c_str(), Drivers().c_str(), zyhok::kCopyReplace), 1) << log.Dump();
  EXPECT_EQ(InstalledBytes(), v2_);
  EXPECT_EQ(ReadFileBytes(Backup()), v1_);
  EXPECT_TRUE(log.Has(2, L"replace old drivers with new drivers from: " + Package() + L"zyhok.sys to " +
                             Drivers() + L"zyhok.sys"))
      << log.Dump();

  ASSERT_EQ(CopyDriverFiles(Package().c_str(), Drivers().c_str(), zyhok::kCopyRollback), 1) << log.Dump();
  EXPECT_EQ(InstalledBytes(), v1_);
  EXPECT_TRUE(log.Has(2, L"rollback to old drivers from: " + Backup() + L" to " + Drivers() +
                             L"zyhok.sys"))
      << log.Dump();

  EXPECT_TRUE(log.Texts(5).empty()) << log.Dump();
  EXPECT_EQ(log.Lines().size(), 3u) << log.Dump();
  for (const auto& line : log.Lines()) EXPECT_EQ(line.module, L"ZYHOK Driver Installation");
  // Nothing but the driver files: no temporary copies left beside the destinations.
  EXPECT_EQ(Listing(DriversDir()), std::vector<std::wstring>({L"zyhok.sys"}));
  EXPECT_EQ(Listing(PackageFolder()), std::vector<std::wstring>({L"zyhok.sys", L"zyhok_backup.sys"}));
}

TEST_F(DriverFileCopy, ReplaceOverwritesAnExistingBackupToo) {
  // A backup left by an earlier update is replaced by the current installed file.
  ASSERT_TRUE(WriteFileBytes(Backup(), "stale backup"));
  EXPECT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), zyhok::kCopyBackup), 1);
  EXPECT_EQ(ReadFileBytes(Backup()), v1_);
}

TEST_F(DriverFileCopy, RollbackWithoutBackupFailsAndLogsTheError) {
  LogCapture log;
  EXPECT_EQ(CopyDriverFiles(Package().c_str(), Drivers().c_str(), zyhok::kCopyRollback), 0);
  EXPECT_EQ(InstalledBytes(), v1_);
  EXPECT_TRUE(log.Has(2, L"rollback to old drivers from: " + Backup() + L" to " + Drivers() +
                             L"zyhok.sys"))
      << log.Dump();
  // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"Copy file failed.0x2"})) << log.Dump();
}

TEST_F(DriverFileCopy, ReplaceOntoReadOnlyDestinationFailsAndKeepsIt) {
  const std::wstring installed = Drivers() + L"zyhok.sys";
  ASSERT_TRUE(SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_READONLY));
  LogCapture log;
  EXPECT_EQ(CopyDriverFiles(Package().c_str(), Drivers().c_str(), zyhok::kCopyReplace), 0);
  SetFileAttributesW(installed.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(InstalledBytes(), v1_);
  // ERROR_ACCESS_DENIED
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"Copy file failed.0x5"})) << log.Dump();
  EXPECT_EQ(Listing(DriversDir()), std::vector<std::wstring>({L"zyhok.sys"}));
}

TEST_F(DriverFileCopy, BackupOntoAFolderFailsAndLeavesTheFolder) {
  ASSERT_TRUE(CreateDirectoryW(Backup().c_str(), nullptr));
  LogCapture log;
  EXPECT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), zyhok::kCopyBackup), 0);
  const DWORD attributes = GetFileAttributesW(Backup().c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(Listing(Backup()).empty());
  // ERROR_DIRECTORY
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"Copy file failed.0x10b"})) << log.Dump();
  EXPECT_EQ(Listing(PackageFolder()), std::vector<std::wstring>({L"zyhok.sys", L"zyhok_backup.sys"}));
}

TEST_F(DriverFileCopy, CopyIntoMissingFolderFails) {
  LogCapture log;
  const std::wstring missing = root_ / L"missing\\";
  EXPECT_EQ(CopyDriverFiles(Drivers().c_str(), missing.c_str(), zyhok::kCopyBackup), 0);
  EXPECT_FALSE(FileExists(missing));
  // ERROR_PATH_NOT_FOUND
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"Copy file failed.0x3"})) << log.Dump();
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
    EXPECT_EQ(CopyDriverFiles(nullptr, nullptr, mode), 0);
  }
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  EXPECT_EQ(InstalledBytes(), v1_);
  EXPECT_EQ(ReadFileBytes(Package() + L"zyhok.sys"), v2_);
  EXPECT_EQ(Listing(DriversDir()), std::vector<std::wstring>({L"zyhok.sys"}));
  EXPECT_EQ(Listing(PackageFolder()), std::vector<std::wstring>({L"zyhok.sys"}));
}

TEST_F(DriverFileCopy, FoldersWithoutTrailingBackslashGlueTheFileNames) {
  // "<root>\drivers" + "zyhok.sys" names the file "driverszyhok.sys" beside the folder.
  ASSERT_TRUE(WriteFileBytes(root_ / L"driverszyhok.sys", v2_));
  LogCapture log;
  EXPECT_EQ(CopyDriverFiles(DriversDir().c_str(), PackageFolder().c_str(), zyhok::kCopyBackup), 1)
      << log.Dump();
  EXPECT_EQ(ReadFileBytes(root_ / L"packagezyhok_backup.sys"), v2_);
  EXPECT_TRUE(log.Has(2, L"backup old drivers from: " + DriversDir() + L"zyhok.sys to " +
                             PackageFolder() + L"zyhok_backup.sys"))
      << log.Dump();
  EXPECT_FALSE(FileExists(Backup()));

  EXPECT_EQ(DeleteBackupFiles(PackageFolder().c_str()), 1);
  EXPECT_FALSE(FileExists(root_ / L"packagezyhok_backup.sys"));
  EXPECT_EQ(Listing(root_.path()),
            std::vector<std::wstring>({L"drivers", L"driverszyhok.sys", L"package"}));
}

class BackupDeletion : public DriverFileCopy {};

TEST_F(BackupDeletion, DeletesAnExistingBackupSilently) {
  ASSERT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), zyhok::kCopyBackup), 1);
  LogCapture log;
  EXPECT_EQ(DeleteBackupFiles(Package().c_str()), 1);
  EXPECT_FALSE(FileExists(Backup()));
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  EXPECT_EQ(ReadFileBytes(Package() + L"zyhok.sys"), v2_);
  EXPECT_EQ(InstalledBytes(), v1_);
}

TEST_F(BackupDeletion, MissingBackupIsReportedAtLevel2) {
  LogCapture log;
  EXPECT_EQ(DeleteBackupFiles(Package().c_str()), 0);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u) << log.Dump();
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[0].text, L"delete backup file " + Backup() + L" failed");
  EXPECT_EQ(Listing(PackageFolder()), std::vector<std::wstring>({L"zyhok.sys"}));
}

TEST_F(BackupDeletion, BackupThatIsAFolderStays) {
  ASSERT_TRUE(CreateDirectoryW(Backup().c_str(), nullptr));
  LogCapture log;
  EXPECT_EQ(DeleteBackupFiles(Package().c_str()), 0);
  EXPECT_TRUE(FileExists(Backup()));
  EXPECT_TRUE(log.Has(2, L"delete backup file " + Backup() + L" failed")) << log.Dump();
}

TEST_F(BackupDeletion, NullFolderDeletesNothing) {
  ASSERT_EQ(CopyDriverFiles(Drivers().c_str(), Package().c_str(), zyhok::kCopyBackup), 1);
  LogCapture log;
  EXPECT_EQ(DeleteBackupFiles(nullptr), 0);
  EXPECT_TRUE(FileExists(Backup()));
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

}  // namespace
