#include "support/test_support.h"
#include <setupapi.h>
#include <shellapi.h>
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <sstream>
#include "journalsink.h"
#include "util/pending_renames.h"

namespace zyhok_test {

using zyhok::DrvInfo;
using zyhok::DrvStatusInfo;
using zyhok::kPendingRenamesValue;
using zyhok::kSessionManagerKey;
using zyhok::UniqueFileHandle;
using zyhok::UniqueHKey;
using zyhok::UniqueScHandle;

namespace {

constexpr const wchar_t* kAppDefaults = L"Software\\Wine\\AppDefaults";
constexpr const wchar_t* kPlanted[] = {L"journalsink.dll", L"setupapi.dll", L"setupkit.dll", L"shlwapi.dll",
                                       L"version.dll"};  // sorted, as ListFolder gives them
// zyhok opened with `access`, or an empty handle.
UniqueScHandle OpenDriverService(DWORD access) {
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  return UniqueScHandle(manager ? OpenServiceW(manager.get(), L"zyhok", access) : nullptr);
}
// Drops the pending operations whose source lies under one of `roots`, keeping every other entry.
void DropPendingUnder(const std::vector<std::wstring>& roots) {
  const std::vector<std::wstring> entries = PendingRenameEntries();
  std::wstring kept;
  for (size_t i = 0; i + 1 < entries.size(); i += 2) {
    const std::wstring source = Lower(zyhok::PendingEntryPath(entries[i]));
    const auto under = [&](const std::wstring& root) { return source.rfind(Lower(root), 0) == 0; };
    if (std::none_of(roots.begin(), roots.end(), under)) kept += entries[i] + L'\0' + entries[i + 1] + L'\0';
  }
  if (kept.size() + 1 == ReadHklmValue(kSessionManagerKey, kPendingRenamesValue).Units().size()) return;
  kept.empty() ? RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue)
               : WriteHklmValue(kSessionManagerKey, kPendingRenamesValue, Sz(kept, REG_MULTI_SZ));
}
// The service side of service_control_test's test service (this test program started with "--service"): it
// reports START_PENDING at checkpoint 1 without a wait hint, as a service that never gets ready, until it is
// told to stop, then STOPPED.
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
HANDLE g_stop = nullptr;
void Report(DWORD state) {
  // type, state, controls accepted, exit code, service-specific exit code, checkpoint, wait hint
  const DWORD accepted = state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP,
              checkpoint = state == SERVICE_STOPPED ? 0 : 1;
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, state, accepted, NO_ERROR, 0, checkpoint, 0};
  SetServiceStatus(g_status_handle, &status);
}
DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) SetEvent(g_stop);
  return control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR
                                                                                   : ERROR_CALL_NOT_IMPLEMENTED;
}
void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  g_status_handle = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", Handler, nullptr);
  if (g_status_handle == nullptr) return;
  Report(SERVICE_START_PENDING);
  WaitForSingleObject(g_stop, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

std::wstring SelfPath() {
  wchar_t self[MAX_PATH];
  return std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
}
std::wstring BinDir() { return ParentOf(SelfPath()) + L"\\"; }
std::wstring FixturesDir() { return ZYHOK_FIXTURES_DIR_WIN; }
std::wstring PackageDir(const std::wstring& name) {
  std::wstring pkgver = name == L"v2" ? L"1.6.1200" : L"1.6.1195";
  return std::wstring(ZYHOK_PACKAGES_DIR_WIN) + L"\\" + name + L"\\20019\\" + pkgver + L"\\" + pkgver;
}
std::wstring SystemDir() {
  wchar_t dir[MAX_PATH];
  return std::wstring(dir, GetSystemDirectoryW(dir, MAX_PATH));
}
std::wstring Utf8ToWide(const std::string& text) {
  std::wstring out(text.size(), L'\0');  // never more units than bytes
  const int size = static_cast<int>(text.size());
  return out.substr(0, text.empty() ? 0 : MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &out[0], size));
}
std::string WideToUtf8(const std::wstring& text) {
  std::string out(text.size() * 3, '\0');  // at most three bytes a unit
  const int size = static_cast<int>(text.size());
  return out.substr(0, text.empty() ? 0 : WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &out[0], size * 3, 0, 0));
}
std::string ReadFileBytes(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string out;
  if (!file) return out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  return out;
}
bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  DWORD written = 0;
  const DWORD size = static_cast<DWORD>(bytes.size());
  return WriteFile(file.get(), bytes.data(), size, &written, nullptr) && written == size;
}
zyhok::UniqueKernelHandle StartProcess(const std::wstring& command, const std::wstring& directory,
                                       const std::vector<std::wstring>& environment, const std::wstring& outputs) {
  // The block: the additions first, then every inherited variable that they do not replace.
  std::wstring block;
  for (const std::wstring& setting : environment) block += setting + L'\0';
  wchar_t* inherited = GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; *entry; entry += wcslen(entry) + 1) {
    const std::wstring text = entry, name = text.substr(0, text.find(L'=', 1) + 1);
    const auto replaces = [&](const std::wstring& set) { return !_wcsnicmp(set.c_str(), name.c_str(), name.size()); };
    if (std::none_of(environment.begin(), environment.end(), replaces)) block += text + L'\0';
  }
  FreeEnvironmentStringsW(inherited);
  block += L'\0';
  std::wstring line = command;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  const auto output = [&](const wchar_t* suffix) {
    return UniqueFileHandle(outputs.empty() ? INVALID_HANDLE_VALUE
                                            : CreateFileW((outputs + suffix).c_str(), GENERIC_WRITE, 0, &inherit,
                                                          CREATE_ALWAYS, 0, nullptr));
  };
  const UniqueFileHandle out = output(L".out"), err = output(L".err");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = outputs.empty() ? 0 : STARTF_USESTDHANDLES;
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, !outputs.empty(), CREATE_UNICODE_ENVIRONMENT, &block[0],
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    std::fprintf(stderr, "[ start ] error %lu starting %ls\n", GetLastError(), command.c_str());
    return zyhok::UniqueKernelHandle();
  }
  CloseHandle(process.hThread);
  return zyhok::UniqueKernelHandle(process.hProcess);
}
DWORD ExitCodeOf(const zyhok::UniqueKernelHandle& process) {
  DWORD code = 0;
  if (process && WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.get(), &code);
  return code;
}
TempDir::TempDir() {
  static LONG counter = 0;
  wchar_t base[MAX_PATH], name[64];
  const DWORD n = GetTempPathW(MAX_PATH, base);
  wsprintfW(name, L"zyhok-test-%lu-%lu-%ld", GetCurrentProcessId(), GetTickCount(), InterlockedIncrement(&counter));
  path_ = std::wstring(base, n) + name;
  CreateDirectoryW(path_.c_str(), nullptr);
}
bool RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != FALSE;
  }
  bool ok = true;
  for (const std::wstring& name : ListFolder(path)) ok = RemoveTree(path + L"\\" + name) && ok;
  return RemoveDirectoryW(path.c_str()) != FALSE && ok;
}
LogCapture::LogCapture(const std::wstring& levels) : file_(dir_ / L"journal.log") {
  JournalSink_Configure(file_.c_str(), levels.c_str());
}
LogCapture::~LogCapture() { JournalSink_Configure(L"", L"*=2"); }
void LogCapture::SetLevels(const std::wstring& levels) { JournalSink_Configure(nullptr, levels.c_str()); }
void LogCapture::Clear() { DeleteFileW(file_.c_str()); }
std::vector<LogLine> LogLines(const std::wstring& file) {
  std::vector<LogLine> lines;
  const std::wstring all = Utf8ToWide(ReadFileBytes(file));
  for (size_t start = 0, end; start < all.size(); start = end + 2) {  // lines end in CR LF, the last one may not
    end = std::min(all.find(L"\r\n", start), all.size());
    // time \t L<level> \t module \t source:line \t text (which may hold tabs of its own)
    std::wistringstream in(all.substr(start, end - start));
    std::wstring time, level, module, where, text;
    if (!std::getline(in, time, L'\t') || !std::getline(in, level, L'\t') || !std::getline(in, module, L'\t') ||
        !std::getline(in, where, L'\t')) {
      continue;
    }
    std::getline(in, text, L'\0');
    const size_t colon = where.rfind(L':');
    lines.push_back({static_cast<unsigned>(wcstoul(level.c_str() + 1, nullptr, 10)), module, where.substr(0, colon),
                     static_cast<unsigned>(wcstoul(where.c_str() + colon + 1, nullptr, 10)), text});
  }
  return lines;
}
std::vector<std::wstring> Told(const std::wstring& log_file) {
  std::vector<std::wstring> out;
  for (const LogLine& line : LogLines(log_file)) {
    out.push_back(std::to_wstring(line.level) + static_cast<wchar_t>(towlower(line.module[0])) + L" " + line.text);
  }
  return out;
}
std::string LogCapture::Dump() const {
  std::string out;
  for (const std::wstring& line : Told()) out += "  " + WideToUtf8(line) + "\n";
  return out;
}
void RunInfSection(const wchar_t* section, const std::wstring& package_dir) {
  InstallHinfSectionW(nullptr, nullptr, (section + (L" 128 " + package_dir) + L"\\zyhok.inf").c_str(), 0);
}
DWORD ServiceState() {
  const UniqueScHandle service = OpenDriverService(SERVICE_QUERY_STATUS);
  SERVICE_STATUS status;
  return service && QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}
bool ControlDriver(bool start) {
  const UniqueScHandle service = OpenDriverService(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  SERVICE_STATUS status;
  if (!service ||
      (start && !StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)) {
    return false;
  }
  if (!start) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  return WaitForState(service.get(), start ? SERVICE_RUNNING : SERVICE_STOPPED, 10000);
}
bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeout_ms) {
  SERVICE_STATUS status;
  for (const DWORD start = GetTickCount(); QueryServiceStatus(service, &status); Sleep(50)) {
    if (status.dwCurrentState == state || GetTickCount() - start > timeout_ms) return status.dwCurrentState == state;
  }
  return false;
}
// The service manager removes a service marked for deletion, and its key, once the last handle to it is
// closed and it has stopped: a busy machine can take seconds. Until then a new install finds it marked for
// deletion, not created, so the wait is for the service itself, whoever marked it (its key may be gone).
void WaitUntilDeleted(const std::wstring& service) {
  const UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  for (int i = 0; i < 500 && manager; ++i, Sleep(20)) {
    if (!UniqueScHandle(OpenServiceW(manager.get(), service.c_str(), SERVICE_QUERY_STATUS))) return;
  }
}
void RemoveDriverService(const std::wstring& package_dir) {
  const DWORD state = ServiceState();
  if (state != 0 && state != SERVICE_STOPPED) ControlDriver(false);
  if (!package_dir.empty()) RunInfSection(L"DefaultUninstall", package_dir);
  // Deleting fails if it is marked already: waited for all the same.
  if (const UniqueScHandle service = OpenDriverService(DELETE)) DeleteService(service.get());
  WaitUntilDeleted(L"zyhok");
  SetFileAttributesW(InstalledDriverPath().c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(InstalledDriverPath().c_str());
}
bool CopyTree(const std::wstring& from, const std::wstring& to) {
  std::error_code error;
  std::filesystem::copy(
      from, to, std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing, error);
  return !error;
}
std::vector<std::wstring> ListFolder(const std::wstring& folder) {
  std::vector<std::wstring> names;
  std::error_code error;  // none when the folder cannot be read
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}
std::wstring RegValue::Units() const {
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}
RegValue Raw(DWORD type, const void* data, size_t bytes) {
  return {ERROR_SUCCESS, type, std::string(static_cast<const char*>(data), bytes)};
}
RegValue ReadHklmValue(const std::wstring& key, const wchar_t* name) {
  RegValue out;
  UniqueHKey handle;
  DWORD size = 0;
  out.error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, handle.put());
  if (out.error == ERROR_SUCCESS) out.error = RegQueryValueExW(handle.get(), name, nullptr, &out.type, nullptr, &size);
  if (out.error != ERROR_SUCCESS) return out;
  out.bytes.resize(size);
  out.error = RegQueryValueExW(handle.get(), name, nullptr, &out.type, reinterpret_cast<BYTE*>(&out.bytes[0]), &size);
  out.bytes.resize(size);
  return out;
}
LONG WriteHklmValue(const std::wstring& key, const wchar_t* name, const RegValue& value) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, value.type, value.bytes.data(),
                         static_cast<DWORD>(value.bytes.size()));
}
std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), ::towlower);
  return text;
}
std::vector<std::wstring> PendingRenameEntries() {
  const std::wstring units = ReadHklmValue(kSessionManagerKey, kPendingRenamesValue).Units();
  std::vector<std::wstring> entries = zyhok::SplitMultiString(units.data(), units.size());
  // The list ends with an empty string; an odd count means that closing entry was read too.
  if (entries.size() % 2 == 1 && entries.back().empty()) entries.pop_back();
  return entries;
}
DrvInfo MakeRecord(uint32_t action, const std::wstring& path, uint32_t compare_state) {
  DrvInfo record = {};
  std::copy_n(path.data(), std::min<size_t>(path.size(), zyhok::kDriverPathUnits), record.wszDriverPath);
  record.action = action;
  record.compare_state = compare_state;
  return record;
}
LoadedPlugin::LoadedPlugin(const std::wstring& folder) {
  module_.reset(LoadLibraryExW((folder + L"helperZYHOKDriver.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module_) return;
  do_action_ = Export<decltype(do_action_)>("Plugin_Interface_DriversDoAction");
  enumerate_ = Export<decltype(enumerate_)>("Plugin_Interface_EnumerateDriversInfo");
}
DrvStatusInfo LoadedPlugin::Status() const {
  std::vector<DrvStatusInfo> received;  // the context: what the callback was handed
  const auto keep = [](const DrvStatusInfo* info, void* context) -> uint32_t {
    static_cast<std::vector<DrvStatusInfo>*>(context)->push_back(*info);
    return 0xFFFFFFFF;  // not the export's result
  };
  EXPECT_EQ(enumerate_(keep, &received), kSuccess);
  EXPECT_EQ(received.size(), 1u);
  return received.empty() ? DrvStatusInfo{} : received[0];
}
void ResetDriverMachineState() {
  RemoveDriverService();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kDriverServiceKey);
  RemoveTree(StagingTree64());
  RemoveTree(StagingTree32());
  DeleteFileW((SystemDir() + L"\\zyhok.cat").c_str());
  DeleteFileW((SystemDir() + L"\\drivers\\zyhok_backup.sys").c_str());
  DeleteFileW(JournalPath().c_str());
  DropPendingUnder({StagingTree64(), StagingTree32(), SystemDir() + L"\\drivers\\zyhok"});
}
std::wstring CopyPackage(const TempDir& dir, const std::wstring& name) {
  const std::wstring original = PackageDir(name);
  const size_t at = original.find(L"\\20019\\");
  EXPECT_TRUE(CopyTree(original.substr(0, at), dir / name)) << WideToUtf8(original);
  return dir / name + original.substr(at);
}
void SnapshotFolder(const std::wstring& folder, Snapshot& out, bool times) {
  WIN32_FIND_DATAW d;
  const HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &d);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &d)) {
    const std::wstring name = d.cFileName, path = folder + L"\\" + name;
    const bool dir = d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    if (name == L"." || name == L".." || (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const uint64_t time = (uint64_t(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime;
    out[path] = (dir ? L"d" : L"f " + std::to_wstring(d.nFileSizeLow)) + (times ? L" " + std::to_wstring(time) : L"");
    if (dir) SnapshotFolder(path, out, times);
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
}
void SnapshotKey(const std::wstring& path, Snapshot& out) {
  UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put())) return;
  out[L"HKLM\\" + path] = L"k";
  // Wine computes the values of Perflib\<language> on each query, and enumerating them blocks.
  const bool perflib = Lower(path.substr(path.find_last_of(L'\\') + 1)) == L"perflib";
  DWORD values = 0, max_data = 0, n, size, type;
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, &max_data, 0, 0);
  static wchar_t name[16384];
  for (DWORD i = 0; !perflib && i < values; ++i) {
    std::wstring data(max_data / 2 + 1, L'\0');
    if (RegEnumValueW(key.get(), i, name, &(n = 16384), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]),
                      &(size = max_data + 2)) != ERROR_SUCCESS) {
      continue;
    }
    wchar_t hex[16] = {};
    if (type == REG_DWORD && size == 4) wsprintfW(hex, L"%lx", *reinterpret_cast<const DWORD*>(data.data()));
    out[L"HKLM\\" + path + L"|" + name] = std::to_wstring(type) + L":" + (*hex ? hex : data.substr(0, (size + 1) / 2));
  }
  for (DWORD i = 0; !perflib && RegEnumKeyExW(key.get(), i, name, &(n = 16384), 0, 0, 0, 0) == ERROR_SUCCESS; ++i) {
    SnapshotKey(path + L"\\" + name, out);  // the path is made before the walk reuses `name`
  }
}
std::vector<std::wstring> PendingDeletions() {
  std::vector<std::wstring> paths;
  const std::vector<std::wstring> entries = PendingRenameEntries();
  for (size_t i = 0; i + 1 < entries.size(); i += 2) {
    if (entries[i + 1].empty()) paths.push_back(zyhok::PendingEntryPath(entries[i]));
  }
  return paths;
}
HostProcess::HostProcess(const std::wstring& exe_name) : exe_(dir_ / exe_name) {
  UniqueHKey defaults;
  had_app_defaults_ = RegOpenKeyExW(HKEY_CURRENT_USER, kAppDefaults, 0, KEY_READ, defaults.put()) == ERROR_SUCCESS;
  CopyFileW(SelfPath().c_str(), exe_.c_str(), FALSE);
  CopyFileW((BinDir() + L"journalsink.dll").c_str(), (dir_ / L"journalsink.dll").c_str(), FALSE);
  CreateDirectoryW((dir_ / L"plugin").c_str(), nullptr);
  for (const wchar_t* dll : {L"helperZYHOKDriver.dll", L"journalsink.dll", L"setupkit.dll"}) {
    CopyFileW((BinDir() + dll).c_str(), (dir_ / L"plugin\\" + dll).c_str(), FALSE);
  }
  for (const std::wstring& folder : {dir_ / L"cwd", dir_ / L"path"}) {
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* dll : kPlanted)
      CopyFileW((FixturesDir() + L"\\planted.dll").c_str(), (folder + L"\\" + dll).c_str(), 0);
  }
}
HostProcess::~HostProcess() {
  const std::vector<std::wstring> planted(std::begin(kPlanted), std::end(kPlanted));
  for (const wchar_t* folder : {L"cwd", L"path"}) EXPECT_EQ(ListFolder(dir_ / folder), planted) << "one was loaded";
  RegDeleteTreeW(HKEY_CURRENT_USER, AppKey().c_str());
  if (!had_app_defaults_) RegDeleteKeyW(HKEY_CURRENT_USER, kAppDefaults);
}
std::wstring HostProcess::AppKey() const {
  return std::wstring(kAppDefaults) + L"\\" + exe_.substr(exe_.find_last_of(L'\\') + 1);
}
void HostProcess::SetWindows(const std::wstring& version, bool declares_windows10) {
  const DWORD bytes = static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t));
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, AppKey().c_str(), L"Version", REG_SZ, version.c_str(), bytes), 0);
  const std::wstring manifest = exe_ + L".manifest";
  DeleteFileW(manifest.c_str());
  if (!declares_windows10) return;
  WriteFileBytes(manifest,
                 "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"><compatibility "
                 "xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"><application><supportedOS "
                 "Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/></application></compatibility></assembly>");
}
zyhok::UniqueKernelHandle HostProcess::Start(const std::vector<DrvInfo>& records, const std::wstring& log_file,
                                             const std::vector<std::wstring>& environment) const {
  std::wstring command = L"\"" + exe_ + L"\" --host";
  for (const DrvInfo& record : records) {
    command += L" " + std::to_wstring(record.action) + L" " + std::to_wstring(record.compare_state) + L" \"" +
               std::wstring(record.wszDriverPath, wcsnlen(record.wszDriverPath, zyhok::kDriverPathUnits)) + L"\"";
  }
  static wchar_t path[32767];
  const DWORD units = GetEnvironmentVariableW(L"PATH", path, 32767);
  std::vector<std::wstring> settings = environment;
  settings.push_back(L"ZYJOURNAL_FILE=" + log_file);
  settings.push_back(L"PATH=" + dir_ / L"path;" + std::wstring(path, units));
  return StartProcess(command, dir_ / L"cwd", settings);
}
uint32_t HostProcess::Run(const std::vector<DrvInfo>& records, const std::wstring& log_file,
                          const std::vector<std::wstring>& environment) const {
  // Exit 0 (never a batch's result) and no log line: Wine lost the host early; said and run again (3 in all).
  for (int attempt = 1;; ++attempt) {
    const uint32_t result = ExitCodeOf(Start(records, log_file, environment));
    if (result != 0 || FileExists(log_file) || attempt == 3) return result;
    std::fprintf(stderr, "[ start ] attempt %d: the host ended with 0 before its first log line\n", attempt);
  }
}

namespace {

// The host side of HostProcess ("--host action compare_state path ...": the records handed to the
// batch export in one call, the batch's result as exit code) and the service side of TestService
// ("--service"): true, with the exit code, when the command line asked for one.
bool RunAsHelperProcess(int* exit_code) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const std::wstring mode = argv != nullptr && argc >= 2 ? argv[1] : L"";
  std::vector<DrvInfo> records;
  for (int i = 2; mode == L"--host" && i + 2 < argc; i += 3) {
    records.push_back(MakeRecord(static_cast<uint32_t>(std::wcstoul(argv[i], nullptr, 10)), argv[i + 2],
                                 static_cast<uint32_t>(std::wcstoul(argv[i + 1], nullptr, 10))));
  }
  LocalFree(argv);
  if (mode == L"--host") {
    LoadedPlugin plugin(BinDir() + L"plugin\\");
    *exit_code = plugin.loaded() ? static_cast<int>(plugin.DoActions(records)) : 1;
    return true;
  }
  if (mode != L"--service") return false;
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wchar_t empty[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{empty, ServiceMain}, {nullptr, nullptr}};
  *exit_code = StartServiceCtrlDispatcherW(table) ? 0 : 1;
  return true;
}

}  // namespace
}  // namespace zyhok_test

// Every test program's entry point; a program started with "--host" is a plug-in host instead, and one
// started with "--service" a test service.
int main(int argc, char** argv) {
  int exit_code = 0;
  if (zyhok_test::RunAsHelperProcess(&exit_code)) return exit_code;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
