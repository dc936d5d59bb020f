#include "util/log.h"
#include "util/registry.h"
#include "util/util_EnvironmentVar.h"

#include <shlobj.h>

#include <utility>
#include <vector>

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"util_EnvironmentVar";

// Buffer for one path or one expanded variable, terminating NUL included.
constexpr DWORD kPathUnits = MAX_PATH;
// Longest value ExpandEnvironmentStringsW and GetModuleFileNameW can produce.
constexpr DWORD kMaxUnits = 32768;

// Full path of the host process's executable; empty, with the Windows error in `error`, when it cannot
// be had. A path that does not fit the first buffer is fetched again in a larger one rather than cut.
std::wstring HostExecutablePath(DWORD& error) {
  std::vector<wchar_t> buffer(kPathUnits);
  for (;;) {
    const DWORD units = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), units);
    if (length == 0) {
      error = GetLastError();
      return std::wstring();
    }
    if (length < units || units >= kMaxUnits) return std::wstring(buffer.data(), length);
    buffer.resize(static_cast<size_t>(units) * 2);
  }
}

EnvironmentVarTable BuildAtLoad() noexcept {
  try {
    return BuildEnvironmentVarMap();
  } catch (...) {
    return EnvironmentVarTable();
  }
}

// Built during the library's static initialisation, destroyed at unload.
const EnvironmentVarTable g_environment_var_map = BuildAtLoad();

}  // namespace

// Nothing calls into this file from the exports; the DLL's link refers to this symbol so that the
// table above is part of the DLL and built when it loads.
extern "C" const int zyhok_environment_var_map_anchor = 0;

const EnvironmentVarTable& EnvironmentVarMap() noexcept { return g_environment_var_map; }

std::wstring ExpandEnvVar(const std::wstring& token) {
  // Most values fit the path-sized buffer on the stack; a longer one is fetched again in a buffer of
  // the size the first call reports.
  wchar_t first[kPathUnits];
  DWORD needed = ExpandEnvironmentStringsW(token.c_str(), first, kPathUnits);
  if (needed == 0) return token;
  // On success `needed` counts the terminator; a larger number is the size the value needs.
  if (needed <= kPathUnits) return std::wstring(first);
  std::vector<wchar_t> buffer;
  for (int attempt = 1; attempt < 3 && needed <= kMaxUnits; ++attempt) {
    buffer.assign(needed, L'\0');
    const DWORD units = needed;
    needed = ExpandEnvironmentStringsW(token.c_str(), buffer.data(), units);
    if (needed == 0) return token;
    if (needed <= units) return std::wstring(buffer.data());
  }
  return token;
}

std::wstring GetCommonAppDataPath() {
  wchar_t folder[kPathUnits] = {};
  // On failure the buffer stays empty, and so does the folder.
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
  return folder;
}

std::wstring GetZefaInstallPath() {
  std::wstring install_path;
  RegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kZefaRegistryKey, KEY_ALL_ACCESS) == ERROR_SUCCESS) {
    if (key.QueryValue(install_path, kZefaInstallDirValue) == ERROR_SUCCESS &&
        !install_path.empty()) {
      return install_path;
    }
    ZYLOG(kLogCommon, kLevelError) << L"regKey.QueryValue() fail!\n"
                                   << L"key =" << kZefaRegistryKey << L",wstrItemName ="
                                   << kZefaInstallDirValue;
  } else {
    ZYLOG(kLogCommon, kLevelError) << L"regKey.Open() fail!\n"
                                   << L"open  HKEY_LOCAL_MACHINE  fail!\n"
                                   << L"key =" << kZefaRegistryKey;
  }

  DWORD error = ERROR_SUCCESS;
  const std::wstring executable = HostExecutablePath(error);
  if (executable.empty()) {
    ZYLOG(kLogCommon, kLevelError) << L"Failed to call GetModuleFileName. GetLastError(): " << error;
    return install_path;
  }
  const size_t host = executable.rfind(kZefaHostExecutable);
  if (host != std::wstring::npos) install_path = executable.substr(0, host);
  return install_path;
}

EnvironmentVarTable BuildEnvironmentVarMap() {
  // Expanded by ExpandEnvVar, in table order after "%zefa_install_path%" and "%APPDATA%".
  static const wchar_t* const kExpandedBefore[] = {L"%ALLUSERSPROFILE%"};
  static const wchar_t* const kExpandedAfter[] = {
      L"%COMPUTERNAME%",  L"%COMSPEC%",       L"%HOMEDRIVE%",
      L"%HOMEPATH%",      L"%PATH%",          L"%PATHEXT%",
      L"%PROGRAMFILES%",  L"%PROMPT%",        L"%SYSTEMDRIVE%",
      L"%SYSTEMROOT%",    L"%TEMP%",          L"%TMP%",
      L"%USERNAME%",      L"%USERPROFILE%",   L"%WINDIR%",
      L"%PROCESSOR_ARCHITECTURE%", L"%PROCESSOR_IDENTIFIER%", L"%PROCESSOR_LEVEL%",
      L"%PROCESSOR_REVISION%",     L"%NUMBER_OF_PROCESSORS%", L"%OS%"};

  std::vector<std::pair<std::wstring, std::wstring>> pairs;
  pairs.reserve(28);
  pairs.emplace_back(L"%zefa_install_path%", GetZefaInstallPath());
  for (const wchar_t* token : kExpandedBefore) pairs.emplace_back(token, ExpandEnvVar(token));
  // One shell query serves "%APPDATA%" and the four platform folders below it.
  const std::wstring common_app_data = GetCommonAppDataPath();
  pairs.emplace_back(L"%APPDATA%", common_app_data);
  for (const wchar_t* token : kExpandedAfter) pairs.emplace_back(token, ExpandEnvVar(token));
  pairs.emplace_back(L"%zefa_data_path%", common_app_data + L"\\Velmora\\ZEFA\\");
  pairs.emplace_back(L"%zefa_temp_path%", common_app_data + L"\\Velmora\\ZEFA\\temp\\");
  pairs.emplace_back(L"%zefa_quarantine_path%", common_app_data + L"\\Velmora\\ZEFA\\quarantine\\");
  pairs.emplace_back(L"%zefa_virus_path%", common_app_data + L"\\Velmora\\ZEFA\\temp\\virus\\");

  EnvironmentVarTable table;
  for (auto& pair : pairs) table.insert(std::move(pair));
  return table;
}

}  // namespace zyhok
