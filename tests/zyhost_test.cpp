// zyhost.exe run as a separate program, as scripts run it: one table of command lines with the exit
// status and output each must give, on machine states that rows set up (faulty copies of the fixture
// packages, values under the driver's service key, a log holding earlier lines). A row that names a
// result code runs against recording_plugin.dll, which returns that code, and checks the records it
// received byte by byte. Then zyhost's copies of the plug-in's rules, held against the library's own.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/rules.h"
#include "lifecycle/lifecycle.h"
#include "staging/staging.h"
#include "support/plugin_host.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

// One argument quoted so that the C runtime's command-line parser gives it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\') += c;
    backslashes = 0;
  }
  return quoted.append(2 * backslashes, L'\\') + L"\"";
}

// Runs zyhost.exe with its standard output and error in files of `dir`: exit status, output, errors.
std::tuple<DWORD, std::string, std::string> Zyhost(const std::vector<std::wstring>& args, const TempDir& dir) {
  std::wstring command = Quote(BinDir() + L"zyhost.exe");
  for (const std::wstring& arg : args) command += L" " + Quote(arg);
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  auto create = [&](const wchar_t* name) {
    return zyhok::UniqueFileHandle(
        CreateFileW((dir / name).c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr));
  };
  DWORD exit = 0xFFFFFFFF;
  {
    zyhok::UniqueFileHandle out = create(L"out"), err = create(L"err");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process));
    zyhok::UniqueKernelHandle process_handle(process.hProcess), thread_handle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exit);
  }
  return {exit, ReadFileBytes(dir / L"out"), ReadFileBytes(dir / L"err")};
}

// Whether s[i...] is one JSON value whose strings hold printable ASCII only, as zyhost writes them.
bool JsonValue(const std::string& s, size_t& i) {
  auto at = [&](const char* set) { return i < s.size() && s[i] != '\0' && std::strchr(set, s[i]); };
  if (at("{[")) {
    const char* close = s[i++] == '{' ? "}" : "]";
    if (at(close)) return ++i;
    do {
      if (*close == '}' && !(at("\"") && JsonValue(s, i) && at(":") && ++i)) return false;
      if (!JsonValue(s, i)) return false;
    } while (at(",") && ++i);
    return at(close) && ++i;
  }
  if (at("\"")) {
    for (++i; i < s.size() && s[i] != '"'; ++i) {
      if (s[i] < 0x20 || s[i] > 0x7E || (s[i] == '\\' && (++i, !at("\"\\/bfnrtu")))) return false;
      if (s[i] == 'u' && s[i - 1] == '\\') i += 4;
    }
    return i++ < s.size();
  }
  for (const std::string word : {"true", "false", "null"}) {
    if (s.compare(i, word.size(), word) == 0) return i += word.size();
  }
  const size_t start = i;
  while (at("-0123456789.eE+")) ++i;
  return i > start;
}

// "error <n>: <message>" in the system's words: what zyhost must print for a Windows error.
std::string ErrorText(DWORD error) {
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                           512, nullptr);
  while (n > 0 && iswspace(text[n - 1])) --n;
  EXPECT_GT(n, 0u) << "the system has no message for error " << error;
  return "error " + std::to_string(error) + ": " + WideToUtf8(std::wstring(text, n));
}

// ---- One table of command lines ----------------------------------------------------------------------

struct Record {  // as recording_plugin.dll received it
  uint32_t action, compare_state;
  std::wstring path;
};
struct HostRecord {  // the host's layout
  uint32_t host_word;
  wchar_t path[1024];
  uint32_t action, compare_state;
};
static_assert(sizeof(HostRecord) == 2060, "the host's record is 2060 bytes");

// The machine a row runs on. Rows name its places {v1} {v2} {pkg} {tmp} {log} {staged}, and {err:N}
// stands for ErrorText(N); in the output of a JSON row the places are JSON-escaped.
struct Machine {
  TempDir tmp;
  std::wstring pkg, staged;
};
using SetUpFn = std::function<bool(Machine&)>;

struct Row {
  const char* name;
  std::vector<std::wstring> args;
  DWORD exit;
  std::vector<std::string> out;  // each in stdout; in stderr for an exit status 2 without --json
  SetUpFn set_up = nullptr;
  const char* result = nullptr;  // recording_plugin.dll returns this code in place of the plug-in
  std::vector<Record> records = {};
  std::vector<std::string> absent = {};  // nowhere in stdout
};

std::wstring Fill(std::wstring text, const Machine& m, bool json) {
  const std::pair<const wchar_t*, std::wstring> places[] = {
      {L"{v1}", PackageDir(L"v1")}, {L"{v2}", PackageDir(L"v2")}, {L"{pkg}", m.pkg},
      {L"{tmp}", m.tmp.path()},     {L"{log}", m.tmp / L"log"},   {L"{staged}", m.staged}};
  for (const auto& [name, value] : places) {
    std::wstring escaped;
    for (wchar_t c : value) escaped += json && c == L'\\' ? L"\\\\" : std::wstring(1, c);
    for (size_t at; (at = text.find(name)) != std::wstring::npos;) text.replace(at, wcslen(name), escaped);
  }
  for (size_t at, end; (at = text.find(L"{err:")) != std::wstring::npos;) {
    end = text.find(L'}', at);
    text.replace(at, end + 1 - at, Utf8ToWide(ErrorText(std::stoul(text.substr(at + 5, end - at - 5)))));
  }
  return text;
}

// A copy of package v1 at {tmp}\<layout>, which becomes {pkg}, changed by `fault`.
SetUpFn V1(const wchar_t* layout, std::function<bool(const std::wstring&)> fault) {
  return [layout, fault](Machine& m) {
    m.pkg = m.tmp / layout;
    return SHCreateDirectoryExW(nullptr, m.pkg.c_str(), nullptr) == ERROR_SUCCESS &&
           CopyTree(PackageDir(L"v1"), m.pkg) && fault(m.pkg);
  };
}
const wchar_t* const kV1 = L"20019\\1.6.1195\\1.6.1195";
bool Copy(const std::wstring& from, const std::wstring& to) { return CopyFileW(from.c_str(), to.c_str(), FALSE); }
// The engine's version text "2.5.1043" rewritten in place (same length) to `text`.
bool EngineText(const std::wstring& file, const std::wstring& text) {
  std::string bytes = ReadFileBytes(file);
  const size_t at = bytes.find(std::string(reinterpret_cast<const char*>(L"2.5.1043"), 16));
  return at != std::string::npos &&
         WriteFileBytes(file, bytes.replace(at, 16, reinterpret_cast<const char*>(text.data()), 16));
}

// Values under the driver's service key, a staged engine, and two pending deletions (one of the driver's).
bool DriverTraces(Machine& m) {
  const std::wstring folder = StagingTree64() + L"\\20019\\ZyMon\\9.9.9", key = kDriverServiceKey;
  const std::wstring unrelated = m.tmp / L"unrelated.tmp";
  m.staged = folder + L"\\zymon64.dll";
  return SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) == ERROR_SUCCESS &&
         WriteFileBytes(m.staged, "engine") && WriteFileBytes(unrelated, "x") &&
         WriteHklmValue(key, L"PermCount", Dword(3)) == 0 && WriteHklmValue(key, L"BootStatus", Dword(~0u)) == 0 &&
         WriteHklmValue(key, L"ZYHOKMonDll64Name", Sz(m.staged)) == 0 &&
         WriteHklmValue(key, L"ZYHOKMonDllName", Sz(L"C:\\windows\\SysWOW64\\zyhok\\gone\\zymon.dll")) == 0 &&
         WriteHklmValue(key + L"\\AddOn\\ZyHkEvt64", L"version", Sz(L"1.0.5")) == 0 &&
         MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
         MoveFileExW(unrelated.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

const std::wstring kLongest = L"C:\\" + std::wstring(1020, L'p');  // 1023 units and the NUL
// A quote, backslashes, a tab, a control character, accented and CJK letters, a surrogate pair and a
// lone surrogate: what a path text may hold and JSON must escape.
const std::wstring kOdd = L"C:\\a \"b\"\\\tc\x01\\\x00e9\x4e2d\\\xd83d\xde00\\\xdc00";
const char* const kOk = "201A0001";
const Row kRows[] = {
    {"BatchRecordsInOrder", {L"batch", L"install:Z:\\pkg\\20019\\a", L"update:C:\\x\\y:7", L"uninstall:D:\\z:0xFFFFFFFF",
      L"9:relative\\pkg", L"3::5", L"0:" + kLongest}, 0, {"    action:          unknown (9)\n", "result:      "
      "        0x201A0001 (success)\n"}, nullptr, kOk, {{0, 0, L"Z:\\pkg\\20019\\a"}, {1, 7, L"C:\\x\\y"},
      {2, 0xFFFFFFFF, L"D:\\z"}, {9, 0, L"relative\\pkg"}, {3, 5, L""}, {0, 0, kLongest}}, {"log:"}},
    // Every path text the plug-in takes can be given: device forms, and colons before an explicit state.
    {"BatchDeviceForms", {L"batch", L"install:\\\\.\\C:\\pkg", L"install:\\\\?\\C:\\pkg:5", L"1:\\??\\C:\\p\\a:0x7",
      L"2:\\\\?\\UNC\\srv\\pkg:2", L"install:C:\\a:b:0", L"install:C:"}, 0, {"    package:         \\\\.\\C:\\pkg\n"},
     nullptr, kOk, {{0, 0, L"\\\\.\\C:\\pkg"}, {0, 5, L"\\\\?\\C:\\pkg"}, {1, 7, L"\\??\\C:\\p\\a"},
      {2, 2, L"\\\\?\\UNC\\srv\\pkg"}, {0, 0, L"C:\\a:b"}, {0, 0, L"C:"}}},
    {"UpdateWithState", {L"update", L"C:\\pkg\\", L"--compare-state", L"12"}, 0, {"result:              "
      "0x201A0002 (success, but the running driver could not be stopped for the update)\n"}, nullptr, "201A0002",
     {{1, 12, L"C:\\pkg\\"}}},
    {"FailureTellsWhereTheLogIs", {L"uninstall", L"C:\\pkg"}, 1, {"result:              0xE01A0019 (the running "
      "driver could not be stopped)\nlog:                 {log}\n"}, nullptr, "E01A0019", {{2, 0, L"C:\\pkg"}},
     {"plug-in log"}},
    {"ForeignCode", {L"install", L"C:\\p"}, 1, {"0x12345678 (not a result code of this plug-in)"}, nullptr,
     "12345678", {{0, 0, L"C:\\p"}}},
    {"EmptyBatch", {L"batch"}, 1, {"0xE01A000C (failed; the batch was ended)"}, nullptr, "E01A000C", {}},
    {"JsonEscapesEverything", {L"--json", L"batch", L"7:" + kOdd + L":3", L"uninstall:D:\\q"}, 1,
     {R"({"action":7,"action_name":"unknown","compare_state":3,"package":"C:\\a \"b\"\\\tc\u0001\\\u00e9\u4e2d)"
      R"(\\\ud83d\ude00\\\udc00"})", R"("result":"0xE01A000A","result_meaning":"unknown action, or the driver )"
      R"(path could not be normalised","success":false,"log_file":"{log}"})"},
     nullptr, "E01A000A", {{7, 3, kOdd}, {2, 0, L"D:\\q"}}},
    {"RefuseTooLong", {L"install", kLongest + L"p"}, 2, {"does not fit a record (at most 1023)"}, nullptr, kOk},
    {"RefuseTooLongRecord", {L"batch", L"install:" + kLongest + L"p"}, 2, {"does not fit a record"}, nullptr, kOk},
    {"RefuseUnknownAction", {L"batch", L"reinstall:C:\\pkg"}, 2, {"unknown action 'reinstall'\r\nusage: zyhost"}, nullptr, kOk},
    {"RefuseNoAction", {L"batch", L"C:\\pkg"}, 2, {"unknown action 'C'"}, nullptr, kOk},
    {"RefuseStateText", {L"batch", L"install:C:\\pkg:seven"}, 2, {"compare_state 'seven' is not a number"}, nullptr, kOk},
    {"RefuseActionOverflow", {L"batch", L"4294967296:C:\\pkg"}, 2, {"unknown action '4294967296'"}, nullptr, kOk},
    {"RefuseNegativeState", {L"install", L"C:\\pkg", L"--compare-state", L"-1"}, 2, {"needs a number"}, nullptr, kOk},
    {"RefuseStateOption", {L"batch", L"install:C:\\p", L"--compare-state", L"1"}, 2, {"belongs to install"}, nullptr, kOk},
    {"RefuseNoFolder", {L"install"}, 2, {"install takes one package folder\r\nusage: zyhost"}, nullptr, kOk},
    {"RefuseLogForCheck", {L"--log", L"check", L"{v1}"}, 2, {"--log belongs to the commands that call the plug-in"}},
    {"MissingExport", {L"status"}, 2, {"does not export Plugin_Interface_EnumerateDriversInfo"}, nullptr, kOk},
    {"MissingExportJson", {L"--json", L"info"}, 2, {R"("error":"the plug-in does not export )"
      R"(Plugin_Interface_GetHelperOwnerModuleID"})"}, nullptr, kOk},
    // The real plug-in, on a machine without the driver.
    {"CannotLoad", {L"--plugin", L"C:\\nope.dll", L"status"}, 2, {"zyhost: cannot load C:\\nope.dll ({err:126})\r\n"}},
    {"StatusSaysWhy", {L"status"}, 0, {"status:          0xE01A0009 (the driver service status could not be read)\n"
      "reason:          not installed ({err:1060})\n", "result:          0x201A0001 (success)\n"}, nullptr, nullptr,
     {}, {"log:"}},
    {"StatusJsonSaysWhy", {L"--json", L"status"}, 0, {R"("status_reason":"not installed","status_error":1060,)"
      R"("status_error_text":"{err:1060}")"}},
    {"LogOfThisCallOnly", {L"--log", L"uninstall", L"{v1}"}, 1, {"result:              0xE01A000C (failed; the batch "
      "was ended)\nlog:                 {log}\nplug-in log:\n  ", "\tL3\tZYHOK Driver Installation\thelperZYHOKDriver:",
      "\tfail to query driver[zyhok] status\n"}, nullptr, nullptr, {}, {"earlier line"}},
    {"LogJson", {L"--json", L"--log", L"status"}, 0, {R"("log_file":"{log}","log":[")",
      "\\tQuery driver zyhok status failed!\","}, nullptr, nullptr, {}, {"earlier line"}},
    // check: problems (the install fails, or leaves a driver that cannot run or be removed) exit 1;
    // warnings (the install goes on without something) are listed with exit 0.
    {"CheckSample", {L"check", L"{v1}"}, 0, {"add-on folder:   {v1}\\AddOn\n", "  zyhok.sys:     present, x64, "
      "FileVersion 1.6.0.1195 (status reports 1.6.1195)\n", "  zymon64.dll:   present, x64, FileVersion 2.5.1043\n",
      "problems:        none\nwarnings:        none\nusable:          yes\n"}},
    {"CheckJson", {L"--json", L"check", L"{v2}"}, 0, {R"("fixed_version":"1.6.0.1200")", R"({"name":"ZyHkEvt.dll",)"
      R"("path":"{v2}\\AddOn\\ZyHkEvt.dll","present":true,"machine":"x86","file_version":"1.0.6","fixed_version":)"
      R"("1.0.0.6"}],"problems":[],"warnings":[],"usable":true})"}},
    {"MissingAddOnFileWarns", {L"check", L"{pkg}"}, 0, {"problems:        none\nwarnings:\n  ZyHkEvt.dll is "
      "missing ({pkg}\\AddOn\\ZyHkEvt.dll), so it is not staged\nusable:          yes\n"},
     V1(kV1, [](const std::wstring& p) { return DeleteFileW((p + L"\\AddOn\\ZyHkEvt.dll").c_str()) != FALSE; })},
    {"MissingAddOnFolderWarns", {L"check", L"{pkg}"}, 0, {"warnings:\n  the add-on folder is missing ({pkg}\\AddOn)"
      ", so the add-on is not staged\nusable:          yes\n"},
     V1(kV1, [](const std::wstring& p) { return RemoveTree(p + L"\\AddOn"); })},
    // ... and the plug-in installs that package.
    {"InstallWithoutAddOn", {L"install", L"{pkg}"}, 0, {"0x201A0001 (success)"},
     V1(kV1, [](const std::wstring& p) { return RemoveTree(p + L"\\AddOn"); })},
    {"UnreadableVersionWarns", {L"check", L"{pkg}"}, 0, {"warnings:\n  zymon64.dll has no readable FileVersion "
      "text, so the component is staged without a version folder\nusable:          yes\n"},
     V1(kV1, [](const std::wstring& p) { return Copy(FixturesDir() + L"\\versions\\no_version.dll", p + L"\\zymon64.dll"); })},
    {"WrongComponentMachineWarns", {L"check", L"{pkg}"}, 0, {"warnings:\n  zymon64.dll is built for x86, not x64, "
      "so processes cannot load it\n"}, V1(kV1, [](const std::wstring& p) { return Copy(p + L"\\zymon.dll", p + L"\\zymon64.dll"); })},
    {"NoComponentFolderWarns", {L"--json", L"check", L"{pkg}"}, 0, {R"("addon_folder":null)", R"("problems":[],)"
      R"("warnings":["the package path has no \"20019\" component, so the add-on folder cannot be found and the )"
      R"(add-on is not staged"],"usable":true)"}, V1(L"pkg\\1.6.1195", [](const std::wstring&) { return true; })},
    // <20019>\A\A\AddOn, whatever follows A\A: the add-on folder there is empty.
    {"AddOnFolderFromComponent", {L"check", L"{pkg}"}, 0, {"add-on folder:   {tmp}\\20019\\7.1\\7.1\\AddOn\n",
      "warnings:\n  ZyHkEvt64.dll is missing ({tmp}\\20019\\7.1\\7.1\\AddOn\\ZyHkEvt64.dll), so it is not staged "
      "and the 32-bit file is staged without a version folder\n  ZyHkEvt.dll is missing"},
     V1(L"20019\\7.1\\7.1\\driver", [](const std::wstring& p) { return !!CreateDirectoryW((p + L"\\..\\AddOn").c_str(), nullptr); })},
    {"UnfitVersionIsAProblem", {L"check", L"{pkg}"}, 1, {"problems:\n  zymon64.dll FileVersion \"2.5/1043\" cannot "
      "name a staging folder, which stops the install\nwarnings:\n  zymon.dll FileVersion 2.5.1043 differs from "
      "zymon64.dll FileVersion 2.5/1043, which names the staging folder of both\nusable:          no\n"},
     V1(kV1, [](const std::wstring& p) { return EngineText(p + L"\\zymon64.dll", L"2.5/1043"); })},
    // ... and the plug-in's install of that package fails.
    {"InstallUnfitVersionFails", {L"install", L"{pkg}"}, 1, {"0xE01A000C (failed; the batch was ended)"},
     V1(kV1, [](const std::wstring& p) { return EngineText(p + L"\\zymon64.dll", L"2.5/1043"); })},
    {"WrongDriverMachineIsAProblem", {L"check", L"{pkg}"}, 1, {"problems:\n  zyhok.sys is built for x86, not x64\n"
      "warnings:        none\nusable:          no\n"},
     V1(kV1, [](const std::wstring& p) { return Copy(p + L"\\zymon.dll", p + L"\\zyhok.sys"); })},
    {"MissingInfIsAProblem", {L"check", L"{pkg}"}, 1, {"problems:\n  zyhok.inf is missing ({pkg}\\zyhok.inf)\n"},
     V1(kV1, [](const std::wstring& p) { return DeleteFileW((p + L"\\zyhok.inf").c_str()) != FALSE; })},
    {"Diagnose", {L"diagnose"}, 0, {"  state:                      not installed ({err:1060})\n", "    PermCount:  "
      "              3 (0x00000003)\n", "    ZYHOKMonDll64Name:        {staged}  (file present)\n",
      "      zyhok\\20019\\ZyMon\\9.9.9: zymon64.dll\n", "\\zyhok\\20019\\ZyMon\\9.9.9  (delete)\n"}, DriverTraces,
     nullptr, {}, {"unrelated.tmp"}},
    {"DiagnoseJson", {L"--json", L"diagnose"}, 0, {R"("service":{"present":false,"reason":"not installed","error":)"
      R"(1060,"error_text":"{err:1060}"})", R"("PermCount":3,"InstalledByZefa":null,"DeleteFlag":null,)"
      R"("ZYHOKMonDllName":"C:\\windows\\SysWOW64\\zyhok\\gone\\zymon.dll","ZYHOKMonDllName_file_present":false,)"
      R"("ZYHOKMonDllNameDev":null,"ZYHOKMonDll64Name":"{staged}","ZYHOKMonDll64Name_file_present":true)",
      R"("values":null},{)", R"({"path":null,"devpath":null,"version":"1.0.5"})", R"({"folder":"zyhok\\20019\\)"
      R"(ZyMon\\9.9.9","files":["zymon64.dll"]})", R"(\\zyhok\\20019\\ZyMon\\9.9.9","operation":"delete"}])"},
     DriverTraces, nullptr, {}, {"unrelated.tmp"}},
};

// Each row runs on a machine without the driver and leaves it so, with the log at {log} holding an
// earlier line and the pending-deletion list put back.
TEST(ZyhostCommands, ExitAndPrintAsTheTableSays) {
  constexpr const wchar_t* kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(ServiceState(), 0u) << "the zyhok service must not exist";
    const RegValue pending = ReadHklmValue(kSessionManager, L"PendingFileRenameOperations");
    Machine m;
    ASSERT_TRUE(WriteFileBytes(m.tmp / L"log", "earlier line\r\n"));
    SetEnvironmentVariableW(L"ZYJOURNAL_FILE", (m.tmp / L"log").c_str());
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_FILE", (m.tmp / L"received").c_str());
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", row.result ? Utf8ToWide(row.result).c_str() : nullptr);
    EXPECT_TRUE(!row.set_up || row.set_up(m)) << "the row's machine state could not be set up";
    std::vector<std::wstring> args;
    for (const std::wstring& arg : row.args) args.push_back(Fill(arg, m, false));
    if (row.result != nullptr) args.insert(args.begin(), {L"--plugin", BinDir() + L"recording_plugin.dll"});
    const bool json = row.args.front() == L"--json";
    const auto [exit, out, err] = Zyhost(args, m.tmp);
    ResetDriverMachineState();
    pending.error == ERROR_SUCCESS ? WriteHklmValue(kSessionManager, L"PendingFileRenameOperations", pending)
                                   : RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");

    EXPECT_EQ(exit, row.exit) << out << err;
    const std::string& shown = row.exit == 2 && !json ? err : out;
    for (const std::string& part : row.out) {
      EXPECT_NE(shown.find(WideToUtf8(Fill(Utf8ToWide(part), m, json))), std::string::npos) << part << "\nin:\n" << shown;
    }
    for (const std::string& part : row.absent) EXPECT_EQ(out.find(part), std::string::npos) << part << " in:\n" << out;
    size_t end = 0;  // a JSON row writes one JSON object on one line; a failed command line, only stderr
    EXPECT_TRUE(json ? out[0] == '{' && JsonValue(out, end) && out.substr(end) == "\n"
                     : row.exit != 2 || (out.empty() && err.rfind("zyhost: ", 0) == 0)) << out << err;
    if (row.result == nullptr) continue;
    // The records at a stride of 2060 bytes (a null pointer only for none): host word 0, action, compare
    // state, and the path NUL-terminated with every later unit zero; nothing for a refused command line.
    const std::string bytes = ReadFileBytes(m.tmp / L"received");
    ASSERT_EQ(bytes.size(), row.exit == 2 ? 0 : 8 + row.records.size() * sizeof(HostRecord));
    uint32_t head[2] = {0, row.records.empty()};  // count, null pointer
    if (row.exit != 2) std::memcpy(head, bytes.data(), 8);
    EXPECT_EQ(std::vector<uint32_t>({uint32_t(row.records.size()), row.records.empty()}), std::vector<uint32_t>(head, head + 2));
    for (size_t n = 0; n < row.records.size(); ++n) {
      HostRecord r;
      std::memcpy(&r, bytes.data() + 8 + n * sizeof(HostRecord), sizeof(HostRecord));
      const std::wstring& path = row.records[n].path;
      EXPECT_EQ(std::make_tuple(r.host_word, r.action, r.compare_state, std::wstring(r.path, 1024)),
                std::make_tuple(0u, row.records[n].action, row.records[n].compare_state,
                                path + std::wstring(1024 - path.size(), L'\0'))) << "record " << n;
    }
  }
}

// ---- zyhost's copies of the plug-in's rules -----------------------------------------------------------

// Each copy gives what the library's own operation gives on the same input: success, and the text.
TEST(ZyhostRules, CopiesAgreeWithTheLibrary) {
  using Result = std::pair<bool, std::wstring>;
  const std::wstring v = FixturesDir() + L"\\versions\\", p = PackageDir(L"v1") + L"\\", x = L"\\\\.\\";
  const std::vector<std::wstring> paths = {
      L"C:\\pkg\\zyhok", L"C:\\a" + x + L"b", x + L"C:\\pkg", L"C:\\a" + x + L"b" + x + L"c", L"\\\\?\\C:\\20019\\1\\1",
      L"D:\\p\\20019\\7.1\\7.1\\driver", L"D:\\p\\20019\\7.1", L"D:\\p\\7.1", L"D:\\20019\\a\\20019\\b", L"D:\\200190\\a",
      L"D:\\2001\\a", L"D:\\p\\20019", L"D:\\p\\20019\\", L"relative", L"", L"C:\\" + std::wstring(256, L'p'),
      L"C:\\" + std::wstring(257, L'p'), L"C:\\a" + x + std::wstring(253, L'p'), L"C:\\a" + x + std::wstring(254, L'p')};
  const struct {
    const char* rule;
    std::function<Result(const std::wstring&)> host, library;
    std::vector<std::wstring> inputs;
  } rules[] = {
      {"normalisation", [](const std::wstring& in) { std::wstring out; bool ok = zyhost::NormaliseFolder(in, &out);
                                                     return Result(ok, ok ? out : L""); },
       [](const std::wstring& in) { wchar_t out[zyhok::kNormalizedPathUnits];
                                    bool ok = zyhok::NormalizeDriverPath(in.c_str(), out) == 1;
                                    return Result(ok, ok ? out : L""); }, paths},
      {"add-on folder", [](const std::wstring& in) { std::wstring out = L"-"; return Result(zyhost::AddOnFolder(in, &out), out); },
       [](const std::wstring& in) { std::wstring out = L"-"; return Result(zyhok::DeriveAddOnSourceFolder(in, out), out); }, paths},
      {"file version", [](const std::wstring& in) { std::wstring out = L"-"; return Result(zyhost::ReadFileVersionText(in, &out), out); },
       [](const std::wstring& in) { std::wstring out = L"-"; return Result(zyhok::GetFileVersionString(in, out) == 1, out); },
       {v + L"one_translation.dll", v + L"two_translations.dll", v + L"no_version.dll", v + L"unmatched_translation.dll",
        v + L"missing.dll", p + L"zyhok.sys", p + L"AddOn\\ZyHkEvt.dll", p + L"zyhok.inf"}},
      {"system folders", [](const std::wstring&) { return Result(true, zyhost::SystemFolder() + L"|" + zyhost::Wow64Folder()); },
       [](const std::wstring&) { return Result(true, zyhok::GetSystemDirPath() + L"|" + zyhok::GetSysWow64DirPath()); }, {L""}},
  };
  for (const auto& rule : rules) {
    for (const std::wstring& input : rule.inputs) {
      const Result host = rule.host(input), library = rule.library(input);
      EXPECT_EQ(host.first, library.first) << rule.rule << " of " << WideToUtf8(input);
      EXPECT_EQ(WideToUtf8(host.second), WideToUtf8(library.second)) << rule.rule << " of " << WideToUtf8(input);
    }
  }
}

}  // namespace
