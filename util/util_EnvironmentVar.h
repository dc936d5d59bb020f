// The platform's path variables: 28 tokens of the form %NAME% (Windows environment variables, the
// all-users application-data folder and the platform's own folders) with their values on this machine.
//
// The process-wide table is computed once while the library is loaded, before any export can run, and
// keeps its values until unload. Building it never throws out of the load: should it fail (only memory
// exhaustion can make it fail), the table is left empty.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace zyhok {

// Token (percent signs included) -> value; tokens ordered by UTF-16 code unit, case-sensitive.
using EnvironmentVarTable = std::map<std::wstring, std::wstring>;

// Where the platform records its install folder: HKLM\SOFTWARE\Velmora\ZEFA, value "InstallDir".
inline constexpr const wchar_t* kZefaRegistryKey = L"SOFTWARE\\Velmora\\ZEFA";
inline constexpr const wchar_t* kZefaInstallDirValue = L"InstallDir";
// The platform's service host; its folder is the install folder when the registry names none.
inline constexpr const wchar_t* kZefaHostExecutable = L"nexusDaemon.exe";

// The table built at load.
const EnvironmentVarTable& EnvironmentVarMap() noexcept;

// Computes a fresh table now, with the same steps and log lines as the load.
EnvironmentVarTable BuildEnvironmentVarMap();

// `token` expanded by ExpandEnvironmentStringsW; the token itself when it cannot be expanded.
// Values of any length are returned whole.
std::wstring ExpandEnvVar(const std::wstring& token);

// The all-users application-data folder (CSIDL_COMMON_APPDATA); empty when the shell cannot say.
std::wstring GetCommonAppDataPath();

// The platform's install folder: "InstallDir" as stored when present and not empty, else the folder
// of the host executable (with a trailing backslash) when the host is nexusDaemon.exe, else empty.
// Each step that fails logs one error line under "Util COMMON".
std::wstring GetZefaInstallPath();

}  // namespace zyhok
