// The library's path and version rules that the exports reach only through real package layouts:
// driver path normalisation (with a record that ends at an unreadable page), parent folders,
// retirement names, the add-on source folder, device-form paths and the "FileVersion" text read.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "plugin/plugin.h"  // kDriverPathUnits
#include "staging/staging.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

constexpr const wchar_t* kVolume = L"\\Device\\HarddiskVolume1";  // Wine's device for C:

// Only the first "\\.\" collapses to one backslash; trailing backslashes and other forms are kept;
// the result must fit the folder buffer (259 units and the terminator), after the collapse.
TEST(NormalizeDriverPath, FirstDeviceSequenceCollapsesAndTheResultMustFit) {
  const std::wstring longest = L"C:\\" + std::wstring(256, L'x');
  const struct {
    std::wstring path, normalized;
    int result;
  } cases[] = {
      {L"C:\\a\\\\.\\b", L"C:\\a\\b", 1},
      {L"C:\\a\\\\.\\b\\\\.\\c", L"C:\\a\\b\\\\.\\c", 1},
      {L"\\\\.\\C:\\pkg", L"\\C:\\pkg", 1},
      {L"C:\\pkg\\\\.\\", L"C:\\pkg\\", 1},
      {L"C:\\pkg\\\\.", L"C:\\pkg\\\\.", 1},
      {L"", L"", 1},
      {L"C:/pkg/./zyhok/", L"C:/pkg/./zyhok/", 1},
      {L"\\\\server\\share\\pkg", L"\\\\server\\share\\pkg", 1},
      {longest, longest, 1},
      {longest + L"y", L"", 0},
      {L"C:\\\\.\\" + std::wstring(256, L'z'), L"C:\\" + std::wstring(256, L'z'), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.path));
    wchar_t out[zyhok::kNormalizedPathUnits];
    wmemset(out, L'#', zyhok::kNormalizedPathUnits);
    EXPECT_EQ(zyhok::NormalizeDriverPath(c.path.c_str(), out), c.result);
    EXPECT_EQ(std::wstring(out, wcsnlen(out, zyhok::kNormalizedPathUnits)), c.normalized);
  }
  EXPECT_EQ(zyhok::NormalizeDriverPath(L"C:\\pkg", nullptr), 0);

  // A record path of 1024 units without a terminator, ending where an unreadable page begins: read
  // only within its units, and refused.
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
  DWORD old = 0;
  ASSERT_TRUE(base && VirtualProtect(base + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old));
  wchar_t* record = reinterpret_cast<wchar_t*>(base + info.dwPageSize) - zyhok::kDriverPathUnits;
  wmemset(record, L'p', zyhok::kDriverPathUnits);
  wchar_t out[zyhok::kNormalizedPathUnits];
  EXPECT_EQ(zyhok::NormalizeDriverPath(record, out), 0);
  VirtualFree(base, 0, MEM_RELEASE);
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

TEST(AddOnSource, TheFolderAfterTheLast20019TwiceThenAddOn) {
  const std::vector<std::pair<std::wstring, std::wstring>> cases = {
      {L"D:\\pkg\\20019\\7.1\\7.1\\driver", L"D:\\pkg\\20019\\7.1\\7.1\\AddOn"},
      {L"D:\\pkg\\20019\\7.1", L"D:\\pkg\\20019\\7.1\\7.1\\AddOn"},
      {L"D:\\pkg\\20019\\7.1\\", L"D:\\pkg\\20019\\7.1\\7.1\\AddOn"},
      {L"D:\\20019\\a\\20019\\b", L"D:\\20019\\a\\20019\\b\\b\\AddOn"},
      {L"D:\\pkg\\20019", L"D:\\pkg\\20019\\\\\\AddOn"},
      {L"D:\\pkg\\20019\\", L"D:\\pkg\\20019\\\\\\AddOn"},
  };
  for (const auto& c : cases) {
    std::wstring source;
    EXPECT_TRUE(zyhok::DeriveAddOnSourceFolder(c.first, source)) << WideToUtf8(c.first);
    EXPECT_EQ(source, c.second);
  }
  for (const wchar_t* folder :
       {L"D:\\pkg\\7.1", L"D:\\pkg\\200190\\7.1", L"D:\\pkg\\2001\\7.1", L"20019", L""}) {
    std::wstring source;
    EXPECT_FALSE(zyhok::DeriveAddOnSourceFolder(folder, source)) << WideToUtf8(folder);
  }
}

// The drive letter is replaced by its device name after environment references are expanded; a drive
// without a device is dropped; a path that does not fit, before or after conversion, is refused whole.
TEST(DevicePaths, DriveLetterIsReplacedByItsDeviceName) {
  wchar_t device[MAX_PATH];
  ASSERT_EQ(QueryDosDeviceW(L"Q:", device, MAX_PATH), 0u) << "Q: is expected to be unmapped";
  wchar_t root[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  ASSERT_GT(n, 2u);
  ASSERT_EQ(Lower(std::wstring(root, 2)), L"c:");
  const std::wstring volume = kVolume;
  const size_t tail = MAX_PATH - 1 - volume.size() - 1;  // the longest whose device form fits
  const std::wstring cases[][2] = {
      {L"C:\\Windows\\x.dll", volume + L"\\Windows\\x.dll"},
      {L"C:", volume},
      {L"%SystemRoot%\\system32\\x.dll", volume + std::wstring(root + 2, n - 2) + L"\\system32\\x.dll"},
      {L"Q:\\pkg\\x.dll", L"\\pkg\\x.dll"},
      {L"C:\\" + std::wstring(300, L'a'), L""},
      {L"C:\\" + std::wstring(256, L'b'), L""},  // fits until converted
      {L"C:\\" + std::wstring(tail, L'c'), volume + L"\\" + std::wstring(tail, L'c')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c[0]));
    EXPECT_EQ(zyhok::ConvertToDevicePath(c[0].c_str()), c[1]);
  }
  EXPECT_EQ(zyhok::ConvertToDevicePath(nullptr), L"");
}

// The reader logs the file, the size of its version information and the "FileVersion" text of each
// translation it finds; the last translation with a text wins. The lines belong to "Plugin ZYHOK
// Adapter" and are suppressed with it.
TEST(FileVersionText, TheLastTranslationWithATextWins) {
  const std::wstring versions = FixturesDir() + L"\\versions\\";
  const struct {
    std::wstring path;
    int result;
    const wchar_t* version;
    std::vector<std::wstring> version_lines;
  } cases[] = {
      {versions + L"one_translation.dll", 1, L"3.1.7", {L"File Version: 3.1.7"}},
      {versions + L"two_translations.dll", 1, L"4.0.2", {L"File Version: 4.0.1", L"File Version: 4.0.2"}},
      {versions + L"unmatched_translation.dll", 0, L"untouched", {L"File Version: (NULL)"}},
      {versions + L"no_version.dll", 0, L"untouched", {}},
      {versions + L"does_not_exist.dll", 0, L"untouched", {}},
      {PackageDir(L"v1") + L"\\zymon64.dll", 1, L"2.5.1043", {L"File Version: 2.5.1043"}},
      {PackageDir(L"v2") + L"\\AddOn\\ZyHkEvt.dll", 1, L"1.0.6", {L"File Version: 1.0.6"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.path));
    LogCapture log;
    std::wstring version = L"untouched";
    EXPECT_EQ(zyhok::GetFileVersionString(c.path, version), c.result);
    EXPECT_EQ(version, c.version);
    DWORD ignored = 0;
    const DWORD bytes = GetFileVersionInfoSizeW(c.path.c_str(), &ignored);
    wchar_t size[16];
    wsprintfW(size, bytes ? L"0x%x" : L"0", bytes);
    std::vector<std::wstring> expected = {L"AddOn path is:" + c.path,
                                          L"GetFileVersionInfoSize Return value is:" + std::wstring(size)};
    expected.insert(expected.end(), c.version_lines.begin(), c.version_lines.end());
    EXPECT_EQ(log.Texts(2), expected) << log.Dump();
    for (const LogCapture::Line& line : log.Lines()) {
      EXPECT_EQ(line.module, L"Plugin ZYHOK Adapter");
      EXPECT_EQ(line.source, L"Utilities");
    }
    EXPECT_EQ(log.Lines().size(), expected.size()) << log.Dump();
  }
  LogCapture log(L"*=2;Plugin ZYHOK Adapter=0");
  std::wstring version;
  EXPECT_EQ(zyhok::GetFileVersionString(versions + L"one_translation.dll", version), 1);
  EXPECT_EQ(version, L"3.1.7");
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

}  // namespace
