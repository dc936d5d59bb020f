// A staged component that a running process holds while the plug-in updates or uninstalls the
// driver. The holder is a separate real process (zyhok_holder.exe). On Wine, as on Windows, a DLL that
// a process has loaded cannot be deleted but can be renamed: the plug-in must move it aside under
// "<name>.<number>", free its name at once and leave the renamed file and its folders to the
// deletion at the next reboot. A file held open without FILE_SHARE_DELETE cannot even be renamed
// (Wine refuses with error 32): it is then left under its own name for the reboot, with a warning.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "support/plugin_host.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;


std::wstring NameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// HKLM text value under the driver's service key; empty when missing.
std::wstring ServiceText(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 2] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kDriverServiceKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return std::wstring();
  }
  return buffer;
}

// True when `name` is `stem` + "." + a signed decimal number (the retirement name).
bool IsRetirementNameOf(const std::wstring& name, const std::wstring& stem) {
  const std::wstring prefix = stem + L".";
  if (name.size() <= prefix.size() || Lower(name.substr(0, prefix.size())) != Lower(prefix)) return false;
  const std::wstring number = name.substr(prefix.size());
  wchar_t* end = nullptr;
  wcstol(number.c_str(), &end, 10);
  return end != number.c_str() && *end == L'\0';
}

// The pending deletions that appeared since `before`, lower-cased and sorted.
std::vector<std::wstring> AddedPendingDeletions(const std::vector<std::wstring>& before) {
  std::vector<std::wstring> added;
  for (const std::wstring& path : PendingDeletions()) {
    if (std::find(before.begin(), before.end(), path) == before.end()) added.push_back(Lower(path));
  }
  std::sort(added.begin(), added.end());
  return added;
}

std::vector<std::wstring> SortedLower(std::vector<std::wstring> paths) {
  for (std::wstring& path : paths) path = Lower(path);
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string Show(const std::vector<std::wstring>& paths) {
  std::string out;
  for (const std::wstring& path : paths) out += "\n  " + WideToUtf8(path);
  return out.empty() ? " (none)" : out;
}

class LockedComponent : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDriverMachineState();
    ASSERT_TRUE(plugin_.loaded());
    v1_ = packages_ / L"20019\\1.6.1195\\1.6.1195";
    v2_ = packages_ / L"20019\\1.6.1200\\1.6.1200";
    for (const std::wstring& folder :
         {packages_ / L"20019", packages_ / L"20019\\1.6.1195", packages_ / L"20019\\1.6.1200"}) {
      ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << WideToUtf8(folder);
    }
    ASSERT_TRUE(CopyTree(PackageDir(L"v1"), v1_));
    ASSERT_TRUE(CopyTree(PackageDir(L"v2"), v2_));
  }

  void TearDown() override { ResetDriverMachineState(); }

  // Installs v1 and returns its staged 64-bit engine, as the service key names it.
  std::wstring InstallV1() {
    EXPECT_EQ(plugin_.Do(zyhok::kActionInstall, v1_), zyhok::kResultSuccess) << log_.Dump();
    const std::wstring engine = ServiceText(L"ZYHOKMonDll64Name");
    EXPECT_EQ(Lower(engine), Lower(StagingTree64() + L"\\20019\\ZyMon\\2.5.1043\\zymon64.dll"));
    EXPECT_TRUE(FileExists(engine));
    return engine;
  }

  // Uninstalls while a holder keeps `engine` in use ("load" or "open"); returns the pending
  // deletions that the uninstall added.
  std::vector<std::wstring> UninstallWhileHeld(const wchar_t* mode, const std::wstring& engine) {
    HoldingProcess holder(mode, engine);
    EXPECT_TRUE(holder.holding());
    const std::vector<std::wstring> pending_before = PendingDeletions();
    log_.Clear();
    EXPECT_EQ(plugin_.Do(zyhok::kActionUninstall, v1_), zyhok::kResultSuccess) << log_.Dump();
    EXPECT_EQ(ServiceState(), 0u) << "the service is still there";
    return AddedPendingDeletions(pending_before);
  }

  // What an uninstall that could not delete the engine queues: `file` (the engine under its own or
  // its retirement name) and every folder above it up to the staging root, none of them empty.
  static std::vector<std::wstring> QueuedWith(const std::wstring& file, const std::wstring& engine) {
    const std::wstring version_folder = ParentOf(engine);
    return SortedLower(
        {file, version_folder, ParentOf(version_folder), StagingTree64() + L"\\20019", StagingTree64()});
  }

  // The one entry left in the engine's folder must be the engine under a retirement name.
  std::wstring RetiredCopyOf(const std::wstring& engine) {
    const std::vector<std::wstring> left = ListFolder(ParentOf(engine));
    if (left.size() != 1 || !IsRetirementNameOf(left[0], NameOf(engine))) {
      ADD_FAILURE() << "the engine's folder should hold only the renamed engine; it holds:" << Show(left);
      return std::wstring();
    }
    return ParentOf(engine) + L"\\" + left[0];
  }

  TempDir packages_;
  std::wstring v1_;
  std::wstring v2_;
  LogCapture log_;
  LoadedPlugin plugin_;
};

TEST_F(LockedComponent, LoadedEngineIsRenamedAsideByTheUpdateAndItsNameIsFreeAtOnce) {
  const std::wstring engine = InstallV1();
  const std::wstring engine32 = ServiceText(L"ZYHOKMonDllName");
  ASSERT_TRUE(FileExists(engine32));
  HoldingProcess holder(L"load", engine);
  ASSERT_TRUE(holder.holding());
  // What makes the rename necessary: Wine, like Windows, refuses to delete a loaded DLL.
  ASSERT_FALSE(DeleteFileW(engine.c_str())) << "Wine deleted a loaded DLL";
  const std::vector<std::wstring> pending_before = PendingDeletions();
  log_.Clear();

  EXPECT_EQ(plugin_.Do(zyhok::kActionUpdate, v2_), zyhok::kResultSuccess) << log_.Dump();

  // The new version is the registered one; the held copy no longer occupies its name.
  EXPECT_EQ(Lower(ServiceText(L"ZYHOKMonDll64Name")),
            Lower(StagingTree64() + L"\\20019\\ZyMon\\2.6.1100\\zymon64.dll"));
  EXPECT_FALSE(FileExists(engine)) << "the held engine still occupies its name";
  const std::wstring retired = RetiredCopyOf(engine);
  EXPECT_EQ(AddedPendingDeletions(pending_before), SortedLower({retired, ParentOf(engine)}))
      << "pending deletions added:" << Show(AddedPendingDeletions(pending_before));
  EXPECT_TRUE(log_.Texts(3).empty()) << log_.Dump();

  // The copies nobody held went at once, with their folders, and nothing was queued for them.
  EXPECT_FALSE(FileExists(engine32));
  EXPECT_FALSE(FileExists(ParentOf(engine32)));
  EXPECT_FALSE(FileExists(StagingTree64() + L"\\20019\\AddOn\\1.0.5"));
  EXPECT_FALSE(FileExists(StagingTree32() + L"\\20019\\AddOn\\1.0.5"));
  holder.Release();
}

TEST_F(LockedComponent, LoadedEngineIsRenamedAsideByTheUninstallWithEveryFolderAboveItQueued) {
  const std::wstring engine = InstallV1();
  const std::vector<std::wstring> queued = UninstallWhileHeld(L"load", engine);

  EXPECT_FALSE(FileExists(engine)) << "the held engine still occupies its name";
  EXPECT_EQ(queued, QueuedWith(RetiredCopyOf(engine), engine)) << "pending deletions added:" << Show(queued);
  EXPECT_TRUE(log_.Texts(3).empty()) << log_.Dump();

  // Only the held file and the folders above it remain; the 32-bit tree, held by nobody, is gone.
  EXPECT_FALSE(FileExists(StagingTree64() + L"\\20019\\AddOn"));
  EXPECT_FALSE(FileExists(StagingTree32()));
}

// Wine refuses to rename a file that another process holds open without FILE_SHARE_DELETE (error 32,
// as Windows does): what it can show is the fallback, the file left under its own name for deletion
// at the next reboot after the warning.
TEST_F(LockedComponent, EngineOpenWithoutDeleteSharingIsQueuedUnderItsOwnNameOnUninstall) {
  const std::wstring engine = InstallV1();
  const std::vector<std::wstring> queued = UninstallWhileHeld(L"open", engine);

  EXPECT_TRUE(FileExists(engine));
  EXPECT_EQ(ListFolder(ParentOf(engine)), std::vector<std::wstring>{NameOf(engine)});
  EXPECT_EQ(queued, QueuedWith(engine, engine)) << "pending deletions added:" << Show(queued);
  EXPECT_EQ(log_.Texts(3),
            std::vector<std::wstring>{L"Rename file(" + engine + L") failed. LastError = 0x20"})
      << log_.Dump();
}

}  // namespace
