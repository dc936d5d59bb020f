#include "support/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <sstream>

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
  const std::wstring unversioned = FixturesDir() + L"\\versions\\no_version.dll";
  return bytes == ReadFileBytes(unversioned) ? L"unversioned" : L"other-" + std::to_wstring(bytes.size());
}

// The staged copies of a fixture package: 64-bit engine, 32-bit engine, 64-bit add-on, 32-bit add-on.
std::vector<std::wstring> Components(const std::wstring& v) {
  const std::wstring engine = v == L"v1" ? L"2.5.1043" : L"2.6.1100", addon = v == L"v1" ? L"1.0.5" : L"1.0.6";
  return {StagingTree64() + L"\\20019\\ZyMon\\" + engine + L"\\zymon64.dll",
          StagingTree32() + L"\\20019\\ZyMon\\" + engine + L"\\zymon.dll",
          StagingTree64() + L"\\20019\\AddOn\\" + addon + L"\\ZyHkEvt64.dll",
          StagingTree32() + L"\\20019\\AddOn\\" + addon + L"\\ZyHkEvt.dll"};
}

// The components an item names: "v1" all four, "v1e"/"v1a" the engines/add-ons, "v1e64", "v1a32" one,
// "v1-e32" all but one; as (package, index into Components).
std::vector<std::pair<std::wstring, int>> Picked(const std::wstring& items) {
  const wchar_t* kNames[] = {L"e64", L"e32", L"a64", L"a32"};
  std::vector<std::pair<std::wstring, int>> out;
  for (const std::wstring& item : Split(items, L'+')) {
    const std::wstring v = item.substr(0, 2), filter = item.substr(2);
    for (int i = 0; i < 4 && v != L"no"; ++i) {
      const bool named = filter == kNames[i] || filter == std::wstring(kNames[i]).substr(0, 1);
      if (filter.empty() || (filter[0] == L'-' ? filter.substr(1) != kNames[i] : named)) out.push_back({v, i});
    }
  }
  return out;
}

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
  for (const auto& [v, i] : Picked(items)) {
    const std::wstring file = Components(v)[i];
    if (i < 2) {
      m[kEngine[i]] = Text(file);
      m[kEngine[i] + std::wstring(L"Dev")] = Text(DevicePath(file));
      continue;
    }
    const std::wstring key = i == 2 ? L"reg\\AddOn\\ZyHkEvt64" : L"reg\\AddOn\\ZyHkEvt";
    m[L"reg\\AddOn"] = m[key] = L"k";
    m[key + L"|path"] = Text(file);
    m[key + L"|devpath"] = Text(DevicePath(file));
    m[key + L"|version"] = Text(v == L"v1" ? L"1.0.5" : L"1.0.6");
  }
}

void Erase(Machine& m, const std::wstring& prefix) {
  for (auto at = m.lower_bound(prefix); at != m.end() && at->first.rfind(prefix, 0) == 0;) at = m.erase(at);
}

}  // namespace

ScenarioMachine::ScenarioMachine()
    : v1_(CopyPackage(copies_, L"v1")), v2_(CopyPackage(copies_, L"v2")), engine_(Components(L"v1")[0]) {}

std::wstring ScenarioMachine::Expand(std::wstring text) const {
  SetLastError(0xDEADBEEF);
  MoveFileW(L"", L".1");
  wchar_t rename_error[16];
  wsprintfW(rename_error, L"0x%lx", GetLastError());
  const std::pair<std::wstring, std::wstring> tokens[] = {
      {L"%V1%", v1_}, {L"%V2%", v2_}, {L"%LONG%", v1_ + L"\\" + std::wstring(300, L'x')},
      {L"%DRIVERS%", SystemDir() + L"\\drivers\\"}, {L"%SYS%", SystemDir()}, {L"%WOW%", ParentOf(StagingTree32())},
      {L"%ENGINE%", engine_}, {L"%RENAME_ERROR%", rename_error}};
  for (const auto& [token, value] : tokens) {
    for (size_t at = text.find(token); at != std::wstring::npos; at = text.find(token, at + value.size())) {
      text.replace(at, token.size(), value);
    }
  }
  return text;
}

bool ScenarioMachine::Prepare(const std::wstring& word, const LoadedPlugin& plugin) {
  const size_t eq = word.find(L'=');
  const std::wstring name = word.substr(0, eq), value = eq == word.npos ? L"" : word.substr(eq + 1);
  if (word == L"v1" || word == L"v2") {
    return plugin.Do(kInstall, word == L"v1" ? v1_ : v2_) == kSuccess && ServiceState() == SERVICE_RUNNING;
  }
  if (word == L"v1-inf") return RunInfSection(L"DefaultInstall", PackageDir(L"v1")), ControlDriver(true);
  if (word == L"stopped") return ControlDriver(false);
  if (word == L"no-service") return RemoveDriverService(PackageDir(L"v1")), true;
  if (word == L"no-driver-file") return DeleteFileW(InstalledDriverPath().c_str());
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
    const std::wstring unversioned = FixturesDir() + L"\\versions\\no_version.dll";
    return value == L"missing"     ? DeleteFileW(file.c_str())
           : value == L"junk"      ? WriteFileBytes(file, "MZ but not a driver")
           : value == L"noversion" ? CopyFileW(unversioned.c_str(), file.c_str(), FALSE)
                                   : CreateDirectoryW(file.c_str(), nullptr);
  }
  if (name == L"stage") {  // fixture components put in place, as an earlier staging left them
    bool done = true;
    for (const auto& [v, i] : Picked(value)) {
      const std::wstring to = Components(v)[i], file = to.substr(to.find_last_of(L'\\'));
      for (size_t at = 2; (at = to.find(L'\\', at + 1)) != std::wstring::npos;) {
        CreateDirectoryW(to.substr(0, at).c_str(), nullptr);
      }
      done &= CopyFileW((PackageDir(v) + (i < 2 ? L"" : L"\\AddOn") + file).c_str(), to.c_str(), TRUE) != FALSE;
    }
    return done;
  }
  if (name == L"catalogue") return CopyFileW((PackageDir(value) + L"\\zyhok.cat").c_str(), (SystemDir() + L"\\zyhok.cat").c_str(), FALSE);
  if (name == L"staging") return WriteFileBytes(StagingTree64(), "not a folder");
  if (name == L"host") return host_ = value, true;
  if (word[0] == L'-') {  // the value, or the sub-key, of that name
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kDriverServiceKey + (L"\\" + word.substr(1))).c_str());
    return RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kDriverServiceKey, &word[1]), true;
  }
  const wchar_t* dword = name == L"entry" ? L"TestDriverEntryStatus" : name.c_str();
  return eq != word.npos && WriteHklmValue(kDriverServiceKey, dword, Dword(wcstoul(value.c_str(), nullptr, 0))) == 0;
}

void ScenarioMachine::Release() {
  instance_.reset();
  held_.reset();
  loaded_.reset();
}

Machine ScenarioMachine::Observe(const LoadedPlugin& plugin, const std::vector<std::wstring>& pending) const {
  Machine m;
  const DWORD state = ServiceState();
  m[L"service"] = state == SERVICE_RUNNING   ? L"running"
                  : state == SERVICE_STOPPED ? L"stopped"
                  : state                    ? L"state " + std::to_wstring(state)
                                             : L"none";
  m[L"driver"] = InstalledDriver();
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

// Words, applied in order: a base "v1"/"v2" (installed by the plug-in and running) or "v1-inf"/"v2-inf"
// (by its INF alone, running); then "service=", "driver=", "catalogue=" (running|stopped|none, v1|v2|none),
// "inf=v2" (the service values of that package's INF), "settings" (the four install-time values),
// "key=none", "staged=<items>" and "registered=<items>" (see Picked; staged replaces all files),
// "queued=engine|engine-tree|own-tree" (the held v1 engine renamed aside, or kept under its name, and
// queued with its folder, or with every folder up to the staging root), "<value>=<number>",
// "<value>=-" (no such value or sub-key), "<sub-key>|<value>=\"text\"", "%path%=<state>".
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
      for (const auto& [v, i] : Picked(name)) AddStaged(m, Components(v)[i], v);
      m[L"reg|PermCount"] = m[L"reg|InstalledByZefa"] = Dw(1);
    }
    if (name == L"service" || name == L"driver" || name == L"catalogue") m[name] = value;
    if (name == L"inf") SetInf(m, value);
    if (name == L"key") Erase(m, L"reg");
    if (name == L"registered") Register(m, value);
    if (name == L"staged") {
      Erase(m, StagingTree64());
      Erase(m, StagingTree32());
      for (const auto& [v, i] : Picked(value)) AddStaged(m, Components(v)[i], v);
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
    if (eq == word.npos || iswlower(name[0]) || name[0] == L'%') continue;
    const std::wstring item = name.find(L'|') == std::wstring::npos ? L"reg|" + name : L"reg\\" + name;
    if (value == L"-") {
      m.erase(item);
      Erase(m, L"reg\\" + name);
    } else {
      const std::wstring text = Expand(value.substr(value.find(L'"') + 1, value.size() - value.find(L'"') - 2));
      m[item] = value[0] == L'"' ? Text(text) : value[0] == L'd' ? Text(DevicePath(text)) : Dw(wcstoul(value.c_str(), nullptr, 0));
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

// Parts: a line "<level><module initial> <text>" as it stands, or a step "<name> <argument>...":
//   act A C, done R               the dispatch's entry (action, compare state) and exit lines
//   access 1|0, access-gone 1|0   the restriction put on or lifted, on the service, or with no service
//   install|uninstall|update P [N]  an action's entry line and the record's path P, normalised N
//   engine P V [old|no32|old32]    the engine staged from package folder P, version V ("-": unreadable);
//                                 old: both files already staged, no32: the 32-bit file not copied
//   addon T V [old|no32|old32]     the same for the add-on from folder T
//   inf I, inf-missing I, uninf I, uninf-missing I   the INF sections run (or refused)
//   start, start-fail E, start-running, wait          StartDriverService and its waits
//   rename-empty N                N retirements of an empty path
//   exist, exist-not, deleteflag 0|1, backup D, stop, replace D, ensure, update-end R   update steps
//   load                          the lines the plug-in writes when a host process loads it
std::vector<std::wstring> ScenarioMachine::Story(const std::vector<const wchar_t*>& parts) const {
  std::vector<std::wstring> out;
  const auto say = [&](const std::wstring& line) { out.push_back(line); };
  for (const wchar_t* part : parts) {
    const std::vector<std::wstring> a = Split(Expand(part));
    if (iswdigit(part[0])) {
      say(Expand(part));
      continue;
    }
    const std::wstring& step = a[0];
    const std::wstring arg = a.size() > 1 ? a[1] : L"", arg2 = a.size() > 2 ? a[2] : L"";
    if (step == L"act") say(L"2z ==> DoActionFromDrvInfo,rDrvInfo.action = " + arg + L", rDrvInfo.compare_state = " + arg2);
    if (step == L"done") say(L"2z <== DoActionFromDrvInfo,asStatus = " + arg);
    if (step == L"access" || step == L"access-gone") {
      say(L"2u ==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,pwszServiceName=zyhok, bRestrictAct=" +
          arg);
      say(L"2u ==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=zyhok");
      if (step == L"access") {
        say(L"2u [GetBuiltinSid] find account group name=Administrators, dwRID=0x220");
        say(L"2u <== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0");
        say(L"2u ==> CSecurityInfo::ApplyInfoByName,pObjectName=zyhok");
        say(L"2u <== CSecurityInfo::ApplyInfoByName,dwRet=0");
      } else {
        say(L"5u GetNamedSecurityInfo error. dwRet=0x424");
        say(L"2u <== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0x424");
      }
      say(L"2u <== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1");
    }
    if (step == L"install" || step == L"uninstall" || step == L"update") {
      say(L"2z ==> " + std::wstring(step == L"install" ? L"InstallDrvFromDrvInfo," : step == L"update" ? L"UpdateDrvFromDrvInfo,"
                                                                                                   : L"UninstallDrvFromDrvInfo,"));
      say(L"2z rDrvInfo.wszDriverPath = " + arg);
      say(L"2z wszNormalDriverFolder = " + (arg2.empty() ? arg : arg2));
    }
    if (step == L"engine" || step == L"addon") {
      const bool engine = step == L"engine";
      const std::wstring version = arg2 == L"-" ? L"" : arg, how = a.size() > 3 ? a[3] : L"";
      const std::wstring file = arg + (engine ? L"\\zymon64.dll" : L"\\ZyHkEvt64.dll");
      say(L"2p AddOn path is:" + file);
      const DWORD size = GetFileVersionInfoSizeW(file.c_str(), nullptr);
      wchar_t shown[16] = L"0";
      if (size != 0) wsprintfW(shown, L"0x%lx", size);
      say(L"2p GetFileVersionInfoSize Return value is:" + std::wstring(shown));
      if (size != 0) say(L"2p File Version: " + arg2);
      if (arg2 == L"-") say(engine ? L"5z Retrieve engine version number failed:" : L"5z Retrieve addon version number failed:");
      const std::wstring v = arg2 == L"-" ? L"" : arg2;
      say(L"2z Engine Path is:" + arg);
      say(L"2z Engine Version is:" + v);
      say(L"2z fsTargetPath is:" + arg);
      const std::wstring tail = std::wstring(L"\\zyhok\\20019\\") + (engine ? L"ZyMon" : L"AddOn") + (v.empty() ? L"" : L"\\" + v);
      say(L"2z fsOurPath is:" + SystemDir() + tail);
      if (how == L"old" || how == L"no64") say(L"2z The file has been exists.\nTargetPath: " + arg + L"\nOurPath: " + SystemDir() + tail);
      say(L"2z fsOurPathWow64 is:" + ParentOf(StagingTree32()) + tail);
      if (how == L"old" || how == L"no32") say(L"2z The file has been exists.");
    }
    if (step == L"inf" || step == L"inf-missing") {
      say(L"2z ==> _InstallDriverByInf,INF File Path: " + arg);
      say(step == L"inf" ? L"2z called InstallHinfSectionW() Success!, command line: DefaultInstall 128 " + arg
                         : L"5z Incorrect driver INF filepath.");
      say(L"2z <== _InstallDriverByInf,");
    }
    if (step == L"uninf" || step == L"uninf-missing") {
      say(L"2z ==> _UnInstallDriverByInf,");
      if (step != L"uninf") say(L"5z Incorrect driver INF filepath.");
      say(L"2z <== _UnInstallDriverByInf,");
    }
    if (step.rfind(L"start", 0) == 0) say(L"2z ==> StartDriverService,Driver Name:zyhok");
    if (step == L"start-fail") say(L"5z ControlService failed! function:StartService, error code: " + arg);
    if (step == L"wait" || step == L"start" || step == L"stop") {
      if (step == L"stop") say(L"2z try to stop original driver: zyhok");
      say(L"2z ==> WaitForServiceState,timeout value: 0x7530");
      say(L"2z <== WaitForServiceState,Is Service Ok: 0x1");
      if (step == L"stop") say(L"2z Success to stop original driver: zyhok");
    }
    if (step.rfind(L"start", 0) == 0) say(step == L"start-fail" ? L"2z <== StartDriverService,bResult: 0" : L"2z <== StartDriverService,bResult: 0x1");
    for (int n = step == L"rename-empty" ? std::stoi(arg) : 0; n > 0; --n) {
      say(Expand(L"3z Rename file() failed. LastError = %RENAME_ERROR%"));
    }
    if (step == L"exist" || step == L"exist-not") {
      say(L"2z Check if the driver is exist: zyhok");
      say(L"2z ==> IsDriverExist,");
      say(L"2z try to opens an existing service: zyhok");
      if (step == L"exist-not") say(L"5z OpenService failed. error code: 0x424");
      say(step == L"exist" ? L"2z <== IsDriverExist,The service: zyhok exists" : L"2z <== IsDriverExist,The service: zyhok does not exist");
    }
    if (step == L"deleteflag") {
      say(L"2z ==> _CheckDeleteFlagRegistry,");
      if (arg == L"1") say(L"3z The DeleteFlag indicates the service: zyhok was marked for deletion on reboot");
      say(arg == L"1" ? L"2z <== _CheckDeleteFlagRegistry,bRet = 0x1" : L"2z <== _CheckDeleteFlagRegistry,bRet = 0");
      if (arg == L"0") say(L"2z Check zyhok is installed by other Velmora products?");
    }
    if (step == L"backup") {
      say(L"2z backup original driver file from: " + SystemDir() + L"\\drivers\\ to " + arg);
      say(L"2z backup old drivers from: " + SystemDir() + L"\\drivers\\zyhok.sys to " + arg + L"zyhok_backup.sys");
    }
    if (step == L"replace") {
      say(L"2z replace original driver file with new ones from: " + arg + L" to " + SystemDir() + L"\\drivers\\");
      say(L"2z replace old drivers with new drivers from: " + arg + L"zyhok.sys to " + SystemDir() + L"\\drivers\\zyhok.sys");
    }
    if (step == L"ensure") {
      say(L"2z query original driver to ensure original drivers was stopped: zyhok");
      say(L"2z original driver was already stopped: zyhok");
    }
    if (step == L"update-end") say(L"2z <== UpdateDrvFromDrvInfo,asStatus = " + arg);
    if (step == L"load") say(L"5u regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =SOFTWARE\\Velmora\\ZEFA");
  }
  return out;
}

std::vector<std::wstring> ScenarioMachine::Told(const std::wstring& log_file) {
  std::vector<std::wstring> out;
  for (const LogLine& line : LogLines(log_file)) {
    out.push_back(std::to_wstring(line.level) + static_cast<wchar_t>(towlower(line.module[0])) + L" " + line.text);
  }
  return out;
}

std::string MachineDiff(const Machine& expected, const Machine& actual) {
  std::string out;
  Machine all = expected;
  all.insert(actual.begin(), actual.end());
  for (const auto& [item, unused] : all) {
    const auto e = expected.find(item), a = actual.find(item);
    const std::wstring want = e == expected.end() ? L"(absent)" : e->second, got = a == actual.end() ? L"(absent)" : a->second;
    if (want != got) out += WideToUtf8(L"  " + item + L": expected [" + want + L"] got [" + got + L"]\n");
  }
  return out;
}

std::string StoryDiff(const std::vector<std::wstring>& expected, const std::vector<std::wstring>& actual) {
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  std::string out = "first difference at line " + std::to_string(i + 1) + "\n";
  for (size_t j = i; j < std::max(expected.size(), actual.size()); ++j) {
    out += "  want: " + (j < expected.size() ? WideToUtf8(expected[j]) : std::string("(none)")) + "\n";
    out += "  got:  " + (j < actual.size() ? WideToUtf8(actual[j]) : std::string("(none)")) + "\n";
  }
  return out;
}

}  // namespace zyhok_test
