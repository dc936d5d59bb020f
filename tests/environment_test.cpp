// The environment table and the platform install-folder lookup, against Wine's real registry, shell
// folders and process environment. The install folder is checked in this process (a host of another
// name), in nexusDaemon.exe (a test host named like the platform's service host that prints the table
// its start-up built) and in the DLL as it loads. The real HKLM\SOFTWARE\Velmora\ZEFA key is put back
// as it was found after every case.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "util/handle.h"
#include "util/util_EnvironmentVar.h"

namespace {

using namespace zyhok_test;
using zyhok::EnvironmentVarTable;

constexpr const wchar_t* kVelmoraKey = L"SOFTWARE\\Velmora";
constexpr const wchar_t* kZefaKey = L"SOFTWARE\\Velmora\\ZEFA";
const std::wstring kOpenFailLine =
    L"regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =SOFTWARE\\Velmora\\ZEFA";
const std::wstring kQueryFailLine =
    L"regKey.QueryValue() fail!\nkey =SOFTWARE\\Velmora\\ZEFA,wstrItemName =InstallDir";

// The texts of all lines; any but a level-5 line of "Util COMMON" from util_EnvironmentVar is marked.
std::vector<std::wstring> ErrorLines(const LogCapture& log) {
  std::vector<std::wstring> texts;
  for (const LogCapture::Line& line : log.Lines()) {
    const bool error = line.level == 5 && line.module == L"Util COMMON" && line.source == L"util_EnvironmentVar";
    texts.push_back((error ? L"" : L"unexpected: ") + line.text);
  }
  return texts;
}

// Sets (or with null, removes) an environment variable of this process for the object's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    std::vector<wchar_t> old(32768);
    const DWORD n = GetEnvironmentVariableW(name, old.data(), 32768);
    had_ = n > 0 && n < 32768;
    if (had_) old_.assign(old.data(), n);
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }

 private:
  std::wstring name_, old_;
  bool had_ = false;
};

// The real ZEFA key: each case arranges it, and it is put back as it was found.
class ZefaInstallPath : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = ReadHklmValue(kZefaKey, L"InstallDir"); }

  void TearDown() override {
    if (!had_velmora_) {
      DeleteHklmTree(kVelmoraKey);
    } else if (!had_zefa_) {
      DeleteHklmTree(kZefaKey);
    } else if (saved_.error == ERROR_SUCCESS) {
      EXPECT_EQ(WriteHklmValue(kZefaKey, L"InstallDir", saved_), ERROR_SUCCESS);
    } else {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kZefaKey, L"InstallDir");
    }
    EXPECT_EQ(HklmKeyExists(kVelmoraKey), had_velmora_);
    EXPECT_EQ(HklmKeyExists(kZefaKey), had_zefa_);
  }

  // The key absent, or present with "InstallDir" missing (null) or stored as REG_SZ.
  void Arrange(bool key, const wchar_t* install_dir = nullptr) {
    DeleteHklmTree(kZefaKey);
    zyhok::UniqueHKey created;
    EXPECT_TRUE(!key || RegCreateKeyW(HKEY_LOCAL_MACHINE, kZefaKey, created.put()) == ERROR_SUCCESS);
    EXPECT_TRUE(!install_dir || WriteHklmValue(kZefaKey, L"InstallDir", Sz(install_dir)) == ERROR_SUCCESS);
  }

  // Runs nexusDaemon.exe at `exe` (copied there from the build folder unless it is the built one),
  // logging into `log`'s file, and reads back "%zefa_install_path%" from the table it printed.
  std::wstring HostInstallPath(const std::wstring& exe, const LogCapture& log) {
    const std::wstring built = BinDir() + L"nexusDaemon.exe";
    EXPECT_TRUE(exe == built || CopyFileW(built.c_str(), exe.c_str(), FALSE)) << GetLastError();
    const std::wstring output = temp_ / L"table.txt";
    DeleteFileW(output.c_str());
    ScopedEnv journal_file(L"ZYJOURNAL_FILE", log.file().c_str());
    ScopedEnv journal_levels(L"ZYJOURNAL_LEVELS", L"*=2");
    std::wstring command = L"\"" + exe + L"\" \"" + output + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // journalsink.dll lies beside the built programs.
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, BinDir().c_str(),
                        &startup, &process)) {
      return L"CreateProcessW failed: " + std::to_wstring(GetLastError());
    }
    zyhok::UniqueKernelHandle process_handle(process.hProcess), thread_handle(process.hThread);
    DWORD exit_code = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exit_code);
    if (exit_code != 0) return L"exit code " + std::to_wstring(exit_code);
    const std::wstring token = L"%zefa_install_path%\t";
    for (const std::wstring& line : SplitLines(Utf8ToWide(ReadFileBytes(output)))) {
      if (line.compare(0, token.size(), token) == 0) return line.substr(token.size());
    }
    return L"no " + token;
  }

  // The install path and error lines, computed in this process and in the built host program.
  void ExpectInstallPath(const std::wstring& here, const std::wstring& in_host,
                         const std::vector<std::wstring>& errors) {
    {
      LogCapture log;
      EXPECT_EQ(zyhok::GetZefaInstallPath(), here);
      EXPECT_EQ(ErrorLines(log), errors) << log.Dump();
    }
    LogCapture log;
    EXPECT_EQ(HostInstallPath(BinDir() + L"nexusDaemon.exe", log), in_host);
    EXPECT_EQ(ErrorLines(log), errors) << log.Dump();
  }

  TempDir temp_;

 private:
  bool had_velmora_ = HklmKeyExists(kVelmoraKey);
  bool had_zefa_ = HklmKeyExists(kZefaKey);
  RegValue saved_;
};

// The registry wins over the host's own folder; a missing or empty value, or a missing key, logs its
// failing step and falls back to the host's folder (nothing in this process, not nexusDaemon.exe).
TEST_F(ZefaInstallPath, RegistryValueElseTheHostFolder) {
  Arrange(true, L"D:\\Velmora Apps\\ZEFA");
  ExpectInstallPath(L"D:\\Velmora Apps\\ZEFA", L"D:\\Velmora Apps\\ZEFA", {});
  EXPECT_EQ(zyhok::BuildEnvironmentVarMap().at(L"%zefa_install_path%"), L"D:\\Velmora Apps\\ZEFA");
  {
    SCOPED_TRACE("value missing");
    Arrange(true);
    ExpectInstallPath(L"", BinDir(), {kQueryFailLine});
  }
  {
    SCOPED_TRACE("value empty");
    Arrange(true, L"");
    ExpectInstallPath(L"", BinDir(), {kQueryFailLine});
  }
  SCOPED_TRACE("key missing");
  Arrange(false);
  ExpectInstallPath(L"", BinDir(), {kOpenFailLine});
}

// A folder named like the host holding it is cut at the last occurrence; a host whose name differs
// only in case is not the platform's host.
TEST_F(ZefaInstallPath, HostFolderIsCutAtTheLastExactName) {
  Arrange(false);
  const std::wstring folder = temp_ / L"nexusDaemon.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((temp_ / L"other").c_str(), nullptr));
  const std::wstring cases[][2] = {{folder + L"\\nexusDaemon.exe", folder + L"\\"},
                                   {temp_ / L"other\\NexusDaemon.exe", L""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c[0]));
    LogCapture log;
    EXPECT_EQ(HostInstallPath(c[0], log), c[1]);
    EXPECT_EQ(ErrorLines(log), std::vector<std::wstring>({kOpenFailLine})) << log.Dump();
  }
}

// The DLL builds its table while it loads, before any export is called, and only then.
TEST_F(ZefaInstallPath, DllBuildsTheTableOnceAsItLoads) {
  Arrange(false);
  LogCapture log;
  {
    zyhok::UniqueModule dll(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
    ASSERT_TRUE(dll.valid()) << GetLastError();
    EXPECT_EQ(ErrorLines(log), std::vector<std::wstring>({kOpenFailLine})) << log.Dump();
    auto owner_id = reinterpret_cast<uint32_t (*)()>(
        reinterpret_cast<void*>(GetProcAddress(dll.get(), "Plugin_Interface_GetHelperOwnerModuleID")));
    ASSERT_NE(owner_id, nullptr);
    EXPECT_EQ(owner_id(), 20020u);
  }
  EXPECT_EQ(ErrorLines(log), std::vector<std::wstring>({kOpenFailLine})) << log.Dump();
}

TEST(EnvironmentTable, HoldsTheTwentyEightTokensAtLoadAndOnRequest) {
  const std::vector<std::wstring> tokens = {
      L"%ALLUSERSPROFILE%", L"%APPDATA%", L"%COMPUTERNAME%", L"%COMSPEC%", L"%HOMEDRIVE%",
      L"%HOMEPATH%", L"%NUMBER_OF_PROCESSORS%", L"%OS%", L"%PATH%", L"%PATHEXT%",
      L"%PROCESSOR_ARCHITECTURE%", L"%PROCESSOR_IDENTIFIER%", L"%PROCESSOR_LEVEL%",
      L"%PROCESSOR_REVISION%", L"%PROGRAMFILES%", L"%PROMPT%", L"%SYSTEMDRIVE%", L"%SYSTEMROOT%",
      L"%TEMP%", L"%TMP%", L"%USERNAME%", L"%USERPROFILE%", L"%WINDIR%", L"%zefa_data_path%",
      L"%zefa_install_path%", L"%zefa_quarantine_path%", L"%zefa_temp_path%", L"%zefa_virus_path%"};
  for (const EnvironmentVarTable& table : {zyhok::BuildEnvironmentVarMap(), zyhok::EnvironmentVarMap()}) {
    std::vector<std::wstring> keys;
    for (const auto& entry : table) keys.push_back(entry.first);
    EXPECT_EQ(keys, tokens);
  }
}

TEST(EnvironmentTable, ValuesAreTheAllUsersFoldersOrExpandedVariables) {
  // Whatever this user's own APPDATA says, "%APPDATA%" is the all-users folder.
  ScopedEnv user_appdata(L"APPDATA", L"C:\\users\\someone\\AppData\\Roaming");
  ScopedEnv prompt(L"PROMPT", nullptr);
  ScopedEnv os(L"OS", L"Windows_NT");
  wchar_t common[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common), S_OK);
  const std::wstring zefa = std::wstring(common) + L"\\Velmora\\ZEFA\\";
  const EnvironmentVarTable table = zyhok::BuildEnvironmentVarMap();
  EXPECT_EQ(table.at(L"%APPDATA%"), common);
  EXPECT_EQ(table.at(L"%zefa_data_path%"), zefa);
  EXPECT_EQ(table.at(L"%zefa_temp_path%"), zefa + L"temp\\");
  EXPECT_EQ(table.at(L"%zefa_quarantine_path%"), zefa + L"quarantine\\");
  EXPECT_EQ(table.at(L"%zefa_virus_path%"), zefa + L"temp\\virus\\");
  EXPECT_EQ(zyhok::EnvironmentVarMap().at(L"%APPDATA%"), common);
  EXPECT_EQ(table.at(L"%PROMPT%"), L"%PROMPT%");  // not set: the token stays
  EXPECT_EQ(table.at(L"%OS%"), L"Windows_NT");
}

// Values of any length come back whole: far longer than a path buffer, and on either side of its end.
TEST(EnvironmentTable, ValuesLongerThanAPathBufferAreKeptWhole) {
  for (size_t length : {707u, 258u, 260u}) {
    SCOPED_TRACE(length);
    const std::wstring value = L"C:\\" + std::wstring(length - 3, L'x');
    ScopedEnv variable(L"ZYHOK_TEST_LONG", value.c_str());
    EXPECT_EQ(zyhok::ExpandEnvVar(L"%ZYHOK_TEST_LONG%"), value);
  }
}

}  // namespace
