// zyhost.exe run as a separate program, as scripts run it: the records its batch commands lay out
// (received by recording_plugin.dll, which simulates the plug-in's batch export), `check` on real
// copies of the fixture packages, `diagnose` on a machine state the test sets up, and the JSON output
// parsed back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

std::string ReadAll(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

Outcome Zyhost(const std::vector<std::wstring>& args) {
  std::wstring command = Quote(BinDir() + L"zyhost.exe");
  for (const std::wstring& arg : args) command += L" " + Quote(arg);
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  zyhok::UniqueKernelHandle out_read, out_write, err_read, err_write;
  Outcome run;
  if (!CreatePipe(out_read.put(), out_write.put(), &inherit, 0) ||
      !CreatePipe(err_read.put(), err_write.put(), &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe " << GetLastError();
    return run;
  }
  SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "CreateProcessW " << GetLastError();
    return run;
  }
  zyhok::UniqueKernelHandle process_handle(process.hProcess), thread_handle(process.hThread);
  out_write.reset();
  err_write.reset();
  run.out = ReadAll(out_read.get());
  run.err = ReadAll(err_read.get());
  WaitForSingleObject(process_handle.get(), INFINITE);
  GetExitCodeProcess(process_handle.get(), &run.exit);
  return run;
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
  bool Parse(Json* value) {
    if (!Value(value)) return false;
    Blank();
    return pos_ == s_.size();
  }

 private:
  void Blank() {
    while (pos_ < s_.size() && std::strchr(" \t\r\n", s_[pos_]) != nullptr) ++pos_;
  }
  bool Take(const char* word) {
    const size_t n = std::strlen(word);
    if (s_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }
  bool String(std::wstring* out) {
    if (!Take("\"")) return false;
    std::string raw;  // UTF-8 runs between escapes
    auto flush = [&] {
      *out += Utf8ToWide(raw);
      raw.clear();
    };
    while (pos_ < s_.size() && s_[pos_] != '"') {
      const unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c < 0x20) return false;
      if (c != '\\') {
        raw += static_cast<char>(c);
        continue;
      }
      if (pos_ >= s_.size()) return false;
      const char e = s_[pos_++];
      flush();
      const char* simple = std::strchr("\"\\/bfnrt", e);
      if (simple != nullptr && e != '\0') {
        *out += L"\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
      } else if (e == 'u' && pos_ + 4 <= s_.size()) {
        *out += static_cast<wchar_t>(std::stoul(s_.substr(pos_, 4), nullptr, 16));
        pos_ += 4;
      } else {
        return false;
      }
    }
    flush();
    return Take("\"");
  }
  bool Value(Json* v) {
    Blank();
    if (pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      v->type = Json::kObject;
      Blank();
      if (Take("}")) return true;
      do {
        Blank();
        std::wstring key;
        if (!String(&key)) return false;
        Blank();
        if (!Take(":")) return false;
        Json member;
        if (!Value(&member)) return false;
        v->members.emplace_back(WideToUtf8(key), member);
        Blank();
      } while (Take(","));
      return Take("}");
    }
    if (c == '[') {
      ++pos_;
      v->type = Json::kArray;
      Blank();
      if (Take("]")) return true;
      do {
        Json item;
        if (!Value(&item)) return false;
        v->items.push_back(item);
        Blank();
      } while (Take(","));
      return Take("]");
    }
    if (c == '"') {
      v->type = Json::kString;
      return String(&v->text);
    }
    if (Take("true") || Take("false")) {
      v->type = Json::kBool;
      v->boolean = s_[pos_ - 1] == 'e' && s_[pos_ - 2] == 'u';
      return true;
    }
    if (Take("null")) return true;
    const size_t start = pos_;
    while (pos_ < s_.size() && std::strchr("-+.eE0123456789", s_[pos_]) != nullptr) ++pos_;
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

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// ---- Batches received by the simulated plug-in -----------------------------------------------------

struct Record {
  uint32_t host_word;
  wchar_t path[1024];
  uint32_t action;
  uint32_t compare_state;
};
static_assert(sizeof(Record) == 2060, "the host's record is 2060 bytes");

struct Received {
  bool called = false;
  uint32_t count = 0;
  bool null_pointer = false;
  std::vector<Record> records;
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

  Received Read() {
    Received r;
    const std::string bytes = ReadFileBytes(file_);
    if (bytes.size() < 8) return r;
    r.called = true;
    uint32_t null_pointer = 0;
    std::memcpy(&r.count, bytes.data(), 4);
    std::memcpy(&null_pointer, bytes.data() + 4, 4);
    r.null_pointer = null_pointer != 0;
    EXPECT_EQ(bytes.size(), 8 + size_t{r.count} * sizeof(Record)) << "records not read at stride 2060";
    r.records.resize(r.count);
    std::memcpy(r.records.data(), bytes.data() + 8, std::min(bytes.size() - 8, r.records.size() * sizeof(Record)));
    return r;
  }

  // The record carries `path` NUL-terminated with every later unit zero, and the host word is 0.
  static void ExpectRecord(const Record& record, uint32_t action, uint32_t compare_state,
                           const std::wstring& path) {
    EXPECT_EQ(record.host_word, 0u);
    EXPECT_EQ(record.action, action);
    EXPECT_EQ(record.compare_state, compare_state);
    EXPECT_EQ(std::wstring(record.path, wcsnlen(record.path, 1024)), path);
    for (size_t i = path.size(); i < 1024; ++i) {
      ASSERT_EQ(record.path[i], L'\0') << "unit " << i << " after the path is not zero";
    }
  }

  TempDir dir_;
  std::wstring file_;
};

TEST_F(ZyhostWithRecordingPlugin, BatchSendsEachRecordWithItsActionAndCompareState) {
  Outcome run = Host({L"batch", L"install:Z:\\pkg\\20019\\a", L"update:C:\\x\\y:7",
                  L"uninstall:D:\\z:0xFFFFFFFF", L"9:relative\\pkg", L"3::5"});
  EXPECT_EQ(run.exit, 0u) << run.out << run.err;
  Received r = Read();
  ASSERT_TRUE(r.called);
  EXPECT_FALSE(r.null_pointer);
  ASSERT_EQ(r.count, 5u);
  ExpectRecord(r.records[0], 0, 0, L"Z:\\pkg\\20019\\a");
  ExpectRecord(r.records[1], 1, 7, L"C:\\x\\y");
  ExpectRecord(r.records[2], 2, 0xFFFFFFFF, L"D:\\z");
  ExpectRecord(r.records[3], 9, 0, L"relative\\pkg");
  ExpectRecord(r.records[4], 3, 5, L"");
  EXPECT_TRUE(HasLine(run.out, "result:              0x201A0001 (success)")) << run.out;
  EXPECT_TRUE(HasLine(run.out, "    action:          unknown (9)")) << run.out;
}

TEST_F(ZyhostWithRecordingPlugin, SingleActionCommandsSendOneRecord) {
  ASSERT_EQ(Host({L"install", L"C:\\pkg"}).exit, 0u);
  Received r = Read();
  ASSERT_EQ(r.count, 1u);
  ExpectRecord(r.records[0], 0, 0, L"C:\\pkg");

  ASSERT_EQ(Host({L"update", L"C:\\pkg\\", L"--compare-state", L"12"}).exit, 0u);
  r = Read();
  ASSERT_EQ(r.count, 1u);
  ExpectRecord(r.records[0], 1, 12, L"C:\\pkg\\");

  ASSERT_EQ(Host({L"uninstall", L"C:\\pkg"}).exit, 0u);
  r = Read();
  ASSERT_EQ(r.count, 1u);
  ExpectRecord(r.records[0], 2, 0, L"C:\\pkg");
}

TEST_F(ZyhostWithRecordingPlugin, EmptyBatchIsSentAsCountZeroWithoutRecords) {
  SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", L"E01A000C");
  Outcome run = Host({L"batch"});
  EXPECT_EQ(run.exit, 1u);
  Received r = Read();
  ASSERT_TRUE(r.called);
  EXPECT_EQ(r.count, 0u);
  EXPECT_TRUE(r.null_pointer);
  EXPECT_TRUE(HasLine(run.out, "result:              0xE01A000C (failed; the batch was ended)"))
      << run.out;
}

TEST_F(ZyhostWithRecordingPlugin, ExitStatusFollowsTheResultCode) {
  SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", L"201A0002");
  Outcome run = Host({L"update", L"C:\\pkg"});
  EXPECT_EQ(run.exit, 0u);
  EXPECT_NE(run.out.find("0x201A0002 (success, but the running driver could not be stopped"),
            std::string::npos)
      << run.out;
  SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", L"E01A0019");
  run = Host({L"uninstall", L"C:\\pkg"});
  EXPECT_EQ(run.exit, 1u);
  EXPECT_NE(run.out.find("0xE01A0019 (the running driver could not be stopped)"), std::string::npos);
  SetEnvironmentVariableW(L"ZYHOST_RECORDING_RESULT", L"12345678");
  run = Host({L"install", L"C:\\pkg"});
  EXPECT_EQ(run.exit, 1u);
  EXPECT_NE(run.out.find("0x12345678 (not a result code of this plug-in)"), std::string::npos);
}

TEST_F(ZyhostWithRecordingPlugin, RefusesWhatARecordCannotCarryWithoutCallingThePlugin) {
  const std::wstring longest = L"C:\\" + std::wstring(1020, L'p');  // 1023 units and the NUL
  ASSERT_EQ(Host({L"install", longest}).exit, 0u);
  Received r = Read();
  ASSERT_EQ(r.count, 1u);
  ExpectRecord(r.records[0], 0, 0, longest);
  ASSERT_TRUE(DeleteFileW(file_.c_str()));

  const std::vector<std::vector<std::wstring>> refused = {
      {L"install", longest + L"p"},
      {L"batch", L"install:" + longest + L"p"},
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
    EXPECT_EQ(run.exit, 2u) << WideToUtf8(args.back());
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

  Received r = Read();
  ASSERT_EQ(r.count, 2u);
  ExpectRecord(r.records[0], 7, 3, path);
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

// ---- check on copies of the fixture packages ------------------------------------------------------

const wchar_t* const kPackageFiles[] = {L"zyhok.inf",   L"zyhok.sys",         L"zyhok.cat",
                                        L"zymon64.dll", L"zymon.dll",         L"AddOn\\ZyHkEvt64.dll",
                                        L"AddOn\\ZyHkEvt.dll"};

class ZyhostCheck : public ::testing::Test {
 protected:
  // A copy of package v1 laid out as shipped, below the temp folder: <temp>\<layout>.
  std::wstring CopyV1(const std::wstring& layout = L"20019\\1.6.1195\\1.6.1195") {
    std::wstring folder = dir_.path();
    size_t start = 0;
    while (start <= layout.size()) {
      const size_t slash = layout.find(L'\\', start);
      folder += L"\\" + layout.substr(start, slash - start);
      CreateDirectoryW(folder.c_str(), nullptr);
      if (slash == std::wstring::npos) break;
      start = slash + 1;
    }
    CreateDirectoryW((folder + L"\\AddOn").c_str(), nullptr);
    for (const wchar_t* name : kPackageFiles) {
      EXPECT_TRUE(CopyFileW((PackageDir(L"v1") + L"\\" + name).c_str(), (folder + L"\\" + name).c_str(),
                            FALSE))
          << WideToUtf8(name);
    }
    return folder;
  }
  static std::vector<std::wstring> Problems(const Json& json) {
    std::vector<std::wstring> texts;
    for (const Json& item : json["problems"].items) texts.push_back(item.text);
    return texts;
  }
  TempDir dir_;
};

TEST_F(ZyhostCheck, SamplePackageIsUsable) {
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

TEST_F(ZyhostCheck, EachFaultIsReportedAloneOnItsOwnLine) {
  const std::wstring missing = CopyV1();
  ASSERT_TRUE(DeleteFileW((missing + L"\\AddOn\\ZyHkEvt.dll").c_str()));
  Outcome run = Zyhost({L"check", missing});
  EXPECT_EQ(run.exit, 1u);
  const std::string line = "  ZyHkEvt.dll is missing (" + WideToUtf8(missing) + "\\AddOn\\ZyHkEvt.dll)";
  EXPECT_NE(run.out.find("problems:\n" + line + "\nusable:          no\n"), std::string::npos) << run.out;
  run = Zyhost({L"--json", L"check", missing});
  EXPECT_EQ(run.exit, 1u);
  EXPECT_EQ(Problems(ParseJson(run)),
            std::vector<std::wstring>{L"ZyHkEvt.dll is missing (" + missing + L"\\AddOn\\ZyHkEvt.dll)"});
  RemoveTree(dir_.path() + L"\\20019");

  // The INF without its DefaultUninstall section (DefaultUninstall.Services stays).
  const std::wstring no_uninstall = CopyV1();
  std::string inf = ReadFileBytes(no_uninstall + L"\\zyhok.inf");
  const size_t begin = inf.find("[DefaultUninstall]");
  ASSERT_NE(begin, std::string::npos);
  inf.erase(begin, inf.find("[DefaultUninstall.Services]") - begin);
  ASSERT_TRUE(WriteFileBytes(no_uninstall + L"\\zyhok.inf", inf));
  run = Zyhost({L"--json", L"check", no_uninstall});
  EXPECT_EQ(run.exit, 1u);
  Json json = ParseJson(run);
  EXPECT_EQ(Problems(json), std::vector<std::wstring>{L"zyhok.inf has no [DefaultUninstall] section"});
  EXPECT_FALSE(json["usable"].boolean);
  EXPECT_TRUE(json["files"].items[0]["default_install"].boolean);
  EXPECT_FALSE(json["files"].items[0]["default_uninstall"].boolean);
  RemoveTree(dir_.path() + L"\\20019");

  // The 32-bit engine shipped in place of the 64-bit one.
  const std::wstring swapped = CopyV1();
  ASSERT_TRUE(CopyFileW((swapped + L"\\zymon.dll").c_str(), (swapped + L"\\zymon64.dll").c_str(), FALSE));
  run = Zyhost({L"--json", L"check", swapped});
  EXPECT_EQ(run.exit, 1u);
  EXPECT_EQ(Problems(ParseJson(run)), std::vector<std::wstring>{L"zymon64.dll is built for x86, not x64"});
}

TEST_F(ZyhostCheck, AddOnFolderFollowsThe20019ComponentOfThePath) {
  // Without a "20019" component the plug-in cannot find the add-on folder.
  const std::wstring elsewhere = CopyV1(L"pkg\\1.6.1195");
  Outcome run = Zyhost({L"--json", L"check", elsewhere});
  EXPECT_EQ(run.exit, 1u);
  Json json = ParseJson(run);
  EXPECT_EQ(Problems(json), std::vector<std::wstring>{
                                L"the package path has no \"20019\" component, so the add-on folder "
                                L"cannot be found"});
  EXPECT_EQ(json["addon_folder"].type, Json::kNull);

  // The component after "20019" is taken twice, whatever follows it: <20019>\A\A\AddOn.
  const std::wstring deeper = CopyV1(L"20019\\7.1\\7.1\\driver");
  CreateDirectoryW((dir_.path() + L"\\20019\\7.1\\7.1\\AddOn").c_str(), nullptr);
  run = Zyhost({L"--json", L"check", deeper});
  json = ParseJson(run);
  EXPECT_EQ(json["addon_folder"].text, dir_.path() + L"\\20019\\7.1\\7.1\\AddOn");
  EXPECT_EQ(Problems(json), std::vector<std::wstring>({
                                L"ZyHkEvt64.dll is missing (" + dir_.path() + L"\\20019\\7.1\\7.1\\AddOn\\ZyHkEvt64.dll)",
                                L"ZyHkEvt.dll is missing (" + dir_.path() + L"\\20019\\7.1\\7.1\\AddOn\\ZyHkEvt.dll)"}));
}

// ---- diagnose on a machine state set up by the test -----------------------------------------------

constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\zyhok";
constexpr const wchar_t* kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

bool SetValue(const std::wstring& key_path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  zyhok::UniqueHKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}
bool SetDword(const wchar_t* name, DWORD value) {
  return SetValue(kServiceKey, name, REG_DWORD, &value, sizeof(value));
}
bool SetText(const std::wstring& key, const wchar_t* name, const std::wstring& text) {
  return SetValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// A zyhok service key without a service, one staged engine version, and two entries in the
// pending-deletion list (one of the driver's, one not). Everything is put back afterwards.
class ZyhostDiagnose : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ServiceState(), 0u) << "the zyhok service must not exist";
    zyhok::UniqueHKey session;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, session.put()),
              ERROR_SUCCESS);
    DWORD size = 0;
    had_pending_ = RegQueryValueExW(session.get(), L"PendingFileRenameOperations", nullptr, &pending_type_,
                                    nullptr, &size) == ERROR_SUCCESS;
    if (had_pending_) {
      pending_.resize(size);
      RegQueryValueExW(session.get(), L"PendingFileRenameOperations", nullptr, &pending_type_,
                       reinterpret_cast<BYTE*>(&pending_[0]), &size);
    }
    staged_folder_ = SystemDir() + L"\\zyhok\\20019\\ZyMon\\9.9.9";
    for (const wchar_t* part : {L"\\zyhok", L"\\zyhok\\20019", L"\\zyhok\\20019\\ZyMon", L"\\zyhok\\20019\\ZyMon\\9.9.9"}) {
      CreateDirectoryW((SystemDir() + part).c_str(), nullptr);
    }
    staged_file_ = staged_folder_ + L"\\zymon64.dll";
    ASSERT_TRUE(WriteFileBytes(staged_file_, "engine"));
    ASSERT_TRUE(WriteFileBytes(dir_ / L"unrelated.tmp", "x"));
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKey);
    RemoveTree(SystemDir() + L"\\zyhok");
    zyhok::UniqueHKey session;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, session.put());
    if (had_pending_) {
      RegSetValueExW(session.get(), L"PendingFileRenameOperations", 0, pending_type_,
                     reinterpret_cast<const BYTE*>(pending_.data()), static_cast<DWORD>(pending_.size()));
    } else {
      RegDeleteValueW(session.get(), L"PendingFileRenameOperations");
    }
  }

  TempDir dir_;
  std::wstring staged_folder_, staged_file_;
  bool had_pending_ = false;
  DWORD pending_type_ = REG_MULTI_SZ;
  std::string pending_;
};

TEST_F(ZyhostDiagnose, ReportsServiceKeyValuesStagedFilesAndPendingDeletions) {
  ASSERT_TRUE(SetDword(L"PermCount", 3));
  ASSERT_TRUE(SetDword(L"DeleteFlag", 1));
  ASSERT_TRUE(SetDword(L"BootStatus", 0xFFFFFFFF));
  ASSERT_TRUE(SetText(kServiceKey, L"ZYHOKMonDll64Name", staged_file_));
  ASSERT_TRUE(SetText(kServiceKey, L"ZYHOKMonDllName", L"C:\\windows\\SysWOW64\\zyhok\\gone\\zymon.dll"));
  ASSERT_TRUE(SetText(std::wstring(kServiceKey) + L"\\AddOn\\ZyHkEvt64", L"version", L"1.0.5"));
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
