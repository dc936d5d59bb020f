// zyhost.exe run as scripts run it: one table of command lines with the exit status and output each must
// give on a machine state the row sets up (with a result code, against recording_plugin.dll returning it,
// and the records it received).
#include "support/test_support.h"
#include "util/pending_renames.h"
#include <shlobj.h>
#include <cstring>
#include <functional>
#include <tuple>

namespace {

using namespace zyhok_test;

// Whether s[i...] is one JSON value (no blanks), its strings in printable ASCII, as zyhost writes it.
bool JsonValue(const std::string& s, size_t& i) {
  auto at = [&](const char* set) { return i < s.size() && s[i] != '\0' && std::strchr(set, s[i]); };
  if (at("{[")) {
    const char* close = s[i++] == '{' ? "}" : "]";
    while (!at(close)) {
      if ((*close == '}' && !(at("\"") && JsonValue(s, i) && at(":") && ++i)) || !JsonValue(s, i)) return false;
      if (!at(close) && !(at(",") && ++i && !at(close))) return false;
    }
    return ++i > 0;
  }
  if (at("\"")) {
    for (++i; i < s.size() && s[i] != '"'; ++i) {
      const bool escape = s[i] == '\\';
      if (s[i] < 0x20 || s[i] > 0x7E || (escape && (++i, !at("\"\\/bfnrtu")))) return false;
      if (escape && s[i] == 'u') i += 4;
    }
    return i++ < s.size();
  }
  const size_t start = i;
  for (const std::string word : {"true", "false", "null"}) i += s.compare(i, word.size(), word) ? 0 : word.size();
  if (i == start && at("-0123456789"))
    while (at("-0123456789.eE+")) ++i;
  return i > start;
}
// "error <n>: <message>" in the system's words: what zyhost must print for a Windows error.
std::string ErrorText(DWORD error) {
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512, 0);
  while (n > 0 && iswspace(text[n - 1])) --n;
  EXPECT_GT(n, 0u) << "the system has no message for error " << error;
  return "error " + std::to_string(error) + ": " + WideToUtf8(std::wstring(text, n));
}
// ---- One table of command lines. The machine a row runs on: rows name its places {v1} {v2} {pkg}
// {tmp} {log} {staged}, and {err:N} stands for ErrorText(N); in a JSON row's output they are escaped.
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
  std::vector<std::tuple<uint32_t, uint32_t, std::wstring>> records = {};  // action, compare_state, path
  std::vector<std::string> absent = {};                                    // nowhere in stdout
};
std::wstring Fill(std::wstring text, const Machine& m, bool json) {
  const std::pair<std::wstring, std::wstring> places[] = {
      {L"{v1}", PackageDir(L"v1")}, {L"{v2}", PackageDir(L"v2")}, {L"{pkg}", m.pkg},
      {L"{tmp}", m.tmp.path()},     {L"{log}", m.tmp / L"log"},   {L"{staged}", m.staged}};
  for (const auto& [name, value] : places) {
    std::wstring escaped;
    for (wchar_t c : value) escaped += json && c == L'\\' ? L"\\\\" : std::wstring(1, c);
    for (size_t at; (at = text.find(name)) != std::wstring::npos;) text.replace(at, name.size(), escaped);
  }
  for (size_t at; (at = text.find(L"{err:")) != std::wstring::npos;) {
    const size_t end = text.find(L'}', at);
    text.replace(at, end + 1 - at, Utf8ToWide(ErrorText(std::stoul(text.substr(at + 5, end - at - 5)))));
  }
  return text;
}
// A copy of package v1 at {tmp}\<layout>, which becomes {pkg}, with a fault.
using Fault = std::function<bool(const std::wstring& package)>;
SetUpFn V1(Fault fault, const wchar_t* layout = L"20019\\1.6.1195\\1.6.1195") {
  return [layout, fault](Machine& m) {
    m.pkg = m.tmp / layout;
    return SHCreateDirectoryExW(nullptr, m.pkg.c_str(), nullptr) == ERROR_SUCCESS &&
           CopyTree(PackageDir(L"v1"), m.pkg) && fault(m.pkg);
  };
}
Fault Gone(const wchar_t* name) {
  return [name](const std::wstring& p) { return RemoveTree(p + L"\\" + name); };
}
Fault Over(const std::wstring& from, const wchar_t* to) {  // `from` in the package unless it has a drive
  return [from, to](const std::wstring& p) {
    return !!CopyFileW((from[1] == L':' ? from : p + L"\\" + from).c_str(), (p + L"\\" + to).c_str(), FALSE);
  };
}
// The engine's version text "2.5.1043" rewritten in place to "2.5|1043", which cannot name a folder.
bool UnfitVersion(const std::wstring& p) {
  std::string bytes = ReadFileBytes(p + L"\\zymon64.dll");
  const size_t at = bytes.find(std::string(reinterpret_cast<const char*>(L"2.5.1043"), 16));
  return at != std::string::npos && WriteFileBytes(p + L"\\zymon64.dll", bytes.replace(at + 6, 1, "|"));
}
// Values under the driver's service key, a staged engine, and two pending deletions (one of the driver's).
bool DriverTraces(Machine& m) {
  const std::wstring folder = StagingTree64() + L"\\20019\\ZyMon\\9.9.9", key = kDriverServiceKey;
  const std::wstring unrelated = m.tmp / L"unrelated.tmp";
  m.staged = folder + L"\\zymon64.dll";
  return SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) == ERROR_SUCCESS &&
         WriteFileBytes(m.staged, "engine") && WriteFileBytes(folder + L"\\zymon.dll", "unregistered") &&
         WriteFileBytes(unrelated, "x") && WriteHklmValue(key, L"PermCount", Dword(3)) == 0 &&
         WriteHklmValue(key, L"ZYHOKMonDll64Name", Sz(m.staged)) == 0 &&
         WriteHklmValue(key, L"ZYHOKMonDllName", Sz(L"C:\\windows\\SysWOW64\\zyhok\\gone\\zymon.dll")) == 0 &&
         WriteHklmValue(key + L"\\AddOn\\ZyHkEvt64", L"version", Sz(L"1.0.5")) == 0 &&
         MoveFileExW(m.staged.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
         MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
         MoveFileExW(unrelated.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}
const std::wstring kLongest = L"C:\\" + std::wstring(1020, L'p');  // 1023 units and the NUL
// Backslashes, a tab, a control character, accented and CJK letters, surrogates paired and alone.
// clang-format off
const std::wstring kOdd = L"C:\\a b\\\tc\x01\\\x00e9\x4e2d\\\xd83d\xde00\\\xdc00";
const char* const kOk = "201A0001";
const Row kRows[] = {
    {"BatchRecordsInOrder", {L"batch", L"install:Z:\\p\\20019\\a", L"update:C:\\x\\y:7", L"uninstall:D:\\z:0xFFFFFFFF",
      L"9:relative\\p", L"3::5", L"0:" + kLongest}, 0, {"  record 4:\n    action:          unknown (9)\n",
      "result:              0x201A0001 (success)\n"}, nullptr, kOk, {{0, 0, L"Z:\\p\\20019\\a"}, {1, 7, L"C:\\x\\y"},
      {2, 0xFFFFFFFF, L"D:\\z"}, {9, 0, L"relative\\p"}, {3, 5, L""}, {0, 0, kLongest}}, {"log:"}},
    // Every path text the plug-in takes can be given: device forms, and colons before an explicit state.
    {"BatchDeviceForms", {L"batch", L"install:\\\\.\\C:\\p", L"install:\\\\?\\C:\\p:5", L"1:\\??\\C:\\p\\a:0x7",
      L"2:\\\\?\\UNC\\srv\\p:2", L"install:C:\\a:b:0", L"install:C:"}, 0, {"    package:         \\\\.\\C:\\p\n"},
     nullptr, kOk, {{0, 0, L"\\\\.\\C:\\p"}, {0, 5, L"\\\\?\\C:\\p"}, {1, 7, L"\\??\\C:\\p\\a"},
      {2, 2, L"\\\\?\\UNC\\srv\\p"}, {0, 0, L"C:\\a:b"}, {0, 0, L"C:"}}},
    {"UpdateWithState", {L"update", L"C:\\p\\", L"--compare-state", L"12"}, 0, {"result:              0x201A0002 "
      "(success, but the running driver could not be stopped for the update)\n"}, nullptr, "201A0002",
     {{1, 12, L"C:\\p\\"}}},
    {"FailureTellsWhereTheLogIs", {L"uninstall", L"C:\\p"}, 1, {"result:              0xE01A0019 (the running "
      "driver could not be stopped)\nlog:                 {log}\n"}, nullptr, "E01A0019", {{2, 0, L"C:\\p"}},
     {"plug-in"}},
    {"EmptyBatch", {L"batch"}, 1, {"0xE01A000C (failed; the batch was ended)"}, nullptr, "E01A000C", {}},
    {"JsonEscapes", {L"--json", L"batch", L"7:" + kOdd + L":3", L"uninstall:D:\\q"}, 1, {R"({"action":7,"action_)"
      R"(name":"unknown","compare_state":3,"package":"C:\\a b\\\tc\u0001\\\u00e9\u4e2d\\\ud83d\ude00\\\udc00"})",
      R"("result":"0xE01A000A","result_meaning":"unknown action, or the driver path could not be normalised",)"
      R"("success":false,"log_file":"{log}"})"}, nullptr, "E01A000A", {{7, 3, kOdd}, {2, 0, L"D:\\q"}}},
    {"RefuseTooLong", {L"install", kLongest + L"p"}, 2, {"does not fit a record (at most 1023)"}, nullptr, kOk},
    {"RefuseUnknownAction", {L"batch", L"reinstall:C:\\p"}, 2, {"'reinstall'\r\nusage: zyhost"}, nullptr, kOk},
    {"RefuseStateText", {L"batch", L"install:C:\\p:seven"}, 2, {"compare_state 'seven' is not a"}, nullptr, kOk},
    {"RefuseNegativeState", {L"install", L"C:\\p", L"--compare-state", L"-1"}, 2, {"needs a number"}, nullptr, kOk},
    {"RefuseStateOption", {L"batch", L"0:C:\\p", L"--compare-state", L"1"}, 2, {"belongs to install"}, nullptr, kOk},
    {"RefuseNoFolder", {L"install"}, 2, {"install takes one package folder\r\nusage: zyhost"}, nullptr, kOk},
    {"RefuseLogForCheck", {L"--log", L"check", L"{v1}"}, 2, {"--log belongs to the commands that call the plug-in"}},
    {"MissingExportJson", {L"--json", L"info"}, 2, {R"("error":"the plug-in does not export Plugin_Interface_)"
      R"(GetHelperOwnerModuleID"})"}, nullptr, kOk},
    // The real plug-in, on a machine without the driver.
    {"CannotLoad", {L"--plugin", L"C:\\nope.dll", L"status"}, 2, {"cannot load C:\\nope.dll ({err:126})\r\n"}},
    {"StatusSaysWhy", {L"status"}, 0, {"status:          0xE01A0009 (the driver service status could not be read)\n"
      "reason:          not installed ({err:1060})\n", "result:          0x201A0001 (success)\n"}, {}, {}, {},
     {"log:"}},
    {"StatusJsonSaysWhy", {L"--json", L"status"}, 0,
     {R"("status_reason":"not installed","status_error":1060,"status_error_text":"{err:1060}")"}},
    {"LogOfThisCallOnly", {L"--log", L"uninstall", L"{v1}"}, 1, {"result:              0xE01A000C (failed; the "
      "batch was ended)\nlog:                 {log}\nplug-in log:\n  ", "\tL3\tZYHOK Driver Installation\t",
      "\tfail to query driver[zyhok] status\n"}, {}, {}, {}, {"earlier line"}},
    {"LogJson", {L"--json", L"--log", L"status"}, 0, {R"("log_file":"{log}","log":[")",
      R"(\tQuery driver zyhok status failed!",)"}, {}, {}, {}, {"earlier line"}},
    // check: problems (the install fails, or leaves a driver that cannot run or be removed) exit 1;
    // warnings (the install goes on without something) are listed with exit 0.
    {"CheckSample", {L"check", L"{v1}"}, 0, {"add-on folder:   {v1}\\AddOn\n", "  zyhok.sys:     present, x64, "
      "FileVersion 1.6.0.1195 (status reports 1.6.1195)\n", "  zymon64.dll:   present, x64, FileVersion 2.5.1043\n",
      "problems:        none\nwarnings:        none\nusable:          yes\n"}},
    {"CheckJson", {L"--json", L"check", L"{v2}"}, 0, {R"({"name":"ZyHkEvt.dll","path":"{v2}\\AddOn\\ZyHkEvt.dll",)"
      R"("present":true,"machine":"x86","file_version":"1.0.6","fixed_version":"1.0.0.6"}],"problems":[],)"}},
    {"MissingAddOnFileWarns", {L"check", L"{pkg}"}, 0, {"problems:        none\nwarnings:\n  ZyHkEvt.dll is "
      "missing ({pkg}\\AddOn\\ZyHkEvt.dll), so it is not staged\nusable:          yes\n"},
     V1(Gone(L"AddOn\\ZyHkEvt.dll"))},
    {"MissingAddOnFolderWarns", {L"check", L"{pkg}"}, 0, {"warnings:\n  the add-on folder is missing "
      "({pkg}\\AddOn), so the add-on is not staged\nusable:          yes\n"}, V1(Gone(L"AddOn"))},
    {"InstallWithoutAddOn", {L"install", L"{pkg}"}, 0, {"0x201A0001 (success)"}, V1(Gone(L"AddOn"))},  // as it warned
    {"UnreadableVersionWarns", {L"check", L"{pkg}"}, 0, {"warnings:\n  zymon64.dll has no readable FileVersion "
      "text, so the component is staged without a version folder\nusable:          yes\n"},
     V1(Over(FixturesDir() + L"\\versions\\no_version.dll", L"zymon64.dll"))},
    {"WrongComponentMachineWarns", {L"check", L"{pkg}"}, 0, {"warnings:\n  zymon64.dll is built for x86, not x64, "
      "so processes cannot load it\n"}, V1(Over(L"zymon.dll", L"zymon64.dll"))},
    {"NoComponentFolderWarns", {L"--json", L"check", L"{pkg}"}, 0, {R"("addon_folder":null)", R"("problems":[],)"
      R"("warnings":["the package path has no \"20019\" component, so the add-on folder cannot be found and the )"
      R"(add-on is not staged"],"usable":true)"}, V1([](auto&) { return true; }, L"pkg\\1.6.1195")},
    // <20019>\A\A\AddOn, whatever follows A\A: the add-on folder there is empty.
    {"AddOnFolderFromComponent", {L"check", L"{pkg}"}, 0, {"add-on folder:   {tmp}\\20019\\7.1\\7.1\\AddOn\n",
      "warnings:\n  ZyHkEvt64.dll is missing ({tmp}\\20019\\7.1\\7.1\\AddOn\\ZyHkEvt64.dll), so it is not staged "
      "and the 32-bit file is staged without a version folder\n  ZyHkEvt.dll is missing"},
     V1([](auto& p) { return !!CreateDirectoryW((p + L"\\..\\AddOn").c_str(), nullptr); }, L"20019\\7.1\\7.1\\driver")},
    {"UnfitVersionIsAProblem", {L"check", L"{pkg}"}, 1, {"problems:\n  zymon64.dll FileVersion \"2.5|1043\" cannot "
      "name a staging folder, which stops the install\nwarnings:\n  zymon.dll FileVersion 2.5.1043 differs from "
      "zymon64.dll FileVersion 2.5|1043, which names the staging folder of both\nusable:          no\n"},
     V1(UnfitVersion)},
    {"InstallUnfitVersionFails", {L"install", L"{pkg}"}, 1, {"0xE01A000C (failed;"}, V1(UnfitVersion)},  // as it said
    {"WrongDriverMachineIsAProblem", {L"check", L"{pkg}"}, 1, {"problems:\n  zyhok.sys is built for x86, not x64\n"
      "warnings:        none\nusable:          no\n"}, V1(Over(L"zymon.dll", L"zyhok.sys"))},
    {"MissingInfIsAProblem", {L"check", L"{pkg}"}, 1, {"problems:\n  zyhok.inf is missing ({pkg}\\zyhok.inf)\n"},
     V1(Gone(L"zyhok.inf"))},
    {"Diagnose", {L"--json", L"diagnose"}, 0, {R"("service":{"present":false,"reason":"not installed","error":1060,)"
      R"("error_text":"{err:1060}"})", R"("PermCount":3,"InstalledByZefa":null,)", R"("ZYHOKMonDllName_file_present":)"
      R"(false,"ZYHOKMonDllNameDev":null,"ZYHOKMonDll64Name":"{staged}","ZYHOKMonDll64Name_file_present":true)",
      R"("values":null},{)", R"({"path":null,"devpath":null,"version":"1.0.5"})", R"("files":["zymon.dll","zymon64.dll"]})",
      R"(\\ZyMon\\9.9.9","operation":"delete"}])",
      R"("problems":["C:\\windows\\system32\\zyhok\\20019\\ZyMon\\9.9.9\\zymon.dll is in a staging tree, )"
      R"(but no value registers it","{staged} is registered, but queued for deletion at the next reboot"]})"},
     DriverTraces, {}, {}, {"unrelated.tmp"}},
};
// clang-format on

// Each row runs on a machine without the driver and leaves it so, with the log at {log} holding an
// earlier line and the pending-deletion list put back.
TEST(ZyhostCommands, ExitAndPrintAsTheTableSays) {
  using zyhok::kPendingRenamesValue;
  using zyhok::kSessionManagerKey;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(ServiceState(), 0u) << "the zyhok service must not exist";
    const RegValue pending = ReadHklmValue(kSessionManagerKey, kPendingRenamesValue);
    Machine m;
    ASSERT_TRUE(WriteFileBytes(m.tmp / L"log", "earlier line\r\n"));
    SetEnvironmentVariableW(L"ZYJOURNAL_FILE", (m.tmp / L"log").c_str());
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_FILE", (m.tmp / L"received").c_str());
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", row.result ? Utf8ToWide(row.result).c_str() : nullptr);
    EXPECT_TRUE(!row.set_up || row.set_up(m)) << "the row's machine state could not be set up";
    // zyhost.exe with each argument quoted (none holds a quote), its output and errors in files of {tmp}
    std::wstring command = L"\"" + BinDir() + L"zyhost.exe\"" +
                           (row.result ? L" --plugin \"" + BinDir() + L"recording_plugin.dll\"" : L"");
    for (const std::wstring& arg : row.args) {
      const std::wstring filled = Fill(arg, m, false);
      command += L" \"" + filled + (filled.empty() || filled.back() != L'\\' ? L"\"" : L"\\\"");
    }
    const zyhok::UniqueKernelHandle process = StartProcess(command, L"", {}, m.tmp / L"zyhost");
    EXPECT_TRUE(process.valid()) << GetLastError();
    const DWORD exit = process ? ExitCodeOf(process) : 0xFFFFFFFF;
    const std::string out = ReadFileBytes(m.tmp / L"zyhost.out"), err = ReadFileBytes(m.tmp / L"zyhost.err");
    ResetDriverMachineState();
    pending.error ? RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue)
                  : WriteHklmValue(kSessionManagerKey, kPendingRenamesValue, pending);
    const bool json = row.args.front() == L"--json";
    const std::string& shown = row.exit == 2 && !json ? err : out;
    EXPECT_EQ(exit, row.exit) << out << err;
    for (const std::string& part : row.out) {
      EXPECT_NE(shown.find(WideToUtf8(Fill(Utf8ToWide(part), m, json))), std::string::npos) << part << "\n" << shown;
    }
    for (const std::string& part : row.absent) EXPECT_EQ(out.find(part), std::string::npos) << part << " in:\n" << out;
    size_t end = 0;  // a JSON row writes one JSON object on one line; a failed command line, only stderr
    EXPECT_TRUE(json ? out[0] == '{' && JsonValue(out, end) && out.substr(end) == "\n"
                     : row.exit != 2 || (out.empty() && err.rfind("zyhost: ", 0) == 0))
        << out << err;
    if (!row.result) continue;
    // What recording_plugin.dll received: the count, 1 for a null pointer (with none only), then each
    // record as the host lays it out (word 0, the path with every later unit zero, action, compare_state).
    // Nothing at all for a refused command line.
    const uint32_t head[] = {uint32_t(row.records.size()), row.records.empty()};
    std::string expected(reinterpret_cast<const char*>(head), sizeof(head));
    for (const auto& [action, state, path] : row.records) {
      const zyhok::DrvInfo record = MakeRecord(action, path, state);
      expected.append(reinterpret_cast<const char*>(&record), sizeof(record));
    }
    const std::string received = ReadFileBytes(m.tmp / L"received");
    EXPECT_TRUE(received == (row.exit == 2 ? "" : expected)) << received.size() << " bytes received";
  }
}

}  // namespace
