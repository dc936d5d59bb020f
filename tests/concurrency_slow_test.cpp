// Hosts as they call the plug-in. Batches of several processes meeting on one machine: the lifecycle lock keeps them
// apart, as a batch that finds it held waits for the whole of the other (and says so in the log) before it does
// anything; a holder that dies is taken over. Each host is a separate process (HostProcess), as the platform's host, an
// updater and an operator's tool are. And the platform's host, played by this long-lived process: it loads the plug-in,
// hands it a record and unloads it, over and over. (Batch after batch from one loaded plug-in is what faults_test does
// at every point.)
#include "lifecycle/lifecycle_lock.h"
#include "support/test_support.h"
#include <algorithm>
#include <set>
#include <thread>

namespace {

using namespace zyhok_test;

const std::wstring kLock = SystemDir() + L"\\ZYHOK_DriverLifecycle\\lock";  // as the lock's lines name it
const wchar_t* const kOldName = L"Global\\ZYHOK_DriverLifecycle";           // the named mutex it once was
const std::wstring kWaitLine = L"2z another batch holds the lifecycle lock " + kLock + L", waiting for it";
const std::wstring kGotLine = L"2z got the lifecycle lock after waiting 0x";
// The story of a log file, with "N" for the time waited (which varies).
std::vector<std::wstring> TellWaited(const std::wstring& file) {
  std::vector<std::wstring> told = Told(file);
  for (std::wstring& line : told) {
    if (line.rfind(kGotLine, 0) == 0) line.replace(kGotLine.size(), line.size() - kGotLine.size() - 3, L"N");
  }
  return told;
}

class Concurrency : public ::testing::Test {
 protected:
  void TearDown() override { ResetDriverMachineState(); }

  ScenarioMachine world_;
  LoadedPlugin plugin_;
  HostProcess host_{L"zyhok_concurrency_host.exe"};
};
// A batch that finds the lock held waits and says how long; a wait that runs out does nothing. A mutex
// of the lock's old name, held by someone else all along, neither stands in for the lock nor delays a
// batch. (Wine maps a file's access list to Unix permissions and reads back its own, so the list that the
// lock puts on its folder and file cannot be read back here.)
TEST_F(Concurrency, HeldLockMakesABatchWaitAndLogIt) {
  const auto event = [] { return zyhok::UniqueKernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); };
  const zyhok::UniqueKernelHandle taken = event(), release = event(), done = event();
  std::thread holder([&] {  // holds the old name throughout, and the lock until `release`
    const zyhok::UniqueKernelHandle squatter(CreateMutexW(nullptr, TRUE, kOldName));
    if (squatter.valid()) {
      const zyhok::LifecycleLock lock;
      SetEvent(taken.get());
      WaitForSingleObject(release.get(), INFINITE);
    }
    WaitForSingleObject(done.get(), INFINITE);
  });
  ASSERT_EQ(WaitForSingleObject(taken.get(), 10000), WAIT_OBJECT_0);

  LogCapture log;
  {
    const zyhok::LifecycleLock short_wait(200);
    EXPECT_TRUE(short_wait.timed_out());
  }
  world_.ExpectStory(log.file(),
                     {kWaitLine, L"5z fail to get the lifecycle lock " + kLock + L" within 0xc8 ms; nothing is done"});
  log.Clear();
  std::thread later([&] {
    Sleep(500);
    SetEvent(release.get());
  });
  EXPECT_EQ(plugin_.DoActions({MakeRecord(7, L"C:\\pkg")}), kRefused);
  later.join();
  EXPECT_EQ(TellWaited(log.file()), world_.Story({kWaitLine, kGotLine + L"N ms", L"act 0x7 0", L"done 0xe01a000a"}));
  log.Clear();
  EXPECT_EQ(plugin_.DoActions({MakeRecord(7, L"C:\\pkg")}), kRefused);
  SetEvent(done.get());
  holder.join();
  world_.ExpectStory(log.file(), {L"act 0x7 0", L"done 0xe01a000a"});
}
// A host killed in the middle of its batch abandons the lock; the batch of this long-lived process, which
// waits for it, takes it over, completes the update that the killed one began and lets go of the lock at
// its end though the process lives on: a batch of another process started meanwhile waits for that end
// at most, and one started after it neither waits nor takes the lock over again.
TEST_F(Concurrency, LockOfAKilledHolderIsTakenOverAndReleased) {
  ASSERT_TRUE(world_.Begin(L"v1", plugin_));
  LogCapture log;
  const auto wait_for = [&](const std::wstring& line) {  // up to 20 s
    for (int i = 0; i < 2000; ++i, Sleep(10)) {
      const std::vector<std::wstring> told = log.Told();
      if (std::find(told.begin(), told.end(), line) != told.end()) return true;
    }
    return false;
  };
  // Its batch updates back and forth a few times, so that it still holds the lock when the waiter comes.
  std::vector<zyhok::DrvInfo> long_batch;
  for (int i = 0; i < 8; ++i) long_batch.push_back(MakeRecord(1, i % 2 ? world_.v1() : world_.v2()));
  const zyhok::UniqueKernelHandle killed = host_.Start(long_batch, log.file());
  ASSERT_TRUE(killed.valid() && wait_for(L"2z ==> UpdateDrvFromDrvInfo,")) << log.Dump();
  uint32_t result = 0;
  std::thread waiter([&] { result = plugin_.Do(1, world_.v2()); });
  const bool waited = wait_for(kWaitLine);
  TerminateProcess(killed.get(), 9);
  const std::wstring took =
      L"3z the last holder of the lifecycle lock " + kLock + L" ended without releasing it; taking it over";
  const bool taken = wait_for(took);
  const zyhok::UniqueKernelHandle during = host_.Start({MakeRecord(7, L"C:\\pkg")}, log.file() + L".during");
  waiter.join();
  ASSERT_TRUE(waited && taken) << log.Dump();
  const std::vector<std::wstring> lines = log.Told();
  EXPECT_EQ(std::find(lines.begin(), lines.end(), took)[1], world_.Story({L"act 0x1 0"})[0]);
  // The killed update may have been stopping the driver: the waiter may find it not yet stopped.
  EXPECT_TRUE(result == kSuccess || result == 0x201A0002u) << std::hex << result << "\n" << log.Dump();
  // The other process's lines, given 30 s, without the two of a wait where one may be.
  const auto story = [&](const zyhok::UniqueKernelHandle& process, const std::wstring& file, bool may_wait) {
    if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
    std::vector<std::wstring> out = TellWaited(file);
    if (may_wait && out.size() == 5 && out[1] == kWaitLine && out[2] == kGotLine + L"N ms") {
      out.erase(out.begin() + 1, out.begin() + 3);
    }
    return out;
  };
  const std::vector<std::wstring> batch = world_.Story({L"load", L"act 0x7 0", L"done 0xe01a000a"});
  EXPECT_EQ(story(during, log.file() + L".during", true), batch);
  EXPECT_EQ(story(host_.Start({MakeRecord(7, L"C:\\pkg")}, log.file() + L".after"), log.file() + L".after", false),
            batch);
  EXPECT_EQ(plugin_.Do(1, world_.v2()), kSuccess);
  world_.ExpectMachine(L"v2 inf=v1", plugin_);
}
struct HostModel : ::testing::Test {
  void SetUp() override { ResetDriverMachineState(); }
  void TearDown() override { ResetDriverMachineState(); }
  LogCapture log_;
  ScenarioMachine world_;
};
// Free thread-local slots, open handles, and bytes in use on the process's heaps.
void Probe(size_t (&out)[3]) {
  DWORD slots[1100], flags, heaps = GetProcessHeaps(0, nullptr);
  for (out[0] = 0; out[0] < 1100 && (slots[out[0]] = TlsAlloc()) != TLS_OUT_OF_INDEXES;) ++out[0];
  for (size_t i = 0; i < out[0]; ++i) TlsFree(slots[i]);
  out[1] = out[2] = 0;
  for (uintptr_t h = 4; h < 0x4000; h += 4) out[1] += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags);
  std::vector<HANDLE> heap(heaps);
  for (heap.resize(GetProcessHeaps(heaps, heap.data())); !heap.empty(); heap.pop_back()) {
    PROCESS_HEAP_ENTRY e = {};
    while (HeapWalk(heap.back(), &e)) out[2] += e.wFlags & PROCESS_HEAP_ENTRY_BUSY ? e.cbData : 0;
  }
}
// Load, one record, unload, 1,100 times (more than a process has thread-local slots): after cycle 10 and
// after the last, the same free slots and handles and the heap's bytes in use within 16 KB; each load
// builds the environment table once; every cycle tells its whole story, the last as the first. The record
// is the uninstall with nothing installed of a lifecycle row in cycles 1, 11, 21, ... and the last, and of
// action 7 (nothing but its two lines, through the batch's service-manager scope) in the others.
// clang-format off
TEST_F(HostModel, LoadActUnloadOver1100Cycles) {
  constexpr int kCycles = 1100, kFirstProbe = 10, kRealEvery = 10;  // probes after cycle 10 and the last
  // The platform's own libraries stay loaded in its host (it logs and installs through them itself).
  const zyhok::UniqueModule setupkit(LoadLibraryW((BinDir() + L"setupkit.dll").c_str()));
  const Scenario& row = LifecycleScenario("RecordFailingWithE01A000CEndsTheBatch");
  const zyhok::DrvInfo uninstall = world_.Records(row.records)[0], nothing = MakeRecord(7, world_.v1());
  const auto real = [](int cycle) { return cycle % kRealEvery == 1 || cycle == kCycles; };
  std::set<uint32_t> results;
  size_t probes[2][3];
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    const uint32_t result = LoadedPlugin().DoActions(real(cycle) ? &uninstall : &nothing, 1);
    if (real(cycle)) results.insert(result);
    if (cycle == kFirstProbe || cycle == kCycles) Probe(probes[cycle == kCycles ? 1 : 0]);
  }
  EXPECT_EQ(probes[1][0], probes[0][0]) << "free thread-local slots";
  EXPECT_EQ(probes[1][1], probes[0][1]) << "open handles";
  EXPECT_LE(probes[1][2], probes[0][2] + 16384) << "heap bytes in use";
  EXPECT_EQ(results, std::set<uint32_t>({kFailed}));
  std::vector<std::wstring> parts;
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    parts.insert(parts.end(), {L"load", real(cycle) ? L"row " + Utf8ToWide(row.name) : L"act 0x7 0"});
    if (!real(cycle)) parts.push_back(L"done 0xe01a000a");
  }
  world_.ExpectStory(log_.file(), parts);
}
// clang-format on

}  // namespace
