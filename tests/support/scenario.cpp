#include "support/test_support.h"
#include "lifecycle/lifecycle_lock.h"
#include <shlobj.h>
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <sstream>
#include <tuple>

namespace zyhok_test {

namespace {

std::vector<std::wstring> Split(const std::wstring& text, wchar_t by = L' ') {
  std::vector<std::wstring> out;
  std::wistringstream in(text);
  for (std::wstring item; std::getline(in, item, by);) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}
std::wstring DevicePath(const std::wstring& path) {
  wchar_t device[MAX_PATH] = {};
  QueryDosDeviceW(path.substr(0, 2).c_str(), device, MAX_PATH);
  return device + path.substr(2);
}
// Registry states as the machine shows them: a REG_DWORD in hex, a REG_SZ with its terminator.
std::wstring Dw(DWORD value) {
  wchar_t hex[16];
  wsprintfW(hex, L"%lx", value);
  return std::wstring(L"4:") + hex;
}
std::wstring Text(const std::wstring& text) { return L"1:" + text + L'\0'; }
// A retired file's name ends in "." and the tick count of the moment: shown as ".<tick>".
std::wstring Ticked(const std::wstring& path) {
  const size_t dot = path.find_last_of(L'.');
  if (dot == std::wstring::npos || dot + 1 >= path.size() || Lower(path.substr(0, dot)).rfind(L".dll") + 4 != dot) {
    return path;
  }
  const bool digits = path.find_first_not_of(L"-0123456789", dot + 1) == std::wstring::npos;
  return digits ? path.substr(0, dot) + L".<tick>" : path;
}
// Which fixture package's file of that name (engine and catalogue in the package folder, add-on in its
// AddOn folder) the file holds, or its size.
std::wstring Identify(const std::wstring& path) {
  if (!FileExists(path)) return L"none";
  const std::string bytes = ReadFileBytes(path);
  std::wstring name = Ticked(path).substr(path.find_last_of(L'\\') + 1);
  name = name.substr(0, name.find(L".<tick>"));
  for (const wchar_t* v : {L"v1", L"v2"}) {
    for (const wchar_t* sub : {L"\\", L"\\AddOn\\"}) {
      if (FileExists(PackageDir(v) + sub + name) && ReadFileBytes(PackageDir(v) + sub + name) == bytes) return v;
    }
  }
  for (const std::wstring& fixture : ListFolder(FixturesDir() + L"\\versions")) {  // no_version.dll, climbing.dll, ...
    if (ReadFileBytes(FixturesDir() + L"\\versions\\" + fixture) == bytes) return fixture.substr(0, fixture.find(L'.'));
  }
  return L"other-" + std::to_wstring(bytes.size());
}
// The staged copies of a fixture package: 64-bit engine, 32-bit engine, 64-bit add-on, 32-bit add-on; `flat`:
// directly in the component folders, as when the version text is unreadable.
std::vector<std::wstring> Components(const std::wstring& v, bool flat = false) {
  const std::wstring engine = flat ? L"" : v == L"v1" ? L"\\2.5.1043" : L"\\2.6.1100";
  const std::wstring addon = flat ? L"" : v == L"v1" ? L"\\1.0.5" : L"\\1.0.6";
  return {StagingTree64() + L"\\20019\\ZyMon" + engine + L"\\zymon64.dll",
          StagingTree32() + L"\\20019\\ZyMon" + engine + L"\\zymon.dll",
          StagingTree64() + L"\\20019\\AddOn" + addon + L"\\ZyHkEvt64.dll",
          StagingTree32() + L"\\20019\\AddOn" + addon + L"\\ZyHkEvt.dll"};
}
// The components an item names: "v1" all four, "v1e"/"v1a" the engines/add-ons, "v1e64", "v1a32" one,
// "v1-e32" all but one, a last "." staged flat as for an unreadable version text, a last ":" staged flat as for
// an empty one (an add-on is then registered with a doubled separator before its name); as (package, file, index:
// 0 to 3 in the order of kNames, -1 to -4 flat, -5 to -8 for an empty text).
constexpr int kEmptyText = -4;  // added to a flat item's index
struct Picked : std::vector<std::tuple<std::wstring, std::wstring, int>> {
  explicit Picked(const std::wstring& items) {
    const wchar_t* kNames[] = {L"e64", L"e32", L"a64", L"a32"};
    for (std::wstring item : Split(items, L'+')) {
      const bool empty_text = item.back() == L':', flat = empty_text || item.back() == L'.';
      if (flat) item.pop_back();
      const std::wstring v = item.substr(0, 2), filter = item.substr(2);
      for (int i = 0; i < 4 && v != L"no"; ++i) {
        const bool named = filter == kNames[i] || filter == std::wstring(kNames[i]).substr(0, 1);
        if (filter.empty() || (filter[0] == L'-' ? filter.substr(1) != kNames[i] : named)) {
          emplace_back(v, Components(v, flat)[i], flat ? -i - 1 + (empty_text ? kEmptyText : 0) : i);
        }
      }
    }
  }
};
// A staged file with its folders up to the staging root.
void AddStaged(Machine& m, const std::wstring& file, const std::wstring& holds) {
  m[file] = holds;
  for (std::wstring up = ParentOf(file); up.size() >= StagingTree64().size(); up = ParentOf(up)) {
    if (Lower(up).find(L"\\zyhok") != std::wstring::npos) m[up] = L"d";
    if (Lower(up.substr(up.size() - 6)) == L"\\zyhok") break;
  }
}
void SetInf(Machine& m, const std::wstring& v) {
  m[L"reg"] = L"k";
  m[L"reg|Type"] = Dw(1);
  m[L"reg|Start"] = Dw(3);
  m[L"reg|ErrorControl"] = Dw(1);
  m[L"reg|ImagePath"] = Text(SystemDir() + L"\\drivers\\zyhok.sys");
  m[L"reg|DisplayName"] = Text(std::wstring(L"ZYHOK driver (test package 1.6.0.") + (v == L"v1" ? L"1195)" : L"1200)"));
  m[L"reg|ObjectName"] = Text(L"LocalSystem");
  m[L"reg|PreshutdownTimeout"] = Dw(0x2bf20);
}
void Register(Machine& m, const std::wstring& items) {
  const wchar_t* kEngine[] = {L"reg|ZYHOKMonDll64Name", L"reg|ZYHOKMonDllName"};
  for (const auto& [v, file, index] : Picked(items)) {
    const int i = index < kEmptyText ? -index - 1 + kEmptyText : index < 0 ? -index - 1 : index;
    if (i < 2) {
      m[kEngine[i]] = Text(file);
      m[kEngine[i] + std::wstring(L"Dev")] = Text(DevicePath(file));
      continue;
    }
    const std::wstring key = i == 2 ? L"reg\\AddOn\\ZyHkEvt64" : L"reg\\AddOn\\ZyHkEvt";
    m[L"reg\\AddOn"] = m[key] = L"k";
    const std::wstring named = index < kEmptyText ? ParentOf(file) + L"\\" + file.substr(ParentOf(file).size()) : file;
    m[key + L"|path"] = Text(named);
    m[key + L"|devpath"] = Text(DevicePath(named));
    m[key + L"|version"] = Text(index < 0 ? L"" : v == L"v1" ? L"1.0.5" : L"1.0.6");
  }
}
// Registered (or journalled) paths crafted to name decoys outside the staging trees, as sub-key, value,
// journal entry and path: reached directly, as \\?\, by climbing out of a version folder, and as \\.\.
const wchar_t* const kCrafted[][4] = {
    {L"", L"ZYHOKMonDllName", L"previous.engine32=", L"%DECOYS%\\zymon.dll"},
    {L"\\AddOn\\ZyHkEvt", L"path", L"previous.addon32=", L"\\\\?\\%DECOYS%\\ZyHkEvt.dll"},
    {L"", L"ZYHOKMonDll64Name", L"previous.engine64=", L"%CLIMB%\\zymon64.dll"},
    {L"\\AddOn\\ZyHkEvt64", L"path", L"previous.addon64=", L"\\\\.\\%DECOYS%\\ZyHkEvt64.dll"}};
void Erase(Machine& m, const std::wstring& prefix) {
  for (auto at = m.lower_bound(prefix); at != m.end() && at->first.rfind(prefix, 0) == 0;) at = m.erase(at);
}

}  // namespace

ScenarioMachine::ScenarioMachine()
    : v1_(CopyPackage(copies_, L"v1")),
      v2_(CopyPackage(copies_, L"v2")),
      engine_(Components(L"v1")[0]),
      decoys_(copies_ / L"decoys") {
  SetLastError(0xDEADBEEF);
  MoveFileW(L"", L".1");
  wchar_t rename_error[16];
  wsprintfW(rename_error, L"0x%lx", GetLastError());
  std::wstring climb = StagingTree64() + L"\\20019\\ZyMon\\1";
  for (size_t level = std::count(climb.begin(), climb.end(), L'\\'); level > 0; --level) climb += L"\\..";
  tokens_ = {{L"%DECOYS%", decoys_},
             {L"%CLIMB%", climb + decoys_.substr(2)},
             {L"%V1%", v1_},
             {L"%V2%", v2_},
             {L"%LONG%", v1_ + L"\\" + std::wstring(300, L'x')},
             {L"%DRIVERS%", SystemDir() + L"\\drivers\\"},
             {L"%SYS%", SystemDir()},
             {L"%WOW%", ParentOf(StagingTree32())},
             {L"%ENGINE%", engine_},
             {L"%RENAME_ERROR%", rename_error}};
  packages_ = {ListFolder(v1_), ListFolder(v2_)};
}
std::wstring ScenarioMachine::Expand(std::wstring text) const {
  for (const auto& [token, value] : tokens_) {
    for (size_t at = text.find(token); at != std::wstring::npos; at = text.find(token, at + value.size())) {
      text.replace(at, token.size(), value);
    }
  }
  return text;
}
std::vector<zyhok::DrvInfo> ScenarioMachine::Records(const std::vector<Rec>& recs) const {
  std::vector<zyhok::DrvInfo> records;
  for (const Rec& rec : recs) records.push_back(MakeRecord(rec.action, Expand(rec.path), rec.compare_state));
  return records;
}
::testing::AssertionResult ScenarioMachine::Begin(const std::wstring& before, const LoadedPlugin& plugin) {
  ResetDriverMachineState();
  { const zyhok::LifecycleLock settle; }  // a cut run leaves the lock marked held: taken over here
  // A cut update may have left its backup beside a package copy's files.
  for (const std::wstring& copy : {v1_, v2_}) RemoveTree(copy + L"\\zyhok_backup.sys");
  for (const std::wstring& word : Split(before)) {
    if (!Prepare(word, plugin)) return ::testing::AssertionFailure() << "cannot prepare " << WideToUtf8(word);
  }
  pending_ = PendingDeletions();
  packages_ = {ListFolder(v1_), ListFolder(v2_)};
  return ::testing::AssertionSuccess();
}
// Applies one word of `before`; false when it could not be done.
bool ScenarioMachine::Prepare(const std::wstring& word, const LoadedPlugin& plugin) {
  const size_t eq = word.find(L'=');
  const std::wstring name = word.substr(0, eq), value = eq == word.npos ? L"" : word.substr(eq + 1);
  if (word == L"v1" || word == L"v2") {
    return plugin.Do(kInstall, word == L"v1" ? v1_ : v2_) == kSuccess && ServiceState() == SERVICE_RUNNING;
  }
  if (word == L"v1-inf") {
    RunInfSection(L"DefaultInstall", PackageDir(L"v1"));
    return ControlDriver(true);
  }
  if (word == L"stopped") return ControlDriver(false);
  if (word == L"no-service") {
    RemoveDriverService(PackageDir(L"v1"));
    return true;
  }
  if (word == L"no-driver-file") return DeleteFileW(InstalledDriverPath().c_str());
  if (word == L"uninstalled") return plugin.Do(kUninstall, v1_) == kSuccess;
  if (word == L"failed-uninstall") {  // an uninstall of the v1 copy without its INF file (put back after)
    const std::wstring inf = v1_ + L"\\zyhok.inf", aside = inf + L".aside";
    return MoveFileW(inf.c_str(), aside.c_str()) && plugin.Do(kUninstall, v1_) == kFailed &&
           MoveFileW(aside.c_str(), inf.c_str());
  }
  if (name == L"instance") {
    instance_.reset(CreateMailslotW((L"\\\\.\\mailslot\\zyhok_INSTANCE" + value).c_str(), 0, 0, nullptr));
    return instance_.valid();
  }
  if (word == L"hold-driver" || word == L"open-engine") {
    const bool driver = word == L"hold-driver";
    held_.reset(CreateFileW((driver ? InstalledDriverPath() : engine_).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | (driver ? 0 : FILE_SHARE_WRITE), nullptr, OPEN_EXISTING, 0, nullptr));
    return held_.valid();
  }
  if (word == L"load-engine") {
    loaded_.reset(LoadLibraryW(engine_.c_str()));
    return loaded_.valid();
  }
  if (name.size() > 3 && name[0] == L'v' && name[2] == L'/') {
    const std::wstring file = (name[1] == L'1' ? v1_ : v2_) + L"\\" + name.substr(3);
    const std::wstring fixture =
        FixturesDir() + L"\\versions\\" + (value == L"noversion" ? L"no_version" : value) + L".dll";
    return value == L"missing"  ? DeleteFileW(file.c_str())
           : value == L"junk"   ? WriteFileBytes(file, "MZ but not a driver")
           : value == L"folder" ? CreateDirectoryW(file.c_str(), nullptr)
                                : CopyFileW(fixture.c_str(), file.c_str(), FALSE);
  }
  if (name == L"stage") {  // fixture components put in place, as an earlier staging left them
    bool done = true;
    for (const auto& [v, to, i] : Picked(value)) {
      const std::wstring file = to.substr(to.find_last_of(L'\\'));
      SHCreateDirectoryExW(nullptr, ParentOf(to).c_str(), nullptr);
      done &= CopyFileW((PackageDir(v) + (i < 2 ? L"" : L"\\AddOn") + file).c_str(), to.c_str(), TRUE) != FALSE;
    }
    return done;
  }
  if (name == L"unstage") {  // staged components deleted
    bool done = true;
    for (const auto& [v, file, i] : Picked(value)) done &= DeleteFileW(file.c_str()) != FALSE;
    return done;
  }
  if (name == L"catalogue")
    return CopyFileW((PackageDir(value) + L"\\zyhok.cat").c_str(), (SystemDir() + L"\\zyhok.cat").c_str(), FALSE);
  if (name == L"staging") return WriteFileBytes(StagingTree64(), "not a folder");
  if (name == L"host") {
    host_ = value;
    return true;
  }
  if (name == L"decoys") {  // the registered paths, or (=journal) a leftover journal's, crafted as above
    bool done = CreateDirectoryW(decoys_.c_str(), nullptr) != FALSE;
    std::wstring journal;
    for (const auto& [subkey, value_name, entry, crafted] : kCrafted) {
      const std::wstring path = Expand(crafted);
      done &= WriteFileBytes(decoys_ + path.substr(path.find_last_of(L'\\')), "decoy");
      journal += entry + path + L'\0';
      if (value.empty()) done &= WriteHklmValue(kDriverServiceKey + std::wstring(subkey), value_name, Sz(path)) == 0;
    }
    journal += L'\0';
    return done && (value.empty() ||
                    WriteFileBytes(JournalPath(),
                                   std::string(reinterpret_cast<const char*>(journal.data()), journal.size() * 2)));
  }
  if (word[0] == L'-') {  // the value, or the sub-key, of that name
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kDriverServiceKey + (L"\\" + word.substr(1))).c_str());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kDriverServiceKey, &word[1]);
    return true;
  }
  const wchar_t* dword = name == L"entry" ? L"TestDriverEntryStatus" : name.c_str();
  return eq != word.npos && WriteHklmValue(kDriverServiceKey, dword, Dword(wcstoul(value.c_str(), nullptr, 0))) == 0;
}
void ScenarioMachine::Release() {
  instance_.reset();
  held_.reset();
  loaded_.reset();
}
Machine ScenarioMachine::Observe(const LoadedPlugin& plugin, const std::vector<std::wstring>& pending) {
  Machine m;
  const DWORD state = ServiceState();
  m[L"service"] = state == SERVICE_RUNNING   ? L"running"
                  : state == SERVICE_STOPPED ? L"stopped"
                  : state                    ? L"state " + std::to_wstring(state)
                                             : L"none";
  m[L"driver"] = Identify(InstalledDriverPath());
  m[L"catalogue"] = Identify(SystemDir() + L"\\zyhok.cat");
  Snapshot seen;
  SnapshotKey(kDriverServiceKey, seen);
  for (const std::wstring& tree : {StagingTree64(), StagingTree32()}) {
    if (FileExists(tree)) seen[tree] = GetFileAttributesW(tree.c_str()) & FILE_ATTRIBUTE_DIRECTORY ? L"d" : L"f";
    SnapshotFolder(tree, seen, false);
  }
  const std::wstring key = L"HKLM\\" + std::wstring(kDriverServiceKey);
  for (const auto& [path, what] : seen) {
    if (path.rfind(key, 0) == 0) {
      m[L"reg" + path.substr(key.size())] = what;
    } else {
      m[Ticked(path)] = what == L"d" ? what : Identify(path);
    }
  }
  for (const std::wstring& path : PendingDeletions()) {
    if (std::find(pending.begin(), pending.end(), path) == pending.end()) m[L"queued " + Ticked(path)] = L"";
  }
  const zyhok::DrvStatusInfo status = plugin.Status();
  std::wostringstream shown;  // the fixed fields too, and the version terminated within its buffer
  shown << L"0x" << std::hex << status.status << L"/" << Utf8ToWide(status.version) << L" id " << status.driver_id
        << L" flag " << status.flag << L" " << (std::memchr(status.version, 0, sizeof(status.version)) != nullptr);
  m[L"status"] = shown.str();
  return m;
}
// Words, applied in order: a base "v1"/"v2" (installed by the plug-in and running) or "v1-inf"/"v2-inf" (by its INF
// alone, running); then "service=", "driver=", "catalogue=" (running|stopped|none, v1|v2|none), "inf=v2" (the service
// values of that package's INF), "settings" (the four install-time values), "key=none", "staged=<items>" and
// "registered=<items>" (see Picked; staged replaces all files), "queued=engine|engine-tree|own-tree" (the held v1
// engine renamed aside, or kept under its name, and queued with its folder, or with every folder up to the staging
// root), "<value>=<number>", "<value>=-" (no such value or sub-key),
// "%path%=<state>" (a staged file and its folders), "decoys" (all four decoys as they were made).
Machine ScenarioMachine::Expected(const std::wstring& after) const {
  Machine m = {{L"service", L"none"}, {L"driver", L"none"}, {L"catalogue", L"none"}};
  for (const std::wstring& word : Split(after)) {
    const size_t eq = word.find(L'=');
    const std::wstring name = word.substr(0, eq), value = eq == word.npos ? L"" : word.substr(eq + 1);
    if (name.size() >= 2 && name[0] == L'v' && (name.size() == 2 || name.substr(2) == L"-inf")) {
      m[L"service"] = L"running";
      m[L"driver"] = name.substr(0, 2);
      SetInf(m, name.substr(0, 2));
      if (name.size() > 2) continue;
      Register(m, name);
      for (const auto& [v, file, i] : Picked(name)) AddStaged(m, file, v);
      m[L"reg|PermCount"] = m[L"reg|InstalledByZefa"] = Dw(1);
    }
    if (name == L"service" || name == L"driver" || name == L"catalogue") m[name] = value;
    if (name == L"inf") SetInf(m, value);
    if (name == L"key") Erase(m, L"reg");
    if (name == L"registered") Register(m, value);
    if (name == L"staged") {
      Erase(m, StagingTree64());
      Erase(m, StagingTree32());
      for (const auto& [v, file, i] : Picked(value)) AddStaged(m, file, v);
    }
    if (name == L"queued") {
      const bool own = value == L"own-tree";
      AddStaged(m, engine_ + (own ? L"" : L".<tick>"), L"v1");
      m[L"queued " + engine_ + (own ? L"" : L".<tick>")] = L"";
      for (std::wstring up = ParentOf(engine_); up.size() >= StagingTree64().size(); up = ParentOf(up)) {
        m[L"queued " + up] = L"";
        if (value == L"engine") break;
      }
    }
    if (word == L"settings" || (name.size() == 2 && name[0] == L'v')) {
      m[L"reg|ZYHOKSystemDiskName"] = Text(DevicePath(SystemDir().substr(0, 2)));
      m[L"reg|BootStatus"] = Dw(0xFFFFFFFF);
      m[L"reg|GHSwitch"] = Dw(1);
      m[L"reg|HokFlags"] = Dw(0);
      m[L"reg"] = L"k";
    }
    if (name[0] == L'%') AddStaged(m, Expand(name), value);
    if (word == L"decoys")  // each file named as its crafted path names it
      for (const auto& crafted : kCrafted) m[L"decoy " + std::wstring(wcsrchr(crafted[3], L'\\') + 1)] = L"decoy";
    if (eq == word.npos || iswlower(name[0]) || name[0] == L'%') continue;
    if (value == L"-") {
      m.erase(L"reg|" + name);
      Erase(m, L"reg\\" + name);
    } else {
      m[L"reg|" + name] = Dw(wcstoul(value.c_str(), nullptr, 0));
      m[L"reg"] = L"k";
    }
  }
  const std::wstring& service = m[L"service"];
  const std::wstring version = m[L"driver"] == L"v1" ? L"1.6.1195" : m[L"driver"] == L"v2" ? L"1.6.1200" : L"1.0";
  m[L"status"] = service == L"none"      ? L"0xe01a0009/1.0"
                 : service == L"running" ? L"0xe01a0004/" + version
                                         : L"0xe01a0008/" + version;
  m[L"status"] += L" id 48000165 flag 1 1";
  return m;
}

namespace {

// The lines of the plug-in's steps, "<level><module initial> <text>", where $1 and $2 stand for the step's
// arguments ($2 is $1 when not given); an entry without a level is a step of its own.
const std::map<std::wstring, std::vector<std::wstring>>& Steps() {
  // clang-format off
  static const std::map<std::wstring, std::vector<std::wstring>> steps = {
      {L"act", {L"2z ==> DoActionFromDrvInfo,rDrvInfo.action = $1, rDrvInfo.compare_state = $2"}},
      {L"done", {L"2z <== DoActionFromDrvInfo,asStatus = $1"}},
      // The service's access restriction put on (1) or lifted (0); "-gone": with no service to change.
      {L"access", {L"restrict $1", L"2u [GetBuiltinSid] find account group name=Administrators, dwRID=0x220",
                   L"2u <== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0",
                   L"2u ==> CSecurityInfo::ApplyInfoByName,pObjectName=zyhok",
                   L"2u <== CSecurityInfo::ApplyInfoByName,dwRet=0", L"restricted"}},
      {L"access-gone", {L"restrict $1", L"5u GetNamedSecurityInfo error. dwRet=0x424",
                        L"2u <== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0x424", L"restricted"}},
      {L"restrict", {L"2u ==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
                     L"pwszServiceName=zyhok, bRestrictAct=$1",
                     L"2u ==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=zyhok"}},
      {L"restricted", {L"2u <== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1"}},
      {L"install", {L"2z ==> InstallDrvFromDrvInfo,", L"paths $1 $2"}},
      {L"uninstall", {L"2z ==> UninstallDrvFromDrvInfo,", L"paths $1 $2"}},
      {L"update", {L"2z ==> UpdateDrvFromDrvInfo,", L"paths $1 $2"}},
      {L"paths", {L"2z rDrvInfo.wszDriverPath = $1", L"2z wszNormalDriverFolder = $2"}},
      {L"inf", {L"2z ==> _InstallDriverByInf,INF File Path: $1",
                L"2z called InstallHinfSectionW() Success!, command line: DefaultInstall 128 $1",
                L"2z <== _InstallDriverByInf,"}},
      {L"inf-missing", {L"2z ==> _InstallDriverByInf,INF File Path: $1", L"5z Incorrect driver INF filepath.",
                        L"2z <== _InstallDriverByInf,"}},
      {L"uninf", {L"2z ==> _UnInstallDriverByInf,", L"2z <== _UnInstallDriverByInf,"}},
      {L"uninf-missing",
       {L"2z ==> _UnInstallDriverByInf,", L"5z Incorrect driver INF filepath.", L"2z <== _UnInstallDriverByInf,"}},
      {L"wait",
       {L"2z ==> WaitForServiceState,timeout value: 0x7530", L"2z <== WaitForServiceState,Is Service Ok: 0x1"}},
      {L"start", {L"2z ==> StartDriverService,Driver Name:zyhok", L"wait", L"2z <== StartDriverService,bResult: 0x1"}},
      {L"start-running", {L"2z ==> StartDriverService,Driver Name:zyhok", L"2z <== StartDriverService,bResult: 0x1"}},
      {L"start-fail", {L"2z ==> StartDriverService,Driver Name:zyhok",
                       L"5z ControlService failed! function:StartService, error code: $1",
                       L"2z <== StartDriverService,bResult: 0"}},
      {L"rename-empty", {L"3z Rename file() failed. LastError = %RENAME_ERROR%"}},  // a retirement of an empty path
      {L"exist", {L"existence", L"2z <== IsDriverExist,The service: zyhok exists"}},
      {L"exist-not", {L"existence", L"5z OpenService failed. error code: 0x424",
                      L"2z <== IsDriverExist,The service: zyhok does not exist"}},
      {L"existence", {L"2z Check if the driver is exist: zyhok", L"2z ==> IsDriverExist,",
                      L"2z try to opens an existing service: zyhok"}},
      {L"unmarked", {L"2z ==> _CheckDeleteFlagRegistry,", L"2z <== _CheckDeleteFlagRegistry,bRet = 0",
                     L"2z Check zyhok is installed by other Velmora products?"}},
      {L"marked", {L"2z ==> _CheckDeleteFlagRegistry,",
                   L"3z The DeleteFlag indicates the service: zyhok was marked for deletion on reboot",
                   L"2z <== _CheckDeleteFlagRegistry,bRet = 0x1"}},
      {L"backup", {L"2z backup original driver file from: %DRIVERS% to $1",
                   L"2z backup old drivers from: %DRIVERS%zyhok.sys to $1zyhok_backup.sys"}},
      {L"stop", {L"2z try to stop original driver: zyhok", L"wait", L"2z Success to stop original driver: zyhok"}},
      {L"replace", {L"2z replace original driver file with new ones from: $1 to %DRIVERS%",
                    L"2z replace old drivers with new drivers from: $1zyhok.sys to %DRIVERS%zyhok.sys"}},
      {L"ensure", {L"2z query original driver to ensure original drivers was stopped: zyhok",
                   L"2z original driver was already stopped: zyhok"}},
      {L"update-end", {L"2z <== UpdateDrvFromDrvInfo,asStatus = $1"}},
      {L"load", {L"5u regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =SOFTWARE\\Velmora\\ZEFA"}},
  };
  // clang-format on
  return steps;
}
// The lines of two stories side by side from the first that differs (20 at most).
std::string StoryDiff(const std::vector<std::wstring>& expected, const std::vector<std::wstring>& actual) {
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  std::string out = "first difference at line " + std::to_string(i + 1) + "\n";
  for (size_t j = i; j < std::max(expected.size(), actual.size()) && j < i + 20; ++j) {
    out += "  want: " + (j < expected.size() ? WideToUtf8(expected[j]) : std::string("(none)")) + "\n";
    out += "  got:  " + (j < actual.size() ? WideToUtf8(actual[j]) : std::string("(none)")) + "\n";
  }
  return out;
}

}  // namespace

// Parts: a line "<level><module initial> <text>" as it stands, or a step "<name> <argument>..." of Steps
// (a last argument "*N" repeats it N times), or "row <name>" (the parts of that lifecycle row's story), or the staging
// of a component:
//   engine P V [old|no32|no64], addon T V [...]  the engine from package folder P (the add-on from T),
//   version V ("-": unreadable, "-text": one that names no folder); old: both files already staged, no32/no64: that
//   file not copied
std::vector<std::wstring> ScenarioMachine::Story(const std::vector<std::wstring>& parts) const {
  std::vector<std::wstring> out;
  for (const std::wstring& part : parts) Tell(Expand(part), out);
  return out;
}
void ScenarioMachine::ExpectStory(const std::wstring& log_file, const std::vector<std::wstring>& parts) const {
  const std::vector<std::wstring> told = Told(log_file), story = Story(parts);
  EXPECT_TRUE(told == story) << StoryDiff(story, told);
}
void ScenarioMachine::ExpectMachine(const std::wstring& after, const LoadedPlugin& plugin) const {
  Machine expected = Expected(after), actual = Observe(plugin, pending_);
  for (const std::wstring& name : ListFolder(decoys_))
    actual[L"decoy " + name] = Utf8ToWide(ReadFileBytes(decoys_ + L"\\" + name));
  EXPECT_TRUE(actual == expected) << MachineDiff(expected, actual);
  EXPECT_EQ(std::make_pair(ListFolder(v1_), ListFolder(v2_)), packages_) << "a package copy changed";
}
void ScenarioMachine::Tell(const std::wstring& part, std::vector<std::wstring>& out) const {
  if (iswdigit(part[0])) return out.push_back(part);
  std::vector<std::wstring> a = Split(part);
  const int times = a.back()[0] == L'*' ? std::stoi(a.back().substr(1)) : 1;
  if (times > 1) a.pop_back();
  a.resize(std::max<size_t>(a.size(), 3), a.size() > 1 ? a[1] : L"");
  if (a[2].empty()) a[2] = a[1];
  if (a[0] == L"engine" || a[0] == L"addon") return Stage(a, out);
  const std::vector<std::wstring>& lines =
      a[0] == L"row" ? LifecycleScenario(WideToUtf8(a[1])).story : Steps().at(a[0]);
  for (int n = 0; n < times; ++n) {
    for (std::wstring line : lines) {
      for (size_t at; (at = line.find(L"$1")) != std::wstring::npos;) line.replace(at, 2, a[1]);
      for (size_t at; (at = line.find(L"$2")) != std::wstring::npos;) line.replace(at, 2, a[2]);
      Tell(Expand(line), out);
    }
  }
}
void ScenarioMachine::Stage(const std::vector<std::wstring>& a, std::vector<std::wstring>& out) const {
  const bool engine = a[0] == L"engine";
  // "-text": the reader found that text, which names no folder; "''": it found an empty text.
  const bool empty_text = a[2] == L"''";
  const std::wstring file = a[1] + (engine ? L"\\zymon64.dll" : L"\\ZyHkEvt64.dll"),
                     version = a[2][0] == L'-' || empty_text ? L"" : a[2];
  const std::wstring how = a.size() > 3 ? a[3] : L"";
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), nullptr);
  wchar_t shown[16] = L"0";
  if (size != 0) wsprintfW(shown, L"0x%lx", size);
  out.insert(out.end(),
             {L"2p AddOn path is:" + file, L"2p GetFileVersionInfoSize Return value is:" + std::wstring(shown)});
  if (size != 0) out.push_back(L"2p File Version: " + (version.empty() && !empty_text ? a[2].substr(1) : version));
  if (version.empty() && !empty_text)
    out.push_back(engine ? L"5z Retrieve engine version number failed:" : L"5z Retrieve addon version number failed:");
  const std::wstring tail = std::wstring(L"\\zyhok\\20019\\") + (engine ? L"ZyMon" : L"AddOn") +
                            (version.empty() && !empty_text ? L"" : L"\\" + version);
  out.insert(out.end(), {L"2z Engine Path is:" + a[1], L"2z Engine Version is:" + version,
                         L"2z fsTargetPath is:" + a[1], L"2z fsOurPath is:" + SystemDir() + tail});
  if (how == L"old" || how == L"no64")
    out.push_back(L"2z The file has been exists.\nTargetPath: " + a[1] + L"\nOurPath: " + SystemDir() + tail);
  out.push_back(L"2z fsOurPathWow64 is:" + ParentOf(StagingTree32()) + tail);
  if (how == L"old" || how == L"no32") out.push_back(L"2z The file has been exists.");
}
std::string MachineDiff(const Machine& expected, const Machine& actual) {
  std::string out;
  Machine all = expected;
  all.insert(actual.begin(), actual.end());
  for (const auto& [item, unused] : all) {
    const auto e = expected.find(item), a = actual.find(item);
    const std::wstring want = e == expected.end() ? L"(absent)" : e->second,
                       got = a == actual.end() ? L"(absent)" : a->second;
    if (want != got) out += WideToUtf8(L"  " + item + L": expected [" + want + L"] got [" + got + L"]\n");
  }
  return out;
}

}  // namespace zyhok_test
