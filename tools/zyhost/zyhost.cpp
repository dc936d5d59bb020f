// zyhost: a plug-in host for helperZYHOKDriver.dll, driving it as the platform's service host does,
// and a checker of driver packages and of what the plug-in leaves on a machine.
//
// It loads the DLL as plug-in hosts do (by its full path, with LOAD_WITH_ALTERED_SEARCH_PATH, so that
// the platform's libraries beside it are found before any in the current folder or on PATH), resolves
// the exports with GetProcAddress and lays out the records byte for byte as the host does. Of the
// library's code it shares only header-only pieces: the handle wrapper (util/handle.h), the names of the
// host-facing header (include/plugin_interface.h) and the staging layout's table (staging/staging_layout.h).
// Its rules for packages and paths are its own copies (rules.h), held to the library's by path_rules_test.
//
//   zyhost [options] status                          the plug-in's status report of the driver
//   zyhost [options] info                            owner module id and module version
//   zyhost [options] install|update|uninstall <package folder> [--compare-state <n>]
//   zyhost [options] batch [<action>:<package folder>[:<compare_state>] ...]
//   zyhost [options] check <package folder>          whether the package can be installed
//   zyhost [options] diagnose                        the driver's traces on this machine
// options: --plugin <dll path>, --json (one JSON object on stdout), --log (the plug-in's log lines
// that the call wrote, after the result).
//
// Exit status: 0 when the plug-in's result is a success code (check: no problem found; diagnose:
// always), 1 when it is not, 2 for usage errors and a plug-in that cannot be loaded or lacks the
// export the command needs.
#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "util/handle.h"
#include "zyhost.h"

namespace zyhost {

namespace {

// The host's driver-info record: 2060 bytes, array stride 2060.
struct DrvInfo {
  uint32_t host_word;  // the host's own; zyhost sends 0
  wchar_t wszDriverPath[1024];
  uint32_t action;
  uint32_t compare_state;
};
static_assert(sizeof(DrvInfo) == 2060, "DrvInfo is 2060 bytes");
static_assert(offsetof(DrvInfo, wszDriverPath) == 4, "DrvInfo layout");
static_assert(offsetof(DrvInfo, action) == 2052, "DrvInfo layout");
static_assert(offsetof(DrvInfo, compare_state) == 2056, "DrvInfo layout");
constexpr size_t kMaxPathUnits = sizeof(DrvInfo::wszDriverPath) / sizeof(wchar_t) - 1;

// The driver-status record handed to the callback: 112 bytes.
struct DrvStatusInfo {
  uint32_t driver_id;
  uint32_t status;
  char version[100];
  uint8_t flag;
  uint8_t padding[3];
};
static_assert(sizeof(DrvStatusInfo) == 112, "DrvStatusInfo is 112 bytes");
static_assert(offsetof(DrvStatusInfo, status) == 4, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, version) == 8, "DrvStatusInfo layout");
static_assert(offsetof(DrvStatusInfo, flag) == 108, "DrvStatusInfo layout");
// The status record's code when the plug-in could not read the service's status.
constexpr uint32_t kStatusUnreadable = 0xE01A0009;

using StatusCallback = uint32_t (*)(const DrvStatusInfo*, void*);
using DriversDoActionFn = uint32_t (*)(const DrvInfo*, uint32_t);
using EnumerateDriversInfoFn = uint32_t (*)(StatusCallback, void*);
using GetHelperOwnerModuleIdFn = uint32_t (*)();
using GetModuleVersionFn = void (*)(uint32_t*);

struct Plugin {
  zyhok::UniqueModule module;  // unloaded when the command is done
  DriversDoActionFn do_action = nullptr;
  EnumerateDriversInfoFn enumerate = nullptr;
  GetHelperOwnerModuleIdFn owner_id = nullptr;
  GetModuleVersionFn module_version = nullptr;
};

// The actions of a record. 1 and 3 are both updates (the plug-in logs compare_state once more for 1).
struct ActionName {
  const wchar_t* name;
  uint32_t action;
};
constexpr ActionName kActions[] = {{L"install", 0}, {L"update", 1}, {L"uninstall", 2}};

const wchar_t* ActionText(uint32_t action) {
  switch (action) {
    case 0: return L"install";
    case 1:
    case 3: return L"update";
    case 2: return L"uninstall";
    default: return L"unknown";
  }
}

struct RecordRequest {
  uint32_t action = 0;
  uint32_t compare_state = 0;
  std::wstring path;
};

struct Options {
  std::wstring plugin;
  bool json = false;
  bool help = false;
  bool log = false;
  bool has_compare_state = false;
  uint32_t compare_state = 0;
  std::vector<std::wstring> args;
};

const char kUsage[] =
    "usage: zyhost [--plugin <dll path>] [--json] [--log] <command>\n"
    "commands:\n"
    "  status                              the plug-in's report of the driver's state and version\n"
    "  info                                the plug-in's owner module id and module version\n"
    "  install <package folder>            one record with action 0 (install)\n"
    "  update <package folder>             one record with action 1 (update)\n"
    "  uninstall <package folder>          one record with action 2 (uninstall)\n"
    "      --compare-state <n>             compare_state of that record (default 0)\n"
    "  batch <action>:<folder>[:<n>] ...   one call with several records; <action> is install,\n"
    "                                      update, uninstall or a number; <n> is compare_state\n"
    "  check <package folder>              whether the package can be installed\n"
    "  diagnose                            the service, its registry values, staged components and\n"
    "                                      pending deletions on this machine\n"
    "--json writes one JSON object on stdout; --log prints, after the result, the plug-in's log lines\n"
    "that the call wrote. Numbers may be decimal or 0x hexadecimal.\n";

int Usage(const std::string& error) {
  (void)std::fprintf(stderr, "zyhost: %s\n%s", error.c_str(), kUsage);
  return 2;
}

// A u32 in decimal or 0x hexadecimal, nothing else (no sign, no blanks, no overflow).
bool ParseU32(const std::wstring& text, uint32_t* value) {
  size_t start = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    start = 2;
    base = 16;
  }
  if (start >= text.size()) return false;
  uint64_t number = 0;
  for (size_t i = start; i < text.size(); ++i) {
    const wchar_t c = text[i];
    int digit;
    if (c >= L'0' && c <= L'9') {
      digit = c - L'0';
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = c - L'a' + 10;
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = c - L'A' + 10;
    } else {
      return false;
    }
    number = number * base + digit;
    if (number > 0xFFFFFFFFull) return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

bool ParseAction(const std::wstring& text, uint32_t* action) {
  for (const ActionName& a : kActions) {
    if (text == a.name) {
      *action = a.action;
      return true;
    }
  }
  return ParseU32(text, action);
}

bool CheckPathLength(const std::wstring& path, std::string* error) {
  if (path.size() <= kMaxPathUnits) return true;
  *error = "a package path of " + std::to_string(path.size()) + " characters does not fit a record (at most " +
           std::to_string(kMaxPathUnits) + ")";
  return false;
}

// Prefixes behind which a path still begins with its drive: \\?\C:\..., \\.\C:\..., \??\C:\...
constexpr const wchar_t* kDevicePrefixes[] = {L"\\\\?\\", L"\\\\.\\", L"\\??\\"};

// The record syntax of `batch`, every rule of it here: <action>:<package folder>[:<compare_state>].
// - <action> is the text before the first colon: install, update, uninstall or a number.
// - The folder may begin with a drive letter and its colon, also behind a device prefix
//   (C:\pkg, \\?\C:\pkg, \\.\C:\pkg, \??\C:\pkg); that colon belongs to the folder.
// - The last colon after that starts compare_state, which must then be a number; the folder is
//   everything before it. A folder that holds a further colon is given with an explicit
//   compare_state (install:C:\a:b:0), so every path text can be sent.
// - The folder must fit a record.
bool ParseRecord(const std::wstring& text, RecordRequest* request, std::string* error) {
  const size_t colon = text.find(L':');
  if (colon == std::wstring::npos) {
    *error = "record '" + Utf8(text) + "' is not <action>:<package folder>[:<compare_state>]";
    return false;
  }
  if (!ParseAction(text.substr(0, colon), &request->action)) {
    *error = "unknown action '" + Utf8(text.substr(0, colon)) + "'";
    return false;
  }
  std::wstring rest = text.substr(colon + 1);
  size_t drive = 0;
  for (const wchar_t* prefix : kDevicePrefixes) {
    if (rest.compare(0, std::wcslen(prefix), prefix) == 0) drive = std::wcslen(prefix);
  }
  const bool has_drive = rest.size() > drive + 1 && rest[drive + 1] == L':' &&
                         ((rest[drive] | 0x20) >= L'a' && (rest[drive] | 0x20) <= L'z');
  const size_t last = rest.rfind(L':');
  if (last != std::wstring::npos && !(has_drive && last == drive + 1)) {
    if (!ParseU32(rest.substr(last + 1), &request->compare_state)) {
      *error = "compare_state '" + Utf8(rest.substr(last + 1)) + "' is not a number";
      return false;
    }
    rest.resize(last);
  }
  request->path = rest;
  return CheckPathLength(request->path, error);
}

bool ParseOptions(int argc, wchar_t** argv, Options* options, std::string* error) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (options_done || arg.compare(0, 2, L"--") != 0) {
      options->args.push_back(arg);
    } else if (arg == L"--") {
      options_done = true;
    } else if (arg == L"--json") {
      options->json = true;
    } else if (arg == L"--log") {
      options->log = true;
    } else if (arg == L"--help") {
      options->help = true;
    } else if (arg == L"--plugin" && i + 1 < argc) {
      options->plugin = argv[++i];
    } else if (arg == L"--compare-state" && i + 1 < argc) {
      if (!ParseU32(argv[++i], &options->compare_state)) {
        *error = "--compare-state needs a number";
        return false;
      }
      options->has_compare_state = true;
    } else {
      *error = "unknown option or missing value: " + Utf8(arg);
      return false;
    }
  }
  return true;
}

std::wstring DefaultPluginPath() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"helperZYHOKDriver.dll";
  std::wstring path(self, n);
  const size_t slash = path.find_last_of(L"\\/");
  path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
  return path + L"helperZYHOKDriver.dll";
}

// Reports a failure of the command itself: a JSON "error" member, or a line on stderr.
int Fail(Report& report, const std::wstring& message) {
  if (report.json()) {
    report.String("error", "error", message);
  } else {
    (void)std::fprintf(stderr, "zyhost: %s\n", Utf8(message).c_str());
  }
  return 2;
}

// Loads the plug-in and resolves the exports that `needed` names; false (with the reason reported)
// when it cannot be loaded or lacks one of them.
bool LoadPlugin(const std::wstring& path, const std::vector<const char*>& needed, Plugin& plugin, Report& report) {
  if (report.json()) report.String("plugin", "", path);
  wchar_t full[MAX_PATH] = {};
  const DWORD units = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  if (units >= MAX_PATH) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  if (units > 0 && units < MAX_PATH) plugin.module.reset(LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!plugin.module) {
    Fail(report, L"cannot load " + path + L" (" + WindowsErrorText(GetLastError()) + L")");
    return false;
  }
  auto resolve = [&plugin](const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(plugin.module.get(), name));
  };
  plugin.do_action = reinterpret_cast<DriversDoActionFn>(resolve("Plugin_Interface_DriversDoAction"));
  plugin.enumerate = reinterpret_cast<EnumerateDriversInfoFn>(resolve("Plugin_Interface_EnumerateDriversInfo"));
  plugin.owner_id = reinterpret_cast<GetHelperOwnerModuleIdFn>(resolve("Plugin_Interface_GetHelperOwnerModuleID"));
  plugin.module_version = reinterpret_cast<GetModuleVersionFn>(resolve("Plugin_Interface_GetModuleVersion"));
  for (const char* name : needed) {
    if (resolve(name) == nullptr) {
      Fail(report, L"the plug-in does not export " + Widen(name));
      return false;
    }
  }
  return true;
}

struct StatusCopy {
  int calls = 0;
  bool called = false;
  DrvStatusInfo info = {};
};

uint32_t OnStatus(const DrvStatusInfo* info, void* context) {
  auto* copy = static_cast<StatusCopy*>(context);
  ++copy->calls;
  if (info != nullptr) {
    copy->called = true;
    std::memcpy(&copy->info, info, sizeof(DrvStatusInfo));
  }
  return 0;
}

// Why the plug-in could not read the service's status, as the service manager tells zyhost (the way
// `diagnose` reads it).
void ReportStatusReason(Report& r) {
  ServiceView view;
  ReadService(&view);
  if (view.error == 0) {
    const std::wstring state = ServiceStateName(view.status.dwCurrentState);
    r.String("status_reason", "reason", L"the service manager now reports it " + state);
  } else if (r.json()) {
    r.String("status_reason", "", ServiceErrorReason(view.error));
    r.Number("status_error", "", view.error);
    r.String("status_error_text", "", WindowsErrorText(view.error));
  } else {
    r.TextLine("reason", std::wstring(ServiceErrorReason(view.error)) + L" (" + WindowsErrorText(view.error) + L")");
  }
}

int CommandStatus(const Plugin& plugin, Report& r) {
  StatusCopy copy;
  const uint32_t result = plugin.enumerate(&OnStatus, &copy);
  if (copy.called) {
    char version[sizeof(copy.info.version) + 1] = {};
    std::memcpy(version, copy.info.version, sizeof(copy.info.version));  // never trust the NUL
    r.Hex("driver_id", "driver id", copy.info.driver_id);
    r.Code("status", "status", copy.info.status);
    if (copy.info.status == kStatusUnreadable) ReportStatusReason(r);
    r.String("version", "version", Widen(version));
    r.Number("flag", "flag", copy.info.flag);
  } else {
    r.Null("driver_id", "status record", "the plug-in did not call back");
  }
  if (r.json() || copy.calls != 1) r.Number("callback_calls", "callback calls", copy.calls);
  r.Code("result", "result", result);
  return IsSuccessCode(result) && copy.called ? 0 : 1;
}

int CommandInfo(const Plugin& plugin, Report& r) {
  uint32_t version[3] = {0, 0, 0};
  plugin.module_version(version);
  r.Number("owner_module_id", "owner module id", plugin.owner_id());
  r.String("module_version", "module version",
           std::to_wstring(version[0]) + L"." + std::to_wstring(version[1]) + L"." + std::to_wstring(version[2]));
  return 0;
}

// One call of the batch export with the records in the given order. An empty batch is sent as a
// count of 0 with no records.
int CommandBatch(const Plugin& plugin, const std::vector<RecordRequest>& requests, Report& r) {
  std::vector<DrvInfo> records(requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    DrvInfo& record = records[i];
    std::memset(&record, 0, sizeof(record));  // the path's unused units are zero
    std::wmemcpy(record.wszDriverPath, requests[i].path.data(), requests[i].path.size());
    record.action = requests[i].action;
    record.compare_state = requests[i].compare_state;
  }
  r.BeginList("records", "records");
  for (size_t i = 0; i < requests.size(); ++i) {
    r.BeginItem(L"record " + std::to_wstring(i + 1));
    if (r.json()) {
      r.Number("action", "", requests[i].action);
      r.String("action_name", "", ActionText(requests[i].action));
    } else {
      r.TextLine("action",
                 std::wstring(ActionText(requests[i].action)) + L" (" + std::to_wstring(requests[i].action) + L")");
    }
    r.Number("compare_state", "compare state", requests[i].compare_state);
    r.String("package", "package", requests[i].path);
    r.EndItem();
  }
  r.EndList();
  (void)std::fflush(stdout);  // the records stay on screen whatever the call does
  const uint32_t result =
      plugin.do_action(records.empty() ? nullptr : records.data(), static_cast<uint32_t>(records.size()));
  r.Code("result", "result", result);
  if (r.json()) r.Flag("success", "", IsSuccessCode(result));
  return IsSuccessCode(result) ? 0 : 1;
}

// The file that the platform's log library writes, found as it finds it: ZYJOURNAL_FILE, else
// Velmora\ZEFA\Logs\journalsink.log under the common application data folder.
std::wstring PluginLogFile() {
  wchar_t buffer[2048];
  const DWORD n = GetEnvironmentVariableW(L"ZYJOURNAL_FILE", buffer, 2048);
  if (n != 0 && n < 2048) return std::wstring(buffer, n);
  wchar_t data[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data))) {
    lstrcpynW(data, L"C:\\ProgramData", MAX_PATH);
  }
  return std::wstring(data) + L"\\Velmora\\ZEFA\\Logs\\journalsink.log";
}

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The log's lines from byte `start` on (from its beginning when the file is now shorter: it was
// replaced), without their line ends.
std::vector<std::wstring> LogLinesSince(const std::wstring& path, uint64_t start) {
  std::vector<std::wstring> lines;
  const zyhok::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size = {};
  if (!file || !GetFileSizeEx(file.get(), &size)) return lines;
  LARGE_INTEGER from = {};
  from.QuadPart = static_cast<uint64_t>(size.QuadPart) < start ? 0 : static_cast<LONGLONG>(start);
  if (!SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN)) return lines;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
  for (size_t pos = 0; pos < bytes.size();) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(Widen(line));
    pos = end + 1;
  }
  return lines;
}

// After a plug-in call: where the log is (with --log, or when the call failed) and, with --log, the
// lines that the call wrote.
void ReportLog(Report& r, const std::wstring& file, uint64_t start, bool show_lines, bool failed) {
  if (!show_lines && !failed) return;
  r.String("log_file", "log", file);
  if (!show_lines) return;
  r.BeginList("log", "plug-in log", "none");
  for (const std::wstring& line : LogLinesSince(file, start)) r.Item(line);
  r.EndList();
}

int Run(const Options& options) {
  if (options.args.empty()) return Usage("no command given");
  const std::wstring& command = options.args[0];
  const size_t operands = options.args.size() - 1;
  const bool single_action = command == L"install" || command == L"update" || command == L"uninstall";
  if (options.has_compare_state && !single_action) {
    return Usage("--compare-state belongs to install, update and uninstall");
  }
  if (options.log && (command == L"check" || command == L"diagnose")) {
    return Usage("--log belongs to the commands that call the plug-in");
  }

  std::vector<RecordRequest> requests;
  std::string error;
  if (single_action) {
    if (operands != 1) return Usage(Utf8(command) + " takes one package folder");
    RecordRequest request;
    ParseAction(command, &request.action);
    request.compare_state = options.compare_state;
    request.path = options.args[1];
    if (!CheckPathLength(request.path, &error)) return Usage(error);
    requests.push_back(request);
  } else if (command == L"batch") {
    for (size_t i = 1; i < options.args.size(); ++i) {
      RecordRequest request;
      if (!ParseRecord(options.args[i], &request, &error)) return Usage(error);
      requests.push_back(request);
    }
  } else if (command == L"check") {
    if (operands != 1) return Usage("check takes one package folder");
  } else if (command == L"status" || command == L"info" || command == L"diagnose") {
    if (operands != 0) return Usage(Utf8(command) + " takes no operand");
  } else {
    return Usage("unknown command " + Utf8(command));
  }

  // Value columns: wide enough for the longest labels of each command.
  const int column = command == L"diagnose" ? 30 : (single_action || command == L"batch") ? 21 : 17;
  Report report(options.json, column);
  if (report.json()) report.String("command", "", command);
  int status = 0;
  if (command == L"check") {
    status = CommandCheck(options.args[1], report);
  } else if (command == L"diagnose") {
    status = CommandDiagnose(report);
  } else {
    Plugin plugin;
    std::vector<const char*> needed;
    if (command == L"status") {
      needed = {"Plugin_Interface_EnumerateDriversInfo"};
    } else if (command == L"info") {
      needed = {"Plugin_Interface_GetHelperOwnerModuleID", "Plugin_Interface_GetModuleVersion"};
    } else {
      needed = {"Plugin_Interface_DriversDoAction"};
    }
    const std::wstring path = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
    // The log's end before the plug-in is loaded: what follows is this call's.
    const std::wstring log_file = PluginLogFile();
    const uint64_t log_start = FileSize(log_file);
    if (!LoadPlugin(path, needed, plugin, report)) {
      status = 2;
    } else {
      if (command == L"status") {
        status = CommandStatus(plugin, report);
      } else if (command == L"info") {
        status = CommandInfo(plugin, report);
      } else {
        status = CommandBatch(plugin, requests, report);
      }
      ReportLog(report, log_file, log_start, options.log, status == 1);
    }
    report.Finish();
    return status;
  }
  report.Finish();
  return status;
}

}  // namespace

}  // namespace zyhost

int wmain(int argc, wchar_t** argv) {
  // Output is UTF-8 (text) or ASCII (JSON) with bare line feeds, the same on a console and a pipe.
  _setmode(_fileno(stdout), _O_BINARY);
  zyhost::Options options;
  std::string error;
  if (!zyhost::ParseOptions(argc, argv, &options, &error)) return zyhost::Usage(error);
  if (options.help) {
    (void)std::fputs(zyhost::kUsage, stdout);
    return 0;
  }
  return zyhost::Run(options);
}
