// Batches of several processes meeting on one machine: the lifecycle lock keeps them apart, so every
// race ends as one of the two orders would; a waiter says so in the log; a holder that dies is taken
// over. Each host is a separate process (HostProcess), as the platform's host, an updater and an
// operator's tool are.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "plugin/plugin.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

const std::wstring kLock = zyhok::kLifecycleLockName;
const std::wstring kWaitLine = L"another batch holds the lifecycle lock " + kLock + L", waiting for it";

class Concurrency : public ::testing::Test {
 protected:
  void TearDown() override { ResetDriverMachineState(); }

  // The machine after `first`, then `second`, each run alone, from v1 installed (or a clean machine).
  std::wstring AfterInOrder(bool with_v1, uint32_t first, uint32_t second) {
    Begin(with_v1);
    plugin_.Do(first, Package(first));
    plugin_.Do(second, Package(second));
    return DescribeMachine();
  }
  void Begin(bool with_v1) {
    ResetDriverMachineState();
    if (with_v1) ASSERT_EQ(plugin_.Do(kInstall, v1_), kSuccess);
  }
  std::wstring Package(uint32_t action) const { return action == 1 ? v2_ : v1_; }

  LoadedPlugin plugin_;
  TempDir packages_;
  const std::wstring v1_ = CopyPackage(packages_, L"v1"), v2_ = CopyPackage(packages_, L"v2");
  HostProcess host_{L"zyhok_concurrency_host.exe"};
};

// Two hosts started together, over several rounds: an update and an uninstall of v1, and an install
// and an uninstall on a clean machine.
TEST_F(Concurrency, RacingBatchesEndAsOneOfTheTwoOrders) {
  const struct { bool with_v1; uint32_t a, b; } races[] = {
      {true, 1, kUninstall}, {false, kInstall, kUninstall}};
  for (const auto& race : races) {
    const std::wstring a_then_b = AfterInOrder(race.with_v1, race.a, race.b);
    const std::wstring b_then_a = AfterInOrder(race.with_v1, race.b, race.a);
    ASSERT_NE(a_then_b, b_then_a) << "the two orders must be told apart";
    for (int round = 0; round < 4; ++round) {
      SCOPED_TRACE(testing::Message() << "action " << race.a << " against " << race.b << ", round " << round);
      ASSERT_NO_FATAL_FAILURE(Begin(race.with_v1));
      LogCapture log;
      const auto start = [&](uint32_t a) { return host_.Start({MakeRecord(a, Package(a))}, log.file()); };
      const zyhok::UniqueKernelHandle first = start(race.a), second = start(race.b);
      ASSERT_TRUE(first && second);
      ExitCodeOf(first), ExitCodeOf(second);  // waits until both have ended
      const std::wstring after = DescribeMachine();
      EXPECT_TRUE(after == a_then_b || after == b_then_a)
          << WideToUtf8(after) << "\nnot\n" << WideToUtf8(a_then_b) << "\nnor\n" << WideToUtf8(b_then_a);
    }
  }
}

// A batch that finds the lock held waits and says how long; a wait that runs out does nothing. A mutex
// of the lock's old name, held by someone else all along, neither stands in for the lock nor delays a
// batch. (Wine maps a file's access list to Unix permissions and reads back its own, so the list that the
// lock puts on its folder and file cannot be read back here.)
TEST_F(Concurrency, HeldLockMakesABatchWaitAndLogIt) {
  const auto event = [] { return zyhok::UniqueKernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); };
  const zyhok::UniqueKernelHandle taken = event(), release = event(), done = event();
  std::thread holder([&] {  // holds the old name throughout, and the lock until `release`
    const zyhok::UniqueKernelHandle squatter(CreateMutexW(nullptr, TRUE, L"Global\\ZYHOK_DriverLifecycle"));
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
  const auto gave_up = L"fail to get the lifecycle lock " + kLock + L" within 0xc8 ms; nothing is done";
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({gave_up})) << log.Dump();
  log.Clear();
  std::thread later([&] { Sleep(500); SetEvent(release.get()); });
  EXPECT_EQ(plugin_.DoActions({MakeRecord(7, L"C:\\pkg")}), kRefused);
  later.join();
  const std::vector<std::wstring> lines = log.Texts();
  ASSERT_GE(lines.size(), 3u) << log.Dump();
  EXPECT_EQ(lines[0], kWaitLine);
  EXPECT_EQ(lines[1].rfind(L"got the lifecycle lock after waiting 0x", 0), 0u) << log.Dump();
  EXPECT_EQ(lines[2].rfind(L"==> DoActionFromDrvInfo,", 0), 0u) << log.Dump();
  log.Clear();
  EXPECT_EQ(plugin_.DoActions({MakeRecord(7, L"C:\\pkg")}), kRefused);
  SetEvent(done.get());
  holder.join();
  EXPECT_EQ(log.Texts()[0].rfind(L"==> DoActionFromDrvInfo,", 0), 0u) << log.Dump();
}

// A host killed in the middle of its batch abandons the lock; the batch of another host that waits for
// it takes it over and completes the update that the killed one began.
TEST_F(Concurrency, LockOfAKilledHolderIsTakenOver) {
  ASSERT_NO_FATAL_FAILURE(Begin(true));
  LogCapture log;
  const auto wait_for = [&](const std::wstring& text) {  // up to 20 s for a line of level 2
    for (int i = 0; i < 2000 && !log.Has(2, text); ++i) Sleep(10);
    return log.Has(2, text);
  };
  // Its batch updates back and forth a few times, so that it still holds the lock when the waiter comes.
  std::vector<zyhok::DrvInfo> long_batch;
  for (int i = 0; i < 8; ++i) long_batch.push_back(MakeRecord(1, i % 2 ? v1_ : v2_));
  const zyhok::UniqueKernelHandle killed = host_.Start(long_batch, log.file());
  ASSERT_TRUE(killed.valid());
  ASSERT_TRUE(wait_for(L"==> UpdateDrvFromDrvInfo,")) << log.Dump();
  const zyhok::UniqueKernelHandle waiter = host_.Start({MakeRecord(1, v2_)}, log.file());
  ASSERT_TRUE(wait_for(kWaitLine)) << log.Dump();
  ASSERT_TRUE(TerminateProcess(killed.get(), 9));
  const DWORD result = ExitCodeOf(waiter);
  const std::vector<std::wstring> lines = log.Texts();
  const std::wstring took =
      L"the last holder of the lifecycle lock " + kLock + L" ended without releasing it; taking it over";
  const auto takeover = std::find(lines.begin(), lines.end(), took);
  ASSERT_NE(takeover, lines.end()) << log.Dump();
  EXPECT_EQ(takeover[1], L"==> DoActionFromDrvInfo,rDrvInfo.action = 0x1, rDrvInfo.compare_state = 0");
  // The killed update may have been stopping the driver: the waiter may find it not yet stopped.
  EXPECT_TRUE(result == kSuccess || result == 0x201A0002u) << std::hex << result << "\n" << log.Dump();
  EXPECT_EQ(plugin_.Do(1, v2_), kSuccess);
  EXPECT_NE(DescribeMachine().find(L"driver v2 ("), std::wstring::npos) << WideToUtf8(DescribeMachine());
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

}  // namespace
