// Driver path normalisation and retirement of component files and folders, against Wine's real file
// system and its pending-deletion list (HKLM\...\Session Manager\PendingFileRenameOperations).
// Files that cannot be deleted are held by this process: loaded as a DLL, or opened without
// FILE_SHARE_DELETE (the sharing rules hold between handles, whichever process owns them).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"  // kDriverPathUnits
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;
using Names = std::vector<std::wstring>;

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

// Only the first "\\.\" collapses to one backslash; trailing backslashes and other forms are kept.
TEST(NormalizeDriverPath, FirstDeviceSequenceCollapsesAndTheRestIsKept) {
  const wchar_t* cases[][2] = {
      {L"C:\\pkg\\zyhok", L"C:\\pkg\\zyhok"},
      {L"C:\\a\\\\.\\b", L"C:\\a\\b"},
      {L"C:\\a\\\\.\\b\\\\.\\c", L"C:\\a\\b\\\\.\\c"},
      {L"\\\\.\\C:\\pkg", L"\\C:\\pkg"},
      {L"C:\\pkg\\\\.\\", L"C:\\pkg\\"},
      {L"C:\\pkg\\\\.", L"C:\\pkg\\\\."},
      {L"", L""},
      {L"C:\\pkg\\zyhok\\\\", L"C:\\pkg\\zyhok\\\\"},
      {L"C:/pkg/./zyhok/", L"C:/pkg/./zyhok/"},
      {L"\\\\server\\share\\pkg", L"\\\\server\\share\\pkg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c[0]));
    int result = -1;
    EXPECT_EQ(Normalized(c[0], &result), c[1]);
    EXPECT_EQ(result, 1);
  }
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

  int result = -1;
  for (const std::wstring& head : {std::wstring(L"C:\\pkg"), std::wstring(L"C:\\\\.\\pkg")}) {
    wmemset(record, L'p', zyhok::kDriverPathUnits);
    wmemcpy(record, head.c_str(), head.size());
    EXPECT_EQ(Normalized(record, &result), L"");
    EXPECT_EQ(result, 0);
  }

  // A short path at the start of a full record.
  wmemcpy(record, L"C:\\a\\\\.\\b", 10);
  EXPECT_EQ(Normalized(record, &result), L"C:\\a\\b");
  EXPECT_EQ(result, 1);

  VirtualFree(base, 0, MEM_RELEASE);
}

// ---- parent folder and retirement name ----

TEST(GetParentFolder, LastBackslashOrElseLastSlash) {
  const wchar_t* cases[][2] = {
      {L"C:\\a\\b.dll", L"C:\\a"}, {L"C:/a/b.dll", L"C:/a"}, {L"C:\\a\\b\\", L"C:\\a\\b"},
      {L"C:\\a/b/c.dll", L"C:"},  // a backslash exists, so slashes are not looked at
      {L"\\b.dll", L""},          {L"", nullptr},          {L"b.dll", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c[0]));
    std::wstring folder = L"before";
    EXPECT_EQ(zyhok::GetParentFolder(c[0], folder), c[1] != nullptr);
    EXPECT_EQ(folder, c[1] ? c[1] : L"before");
  }
}

TEST(RetirementName, TickCountIsASignedDecimalSuffix) {
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 0), L"C:\\x\\zymon.dll.0");
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 123456), L"C:\\x\\zymon.dll.123456");
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 0x80000000u), L"C:\\x\\zymon.dll.-2147483648");
  EXPECT_EQ(zyhok::RetirementName(L"C:\\x\\zymon.dll", 0xFFFFFFFFu), L"C:\\x\\zymon.dll.-1");
  // 257 + ".1" = 259 units fits; a longer name keeps its first 259 units.
  const std::wstring path(257, L'f');
  EXPECT_EQ(zyhok::RetirementName(path, 1), path + L".1");
  EXPECT_EQ(zyhok::RetirementName(path, 10), path + L".1");
  EXPECT_EQ(zyhok::RetirementName(std::wstring(300, L'g'), 5), std::wstring(259, L'g'));
}

// ---- retirement against the real file system ----

// The pending-deletion list, put back when destroyed as it was when the object was made.
class PendingRenames {
 public:
  PendingRenames() : saved_(Read()) {}
  ~PendingRenames() {
    if (saved_.error == ERROR_SUCCESS) {
      WriteHklmValue(kSessionManager, kPendingValue, saved_);
    } else {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPendingValue);
    }
  }
  // The operations added since the object was made, in order: "delete <path>" or "rename <a> -> <b>".
  std::vector<std::wstring> Added() const {
    std::vector<std::wstring> all = Operations(Read());
    all.erase(all.begin(), all.begin() + std::min(all.size(), Operations(saved_).size()));
    return all;
  }

 private:
  static RegValue Read() { return ReadHklmValue(kSessionManager, kPendingValue); }
  // REG_MULTI_SZ of source and destination pairs (an empty destination means deletion).
  static std::vector<std::wstring> Operations(const RegValue& value) {
    std::vector<std::wstring> out;
    const std::wstring units = value.error == ERROR_SUCCESS ? value.Units() : L"";
    for (size_t pos = 0; pos < units.size() && units[pos] != L'\0';) {
      const std::wstring from = units.c_str() + pos;
      pos += from.size() + 1;
      const std::wstring to = pos < units.size() ? units.c_str() + pos : L"";
      pos += to.size() + 1;
      out.push_back(to.empty() ? L"delete " + from : L"rename " + from + L" -> " + to);
    }
    return out;
  }

  RegValue saved_;
};

class Retirement : public ::testing::Test {
 protected:
  // A copy of a real component DLL at dir\relative, with its folders created.
  std::wstring Component(const std::wstring& relative) {
    for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
         slash = relative.find(L'\\', slash + 1)) {
      CreateDirectoryW((dir_ / relative.substr(0, slash)).c_str(), nullptr);
    }
    EXPECT_TRUE(CopyFileW((PackageDir(L"v1") + L"\\zymon64.dll").c_str(), (dir_ / relative).c_str(), FALSE));
    return dir_ / relative;
  }

  PendingRenames pending_;  // restored last: declared first
  TempDir dir_;
  LogCapture log_;
};

TEST_F(Retirement, FreeFileAndItsFoldersGoAtOnce) {
  zyhok::RetireFileAndFolder(Component(L"ZyMon\\2.5.1043\\zymon64.dll"));
  EXPECT_EQ(ListFolder(dir_.path()), Names({L"ZyMon"}));
  EXPECT_EQ(ListFolder(dir_ / L"ZyMon"), Names());
  zyhok::RetireFileAndTwoFolders(Component(L"zyhok\\ZyMon\\1\\zymon.dll"));  // inner folder first
  EXPECT_EQ(ListFolder(dir_.path()), Names({L"ZyMon", L"zyhok"}));
  EXPECT_EQ(ListFolder(dir_ / L"zyhok"), Names());
  EXPECT_EQ(pending_.Added(), Names());
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
}

TEST_F(Retirement, FolderThatCannotGoNowIsDeferred) {
  const std::wstring file = Component(L"AddOn\\1.0.5\\ZyHkEvt64.dll");
  Component(L"AddOn\\1.0.5\\ZyHkEvt.dll");
  zyhok::RetireFileAndFolder(file);
  EXPECT_EQ(ListFolder(dir_ / L"AddOn\\1.0.5"), Names({L"ZyHkEvt.dll"}));
  const std::wstring empty = dir_ / L"empty";
  ASSERT_TRUE(CreateDirectoryW(empty.c_str(), nullptr));
  zyhok::RemoveFolderOrDefer(empty);
  EXPECT_FALSE(FileExists(empty));
  zyhok::RemoveFolderOrDefer(dir_ / L"missing");
  EXPECT_EQ(pending_.Added(), Names({L"delete \\??\\" + dir_ / L"AddOn\\1.0.5", L"delete \\??\\" + dir_ / L"missing"}));
}

// A DLL loaded by a running process cannot be deleted but can be renamed: the retired copy moves
// aside, the name is free at once, and the copy and its folder go at the next reboot.
TEST_F(Retirement, LoadedFileIsRenamedAsideAndDeletedAtReboot) {
  const std::wstring file = Component(L"ZyMon\\2.5.1043\\zymon64.dll");
  const std::wstring folder = dir_ / L"ZyMon\\2.5.1043";
  zyhok::UniqueModule holder(LoadLibraryW(file.c_str()));
  ASSERT_TRUE(holder.valid()) << GetLastError();
  ASSERT_FALSE(DeleteFileW(file.c_str())) << "a loaded DLL is expected to resist deletion";

  const int tick_before = static_cast<int>(GetTickCount());
  zyhok::RetireFileAndFolder(file);
  const int tick_after = static_cast<int>(GetTickCount());

  const Names names = ListFolder(folder);
  ASSERT_EQ(names.size(), 1u);
  const std::wstring prefix = L"zymon64.dll.";
  ASSERT_EQ(names[0].compare(0, prefix.size(), prefix), 0) << WideToUtf8(names[0]);
  wchar_t* end = nullptr;
  const long tick = wcstol(names[0].c_str() + prefix.size(), &end, 10);
  EXPECT_EQ(*end, L'\0') << WideToUtf8(names[0]);
  if (tick_before <= tick_after) {  // the counter did not wrap during the call
    EXPECT_GE(tick, tick_before);
    EXPECT_LE(tick, tick_after);
  }
  EXPECT_EQ(pending_.Added(), Names({L"delete \\??\\" + folder + L"\\" + names[0], L"delete \\??\\" + folder}));
  EXPECT_TRUE(log_.Texts(3).empty()) << log_.Dump();
}

// A file that this process holds open without FILE_SHARE_DELETE can be neither deleted nor renamed:
// a warning, and the file is deleted under its own name at the next reboot.
TEST_F(Retirement, FileOpenWithoutShareDeleteIsDeletedAtRebootUnderItsName) {
  const std::wstring file = Component(L"ZyMon\\2.5.1043\\zymon64.dll");
  const std::wstring folder = dir_ / L"ZyMon\\2.5.1043";
  zyhok::UniqueFileHandle holder(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(holder.valid()) << GetLastError();

  zyhok::RetireFileAndFolder(file);

  EXPECT_EQ(ListFolder(folder), Names({L"zymon64.dll"}));
  EXPECT_EQ(pending_.Added(), Names({L"delete \\??\\" + file, L"delete \\??\\" + folder}));
  // 0x20: sharing violation
  EXPECT_EQ(log_.Texts(), Names({L"Rename file(" + file + L") failed. LastError = 0x20"})) << log_.Dump();
  EXPECT_EQ(log_.Lines().at(0).level, 3u);
  EXPECT_EQ(log_.Lines().at(0).module, L"ZYHOK Driver Installation");
  EXPECT_EQ(log_.Lines().at(0).source, L"helperZYHOKDriver");
}

TEST_F(Retirement, EmptyPathIsAttemptedAndOnlyLogged) {
  zyhok::RetireFileAndTwoFolders(L"");
  const Names warnings = log_.Texts(3);
  ASSERT_EQ(warnings.size(), 1u) << log_.Dump();
  EXPECT_EQ(warnings[0].rfind(L"Rename file() failed. LastError = 0x", 0), 0u) << log_.Dump();
  EXPECT_EQ(pending_.Added(), Names());
}

}  // namespace
