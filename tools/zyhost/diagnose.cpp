// zyhost diagnose: what the plug-in has left on this machine, read straight from the system (no
// plug-in call): the zyhok service and its driver file, the values of its service key that the
// plug-in writes or reads, the staging trees under the system folder and SysWOW64, the action journal, the
// entries of the pending-deletion list that concern the driver's files and folders, and the problems among
// them: every file in the staging trees that no value registers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <utility>

#include "plugin_interface.h"
#include "staging/staging_layout.h"
#include "util/handle.h"
#include "util/pending_renames.h"
#include "zyhost.h"

namespace zyhost {

namespace {

using zyhok::kAddOnKey32;
using zyhok::kAddOnKey64;
using zyhok::kServiceKey;
constexpr const wchar_t* kServiceName = zyhok::kDriverName;
using zyhok::kSessionManagerKey;
// The staging tree holds zyhok\20019\<component>\<version>; deeper levels would be a fault.
constexpr int kStagingDepth = 6;

// Values under the service key: the settings of every install, the ownership flags and the
// registered monitor engine paths. Those that name a file are marked.
struct ValueName {
  const wchar_t* name;
  bool names_file;
};
constexpr ValueName kServiceValues[] = {
    {L"ZYHOKSystemDiskName", false},
    {L"BootStatus", false},
    {L"GHSwitch", false},
    {L"HokFlags", false},
    {L"PermCount", false},
    {L"InstalledByZefa", false},
    {L"DeleteFlag", false},
    {zyhok::kEngineValue32, true},
    {zyhok::kEngineDeviceValue32, false},
    {zyhok::kEngineValue64, true},
    {zyhok::kEngineDeviceValue64, false},
};
// The event add-on's sub-keys of the service key, with the same three values each.
constexpr const wchar_t* kAddOnKeys[] = {kAddOnKey32, kAddOnKey64};
constexpr ValueName kAddOnValues[] = {
    {zyhok::kAddOnPathValue, true}, {zyhok::kAddOnDevicePathValue, false}, {zyhok::kAddOnVersionValue, false}};

using Key = zyhok::UniqueHKey;

struct RegValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

Key OpenKey(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    return Key();
  }
  return Key(key);
}

RegValue ReadValue(HKEY key, const wchar_t* name) {
  RegValue value;
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(value.data.size());
    const LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &value.type, value.data.empty() ? nullptr : value.data.data(), &size);
    if (status == ERROR_SUCCESS && (!value.data.empty() || size == 0)) {
      value.data.resize(size);
      value.present = true;
      return value;
    }
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return RegValue();
    value.data.resize(size + 2);  // room for a terminator the writer may have left out
  }
  return RegValue();
}

// REG_SZ data as text, stopping at the first NUL and never reading past the data.
std::wstring ValueText(const RegValue& value) {
  const wchar_t* units = reinterpret_cast<const wchar_t*>(value.data.data());
  const size_t count = value.data.size() / sizeof(wchar_t);
  size_t n = 0;
  while (n < count && units[n] != L'\0') ++n;
  return std::wstring(units, n);
}

bool IsText(const RegValue& value) { return value.type == REG_SZ || value.type == REG_EXPAND_SZ; }
bool IsDword(const RegValue& value) { return value.type == REG_DWORD && value.data.size() == 4; }

DWORD ValueDword(const RegValue& value) {
  DWORD number = 0;
  std::memcpy(&number, value.data.data(), sizeof(number));
  return number;
}

void PrintValue(Report& r, const wchar_t* name, const RegValue& value, bool names_file) {
  const std::string key = Utf8(name);
  if (!value.present) {
    r.Null(key.c_str(), key.c_str(), "(absent)");
  } else if (IsDword(value)) {
    const DWORD number = ValueDword(value);
    if (r.json()) {
      r.Number(key.c_str(), key.c_str(), number);
    } else {
      wchar_t text[48];
      (void)std::swprintf(text, 48, L"%lu (0x%08lX)", number, number);
      r.TextLine(key.c_str(), text);
    }
  } else if (IsText(value)) {
    const std::wstring text = ValueText(value);
    if (r.json()) {
      r.String(key.c_str(), key.c_str(), text);
      if (names_file && !text.empty()) {
        r.Flag((key + "_file_present").c_str(), "", IsFile(text));
      }
    } else if (names_file && !text.empty()) {
      r.TextLine(key.c_str(), text + (IsFile(text) ? L"  (file present)" : L"  (no such file)"));
    } else {
      r.TextLine(key.c_str(), text.empty() ? L"(empty text)" : text);
    }
  } else {
    wchar_t text[64];
    (void)std::swprintf(text, 64, L"(type %lu, %u bytes)", value.type, static_cast<unsigned>(value.data.size()));
    r.String(key.c_str(), key.c_str(), text);
  }
}

void PrintService(Report& r) {
  r.BeginObject("service", "service");
  ServiceView view;
  ReadService(&view);
  if (r.json()) r.Flag("present", "", view.service.valid());
  if (view.error != 0) {
    if (r.json()) {
      r.String("reason", "", ServiceErrorReason(view.error));
      r.Number("error", "", view.error);
      r.String("error_text", "", WindowsErrorText(view.error));
    } else {
      r.TextLine("state", std::wstring(ServiceErrorReason(view.error)) + L" (" + WindowsErrorText(view.error) + L")");
    }
  } else {
    const DWORD state = view.status.dwCurrentState;
    if (r.json()) {
      r.Number("state", "", state);
      r.String("state_name", "", ServiceStateName(state));
    } else {
      r.TextLine("state", std::wstring(ServiceStateName(state)) + L" (" + std::to_wstring(state) + L")");
    }
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(view.service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
      r.String("binary", "binary", config->lpBinaryPathName ? config->lpBinaryPathName : L"");
      r.Number("start_type", "start type", config->dwStartType);
    }
  }
  r.EndObject();

  // The file whose version the plug-in's status report reads.
  const std::wstring driver = SystemFolder() + L"\\drivers\\" + kServiceName + L".sys";
  r.BeginObject("driver_file", "driver file");
  r.String("path", "path", driver);
  r.Flag("present", "present", IsFile(driver));
  uint16_t fixed[4] = {};
  if (ReadFixedFileVersion(driver, fixed)) {
    wchar_t text[64];
    (void)std::swprintf(text, 64, L"%u.%u.%u.%u", fixed[0], fixed[1], fixed[2], fixed[3]);
    r.String("fixed_version", "fixed version", text);
    (void)std::swprintf(text, 64, L"%u.%u.%u", fixed[0], fixed[1], fixed[3]);
    r.String("status_version", "status reports", text);
  } else {
    r.Null("fixed_version", "fixed version", "unreadable");
  }
  std::wstring version;
  if (ReadFileVersionText(driver, &version)) {
    r.String("file_version", "FileVersion", version);
  } else {
    r.Null("file_version", "FileVersion", "unreadable");
  }
  r.EndObject();
}

void PrintValues(Report& r, HKEY key, const ValueName* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    PrintValue(r, names[i].name, ReadValue(key, names[i].name), names[i].names_file);
  }
}

// Folders of a staging tree below `folder`, each with its files, outermost first.
void WalkStaging(Report& r, const std::wstring& root, const std::wstring& relative, int depth) {
  std::vector<std::wstring> files, folders;
  const std::wstring folder = root + L"\\" + relative;
  ListFolder(folder, &files, &folders);
  if (r.json()) {
    r.BeginItem(relative);
    r.String("folder", "folder", relative);
    r.BeginList("files", "files");
    for (const std::wstring& file : files) r.Item(file);
    r.EndList();
    r.EndItem();
  } else {
    std::wstring text;
    for (const std::wstring& file : files) text += (text.empty() ? L"" : L", ") + file;
    r.TextLine(Utf8(relative).c_str(), text.empty() ? L"-" : text);
  }
  if (depth >= kStagingDepth) return;
  for (const std::wstring& sub : folders) WalkStaging(r, root, (relative + L"\\").append(sub), depth + 1);
}

void PrintStaging(Report& r) {
  r.BeginList("staging", "staging");
  for (const std::wstring& root : {SystemFolder(), Wow64Folder()}) {
    r.BeginItem(L"under " + root);
    if (r.json()) r.String("root", "", root);
    r.BeginList("folders", "folders", "none");
    if (IsFolder(root + L"\\" + kServiceName)) WalkStaging(r, root, kServiceName, 1);
    r.EndList();
    r.EndItem();
  }
  r.EndList();
}

std::wstring Lower(std::wstring text);
std::vector<std::wstring> ReadPending();

// The files of the staging trees, at any depth (to the depth the walk above shows).
void CollectStagedFiles(const std::wstring& folder, int depth, std::vector<std::wstring>* out) {
  std::vector<std::wstring> files, folders;
  ListFolder(folder, &files, &folders);
  const std::wstring prefix = folder + L"\\";
  for (const std::wstring& file : files) out->push_back(prefix + file);
  if (depth >= kStagingDepth) return;
  for (const std::wstring& sub : folders) CollectStagedFiles(prefix + sub, depth + 1, out);
}

// A staged file that no value registers has no owner: the plug-in retires only what it can name.
void PrintProblems(Report& r) {
  std::vector<std::wstring> registered;
  const std::wstring addon = std::wstring(kServiceKey) + L"\\";
  for (const auto& [key, name] : {std::pair{std::wstring(kServiceKey), zyhok::kEngineValue32},
                                  std::pair{std::wstring(kServiceKey), zyhok::kEngineValue64},
                                  std::pair{addon + kAddOnKey32, zyhok::kAddOnPathValue},
                                  std::pair{addon + kAddOnKey64, zyhok::kAddOnPathValue}}) {
    const Key handle = OpenKey(key);
    if (!handle) continue;
    // An add-on with an empty version text is registered with a doubled separator before its name.
    std::wstring path = Lower(ValueText(ReadValue(handle.get(), name)));
    for (size_t at; (at = path.find(L"\\\\", 2)) != std::wstring::npos;) path.erase(at, 1);
    registered.push_back(path);
  }
  std::vector<std::wstring> files;
  for (const std::wstring& root : {SystemFolder(), Wow64Folder()}) {
    if (IsFolder(root + L"\\" + kServiceName)) CollectStagedFiles(root + L"\\" + kServiceName, 1, &files);
  }
  r.BeginList("problems", "problems", "none");
  for (const std::wstring& file : files) {
    if (std::find(registered.begin(), registered.end(), Lower(file)) != registered.end()) continue;
    r.Item(file + L" is in a staging tree, but no value registers it");
  }
  // A registered copy queued for deletion disappears at the next reboot: the driver then injects nothing.
  const std::vector<std::wstring> pending = ReadPending();
  for (size_t i = 0; i + 1 < pending.size(); i += 2) {
    const std::wstring path = zyhok::PendingEntryPath(pending[i]);
    if (!pending[i + 1].empty() || path.empty()) continue;
    if (std::find(registered.begin(), registered.end(), Lower(path)) == registered.end()) continue;
    r.Item(path + L" is registered, but queued for deletion at the next reboot");
  }
  r.EndList();
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

bool StartsWithFolder(const std::wstring& path, const std::wstring& folder) {
  return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == L'\\');
}

// An entry of the pending list concerns the driver when it lies in a staging tree or its file name
// begins with the driver's name (the driver file, its backup, its catalogue copy).
bool ConcernsDriver(const std::wstring& path) {
  const std::wstring plain = Lower(zyhok::PendingEntryPath(path));
  for (const std::wstring& root : {SystemFolder(), Wow64Folder()}) {
    if (StartsWithFolder(plain, Lower(root + L"\\" + kServiceName))) return true;
  }
  const size_t slash = plain.rfind(L'\\');
  const std::wstring name = slash == std::wstring::npos ? plain : plain.substr(slash + 1);
  return name.compare(0, std::wcslen(kServiceName), kServiceName) == 0;
}

// The pending operations as stored: source, then destination (empty for a deletion).
std::vector<std::wstring> ReadPending() {
  std::vector<std::wstring> texts;
  Key key = OpenKey(kSessionManagerKey);
  if (key) {
    const RegValue value = ReadValue(key.get(), zyhok::kPendingRenamesValue);
    if (value.present && value.type == REG_MULTI_SZ) {
      texts = zyhok::SplitMultiString(reinterpret_cast<const wchar_t*>(value.data.data()),
                                      value.data.size() / sizeof(wchar_t));
      // The list ends with an empty string; drop it and any padding.
      while (!texts.empty() && texts.back().empty() && texts.size() % 2 == 1) texts.pop_back();
    }
  }
  return texts;
}

void PrintPending(Report& r) {
  const std::vector<std::wstring> texts = ReadPending();
  r.BeginList("pending_deletion", "pending deletion", "none");
  for (size_t i = 0; i < texts.size(); i += 2) {
    const std::wstring& source = texts[i];
    const std::wstring target = i + 1 < texts.size() ? texts[i + 1] : std::wstring();
    if (source.empty() || !ConcernsDriver(source)) continue;
    if (r.json()) {
      r.BeginItem(source);
      r.String("path", "path", source);
      if (target.empty()) {
        r.String("operation", "operation", L"delete");
      } else {
        r.String("operation", "operation", L"rename");
        r.String("target", "target", target);
      }
      r.EndItem();
    } else {
      std::wstring item = source + (target.empty() ? L"  (delete)" : L"  (rename to ");
      if (!target.empty()) item.append(target).append(L")");
      r.Item(item);
    }
  }
  r.EndList();
}

}  // namespace

void ReadService(ServiceView* view) {
  view->manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!view->manager) {
    view->error = GetLastError();
    return;
  }
  view->service.reset(OpenServiceW(view->manager.get(), kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!view->service || !QueryServiceStatus(view->service.get(), &view->status)) view->error = GetLastError();
}

const wchar_t* ServiceErrorReason(DWORD error) {
  switch (error) {
    case ERROR_SERVICE_DOES_NOT_EXIST: return L"not installed";
    case ERROR_SERVICE_MARKED_FOR_DELETE: return L"marked for deletion";
    case ERROR_ACCESS_DENIED: return L"access denied";
    default: return L"cannot be read";
  }
}

const wchar_t* ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"start pending";
    case SERVICE_STOP_PENDING: return L"stop pending";
    case SERVICE_RUNNING: return L"running";
    case SERVICE_CONTINUE_PENDING: return L"continue pending";
    case SERVICE_PAUSE_PENDING: return L"pause pending";
    case SERVICE_PAUSED: return L"paused";
    default: return L"unknown state";
  }
}

int CommandDiagnose(Report& r) {
  PrintService(r);
  r.BeginList("service_keys", "registry");
  std::vector<std::wstring> paths = {kServiceKey};
  for (const wchar_t* sub : kAddOnKeys) paths.push_back(std::wstring(kServiceKey) + L"\\" + sub);
  for (size_t i = 0; i < paths.size(); ++i) {
    r.BeginItem(L"HKLM\\" + paths[i]);
    if (r.json()) r.String("path", "", paths[i]);
    Key handle = OpenKey(paths[i]);
    if (!handle) {
      r.Null("values", "key", "(absent)");
    } else {
      if (r.json()) r.BeginObject("values", "");  // text mode lists the values under the key
      if (i == 0) {
        PrintValues(r, handle.get(), kServiceValues, sizeof(kServiceValues) / sizeof(kServiceValues[0]));
      } else {
        PrintValues(r, handle.get(), kAddOnValues, sizeof(kAddOnValues) / sizeof(kAddOnValues[0]));
      }
      if (r.json()) r.EndObject();
    }
    r.EndItem();
  }
  r.EndList();
  PrintStaging(r);
  const std::wstring journal = SystemFolder() + L"\\ZYHOK_DriverLifecycle\\journal";
  r.BeginObject("action_journal", "action journal");
  r.String("path", "path", journal);
  r.Flag("present", "present", IsFile(journal));  // left by an action that did not end as it should
  r.EndObject();
  PrintPending(r);
  PrintProblems(r);
  return 0;
}

}  // namespace zyhost
