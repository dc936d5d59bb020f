// Staging of the monitor engine and the event add-on from the fixture packages into Wine's real
// system32 and SysWOW64 folders, with the registry values that point the driver at the copies.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <string>
#include <utility>
#include <vector>

#include "staging/staging.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

const std::wstring kKey = L"SYSTEM\\CurrentControlSet\\Services\\zyhok";
const std::wstring kAddOn64Key = kKey + L"\\AddOn\\ZyHkEvt64";
const std::wstring kAddOn32Key = kKey + L"\\AddOn\\ZyHkEvt";
const std::wstring kExists = L"The file has been exists.";

std::wstring Wow64Dir() {
  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows, n) + L"\\SysWOW64";
}

// "<absent>" when the value cannot be read as REG_SZ.
std::wstring RegText(const std::wstring& key, const wchar_t* name) {
  wchar_t data[MAX_PATH * 2];
  DWORD size = sizeof(data);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
      ERROR_SUCCESS) {
    return L"<absent>";
  }
  return data;
}

// The drive-letter and device forms of a staged file, as the driver finds them registered.
void ExpectRegistered(const std::wstring& key, const wchar_t* name, const wchar_t* dev_name,
                      const std::wstring& file) {
  EXPECT_EQ(RegText(key, name), file);
  EXPECT_EQ(RegText(key, dev_name), zyhok::ConvertToDevicePath(file.c_str()));
}

void ExpectEngineRegistered(const std::wstring& native, const std::wstring& wow64) {
  ExpectRegistered(kKey, L"ZYHOKMonDll64Name", L"ZYHOKMonDll64NameDev", native + L"\\zymon64.dll");
  ExpectRegistered(kKey, L"ZYHOKMonDllName", L"ZYHOKMonDllNameDev", wow64 + L"\\zymon.dll");
}

void ExpectAddOnRegistered(const std::wstring& native, const std::wstring& wow64,
                           const std::wstring& version) {
  ExpectRegistered(kAddOn64Key, L"path", L"devpath", native + L"\\ZyHkEvt64.dll");
  ExpectRegistered(kAddOn32Key, L"path", L"devpath", wow64 + L"\\ZyHkEvt.dll");
  EXPECT_EQ(RegText(kAddOn64Key, L"version"), version);
  EXPECT_EQ(RegText(kAddOn32Key, L"version"), version);
}

// Every case starts and ends without staged folders and without the driver's service key.
class Staging : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    RemoveTree(SystemDir() + L"\\zyhok");
    RemoveTree(Wow64Dir() + L"\\zyhok");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey.c_str());
  }

  // Lines of the staging code itself (the version reader writes under another module).
  std::vector<std::wstring> StagingLines() const {
    std::vector<std::wstring> texts;
    for (const LogCapture::Line& line : log_.Lines()) {
      if (line.module != L"ZYHOK Driver Installation") continue;
      EXPECT_EQ(line.source, L"helperZYHOKDriver");
      texts.push_back(line.text);
    }
    return texts;
  }

  // Stages the engine or the add-on of `package`, whose files lie in `source`, and checks that both
  // were copied into `native` and `wow64`, the flag and the lines.
  void ExpectFreshlyStaged(const std::wstring& package, bool engine, const std::wstring& source,
                           const std::wstring& native, const std::wstring& wow64,
                           const std::wstring& version) {
    const std::wstring& shown = engine ? package : source;  // the path the lines name
    const wchar_t* file64 = engine ? L"\\zymon64.dll" : L"\\ZyHkEvt64.dll";
    const wchar_t* file32 = engine ? L"\\zymon.dll" : L"\\ZyHkEvt.dll";
    log_.Clear();
    uint32_t flag = 7;
    EXPECT_EQ(engine ? zyhok::StageMonitorEngine(package.c_str(), &flag)
                     : zyhok::StageEventAddOn(package.c_str(), &flag),
              1);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(ReadFileBytes(native + file64), ReadFileBytes(source + file64));
    EXPECT_EQ(ReadFileBytes(wow64 + file32), ReadFileBytes(source + file32));
    EXPECT_FALSE(ReadFileBytes(native + file64).empty());
    const std::vector<std::wstring> expected = {
        L"Engine Path is:" + shown, L"Engine Version is:" + version, L"fsTargetPath is:" + shown,
        L"fsOurPath is:" + native, L"fsOurPathWow64 is:" + wow64};
    EXPECT_EQ(StagingLines(), expected) << log_.Dump();
  }

  LogCapture log_;
};

TEST_F(Staging, EngineIsStagedPerVersionAndAlwaysRegistered) {
  const std::wstring v1 = PackageDir(L"v1"), v2 = PackageDir(L"v2");
  const std::wstring native = SystemDir() + L"\\zyhok\\20019\\ZyMon\\2.5.1043";
  const std::wstring wow64 = Wow64Dir() + L"\\zyhok\\20019\\ZyMon\\2.5.1043";

  // A package path with a trailing backslash stages the same files as one without.
  ExpectFreshlyStaged(v1 + L"\\", true, v1, native, wow64, L"2.5.1043");
  ExpectEngineRegistered(native, wow64);
  EXPECT_EQ(RegText(kKey, L"ZYHOKMonDll64NameDev").rfind(L"\\Device\\", 0), 0u);

  // The same package again copies nothing (the staged copy keeps its content) but registers again.
  ASSERT_TRUE(WriteFileBytes(native + L"\\zymon64.dll", "staged earlier"));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey.c_str());
  log_.Clear();
  uint32_t flag = 1;
  EXPECT_EQ(zyhok::StageMonitorEngine(v1.c_str(), &flag), 1);
  EXPECT_EQ(flag, 0u);
  EXPECT_EQ(ReadFileBytes(native + L"\\zymon64.dll"), "staged earlier");
  const std::vector<std::wstring> again = {
      L"Engine Path is:" + v1, L"Engine Version is:2.5.1043", L"fsTargetPath is:" + v1,
      L"fsOurPath is:" + native, kExists + L"\nTargetPath: " + v1 + L"\nOurPath: " + native,
      L"fsOurPathWow64 is:" + wow64, kExists};
  EXPECT_EQ(StagingLines(), again) << log_.Dump();
  ExpectEngineRegistered(native, wow64);

  // Another version gets its own folders; the earlier copies stay.
  const std::wstring native2 = SystemDir() + L"\\zyhok\\20019\\ZyMon\\2.6.1100";
  const std::wstring wow64_2 = Wow64Dir() + L"\\zyhok\\20019\\ZyMon\\2.6.1100";
  ExpectFreshlyStaged(v2, true, v2, native2, wow64_2, L"2.6.1100");
  ExpectEngineRegistered(native2, wow64_2);
  EXPECT_TRUE(FileExists(wow64 + L"\\zymon.dll"));
}

TEST_F(Staging, EngineWithoutVersionResourceOrWithout32BitFile) {
  TempDir package;
  ASSERT_TRUE(CopyFileW((FixturesDir() + L"\\versions\\no_version.dll").c_str(),
                        (package / L"zymon64.dll").c_str(), TRUE));
  const std::wstring native = SystemDir() + L"\\zyhok\\20019\\ZyMon";
  const std::wstring wow64 = Wow64Dir() + L"\\zyhok\\20019\\ZyMon";
  uint32_t flag = 1;
  EXPECT_EQ(zyhok::StageMonitorEngine(package.path().c_str(), &flag), 1);
  EXPECT_EQ(flag, 0u);
  EXPECT_TRUE(log_.Has(5, L"Retrieve engine version number failed:")) << log_.Dump();
  // The 64-bit file lies directly in ZyMon; the 32-bit one is missing but still registered.
  EXPECT_EQ(ReadFileBytes(native + L"\\zymon64.dll"), ReadFileBytes(package / L"zymon64.dll"));
  EXPECT_TRUE(FileExists(wow64));
  EXPECT_FALSE(FileExists(wow64 + L"\\zymon.dll"));
  const std::vector<std::wstring> lines = StagingLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kExists), 1) << log_.Dump();
  EXPECT_EQ(lines.back(), kExists);
  ExpectEngineRegistered(native, wow64);
}

TEST_F(Staging, AddOnComesFromBesideThePackageAndIsRegisteredOnlyWhenCopied) {
  const std::wstring v1 = PackageDir(L"v1"), v2 = PackageDir(L"v2");
  const std::wstring native = SystemDir() + L"\\zyhok\\20019\\AddOn\\1.0.5";
  const std::wstring wow64 = Wow64Dir() + L"\\zyhok\\20019\\AddOn\\1.0.5";
  ExpectFreshlyStaged(v1, false, v1 + L"\\AddOn", native, wow64, L"1.0.5");
  ExpectAddOnRegistered(native, wow64, L"1.0.5");

  // Again, with a trailing backslash: nothing copied, nothing registered.
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kAddOn64Key.c_str(), L"version", REG_SZ, L"kept", 10);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kAddOn32Key.c_str());
  log_.Clear();
  uint32_t flag = 1;
  EXPECT_EQ(zyhok::StageEventAddOn((v1 + L"\\").c_str(), &flag), 1);
  EXPECT_EQ(flag, 0u);
  const std::vector<std::wstring> lines = StagingLines();
  ASSERT_EQ(lines.size(), 7u) << log_.Dump();
  EXPECT_EQ(lines[0], L"Engine Path is:" + v1 + L"\\AddOn");
  EXPECT_EQ(lines[4], kExists + L"\nTargetPath: " + v1 + L"\\AddOn\nOurPath: " + native);
  EXPECT_EQ(lines[6], kExists);
  EXPECT_EQ(RegText(kAddOn64Key, L"version"), L"kept");
  EXPECT_EQ(RegText(kAddOn32Key, L"path"), L"<absent>");

  const std::wstring native2 = SystemDir() + L"\\zyhok\\20019\\AddOn\\1.0.6";
  const std::wstring wow64_2 = Wow64Dir() + L"\\zyhok\\20019\\AddOn\\1.0.6";
  ExpectFreshlyStaged(v2, false, v2 + L"\\AddOn", native2, wow64_2, L"1.0.6");
  ExpectAddOnRegistered(native2, wow64_2, L"1.0.6");
}

TEST_F(Staging, NullOrInvalidFoldersTouchNothing) {
  uint32_t flag = 1;
  EXPECT_EQ(zyhok::StageMonitorEngine(nullptr, &flag), 0);
  EXPECT_EQ(flag, 0u);
  flag = 1;
  EXPECT_EQ(zyhok::StageEventAddOn(nullptr, &flag), 0);
  EXPECT_EQ(flag, 0u);
  flag = 1;
  EXPECT_EQ(zyhok::StageEventAddOn(L"D:\\pkg\\7.1", &flag), 0);
  EXPECT_EQ(flag, 0u);
  const std::vector<std::wstring> errors = {L"The input folder path is null.",
                                            L"The input folder path is null.",
                                            L"The input folder path for AddOn is invalid."};
  EXPECT_EQ(log_.Texts(5), errors) << log_.Dump();
  EXPECT_FALSE(FileExists(SystemDir() + L"\\zyhok"));
  EXPECT_FALSE(FileExists(Wow64Dir() + L"\\zyhok"));
}

TEST_F(Staging, FolderThatCannotBeCreatedRaisesTheFileSystemError) {
  ASSERT_TRUE(CreateDirectoryW((SystemDir() + L"\\zyhok").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(SystemDir() + L"\\zyhok\\20019", "a file where a folder belongs"));
  for (bool engine : {true, false}) {
    uint32_t flag = 0;
    try {
      engine ? zyhok::StageMonitorEngine(PackageDir(L"v1").c_str(), &flag)
             : zyhok::StageEventAddOn(PackageDir(L"v1").c_str(), &flag);
      ADD_FAILURE() << "no error raised, engine=" << engine;
    } catch (const boost::filesystem::filesystem_error& error) {
      const std::string what = error.what();
      EXPECT_NE(what.find("boost::filesystem::create_directory"), std::string::npos) << what;
    }
  }
  EXPECT_EQ(RegText(kKey, L"ZYHOKMonDll64Name"), L"<absent>");
  EXPECT_EQ(RegText(kAddOn64Key, L"path"), L"<absent>");
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

}  // namespace
