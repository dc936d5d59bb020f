// Hardening of the batch export against generated driver-info records.
//
// Each shard hands a deterministic stream of generated records (seed printed with every failure) to
// Plugin_Interface_DriversDoAction, the way the host does, in batches of 1 to 8, and checks:
// - the program survives every batch: the records lie read-only directly before an inaccessible page,
//   so a write into a record or a read past the last one faults at once (a crash names the batch);
// - every record's result, read from the dispatch's exit line, and every batch result is a code of the
//   result table, and the batch stops exactly at a record that yields 0xE01A000C;
// - records the plug-in cannot act on (an action outside 0..3, a path that fits no path buffer) are
//   refused with 0xE01A000A without being acted on;
// - nothing is written outside the package folders the records name, the staging trees, the drivers
//   folder and the driver's service key: drive C: (names, sizes, times) and HKLM\SOFTWARE and
//   HKLM\SYSTEM (values and data) are compared before and after, and every difference must be covered
//   by a named allowance (the few things Wine itself touches are among them, each with its reason);
// - after ResetDriverMachineState nothing of the run remains but directory times and Wine's own
//   counters.
// Most records are cheap (refused paths, folders that do not exist); a small share names real copies
// of the fixture packages, so installs, updates and uninstalls really run between the odd records.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "plugin/plugin.h"
#include "support/plugin_host.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;
using zyhok::DrvInfo;

constexpr uint64_t kSeed = 0x20019A11CEull;
constexpr int kShardCount = 4;
constexpr int kRecordsPerShard = 2600;  // 10,400 records in all
constexpr uint32_t kMaxBatch = 8;
constexpr size_t kPathUnits = zyhok::kDriverPathUnits;
constexpr size_t kPathBufferUnits = MAX_PATH;  // the library's path buffers, terminator included

const std::set<uint32_t> kResultTable = {0x201A0001, 0x201A0002, 0xE01A000A, 0xE01A000B,
                                         0xE01A000C, 0xE01A000E, 0xE01A0019};
constexpr uint32_t kRefused = 0xE01A000A;
constexpr uint32_t kEndsBatch = 0xE01A000C;

// xorshift64*: the same sequence from every build, so a printed seed replays a failure.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed != 0 ? seed : 1) {}
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  uint32_t Below(size_t n) { return static_cast<uint32_t>(Next() % n); }
  bool Percent(uint32_t p) { return Below(100) < p; }
  uint32_t Word() { return static_cast<uint32_t>(Next() >> 32); }
  std::wstring Pick(const std::vector<std::wstring>& options) { return options[Below(options.size())]; }

 private:
  uint64_t state_;
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// `path` is `folder` or lies below it (case-insensitive).
bool UnderOrAt(const std::wstring& path, const std::wstring& folder) {
  const std::wstring p = Lower(path);
  const std::wstring f = Lower(folder);
  return p == f || (StartsWith(p, f) && p.size() > f.size() && p[f.size()] == L'\\');
}

bool UnderAny(const std::wstring& path, const std::vector<std::wstring>& folders) {
  return std::any_of(folders.begin(), folders.end(), [&](const std::wstring& f) { return UnderOrAt(path, f); });
}

std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, buffer);
  return WithoutTrailingSeparator(std::wstring(buffer, n));
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t buffer[4096];
  const DWORD n = GetFullPathNameW(path.c_str(), 4096, buffer, nullptr);
  return n == 0 || n >= 4096 ? std::wstring() : std::wstring(buffer, n);
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The log's number form: "0" or "0x" and lower-case hex digits.
std::wstring LogNumber(uint32_t value) {
  wchar_t buffer[16];
  swprintf(buffer, 16, value == 0 ? L"0" : L"0x%x", value);
  return buffer;
}

// "0x" and upper-case hex digits, at least `digits` of them.
std::string Hex(uint64_t value, int digits = 8) {
  char buffer[24];
  std::snprintf(buffer, sizeof(buffer), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buffer;
}

// Printable form of a path or of registry data: ASCII as is, every other unit as \uXXXX (or byte as
// \xXX); long texts are shortened.
template <typename Text>
std::string Printable(const Text& text, size_t limit = 200) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto c = static_cast<std::make_unsigned_t<typename Text::value_type>>(text[i]);
    char buffer[8];
    std::snprintf(buffer, sizeof(buffer), sizeof(c) == 1 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
    out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : buffer;
  }
  return text.size() > limit ? out + "..." : out;
}

// ---------------------------------------------------------------------------------------------------
// The folders a run works in.

// Everything the records may name as an existing folder lies in one temporary folder: copies of both
// fixture packages in the platform's layout, an empty folder, a folder holding only a driver file, and
// the current directory for relative paths, deep enough that up to four ".." stay inside.
struct Arena {
  TempDir dir;
  std::wstring v1, v2, empty, driver_only, cwd;
  static constexpr const wchar_t* kCwdToRoot = L"..\\..\\..\\..";

  bool Build() {
    v1 = dir / L"pkg\\20019\\1.6.1195\\1.6.1195";
    v2 = dir / L"pkg\\20019\\1.6.1200\\1.6.1200";
    empty = dir / L"empty";
    driver_only = dir / L"driveronly\\20019\\9.9\\9.9";
    cwd = dir / L"cwd\\a\\b\\c";
    bool ok = true;
    for (const std::wstring* folder : {&v1, &v2, &empty, &driver_only, &cwd}) {
      ok = SHCreateDirectoryExW(nullptr, folder->c_str(), nullptr) == ERROR_SUCCESS && ok;
    }
    return CopyTree(PackageDir(L"v1"), v1) && CopyTree(PackageDir(L"v2"), v2) &&
           CopyFileW((PackageDir(L"v2") + L"\\zyhok.sys").c_str(), (driver_only + L"\\zyhok.sys").c_str(), FALSE) &&
           ok;
  }
};

// ---------------------------------------------------------------------------------------------------
// Generated records.

struct Case {
  DrvInfo record;
  std::wstring text;  // the path up to its terminator, or all 1024 units
  const char* shape;
};

bool IsAction(uint32_t action) { return action <= zyhok::kActionUpdateQuiet; }

// The record's path after the collapse of the first "\\.\" that install and update apply.
std::wstring Collapsed(const std::wstring& text) {
  std::wstring out = text;
  const size_t found = out.find(L"\\\\.\\");
  if (found != std::wstring::npos) out.erase(found, 3);
  return out;
}

// Whether the action must refuse the record before anything is done: a path that fits no path buffer
// of the action, and for an update an empty folder, which names no driver folder to back up into (an
// install goes on with it and fails at its INF file). For the uninstall only paths without any "."
// are judged, whose canonical form is as long as they are.
bool MustBeRefused(const Case& c) {
  const uint32_t action = c.record.action;
  if (!IsAction(action)) return true;
  if (action == zyhok::kActionUninstall) {
    return c.text.size() >= kPathBufferUnits && c.text.find(L'.') == std::wstring::npos;
  }
  const std::wstring collapsed = Collapsed(c.text);
  return (collapsed.empty() && action != zyhok::kActionInstall) || collapsed.size() >= kPathBufferUnits;
}

// Texts that survive a round trip through the UTF-8 log unchanged.
bool LogsVerbatim(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF) || c >= 0xFFFE) return false;
  }
  return true;
}

class CaseGenerator {
 public:
  CaseGenerator(Random& random, const Arena& arena) : r_(random), arena_(arena) {}

  Case Next() {
    Case c;
    std::memset(&c.record, 0, sizeof(c.record));
    c.record.reserved = r_.Word();
    c.record.action = NextAction();
    c.record.compare_state = r_.Percent(20) ? r_.Below(2) : r_.Word();
    std::wstring path;
    bool terminated = true;
    const uint32_t roll = r_.Below(1000);
    if (roll < 40) {
      c.shape = "real package";
      path = Decorate(RealPackage());
    } else if (roll < 65) {
      c.shape = "existing folder in the arena";
      path = Decorate(r_.Pick({arena_.empty, arena_.driver_only, arena_.dir.path(), L".", L"..",
                               std::wstring(Arena::kCwdToRoot) + L"\\empty"}));
    } else if (roll < 75) {
      c.shape = "existing folder outside the arena";
      path = r_.Pick({L"\\", L"/", L"C:", L"C:\\zyhok-nx\\..", L"C:\\zyhok-nx\\..\\", L"\\.", L"C:/"});
    } else if (roll < 375) {
      c.shape = "nonexistent folder";
      path = Decorate(L"C:\\zyhok-nx-" + HexName() + Components(r_.Below(6)));
    } else if (roll < 465) {
      c.shape = "relative nonexistent";
      path = Decorate(Relative());
    } else if (roll < 515) {
      c.shape = "UNC-like";
      path = Decorate(
          r_.Pick({L"\\\\zyhok-nx-host\\share", L"\\\\?\\UNC\\zyhok-nx-host\\share", L"//zyhok-nx-host/share",
                   L"\\\\.\\UNC\\zyhok-nx-host\\share", L"\\\\127.0.0.1\\zyhok-nx", L"\\\\zyhok-nx-host"}) +
          Components(r_.Below(4)));
    } else if (roll < 575) {
      c.shape = "device-like";
      path = DeviceLike();
    } else if (roll < 610) {
      c.shape = "empty or only separators";
      path = r_.Pick({L"", L"\\", L"\\\\", L"/", L"//", L"\\/\\/", L"////////", L"\\\\\\\\\\", L"\\\\.\\",
                      L"\\\\.\\\\\\.\\", L"\\\\?\\"});
    } else if (roll < 740) {
      c.shape = "over-long with terminator";
      path = LongPath(kPathBufferUnits + r_.Below(kPathUnits - kPathBufferUnits));
    } else if (roll < 820) {
      c.shape = "no terminator, path-like";
      path = LongPath(kPathUnits);
      terminated = false;
    } else if (roll < 880) {
      c.shape = "no terminator, any units";
      path.resize(kPathUnits);
      for (wchar_t& unit : path) unit = static_cast<wchar_t>(1 + r_.Below(0xFFFF));
      terminated = false;
    } else {
      c.shape = "around the path buffer's length";
      path = Boundary();
    }
    Store(c, path, terminated);
    return c;
  }

 private:
  uint32_t NextAction() {
    if (r_.Percent(85)) return r_.Below(4);
    const uint32_t odd[] = {4, 5, 7, 0x100, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, r_.Word() | 4};
    return odd[r_.Below(sizeof(odd) / sizeof(odd[0]))];
  }

  std::wstring HexName() {
    wchar_t buffer[16];
    swprintf(buffer, 16, L"%08x", r_.Word());
    return buffer;
  }

  // A folder name: some that the staging looks for, some near them, some with blanks, dots or
  // characters beyond ASCII, and names that exist nowhere.
  std::wstring Name() {
    static const wchar_t* const kNames[] = {L"20019",    L"1.6.1195",         L"AddOn",        L"ZyMon",
                                            L"a b",      L"\u00fcml\u00e4ut", L"\u65e5\u672c", L"x.y",
                                            L"%windir%", L"200190",           L"2001"};
    const uint32_t pick = r_.Below(sizeof(kNames) / sizeof(kNames[0]) + 1);
    return pick < sizeof(kNames) / sizeof(kNames[0]) ? kNames[pick] : L"n" + HexName();
  }

  std::wstring Components(uint32_t count) {
    std::wstring out;
    for (uint32_t i = 0; i < count; ++i) out += L"\\" + Name();
    return out;
  }

  std::wstring RealPackage() {
    const std::wstring folder = r_.Percent(50) ? arena_.v1 : arena_.v2;
    if (r_.Percent(20)) {  // the same folder named relative to the current directory
      return std::wstring(Arena::kCwdToRoot) + folder.substr(arena_.dir.path().size());
    }
    return folder;
  }

  // Relative to the current directory (up to three levels up, still inside the arena), or relative
  // to drive C:'s current directory ("C:name").
  std::wstring Relative() {
    std::wstring out = r_.Pick({L"", L".\\", L"C:"});
    if (out.empty()) {
      const uint32_t ups = r_.Below(4);
      for (uint32_t i = 0; i < ups; ++i) out += L"..\\";
    }
    out += L"zyhok-nx-" + HexName() + Components(r_.Below(4));
    return out;
  }

  std::wstring DeviceLike() {
    return r_.Pick({L"\\\\.\\PhysicalDrive0", L"\\\\.\\C:\\zyhok-nx", L"\\\\?\\C:\\zyhok-nx\\20019\\a",
                    L"\\\\.\\pipe\\zyhok-nx", L"\\\\.\\mailslot\\zyhok_INSTANCE1", L"NUL", L"CON\\x", L"COM1",
                    L"LPT1\\20019\\a\\a", L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\zyhok-nx",
                    L"\\\\.\\C:", L"\\\\.\\\\\\.\\zyhok-nx",
                    L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}", L"C:\\zyhok-nx\\con",
                    L"\\Device\\HarddiskVolume1\\zyhok-nx", L"\\??\\C:\\zyhok-nx"}) +
           Components(r_.Below(3));
  }

  // A path-like text of exactly `length` units made of plain names (no dots).
  std::wstring LongPath(size_t length) {
    std::wstring out = L"C:\\zyhok-nx-" + HexName();
    while (out.size() < length) out += L"\\n" + HexName() + L"20019";
    out.resize(length);
    if (r_.Percent(30)) out[out.size() / 2] = L'/';
    return out;
  }

  // Paths from a little below to a little above the path buffer's length, some with the collapsed
  // sequence, so that the refusal is checked at its edge.
  std::wstring Boundary() {
    const size_t length = kPathBufferUnits - 5 + r_.Below(10);
    std::wstring out = LongPath(length);
    // Some with the sequence in place of their first inner separator: 3 units longer before the
    // collapse, the same length after it.
    if (r_.Percent(50)) out.replace(out.find(L'\\', 3), 1, L"\\\\.\\");
    return out;
  }

  // Shapes a host path may take around a folder: separators at the end, the collapsed sequence,
  // "." and ".." elements, forward slashes.
  std::wstring Decorate(std::wstring path) {
    std::vector<size_t> separators;
    const size_t skip = StartsWith(path, L"\\\\") ? 2 : 0;
    for (size_t i = skip; i < path.size(); ++i) {
      if (path[i] == L'\\') separators.push_back(i);
    }
    if (!separators.empty()) {
      static const wchar_t* const kInner[] = {L"\\\\.\\", L"\\.\\", L"\\zyhok-nx\\..\\", L"/", L"\\\\.\\"};
      const size_t at = separators[r_.Below(separators.size())];
      const uint32_t how = r_.Below(8);  // 5..7: left as it is
      if (how < 5) path.replace(at, 1, kInner[how]);
      if (how == 4) path.replace(path.rfind(L'\\'), 1, L"\\\\.\\");  // the sequence twice
    }
    static const wchar_t* const kEnds[] = {L"\\", L"/", L"\\.", L"", L"", L""};
    return path + kEnds[r_.Below(6)];
  }

  void Store(Case& c, const std::wstring& path, bool terminated) {
    const size_t units = std::min(path.size(), kPathUnits);
    std::copy_n(path.data(), units, c.record.wszDriverPath);
    if (terminated && units < kPathUnits) {
      c.record.wszDriverPath[units] = L'\0';
      // What lies after the terminator is not part of the path. Drawn from a generator of its own,
      // so that the main sequence does not depend on the length of the arena's folder name.
      Random garbage(r_.Next());
      const bool letters = garbage.Percent(50);
      for (size_t i = units + 1; i < kPathUnits; ++i) {
        c.record.wszDriverPath[i] =
            static_cast<wchar_t>(letters ? L'A' + garbage.Below(26) : 1 + garbage.Below(0xFFFF));
      }
    }
    c.text = std::wstring(c.record.wszDriverPath, wcsnlen(c.record.wszDriverPath, kPathUnits));
  }

  Random& r_;
  const Arena& arena_;
};

std::string Describe(const Case& c) {
  return std::string("[") + c.shape + "] action=" + Hex(c.record.action) +
         " compare_state=" + Hex(c.record.compare_state) + " path(" + std::to_string(c.text.size()) +
         (c.text.size() == kPathUnits ? " units, no terminator)=\"" : " units)=\"") + Printable(c.text) +
         "\"";
}

// ---------------------------------------------------------------------------------------------------
// The batch as the host hands it over.

// The records end exactly at the end of a read-only page that an inaccessible page follows: a write
// into a record, or a read past the last one, faults at once.
class GuardedBatch {
 public:
  explicit GuardedBatch(const std::vector<DrvInfo>& records) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t bytes = records.size() * sizeof(DrvInfo);
    const size_t data_pages = (bytes + page - 1) / page * page;
    base_ = static_cast<BYTE*>(
        VirtualAlloc(nullptr, data_pages + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (base_ == nullptr) return;
    records_ = reinterpret_cast<DrvInfo*>(base_ + data_pages - bytes);
    if (bytes != 0) std::memcpy(records_, records.data(), bytes);
    DWORD old = 0;
    if (data_pages != 0) VirtualProtect(base_, data_pages, PAGE_READONLY, &old);
    VirtualProtect(base_ + data_pages, page, PAGE_NOACCESS, &old);
  }
  ~GuardedBatch() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
  }
  GuardedBatch(const GuardedBatch&) = delete;
  GuardedBatch& operator=(const GuardedBatch&) = delete;
  const DrvInfo* records() const { return records_; }

 private:
  BYTE* base_ = nullptr;
  DrvInfo* records_ = nullptr;
};

// The batch being handed to the export, for the report of a crash.
std::string g_in_flight;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers) {
  std::fprintf(stderr, "\nCRASH: exception 0x%08lX at %p while the export ran this batch:\n%s\n",
               pointers->ExceptionRecord->ExceptionCode, pointers->ExceptionRecord->ExceptionAddress,
               g_in_flight.c_str());
  std::fflush(stderr);
  return EXCEPTION_CONTINUE_SEARCH;
}

// ---------------------------------------------------------------------------------------------------
// Snapshot of drive C: and of HKLM\SOFTWARE and HKLM\SYSTEM.

// Each file or folder as "directory|file of <size> bytes, written <time>", and each key as "" and value
// as "<type>:<data>", under "HKLM\\key" and "HKLM\\key|value".
struct Snapshot {
  std::map<std::wstring, std::string> files;
  std::map<std::wstring, std::string> registry;
};

// Folders of the user's profile that Wine links to the Linux home folder lie outside drive C: and
// are not walked.
bool LiesOnDriveC(const std::wstring& folder) {
  zyhok::UniqueFileHandle handle(CreateFileW(folder.c_str(), 0,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return false;
  wchar_t final_path[2048];
  const DWORD n = GetFinalPathNameByHandleW(handle.get(), final_path, 2048, 0);
  return n > 0 && n < 2048 && StartsWith(Lower(std::wstring(final_path, n)), L"\\\\?\\c:\\");
}

void WalkFiles(const std::wstring& folder, std::map<std::wstring, std::string>& out) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> folders;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const uint64_t written = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                             data.ftLastWriteTime.dwLowDateTime;
    out[path] = std::string(directory ? "directory" : "file") + " of " + std::to_string(size) + " bytes, written " +
                std::to_string(written);
    if (directory) folders.push_back(path);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& sub : folders) {
    if (LiesOnDriveC(sub)) WalkFiles(sub, out);
  }
}

void WalkRegistry(const std::wstring& path, std::map<std::wstring, std::string>& out) {
  zyhok::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
    return;
  }
  const std::wstring shown = L"HKLM\\" + path;
  out[shown] = std::string();
  // Wine produces the values of Perflib\<language> from its performance-data provider on each
  // query; enumerating them blocks. The plug-in never touches them.
  if (path.substr(path.find_last_of(L'\\') + 1) == L"Perflib") return;
  constexpr DWORD kNameUnits = 16384;
  static wchar_t name[kNameUnits];  // both buffers are done with before the recursion
  static std::vector<BYTE> data(1 << 16);
  for (DWORD i = 0;;) {
    DWORD name_units = kNameUnits;
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LONG status = RegEnumValueW(key.get(), i, name, &name_units, nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA) {
      data.resize(size + 1024);
      continue;
    }
    if (status != ERROR_SUCCESS) break;
    out[shown + L"|" + std::wstring(name, name_units)] =
        std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data.data()), size);
    ++i;
  }
  std::vector<std::wstring> subkeys;
  for (DWORD i = 0, n = kNameUnits;
       RegEnumKeyExW(key.get(), i, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; ++i, n = kNameUnits) {
    subkeys.emplace_back(name, n);
  }
  key.reset();
  for (const std::wstring& sub : subkeys) WalkRegistry(path + L"\\" + sub, out);
}

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  WalkFiles(L"C:", snapshot.files);
  WalkRegistry(L"SOFTWARE", snapshot.registry);
  WalkRegistry(L"SYSTEM", snapshot.registry);
  return snapshot;
}

struct Change {
  enum Kind { kAdded, kRemoved, kChanged } kind;
  bool file;
  std::wstring path;
  bool directory_time_only = false;  // a directory whose write time alone changed
  std::string before;
  std::string after;
};

std::string RegistryDetail(const std::string& data) { return data.empty() ? "key" : Printable(data, 160); }

std::vector<Change> Compare(const Snapshot& before, const Snapshot& after) {
  std::vector<Change> changes;
  for (const bool file : {true, false}) {
    const std::map<std::wstring, std::string>& old_states = file ? before.files : before.registry;
    const std::map<std::wstring, std::string>& new_states = file ? after.files : after.registry;
    auto shown = [&](const std::string& state) { return file ? state : RegistryDetail(state); };
    auto directory = [&](const std::string& state) { return file && state.rfind("directory", 0) == 0; };
    for (const auto& [path, state] : old_states) {
      const auto it = new_states.find(path);
      if (it == new_states.end()) {
        changes.push_back({Change::kRemoved, file, path, false, shown(state), ""});
      } else if (it->second != state) {
        const bool time_only = directory(state) && directory(it->second);
        changes.push_back({Change::kChanged, file, path, time_only, shown(state), shown(it->second)});
      }
    }
    for (const auto& [path, state] : new_states) {
      if (old_states.count(path) == 0) changes.push_back({Change::kAdded, file, path, false, "", shown(state)});
    }
  }
  return changes;
}

std::string Show(const Change& change) {
  const char* kinds[] = {"added", "removed", "changed"};
  return std::string(change.file ? "file " : "registry ") + kinds[change.kind] + ": " +
         WideToUtf8(change.path) + (change.before.empty() ? "" : "\n      before: " + change.before) +
         (change.after.empty() ? "" : "\n      after:  " + change.after);
}

constexpr const wchar_t* kServiceKey = L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\zyhok";
constexpr const wchar_t* kPendingValue =
    L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager|PendingFileRenameOperations";

// The REG_MULTI_SZ entries of a PendingFileRenameOperations snapshot value, without "\??\".
std::multiset<std::wstring> PendingEntries(const Snapshot& snapshot) {
  std::multiset<std::wstring> entries;
  const auto it = snapshot.registry.find(kPendingValue);
  if (it == snapshot.registry.end()) return entries;
  const std::string& raw = it->second;
  const std::string data = raw.substr(raw.find(':') + 1);
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  std::memcpy(&text[0], data.data(), text.size() * sizeof(wchar_t));
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != L'\0') continue;
    std::wstring entry = text.substr(start, i - start);
    if (StartsWith(entry, L"\\??\\")) entry = entry.substr(4);
    if (!entry.empty()) entries.insert(entry);
    start = i + 1;
  }
  return entries;
}

// A difference that may appear.
using Allowance = std::function<bool(const Change&)>;

// The differences that no allowance covers.
std::vector<std::string> Unexplained(const std::vector<Change>& changes, const std::vector<Allowance>& allowances) {
  std::vector<std::string> out;
  for (const Change& change : changes) {
    if (std::none_of(allowances.begin(), allowances.end(), [&](const Allowance& a) { return a(change); })) {
      out.push_back(Show(change));
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------
// The log of one batch, cut into the records the dispatch took.

struct Dispatched {
  std::vector<LogCapture::Line> lines;  // from the dispatch's entry line to its exit line
  bool has_exit = false;
  uint32_t status = 0;
};

constexpr const wchar_t* kEntry = L"==> DoActionFromDrvInfo,";
constexpr const wchar_t* kExit = L"<== DoActionFromDrvInfo,asStatus = ";

std::vector<Dispatched> SplitByRecord(const std::vector<LogCapture::Line>& lines) {
  std::vector<Dispatched> out;
  for (const LogCapture::Line& line : lines) {
    if (StartsWith(line.text, kEntry)) out.emplace_back();
    if (out.empty()) continue;
    out.back().lines.push_back(line);
    if (StartsWith(line.text, kExit)) {
      out.back().has_exit = true;
      out.back().status = static_cast<uint32_t>(wcstoul(line.text.c_str() + wcslen(kExit), nullptr, 16));
    }
  }
  return out;
}

std::string ShowLines(const std::vector<LogCapture::Line>& lines) {
  std::string out;
  for (const LogCapture::Line& line : lines) {
    out += "\n      L" + std::to_string(line.level) + " " + Printable(line.text, 300);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------

class Hardening : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ResetDriverMachineState();
    ASSERT_TRUE(plugin_.loaded());
    ASSERT_TRUE(arena_.Build());
    // ZYHOK_HARDENING_SEED replaces the fixed base seed: a failure's printed seed, given there and
    // run as shard 0 (--gtest_filter=*/0), replays the same records.
    uint64_t base = kSeed;
    wchar_t text[32];
    const DWORD n = GetEnvironmentVariableW(L"ZYHOK_HARDENING_SEED", text, 32);
    if (n > 0 && n < 32) base = wcstoull(text, nullptr, 0);
    seed_ = base + static_cast<uint64_t>(GetParam());
  }

  void TearDown() override { ResetDriverMachineState(); }

  void Fail(const std::string& what) {
    if (failures_.size() < 40) failures_.push_back(what);
    ++failure_count_;
  }

  // Runs one batch and checks its result and every record the dispatch took.
  void RunBatch(int batch_index, const std::vector<Case>& cases) {
    std::vector<DrvInfo> records;
    for (const Case& c : cases) records.push_back(c.record);
    g_in_flight = "seed " + Hex(seed_, 0) + " (shard " + std::to_string(GetParam()) + "), batch " +
                  std::to_string(batch_index) + " of " + std::to_string(cases.size()) + " record(s)";
    for (size_t i = 0; i < cases.size(); ++i)
      g_in_flight += "\n  #" + std::to_string(i) + " " + Describe(cases[i]);

    GuardedBatch batch(records);
    log_.Clear();
    const uint32_t result =
        plugin_.DoActions(cases.empty() ? nullptr : batch.records(), static_cast<uint32_t>(cases.size()));
    const std::vector<LogCapture::Line> lines = log_.Lines();

    if (kResultTable.count(result) == 0)
      Fail(g_in_flight + "\n  batch result " + Hex(result) + " is not in the table");
    if (cases.empty()) {
      if (result != kEndsBatch || !lines.empty()) {
        Fail(g_in_flight + "\n  an empty batch gave " + Hex(result) + ShowLines(lines));
      }
      return;
    }

    const std::vector<Dispatched> taken = SplitByRecord(lines);
    if (taken.empty() || taken.size() > cases.size()) {
      Fail(g_in_flight + "\n  the dispatch took " + std::to_string(taken.size()) + " record(s)" +
           ShowLines(lines));
      return;
    }
    for (size_t i = 0; i < taken.size(); ++i) CheckRecord(cases[i], taken[i], i + 1 == taken.size());
    const Dispatched& last = taken.back();
    if (taken.size() < cases.size() && last.status != kEndsBatch) {
      Fail(g_in_flight + "\n  the batch stopped after record #" + std::to_string(taken.size() - 1) +
           ", whose result is " + Hex(last.status));
    }
    if (last.has_exit && result != last.status) {
      Fail(g_in_flight + "\n  batch result " + Hex(result) + " differs from the last record's " +
           Hex(last.status));
    }
  }

  void CheckRecord(const Case& c, const Dispatched& taken, bool last) {
    const std::string where = g_in_flight + "\n  record " + Describe(c);
    ++dispatched_;
    const std::wstring entry = std::wstring(kEntry) + L"rDrvInfo.action = " + LogNumber(c.record.action) +
                               L", rDrvInfo.compare_state = " + LogNumber(c.record.compare_state);
    if (taken.lines.front().text != entry) {
      Fail(where + "\n  the dispatch read another record:" + ShowLines(taken.lines));
      return;
    }
    if (!taken.has_exit) {
      Fail(where + "\n  no exit line:" + ShowLines(taken.lines));
      return;
    }
    if (kResultTable.count(taken.status) == 0)
      Fail(where + "\n  result " + Hex(taken.status) + " is not in the table");
    if (!last && taken.status == kEndsBatch) Fail(where + "\n  the batch went on after 0xE01A000C");

    bool normalize_failed = false;
    for (const LogCapture::Line& line : taken.lines) {
      if (line.text == L"Normalize the driver path failed.") normalize_failed = true;
      static const std::wstring kPathLine = L"rDrvInfo.wszDriverPath = ";
      if (StartsWith(line.text, kPathLine) && LogsVerbatim(c.text) &&
          line.text.substr(kPathLine.size()) != c.text) {
        Fail(where + "\n  the path was taken as \"" + Printable(line.text.substr(kPathLine.size())) + "\"");
      }
    }
    if (!IsAction(c.record.action)) {
      if (taken.status != kRefused || taken.lines.size() != 2) {
        Fail(where + "\n  an unknown action was not refused alone:" + ShowLines(taken.lines));
      }
    } else if (MustBeRefused(c) && (taken.status != kRefused || !normalize_failed)) {
      Fail(where + "\n  a path that fits no path buffer was acted on (" + Hex(taken.status) +
           "):" + ShowLines(taken.lines));
    }
  }

  // The places the records may write to: the package and arena folders they name, the staging trees
  // and the drivers folder.
  std::vector<std::wstring> WritableFolders() const {
    return {arena_.dir.path(), StagingTree64(), StagingTree32(), SystemDir() + L"\\drivers"};
  }

  // Where the run may write: the writable folders, PendingFileRenameOperations (whose entries are
  // checked one by one), the driver's service key with its values and sub-keys, and what may last.
  std::vector<Allowance> RunAllowances() const {
    const std::vector<std::wstring> folders = WritableFolders();
    std::vector<Allowance> allowed = LastingAllowances();
    allowed.push_back([=](const Change& c) {
      const std::wstring path = Lower(c.path);
      if (c.file) return UnderAny(path, folders);
      return path == Lower(kPendingValue) || UnderOrAt(path, kServiceKey) ||
             StartsWith(path, Lower(std::wstring(kServiceKey) + L"|"));
    });
    return allowed;
  }

  // What may still differ after the reset: directory times, the test's log and Wine's own records.
  std::vector<Allowance> LastingAllowances() const {
    const std::wstring arena = arena_.dir.path();
    const std::wstring log_folder = ParentOf(log_.file());
    // Folders whose write time alone may change: those holding the staging roots (created and removed
    // there), the drivers folder (driver file, backup and copy files come and go), the temporary folder
    // (the test's own temporary folders), folders outside the arena that a record names as its package
    // folder (an update writes its backup copy there and deletes it), and arena folders.
    std::set<std::wstring> touched = named_folders_;
    touched.insert({Lower(SystemDir()), Lower(ParentOf(StagingTree32())), Lower(SystemDir() + L"\\drivers"),
                    Lower(TempFolder())});
    return {
        [=](const Change& c) {
          return c.directory_time_only && (touched.count(Lower(c.path)) != 0 || UnderOrAt(c.path, arena));
        },
        [=](const Change& c) { return c.file && UnderOrAt(c.path, log_folder); },
        // Wine's service manager counts the services it starts in ServiceCurrent.
        [](const Change& c) {
          return !c.file && c.kind == Change::kChanged &&
                 Lower(c.path) == Lower(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\ServiceCurrent|");
        },
        // Wine's desktop process records the display driver state of each desktop it creates (volatile
        // keys under Control\Video).
        [](const Change& c) {
          return !c.file && c.kind != Change::kChanged &&
                 StartsWith(Lower(c.path), Lower(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Video\\{"));
        },
    };
  }

  // Every pending operation added by the run must name a file or folder in the writable folders.
  void CheckPendingOperations(const Snapshot& before, const Snapshot& after) {
    std::multiset<std::wstring> added = PendingEntries(after);
    for (const std::wstring& entry : PendingEntries(before)) {
      const auto it = added.find(entry);
      if (it == added.end()) Fail("a pending operation present before the run is gone: " + WideToUtf8(entry));
      if (it != added.end()) added.erase(it);
    }
    for (const std::wstring& entry : added) {
      if (!UnderAny(entry, WritableFolders())) {
        Fail("a pending operation names a place outside the allowed ones: " + WideToUtf8(entry));
      }
    }
  }

  // The folder a record names, as the file system resolves it, if it exists outside the arena: an
  // update may write its backup copy there.
  void NoteNamedFolder(const Case& c) {
    if (!IsAction(c.record.action) || MustBeRefused(c)) return;
    const std::wstring folder = WithoutTrailingSeparator(FullPath(Collapsed(c.text) + L"\\"));
    if (!folder.empty() && IsDirectory(folder) && !UnderOrAt(folder, arena_.dir.path())) {
      named_folders_.insert(Lower(folder));
    }
  }

  LoadedPlugin plugin_;
  Arena arena_;
  LogCapture log_;
  uint64_t seed_ = 0;
  int batches_ = 0;
  int dispatched_ = 0;
  std::set<std::wstring> named_folders_;
  std::vector<std::string> failures_;
  int failure_count_ = 0;
};

TEST_P(Hardening, GeneratedRecordsGiveTableResultsAndWriteOnlyWhereAllowed) {
  wchar_t saved_cwd[MAX_PATH];
  const DWORD saved_len = GetCurrentDirectoryW(MAX_PATH, saved_cwd);
  ASSERT_TRUE(saved_len > 0 && saved_len < MAX_PATH);
  ASSERT_TRUE(SetCurrentDirectoryW(arena_.cwd.c_str()));

  const Snapshot before = TakeSnapshot();
  ASSERT_FALSE(before.files.empty());
  ASSERT_FALSE(before.registry.empty());

  Random random(seed_);
  CaseGenerator generator(random, arena_);
  LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = SetUnhandledExceptionFilter(&ReportCrash);
  int generated = 0;
  while (generated < kRecordsPerShard) {
    std::vector<Case> cases;
    // Now and then a batch of no records (refused before any record is read); otherwise 1..8, often 1.
    const uint32_t count = random.Percent(1) ? 0 : random.Percent(25) ? 1 : 1 + random.Below(kMaxBatch);
    for (uint32_t i = 0; i < count; ++i) {
      cases.push_back(generator.Next());
      NoteNamedFolder(cases.back());
    }
    RunBatch(batches_++, cases);
    generated += static_cast<int>(count);
  }
  SetUnhandledExceptionFilter(previous_filter);
  g_in_flight.clear();

  const Snapshot after = TakeSnapshot();
  SetCurrentDirectoryW(std::wstring(saved_cwd, saved_len).c_str());
  CheckPendingOperations(before, after);
  for (const std::string& change : Unexplained(Compare(before, after), RunAllowances())) {
    Fail("written outside the allowed places (seed " + Hex(seed_, 0) + "):\n    " + change);
  }

  ResetDriverMachineState();
  const Snapshot restored = TakeSnapshot();
  for (const std::string& change : Unexplained(Compare(before, restored), LastingAllowances())) {
    Fail("left behind after the reset (seed " + Hex(seed_, 0) + "):\n    " + change);
  }

  std::printf("seed %s: %d records in %d batches, %d dispatched\n", Hex(seed_, 0).c_str(), generated, batches_,
              dispatched_);
  std::string shown;
  for (const std::string& failure : failures_) shown += "\n" + failure + "\n";
  EXPECT_EQ(failure_count_, 0) << "seed " << Hex(seed_, 0) << "; the first " << failures_.size()
                               << " failure(s):" << shown;
  EXPECT_GE(generated, kRecordsPerShard);
}

INSTANTIATE_TEST_SUITE_P(Shards, Hardening, ::testing::Range(0, kShardCount));

}  // namespace
