#include "support/test_support.h"
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
  if (word == L"load-engine") return loaded_.reset(LoadLibraryW(engine_.c_str())), loaded_.valid();
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
      for (size_t at = 2; (at = to.find(L'\\', at + 1)) != std::wstring::npos;) {
        CreateDirectoryW(to.substr(0, at).c_str(), nullptr);
      }
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
// root; "roots": the top two folders of both trees), "<value>=<number>", "<value>=-" (no such value or sub-key),
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
    if (word == L"queued=roots")
      for (const std::wstring& tree : {StagingTree64(), StagingTree32()})
        m[L"queued " + tree] = m[L"queued " + tree + L"\\20019"] = L"";
    if (name == L"queued" && value != L"roots") {
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

// The lifecycle table: each row's machine before (words of ScenarioMachine::Prepare), records, result,
// whole machine after (a base and what differs) and whole story (ScenarioMachine::Story).
namespace {

// clang-format off
constexpr uint32_t kNotStopped = 0x201A0002, kRestored = 0xE01A000B, kRollbackFailed = 0xE01A000E,
                   kStopFailed = 0xE01A0019;

// The stories' common stretches: an install of the v1 copy staging the engine and the add-on with these
// versions (and more), its start and end; an update to the v2 copy (action 0x1 lifts the restriction first).
#define INSTALL_V1_AS(engine, addon) \
    L"act 0 0", L"install %V1%", L"engine %V1% " engine, L"addon %V1%\\AddOn " addon, L"inf %V1%\\zyhok.inf"
#define INSTALL_V1 INSTALL_V1_AS(L"2.5.1043", L"1.0.5")
#define SERVICE_STARTED L"2z Success to start [zyhok] service."
#define INSTALLED L"start", SERVICE_STARTED, L"rename-empty *4", INSTALL_END(L"0x201a0001")
#define INSTALL_END(result) L"access 1", L"2z <== InstallDrvFromDrvInfo,", L"done " result
#define UPDATE_V2_AS(action, engine, addon, ...) \
    L"act " action L" 0", __VA_ARGS__, L"update %V2%", L"engine %V2% " engine, L"addon %V2%\\AddOn " addon
#define UPDATE_V2(action, ...) UPDATE_V2_AS(action, L"2.6.1100", L"1.0.6", __VA_ARGS__)
#define UPDATE_V2_1 UPDATE_V2(L"0x1", L"access 0", L"2z rDrvInfo.compare_state = 0")
// The update of the running v1 driver, staging the engine and the add-on as given, that starts v2.
#define UPDATED_V2_AS(engine, addon) UPDATE_V2_AS(L"0x1", engine, addon, L"access 0", \
    L"2z rDrvInfo.compare_state = 0"), L"exist", L"unmarked", EXCHANGE, STARTED_NEW, L"done 0x201a0001"
#define UPDATED_V2 UPDATED_V2_AS(L"2.6.1100", L"1.0.6")
#define EXCHANGE L"backup %V2%\\", L"stop", L"replace %V2%\\"
#define STARTED L"ensure", L"start", L"2z Success to start new driver: zyhok"
#define STARTED_NEW STARTED, L"update-end 0x201a0001", L"access 1"
#define UPDATE_END(result) L"update-end " result, L"access 1", L"done " result
#define UNINSTALL_V1(access) L"act 0x2 0", L"uninstall %V1%", access
#define UNINSTALL_END(result) L"2z <== UninstallDrvFromDrvInfo,", L"done " result
#define ROLLBACK L"2z rollback to old drivers from: %V2%\\zyhok_backup.sys to %DRIVERS%zyhok.sys"
#define NOT_REPLACED EXCHANGE, L"5z Copy file failed.0x2", L"5z replace original driver file with new ones failed.", \
    ROLLBACK, L"2z rollback to original driver file successfully."
// The registered or journalled paths crafted to name decoys (ScenarioMachine::Prepare's "decoys"), refused: the
// 32-bit and 64-bit engine, the 32-bit and 64-bit add-on, in the order of an install's or update's retirement.
#define DECOY(path) L"3z not a staged component file, left alone: " path
#define DECOY_E32 DECOY(L"%DECOYS%\\zymon.dll")
#define DECOY_E64 DECOY(L"%CLIMB%\\zymon64.dll")
#define DECOY_A32 DECOY(L"\\\\?\\%DECOYS%\\ZyHkEvt.dll")
#define DECOY_A64 DECOY(L"\\\\.\\%DECOYS%\\ZyHkEvt64.dll")
// An install of the v1 copy whose 64-bit engine is replaced by the fixture DLL `fixture` (fixtures/versions), whose
// FileVersion text, shown in the log as `shown` after its "-", names no version folder: the engine is staged and
// registered directly in the ZyMon folders.
#define ENGINE_WITHOUT_VERSION_FOLDER(name, fixture, shown)                                             \
    {name, L"v1/zymon64.dll=" fixture, {{0, L"%V1%"}}, kSuccess,                                        \
     L"v1 staged=v1a+v1e. registered=v1e. %SYS%\\zyhok\\20019\\ZyMon\\zymon64.dll=" fixture,              \
     {INSTALL_V1_AS(L"-" shown, L"1.0.5"), INSTALLED}}
// A deletion queued for the next reboot of a copy that is registered now, or of a folder that holds one.
#define DROPPED(path) L"3z a deletion queued for the next reboot no longer applies, dropped: " path
// The v1 copies that the staging trees hold though no value registers them, retired by a repair (the tidying
// after a run that did not end as it should, or an uninstall): under the system folder, and under SysWOW64.
#define UNREGISTERED(path) L"3z a staged copy that no value registers, retired: " path
#define UNREGISTERED_V1_64 UNREGISTERED(L"%SYS%\\zyhok\\20019\\ZyMon\\2.5.1043\\zymon64.dll"), \
    UNREGISTERED(L"%SYS%\\zyhok\\20019\\AddOn\\1.0.5\\ZyHkEvt64.dll")
#define UNREGISTERED_V1_32 UNREGISTERED(L"%WOW%\\zyhok\\20019\\ZyMon\\2.5.1043\\zymon.dll"), \
    UNREGISTERED(L"%WOW%\\zyhok\\20019\\AddOn\\1.0.5\\ZyHkEvt.dll")
// An update from a v2 copy without its driver file, rolled back: DriverEntry refuses the restart of v1 with
// `status`, which the start reports as Windows error `error`; the plug-in says `why`, and ends with `result`.
#define ROLLBACK_RESTART_REFUSED(name, status, error, why, result, code)                                              \
    {"UpdateRollbackWhoseRestartIsRefusedWith" name, L"v1 entry=" status L" v2/zyhok.sys=missing", {{1, L"%V2%"}},    \
     result, L"v1 service=stopped staged=v1+v2 registered=v2 TestDriverEntryStatus=" status,                          \
     {UPDATE_V2_1, L"exist", L"unmarked", NOT_REPLACED, L"start-fail " error, why, UPDATE_END(code)}}

const std::vector<Scenario> kScenarios = {
    // ---- install ----
    // Nothing was registered before: the retirement works on empty paths and logs the rename's own error,
    // whatever the log library did to the last-error value meanwhile.
    {"FreshInstall", L"", {{0, L"%V1%"}}, kSuccess, L"v1", {INSTALL_V1, INSTALLED}},
    // A path ending in a separator gets no second one; "PermCount" is set, not counted up; the running
    // driver's 1056 counts as started; the same component versions are in place, nothing is retired.
    {"ReinstallOverTheRunningDriver", L"v1 PermCount=3 BootStatus=5 GHSwitch=0 HokFlags=3", {{0, L"%V1%/"}}, kSuccess,
     L"v1", {L"act 0 0", L"install %V1%/", L"engine %V1%/ 2.5.1043 old", L"addon %V1%\\AddOn 1.0.5 old",
             L"inf %V1%/zyhok.inf", L"start-running", SERVICE_STARTED, INSTALL_END(L"0x201a0001")}},
    // Files already staged are not copied; an add-on found in place whose registration was lost (a run that
    // did not end as it should) is registered again, without a line.
    {"ReinstallRegistersAnAddOnThatLostItsRegistration", L"v1 -AddOn", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1_AS(L"2.5.1043 old", L"1.0.5 old"), L"start-running", SERVICE_STARTED, INSTALL_END(L"0x201a0001")}},
    // Staged flags that differ, both ways: the component copied afresh hands its registered copies to the
    // retirement (here empty paths, as the lost value left them: one rename line each), the one found in place none.
    {"ReinstallRecopiesOnlyTheAddOn", L"v1 -AddOn unstage=v1a", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1_AS(L"2.5.1043 old", L"1.0.5"), L"start-running", SERVICE_STARTED, L"rename-empty *2",
      INSTALL_END(L"0x201a0001")}},
    {"ReinstallRecopiesOnlyTheEngine", L"v1 -ZYHOKMonDllName unstage=v1e", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1_AS(L"2.5.1043", L"1.0.5 old"), L"start-running", SERVICE_STARTED, L"rename-empty *2",
      INSTALL_END(L"0x201a0001")}},
    {"InstallWhoseStartIsRefusedWith1305", L"entry=0xc0000058", {{0, L"%V1%"}}, kSuccess,
     L"v1 service=stopped TestDriverEntryStatus=0xc0000058",
     {INSTALL_V1, L"start-fail 0x519", L"2z Not support on this platform", L"rename-empty *4",
      INSTALL_END(L"0x201a0001")}},
    // The v2 copies that the v1 staging replaced are retired all the same, and the service object is
    // restricted after the failure. SetupAPI keeps the newer v2 driver file in place.
    {"InstallWhoseStartIsRefusedWith31", L"v2 stopped entry=0xc0000001 PermCount=7 InstalledByZefa=0", {{0, L"%V1%"}},
     kFailed, L"v2 inf=v1 service=stopped PermCount=7 InstalledByZefa=0 TestDriverEntryStatus=0xc0000001 staged=v1 "
     L"registered=v1",
     {INSTALL_V1, L"start-fail 0x1f", L"5z fail to start [zyhok] service. Windows error code = 0x1f",
      INSTALL_END(L"0xe01a000c")}},
    // What came before the INF step stays: staged components and service settings.
    {"InstallFromAPackageWithoutInf", L"v1/zyhok.inf=missing", {{0, L"%V1%"}}, kFailed,
     L"settings staged=v1 registered=v1",
     {L"act 0 0", L"install %V1%", L"engine %V1% 2.5.1043", L"addon %V1%\\AddOn 1.0.5", L"inf-missing %V1%\\zyhok.inf",
      L"5z fail to install %V1%\\zyhok.inf", L"rename-empty *4", L"access-gone 1", L"2z <== InstallDrvFromDrvInfo,",
      L"done 0xe01a000c"}},
    // A file-system error inside staging ends the install where it was raised.
    {"InstallStoppedByAFileSystemError", L"staging=file", {{0, L"%V1%"}}, kFailed, L"%SYS%\\zyhok=other-12",
     {L"act 0 0", L"install %V1%", L"2p AddOn path is:%V1%\\zymon64.dll",
      L"2p GetFileVersionInfoSize Return value is:0x434", L"2p File Version: 2.5.1043", L"2z Engine Path is:%V1%",
      L"2z Engine Version is:2.5.1043", L"2z fsTargetPath is:%V1%",
      L"5z InstallDrvFromDrvInfo stopped by a file-system error: boost::filesystem::create_directory: "
      L"Path not found [system:3]: \"%SYS%\\zyhok\\20019\"", L"done 0xe01a000c"}},
    // An engine without a version resource is staged directly in the ZyMon folders and registered there.
    {"InstallOfAnEngineWithoutAVersion", L"v1/zymon64.dll=noversion", {{0, L"%V1%"}}, kSuccess,
     L"v1 staged=v1a+v1e. registered=v1e. %SYS%\\zyhok\\20019\\ZyMon\\zymon64.dll=no_version",
     {INSTALL_V1_AS(L"-", L"1.0.5"), INSTALLED}},
    // An add-on without a version resource is registered with an empty version text.
    {"InstallOfAnAddOnWithoutAVersion", L"v1/AddOn/ZyHkEvt64.dll=noversion", {{0, L"%V1%"}}, kSuccess,
     L"v1 staged=v1e+v1a. registered=v1a. %SYS%\\zyhok\\20019\\AddOn\\ZyHkEvt64.dll=no_version",
     {INSTALL_V1_AS(L"2.5.1043", L"-"), INSTALLED}},
    // A version text with control characters names no folder; the log shows them escaped, so the line feed in it
    // starts no line of its own.
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextForgesALine", L"forging",
                                  L"1.0<U+000D><U+000A>L5<U+0009>forged<U+0009>line"),
    // Texts that would name a folder in one registered form only (an environment reference expands in the device
    // form; 200 units fit the drive-letter form but not the device form), or a device, name none.
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextHoldsAReference", L"percent", L"%ACC_V%"),
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextFitsOneFormOnly", L"long",
                                  L"99999999999999999999999999999999999999999999999999"  // 200 units
                                  L"99999999999999999999999999999999999999999999999999"
                                  L"99999999999999999999999999999999999999999999999999"
                                  L"99999999999999999999999999999999999999999999999999"),
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionTextIsADevice", L"device", L"NUL"),
    // An add-on whose version text is there but empty is staged directly in the AddOn folders, which the log shows
    // with their trailing separator, and registered with a doubled separator before its name and the empty text;
    // an uninstall retires it in that form like any other copy.
    {"InstallOfAnAddOnWithAnEmptyVersionText", L"v1/AddOn/ZyHkEvt64.dll=empty_text", {{0, L"%V1%"}}, kSuccess,
     L"v1 staged=v1e+v1a: registered=v1a: %SYS%\\zyhok\\20019\\AddOn\\ZyHkEvt64.dll=empty_text",
     {INSTALL_V1_AS(L"2.5.1043", L"''"), INSTALLED}},
    {"UninstallRetiresAnAddOnRegisteredWithAnEmptyVersionText", L"v1/AddOn/ZyHkEvt64.dll=empty_text v1",
     {{2, L"%V1%"}}, kSuccess, L"", {UNINSTALL_V1(L"access 0"), L"wait", L"uninf", UNINSTALL_END(L"0x201a0001")}},
    // A version text that climbs out of its folder (1.0\..\..\x) names none: staged as one without a version.
    ENGINE_WITHOUT_VERSION_FOLDER("InstallOfAnEngineWhoseVersionClimbsOut", L"climbing", L"1.0\\..\\..\\x"),
    // An uninstall that failed at its INF retired the components and kept their registration: the same install
    // stages them again where they were registered, and retires none of them.
    {"ReinstallAfterAnUninstallThatFailedAtItsInf", L"v1 failed-uninstall", {{0, L"%V1%"}}, kSuccess, L"v1",
     {INSTALL_V1, L"start", SERVICE_STARTED, INSTALL_END(L"0x201a0001")}},
    // Paths that name no staged component file are never retired, wherever they come from; the leftover journal
    // tells of a run that did not end as it should, so the install then retires the copies nobody registers.
    {"InstallOverALeftoverJournalLeavesItsCraftedPathsAlone", L"v1 stopped decoys=journal", {{0, L"%V2%"}}, kSuccess,
     L"v2 decoys", {L"act 0 0", L"install %V2%", L"engine %V2% 2.6.1100", L"addon %V2%\\AddOn 1.0.6",
     L"inf %V2%\\zyhok.inf", L"start", SERVICE_STARTED, DECOY_E32, DECOY_E64, DECOY_A32, DECOY_A64, UNREGISTERED_V1_64,
     UNREGISTERED_V1_32, INSTALL_END(L"0x201a0001")}},
    // An uninstall could neither delete nor rename the engine that a process held open: it waits under its own name
    // for the next reboot, with its folders. The install that follows registers it where it is, and the queued
    // deletions of the registered copy and of the folders that hold it are dropped, so the reboot keeps them.
    {"InstallOverAHeldCopyThatAnUninstallQueuedKeepsIt", L"v1 open-engine uninstalled", {{0, L"%V1%"}}, kSuccess,
     L"v1", {INSTALL_V1_AS(L"2.5.1043 no64", L"1.0.5"), L"start", SERVICE_STARTED, L"rename-empty *2",
     DROPPED(L"%ENGINE%"), DROPPED(L"%SYS%\\zyhok\\20019\\ZyMon\\2.5.1043"), DROPPED(L"%SYS%\\zyhok\\20019\\ZyMon"),
     DROPPED(L"%SYS%\\zyhok\\20019"), DROPPED(L"%SYS%\\zyhok"), INSTALL_END(L"0x201a0001")}},
    // ---- uninstall ----
    // The removal retires what its staging trees hold that no value registers, and leaves the decoys alone.
    {"UninstallLeavesCraftedRegisteredPathsAlone", L"v1 decoys", {{2, L"%V1%"}}, kSuccess, L"decoys",
     {UNINSTALL_V1(L"access 0"), L"wait", UNREGISTERED_V1_32, DECOY_E32, DECOY_A32, UNREGISTERED_V1_64, DECOY_E64,
      DECOY_A64, L"uninf", UNINSTALL_END(L"0x201a0001")}},
    {"UninstallGivesUpTheShareWhileAnotherHolderRemains", L"v1 PermCount=2", {{2, L"%V1%"}}, kSuccess,
     L"v1 InstalledByZefa=0", {UNINSTALL_V1(L"access 0"), UNINSTALL_END(L"0x201a0001")}},
    {"UninstallCountsTheShareDownWithoutWrapping", L"v1 PermCount=0xffffffff", {{2, L"%V1%"}}, kSuccess,
     L"v1 PermCount=0xfffffffe InstalledByZefa=0", {UNINSTALL_V1(L"access 0"), UNINSTALL_END(L"0x201a0001")}},
    {"UninstallBlockedByAClientInstance", L"v1 instance=0", {{2, L"%V1%"}}, kStopFailed, L"v1",
     {UNINSTALL_V1(L"access 0"), L"5z fail to stop original driver zyhok", UNINSTALL_END(L"0xe01a0019")}},
    // Nothing holds the staged files, so the trees go at once; the INF removal takes the key.
    {"UninstallRemovesEverything", L"v1", {{2, L"%V1%\\..\\1.6.1195\\.\\"}}, kSuccess, L"",
     {L"act 0x2 0", L"uninstall %V1%\\..\\1.6.1195\\.\\ %V1%\\", L"access 0", L"wait", L"uninf",
      UNINSTALL_END(L"0x201a0001")}},
    {"UninstallOfAStoppedDriverStopsNothing", L"v1 stopped", {{2, L"%V1%"}}, kSuccess, L"",
     {UNINSTALL_V1(L"access 0"), L"uninf", UNINSTALL_END(L"0x201a0001")}},
    {"UninstallWithoutAServiceTouchesNoFile", L"v1 no-service", {{2, L"%V1%"}}, kFailed,
     L"v1 service=none driver=none key=none",
     {UNINSTALL_V1(L"access-gone 0"), L"3z fail to query driver[zyhok] status", UNINSTALL_END(L"0xe01a000c")}},
    // The driver is stopped and the components are gone before the INF removal fails.
    {"UninstallWhoseInfIsMissing", L"v1 v1/zyhok.inf=missing", {{2, L"%V1%"}}, kFailed,
     L"v1 service=stopped staged=none", {UNINSTALL_V1(L"access 0"), L"wait", L"uninf-missing",
                                         L"5z fail to uninstall zyhok by inf.", UNINSTALL_END(L"0xe01a000c")}},
    // A loaded DLL cannot be deleted but can be renamed: its name is freed at once and the renamed file goes
    // at the next reboot with every folder above it.
    {"UninstallRenamesALoadedEngineAside", L"v1 load-engine", {{2, L"%V1%"}}, kSuccess, L"queued=engine-tree",
     {UNINSTALL_V1(L"access 0"), L"wait", L"uninf", UNINSTALL_END(L"0x201a0001")}},
    // A file open without delete sharing cannot even be renamed: it waits under its own name.
    {"UninstallQueuesAnEngineOpenWithoutDeleteSharing", L"v1 open-engine", {{2, L"%V1%"}}, kSuccess, L"queued=own-tree",
     {UNINSTALL_V1(L"access 0"), L"wait", L"3z Rename file(%ENGINE%) failed. LastError = 0x20", L"uninf",
      UNINSTALL_END(L"0x201a0001")}},
    // ---- update ----
    {"UpdateOfTheRunningDriver", L"v1", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1", {UPDATED_V2}},
    {"UpdateInstallsAMissingDriverFromTheInfFirst", L"", {{1, L"%V2%"}}, kSuccess,
     L"v2-inf staged=v2 registered=v2 BootStatus=0xffffffff",
     {UPDATE_V2(L"0x1", L"access-gone 0", L"2z rDrvInfo.compare_state = 0"), L"exist-not", L"inf %V2%\\zyhok.inf",
      L"2z Success to install driver by INF%V2%\\zyhok.inf", L"backup %V2%\\", L"replace %V2%\\", STARTED,
      L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    // The stop before the reinstall leaves nothing running for the exchange to stop.
    {"UpdateReinstallsAServiceMarkedForDeletion", L"v1 DeleteFlag=1", {{3, L"%V2%"}}, kSuccess, L"v2 DeleteFlag=1",
     {UPDATE_V2(L"0x3", L"access 0"), L"exist", L"marked", L"wait", L"inf %V2%\\zyhok.inf", L"backup %V2%\\",
      L"replace %V2%\\", STARTED_NEW, L"done 0x201a0001"}},
    {"UpdateOfAMarkedServiceWithAClientInstance", L"v1 DeleteFlag=0xFFFFFFFF instance=15", {{1, L"%V2%"}}, kNotStopped,
     L"v1 DeleteFlag=0xffffffff staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"marked", L"5z fail to stop ", L"backup %V2%\\", L"2z try to stop original driver: zyhok",
      L"5z fail to stop original driver: zyhok", UPDATE_END(L"0x201a0002")}},
    // Another product's INF install leaves no share values: the count starts at 1.
    {"UpdateTakesAShareInADriverOfAnotherProduct", L"v1-inf", {{1, L"%V2%"}}, kSuccess,
     L"v1-inf driver=v2 PermCount=1 InstalledByZefa=1 staged=v2 registered=v2 BootStatus=0xffffffff",
     {UPDATE_V2_1, L"exist", L"unmarked", L"2z zyhok is installed by other Velmora products, we should modify its "
      L"registry.", L"2z ==> ModifyZyhokRegistry,",
      L"3z fail to query registry: SYSTEM\\CurrentControlSet\\Services\\zyhok\\PermCount",
      L"3z fail to delete registry: SYSTEM\\CurrentControlSet\\Services\\zyhok\\DeleteFlag",
      L"2z <== ModifyZyhokRegistry,bRet = 0x1", EXCHANGE, STARTED, L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateTakesTheShareBackThatThisPlatformReleased", L"v1-inf InstalledByZefa=0 PermCount=3 DeleteFlag=0",
     {{1, L"%V2%"}}, kSuccess,
     L"v1-inf driver=v2 PermCount=4 InstalledByZefa=1 staged=v2 registered=v2 BootStatus=0xffffffff",
     {UPDATE_V2_1, L"exist", L"unmarked", L"2z zyhok is installed by other Velmora products, we should modify its "
      L"registry.", L"2z ==> ModifyZyhokRegistry,", L"2z <== ModifyZyhokRegistry,bRet = 0x1", EXCHANGE, STARTED,
      L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateOfThisPlatformsDriverTakesNoShare", L"v1-inf InstalledByZefa=1 PermCount=1 DeleteFlag=0", {{1, L"%V2%"}},
     kSuccess, L"v1-inf driver=v2 PermCount=1 InstalledByZefa=1 DeleteFlag=0 staged=v2 registered=v2 "
     L"BootStatus=0xffffffff",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, STARTED, L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateLeavesCraftedRegisteredPathsAlone", L"v1 decoys", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1+v2 decoys", {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, STARTED, DECOY_E32,
     DECOY_E64, DECOY_A32, DECOY_A64, UPDATE_END(L"0x201a0001")}},
    // A component found staged but not registered (its registration was lost) is registered, and the copies
    // it replaces are retired like those of a component copied afresh.
    {"UpdateOverAnUnregisteredStagedAddOn", L"v1 stage=v2a", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1",
     {UPDATED_V2_AS(L"2.6.1100", L"1.0.6 old")}},
    {"UpdateOverAnUnregisteredStagedEngine", L"v1 stage=v2e", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1",
     {UPDATED_V2_AS(L"2.6.1100 old", L"1.0.6")}},
    // A package without its 32-bit engine stages that engine only in part: the v1 engine is not retired.
    {"UpdateFromAPackageWithoutA32BitEngine", L"v1 v2/zymon.dll=missing", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1e+v2-e32 %WOW%\\zyhok\\20019\\ZyMon\\2.6.1100=d",
     {UPDATED_V2_AS(L"2.6.1100 no32", L"1.0.6")}},
    // Without its 64-bit engine the package's engine version is unreadable: the 32-bit file goes straight
    // into the ZyMon folder, and the v1 engine is not retired.
    {"UpdateFromAPackageWithoutA64BitEngine", L"v1 v2/zymon64.dll=missing", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1e+v2a+v2e32. registered=v2e.", {UPDATED_V2_AS(L"- no64", L"1.0.6")}},
    // Without a registered 32-bit add-on the 64-bit copies in use are not looked up, so none is retired.
    {"UpdateOverComponentsWithoutAnAddOnRegistration", L"v1 -AddOn", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 staged=v1e64+v1a+v2",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, STARTED, L"rename-empty *3", UPDATE_END(L"0x201a0001")}},
    {"UpdateWithHokFlagsBit0LeavesTheNewDriverStopped", L"v1 HokFlags=1 BootStatus=5", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 service=stopped HokFlags=1 BootStatus=5",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, L"ensure", UPDATE_END(L"0x201a0001")}},
    {"UpdateWithHokFlagsBit1StartsTheNewDriver", L"v1 HokFlags=2 BootStatus=5", {{1, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 HokFlags=2", {UPDATED_V2}},
    {"UpdateWhoseNewDriverIsRefusedWith1305", L"v1 entry=0xc0000058 BootStatus=7", {{3, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 service=stopped BootStatus=7 TestDriverEntryStatus=0xc0000058",
     {UPDATE_V2(L"0x3", L"access 0"), L"exist", L"unmarked", EXCHANGE, L"ensure", L"start-fail 0x519",
      L"5z fail to start new driver.zyhok", L"2z Not support on this platform.", UPDATE_END(L"0x201a0001")}},
    // A DriverEntry that refuses is not used here: Wine's driver host releases the refused image only after
    // StartServiceW has returned, so the rollback would race with it. A file that cannot be loaded at all
    // fails the start without holding the file; the old driver is not started again.
    {"UpdateWhoseNewDriverDoesNotLoadIsRolledBack", L"v1 -BootStatus v2/zyhok.sys=junk", {{1, L"%V2%"}}, kRestored,
     L"v1 service=stopped staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, L"ensure", L"start-fail 0x45a",
      L"5z fail to start new driver.zyhok", ROLLBACK, UPDATE_END(L"0xe01a000b")}},
    {"UpdateWhoseBackupIsRefused", L"v1 v2/zyhok_backup.sys=folder", {{1, L"%V2%"}}, kFailed,
     L"v1 staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"unmarked", L"backup %V2%\\", L"5z Copy file failed.0x10b",
      L"2z backup original driver file failed.", L"2z delete backup file %V2%\\zyhok_backup.sys failed",
      UPDATE_END(L"0xe01a000c")}},
    {"UpdateWhoseReplaceAndRollbackAreRefused", L"v1 hold-driver", {{1, L"%V2%"}}, kRollbackFailed,
     L"v1 service=stopped staged=v1+v2 registered=v2",
     {UPDATE_V2_1, L"exist", L"unmarked", EXCHANGE, L"5z Copy file failed.0x5",
      L"5z replace original driver file with new ones failed.", ROLLBACK, L"5z Copy file failed.0x5",
      L"5z rollback to original driver file failed.", UPDATE_END(L"0xe01a000e")}},
    // Without its driver file the package backs up the installed one but cannot replace it. 0xE01A000C ends
    // the batch: the uninstall after it is never dispatched.
    {"UpdateWhoseReplacementFailsRestartsTheOldDriver", L"v1 v2/zyhok.sys=missing", {{3, L"%V2%"}, {2, L"%V1%"}},
     kFailed, L"v1 staged=v1+v2 registered=v2",
     {UPDATE_V2(L"0x3", L"access 0"), L"exist", L"unmarked", NOT_REPLACED, L"start", UPDATE_END(L"0xe01a000c")}},
    ROLLBACK_RESTART_REFUSED("1275", L"0xc000036c", L"0x4fb", L"2z Blocked by boot status.", kSuccess, L"0x201a0001"),
    ROLLBACK_RESTART_REFUSED("1305", L"0xc0000058", L"0x519", L"2z Not support on this platform.", kSuccess,
                             L"0x201a0001"),
    ROLLBACK_RESTART_REFUSED("31", L"0xc0000001", L"0x1f", L"5z start original driver file failed.", kRollbackFailed,
                             L"0xe01a000e"),
    // The held engine is renamed aside; the copies nobody held go at once, with their folders.
    {"UpdateRenamesALoadedEngineAside", L"v1 load-engine", {{1, L"%V2%"}}, kSuccess, L"v2 inf=v1 queued=engine",
     {UPDATED_V2}},
    // The catalogue copy depends on the version that the host process is told at its start.
    {"UpdateInAWindows7HostCopiesNoCatalogue", L"host=win7", {{3, L"%V2%"}}, kSuccess,
     L"v2-inf staged=v2 registered=v2 BootStatus=0xffffffff",
     {L"load", UPDATE_V2(L"0x3", L"access-gone 0"), L"exist-not", L"inf %V2%\\zyhok.inf",
      L"2z Success to install driver by INF%V2%\\zyhok.inf", L"backup %V2%\\", L"replace %V2%\\", STARTED,
      L"rename-empty *4", UPDATE_END(L"0x201a0001")}},
    {"UpdateInAHostWithoutAWindows10ManifestCopiesNoCatalogue", L"v1 host=win10", {{3, L"%V2%"}}, kSuccess,
     L"v2 inf=v1",
     {L"load", UPDATE_V2(L"0x3", L"access 0"), L"exist", L"unmarked", EXCHANGE, STARTED_NEW, L"done 0x201a0001"}},
    // A second update finds the first one's catalogue copy and overwrites it.
    {"UpdateInAWindows10HostCopiesTheCatalogue", L"v1 catalogue=v1 host=win10+manifest", {{3, L"%V2%"}}, kSuccess,
     L"v2 inf=v1 catalogue=v2",
     {L"load", UPDATE_V2(L"0x3", L"access 0"), L"2z The OS platform is win10 or above.",
      L"2z wsSystemPath : %SYS%\\zyhok.cat", L"2z wsCatFilePath : %V2%\\zyhok.cat", L"exist", L"unmarked", EXCHANGE,
      STARTED_NEW, L"done 0x201a0001"}},
    // ---- the batch ----
    {"PathsThatFitNoBufferAreRefusedByEveryAction", L"v1", {{0, L"%LONG%"}, {1, L"%LONG%"}, {2, L"%LONG%"}}, kRefused,
     L"v1",
     {L"act 0 0", L"2z ==> InstallDrvFromDrvInfo,", L"2z Normalize the driver path failed.", L"done 0xe01a000a",
      L"act 0x1 0", L"access 0", L"2z rDrvInfo.compare_state = 0", L"2z ==> UpdateDrvFromDrvInfo,",
      L"2z Normalize the driver path failed.", L"access 1", L"done 0xe01a000a", L"act 0x2 0",
      L"2z ==> UninstallDrvFromDrvInfo,", L"2z Normalize the driver path failed.", L"done 0xe01a000a"}},
    // A share of 2 lets the uninstall succeed without a driver: it only lowers the count.
    {"UnknownActionIsSkippedAndTheBatchGoesOn", L"PermCount=2", {{7, L"%V1%", 5}, {2, L"%V1%"}}, kSuccess,
     L"PermCount=1 InstalledByZefa=0",
     {L"act 0x7 0x5", L"done 0xe01a000a", UNINSTALL_V1(L"access-gone 0"), UNINSTALL_END(L"0x201a0001")}},
    {"RecordFailingWithE01A000CEndsTheBatch", L"", {{2, L"%V1%"}, {0, L"%V1%", 9}}, kFailed, L"",
     {UNINSTALL_V1(L"access-gone 0"), L"3z fail to query driver[zyhok] status", UNINSTALL_END(L"0xe01a000c")}},
    // ---- the status export alone ----
    {"StatusOfAServiceWhoseFileIsMissing", L"v1-inf stopped no-driver-file", {}, 0,
     L"v1-inf service=stopped driver=none",
     {L"2z The current state of zyhok is 0x1", L"2z Query Version of driver: %DRIVERS%zyhok.sys",
      L"5z Query Version failed, driver: %DRIVERS%zyhok.sys", L"3z Query driver zyhok version failed!",
      L"2z driver version: 1.0"}},
};

// clang-format on

}  // namespace

const std::vector<Scenario>& LifecycleScenarios() { return kScenarios; }
const Scenario& LifecycleScenario(const std::string& name) {
  for (const Scenario& row : kScenarios) {
    if (row.name == name) return row;
  }
  ADD_FAILURE() << "no lifecycle row " << name;
  return kScenarios.front();
}

}  // namespace zyhok_test
