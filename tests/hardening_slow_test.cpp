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

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <set>
#include <string>
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

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), ::towlower);
  return text;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// `path` is `folder` or lies below it (case-insensitive).
bool UnderOrAt(const std::wstring& path, const std::wstring& folder) {
  const std::wstring p = Lower(path);
  const std::wstring f = Lower(folder);
  return p == f || (StartsWith(p, f) && p.size() > f.size() && p[f.size()] == L'\\');
}

std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

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
  if (value == 0) return L"0";
  wchar_t buffer[16];
  swprintf(buffer, 16, L"0x%x", value);
  return buffer;
}

std::string SeedText(uint64_t seed) {
  char buffer[24];
  std::snprintf(buffer, sizeof(buffer), "0x%llX", static_cast<unsigned long long>(seed));
  return buffer;
}

std::string Hex(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08X", value);
  return buffer;
}

// Printable form of a path: ASCII as is, everything else as \uXXXX; long texts are shortened.
std::string Printable(const std::wstring& text, size_t limit = 200) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    const wchar_t c = text[i];
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof(buffer), "\\u%04X", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

// ---------------------------------------------------------------------------------------------------
// The folders a run works in.

// Everything the records may name as an existing folder lies in one temporary folder: copies of both
// fixture packages in the platform's layout, an empty folder, a folder holding only a driver file, and
// the current directory for relative paths, deep enough that up to four ".." stay inside.
struct Arena {
  TempDir dir;
  std::wstring v1;
  std::wstring v2;
  std::wstring empty;
  std::wstring driver_only;
  std::wstring cwd;
  static constexpr const wchar_t* kCwdToRoot = L"..\\..\\..\\..";

  bool Build() {
    bool ok = true;
    for (const wchar_t* folder :
         {L"pkg", L"pkg\\20019", L"pkg\\20019\\1.6.1195", L"pkg\\20019\\1.6.1200", L"empty", L"driveronly",
          L"driveronly\\20019", L"driveronly\\20019\\9.9", L"driveronly\\20019\\9.9\\9.9", L"cwd", L"cwd\\a",
          L"cwd\\a\\b", L"cwd\\a\\b\\c"}) {
      ok = CreateDirectoryW((dir / folder).c_str(), nullptr) && ok;
    }
    v1 = dir / L"pkg\\20019\\1.6.1195\\1.6.1195";
    v2 = dir / L"pkg\\20019\\1.6.1200\\1.6.1200";
    empty = dir / L"empty";
    driver_only = dir / L"driveronly\\20019\\9.9\\9.9";
    cwd = dir / L"cwd\\a\\b\\c";
    ok = CopyTree(PackageDir(L"v1"), v1) && ok;
    ok = CopyTree(PackageDir(L"v2"), v2) && ok;
    ok = CopyFileW((PackageDir(L"v2") + L"\\zyhok.sys").c_str(), (driver_only + L"\\zyhok.sys").c_str(),
                   FALSE) &&
         ok;
    return ok;
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
      const size_t at = separators[r_.Below(separators.size())];
      switch (r_.Below(8)) {
        case 0:
          path.replace(at, 1, L"\\\\.\\");
          break;
        case 1:
          path.replace(at, 1, L"\\.\\");
          break;
        case 2:
          path.replace(at, 1, L"\\zyhok-nx\\..\\");
          break;
        case 3:
          path[at] = L'/';
          break;
        case 4:
          path.replace(at, 1, L"\\\\.\\");
          path.replace(path.rfind(L'\\'), 1, L"\\\\.\\");
          break;
        default:
          break;
      }
    }
    switch (r_.Below(6)) {
      case 0:
        path += L"\\";
        break;
      case 1:
        path += L"/";
        break;
      case 2:
        path += L"\\.";
        break;
      default:
        break;
    }
    return path;
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

struct FileState {
  bool directory;
  uint64_t size;
  FILETIME written;
};

struct Snapshot {
  std::map<std::wstring, FileState> files;
  std::map<std::wstring, std::string> registry;  // "HKLM\key" -> "" and "HKLM\key|value" -> type:data
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

void WalkFiles(const std::wstring& folder, std::map<std::wstring, FileState>& out) {
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
    out[path] = {directory, (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                 data.ftLastWriteTime};
    if (directory) folders.push_back(path);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& sub : folders) {
    if (LiesOnDriveC(sub)) WalkFiles(sub, out);
  }
}

class RegistryWalker {
 public:
  explicit RegistryWalker(std::map<std::wstring, std::string>& out) : out_(out), data_(1 << 16) {}

  void Walk(const std::wstring& path) {
    zyhok::UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
      return;
    }
    const std::wstring shown = L"HKLM\\" + path;
    out_[shown] = std::string();
    // Wine produces the values of Perflib\<language> from its performance-data provider on each
    // query; enumerating them blocks. The plug-in never touches them.
    if (NameOf(path) == L"Perflib") return;
    for (DWORD i = 0;; ++i) {
      DWORD name_units = kNameUnits;
      DWORD size = static_cast<DWORD>(data_.size());
      DWORD type = 0;
      LONG status = RegEnumValueW(key.get(), i, name_, &name_units, nullptr, &type, data_.data(), &size);
      if (status == ERROR_MORE_DATA) {
        data_.resize(size + 1024);
        --i;
        continue;
      }
      if (status != ERROR_SUCCESS) break;
      out_[shown + L"|" + std::wstring(name_, name_units)] =
          std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(data_.data()), size);
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
      DWORD name_units = kNameUnits;
      if (RegEnumKeyExW(key.get(), i, name_, &name_units, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      subkeys.emplace_back(name_, name_units);
    }
    key.reset();
    for (const std::wstring& sub : subkeys) Walk(path + L"\\" + sub);
  }

 private:
  static std::wstring NameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }
  static constexpr DWORD kNameUnits = 16384;
  std::map<std::wstring, std::string>& out_;
  wchar_t name_[kNameUnits];
  std::vector<BYTE> data_;
};

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  WalkFiles(L"C:", snapshot.files);
  RegistryWalker walker(snapshot.registry);
  walker.Walk(L"SOFTWARE");
  walker.Walk(L"SYSTEM");
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

std::string FileDetail(const FileState& state) {
  ULARGE_INTEGER time;
  time.LowPart = state.written.dwLowDateTime;
  time.HighPart = state.written.dwHighDateTime;
  return (state.directory ? std::string("directory") : "file of " + std::to_string(state.size) + " bytes") +
         ", written " + std::to_string(time.QuadPart);
}

std::string RegistryDetail(const std::string& data) {
  if (data.empty()) return "key";
  std::string out;
  for (unsigned char c : data.substr(0, 160)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof(buffer), "\\x%02X", c);
      out += buffer;
    }
  }
  return out;
}

std::vector<Change> Compare(const Snapshot& before, const Snapshot& after) {
  std::vector<Change> changes;
  for (const auto& [path, state] : before.files) {
    const auto it = after.files.find(path);
    if (it == after.files.end()) {
      changes.push_back({Change::kRemoved, true, path, false, FileDetail(state), ""});
    } else if (it->second.directory != state.directory || it->second.size != state.size ||
               CompareFileTime(&it->second.written, &state.written) != 0) {
      const bool time_only = state.directory && it->second.directory;
      changes.push_back({Change::kChanged, true, path, time_only, FileDetail(state), FileDetail(it->second)});
    }
  }
  for (const auto& [path, state] : after.files) {
    if (before.files.count(path) == 0)
      changes.push_back({Change::kAdded, true, path, false, "", FileDetail(state)});
  }
  for (const auto& [path, data] : before.registry) {
    const auto it = after.registry.find(path);
    if (it == after.registry.end()) {
      changes.push_back({Change::kRemoved, false, path, false, RegistryDetail(data), ""});
    } else if (it->second != data) {
      changes.push_back(
          {Change::kChanged, false, path, false, RegistryDetail(data), RegistryDetail(it->second)});
    }
  }
  for (const auto& [path, data] : after.registry) {
    if (before.registry.count(path) == 0) {
      changes.push_back({Change::kAdded, false, path, false, "", RegistryDetail(data)});
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

// A difference that may appear, and why.
struct Allowance {
  std::string reason;
  std::function<bool(const Change&)> covers;
};

// The differences that no allowance covers; `used` counts the differences each allowance covered.
std::vector<std::string> Unexplained(const std::vector<Change>& changes,
                                     const std::vector<Allowance>& allowances,
                                     std::map<std::string, int>& used) {
  std::vector<std::string> out;
  for (const Change& change : changes) {
    const auto covering = std::find_if(allowances.begin(), allowances.end(),
                                       [&](const Allowance& a) { return a.covers(change); });
    if (covering == allowances.end()) {
      out.push_back(Show(change));
    } else {
      ++used[covering->reason];
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

struct Tally {
  int records = 0;
  int dispatched = 0;
  int real_package_dispatched = 0;
  int file_system_stops = 0;
  int empty_batches = 0;
  std::map<uint32_t, int> by_status;
  std::map<std::wstring, int> milestones;  // how often the lifecycle reached each of kMilestones
};

// Log lines that show how far the lifecycle got, counted to show what a run exercised.
const std::vector<std::wstring> kMilestones = {
    L"Success to start [zyhok] service.",          L"The [zyhok] service already running",
    L"Success to start new driver: zyhok",         L"rollback to original driver file successfully.",
    L"original driver was already stopped: zyhok", L"backup original driver file failed.",
    L"fail to query driver[zyhok] status",         L"fail to stop original driver zyhok",
};

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
    std::string where = "seed " + SeedText(seed_) + " (shard " + std::to_string(GetParam()) + "), batch " +
                        std::to_string(batch_index) + " of " + std::to_string(cases.size()) + " record(s)";
    g_in_flight = where;
    for (size_t i = 0; i < cases.size(); ++i)
      g_in_flight += "\n  #" + std::to_string(i) + " " + Describe(cases[i]);

    GuardedBatch batch(records);
    log_.Clear();
    const uint32_t result =
        plugin_.DoActions(cases.empty() ? nullptr : batch.records(), static_cast<uint32_t>(cases.size()));
    const std::vector<LogCapture::Line> lines = log_.Lines();
    tally_.records += static_cast<int>(cases.size());

    if (kResultTable.count(result) == 0)
      Fail(g_in_flight + "\n  batch result " + Hex(result) + " is not in the table");
    if (cases.empty()) {
      ++tally_.empty_batches;
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
    ++tally_.dispatched;
    if (std::strcmp(c.shape, "real package") == 0) ++tally_.real_package_dispatched;
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
    ++tally_.by_status[taken.status];
    if (kResultTable.count(taken.status) == 0)
      Fail(where + "\n  result " + Hex(taken.status) + " is not in the table");
    if (!last && taken.status == kEndsBatch) Fail(where + "\n  the batch went on after 0xE01A000C");

    bool normalize_failed = false;
    for (const LogCapture::Line& line : taken.lines) {
      if (line.text == L"Normalize the driver path failed.") normalize_failed = true;
      if (std::find(kMilestones.begin(), kMilestones.end(), line.text) != kMilestones.end()) {
        ++tally_.milestones[line.text];
      }
      if (line.level == 5 && line.text.find(L"stopped by") != std::wstring::npos) ++tally_.file_system_stops;
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

  // Where the run may write, each with its reason.
  std::vector<Allowance> RunAllowances() const {
    const std::wstring arena = arena_.dir.path();
    const std::wstring staging64 = StagingTree64();
    const std::wstring staging32 = StagingTree32();
    const std::wstring drivers = SystemDir() + L"\\drivers";
    std::vector<Allowance> allowed = LastingAllowances();
    allowed.push_back({"the package folders and arena folders that the records name",
                       [=](const Change& c) { return c.file && UnderOrAt(c.path, arena); }});
    allowed.push_back({"the staging trees", [=](const Change& c) {
                         return c.file && (UnderOrAt(c.path, staging64) || UnderOrAt(c.path, staging32));
                       }});
    allowed.push_back({"PendingFileRenameOperations, whose entries are checked one by one",
                       [](const Change& c) { return !c.file && Lower(c.path) == Lower(kPendingValue); }});
    allowed.push_back(
        {"the drivers folder", [=](const Change& c) { return c.file && UnderOrAt(c.path, drivers); }});
    allowed.push_back({"the driver's service key, its values and sub-keys", [](const Change& c) {
                         return !c.file &&
                                (UnderOrAt(c.path, kServiceKey) ||
                                 StartsWith(Lower(c.path), Lower(std::wstring(kServiceKey) + L"|")));
                       }});
    return allowed;
  }

  // What may still differ after the reset: directory times and Wine's own records.
  std::vector<Allowance> LastingAllowances() const {
    const std::wstring arena = arena_.dir.path();
    const std::wstring log_folder = ParentOf(log_.file());
    const std::set<std::wstring> staging_parents = {Lower(SystemDir()), Lower(ParentOf(StagingTree32()))};
    const std::wstring drivers = Lower(SystemDir() + L"\\drivers");
    const std::wstring temp = Lower(TempFolder());
    const std::set<std::wstring> named = named_folders_;
    auto time_of = [](auto matches) {
      return [=](const Change& c) { return c.directory_time_only && matches(Lower(c.path)); };
    };
    std::vector<Allowance> allowed;
    allowed.push_back(
        {"the write time of the folders that hold the staging roots (created and removed there)",
         time_of([=](const std::wstring& p) { return staging_parents.count(p) != 0; })});
    allowed.push_back(
        {"the write time of the drivers folder (driver file, backup and copy files come and go)",
         time_of([=](const std::wstring& p) { return p == drivers; })});
    allowed.push_back({"the write time of the temporary folder (the test's own temporary folders)",
                       time_of([=](const std::wstring& p) { return p == temp; })});
    allowed.push_back({"the write time of arena folders (backup copies written and deleted)",
                       time_of([=](const std::wstring& p) { return UnderOrAt(p, arena); })});
    allowed.push_back(
        {"the write time of a folder outside the arena that a record names as its package "
         "folder (an update writes its backup copy there and deletes it)",
         time_of([=](const std::wstring& p) { return named.count(p) != 0; })});
    allowed.push_back({"the test's captured log",
                       [=](const Change& c) { return c.file && UnderOrAt(c.path, log_folder); }});
    allowed.push_back(
        {"Wine's service manager counts the services it starts in ServiceCurrent", [](const Change& c) {
           return !c.file && c.kind == Change::kChanged &&
                  Lower(c.path) == Lower(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\ServiceCurrent|");
         }});
    allowed.push_back(
        {"Wine's desktop process records the display driver state of each desktop it creates "
         "(volatile keys under Control\\Video)",
         [](const Change& c) {
           return !c.file && c.kind != Change::kChanged &&
                  StartsWith(Lower(c.path), Lower(L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Video\\{"));
         }});
    return allowed;
  }

  // Every pending operation added by the run must name a file or folder in the allowed places.
  void CheckPendingOperations(const Snapshot& before, const Snapshot& after) {
    std::multiset<std::wstring> added = PendingEntries(after);
    for (const std::wstring& entry : PendingEntries(before)) {
      const auto it = added.find(entry);
      if (it != added.end()) {
        added.erase(it);
      } else {
        Fail("a pending operation present before the run is gone: " + WideToUtf8(entry));
      }
    }
    for (const std::wstring& entry : added) {
      if (!UnderOrAt(entry, StagingTree64()) && !UnderOrAt(entry, StagingTree32()) &&
          !UnderOrAt(entry, SystemDir() + L"\\drivers") && !UnderOrAt(entry, arena_.dir.path())) {
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

  void Report(const std::map<std::string, int>& used, const std::map<std::string, int>& still) {
    std::printf(
        "seed %s: %d records in %d batches (%d empty), %d dispatched, %d of them on real package "
        "copies, %d stopped by a file-system error\n",
        SeedText(seed_).c_str(), tally_.records, batches_, tally_.empty_batches, tally_.dispatched,
        tally_.real_package_dispatched, tally_.file_system_stops);
    for (const auto& [status, count] : tally_.by_status)
      std::printf("  %s: %d\n", Hex(status).c_str(), count);
    for (const auto& [text, count] : tally_.milestones)
      std::printf("  \"%s\": %d\n", WideToUtf8(text).c_str(), count);
    std::printf("  folders outside the arena named as package folders:");
    for (const std::wstring& folder : named_folders_) std::printf(" %s", WideToUtf8(folder).c_str());
    std::printf("\n  differences after the run, by allowance:\n");
    for (const auto& [reason, count] : used) std::printf("    %d: %s\n", count, reason.c_str());
    std::printf("  differences after the reset, by allowance:\n");
    for (const auto& [reason, count] : still) std::printf("    %d: %s\n", count, reason.c_str());
  }

  LoadedPlugin plugin_;
  Arena arena_;
  LogCapture log_;
  uint64_t seed_ = 0;
  Tally tally_;
  int batches_ = 0;
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
  std::map<std::string, int> used;
  for (const std::string& change : Unexplained(Compare(before, after), RunAllowances(), used)) {
    Fail("written outside the allowed places (seed " + SeedText(seed_) + "):\n    " + change);
  }

  ResetDriverMachineState();
  const Snapshot restored = TakeSnapshot();
  std::map<std::string, int> still;
  for (const std::string& change : Unexplained(Compare(before, restored), LastingAllowances(), still)) {
    Fail("left behind after the reset (seed " + SeedText(seed_) + "):\n    " + change);
  }

  Report(used, still);
  std::string shown;
  for (const std::string& failure : failures_) shown += "\n" + failure + "\n";
  EXPECT_EQ(failure_count_, 0) << "seed " << SeedText(seed_) << "; the first " << failures_.size()
                               << " failure(s):" << shown;
  EXPECT_GE(generated, kRecordsPerShard);
}

INSTANTIATE_TEST_SUITE_P(Shards, Hardening, ::testing::Range(0, kShardCount));

}  // namespace
