// System folders, device-form paths and file-version texts, against Wine's real folders, DOS device
// table and version resources of the fixture DLLs.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "staging/staging.h"
#include "support/test_support.h"

namespace {

using zyhok_test::LogCapture;

constexpr const wchar_t* kVolume = L"\\Device\\HarddiskVolume1";  // Wine's device for C:

std::wstring VersionFixture(const std::wstring& name) {
  return zyhok_test::FixturesDir() + L"\\versions\\" + name;
}

std::wstring Lower(std::wstring text) {
  CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

TEST(SystemPaths, SystemFolderIsTheNativeOneWithoutTrailingBackslash) {
  const std::wstring system = zyhok::GetSystemDirPath();
  EXPECT_EQ(Lower(system), L"c:\\windows\\system32");
}

TEST(SystemPaths, SysWow64FolderIsBuiltFromTheWindowsFolder) {
  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::wstring wow64 = zyhok::GetSysWow64DirPath();
  EXPECT_EQ(wow64, std::wstring(windows, n) + L"\\SysWOW64");
  EXPECT_EQ(Lower(wow64), L"c:\\windows\\syswow64");
}

TEST(DevicePaths, DriveLetterIsReplacedByItsDeviceName) {
  EXPECT_EQ(zyhok::ConvertToDevicePath(L"C:\\Windows\\x.dll"),
            std::wstring(kVolume) + L"\\Windows\\x.dll");
  EXPECT_EQ(zyhok::ConvertToDevicePath(L"C:"), kVolume);
}

TEST(DevicePaths, EnvironmentReferencesAreExpandedFirst) {
  wchar_t root[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  ASSERT_GT(n, 2u);
  ASSERT_EQ(Lower(std::wstring(root, 2)), L"c:");
  EXPECT_EQ(zyhok::ConvertToDevicePath(L"%SystemRoot%\\system32\\x.dll"),
            std::wstring(kVolume) + std::wstring(root + 2, n - 2) + L"\\system32\\x.dll");
}

TEST(DevicePaths, DriveWithoutDeviceIsDropped) {
  wchar_t device[MAX_PATH];
  ASSERT_EQ(QueryDosDeviceW(L"Q:", device, MAX_PATH), 0u) << "Q: is expected to be unmapped";
  EXPECT_EQ(zyhok::ConvertToDevicePath(L"Q:\\pkg\\x.dll"), L"\\pkg\\x.dll");
}

TEST(DevicePaths, PathsThatDoNotFitAreRefusedWhole) {
  EXPECT_EQ(zyhok::ConvertToDevicePath(nullptr), L"");
  // The expanded text alone is longer than 259 units.
  const std::wstring too_long = L"C:\\" + std::wstring(300, L'a');
  EXPECT_EQ(zyhok::ConvertToDevicePath(too_long.c_str()), L"");
  // 259 units expanded, but the device form is longer.
  const std::wstring fits_until_converted = L"C:\\" + std::wstring(256, L'b');
  EXPECT_EQ(zyhok::ConvertToDevicePath(fits_until_converted.c_str()), L"");
  // The longest path whose device form still fits.
  const size_t tail = MAX_PATH - 1 - wcslen(kVolume) - 1;
  const std::wstring longest = L"C:\\" + std::wstring(tail, L'c');
  EXPECT_EQ(zyhok::ConvertToDevicePath(longest.c_str()),
            std::wstring(kVolume) + L"\\" + std::wstring(tail, L'c'));
}

class FileVersionText : public ::testing::Test {
 protected:
  // The lines of the version reader, with their module and source checked.
  std::vector<std::wstring> ReaderLines() const {
    std::vector<std::wstring> texts;
    for (const LogCapture::Line& line : log_.Lines()) {
      EXPECT_EQ(line.module, L"Plugin ZYHOK Adapter") << line.source;
      EXPECT_EQ(line.source, L"Utilities");
      EXPECT_EQ(line.level, 2u);
      texts.push_back(line.text);
    }
    return texts;
  }

  LogCapture log_;
};

TEST_F(FileVersionText, OneTranslation) {
  const std::wstring path = VersionFixture(L"one_translation.dll");
  std::wstring version = L"untouched";
  EXPECT_EQ(zyhok::GetFileVersionString(path, version), 1);
  EXPECT_EQ(version, L"3.1.7");

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  wchar_t hex[16];
  wsprintfW(hex, L"0x%x", size);
  const std::vector<std::wstring> expected = {
      L"AddOn path is:" + path,
      L"GetFileVersionInfoSize Return value is:" + std::wstring(hex),
      L"File Version: 3.1.7",
  };
  EXPECT_EQ(ReaderLines(), expected) << log_.Dump();
}

TEST_F(FileVersionText, TheLastTranslationWithATextWins) {
  const std::wstring path = VersionFixture(L"two_translations.dll");
  std::wstring version;
  EXPECT_EQ(zyhok::GetFileVersionString(path, version), 1);
  EXPECT_EQ(version, L"4.0.2");
  const std::vector<std::wstring> lines = ReaderLines();
  ASSERT_EQ(lines.size(), 4u) << log_.Dump();
  EXPECT_EQ(lines[2], L"File Version: 4.0.1");
  EXPECT_EQ(lines[3], L"File Version: 4.0.2");
}

TEST_F(FileVersionText, TranslationWithoutStringBlockFindsNothing) {
  std::wstring version = L"untouched";
  EXPECT_EQ(zyhok::GetFileVersionString(VersionFixture(L"unmatched_translation.dll"), version), 0);
  EXPECT_EQ(version, L"untouched");
  const std::vector<std::wstring> lines = ReaderLines();
  ASSERT_EQ(lines.size(), 3u) << log_.Dump();
  EXPECT_EQ(lines[2], L"File Version: (NULL)");
}

TEST_F(FileVersionText, NoResourceOrNoFileLeavesTheOutputAlone) {
  for (const std::wstring& path :
       {VersionFixture(L"no_version.dll"), VersionFixture(L"does_not_exist.dll")}) {
    SCOPED_TRACE(zyhok_test::WideToUtf8(path));
    log_.Clear();
    std::wstring version = L"untouched";
    EXPECT_EQ(zyhok::GetFileVersionString(path, version), 0);
    EXPECT_EQ(version, L"untouched");
    const std::vector<std::wstring> expected = {
        L"AddOn path is:" + path,
        L"GetFileVersionInfoSize Return value is:0",
    };
    EXPECT_EQ(ReaderLines(), expected) << log_.Dump();
  }
}

TEST_F(FileVersionText, PackageComponentsGiveTheirVersionFolderNames) {
  std::wstring version;
  EXPECT_EQ(zyhok::GetFileVersionString(zyhok_test::PackageDir(L"v1") + L"\\zymon64.dll", version),
            1);
  EXPECT_EQ(version, L"2.5.1043");
  EXPECT_EQ(
      zyhok::GetFileVersionString(zyhok_test::PackageDir(L"v2") + L"\\AddOn\\ZyHkEvt.dll", version),
      1);
  EXPECT_EQ(version, L"1.0.6");
}

TEST_F(FileVersionText, LinesAreSuppressedWhenTheAdapterModuleIsOff) {
  log_.SetLevels(L"*=2;Plugin ZYHOK Adapter=0");
  std::wstring version;
  EXPECT_EQ(zyhok::GetFileVersionString(VersionFixture(L"one_translation.dll"), version), 1);
  EXPECT_EQ(version, L"3.1.7");
  EXPECT_TRUE(log_.Lines().empty()) << log_.Dump();
}

}  // namespace
