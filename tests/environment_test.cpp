// The environment table and the platform install-folder lookup, against Wine's real registry, shell
// folders and process environment. HKLM\SOFTWARE\Velmora is removed again: the other tests' stories expect none.
#include "support/test_support.h"
#include <shlobj.h>
#include "util/util_EnvironmentVar.h"

using namespace zyhok_test;
using Texts = std::vector<std::wstring>;
const std::wstring kZefaKey = L"SOFTWARE\\Velmora\\ZEFA";
const std::wstring kOpenFail = L"regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =" + kZefaKey;
const std::wstring kQueryFail = L"regKey.QueryValue() fail!\nkey =" + kZefaKey + L",wstrItemName =InstallDir";
// The registry value wins; a missing or empty value, or a missing key, logs its failing step and falls
// back to the host's folder cut after the last folder named exactly like the platform's host (nothing
// for a host whose name differs in case). Seen in nexusDaemon.exe run as each host: it prints the table
// its start-up built, as the DLL builds it once per load (concurrency_slow_test).
TEST(ZefaInstallPath, RegistryValueElseTheHostFolder) {
  struct RemoveAtEnd {
    ~RemoveAtEnd() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmora"); }
  } remove_at_end;
  TempDir temp;
  const std::wstring named = temp / L"nexusDaemon.exe", built = BinDir() + L"nexusDaemon.exe", bin = BinDir();
  ASSERT_TRUE(CreateDirectoryW(named.c_str(), {}) && CreateDirectoryW((temp / L"other").c_str(), {}));
  const struct {
    bool key;
    const wchar_t* value;
    std::wstring host, in_host, error;
  } rows[] = {{true, L"D:\\Velmora Apps\\ZEFA", built, L"D:\\Velmora Apps\\ZEFA", L""},
              {true, nullptr, built, bin, kQueryFail},  // value: null for none
              {true, L"", built, bin, kQueryFail},
              {false, nullptr, built, bin, kOpenFail},
              {false, nullptr, named + L"\\nexusDaemon.exe", named + L"\\", kOpenFail},
              {false, nullptr, temp / L"other\\NexusDaemon.exe", L"", kOpenFail}};
  for (const auto& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.host) + (row.key ? " key" : "") + (row.value ? " value" : ""));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kZefaKey.c_str());
    zyhok::UniqueHKey key;
    ASSERT_TRUE(!row.key || RegCreateKeyW(HKEY_LOCAL_MACHINE, kZefaKey.c_str(), key.put()) == ERROR_SUCCESS);
    ASSERT_TRUE(!row.value || WriteHklmValue(kZefaKey, L"InstallDir", Sz(row.value)) == ERROR_SUCCESS);
    const Texts errors(row.error.empty() ? 0 : 1, L"5u " + row.error);  // "Util COMMON"
    LogCapture in_host;
    const std::wstring table = temp / L"table.txt";
    ASSERT_TRUE(row.host == built || CopyFileW(built.c_str(), row.host.c_str(), FALSE)) << GetLastError();
    DeleteFileW(table.c_str());
    EXPECT_EQ(ExitCodeOf(StartProcess(L"\"" + row.host + L"\" \"" + table + L"\"", bin,  // journalsink.dll
                                      {L"ZYJOURNAL_FILE=" + in_host.file(), L"ZYJOURNAL_LEVELS=*=2"})), 0u);
    const std::string bytes = ReadFileBytes(table);  // UTF-16, every line ending in CR LF
    const std::wstring lines = L"\r\n" + std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(lines.find(L"\r\n%zefa_install_path%\t" + row.in_host + L"\r\n"), std::wstring::npos);
    EXPECT_EQ(in_host.Told(), errors);
  }
}
// The 28 tokens in order, at load and on request; "%APPDATA%" is the all-users folder whatever this
// user's own says; a variable that is not set stays a token; values of any length come back whole.
TEST(EnvironmentTable, TokensAndTheirValues) {
  const Texts tokens = {
      L"%ALLUSERSPROFILE%", L"%APPDATA%", L"%COMPUTERNAME%", L"%COMSPEC%", L"%HOMEDRIVE%", L"%HOMEPATH%",
      L"%NUMBER_OF_PROCESSORS%", L"%OS%", L"%PATH%", L"%PATHEXT%", L"%PROCESSOR_ARCHITECTURE%",
      L"%PROCESSOR_IDENTIFIER%", L"%PROCESSOR_LEVEL%", L"%PROCESSOR_REVISION%", L"%PROGRAMFILES%",
      L"%PROMPT%", L"%SYSTEMDRIVE%", L"%SYSTEMROOT%", L"%TEMP%", L"%TMP%", L"%USERNAME%", L"%USERPROFILE%",
      L"%WINDIR%", L"%zefa_data_path%", L"%zefa_install_path%", L"%zefa_quarantine_path%",
      L"%zefa_temp_path%", L"%zefa_virus_path%"};
  SetEnvironmentVariableW(L"APPDATA", L"C:\\users\\someone\\AppData\\Roaming");
  SetEnvironmentVariableW(L"PROMPT", nullptr);
  SetEnvironmentVariableW(L"OS", L"Windows_NT");
  wchar_t common[MAX_PATH] = {};
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common), S_OK);
  const std::wstring zefa = std::wstring(common) + L"\\Velmora\\ZEFA\\";
  for (const auto& table : {zyhok::BuildEnvironmentVarMap(), zyhok::EnvironmentVarMap()}) {
    Texts keys;
    for (const auto& entry : table) keys.push_back(entry.first);
    EXPECT_EQ(keys, tokens);
    EXPECT_EQ(table.at(L"%APPDATA%"), common);
  }
  const zyhok::EnvironmentVarTable table = zyhok::BuildEnvironmentVarMap();
  for (const auto& [token, value] : {std::pair<const wchar_t*, std::wstring>{L"%zefa_data_path%", zefa},
           {L"%zefa_temp_path%", zefa + L"temp\\"}, {L"%zefa_quarantine_path%", zefa + L"quarantine\\"},
           {L"%zefa_virus_path%", zefa + L"temp\\virus\\"}, {L"%PROMPT%", L"%PROMPT%"},
           {L"%OS%", L"Windows_NT"}}) {
    EXPECT_EQ(table.at(token), value) << WideToUtf8(token);
  }
  for (size_t length : {707u, 258u, 260u}) {
    const std::wstring value = L"C:\\" + std::wstring(length - 3, L'x');
    SetEnvironmentVariableW(L"ZYHOK_TEST_LONG", value.c_str());
    EXPECT_EQ(zyhok::ExpandEnvVar(L"%ZYHOK_TEST_LONG%"), value) << length;
  }
}
