// The path and version rules that the exports reach only through real package layouts: normalisation,
// the paths retirement takes, the add-on source folder, device-form paths, the
// "FileVersion" text read and the folder it may name, and the system folders; zyhost's own copies of these rules
// (tools/zyhost/rules.h) must give the same on every case.
#include "plugin_interface.h"
#include "tools/zyhost/rules.h"
#include "lifecycle/driver_path.h"
#include "staging/Utilities.h"
#include "staging/component_staging.h"
#include "staging/path_rules.h"
#include "support/test_support.h"
#include <cwchar>

using namespace zyhok_test;

// Only the first "\\.\" collapses to one backslash; trailing backslashes and other forms are kept;
// the result must fit the folder buffer (259 units and the terminator), after the collapse. zyhost's
// copy gives the same text and refuses the same paths.
TEST(NormalizeDriverPath, FirstDeviceSequenceCollapsesAndTheResultMustFit) {
  const std::wstring longest = L"C:\\" + std::wstring(256, L'x');
  const struct { std::wstring path, normalized; int result; } cases[] = {
      {L"C:\\a\\\\.\\b", L"C:\\a\\b", 1}, {L"C:\\a\\\\.\\b\\\\.\\c", L"C:\\a\\b\\\\.\\c", 1},
      {L"\\\\.\\C:\\pkg", L"\\C:\\pkg", 1}, {L"C:\\pkg\\\\.\\", L"C:\\pkg\\", 1},
      {L"C:\\pkg\\\\.", L"C:\\pkg\\\\.", 1}, {L"", L"", 1}, {L"C:/pkg/./zyhok/", L"C:/pkg/./zyhok/", 1},
      {L"\\\\server\\share\\pkg", L"\\\\server\\share\\pkg", 1}, {longest, longest, 1},
      {L"\\\\?\\C:\\20019\\1", L"\\\\?\\C:\\20019\\1", 1}, {L"relative", L"relative", 1},
      {longest + L"y", L"", 0},
      {L"C:\\\\.\\" + std::wstring(256, L'z'), L"C:\\" + std::wstring(256, L'z'), 1}};
  wchar_t out[260];
  for (const auto& c : cases) {
    wmemset(out, L'#', 260);
    EXPECT_EQ(zyhok::NormalizeDriverPath(c.path.c_str(), out), c.result) << WideToUtf8(c.path);
    EXPECT_EQ(std::wstring(out, wcsnlen(out, 260)), c.normalized);
    std::wstring folder;
    EXPECT_EQ(zyhost::NormaliseFolder(c.path, &folder), c.result == 1) << WideToUtf8(c.path);
    if (c.result == 1) EXPECT_EQ(folder, c.normalized);
  }
  EXPECT_EQ(zyhok::NormalizeDriverPath(L"C:\\pkg", nullptr), 0);
  // A record path of 1024 units without a terminator, ending where an unreadable page (64 KiB on)
  // begins: read only within its units, and refused.
  BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, 0x20000, MEM_COMMIT, PAGE_READWRITE));
  DWORD old = 0;
  ASSERT_TRUE(base && VirtualProtect(base + 0x10000, 0x10000, PAGE_NOACCESS, &old));
  wchar_t* record = reinterpret_cast<wchar_t*>(base + 0x10000) - zyhok::kDriverPathUnits;
  wmemset(record, L'p', zyhok::kDriverPathUnits);
  EXPECT_EQ(zyhok::NormalizeDriverPath(record, out), 0);
  VirtualFree(base, 0, MEM_RELEASE);
}
// The add-on source is the folder after the last "20019" taken twice, then "AddOn"; a path without a
// "20019" component (or with nothing before it) has none. zyhost's copy finds the same.
TEST(AddOnSource, TheFolderAfterTheLast20019TwiceThenAddOn) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"D:\\pkg\\20019\\7.1\\7.1\\driver", L"D:\\pkg\\20019\\7.1\\7.1\\AddOn"},
      {L"D:\\pkg\\20019\\7.1", L"D:\\pkg\\20019\\7.1\\7.1\\AddOn"},
      {L"D:\\pkg\\20019\\7.1\\", L"D:\\pkg\\20019\\7.1\\7.1\\AddOn"},
      {L"D:\\20019\\a\\20019\\b", L"D:\\20019\\a\\20019\\b\\b\\AddOn"},
      {L"\\\\?\\C:\\20019\\1", L"\\\\?\\C:\\20019\\1\\1\\AddOn"},
      {L"D:\\pkg\\20019", L"D:\\pkg\\20019\\\\\\AddOn"}, {L"D:\\pkg\\20019\\", L"D:\\pkg\\20019\\\\\\AddOn"},
      {L"D:\\pkg\\7.1", nullptr}, {L"D:\\pkg\\200190\\7.1", nullptr}, {L"D:\\pkg\\2001\\7.1", nullptr},
      {L"20019", nullptr}, {L"", nullptr}};
  for (const auto& [folder, expected] : cases) {
    std::wstring source;
    EXPECT_EQ(zyhok::DeriveAddOnSourceFolder(folder, source), expected != nullptr) << WideToUtf8(folder);
    if (expected) EXPECT_EQ(source, expected);
    EXPECT_EQ(zyhost::AddOnFolder(folder, &source), expected != nullptr) << WideToUtf8(folder);
    if (expected) EXPECT_EQ(source, expected);
  }
}
// The drive letter is replaced by its device name after environment references are expanded; a drive
// without a device is dropped; a path that does not fit, before or after conversion, is refused whole.
TEST(DevicePaths, DriveLetterIsReplacedByItsDeviceName) {
  wchar_t device[MAX_PATH], root[MAX_PATH];
  ASSERT_EQ(QueryDosDeviceW(L"Q:", device, MAX_PATH), 0u) << "Q: is expected to be unmapped";
  const DWORD n = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  ASSERT_TRUE(n > 2 && Lower(std::wstring(root, 2)) == L"c:");
  const std::wstring volume = L"\\Device\\HarddiskVolume1";  // Wine's device for C:
  const size_t tail = MAX_PATH - 1 - volume.size() - 1;  // the longest whose device form fits
  const std::wstring cases[][2] = {
      {L"C:\\Windows\\x.dll", volume + L"\\Windows\\x.dll"}, {L"C:", volume},
      {L"%SystemRoot%\\system32\\x.dll", volume + std::wstring(root + 2, n - 2) + L"\\system32\\x.dll"},
      {L"Q:\\pkg\\x.dll", L"\\pkg\\x.dll"}, {L"C:\\" + std::wstring(300, L'a'), L""},
      {L"C:\\" + std::wstring(256, L'b'), L""},  // fits until converted
      {L"Q:\\" + std::wstring(256, L'd'), L"\\" + std::wstring(256, L'd')},  // 259 units: the most that fit
      {L"C:\\" + std::wstring(tail, L'c'), volume + L"\\" + std::wstring(tail, L'c')}};
  for (const auto& c : cases) EXPECT_EQ(zyhok::ConvertToDevicePath(c[0].c_str()), c[1]) << WideToUtf8(c[0]);
  EXPECT_EQ(zyhok::ConvertToDevicePath(nullptr), L"");
}
// The reader logs the file, the size of its version information and the "FileVersion" text of each
// translation it finds, as "Plugin ZYHOK Adapter" lines from Utilities; the last translation with a
// text wins. With those lines suppressed the version is still read. zyhost's copy reads the same text.
TEST(FileVersionText, TheLastTranslationWithATextWins) {
  const std::wstring versions = FixturesDir() + L"\\versions\\", package = PackageDir(L"v1") + L"\\";
  // version: null when the read fails and leaves it alone.
  const struct {
    std::wstring path;
    const wchar_t* version;
    std::vector<std::wstring> lines;
  } cases[] = {{versions + L"one_translation.dll", L"3.1.7", {L"File Version: 3.1.7"}},
               {versions + L"two_translations.dll", L"4.0.2", {L"File Version: 4.0.1", L"File Version: 4.0.2"}},
               {versions + L"unmatched_translation.dll", nullptr, {L"File Version: (NULL)"}},
               {versions + L"no_version.dll", nullptr, {}},
               {versions + L"does_not_exist.dll", nullptr, {}},
               {package + L"zyhok.sys", L"1.6.0.1195", {L"File Version: 1.6.0.1195"}},
               {package + L"zyhok.inf", nullptr, {}}};
  for (const auto& c : cases) {
    const std::wstring& path = c.path;
    LogCapture log;
    std::wstring version = L"untouched";
    EXPECT_EQ(zyhok::GetFileVersionString(path, version), c.version ? 1 : 0) << WideToUtf8(path);
    EXPECT_EQ(version, c.version ? c.version : L"untouched");
    version = L"untouched";
    EXPECT_EQ(zyhost::ReadFileVersionText(path, &version), c.version != nullptr) << WideToUtf8(path);
    EXPECT_EQ(version, c.version ? c.version : L"untouched");
    DWORD ignored = 0, bytes = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    wchar_t size[16];
    wsprintfW(size, bytes ? L"0x%x" : L"0", bytes);
    const std::wstring from = L"2 Plugin ZYHOK Adapter Utilities ";
    std::vector<std::wstring> expected = {from + L"AddOn path is:" + path,
                                          from + L"GetFileVersionInfoSize Return value is:" + size},
                              lines;
    for (const std::wstring& line : c.lines) expected.push_back(from + line);
    for (const auto& l : log.Lines()) {
      lines.push_back(std::to_wstring(l.level) + L" " + l.module + L" " + l.source + L" " + l.text);
    }
    EXPECT_EQ(lines, expected);
  }
  LogCapture log(L"*=2;Plugin ZYHOK Adapter=0");
  std::wstring version;
  EXPECT_EQ(zyhok::GetFileVersionString(versions + L"one_translation.dll", version), 1);
  EXPECT_EQ(version, L"3.1.7");
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}
// clang-format off
// A registered or journalled copy is retired only when its path names one of the four component files directly in,
// or one folder below, zyhok\20019\ZyMon or ...\AddOn of either staging root, in its plain full form, case ignored.
TEST(StagedComponentPath, OnlyComponentFilesOfTheStagingTreesInTheirPlainForm) {
  const std::wstring sys = StagingTree64() + L"\\20019\\", wow = StagingTree32() + L"\\20019\\";
  const std::pair<std::wstring, bool> cases[] = {
      {sys + L"ZyMon\\2.5.1043\\zymon64.dll", true}, {wow + L"ZyMon\\2.5.1043\\zymon.dll", true},
      {sys + L"AddOn\\1.0.5\\ZyHkEvt64.dll", true}, {Lower(wow) + L"addon\\1.0.5\\ZYHKEVT.DLL", true},
      {sys + L"ZyMon\\zymon64.dll", true}, {sys + L"ZyMon\\1\\2\\zymon64.dll", false},
      {sys + L"ZyMon\\\\zymon64.dll", false}, {sys + L"ZyMon\\1\\other.dll", false}, {sys + L"zymon64.dll", false},
      {sys + L"ZyMonX\\1\\zymon64.dll", false}, {sys + L"ZyMon\\x\\..\\1\\zymon64.dll", false},
      {sys + L"ZyMon\\1\\..\\..\\..\\..\\zymon64.dll", false}, {sys + L"ZyMon\\.\\zymon64.dll", false},
      {sys + L"ZyMon/1/zymon64.dll", false}, {sys + L"ZyMon\\1\\zymon64.dll.", false},
      {sys + L"ZyMon\\1\\zymon64.dll:x", false}, {L"\\\\?\\" + sys + L"ZyMon\\1\\zymon64.dll", false},
      {L"\\\\.\\" + sys + L"ZyMon\\1\\zymon64.dll", false}, {L"\\\\host\\c$\\zyhok\\20019\\ZyMon\\zymon.dll", false},
      {sys + L"ZyMon\\" + std::wstring(220, L'v') + L"\\zymon64.dll", false}, {L"C:\\zymon.dll", false}, {L"", false}};
  for (const auto& [path, staged] : cases) EXPECT_EQ(zyhok::IsStagedComponentPath(path), staged) << WideToUtf8(path);
}
// A FileVersion text names a version folder only as one folder name that Windows keeps as written, that no
// environment reference can change and that is no device, and with which the staged 64-bit file fits in 259 units
// in its drive-letter form and in its longer device form; staging takes any other text for an unreadable one.
// zyhost agrees, and names the system folders, below which it puts that file, as the library does.
TEST(VersionFolder, AFileVersionTextNamesOnePlainFolderThatFits) {
  wchar_t device[MAX_PATH] = {};  // the device form replaces "C:" with the drive's device name
  QueryDosDeviceW(SystemDir().substr(0, 2).c_str(), device, MAX_PATH);
  const size_t room = 259 - (wcslen(device) + SystemDir().size() - 2) - 19 - 1 - 13;  // \zyhok\20019\AddOn\, \, file
  const std::pair<std::wstring, bool> cases[] = {
      {L"1.0.5", true}, {L"1, 0, 0, 1", true}, {L"", true}, {L"..1", true}, {std::wstring(room, L'9'), true},
      {std::wstring(room + 1, L'9'), false}, {L"1.0\\..\\..\\x", false}, {L"1.0/5", false}, {L"C:5", false},
      {L"1\t0", false}, {L"1\x7f", true}, {L"1\x85", true}, {L".", false}, {L"..", false}, {L"1.0.", false},
      {L"1.0 ", false}, {L"%ACC_V%", false}, {L"1%", false}, {L"NUL", false}, {L"con.1", false}, {L"Com9", false},
      {L"LPT1.x.y", false}, {L"COM0", true}, {L"CONSOLE", true}, {L"AUXX.1", true}};
  for (const auto& [text, names] : cases) {
    EXPECT_EQ(zyhok::NamesVersionFolder(text, L"ZyHkEvt64.dll"), names) << WideToUtf8(text);
    EXPECT_EQ(zyhost::NamesVersionFolder(text, L"ZyHkEvt64.dll"), names) << WideToUtf8(text);
  }
  EXPECT_EQ(zyhost::SystemFolder() + L"|" + zyhost::Wow64Folder(),
            zyhok::GetSystemDirPath() + L"|" + zyhok::GetSysWow64DirPath());
}
// clang-format on
