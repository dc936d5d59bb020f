#include "support/test_support.h"

#include <setupapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cwctype>
#include <cstdio>
#include <sstream>

#include "journalsink.h"
#include "util/handle.h"

namespace zyhok_test {

using zyhok::UniqueFileHandle;
using zyhok::UniqueHKey;
using zyhok::UniqueScHandle;

std::wstring BinDir() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring PackageDir(const std::wstring& name) {
  std::wstring pkgver = name == L"v2" ? L"1.6.1200" : L"1.6.1195";
  return std::wstring(ZYHOK_PACKAGES_DIR_WIN) + L"\\" + name + L"\\20019\\" + pkgver + L"\\" + pkgver;
}

std::wstring FixturesDir() { return ZYHOK_FIXTURES_DIR_WIN; }

std::wstring SystemDir() {
  wchar_t dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir, n);
}

std::wstring InstalledDriverPath() { return SystemDir() + L"\\drivers\\zyhok.sys"; }

std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFileBytes(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string out;
  if (!file) return out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  return out;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

zyhok::UniqueKernelHandle StartProcess(const std::wstring& command, const std::wstring& directory,
                                       const std::vector<std::wstring>& environment) {
  // The block: the additions first, then every inherited variable that they do not replace.
  std::wstring block;
  for (const std::wstring& setting : environment) block += setting + L'\0';
  wchar_t* inherited = GetEnvironmentStringsW();
  for (const wchar_t* entry = inherited; *entry; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    const std::wstring name = text.substr(0, text.find(L'=', 1) + 1);
    bool replaced = false;
    for (const std::wstring& setting : environment) replaced = replaced || _wcsnicmp(setting.c_str(), name.c_str(), name.size()) == 0;
    if (!replaced) block += text + L'\0';
  }
  FreeEnvironmentStringsW(inherited);
  block += L'\0';
  std::wstring line = command;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                      directory.c_str(), &startup, &process)) {
    return zyhok::UniqueKernelHandle();
  }
  zyhok::UniqueKernelHandle thread(process.hThread);
  return zyhok::UniqueKernelHandle(process.hProcess);
}

DWORD ExitCodeOf(const zyhok::UniqueKernelHandle& process) {
  DWORD code = 0;
  if (process && WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
  return code;
}

TempDir::TempDir() {
  wchar_t base[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, base);
  static LONG counter = 0;
  wchar_t name[64];
  wsprintfW(name, L"zyhok-test-%lu-%lu-%ld", GetCurrentProcessId(), GetTickCount(),
            InterlockedIncrement(&counter));
  path_ = std::wstring(base, n) + name;
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

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

LogCapture::LogCapture(const std::wstring& levels) {
  file_ = dir_ / L"journal.log";
  JournalSink_Configure(file_.c_str(), levels.c_str());
}

LogCapture::~LogCapture() { JournalSink_Configure(L"", L"*=2"); }

void LogCapture::SetLevels(const std::wstring& levels) { JournalSink_Configure(nullptr, levels.c_str()); }

void LogCapture::Clear() { DeleteFileW(file_.c_str()); }

std::vector<LogCapture::Line> LogCapture::Lines() const {
  std::vector<Line> lines;
  for (const std::wstring& raw : SplitLines(Utf8ToWide(ReadFileBytes(file_)))) {
    // time \t L<level> \t module \t source:line \t text (which may hold tabs of its own)
    std::wistringstream in(raw);
    std::wstring time, level, module, where, text;
    if (!std::getline(in, time, L'\t') || !std::getline(in, level, L'\t') || !std::getline(in, module, L'\t') ||
        !std::getline(in, where, L'\t')) {
      continue;
    }
    std::getline(in, text, L'\0');
    const size_t colon = where.rfind(L':');
    lines.push_back({static_cast<unsigned>(wcstoul(level.c_str() + 1, nullptr, 10)), module,
                     where.substr(0, colon), static_cast<unsigned>(wcstoul(where.c_str() + colon + 1, nullptr, 10)),
                     text});
  }
  return lines;
}

std::vector<std::wstring> LogCapture::Texts(unsigned level) const {
  std::vector<std::wstring> texts;
  for (const Line& line : Lines()) {
    if (level == 0 || line.level == level) texts.push_back(line.text);
  }
  return texts;
}

bool LogCapture::Has(unsigned level, const std::wstring& text) const {
  for (const Line& line : Lines()) {
    if (line.level == level && line.text == text) return true;
  }
  return false;
}

std::string LogCapture::Dump() const {
  std::ostringstream out;
  for (const Line& line : Lines()) {
    out << "  L" << line.level << " [" << WideToUtf8(line.module) << "] " << WideToUtf8(line.text)
        << "\n";
  }
  return out.str();
}

namespace {

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  SERVICE_STATUS status;
  while (QueryServiceStatus(service, &status)) {
    if (status.dwCurrentState == state) return true;
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(50);
  }
  return false;
}

}  // namespace

void InstallDriverByInf(const std::wstring& package_dir) {
  std::wstring command = L"DefaultInstall 128 " + package_dir + L"\\zyhok.inf";
  InstallHinfSectionW(nullptr, nullptr, command.c_str(), 0);
}

DWORD ServiceState() {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 0;
  UniqueScHandle service(OpenServiceW(manager.get(), L"zyhok", SERVICE_QUERY_STATUS));
  SERVICE_STATUS status;
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}

namespace {

// Sends the start (or the stop) to zyhok and waits up to 10 s for the state it leads to.
bool ControlDriver(bool start) {
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"zyhok", SERVICE_START | SERVICE_STOP |
                                                                        SERVICE_QUERY_STATUS)
                                 : nullptr);
  SERVICE_STATUS status;
  if (!service) return false;
  if (start && !StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    return false;
  }
  if (!start) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  return WaitForState(service.get(), start ? SERVICE_RUNNING : SERVICE_STOPPED, 10000);
}

}  // namespace

bool StartDriver() { return ControlDriver(true); }
bool StopDriver() { return ControlDriver(false); }

void RemoveDriverService(const std::wstring& package_dir) {
  const DWORD state = ServiceState();
  if (state != 0 && state != SERVICE_STOPPED) StopDriver();
  if (!package_dir.empty()) {
    std::wstring command = L"DefaultUninstall 128 " + package_dir + L"\\zyhok.inf";
    InstallHinfSectionW(nullptr, nullptr, command.c_str(), 0);
  }
  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  UniqueScHandle service(manager ? OpenServiceW(manager.get(), L"zyhok", DELETE) : nullptr);
  const bool deleted = service && DeleteService(service.get());
  service.reset();
  // The service manager removes a deleted service, and its key, once the last handle to it is closed
  // and it has stopped: a busy machine can take seconds, and an install meanwhile would find the
  // service marked for deletion.
  for (int i = 0; deleted && i < 500 && HklmKeyExists(L"SYSTEM\\CurrentControlSet\\Services\\zyhok"); ++i) {
    Sleep(20);
  }
  SetFileAttributesW(InstalledDriverPath().c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(InstalledDriverPath().c_str());
}

namespace {
constexpr DWORD kStepTimeoutMs = 10000;
}  // namespace

TestService::TestService(const std::wstring& name, const std::vector<std::wstring>& steps,
                         const std::wstring& stop_mode)
    // The process id in the name keeps a run clear of a service of an earlier run still going away.
    : name_(name + L"_" + std::to_wstring(GetCurrentProcessId())) {
  step_.reset(CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + name_ + L"_step").c_str()));
  stepped_.reset(CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + name_ + L"_stepped").c_str()));
  std::wstring command = L"\"" + BinDir() + L"zyhok_testservice.exe\" " + stop_mode;
  for (const std::wstring& step : steps) command += L" " + step;
  manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager_) return;
  service_.reset(CreateServiceW(manager_.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                SERVICE_ERROR_IGNORE, command.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr));
}

TestService::~TestService() {
  if (!service_) return;
  SERVICE_STATUS status = Status();
  if (status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
    WaitForState(service_.get(), SERVICE_STOPPED, 15000);
  }
  DeleteService(service_.get());
  service_.reset();
  // The service disappears once the last handle to it is closed.
  for (int i = 0; i < 250; ++i) {
    UniqueScHandle again(OpenServiceW(manager_.get(), name_.c_str(), SERVICE_QUERY_STATUS));
    if (!again) break;
    again.reset();
    Sleep(20);
  }
}

bool TestService::Start() {
  if (!service_) return false;
  ResetEvent(stepped_.get());
  if (!StartServiceW(service_.get(), 0, nullptr)) return false;
  return WaitStepped();
}

bool TestService::Step() {
  ResetEvent(stepped_.get());
  SetEvent(step_.get());
  return WaitStepped();
}

bool TestService::WaitStepped() {
  return WaitForSingleObject(stepped_.get(), kStepTimeoutMs) == WAIT_OBJECT_0;
}

SERVICE_STATUS TestService::Status() const {
  SERVICE_STATUS status = {};
  if (service_) QueryServiceStatus(service_.get(), &status);
  return status;
}

bool CopyTree(const std::wstring& from, const std::wstring& to) {
  if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  bool ok = FileExists(from);
  for (const std::wstring& name : ListFolder(from)) {
    const std::wstring source = from + L"\\" + name, target = to + L"\\" + name;
    ok = ((GetFileAttributesW(source.c_str()) & FILE_ATTRIBUTE_DIRECTORY) ? CopyTree(source, target)
                                                                         : CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE) &&
         ok;
  }
  return ok;
}

namespace {
constexpr DWORD kHolderTimeoutMs = 60000;
}  // namespace

HoldingProcess::HoldingProcess(const std::wstring& mode, const std::wstring& path) {
  static LONG counter = 0;
  const std::wstring stem = L"zyhok-holding-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&counter));
  ready_.reset(CreateEventW(nullptr, TRUE, FALSE, (stem + L"-ready").c_str()));
  release_.reset(CreateEventW(nullptr, TRUE, FALSE, (stem + L"-release").c_str()));
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (!ready_ || !release_) return;
  // The holder also watches this process, so a test that dies does not leave the file held.
  process_ = StartProcess(L"\"" + std::wstring(self, n) + L"\" --hold " + mode + L" \"" + path + L"\" " + stem +
                              L"-ready " + stem + L"-release " + std::to_wstring(GetCurrentProcessId()),
                          BinDir());
  if (!process_) return;
  // Either the holder has taken the file or it has ended without it.
  HANDLE waits[] = {ready_.get(), process_.get()};
  holding_ = WaitForMultipleObjects(2, waits, FALSE, kHolderTimeoutMs) == WAIT_OBJECT_0;
}

bool RunAsHolder(int* exit_code) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr || count != 7 || std::wstring(args[1]) != L"--hold") {
    LocalFree(args);
    return false;
  }
  const std::wstring mode = args[2];
  const zyhok::UniqueModule module(mode == L"load" ? LoadLibraryW(args[3]) : nullptr);
  const UniqueFileHandle file(mode == L"open" ? CreateFileW(args[3], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                            nullptr, OPEN_EXISTING, 0, nullptr)
                                              : INVALID_HANDLE_VALUE);
  const zyhok::UniqueKernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[4]));
  const zyhok::UniqueKernelHandle release(OpenEventW(SYNCHRONIZE, FALSE, args[5]));
  const zyhok::UniqueKernelHandle parent(OpenProcess(SYNCHRONIZE, FALSE, wcstoul(args[6], nullptr, 10)));
  LocalFree(args);
  *exit_code = (module || file) && ready && release && parent ? 0 : 2;
  if (*exit_code != 0) return true;
  SetEvent(ready.get());
  HANDLE waits[] = {release.get(), parent.get()};
  WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  return true;
}

HoldingProcess::~HoldingProcess() { Release(); }

void HoldingProcess::Release() {
  holding_ = false;
  if (!process_) return;
  SetEvent(release_.get());
  if (WaitForSingleObject(process_.get(), kHolderTimeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), kHolderTimeoutMs);
  }
  process_.reset();
}

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find(L"\r\n", pos);
    if (end == std::wstring::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

std::wstring RegValue::Units() const {
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

std::ostream& operator<<(std::ostream& out, const RegValue& value) {
  out << "{error " << value.error << ", type " << value.type << ",";
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
    std::wstring units = value.Units();
    for (size_t nul = units.find(L'\0'); nul != std::wstring::npos; nul = units.find(L'\0', nul)) {
      units.replace(nul, 1, L"\\0");
    }
    out << " \"" << WideToUtf8(units) << "\"" << (value.bytes.size() % 2 ? " + odd byte" : "");
  } else {
    for (unsigned char byte : value.bytes) out << " " << std::hex << unsigned(byte) << std::dec;
  }
  return out << "}";
}

RegValue Raw(DWORD type, const void* data, size_t bytes) {
  return {ERROR_SUCCESS, type, std::string(static_cast<const char*>(data), bytes)};
}

RegValue Sz(const std::wstring& text, DWORD type) {
  return Raw(type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

RegValue Dword(DWORD value) { return Raw(REG_DWORD, &value, sizeof(value)); }

bool HklmKeyExists(const std::wstring& key) {
  UniqueHKey handle;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

RegValue ReadHklmValue(const std::wstring& key, const wchar_t* name) {
  RegValue out;
  UniqueHKey handle;
  DWORD size = 0;
  out.error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, handle.put());
  if (out.error == ERROR_SUCCESS) {
    out.error = RegQueryValueExW(handle.get(), name, nullptr, &out.type, nullptr, &size);
  }
  if (out.error != ERROR_SUCCESS) return out;
  out.bytes.resize(size);
  out.error = RegQueryValueExW(handle.get(), name, nullptr, &out.type,
                               reinterpret_cast<BYTE*>(&out.bytes[0]), &size);
  out.bytes.resize(size);
  return out;
}

LONG WriteHklmValue(const std::wstring& key, const wchar_t* name, const RegValue& value) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, value.type, value.bytes.data(),
                         static_cast<DWORD>(value.bytes.size()));
}

void DeleteHklmTree(const std::wstring& key) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()); }

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), ::towlower);
  return text;
}

std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

}  // namespace zyhok_test
