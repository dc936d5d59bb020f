#include "support/plugin_host.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <sstream>

#include "support/test_support.h"

namespace zyhok_test {

using zyhok::DrvInfo;
using zyhok::DrvStatusInfo;
using zyhok::UniqueHKey;

namespace {

constexpr const wchar_t* kSessionManagerKey = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

uint32_t CopyStatus(const DrvStatusInfo* info, void* context) {
  *static_cast<DrvStatusInfo*>(context) = *info;
  return 0;
}

constexpr const wchar_t* kPendingValue = L"PendingFileRenameOperations";

// The REG_MULTI_SZ entries of PendingFileRenameOperations (pairs: source, destination).
std::vector<std::wstring> PendingRenameEntries() {
  const std::wstring units = ReadHklmValue(kSessionManagerKey, kPendingValue).Units();
  std::vector<std::wstring> entries;
  for (size_t start = 0, end; (end = units.find(L'\0', start)) != std::wstring::npos; start = end + 1) {
    entries.push_back(units.substr(start, end - start));
  }
  // The list ends with an empty string; an odd count means that closing entry was read too.
  if (entries.size() % 2 == 1 && entries.back().empty()) entries.pop_back();
  return entries;
}

std::wstring WithoutNtPrefix(const std::wstring& path) {
  return path.rfind(L"\\??\\", 0) == 0 ? path.substr(4) : path;
}

// Drops the pending operations whose source lies under one of `roots`, keeping every other entry.
void DropPendingUnder(const std::vector<std::wstring>& roots) {
  const std::vector<std::wstring> entries = PendingRenameEntries();
  std::wstring kept;
  for (size_t i = 0; i + 1 < entries.size(); i += 2) {
    const std::wstring source = Lower(WithoutNtPrefix(entries[i]));
    bool ours = false;
    for (const std::wstring& root : roots) ours = ours || source.rfind(Lower(root), 0) == 0;
    if (!ours) kept += entries[i] + L'\0' + entries[i + 1] + L'\0';
  }
  if (kept.size() + 1 == ReadHklmValue(kSessionManagerKey, kPendingValue).Units().size()) return;
  if (kept.empty()) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingValue);
  } else {
    WriteHklmValue(kSessionManagerKey, kPendingValue, Raw(REG_MULTI_SZ, (kept + L'\0').c_str(), (kept.size() + 1) * 2));
  }
}

}  // namespace

DrvInfo MakeRecord(uint32_t action, const std::wstring& path, uint32_t compare_state) {
  DrvInfo record;
  std::memset(&record, 0, sizeof(record));
  const size_t units = std::min(path.size(), static_cast<size_t>(zyhok::kDriverPathUnits));
  std::copy_n(path.data(), units, record.wszDriverPath);
  record.action = action;
  record.compare_state = compare_state;
  return record;
}

LoadedPlugin::LoadedPlugin() {
  module_.reset(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
  if (!module_) return;
  Resolve(module_.get(), "Plugin_Interface_DriversDoAction", do_action_);
  Resolve(module_.get(), "Plugin_Interface_EnumerateDriversInfo", enumerate_);
}

uint32_t LoadedPlugin::DoActions(const DrvInfo* records, uint32_t count) const {
  return do_action_(records, count);
}

uint32_t LoadedPlugin::DoActions(const std::vector<DrvInfo>& records) const {
  return do_action_(records.data(), static_cast<uint32_t>(records.size()));
}

uint32_t LoadedPlugin::Do(uint32_t action, const std::wstring& path, uint32_t compare_state) const {
  const DrvInfo record = MakeRecord(action, path, compare_state);
  return do_action_(&record, 1);
}

DrvStatusInfo LoadedPlugin::Status() const {
  DrvStatusInfo info;
  std::memset(&info, 0, sizeof(info));
  enumerate_(&CopyStatus, &info);
  return info;
}

std::wstring StagingTree64() { return SystemDir() + L"\\zyhok"; }

std::wstring StagingTree32() {
  wchar_t windows[MAX_PATH];
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows, n) + L"\\SysWOW64\\zyhok";
}

void ResetDriverMachineState() {
  RemoveDriverService();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDriverServiceKey);
  RemoveTree(StagingTree64());
  RemoveTree(StagingTree32());
  DeleteFileW((SystemDir() + L"\\zyhok.cat").c_str());
  DeleteFileW((SystemDir() + L"\\drivers\\zyhok_backup.sys").c_str());
  DropPendingUnder({StagingTree64(), StagingTree32(), SystemDir() + L"\\drivers\\zyhok"});
}

std::vector<std::wstring> FilesBelow(const std::wstring& folder) {
  std::vector<std::wstring> files;
  for (const std::wstring& name : ListFolder(folder)) {
    const std::wstring path = folder + L"\\" + name;
    const std::vector<std::wstring> below = FilesBelow(path);
    if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      files.insert(files.end(), below.begin(), below.end());
    } else {
      files.push_back(Lower(path));
    }
  }
  return files;
}

std::wstring InstalledDriver() {
  if (!FileExists(InstalledDriverPath())) return L"none";
  const std::string bytes = ReadFileBytes(InstalledDriverPath());
  return bytes == ReadFileBytes(PackageDir(L"v1") + L"\\zyhok.sys")   ? L"v1"
         : bytes == ReadFileBytes(PackageDir(L"v2") + L"\\zyhok.sys") ? L"v2"
                                                                      : L"other";
}

namespace {

// Every folder and file below `folder`, one a line, lower-cased.
void Tree(const std::wstring& folder, std::wostringstream& out) {
  for (const std::wstring& name : ListFolder(folder)) {
    out << L"  " << Lower(folder + L"\\" + name) << L"\n";
    Tree(folder + L"\\" + name, out);
  }
}

// Every value under `key` and its sub-keys: numbers in hex, anything else as text.
void Values(const std::wstring& key, std::wostringstream& out) {
  UniqueHKey open;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, open.put()) != ERROR_SUCCESS) return;
  wchar_t name[512], data[2048];
  for (DWORD i = 0, units = 512, size = sizeof(data), type = 0;
       RegEnumValueW(open.get(), i, name, &units, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
       ERROR_SUCCESS;
       ++i, units = 512, size = sizeof(data)) {
    out << L"  " << key << L"\\" << name << L" = " << type << L":";
    if (type == REG_DWORD) out << std::hex << *reinterpret_cast<DWORD*>(data) << std::dec << L"\n";
    if (type != REG_DWORD) out << std::wstring(data, size / sizeof(wchar_t)).c_str() << L"\n";
  }
  for (DWORD i = 0, units = 512;
       RegEnumKeyExW(open.get(), i, name, &units, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       ++i, units = 512) {
    Values(key + L"\\" + name, out);
  }
}

}  // namespace

std::wstring DescribeMachine(const std::wstring& packages) {
  std::wostringstream out;
  out << L"service state " << ServiceState() << L"\ndriver " << InstalledDriver() << L" ("
      << ReadFileBytes(InstalledDriverPath()).size() << L" bytes)\nstaged\n";
  Tree(StagingTree64(), out);
  Tree(StagingTree32(), out);
  out << L"service key\n";
  Values(kDriverServiceKey, out);
  if (!packages.empty()) {
    out << L"packages\n";
    Tree(packages, out);
  }
  return out.str();
}

std::vector<std::wstring> PendingDeletions() {
  std::vector<std::wstring> paths;
  const std::vector<std::wstring> entries = PendingRenameEntries();
  for (size_t i = 0; i + 1 < entries.size(); i += 2) {
    if (entries[i + 1].empty()) paths.push_back(WithoutNtPrefix(entries[i]));
  }
  return paths;
}

void WriteServiceDword(const std::wstring& name, DWORD value) {
  UniqueHKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDriverServiceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

DWORD ServiceDword(const std::wstring& name) {
  DWORD value = 0, size = sizeof(value);
  return RegGetValueW(HKEY_LOCAL_MACHINE, kDriverServiceKey, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value,
                      &size) == ERROR_SUCCESS
             ? value
             : kNoServiceDword;
}

void DeleteServiceValue(const std::wstring& name) {
  UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverServiceKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
  RegDeleteValueW(key.get(), name.c_str());
}

std::vector<std::wstring> StagedComponentFiles(const std::wstring& engine_version,
                                               const std::wstring& addon_version) {
  return {StagingTree64() + L"\\20019\\ZyMon\\" + engine_version + L"\\zymon64.dll",
          StagingTree32() + L"\\20019\\ZyMon\\" + engine_version + L"\\zymon.dll",
          StagingTree64() + L"\\20019\\AddOn\\" + addon_version + L"\\ZyHkEvt64.dll",
          StagingTree32() + L"\\20019\\AddOn\\" + addon_version + L"\\ZyHkEvt.dll"};
}

namespace {
constexpr const wchar_t* kAppDefaults = L"Software\\Wine\\AppDefaults";
}  // namespace

HostProcess::HostProcess(const std::wstring& exe_name) : exe_(dir_ / exe_name) {
  UniqueHKey defaults;
  had_app_defaults_ =
      RegOpenKeyExW(HKEY_CURRENT_USER, kAppDefaults, 0, KEY_READ, defaults.put()) == ERROR_SUCCESS;
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  CopyFileW(std::wstring(self, n).c_str(), exe_.c_str(), FALSE);
  for (const wchar_t* dll : {L"helperZYHOKDriver.dll", L"journalsink.dll", L"setupkit.dll"}) {
    CopyFileW((BinDir() + dll).c_str(), (dir_ / dll).c_str(), FALSE);
  }
}

HostProcess::~HostProcess() {
  RegDeleteTreeW(HKEY_CURRENT_USER, AppKey().c_str());
  if (!had_app_defaults_) RegDeleteKeyW(HKEY_CURRENT_USER, kAppDefaults);
}

std::wstring HostProcess::AppKey() const {
  return std::wstring(kAppDefaults) + L"\\" + exe_.substr(exe_.find_last_of(L'\\') + 1);
}

void HostProcess::SetWindowsVersion(const std::wstring& version) {
  UniqueHKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, AppKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                 static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
}

void HostProcess::DeclareWindows10(bool declared) {
  const std::wstring manifest = exe_ + L".manifest";
  DeleteFileW(manifest.c_str());
  if (!declared) return;
  WriteFileBytes(manifest,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                 "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
                 "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\r\n"
                 "    <application><supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/></application>\r\n"
                 "  </compatibility>\r\n"
                 "</assembly>\r\n");
}

zyhok::UniqueKernelHandle HostProcess::Start(const std::vector<DrvInfo>& records, const std::wstring& log_file,
                                             const std::vector<std::wstring>& environment) const {
  std::wstring command = L"\"" + exe_ + L"\" --host";
  for (const DrvInfo& record : records) {
    command += L" " + std::to_wstring(record.action) + L" " + std::to_wstring(record.compare_state) + L" \"" +
               std::wstring(record.wszDriverPath, wcsnlen(record.wszDriverPath, zyhok::kDriverPathUnits)) + L"\"";
  }
  std::vector<std::wstring> settings = environment;
  settings.push_back(L"ZYJOURNAL_FILE=" + log_file);
  return StartProcess(command, dir_.path(), settings);
}

uint32_t HostProcess::Run(const std::vector<DrvInfo>& records, const std::wstring& log_file,
                          const std::vector<std::wstring>& environment) const {
  return ExitCodeOf(Start(records, log_file, environment));
}

bool RunAsHost(int* exit_code) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr || count < 2 || std::wstring(args[1]) != L"--host") {
    LocalFree(args);
    return false;
  }
  std::vector<DrvInfo> records;
  for (int i = 2; i + 2 < count; i += 3) {
    records.push_back(MakeRecord(static_cast<uint32_t>(std::wcstoul(args[i], nullptr, 10)), args[i + 2],
                                 static_cast<uint32_t>(std::wcstoul(args[i + 1], nullptr, 10))));
  }
  LocalFree(args);
  LoadedPlugin plugin;
  *exit_code = plugin.loaded() ? static_cast<int>(plugin.DoActions(records)) : 1;
  return true;
}

}  // namespace zyhok_test
