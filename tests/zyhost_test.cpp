// zyhost.exe run as a separate program, as scripts run it: the records its commands lay out
// (received by recording_plugin.dll, which simulates the plug-in's batch export), `check` on real
// copies of the fixture packages, `diagnose` on a machine state the test sets up, and the JSON output
// parsed back.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/plugin_host.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;

struct Outcome {
  DWORD exit = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

// One argument quoted so that the C runtime's command-line parser gives it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

// Runs zyhost.exe with the arguments; its standard output and error go to files, read back once it
// ended.
Outcome Zyhost(const std::vector<std::wstring>& args) {
  std::wstring command = Quote(BinDir() + L"zyhost.exe");
  for (const std::wstring& arg : args) command += L" " + Quote(arg);
  TempDir dir;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  auto create = [&](const wchar_t* name) {
    return zyhok::UniqueFileHandle(CreateFileW((dir / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  zyhok::UniqueFileHandle out = create(L"out"), err = create(L"err");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.get();
  startup.hStdError = err.get();
  PROCESS_INFORMATION process = {};
  Outcome run;
  if (!out || !err ||
      !CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "zyhost.exe could not be started: " << GetLastError();
    return run;
  }
  zyhok::UniqueKernelHandle process_handle(process.hProcess), thread_handle(process.hThread);
  WaitForSingleObject(process_handle.get(), INFINITE);
  GetExitCodeProcess(process_handle.get(), &run.exit);
  out.reset();
  err.reset();
  run.out = ReadFileBytes(dir / L"out");
  run.err = ReadFileBytes(dir / L"err");
  return run;
}

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// ---- A small strict JSON reader: the whole output must be exactly one value. --------------------

struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  bool boolean = false;
  double number = 0;
  std::wstring text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json& operator[](const std::string& key) const {
    static const Json missing;
    for (const auto& member : members) {
      if (member.first == key) return member.second;
    }
    ADD_FAILURE() << "no member " << key;
    return missing;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  bool Parse(Json* value) { return Value(value) && (Blank(), pos_ == s_.size()); }

 private:
  // Skips characters of `set` (a std::string, so that a NUL never matches).
  void Skip(const std::string& set) {
    while (pos_ < s_.size() && set.find(s_[pos_]) != std::string::npos) ++pos_;
  }
  void Blank() { Skip(" \t\r\n"); }
  bool Take(const char* word) {
    Blank();
    const size_t n = std::strlen(word);
    if (s_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }
  // The rest of a string whose opening quote was taken.
  bool String(std::wstring* out) {
    static const std::string kEscapes = "\"\\/bfnrt";
    static const std::wstring kEscaped = L"\"\\/\b\f\n\r\t";
    std::string raw;  // UTF-8 run up to the next escape
    while (pos_ < s_.size() && s_[pos_] != '"') {
      const char c = s_[pos_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        raw += c;
        continue;
      }
      *out += Utf8ToWide(raw);
      raw.clear();
      const size_t simple = pos_ < s_.size() ? kEscapes.find(s_[pos_]) : std::string::npos;
      if (simple != std::string::npos) {
        *out += kEscaped[simple];
        ++pos_;
      } else if (s_.compare(pos_, 1, "u") == 0 && pos_ + 5 <= s_.size()) {
        *out += static_cast<wchar_t>(std::stoul(s_.substr(pos_ + 1, 4), nullptr, 16));
        pos_ += 5;
      } else {
        return false;
      }
    }
    *out += Utf8ToWide(raw);
    return Take("\"");
  }
  bool Value(Json* v) {
    if (Take("{")) {
      v->type = Json::kObject;
      if (Take("}")) return true;
      do {
        std::wstring key;
        v->members.emplace_back();
        if (!Take("\"") || !String(&key) || !Take(":") || !Value(&v->members.back().second)) return false;
        v->members.back().first = WideToUtf8(key);
      } while (Take(","));
      return Take("}");
    }
    if (Take("[")) {
      v->type = Json::kArray;
      if (Take("]")) return true;
      do {
        v->items.emplace_back();
        if (!Value(&v->items.back())) return false;
      } while (Take(","));
      return Take("]");
    }
    if (Take("\"")) {
      v->type = Json::kString;
      return String(&v->text);
    }
    if ((v->boolean = Take("true")) || Take("false")) {
      v->type = Json::kBool;
      return true;
    }
    if (Take("null")) return true;
    const size_t start = pos_;
    Skip("-+.eE0123456789");
    if (pos_ == start) return false;
    v->type = Json::kNumber;
    v->number = std::stod(s_.substr(start, pos_ - start));
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

Json ParseJson(const Outcome& run) {
  Json value;
  EXPECT_TRUE(JsonReader(run.out).Parse(&value)) << "not one JSON value:\n" << run.out;
  EXPECT_EQ(value.type, Json::kObject) << run.out;
  return value;
}

// ---- Batches received by the simulated plug-in -----------------------------------------------------

struct Record {
  uint32_t host_word;
  wchar_t path[1024];
  uint32_t action;
  uint32_t compare_state;
};
static_assert(sizeof(Record) == 2060, "the host's record is 2060 bytes");

struct Expected {
  uint32_t action;
  uint32_t compare_state;
  std::wstring path;
};

class ZyhostWithRecordingPlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_ / L"received.bin";
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_FILE", file_.c_str());
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", nullptr);
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_FILE", nullptr);
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", nullptr);
  }

  Outcome Host(std::vector<std::wstring> args) {
    args.insert(args.begin(), {L"--plugin", BinDir() + L"recording_plugin.dll"});
    return Zyhost(args);
  }

  // The plug-in received exactly these records, read at a stride of 2060 bytes (a null pointer only
  // for none): host word 0, action, compare state, and the path NUL-terminated with every later unit
  // zero. The recording is deleted, so that the next call is read afresh.
  void ExpectReceived(const std::vector<Expected>& expected) {
    const std::string bytes = ReadFileBytes(file_);
    DeleteFileW(file_.c_str());
    ASSERT_GE(bytes.size(), 8u) << "the plug-in was not called";
    uint32_t head[2] = {};  // count, null pointer
    std::memcpy(head, bytes.data(), 8);
    ASSERT_EQ(head[0], expected.size());
    EXPECT_EQ(head[1] != 0, expected.empty());
    ASSERT_EQ(bytes.size(), 8 + expected.size() * sizeof(Record));
    for (size_t n = 0; n < expected.size(); ++n) {
      SCOPED_TRACE("record " + std::to_string(n));
      Record r;
      std::memcpy(&r, bytes.data() + 8 + n * sizeof(Record), sizeof(Record));
      EXPECT_EQ(std::make_tuple(r.host_word, r.action, r.compare_state),
                std::make_tuple(0u, expected[n].action, expected[n].compare_state));
      const std::wstring& path = expected[n].path;
      EXPECT_EQ(std::wstring(r.path, 1024), path + std::wstring(1024 - path.size(), L'\0'));
    }
  }

  TempDir dir_;
  std::wstring file_;
};

TEST_F(ZyhostWithRecordingPlugin, CommandsSendTheirRecordsAndExitByTheResultCode) {
  const std::wstring longest = L"C:\\" + std::wstring(1020, L'p');  // 1023 units and the NUL
  struct Row {
    const char* result;  // returned by the plug-in
    const char* meaning;
    DWORD exit;
    std::vector<std::wstring> args;
    std::vector<Expected> records;
  };
  const Row rows[] = {
      {"201A0001", "success", 0,
       {L"batch", L"install:Z:\\pkg\\20019\\a", L"update:C:\\x\\y:7", L"uninstall:D:\\z:0xFFFFFFFF",
        L"9:relative\\pkg", L"3::5"},
       {{0, 0, L"Z:\\pkg\\20019\\a"}, {1, 7, L"C:\\x\\y"}, {2, 0xFFFFFFFF, L"D:\\z"}, {9, 0, L"relative\\pkg"},
        {3, 5, L""}}},
      {"201A0001", "success", 0, {L"install", longest}, {{0, 0, longest}}},
      {"201A0002", "success, but the running driver could not be stopped for the update", 0,
       {L"update", L"C:\\pkg\\", L"--compare-state", L"12"}, {{1, 12, L"C:\\pkg\\"}}},
      {"E01A0019", "the running driver could not be stopped", 1, {L"uninstall", L"C:\\pkg"}, {{2, 0, L"C:\\pkg"}}},
      {"12345678", "not a result code of this plug-in", 1, {L"install", L"C:\\pkg"}, {{0, 0, L"C:\\pkg"}}},
      // An empty batch is handed over as count 0 and a null pointer.
      {"E01A000C", "failed; the batch was ended", 1, {L"batch"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.args.front()) + " with result " + row.result);
    SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", Utf8ToWide(row.result).c_str());
    const Outcome run = Host(row.args);
    EXPECT_EQ(run.exit, row.exit) << run.out << run.err;
    ExpectReceived(row.records);
    EXPECT_TRUE(HasLine(run.out, "result:              0x" + std::string(row.result) + " (" + row.meaning + ")"))
        << run.out;
  }
  EXPECT_TRUE(HasLine(Host({L"batch", L"9:C:\\pkg"}).out, "    action:          unknown (9)"));
}

TEST_F(ZyhostWithRecordingPlugin, RefusesWhatARecordCannotCarryWithoutCallingThePlugin) {
  const std::wstring too_long = L"C:\\" + std::wstring(1021, L'p');  // 1024 units leave no room for NUL
  const std::vector<std::vector<std::wstring>> refused = {
      {L"install", too_long},
      {L"batch", L"install:" + too_long},
      {L"batch", L"reinstall:C:\\pkg"},
      {L"batch", L"C:\\pkg"},
      {L"batch", L"install:C:\\pkg:seven"},
      {L"batch", L"4294967296:C:\\pkg"},
      {L"install", L"C:\\pkg", L"--compare-state", L"-1"},
      {L"batch", L"install:C:\\pkg", L"--compare-state", L"1"},
      {L"install"},
  };
  for (const auto& args : refused) {
    Outcome run = Host(args);
    EXPECT_EQ(run.exit, 2u) << WideToUtf8(args.back().substr(0, 40));
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find("usage: zyhost"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(FileExists(file_)) << "the plug-in was called for a refused command line";
}

TEST_F(ZyhostWithRecordingPlugin, JsonCarriesRecordsAndResultWithEveryCharacterEscaped) {
  // A quote, backslashes, a tab, a control character, accented and CJK letters, a surrogate pair
  // and a lone surrogate: what a path text may hold and JSON must escape.
  const std::wstring path = L"C:\\a \"b\"\\\tc\x01\\\x00e9\x4e2d\\\xd83d\xde00\\\xdc00";
  SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", L"E01A000A");
  Outcome run = Host({L"--json", L"batch", L"7:" + path + L":3", L"uninstall:D:\\q"});
  EXPECT_EQ(run.exit, 1u);
  for (unsigned char c : run.out.substr(0, run.out.size() - 1)) {
    ASSERT_TRUE(c >= 0x20 && c < 0x7F) << "JSON output is not printable ASCII: " << run.out;
  }
  Json json = ParseJson(run);
  EXPECT_EQ(json["command"].text, L"batch");
  const Json& records = json["records"];
  ASSERT_EQ(records.items.size(), 2u) << run.out;
  EXPECT_EQ(records.items[0]["package"].text, path);
  EXPECT_EQ(records.items[0]["action"].number, 7);
  EXPECT_EQ(records.items[0]["action_name"].text, L"unknown");
  EXPECT_EQ(records.items[0]["compare_state"].number, 3);
  EXPECT_EQ(records.items[1]["action_name"].text, L"uninstall");
  EXPECT_EQ(json["result"].text, L"0xE01A000A");
  EXPECT_EQ(json["result_meaning"].text, L"unknown action, or the driver path could not be normalised");
  EXPECT_EQ(json["success"].type, Json::kBool);
  EXPECT_FALSE(json["success"].boolean);
  ExpectReceived({{7, 3, path}, {2, 0, L"D:\\q"}});
}

TEST_F(ZyhostWithRecordingPlugin, MissingExportIsReportedForTheCommandThatNeedsIt) {
  Outcome run = Host({L"status"});
  EXPECT_EQ(run.exit, 2u);
  EXPECT_NE(run.err.find("does not export Plugin_Interface_EnumerateDriversInfo"), std::string::npos)
      << run.err;
  run = Host({L"--json", L"info"});
  EXPECT_EQ(run.exit, 2u);
  Json json = ParseJson(run);
  EXPECT_EQ(json["error"].text, L"the plug-in does not export Plugin_Interface_GetHelperOwnerModuleID");
}

// ---- check on the fixture packages and faulty copies of them ---------------------------------------

std::vector<std::wstring> Problems(const Json& json) {
  std::vector<std::wstring> texts;
  for (const Json& item : json["problems"].items) texts.push_back(item.text);
  return texts;
}

TEST(ZyhostCheck, SamplePackageIsUsable) {
  Outcome run = Zyhost({L"check", PackageDir(L"v1")});
  EXPECT_EQ(run.exit, 0u) << run.out;
  EXPECT_TRUE(HasLine(run.out, "problems:        none")) << run.out;
  EXPECT_TRUE(HasLine(run.out, "  zymon64.dll:   present, x64, FileVersion 2.5.1043")) << run.out;
  EXPECT_TRUE(HasLine(run.out, "add-on folder:   " + WideToUtf8(PackageDir(L"v1")) + "\\AddOn")) << run.out;

  run = Zyhost({L"check", L"--json", PackageDir(L"v2")});
  EXPECT_EQ(run.exit, 0u);
  Json json = ParseJson(run);
  EXPECT_TRUE(json["usable"].boolean);
  EXPECT_TRUE(Problems(json).empty());
  const Json& files = json["files"];
  ASSERT_EQ(files.items.size(), 7u) << run.out;
  for (const Json& file : files.items) EXPECT_TRUE(file["present"].boolean) << WideToUtf8(file["name"].text);
  EXPECT_EQ(files.items[1]["fixed_version"].text, L"1.6.0.1200");
  EXPECT_EQ(files.items[6]["name"].text, L"ZyHkEvt.dll");
  EXPECT_EQ(files.items[6]["machine"].text, L"x86");
  EXPECT_EQ(files.items[6]["file_version"].text, L"1.0.6");
}

// Each fault of a copy of package v1, laid out below a temp folder, is reported alone on its own
// line; the add-on folder is found from the "20019" component, whose next component is taken twice.
TEST(ZyhostCheck, EachFaultIsReportedAlone) {
  const std::wstring kUninstallProblem = L"zyhok.inf has no [DefaultUninstall] section";
  struct Row {
    const wchar_t* layout;
    bool (*fault)(const std::wstring& folder);
    const wchar_t* addon;                // relative to the temp folder; nullptr: none
    std::vector<std::wstring> problems;  // '@' stands for the add-on folder
  };
  const Row rows[] = {
      {L"20019\\1.6.1195\\1.6.1195",
       [](const std::wstring& f) { return DeleteFileW((f + L"\\AddOn\\ZyHkEvt.dll").c_str()) != FALSE; },
       L"20019\\1.6.1195\\1.6.1195\\AddOn",
       {L"ZyHkEvt.dll is missing (@\\ZyHkEvt.dll)"}},
      // The INF without its DefaultUninstall section (DefaultUninstall.Services stays).
      {L"20019\\1.6.1195\\1.6.1195",
       [](const std::wstring& f) {
         std::string inf = ReadFileBytes(f + L"\\zyhok.inf");
         const size_t begin = inf.find("[DefaultUninstall]");
         const size_t end = inf.find("[DefaultUninstall.Services]");
         return begin < end && end != std::string::npos &&
                WriteFileBytes(f + L"\\zyhok.inf", inf.erase(begin, end - begin));
       },
       L"20019\\1.6.1195\\1.6.1195\\AddOn",
       {kUninstallProblem}},
      // The 32-bit engine shipped in place of the 64-bit one.
      {L"20019\\1.6.1195\\1.6.1195",
       [](const std::wstring& f) {
         return CopyFileW((f + L"\\zymon.dll").c_str(), (f + L"\\zymon64.dll").c_str(), FALSE) != FALSE;
       },
       L"20019\\1.6.1195\\1.6.1195\\AddOn",
       {L"zymon64.dll is built for x86, not x64"}},
      {L"pkg\\1.6.1195",
       [](const std::wstring&) { return true; },
       nullptr,
       {L"the package path has no \"20019\" component, so the add-on folder cannot be found"}},
      // <20019>\A\A\AddOn, whatever follows A\A: the add-on folder there is empty.
      {L"20019\\7.1\\7.1\\driver",
       [](const std::wstring& f) { return CreateDirectoryW((f + L"\\..\\AddOn").c_str(), nullptr) != FALSE; },
       L"20019\\7.1\\7.1\\AddOn",
       {L"ZyHkEvt64.dll is missing (@\\ZyHkEvt64.dll)", L"ZyHkEvt.dll is missing (@\\ZyHkEvt.dll)"}},
  };
  for (const Row& row : rows) {
    TempDir dir;
    const std::wstring folder = dir / row.layout;
    SCOPED_TRACE(WideToUtf8(folder));
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(CopyTree(PackageDir(L"v1"), folder));
    ASSERT_TRUE(row.fault(folder));
    const std::wstring addon = row.addon != nullptr ? dir / row.addon : L"";
    std::vector<std::wstring> problems = row.problems;
    std::string text_lines = "problems:\n";
    for (std::wstring& problem : problems) {
      const size_t at = problem.find(L'@');
      if (at != std::wstring::npos) problem.replace(at, 1, addon);
      text_lines += "  " + WideToUtf8(problem) + "\n";
    }

    Outcome run = Zyhost({L"check", folder});
    EXPECT_EQ(run.exit, 1u);
    EXPECT_NE(run.out.find(text_lines + "usable:          no\n"), std::string::npos) << run.out;
    run = Zyhost({L"--json", L"check", folder});
    EXPECT_EQ(run.exit, 1u);
    Json json = ParseJson(run);
    EXPECT_EQ(Problems(json), problems);
    EXPECT_FALSE(json["usable"].boolean);
    if (row.addon != nullptr) {
      EXPECT_EQ(json["addon_folder"].text, addon);
    } else {
      EXPECT_EQ(json["addon_folder"].type, Json::kNull);
    }
    const Json& files = json["files"];
    ASSERT_FALSE(files.items.empty()) << run.out;
    EXPECT_TRUE(files.items[0]["default_install"].boolean);
    EXPECT_EQ(files.items[0]["default_uninstall"].boolean, problems.front() != kUninstallProblem);
  }
}

// ---- diagnose on a machine state set up by the test -----------------------------------------------

constexpr const wchar_t* kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kPending = L"PendingFileRenameOperations";

// A zyhok service key without a service, one staged engine version, and two entries in the
// pending-deletion list (one of the driver's, one not). Everything is put back afterwards.
class ZyhostDiagnose : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ServiceState(), 0u) << "the zyhok service must not exist";
    pending_ = ReadHklmValue(kSessionManager, kPending);
    staged_folder_ = StagingTree64() + L"\\20019\\ZyMon\\9.9.9";
    staged_file_ = staged_folder_ + L"\\zymon64.dll";
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, staged_folder_.c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(WriteFileBytes(staged_file_, "engine"));
    ASSERT_TRUE(WriteFileBytes(dir_ / L"unrelated.tmp", "x"));
  }
  void TearDown() override {
    DeleteHklmTree(kDriverServiceKey);
    RemoveTree(StagingTree64());
    if (pending_.error == ERROR_SUCCESS) {
      WriteHklmValue(kSessionManager, kPending, pending_);
    } else {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPending);
    }
  }

  TempDir dir_;
  std::wstring staged_folder_, staged_file_;
  RegValue pending_;
};

TEST_F(ZyhostDiagnose, ReportsServiceKeyValuesStagedFilesAndPendingDeletions) {
  const std::wstring addon64 = std::wstring(kDriverServiceKey) + L"\\AddOn\\ZyHkEvt64";
  for (const auto& [key, name, value] : std::vector<std::tuple<std::wstring, const wchar_t*, RegValue>>{
           {kDriverServiceKey, L"PermCount", Dword(3)},
           {kDriverServiceKey, L"DeleteFlag", Dword(1)},
           {kDriverServiceKey, L"BootStatus", Dword(0xFFFFFFFF)},
           {kDriverServiceKey, L"ZYHOKMonDll64Name", Sz(staged_file_)},
           {kDriverServiceKey, L"ZYHOKMonDllName", Sz(L"C:\\windows\\SysWOW64\\zyhok\\gone\\zymon.dll")},
           {addon64, L"version", Sz(L"1.0.5")}}) {
    ASSERT_EQ(WriteHklmValue(key, name, value), ERROR_SUCCESS) << WideToUtf8(name);
  }
  ASSERT_TRUE(MoveFileExW(staged_folder_.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExW((dir_ / L"unrelated.tmp").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));

  Outcome run = Zyhost({L"diagnose", L"--json"});
  EXPECT_EQ(run.exit, 0u);
  Json json = ParseJson(run);
  EXPECT_FALSE(json["service"]["present"].boolean);
  EXPECT_EQ(json["service"]["error"].number, static_cast<double>(ERROR_SERVICE_DOES_NOT_EXIST));

  const Json& keys = json["service_keys"];
  ASSERT_EQ(keys.items.size(), 3u) << run.out;
  const Json& values = keys.items[0]["values"];
  EXPECT_EQ(values["PermCount"].number, 3);
  EXPECT_EQ(values["DeleteFlag"].number, 1);
  EXPECT_EQ(values["BootStatus"].number, 4294967295.0);
  EXPECT_EQ(values["InstalledByZefa"].type, Json::kNull);
  EXPECT_EQ(values["ZYHOKMonDll64Name"].text, staged_file_);
  EXPECT_TRUE(values["ZYHOKMonDll64Name_file_present"].boolean);
  EXPECT_FALSE(values["ZYHOKMonDllName_file_present"].boolean);
  EXPECT_EQ(keys.items[1]["values"].type, Json::kNull) << "AddOn\\ZyHkEvt was never created";
  EXPECT_EQ(keys.items[2]["values"]["version"].text, L"1.0.5");
  EXPECT_EQ(keys.items[2]["values"]["path"].type, Json::kNull);

  const Json& staging = json["staging"];
  ASSERT_EQ(staging.items.size(), 2u);
  EXPECT_EQ(staging.items[0]["root"].text, SystemDir());
  const Json& folders = staging.items[0]["folders"];
  ASSERT_EQ(folders.items.size(), 4u) << run.out;
  EXPECT_EQ(folders.items[3]["folder"].text, L"zyhok\\20019\\ZyMon\\9.9.9");
  ASSERT_EQ(folders.items[3]["files"].items.size(), 1u);
  EXPECT_EQ(folders.items[3]["files"].items[0].text, L"zymon64.dll");
  EXPECT_TRUE(staging.items[1]["folders"].items.empty());

  const Json& pending = json["pending_deletion"];
  ASSERT_EQ(pending.items.size(), 1u) << run.out;
  const std::wstring listed = pending.items[0]["path"].text;
  EXPECT_EQ(listed.substr(listed.size() - staged_folder_.size()), staged_folder_) << WideToUtf8(listed);
  EXPECT_EQ(pending.items[0]["operation"].text, L"delete");

  run = Zyhost({L"diagnose"});
  EXPECT_TRUE(HasLine(run.out, "    PermCount:                3 (0x00000003)")) << run.out;
  EXPECT_TRUE(HasLine(run.out, "    ZYHOKMonDll64Name:        " + WideToUtf8(staged_file_) + "  (file present)"))
      << run.out;
  EXPECT_TRUE(HasLine(run.out, "      zyhok\\20019\\ZyMon\\9.9.9: zymon64.dll")) << run.out;
  EXPECT_NE(run.out.find(WideToUtf8(staged_folder_) + "  (delete)\n"), std::string::npos) << run.out;
}

}  // namespace
