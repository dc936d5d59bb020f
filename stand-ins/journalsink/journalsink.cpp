// Stand-in for the platform's journalsink.dll: a per-module level table and a UTF-8 log file.
//
// Configuration at load: ZYJOURNAL_FILE names the file (default
// C:\ProgramData\Velmora\ZEFA\Logs\journalsink.log, below the platform's data folder), ZYJOURNAL_LEVELS the
// levels ("*=2" when unset: every module writes levels 2 and above). JournalSink_Configure changes both
// at run time.
//
// Each line is "YYYY-MM-DD hh:mm:ss.mmm\tL<level>\t<module>\t<source>:<line>\t<text>\r\n", written with one
// WriteFile on a handle opened for appending (and closed again, so the file can be read, moved or
// deleted between lines) while a named mutex, derived from the file's path, is held: lines from
// several threads or processes never interleave. The mutex of a file is created at its first line
// and kept until the library unloads.
//
// The platform promises nothing about the thread's last-error value across these calls, and a real log
// library changes it: a lookup of its configuration in the environment or the registry that finds
// nothing sets 203 or 2, a successful TlsGetValue sets 0. So every export here leaves a value of its own
// (kDefaultHandleError, kLogLevelError, kFlushError): a caller that leans on the log library keeping the
// value fails its tests here rather than on a customer's machine.
//
// Fault injection: ZYJOURNAL_CUT, read at load, makes the process die the way a killed host or a lost
// power supply ends it, at a chosen line. "ZYJOURNAL_CUT=<n>" picks the n-th line (1-based) that
// Log_Flush is asked to write in this process; "ZYJOURNAL_CUT=text:<substring>" picks the first line
// whose text contains the substring (case-sensitive). When asked to write the chosen line, the stand-in
// calls TerminateProcess on its own process with exit code kCutExitCode (0xDEAD) before the line is
// formatted: the line is never written, no destructor, atexit handler or DLL detach runs, and nothing
// that the caller did before it is undone. So a log that holds lines 1..n-1 proves the process reached
// the step that line n announces, and got no further. Unset, empty or unparsable: no cut.
#define JOURNALSINK_BUILD
#include "journalsink.h"

#include <windows.h>
#include <shlobj.h>

#include <cwctype>
#include <map>
#include <string>

namespace {

struct Config {
  std::wstring file;
  std::map<std::wstring, uint32_t> levels;
  uint32_t default_level = 2;
};

// What each export leaves in the thread's last-error value.
constexpr DWORD kDefaultHandleError = ERROR_SUCCESS;    // as a successful TlsGetValue leaves it
constexpr DWORD kLogLevelError = ERROR_FILE_NOT_FOUND;  // as a registry lookup that found nothing
constexpr DWORD kFlushError = ERROR_ENVVAR_NOT_FOUND;   // as an environment lookup that found nothing

SRWLOCK g_lock = SRWLOCK_INIT;
Config* g_config = nullptr;  // created at process attach, never freed before detach

// The named mutex of each file written so far, created at its first line and closed at detach, so
// that a line costs no mutex creation. Guarded by its own lock.
SRWLOCK g_mutex_lock = SRWLOCK_INIT;
std::map<std::wstring, HANDLE>* g_mutexes = nullptr;
int g_handle_tag = 0;  // the address of this object is the default handle

// The ZYJOURNAL_CUT setting: a line number (0 = none) or a text to look for (empty = none).
constexpr UINT kCutExitCode = 0xDEAD;
LONG g_cut_line = 0;
std::wstring* g_cut_text = nullptr;
volatile LONG g_lines_asked = 0;

std::wstring GetEnv(const wchar_t* name) {
  wchar_t buffer[2048];
  DWORD n = GetEnvironmentVariableW(name, buffer, 2048);
  if (n == 0 || n >= 2048) return std::wstring();
  return std::wstring(buffer, n);
}

std::wstring DefaultFile() {
  wchar_t data[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data))) {
    lstrcpynW(data, L"C:\\ProgramData", MAX_PATH);
  }
  return std::wstring(data) + L"\\Velmora\\ZEFA\\Logs\\journalsink.log";
}

std::wstring Trim(const std::wstring& s) {
  size_t b = 0, e = s.size();
  while (b < e && iswspace(s[b])) ++b;
  while (e > b && iswspace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Parses "module=level;module=level;*=level". Returns false (and leaves `out` alone) on bad syntax.
bool ParseLevels(const std::wstring& text, Config& out) {
  std::map<std::wstring, uint32_t> levels;
  uint32_t default_level = 2;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(L';', pos);
    if (end == std::wstring::npos) end = text.size();
    std::wstring item = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (item.empty()) continue;
    size_t eq = item.rfind(L'=');
    if (eq == std::wstring::npos) return false;
    std::wstring name = Trim(item.substr(0, eq));
    std::wstring value = Trim(item.substr(eq + 1));
    if (name.empty() || value.empty()) return false;
    wchar_t* stop = nullptr;
    unsigned long level = wcstoul(value.c_str(), &stop, 0);
    if (*stop != L'\0') return false;
    if (name == L"*") {
      default_level = static_cast<uint32_t>(level);
    } else {
      levels[name] = static_cast<uint32_t>(level);
    }
  }
  out.levels = std::move(levels);
  out.default_level = default_level;
  return true;
}

void CreateParentFolders(const std::wstring& file) {
  for (size_t i = 3; i < file.size(); ++i) {
    if (file[i] == L'\\' || file[i] == L'/') {
      CreateDirectoryW(file.substr(0, i).c_str(), nullptr);
    }
  }
}

std::wstring MutexNameFor(const std::wstring& file) {
  // FNV-1a over the case-folded path: the same file gets the same mutex in every process.
  uint64_t hash = 1469598103934665603ull;
  for (wchar_t c : file) {
    hash ^= static_cast<uint16_t>(towlower(c));
    hash *= 1099511628211ull;
  }
  wchar_t name[64];
  wsprintfW(name, L"Local\\JournalSink_%08lx%08lx", static_cast<unsigned long>(hash >> 32),
            static_cast<unsigned long>(hash & 0xffffffffu));
  return name;
}

HANDLE MutexFor(const std::wstring& file) {
  AcquireSRWLockExclusive(&g_mutex_lock);
  HANDLE& mutex = (*g_mutexes)[file];
  if (mutex == nullptr) mutex = CreateMutexW(nullptr, FALSE, MutexNameFor(file).c_str());
  HANDLE result = mutex;
  ReleaseSRWLockExclusive(&g_mutex_lock);
  return result;
}

std::string ToUtf8(const wchar_t* text, int units) {
  if (units <= 0) return std::string();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, units, &out[0], bytes, nullptr, nullptr);
  return out;
}

std::wstring BaseName(const wchar_t* path) {
  if (path == nullptr) return L"(NULL)";
  const wchar_t* base = path;
  for (const wchar_t* p = path; *p; ++p) {
    if (*p == L'\\' || *p == L'/') base = p + 1;
  }
  return base;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    g_config = new Config();
    g_mutexes = new std::map<std::wstring, HANDLE>();
    std::wstring file = GetEnv(L"ZYJOURNAL_FILE");
    g_config->file = file.empty() ? DefaultFile() : file;
    std::wstring levels = GetEnv(L"ZYJOURNAL_LEVELS");
    if (!levels.empty()) ParseLevels(levels, *g_config);
    const std::wstring cut = GetEnv(L"ZYJOURNAL_CUT");
    if (cut.rfind(L"text:", 0) == 0 && cut.size() > 5) {
      g_cut_text = new std::wstring(cut.substr(5));
    } else if (!cut.empty()) {
      wchar_t* stop = nullptr;
      const unsigned long line = wcstoul(cut.c_str(), &stop, 10);
      if (*stop == L'\0' && line > 0 && line <= 0x7fffffff) g_cut_line = static_cast<LONG>(line);
    }
  } else if (reason == DLL_PROCESS_DETACH) {
    delete g_config;
    g_config = nullptr;
    delete g_cut_text;
    g_cut_text = nullptr;
    for (const auto& entry : *g_mutexes) {
      if (entry.second != nullptr) CloseHandle(entry.second);
    }
    delete g_mutexes;
    g_mutexes = nullptr;
  }
  return TRUE;
}

extern "C" void* Log_GetDefaultHandle(void) {
  SetLastError(kDefaultHandleError);
  return &g_handle_tag;
}

extern "C" uint32_t Log_GetLogLevel(void* handle, const wchar_t* module) {
  SetLastError(kLogLevelError);
  if (handle != &g_handle_tag || module == nullptr) return 0;
  AcquireSRWLockShared(&g_lock);
  uint32_t level = g_config->default_level;
  auto it = g_config->levels.find(module);
  if (it != g_config->levels.end()) level = it->second;
  ReleaseSRWLockShared(&g_lock);
  return level;
}

namespace {

// Ends the process at once when this line is the one ZYJOURNAL_CUT chose.
void CutHereIfChosen(const wchar_t* text, uint32_t text_bytes) {
  const LONG number = InterlockedIncrement(&g_lines_asked);
  bool chosen = g_cut_line != 0 && number == g_cut_line;
  if (g_cut_text != nullptr && text != nullptr) {
    chosen = chosen || std::wstring(text, text_bytes / sizeof(wchar_t)).find(*g_cut_text) != std::wstring::npos;
  }
  if (chosen) TerminateProcess(GetCurrentProcess(), kCutExitCode);
}

uint32_t WriteLine(void* handle, const wchar_t* module, uint32_t level, const wchar_t* source_file,
                   uint32_t source_line, const wchar_t* text, uint32_t text_bytes) {
  if (handle != &g_handle_tag) return ERROR_INVALID_HANDLE;
  if (text == nullptr && text_bytes != 0) return ERROR_INVALID_PARAMETER;
  CutHereIfChosen(text, text_bytes);

  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t head[64];
  wsprintfW(head, L"%04u-%02u-%02u %02u:%02u:%02u.%03u\tL%u\t", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
            now.wSecond, now.wMilliseconds, level);
  std::wstring line = head;
  line += module ? module : L"(NULL)";
  line += L'\t';
  line += BaseName(source_file);
  wchar_t number[16];
  wsprintfW(number, L":%u\t", source_line);
  line += number;
  if (text != nullptr) line.append(text, text_bytes / sizeof(wchar_t));
  line += L"\r\n";
  const std::string bytes = ToUtf8(line.data(), static_cast<int>(line.size()));

  AcquireSRWLockShared(&g_lock);
  const std::wstring file = g_config->file;
  ReleaseSRWLockShared(&g_lock);

  HANDLE mutex = MutexFor(file);
  if (mutex != nullptr) WaitForSingleObject(mutex, 5000);
  HANDLE out = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    CreateParentFolders(file);
    out = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  uint32_t result = ERROR_SUCCESS;
  if (out == INVALID_HANDLE_VALUE) {
    result = GetLastError();
  } else {
    DWORD written = 0;
    if (!WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) || written != bytes.size()) {
      result = GetLastError();
      if (result == ERROR_SUCCESS) result = ERROR_WRITE_FAULT;
    }
    CloseHandle(out);
  }
  if (mutex != nullptr) ReleaseMutex(mutex);
  return result;
}

}  // namespace

extern "C" uint32_t Log_Flush(void* handle, const wchar_t* module, uint32_t level, const wchar_t* source_file,
                              uint32_t source_line, const wchar_t* text, uint32_t text_bytes) {
  const uint32_t result = WriteLine(handle, module, level, source_file, source_line, text, text_bytes);
  SetLastError(kFlushError);
  return result;
}

extern "C" uint32_t JournalSink_Configure(const wchar_t* file, const wchar_t* levels) {
  Config parsed;
  if (levels != nullptr && !ParseLevels(levels, parsed)) return ERROR_INVALID_PARAMETER;
  AcquireSRWLockExclusive(&g_lock);
  if (file != nullptr) g_config->file = file[0] ? std::wstring(file) : DefaultFile();
  if (levels != nullptr) {
    g_config->levels = std::move(parsed.levels);
    g_config->default_level = parsed.default_level;
  }
  ReleaseSRWLockExclusive(&g_lock);
  return ERROR_SUCCESS;
}
