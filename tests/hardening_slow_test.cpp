// 10,400 generated driver-info records go through Plugin_Interface_DriversDoAction in batches of 1 to 8 that lie
// read-only directly before an inaccessible page: a write into a record or a read past the last one faults at once,
// and the crash report names the batch. Every record and batch result must be in the result table, a batch must stop
// exactly at a record yielding 0xE01A000C, and an action outside 0..3 or a path that fits no path buffer must be
// refused with 0xE01A000A without being acted on. Drive C:, HKLM\SOFTWARE and HKLM\SYSTEM may change only where the
// records may write or where Wine itself does. 1.2 % of the records name fixture packages, so that real installs,
// updates and uninstalls run between cheap ones. ZYHOK_HARDENING_SEED replaces the printed seed.
#include "plugin_interface.h"
#include "plugin/dispatch.h"
#include "support/test_support.h"
#include "util/pending_renames.h"
#include <shlobj.h>
#include <algorithm>
#include <cstdio>
#include <set>

namespace {

using namespace zyhok_test;

constexpr uint64_t kSeed = 0x20019A11CEull;
constexpr size_t kRecords = 10400, kUnits = zyhok::kDriverPathUnits, kBuffer = MAX_PATH;  // buffers: 260 with NUL
const std::wstring kEntry = L"==> DoActionFromDrvInfo,", kExit = L"<== DoActionFromDrvInfo,asStatus = ";
const std::wstring kServiceKey = L"HKLM\\" + std::wstring(kDriverServiceKey);
const std::wstring kPending = L"HKLM\\" + std::wstring(zyhok::kSessionManagerKey) + L"|" + zyhok::kPendingRenamesValue;
struct Random {  // xorshift64*: a printed seed replays the same records
  uint64_t s;
  uint64_t Next() {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1Dull;
  }
  uint32_t Below(size_t n) { return static_cast<uint32_t>(Next() % n); }
  bool Percent(uint32_t p) { return Below(100) < p; }
  std::wstring Pick(const std::vector<std::wstring>& from) { return from[Below(from.size())]; }
};
bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.rfind(prefix, 0) == 0; }
bool Under(const std::wstring& path, const std::wstring& folder) {  // "key|value" lies under its key
  const std::wstring p = Lower(path), f = Lower(folder);
  return StartsWith(p, f) && (p.size() == f.size() || p[f.size()] == L'\\' || p[f.size()] == L'|');
}
std::string Hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", (unsigned long long)v);
  return b;
}
std::wstring LogNumber(uint32_t v) {
  wchar_t b[16];
  swprintf(b, 16, v ? L"0x%x" : L"0", v);
  return b;
}
std::string Printable(const std::wstring& text, std::string out = "") {  // beyond ASCII as \u{X}
  for (const wchar_t c : text.substr(0, 200))
    out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : "\\u{" + Hex(c).substr(2) + "}";
  return text.size() > 200 ? out + "..." : out;
}
// The folders the records may name: copies of both fixture packages in the platform's layout, an empty
// folder, one holding only a driver file, and a current directory four levels deep for relative paths.
struct Arena {
  TempDir dir;
  std::wstring v1 = CopyPackage(dir, L"v1"), v2 = CopyPackage(dir, L"v2");
  std::wstring empty = dir / L"empty", driver_only = dir / L"drv\\20019\\9.9\\9.9", cwd = dir / L"cwd\\a\\b\\c";
  bool Build() {
    for (const std::wstring& f : {empty, driver_only, cwd}) SHCreateDirectoryExW(nullptr, f.c_str(), nullptr);
    return CopyFileW((v2 + L"\\zyhok.sys").c_str(), (driver_only + L"\\zyhok.sys").c_str(), FALSE);
  }
};
// A record, its path up to the terminator (or all 1024 units), and whether it names a fixture package.
struct Case {
  zyhok::DrvInfo record;
  std::wstring text;
  bool real;
};
// Refused up front: an unknown action; a path too long for the action's buffer once install and update dropped its
// first "\\.\" (for the uninstall only dot-free paths, whose canonical form is as long); an update's empty path.
bool MustBeRefused(const Case& c) {
  const uint32_t a = c.record.action;
  if (a == 2) return c.text.size() >= kBuffer && c.text.find(L'.') == std::wstring::npos;
  const size_t length = c.text.size() - (c.text.find(L"\\\\.\\") == std::wstring::npos ? 0 : 3);
  return a > 3 || (length == 0 && a != 0) || length >= kBuffer;
}
Random g_random{kSeed};  // the generator's stream
uint32_t Word() { return static_cast<uint32_t>(g_random.Next() >> 32); }
std::wstring HexName() {
  wchar_t b[16];
  swprintf(b, 16, L"%08x", Word());
  return b;
}
std::wstring Components(uint32_t n, std::wstring out = L"") {
  while (n-- > 0)
    out += L"\\" + g_random.Pick({L"20019", L"1.6.1195", L"AddOn", L"ZyMon", L"a b", L"\u00fcml\u00e4ut",
                                  L"\u65e5\u672c", L"x.y", L"%windir%", L"con", L"n" + HexName()});
  return out;
}
std::wstring LongPath(size_t length) {  // dot-free, exactly `length` units
  std::wstring out = L"C:\\zyhok-nx-" + HexName();
  while (out.size() < length) out += L"\\n" + HexName() + L"20019";
  out.resize(length);
  if (g_random.Percent(30)) out[length / 2] = L'/';
  return out;
}
// Shapes a host path takes: "\\.\" once or twice, "." and ".." elements, slashes, separators at the end.
std::wstring Decorate(std::wstring p) {
  static const wchar_t* const kInner[] = {L"\\\\.\\", L"\\.\\", L"\\zyhok-nx\\..\\", L"/", L"\\\\.\\"};
  const size_t at = p.find(L'\\', StartsWith(p, L"\\\\") ? 2 : g_random.Below(p.size() + 1));
  const uint32_t how = g_random.Below(8);  // 5..7 leave the inside as it is
  if (at != std::wstring::npos && how < 5) p.replace(at, 1, kInner[how]);
  if (at != std::wstring::npos && how == 4) p.replace(p.rfind(L'\\'), 1, L"\\\\.\\");
  return p + g_random.Pick({L"\\", L"/", L"\\.", L"", L"", L""});
}
Case Generate(const Arena& a) {
  Random& r = g_random;
  // Few updates but of fixture packages: each lifts and restores the service's access restriction, so even a
  // refused one is slow.
  static const uint32_t kOdd[] = {4, 7, 256, 1u << 31, ~0u};
  Case c{};
  // A roll of 0..999 chooses the record's shape, per mille: a fixture package below kFixture (1.2 %), an
  // existing or separator-only folder below kExisting, a relative, UNC-like or device-like path below kUnreal, a
  // path around the path buffer's length below kAroundBuffer; the rest over-long, all 1024 units from kWhole on,
  // any units at all from kAnyUnits on.
  constexpr uint32_t kFixture = 12, kExisting = 33, kUnreal = 68, kAroundBuffer = 98, kWhole = 550, kAnyUnits = 775;
  const uint32_t roll = r.Below(1000);
  c.record.reserved = Word();
  c.record.action = r.Percent(85)   ? r.Percent(roll < kFixture ? 15 : 4) + 2 * r.Below(2)
                    : r.Percent(80) ? kOdd[r.Below(5)]
                                    : Word() | 4;
  c.record.compare_state = r.Percent(20) ? r.Below(2) : Word();
  const std::wstring up = L"..\\..\\..\\..", &pkg = r.Percent(50) ? a.v1 : a.v2;
  std::wstring p;
  if (roll < kFixture) {  // a fixture package, named absolutely or relative to the current directory
    c.real = true;
    p = Decorate(r.Percent(20) ? up + pkg.substr(a.dir.path().size()) : pkg);
  } else if (roll <
             kExisting) {  // existing, empty, only separators; outside the arena only the root (its time isn't kept)
    p = Decorate(r.Pick({a.empty, a.driver_only, a.dir.path(), L".", up, L"\\", L"C:/", L"C:\\zyhok-nx\\..", L"",
                         L"\\\\", L"//", L"\\/\\/", L"////////", L"\\\\.\\", L"\\\\?\\"}));
  } else if (roll < kUnreal) {  // relative, UNC-like, device-like, none of them existing
    p = Decorate(r.Pick({L"C:", L"", L".", L"..\\..", L"\\\\zyhok-nx-host\\s", L"\\\\?\\UNC\\zyhok-nx-host\\s", L"NUL",
                         L"//zyhok-nx-host/s", L"\\\\127.0.0.1\\zyhok-nx", L"COM1", L"\\\\.\\PhysicalDrive0",
                         L"\\??\\C:", L"\\\\.\\C:", L"\\\\?\\C:", L"\\\\.\\pipe\\zyhok-nx", L"\\\\.\\\\\\.\\zyhok-nx",
                         L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1"}) +
                 Components(1 + r.Below(4)));
  } else if (roll < kAroundBuffer) {  // around the path buffer's length, half 3 units longer before "\\.\" is dropped
    p = LongPath(kBuffer - 5 + r.Below(10));
    if (r.Percent(50)) p.replace(p.find(L'\\', 3), 1, L"\\\\.\\");
  } else {  // over-long, or all 1024 units without a terminator (some of them any units at all)
    p = LongPath(roll < kWhole ? kBuffer + r.Below(kUnits - kBuffer) : kUnits);
    if (roll >= kAnyUnits) std::generate(p.begin(), p.end(), [&] { return static_cast<wchar_t>(1 + r.Below(0xFFFF)); });
  }
  std::copy_n(p.data(), std::min(p.size(), kUnits), c.record.wszDriverPath);
  Random junk{r.Next() | 1};  // after the terminator, not part of the path
  for (size_t i = p.size() + 1, letters = junk.Percent(50); i < kUnits; ++i)
    c.record.wszDriverPath[i] = static_cast<wchar_t>(letters ? L'A' + junk.Below(26) : 1 + junk.Below(0xFFFF));
  c.text = std::wstring(c.record.wszDriverPath, wcsnlen(c.record.wszDriverPath, kUnits));
  return c;
}
// The batch as the host hands it over, ending exactly where an inaccessible page begins.
const zyhok::DrvInfo* Guarded(const std::vector<zyhok::DrvInfo>& records) {
  constexpr size_t kPage = 4096, kData = (8 * sizeof(zyhok::DrvInfo) + kPage - 1) / kPage * kPage;
  static BYTE* const base = static_cast<BYTE*>(VirtualAlloc(nullptr, kData + kPage, MEM_COMMIT, PAGE_NOACCESS));
  DWORD old = 0;
  VirtualProtect(base, kData, PAGE_READWRITE, &old);
  BYTE* const first = base + kData - records.size() * sizeof(zyhok::DrvInfo);
  std::copy_n(reinterpret_cast<const BYTE*>(records.data()), records.size() * sizeof(zyhok::DrvInfo), first);
  VirtualProtect(base, kData, PAGE_READONLY, &old);
  return reinterpret_cast<const zyhok::DrvInfo*>(first);
}
std::string g_in_flight;                          // the batch in the export, for the report of a crash
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* e) {  // Wine's own report that follows shows where
  std::fprintf(stderr, "\nCRASH: exception 0x%08lX in %s\n", e->ExceptionRecord->ExceptionCode, g_in_flight.c_str());
  return EXCEPTION_CONTINUE_SEARCH;
}
// Every path that a pending operation names, without "\??\".
std::set<std::wstring> PendingPaths(std::set<std::wstring> paths = {}) {
  for (const std::wstring& entry : PendingRenameEntries()) {
    if (!entry.empty()) paths.insert(zyhok::PendingEntryPath(entry));
  }
  return paths;
}

// clang-format off
TEST(Hardening, GeneratedRecordsGiveTableResultsAndWriteOnlyWhereAllowed) {
  ResetDriverMachineState();
  struct ResetAtEnd { ~ResetAtEnd() { ResetDriverMachineState(); } } reset_at_end;
  LoadedPlugin plugin;
  Arena arena;
  LogCapture log;
  ASSERT_TRUE(plugin.loaded() && arena.Build());
  wchar_t text[32], saved_cwd[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"ZYHOK_HARDENING_SEED", text, 32);
  const uint64_t seed = n > 0 && n < 32 ? wcstoull(text, nullptr, 0) : kSeed;
  const std::string seed_text = "seed " + Hex(seed) + " (ZYHOK_HARDENING_SEED=" + Hex(seed) + " replays the run)";
  std::printf("%s\n", seed_text.c_str());
  int failures = 0, batches = 0, acted[3] = {};  // real installs, updates and uninstalls that succeeded
  std::string report;  // the first 30 failures
  const auto fail = [&](const std::string& what) { report += failures++ < 30 ? "\n" + what + "\n" : ""; };
  const DWORD saved = GetCurrentDirectoryW(MAX_PATH, saved_cwd);
  ASSERT_TRUE(saved > 0 && saved < MAX_PATH && SetCurrentDirectoryW(arena.cwd.c_str()));
  // Drive C: with sizes and write times, and HKLM\SOFTWARE and HKLM\SYSTEM.
  const auto snapshot = [](Snapshot s = {}) {
    SnapshotFolder(L"C:", s, true);
    SnapshotKey(L"SOFTWARE", s);
    SnapshotKey(L"SYSTEM", s);
    return s;
  };
  const Snapshot before = snapshot();
  const std::set<std::wstring> pending_before = PendingPaths();
  ASSERT_TRUE(before.count(L"C:\\windows\\system32\\kernel32.dll") && before.count(L"HKLM\\SYSTEM\\Select|Current"));
  g_random.s = seed | 1;
  SetUnhandledExceptionFilter(&ReportCrash);
  for (size_t generated = 0; generated < kRecords; ++batches) {
    std::vector<Case> cases(g_random.Percent(25) ? 1 : 1 + g_random.Below(8));
    std::vector<zyhok::DrvInfo> records;
    g_in_flight = seed_text + ", batch " + std::to_string(batches) + ":";
    for (Case& c : cases) {
      c = Generate(arena);
      g_in_flight += "\n  #" + std::to_string(records.size()) + " action=" + Hex(c.record.action) + " compare_state=" +
                     Hex(c.record.compare_state) + " path(" + std::to_string(c.text.size()) + ")=" + Printable(c.text);
      records.push_back(c.record);
    }
    generated += records.size();
    log.Clear();
    const uint32_t result = plugin.DoActions(Guarded(records), static_cast<uint32_t>(records.size()));
    std::vector<std::vector<std::wstring>> taken;  // the log lines of each record the dispatch took
    for (const LogLine& line : log.Lines()) {
      if (StartsWith(line.text, kEntry)) taken.emplace_back();
      if (!taken.empty()) taken.back().push_back(line.text);
    }
    if (kActionResults.count(result) == 0) fail(g_in_flight + "\n  batch result " + Hex(result) + " is not in the table");
    uint32_t status = 0;
    for (size_t i = 0; i < std::min(taken.size(), cases.size()); ++i) {
      const Case& c = cases[i];
      const auto& lines = taken[i];
      std::string where = g_in_flight + "\n  record #" + std::to_string(i) + " logged:";
      for (const std::wstring& line : lines) where += "\n    " + Printable(line);
      const auto exit = std::find_if(lines.begin(), lines.end(), [](auto& line) { return StartsWith(line, kExit); });
      status = exit == lines.end() ? 0 : static_cast<uint32_t>(wcstoul(exit->c_str() + kExit.size(), nullptr, 16));
      if (lines[0] != kEntry + L"rDrvInfo.action = " + LogNumber(c.record.action) + L", rDrvInfo.compare_state = " +
                          LogNumber(c.record.compare_state))
        fail(where + "\n  the dispatch read another record");
      if (kActionResults.count(status) == 0) fail(where + "\n  no exit line with a result of the table");
      if (i + 1 < taken.size() && status == kFailed) fail(where + "\n  the batch went on after 0xE01A000C");
      const bool refused = status == kRefused && (c.record.action > 3 ? lines.size() == 2 :
                           std::count(lines.begin(), lines.end(), L"Normalize the driver path failed.") > 0);
      if (MustBeRefused(c) && !refused) fail(where + "\n  acted on instead of refused");
      if (c.real && status == kSuccess && c.record.action < 4) ++acted[c.record.action == 3 ? 1 : c.record.action];
    }
    if (taken.size() < cases.size() && status != kFailed) fail(g_in_flight + "\n  stopped after a " + Hex(status));
    if (result != status) fail(g_in_flight + "\n  batch result " + Hex(result) + ", last record's " + Hex(status));
  }
  const Snapshot after = snapshot();
  const std::set<std::wstring> pending_after = PendingPaths();
  SetCurrentDirectoryW(std::wstring(saved_cwd, saved).c_str());

  // Where the run may write: the arena with the package folders the records name, the staging trees, the drivers
  // folder, the service key, the pending operations (checked entry by entry below), and the test's own log.
  const std::vector<std::wstring> places = {arena.dir.path(), StagingTree64(), StagingTree32(),
                                            SystemDir() + L"\\drivers", SystemDir() + L"\\ZYHOK_DriverLifecycle",
                                            kServiceKey, kPending, ParentOf(log.file())};
  const auto writable = [&](auto& path) {
    return std::any_of(places.begin(), places.end(), [&](auto& place) { return Under(path, place); });
  };
  const std::wstring control = L"hklm\\system\\currentcontrolset\\control\\";
  const std::wstring stage64 = Lower(ParentOf(StagingTree64())), stage32 = Lower(ParentOf(StagingTree32()));
  for (const Snapshot* s : {&before, &after})
    for (const auto& [path, state] : *s) {
      const std::wstring was = before.count(path) ? before.at(path) : L"";
      const std::wstring now = after.count(path) ? after.at(path) : L"", lower = Lower(path);
      if (was == now || (s == &after && !was.empty()) || writable(path)) continue;
      // The folders holding the staging trees get a new write time as the trees come and go.
      if (was[0] == L'd' && now[0] == L'd' && (lower == stage64 || lower == stage32)) continue;
      // Wine's service manager counts the services it starts in ServiceCurrent.
      if (lower == control + L"servicecurrent|" && !was.empty() && !now.empty()) continue;
      // Wine's desktop process records the display driver of each desktop it creates (volatile keys).
      if (StartsWith(lower, control + L"video\\{") && (was.empty() || now.empty())) continue;
      fail(seed_text + ": written outside the allowed places: " + WideToUtf8(path) + "\n    before: " + Printable(was) +
           "\n    after:  " + Printable(now));
    }
  for (const std::wstring& entry : pending_before)
    if (!pending_after.count(entry)) fail(seed_text + ": pending operation from before gone: " + WideToUtf8(entry));
  for (const std::wstring& entry : pending_after)
    if (!pending_before.count(entry) && !writable(entry)) fail(seed_text + ": pending outside: " + WideToUtf8(entry));
  std::printf("%d batches; %d installs, %d updates, %d uninstalls ran\n", batches, acted[0], acted[1], acted[2]);
  EXPECT_EQ(failures, 0) << seed_text << "; the first failures:" << report;
  EXPECT_TRUE(acted[0] > 0 && acted[1] > 0 && acted[2] > 0) << "too few real actions; " << seed_text;
}
// clang-format on

}  // namespace
