// The environment table and the platform install-folder lookup, against Wine's real registry, shell
// folders and process environment. The install folder is computed here (a host of another name), in
// nexusDaemon.exe (a test host named like the platform's service host that prints the table its own
// start-up built) and in the DLL as it loads. HKLM\SOFTWARE\Velmora\ZEFA is put back as it was found.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "util/util_EnvironmentVar.h"

namespace {

using namespace zyhok_test;

const std::wstring kZefaKey = L"SOFTWARE\\Velmora\\ZEFA";
const std::wstring kOpenFail = L"regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =SOFTWARE\\Velmora\\ZEFA";
const std::wstring kQueryFail = L"regKey.QueryValue() fail!\nkey =SOFTWARE\\Velmora\\ZEFA,wstrItemName =InstallDir";

// Every line, marked unless it is a level-5 line of "Util COMMON" from util_EnvironmentVar.
std::vector<std::wstring> ErrorLines(const LogCapture& log) {
  std::vector<std::wstring> texts;
  for (const LogCapture::Line& line : log.Lines()) {
    const bool error = line.level == 5 && line.module == L"Util COMMON" && line.source == L"util_EnvironmentVar";
    texts.push_back((error ? L"" : L"unexpected: ") + line.text);
  }
  return texts;
}

// Runs nexusDaemon.exe as `exe` (a copy unless it is the built one) and reads "%zefa_install_path%"
// from the table it printed.
std::wstring HostInstallPath(const std::wstring& exe, const LogCapture& log, const TempDir& temp) {
  const std::wstring built = BinDir() + L"nexusDaemon.exe", output = temp / L"table.txt";
  EXPECT_TRUE(exe == built || CopyFileW(built.c_str(), exe.c_str(), FALSE)) << GetLastError();
  DeleteFileW(output.c_str());
  // journalsink.dll lies beside the built programs.
  const DWORD exit_code = ExitCodeOf(StartProcess(L"\"" + exe + L"\" \"" + output + L"\"", BinDir(),
                                                  {L"ZYJOURNAL_FILE=" + log.file(), L"ZYJOURNAL_LEVELS=*=2"}));
  if (exit_code != 0) return L"exit code " + std::to_wstring(exit_code);
  for (const std::wstring& line : SplitLines(Utf8ToWide(ReadFileBytes(output)))) {
    if (line.rfind(L"%zefa_install_path%\t", 0) == 0) return line.substr(20);
  }
  return L"no %zefa_install_path%";
}

// The registry wins over the host's own folder; a missing or empty value, or a missing key, logs its
// failing step and falls back to the host's folder, cut after the last folder named exactly like the
// platform's host (nothing for this test program, nor for a host whose name differs in case).
TEST(ZefaInstallPath, RegistryValueElseTheHostFolder) {
  const bool had_velmora = HklmKeyExists(L"SOFTWARE\\Velmora"), had_key = HklmKeyExists(kZefaKey);
  const RegValue saved = ReadHklmValue(kZefaKey, L"InstallDir");
  TempDir temp;
  const std::wstring named = temp / L"nexusDaemon.exe";
  ASSERT_TRUE(CreateDirectoryW(named.c_str(), nullptr) && CreateDirectoryW((temp / L"other").c_str(), nullptr));
  const struct {
    const char* name;
    bool key;
    const wchar_t* value;  // null: no value
    std::wstring host, here, in_host, error;
  } rows[] = {
      {"value", true, L"D:\\Velmora Apps\\ZEFA", BinDir() + L"nexusDaemon.exe", L"D:\\Velmora Apps\\ZEFA",
       L"D:\\Velmora Apps\\ZEFA", L""},
      {"value missing", true, nullptr, BinDir() + L"nexusDaemon.exe", L"", BinDir(), kQueryFail},
      {"value empty", true, L"", BinDir() + L"nexusDaemon.exe", L"", BinDir(), kQueryFail},
      {"key missing", false, nullptr, BinDir() + L"nexusDaemon.exe", L"", BinDir(), kOpenFail},
      {"host in a folder named like it", false, nullptr, named + L"\\nexusDaemon.exe", L"", named + L"\\", kOpenFail},
      {"host named in another case", false, nullptr, temp / L"other\\NexusDaemon.exe", L"", L"", kOpenFail},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DeleteHklmTree(kZefaKey);
    zyhok::UniqueHKey key;
    ASSERT_TRUE(!row.key || RegCreateKeyW(HKEY_LOCAL_MACHINE, kZefaKey.c_str(), key.put()) == ERROR_SUCCESS);
    ASSERT_TRUE(!row.value || WriteHklmValue(kZefaKey, L"InstallDir", Sz(row.value)) == ERROR_SUCCESS);
    const std::vector<std::wstring> errors = row.error.empty() ? std::vector<std::wstring>() : std::vector<std::wstring>{row.error};
    LogCapture here;
    EXPECT_EQ(zyhok::GetZefaInstallPath(), row.here);
    EXPECT_EQ(ErrorLines(here), errors) << here.Dump();
    LogCapture in_host;
    EXPECT_EQ(HostInstallPath(row.host, in_host, temp), row.in_host);
    EXPECT_EQ(ErrorLines(in_host), errors) << in_host.Dump();
  }
  // The DLL builds its table while it loads, before any export is called, and only then.
  LogCapture log;
  zyhok::UniqueModule dll(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
  ASSERT_TRUE(dll.valid()) << GetLastError();
  EXPECT_EQ(ErrorLines(log), std::vector<std::wstring>({kOpenFail})) << log.Dump();
  auto owner_id = reinterpret_cast<uint32_t (*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll.get(), "Plugin_Interface_GetHelperOwnerModuleID")));
  ASSERT_NE(owner_id, nullptr);
  EXPECT_EQ(owner_id(), 20020u);
  dll.reset();
  EXPECT_EQ(ErrorLines(log), std::vector<std::wstring>({kOpenFail})) << log.Dump();

  DeleteHklmTree(had_velmora ? kZefaKey : L"SOFTWARE\\Velmora");
  zyhok::UniqueHKey key;
  if (had_key) RegCreateKeyW(HKEY_LOCAL_MACHINE, kZefaKey.c_str(), key.put());
  if (saved.error == ERROR_SUCCESS) WriteHklmValue(kZefaKey, L"InstallDir", saved);
}

// The 28 tokens in order, at load and on request; "%APPDATA%" is the all-users folder whatever this
// user's own says; a variable that is not set stays a token; values of any length come back whole.
TEST(EnvironmentTable, TokensAndTheirValues) {
  const std::vector<std::wstring> tokens = {
      L"%ALLUSERSPROFILE%", L"%APPDATA%", L"%COMPUTERNAME%", L"%COMSPEC%", L"%HOMEDRIVE%",
      L"%HOMEPATH%", L"%NUMBER_OF_PROCESSORS%", L"%OS%", L"%PATH%", L"%PATHEXT%",
      L"%PROCESSOR_ARCHITECTURE%", L"%PROCESSOR_IDENTIFIER%", L"%PROCESSOR_LEVEL%",
      L"%PROCESSOR_REVISION%", L"%PROGRAMFILES%", L"%PROMPT%", L"%SYSTEMDRIVE%", L"%SYSTEMROOT%",
      L"%TEMP%", L"%TMP%", L"%USERNAME%", L"%USERPROFILE%", L"%WINDIR%", L"%zefa_data_path%",
      L"%zefa_install_path%", L"%zefa_quarantine_path%", L"%zefa_temp_path%", L"%zefa_virus_path%"};
  SetEnvironmentVariableW(L"APPDATA", L"C:\\users\\someone\\AppData\\Roaming");
  SetEnvironmentVariableW(L"PROMPT", nullptr);
  SetEnvironmentVariableW(L"OS", L"Windows_NT");
  for (const zyhok::EnvironmentVarTable& table : {zyhok::BuildEnvironmentVarMap(), zyhok::EnvironmentVarMap()}) {
    std::vector<std::wstring> keys;
    for (const auto& entry : table) keys.push_back(entry.first);
    EXPECT_EQ(keys, tokens);
  }
  wchar_t common[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common), S_OK);
  const std::wstring zefa = std::wstring(common) + L"\\Velmora\\ZEFA\\";
  const zyhok::EnvironmentVarTable table = zyhok::BuildEnvironmentVarMap();
  EXPECT_EQ(table.at(L"%APPDATA%"), common);
  EXPECT_EQ(zyhok::EnvironmentVarMap().at(L"%APPDATA%"), common);
  EXPECT_EQ(table.at(L"%zefa_data_path%"), zefa);
  EXPECT_EQ(table.at(L"%zefa_temp_path%"), zefa + L"temp\\");
  EXPECT_EQ(table.at(L"%zefa_quarantine_path%"), zefa + L"quarantine\\");
  EXPECT_EQ(table.at(L"%zefa_virus_path%"), zefa + L"temp\\virus\\");
  EXPECT_EQ(table.at(L"%PROMPT%"), L"%PROMPT%");
  EXPECT_EQ(table.at(L"%OS%"), L"Windows_NT");
  for (size_t length : {707u, 258u, 260u}) {
    const std::wstring value = L"C:\\" + std::wstring(length - 3, L'x');
    SetEnvironmentVariableW(L"ZYHOK_TEST_LONG", value.c_str());
    EXPECT_EQ(zyhok::ExpandEnvVar(L"%ZYHOK_TEST_LONG%"), value) << length;
  }
}

}  // namespace
