// System folders, device-form paths and file-version texts, against Wine's real folders, DOS device
// table and version resources of the fixture DLLs.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "staging/staging.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

constexpr const wchar_t* kVolume = L"\\Device\\HarddiskVolume1";  // Wine's device for C:

TEST(SystemPaths, SystemFoldersAreTheNativeOnesWithoutTrailingBackslash) {
  EXPECT_EQ(Lower(zyhok::GetSystemDirPath()), L"c:\\windows\\system32");
  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::wstring wow64 = zyhok::GetSysWow64DirPath();
  EXPECT_EQ(wow64, std::wstring(windows, n) + L"\\SysWOW64");  // built from the Windows folder
  EXPECT_EQ(Lower(wow64), L"c:\\windows\\syswow64");
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
