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
using zyhok::UniqueHKey;
using zyhok::UniqueKernelHandle;
using zyhok::UniqueModule;

constexpr const wchar_t* kVelmoraKey = L"SOFTWARE\\Velmora";
constexpr const wchar_t* kZefaKey = L"SOFTWARE\\Velmora\\ZEFA";
const std::wstring kOpenFailLine =
    L"regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =SOFTWARE\\Velmora\\ZEFA";
const std::wstring kQueryFailLine =
    L"regKey.QueryValue() fail!\nkey =SOFTWARE\\Velmora\\ZEFA,wstrItemName =InstallDir";

bool KeyExists(const wchar_t* sub_key) {
  UniqueHKey key;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
         ERROR_SUCCESS;
}

void DeleteKeyTree(const wchar_t* sub_key) {
  {
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
      return;
    }
    RegDeleteTreeW(key.get(), nullptr);
  }
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, sub_key, KEY_WOW64_64KEY, 0);
}

// How many level-5 lines of module "Util COMMON" from util_EnvironmentVar carry exactly `text`.
int CountErrorLines(const LogCapture& log, const std::wstring& text) {
  int count = 0;
  for (const LogCapture::Line& line : log.Lines()) {
    if (line.level == 5 && line.module == L"Util COMMON" && line.source == L"util_EnvironmentVar" &&
        line.text == text) {
      ++count;
    }
  }
  return count;
}

std::wstring CommonAppData() {
  wchar_t folder[MAX_PATH] = {};
  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder), S_OK);
  return folder;
}

// Sets (or with null, removes) an environment variable of this process for the object's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const wchar_t* value) : name_(name) {
    wchar_t old[32768];
    const DWORD n = GetEnvironmentVariableW(name, old, 32768);
    had_ = n > 0 && n < 32768;
    if (had_) old_.assign(old, n);
    SetEnvironmentVariableW(name, value);
  }
  ~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::wstring name_, old_;
  bool had_ = false;
};

// The real ZEFA key: each case arranges it, and it is put back as it was found.
class ZefaInstallPath : public ::testing::Test {
 protected:
  void SetUp() override {
    had_velmora_ = KeyExists(kVelmoraKey);
    had_zefa_ = KeyExists(kZefaKey);
    if (had_zefa_) {
      UniqueHKey key;
      ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kZefaKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()),
                ERROR_SUCCESS);
      DWORD size = sizeof(saved_data_);
      had_value_ = RegQueryValueExW(key.get(), L"InstallDir", nullptr, &saved_type_, saved_data_,
                                    &size) == ERROR_SUCCESS;
      saved_size_ = size;
    }
  }

  void TearDown() override {
    if (!had_velmora_) {
      DeleteKeyTree(kVelmoraKey);
    } else if (!had_zefa_) {
      DeleteKeyTree(kZefaKey);
    } else {
      UniqueHKey key;
      ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kZefaKey, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              key.put()),
                ERROR_SUCCESS);
      if (had_value_) {
        RegSetValueExW(key.get(), L"InstallDir", 0, saved_type_, saved_data_, saved_size_);
      } else {
        RegDeleteValueW(key.get(), L"InstallDir");
      }
    }
    EXPECT_EQ(KeyExists(kVelmoraKey), had_velmora_);
    EXPECT_EQ(KeyExists(kZefaKey), had_zefa_);
  }

  // Leaves the ZEFA key absent.
  void RemoveZefaKey() { DeleteKeyTree(kZefaKey); }

  // Creates the ZEFA key; with a value, stores it as "InstallDir" (REG_SZ), else removes that value.
  void PrepareZefaKey(const wchar_t* install_dir) {
    UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kZefaKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    if (install_dir == nullptr) {
      RegDeleteValueW(key.get(), L"InstallDir");
      return;
    }
    const DWORD bytes = static_cast<DWORD>((wcslen(install_dir) + 1) * sizeof(wchar_t));
    ASSERT_EQ(RegSetValueExW(key.get(), L"InstallDir", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(install_dir), bytes),
              ERROR_SUCCESS);
  }

  struct HostRun {
    DWORD exit_code = 0xFFFFFFFF;
    EnvironmentVarTable table;
  };

  // Runs nexusDaemon.exe at `exe` (copied there from the build folder unless it is the built one),
  // logging into `log`'s file, and reads back the table it printed.
  HostRun RunHost(const std::wstring& exe, const LogCapture& log) {
    HostRun run;
    const std::wstring built = BinDir() + L"nexusDaemon.exe";
    if (exe != built) {
      EXPECT_TRUE(CopyFileW(built.c_str(), exe.c_str(), FALSE)) << GetLastError();
    }
    const std::wstring output = temp_ / L"table.txt";
    DeleteFileW(output.c_str());
    ScopedEnv journal_file(L"ZYJOURNAL_FILE", log.file().c_str());
    ScopedEnv journal_levels(L"ZYJOURNAL_LEVELS", L"*=2");

    std::wstring command = L"\"" + exe + L"\" \"" + output + L"\"";
    const std::wstring bin = BinDir();  // journalsink.dll lies beside the built programs
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, bin.c_str(),
                        &startup, &process)) {
      ADD_FAILURE() << "CreateProcessW: " << GetLastError();
      return run;
    }
    UniqueKernelHandle process_handle(process.hProcess);
    UniqueKernelHandle thread_handle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exit_code);

    const std::wstring text = Utf8ToWide(ReadFileBytes(output));
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find(L"\r\n", pos);
      if (end == std::wstring::npos) end = text.size();
      const std::wstring line = text.substr(pos, end - pos);
      pos = end + 2;
      const size_t tab = line.find(L'\t');
      if (tab != std::wstring::npos) run.table[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return run;
  }

  TempDir temp_;

 private:
  bool had_velmora_ = false;
  bool had_zefa_ = false;
  bool had_value_ = false;
  DWORD saved_type_ = 0;
  BYTE saved_data_[2048] = {};
  DWORD saved_size_ = 0;
};

TEST_F(ZefaInstallPath, RegistryValueIsTakenAsStoredWithoutLogging) {
  PrepareZefaKey(L"D:\\Velmora Apps\\ZEFA");
  {
    LogCapture log;
    EXPECT_EQ(zyhok::GetZefaInstallPath(), L"D:\\Velmora Apps\\ZEFA");
    EXPECT_EQ(zyhok::BuildEnvironmentVarMap().at(L"%zefa_install_path%"), L"D:\\Velmora Apps\\ZEFA");
    EXPECT_TRUE(log.Texts().empty()) << log.Dump();
  }

  // The registry wins over the host's own folder.
  LogCapture log;
  const HostRun run = RunHost(BinDir() + L"nexusDaemon.exe", log);
  ASSERT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.table.at(L"%zefa_install_path%"), L"D:\\Velmora Apps\\ZEFA");
  EXPECT_TRUE(log.Texts().empty()) << log.Dump();
}

TEST_F(ZefaInstallPath, MissingOrEmptyValueLogsTheQueryAndFallsBackToTheHostFolder) {
  for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L""}) {
    SCOPED_TRACE(value == nullptr ? "value missing" : "value empty");
    PrepareZefaKey(value);
    {
      LogCapture log;
      EXPECT_EQ(zyhok::GetZefaInstallPath(), L"");  // this host is not nexusDaemon.exe
      EXPECT_EQ(CountErrorLines(log, kQueryFailLine), 1) << log.Dump();
      EXPECT_EQ(CountErrorLines(log, kOpenFailLine), 0) << log.Dump();
    }

    LogCapture log;
    const HostRun run = RunHost(BinDir() + L"nexusDaemon.exe", log);
    ASSERT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.table.at(L"%zefa_install_path%"), BinDir());
    EXPECT_EQ(CountErrorLines(log, kQueryFailLine), 1) << log.Dump();
    EXPECT_EQ(CountErrorLines(log, kOpenFailLine), 0) << log.Dump();
  }
}

TEST_F(ZefaInstallPath, MissingKeyLogsTheOpenAndFallsBackToTheHostFolder) {
  RemoveZefaKey();
  {
    LogCapture log;
    EXPECT_EQ(zyhok::BuildEnvironmentVarMap().at(L"%zefa_install_path%"), L"");
    EXPECT_EQ(CountErrorLines(log, kOpenFailLine), 1) << log.Dump();
    EXPECT_EQ(CountErrorLines(log, kQueryFailLine), 0) << log.Dump();
  }

  LogCapture log;
  const HostRun run = RunHost(BinDir() + L"nexusDaemon.exe", log);
  ASSERT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.table.at(L"%zefa_install_path%"), BinDir());
  EXPECT_EQ(CountErrorLines(log, kOpenFailLine), 1) << log.Dump();
  EXPECT_EQ(CountErrorLines(log, kQueryFailLine), 0) << log.Dump();
}

// The host's path names nexusDaemon.exe twice (a folder of that name holding the program): the folder
// is cut at the last occurrence.
TEST_F(ZefaInstallPath, PathNamingTheHostTwiceIsCutAtTheLastOccurrence) {
  RemoveZefaKey();
  const std::wstring folder = temp_ / L"nexusDaemon.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  LogCapture log;
  const HostRun run = RunHost(folder + L"\\nexusDaemon.exe", log);
  ASSERT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.table.at(L"%zefa_install_path%"), folder + L"\\");
}

// Another host program with the same name in another case is not the platform's host.
TEST_F(ZefaInstallPath, HostMatchIsCaseSensitive) {
  RemoveZefaKey();
  LogCapture log;
  const HostRun run = RunHost(temp_ / L"NexusDaemon.exe", log);
  ASSERT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.table.at(L"%zefa_install_path%"), L"");
  EXPECT_EQ(CountErrorLines(log, kOpenFailLine), 1) << log.Dump();
}

// The DLL builds its table while it loads, before any export is called, and only then.
TEST_F(ZefaInstallPath, DllBuildsTheTableOnceAsItLoads) {
  RemoveZefaKey();
  LogCapture log;
  {
    UniqueModule dll(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
    ASSERT_TRUE(dll.valid()) << GetLastError();
    EXPECT_EQ(CountErrorLines(log, kOpenFailLine), 1) << log.Dump();
    using OwnerIdFn = uint32_t (*)();
    auto owner_id = reinterpret_cast<OwnerIdFn>(
        reinterpret_cast<void*>(GetProcAddress(dll.get(), "Plugin_Interface_GetHelperOwnerModuleID")));
    ASSERT_NE(owner_id, nullptr);
    EXPECT_EQ(owner_id(), 20020u);
  }
  EXPECT_EQ(CountErrorLines(log, kOpenFailLine), 1) << log.Dump();
}

class EnvironmentTable : public ::testing::Test {};

TEST_F(EnvironmentTable, HoldsTheTwentyEightTokens) {
  const EnvironmentVarTable table = zyhok::BuildEnvironmentVarMap();
  const std::vector<std::wstring> tokens = {
      L"%zefa_install_path%", L"%ALLUSERSPROFILE%", L"%APPDATA%", L"%COMPUTERNAME%", L"%COMSPEC%",
      L"%HOMEDRIVE%", L"%HOMEPATH%", L"%PATH%", L"%PATHEXT%", L"%PROGRAMFILES%", L"%PROMPT%",
      L"%SYSTEMDRIVE%", L"%SYSTEMROOT%", L"%TEMP%", L"%TMP%", L"%USERNAME%", L"%USERPROFILE%",
      L"%WINDIR%", L"%PROCESSOR_ARCHITECTURE%", L"%PROCESSOR_IDENTIFIER%", L"%PROCESSOR_LEVEL%",
      L"%PROCESSOR_REVISION%", L"%NUMBER_OF_PROCESSORS%", L"%OS%", L"%zefa_data_path%",
      L"%zefa_temp_path%", L"%zefa_quarantine_path%", L"%zefa_virus_path%"};
  EXPECT_EQ(table.size(), tokens.size());
  for (const std::wstring& token : tokens) EXPECT_EQ(table.count(token), 1u) << WideToUtf8(token);

  // The load-time table of this program holds the same tokens.
  const EnvironmentVarTable& loaded = zyhok::EnvironmentVarMap();
  EXPECT_EQ(loaded.size(), tokens.size());
  for (const std::wstring& token : tokens) EXPECT_EQ(loaded.count(token), 1u) << WideToUtf8(token);
}

TEST_F(EnvironmentTable, PlatformFoldersLieBelowTheAllUsersDataFolder) {
  // Whatever this user's own APPDATA says, "%APPDATA%" is the all-users folder.
  ScopedEnv user_appdata(L"APPDATA", L"C:\\users\\someone\\AppData\\Roaming");
  const std::wstring common = CommonAppData();
  ASSERT_FALSE(common.empty());
  const EnvironmentVarTable table = zyhok::BuildEnvironmentVarMap();
  EXPECT_EQ(table.at(L"%APPDATA%"), common);
  EXPECT_EQ(table.at(L"%zefa_data_path%"), common + L"\\Velmora\\ZEFA\\");
  EXPECT_EQ(table.at(L"%zefa_temp_path%"), common + L"\\Velmora\\ZEFA\\temp\\");
  EXPECT_EQ(table.at(L"%zefa_quarantine_path%"), common + L"\\Velmora\\ZEFA\\quarantine\\");
  EXPECT_EQ(table.at(L"%zefa_virus_path%"), table.at(L"%zefa_temp_path%") + L"virus\\");
  EXPECT_EQ(zyhok::EnvironmentVarMap().at(L"%APPDATA%"), common);
}

TEST_F(EnvironmentTable, VariablesAreExpandedOrKeepTheirToken) {
  ScopedEnv prompt(L"PROMPT", nullptr);
  ScopedEnv os(L"OS", L"Windows_NT");
  const EnvironmentVarTable table = zyhok::BuildEnvironmentVarMap();
  EXPECT_EQ(table.at(L"%PROMPT%"), L"%PROMPT%");
  EXPECT_EQ(table.at(L"%OS%"), L"Windows_NT");

  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(table.at(L"%WINDIR%"), std::wstring(windows, n));
  EXPECT_EQ(table.at(L"%SYSTEMROOT%"), std::wstring(windows, n));
  wchar_t path[32768];
  const DWORD path_units = GetEnvironmentVariableW(L"PATH", path, 32768);
  ASSERT_GT(path_units, 0u);
  EXPECT_EQ(table.at(L"%PATH%"), std::wstring(path, path_units));
}

TEST_F(EnvironmentTable, ValuesLongerThanAPathBufferAreKeptWhole) {
  const std::wstring long_value = L"C:\\" + std::wstring(700, L'x') + L"\\end";
  ScopedEnv variable(L"ZYHOK_TEST_LONG", long_value.c_str());
  EXPECT_EQ(zyhok::ExpandEnvVar(L"%ZYHOK_TEST_LONG%"), long_value);
  const std::wstring fits(258, L'y');  // with its terminator exactly one path buffer
  ScopedEnv fitting(L"ZYHOK_TEST_FITS", fits.c_str());
  EXPECT_EQ(zyhok::ExpandEnvVar(L"%ZYHOK_TEST_FITS%"), fits);
  const std::wstring over(260, L'z');  // one unit more than a path buffer holds
  ScopedEnv over_by_one(L"ZYHOK_TEST_OVER", over.c_str());
  EXPECT_EQ(zyhok::ExpandEnvVar(L"%ZYHOK_TEST_OVER%"), over);
}

}  // namespace
