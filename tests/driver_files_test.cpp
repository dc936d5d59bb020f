// Driver path normalisation and retirement of component files and folders, against Wine's real file
// system and its pending-deletion list (HKLM\...\Session Manager\PendingFileRenameOperations).
//
// Files that cannot be deleted are held by a second process: this program started again with
// "--hold open|load <file> <ready event> <release event>", which opens the file without
// FILE_SHARE_DELETE or loads it as a DLL, signals "ready" and waits for "release".
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using zyhok::UniqueHKey;
using zyhok::UniqueKernelHandle;
using zyhok_test::FileExists;
using zyhok_test::LogCapture;
using zyhok_test::TempDir;

constexpr const wchar_t* kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kPendingValue = L"PendingFileRenameOperations";

std::wstring Normalized(const wchar_t* record_path, int* result = nullptr) {
  wchar_t out[zyhok::kNormalizedPathUnits];
  wmemset(out, L'#', zyhok::kNormalizedPathUnits);
  const int r = zyhok::NormalizeDriverPath(record_path, out);
  if (result) *result = r;
  return std::wstring(out, wcsnlen(out, zyhok::kNormalizedPathUnits));
}

// ---- path normalisation ----

TEST(NormalizeDriverPath, FirstDeviceSequenceCollapsesToOneBackslash) {
  int result = 0;
  EXPECT_EQ(Normalized(L"C:\\pkg\\zyhok", &result), L"C:\\pkg\\zyhok");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Normalized(L"C:\\a\\\\.\\b", &result), L"C:\\a\\b");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Normalized(L"C:\\a\\\\.\\b\\\\.\\c"), L"C:\\a\\b\\\\.\\c");
  EXPECT_EQ(Normalized(L"\\\\.\\C:\\pkg"), L"\\C:\\pkg");
  EXPECT_EQ(Normalized(L"C:\\pkg\\\\.\\"), L"C:\\pkg\\");
  EXPECT_EQ(Normalized(L"C:\\pkg\\\\.", &result), L"C:\\pkg\\\\.");
  EXPECT_EQ(Normalized(L"", &result), L"");
  EXPECT_EQ(result, 1);
}

TEST(NormalizeDriverPath, TrailingBackslashesAndOtherFormsAreKept) {
  EXPECT_EQ(Normalized(L"C:\\pkg\\zyhok\\"), L"C:\\pkg\\zyhok\\");
  EXPECT_EQ(Normalized(L"C:\\pkg\\zyhok\\\\"), L"C:\\pkg\\zyhok\\\\");
  EXPECT_EQ(Normalized(L"C:/pkg/./zyhok/"), L"C:/pkg/./zyhok/");
  EXPECT_EQ(Normalized(L"\\\\server\\share\\pkg"), L"\\\\server\\share\\pkg");
}

TEST(NormalizeDriverPath, ResultMustFitTheFolderBuffer) {
  int result = -1;
  const std::wstring longest = L"C:\\" + std::wstring(256, L'x');  // 259 units
  EXPECT_EQ(Normalized(longest.c_str(), &result), longest);
  EXPECT_EQ(result, 1);

  const std::wstring one_more = longest + L"y";
  EXPECT_EQ(Normalized(one_more.c_str(), &result), L"");
  EXPECT_EQ(result, 0);

  // 262 units that collapse to 259.
  const std::wstring collapsing = L"C:\\\\.\\" + std::wstring(256, L'z');
  ASSERT_EQ(collapsing.size(), 262u);
  EXPECT_EQ(Normalized(collapsing.c_str(), &result), L"C:\\" + std::wstring(256, L'z'));
  EXPECT_EQ(result, 1);

  EXPECT_EQ(zyhok::NormalizeDriverPath(L"C:\\pkg", nullptr), 0);
  EXPECT_EQ(Normalized(nullptr, &result), L"");
  EXPECT_EQ(result, 0);
}

// The record's path fills all 1024 units without a terminator and ends at a page that cannot be
// read, so a read past the record faults.
TEST(NormalizeDriverPath, RecordWithoutTerminatorIsReadOnlyWithinItsUnits) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  BYTE* base =
      static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
  wchar_t* record = reinterpret_cast<wchar_t*>(base + page) - zyhok::kDriverPathUnits;

  for (const std::wstring& head : {std::wstring(L"C:\\pkg"), std::wstring(L"C:\\\\.\\pkg")}) {
    wmemset(record, L'p', zyhok::kDriverPathUnits);
    wmemcpy(record, head.c_str(), head.size());
    int result = -1;
    EXPECT_EQ(Normalized(record, &result), L"");
    EXPECT_EQ(result, 0);
  }

  // A terminator in the last unit: 1023 units, still too long for the folder buffer.
  wmemset(record, L'p', zyhok::kDriverPathUnits);
  record[zyhok::kDriverPathUnits - 1] = L'\0';
  int result = -1;
  EXPECT_EQ(Normalized(record, &result), L"");
  EXPECT_EQ(result, 0);

  // A short path at the start of a full record.
  wmemcpy(record, L"C:\\a\\\\.\\b", 10);
  EXPECT_EQ(Normalized(record, &result), L"C:\\a\\b");
  EXPECT_EQ(result, 1);

  VirtualFree(base, 0, MEM_RELEASE);
}

// ---- parent folder and retirement name ----

TEST(GetParentFolder, LastBackslashOrElseLastSlash) {
  struct Case {
    const wchar_t* path;
    const wchar_t* folder;
  } cases[] = {
      {L"C:\\a\\b.dll", L"C:\\a"}, {L"C:/a/b.dll", L"C:/a"}, {L"C:\\a\\b\\", L"C:\\a\\b"},
      {L"C:\\a/b/c.dll", L"C:"},  // a backslash exists, so slashes are not looked at
      {L"\\b.dll", L""},
  };
  for (const Case& c : cases) {
    std::wstring folder = L"before";
    EXPECT_TRUE(zyhok::GetParentFolder(c.path, folder)) << zyhok_test::WideToUtf8(c.path);
    EXPECT_EQ(folder, c.folder);
  }
  for (const wchar_t* path : {L"", L"b.dll"}) {
    std::wstring folder = L"before";
    EXPECT_FALSE(zyhok::GetParentFolder(path, folder)) << zyhok_test::WideToUtf8(path);
    EXPECT_EQ(folder, L"before");
  }
}

TEST(RetirementName, TickCountIsASignedDecimalSuffix) {
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 0), L"C:\\x\\zymon.dll.0");
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 123456), L"C:\\x\\zymon.dll.123456");
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 0x80000000u),
            L"C:\\x\\zymon.dll.-2147483648");
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 0xFFFFFFFFu), L"C:\\x\\zymon.dll.-1");
  // 257 + ".1" = 259 units fits; one more does not.
  const std::wstring path(257, L'f');
  EXPECT_EQ(zyhok::RetirementName(path, 1), path + L".1");
  EXPECT_EQ(zyhok::RetirementName(path, 10), L"");
}

// ---- retirement against the real file system ----

// The pending-deletion list: read as (source, destination) pairs; restored to what it was when the
// object was made, so a test leaves the prefix as it found it.
class PendingRenames {
 public:
  PendingRenames() { existed_ = Read(&saved_); }
  ~PendingRenames() {
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS) {
      return;
    }
    if (existed_) {
      RegSetValueExW(key.get(), kPendingValue, 0, REG_MULTI_SZ,
                     reinterpret_cast<const BYTE*>(saved_.data()),
                     static_cast<DWORD>(saved_.size() * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key.get(), kPendingValue);
    }
  }

  using Entry = std::pair<std::wstring, std::wstring>;

  std::vector<Entry> Entries() const {
    std::wstring data;
    Read(&data);
    return Parse(data);
  }

  // True when `path` is scheduled for deletion (no destination).
  bool ScheduledForDeletion(const std::wstring& path) const {
    const std::wstring nt_path = L"\\??\\" + path;
    for (const auto& entry : Entries()) {
      if (lstrcmpiW(entry.first.c_str(), nt_path.c_str()) == 0 && entry.second.empty()) return true;
    }
    return false;
  }

  // Entries added since the object was made.
  size_t Added() const { return Entries().size() - Parse(saved_).size(); }

  std::string Dump() const {
    std::string out;
    for (const auto& entry : Entries()) {
      out += "  " + zyhok_test::WideToUtf8(entry.first) + " -> [" +
             zyhok_test::WideToUtf8(entry.second) + "]\n";
    }
    return out;
  }

 private:
  static bool Read(std::wstring* data) {
    data->clear();
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
      return false;
    }
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), kPendingValue, nullptr, &type, nullptr, &bytes) !=
        ERROR_SUCCESS) {
      return false;
    }
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key.get(), kPendingValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&buffer[0]), &bytes) != ERROR_SUCCESS) {
      return false;
    }
    buffer.resize(bytes / sizeof(wchar_t));
    *data = buffer;
    return true;
  }

  // REG_MULTI_SZ of source and destination pairs (an empty destination means deletion), closed by
  // an empty string.
  static std::vector<Entry> Parse(const std::wstring& data) {
    std::vector<std::wstring> strings;
    size_t pos = 0;
    while (pos < data.size()) {
      size_t end = data.find(L'\0', pos);
      if (end == std::wstring::npos) end = data.size();
      strings.push_back(data.substr(pos, end - pos));
      pos = end + 1;
    }
    std::vector<Entry> entries;
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
      if (strings[i].empty()) break;
      entries.emplace_back(strings[i], strings[i + 1]);
    }
    return entries;
  }

  bool existed_ = false;
  std::wstring saved_;
};

// A second process that holds a file: opened without FILE_SHARE_DELETE ("open") or loaded as a DLL
// ("load"). Released and waited for when destroyed.
class FileHolder {
 public:
  FileHolder(const std::wstring& mode, const std::wstring& file) {
    static LONG counter = 0;
    const std::wstring stem = L"zyhok-holder-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(InterlockedIncrement(&counter));
    const std::wstring ready_name = stem + L"-ready";
    const std::wstring release_name = stem + L"-release";
    ready_.reset(CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str()));
    release_.reset(CreateEventW(nullptr, TRUE, FALSE, release_name.c_str()));
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self, n) + L"\" --hold " + mode + L" \"" + file +
                           L"\" " + ready_name + L" " + release_name;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
      process_.reset(process.hProcess);
      UniqueKernelHandle thread(process.hThread);
      // Either the holder is ready or it has ended (it could not take the file).
      HANDLE waits[] = {ready_.get(), process_.get()};
      ready_now_ = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
    }
  }
  ~FileHolder() { Release(); }

  bool ready() const { return ready_now_; }

  void Release() {
    if (!process_) return;
    SetEvent(release_.get());
    if (WaitForSingleObject(process_.get(), 60000) != WAIT_OBJECT_0)
      TerminateProcess(process_.get(), 1);
    process_.reset();
  }

 private:
  UniqueKernelHandle ready_;
  UniqueKernelHandle release_;
  UniqueKernelHandle process_;
  bool ready_now_ = false;
};

int HoldFile(const std::wstring& mode, const std::wstring& file, const std::wstring& ready_name,
             const std::wstring& release_name) {
  UniqueKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_name.c_str()));
  UniqueKernelHandle release(OpenEventW(SYNCHRONIZE, FALSE, release_name.c_str()));
  if (!ready || !release) return 2;
  zyhok::UniqueFileHandle opened;
  zyhok::UniqueModule loaded;
  if (mode == L"open") {
    opened.reset(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!opened) return 3;
  } else {
    loaded.reset(LoadLibraryW(file.c_str()));
    if (!loaded) return 3;
  }
  SetEvent(ready.get());
  WaitForSingleObject(release.get(), 120000);
  return 0;
}

class Retirement : public ::testing::Test {
 protected:
  // A copy of a real component DLL at dir\relative, with its folders created.
  std::wstring Component(const std::wstring& relative) {
    const std::wstring path = dir_ / relative;
    std::wstring folder;
    zyhok::GetParentFolder(path, folder);
    std::vector<std::wstring> folders;
    for (std::wstring f = folder; f.size() > dir_.path().size(); zyhok::GetParentFolder(f, f)) {
      folders.insert(folders.begin(), f);
    }
    for (const std::wstring& f : folders) CreateDirectoryW(f.c_str(), nullptr);
    EXPECT_TRUE(
        CopyFileW((zyhok_test::PackageDir(L"v1") + L"\\zymon64.dll").c_str(), path.c_str(), FALSE));
    return path;
  }

  static bool FolderExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  // Names in `folder` other than "." and "..".
  static std::vector<std::wstring> Names(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
  }

  PendingRenames pending_;  // restored last: declared first
  TempDir dir_;
  LogCapture log_;
};

TEST_F(Retirement, FreeFileAndItsFolderGoAtOnce) {
  const std::wstring file = Component(L"ZyMon\\2.5.1043\\zymon64.dll");
  zyhok::RetireFileAndFolder(file);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(FolderExists(dir_ / L"ZyMon\\2.5.1043"));
  EXPECT_TRUE(FolderExists(dir_ / L"ZyMon"));
  EXPECT_EQ(pending_.Added(), 0u) << pending_.Dump();
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
}

TEST_F(Retirement, TwoFoldersInnerBeforeOuter) {
  const std::wstring file = Component(L"zyhok\\ZyMon\\1\\zymon.dll");
  zyhok::RetireFileAndTwoFolders(file);
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(FolderExists(dir_ / L"zyhok\\ZyMon\\1"));
  EXPECT_FALSE(FolderExists(dir_ / L"zyhok\\ZyMon"));
  EXPECT_TRUE(FolderExists(dir_ / L"zyhok"));
  EXPECT_EQ(pending_.Added(), 0u) << pending_.Dump();
}

TEST_F(Retirement, FolderWithOtherContentIsDeferred) {
  const std::wstring file = Component(L"AddOn\\1.0.5\\ZyHkEvt64.dll");
  const std::wstring sibling = Component(L"AddOn\\1.0.5\\ZyHkEvt.dll");
  zyhok::RetireFileAndFolder(file);
  EXPECT_FALSE(FileExists(file));
  EXPECT_TRUE(FileExists(sibling));
  EXPECT_TRUE(pending_.ScheduledForDeletion(dir_ / L"AddOn\\1.0.5")) << pending_.Dump();
  EXPECT_FALSE(pending_.ScheduledForDeletion(file)) << pending_.Dump();
  EXPECT_EQ(pending_.Added(), 1u) << pending_.Dump();
}

TEST_F(Retirement, RemoveFolderNowOrAtReboot) {
  const std::wstring empty = dir_ / L"empty";
  ASSERT_TRUE(CreateDirectoryW(empty.c_str(), nullptr));
  zyhok::RemoveFolderOrDefer(empty);
  EXPECT_FALSE(FolderExists(empty));
  EXPECT_EQ(pending_.Added(), 0u) << pending_.Dump();

  const std::wstring full = dir_ / L"full";
  Component(L"full\\zymon64.dll");
  zyhok::RemoveFolderOrDefer(full);
  EXPECT_TRUE(FolderExists(full));
  EXPECT_TRUE(pending_.ScheduledForDeletion(full)) << pending_.Dump();

  const std::wstring missing = dir_ / L"missing";
  zyhok::RemoveFolderOrDefer(missing);
  EXPECT_TRUE(pending_.ScheduledForDeletion(missing)) << pending_.Dump();
  EXPECT_EQ(pending_.Added(), 2u) << pending_.Dump();
}

// A DLL loaded by a running process cannot be deleted but can be renamed: the retired copy moves
// aside, the name is free at once, and the copy and its folder go at the next reboot.
TEST_F(Retirement, LoadedFileIsRenamedAsideAndDeletedAtReboot) {
  const std::wstring file = Component(L"ZyMon\\2.5.1043\\zymon64.dll");
  const std::wstring folder = dir_ / L"ZyMon\\2.5.1043";
  FileHolder holder(L"load", file);
  ASSERT_TRUE(holder.ready());
  ASSERT_FALSE(DeleteFileW(file.c_str())) << "a loaded DLL is expected to resist deletion";

  const int tick_before = static_cast<int>(GetTickCount());
  zyhok::RetireFileAndFolder(file);
  const int tick_after = static_cast<int>(GetTickCount());

  EXPECT_FALSE(FileExists(file));
  const std::vector<std::wstring> names = Names(folder);
  ASSERT_EQ(names.size(), 1u);
  const std::wstring prefix = L"zymon64.dll.";
  ASSERT_EQ(names[0].compare(0, prefix.size(), prefix), 0) << zyhok_test::WideToUtf8(names[0]);
  const std::wstring suffix = names[0].substr(prefix.size());
  wchar_t* end = nullptr;
  const long tick = wcstol(suffix.c_str(), &end, 10);
  EXPECT_EQ(*end, L'\0') << zyhok_test::WideToUtf8(suffix);
  if (tick_before <= tick_after) {  // the counter did not wrap during the call
    EXPECT_GE(tick, tick_before);
    EXPECT_LE(tick, tick_after);
  }

  const std::wstring retired = folder + L"\\" + names[0];
  EXPECT_TRUE(pending_.ScheduledForDeletion(retired)) << pending_.Dump();
  EXPECT_TRUE(pending_.ScheduledForDeletion(folder)) << pending_.Dump();
  EXPECT_FALSE(pending_.ScheduledForDeletion(file)) << pending_.Dump();
  EXPECT_EQ(pending_.Added(), 2u) << pending_.Dump();
  EXPECT_TRUE(log_.Texts(3).empty()) << log_.Dump();

  holder.Release();
}

// A file that another process holds open without FILE_SHARE_DELETE can be neither deleted nor
// renamed: a warning, and the file is deleted under its own name at the next reboot.
TEST_F(Retirement, FileOpenWithoutShareDeleteIsDeletedAtRebootUnderItsName) {
  const std::wstring file = Component(L"ZyMon\\2.5.1043\\zymon64.dll");
  const std::wstring folder = dir_ / L"ZyMon\\2.5.1043";
  FileHolder holder(L"open", file);
  ASSERT_TRUE(holder.ready());

  zyhok::RetireFileAndFolder(file);

  EXPECT_TRUE(FileExists(file));
  EXPECT_EQ(Names(folder).size(), 1u);
  EXPECT_TRUE(pending_.ScheduledForDeletion(file)) << pending_.Dump();
  EXPECT_TRUE(pending_.ScheduledForDeletion(folder)) << pending_.Dump();
  EXPECT_EQ(pending_.Added(), 2u) << pending_.Dump();
  const std::vector<std::wstring> warnings = log_.Texts(3);
  ASSERT_EQ(warnings.size(), 1u) << log_.Dump();
  EXPECT_EQ(warnings[0],
            L"Rename file(" + file + L") failed. LastError = 0x20");  // sharing violation
  for (const LogCapture::Line& line : log_.Lines()) {
    EXPECT_EQ(line.module, L"ZYHOK Driver Installation");
    EXPECT_EQ(line.source, L"helperZYHOKDriver");
  }

  holder.Release();
}

TEST_F(Retirement, EmptyPathIsAttemptedAndOnlyLogged) {
  zyhok::RetireFileAndTwoFolders(L"");
  const std::vector<std::wstring> warnings = log_.Texts(3);
  ASSERT_EQ(warnings.size(), 1u) << log_.Dump();
  EXPECT_EQ(warnings[0].rfind(L"Rename file() failed. LastError = 0x", 0), 0u) << log_.Dump();
  EXPECT_EQ(pending_.Added(), 0u) << pending_.Dump();
}

}  // namespace

int main(int argc, char** argv) {
  int wide_count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
  if (wide != nullptr && wide_count == 6 && std::wstring(wide[1]) == L"--hold") {
    const int code = HoldFile(wide[2], wide[3], wide[4], wide[5]);
    LocalFree(wide);
    return code;
  }
  if (wide != nullptr) LocalFree(wide);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
