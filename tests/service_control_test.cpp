// The service-state wait against Wine's real service control manager, on a user-mode test service
// whose reported states the tests step through, and with a simulated clock for the time-out across
// the tick counter's wrap. Start, stop and query of the driver itself are proved by the lifecycle rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "service/service.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;

using Texts = std::vector<std::wstring>;

constexpr DWORD kUntouched = 0xDEADBEEF;

TEST(ServicePollInterval, IsATenthOfTheWaitHintBetweenOneAndTenSeconds) {
  const DWORD cases[][2] = {{0, 1000},      {10000, 1000},      {10019, 1001},        {50000, 5000},
                            {100009, 10000}, {100010, 10000}, {0xFFFFFFFF, 10000}};
  for (const auto& c : cases) EXPECT_EQ(zyhok::ServicePollInterval(c[0]), c[1]) << c[0];
}

// Runs a test service through a script of steps, counts the clock readings and records the sleeps of
// a wait; a sleep lets the service report its next step instead of passing time.
class ServiceWait : public ::testing::Test {
 protected:
  // Starts the script and waits for `desired_state` with the stepping clock, the last error preset.
  BOOL WaitStepping(const wchar_t* name, const std::vector<std::wstring>& steps, DWORD desired_state) {
    Start(name, steps);
    SetLastError(kUntouched);
    return zyhok::WaitForServiceState(service_->handle(), desired_state, SteppingClock());
  }
  void Start(const wchar_t* name, const std::vector<std::wstring>& steps) {
    sleeps_.clear();
    service_ = std::make_unique<TestService>(name, steps);
    EXPECT_TRUE(service_->created()) << GetLastError();
    EXPECT_TRUE(service_->Start());
  }
  zyhok::ServiceWaitClock SteppingClock() {
    return {[this] {
              ++now_calls_;
              return GetTickCount();
            },
            [this](DWORD ms) {
              sleeps_.push_back(ms);
              EXPECT_TRUE(service_->Step()) << "the wait polled past the end of the script";
            }};
  }

  LogCapture log_;
  std::unique_ptr<TestService> service_;
  std::vector<DWORD> sleeps_;
  size_t now_calls_ = 0;
};

TEST_F(ServiceWait, StateAlreadyReachedNeedsOneQueryAndNoSleep) {
  EXPECT_TRUE(WaitStepping(L"zyhok_test_wait_ready", {L"4,0,0"}, SERVICE_RUNNING));
  EXPECT_TRUE(sleeps_.empty());
  EXPECT_EQ(now_calls_, 1u) << "only the deadline is read";
  EXPECT_EQ(log_.Texts(2), Texts({L"==> WaitForServiceState,timeout value: 0x7530",
                                  L"<== WaitForServiceState,Is Service Ok: 0x1"}))
      << log_.Dump();
}

TEST_F(ServiceWait, PollsEveryTenthOfTheReportedWaitHintWithinOneToTenSeconds) {
  EXPECT_TRUE(WaitStepping(L"zyhok_test_wait_hints",
                           {L"2,1,0", L"2,2,50000", L"2,3,500000", L"2,4,20000", L"4,0,0"}, SERVICE_RUNNING));
  EXPECT_EQ(sleeps_, (std::vector<DWORD>{1000, 5000, 10000, 2000}));
}

TEST_F(ServiceWait, ProgressKeepsTheWaitGoing) {
  // Unchanged and rising checkpoints in one state.
  EXPECT_TRUE(WaitStepping(L"zyhok_test_wait_rising", {L"2,5,0", L"2,5,0", L"2,6,0", L"4,0,0"}, SERVICE_RUNNING));
  EXPECT_EQ(sleeps_.size(), 3u);
  // START_PENDING at checkpoint 5, then STOP_PENDING at 1 and 2: a lower checkpoint in another
  // state is progress, not a step back.
  EXPECT_TRUE(WaitStepping(L"zyhok_test_wait_newstate", {L"2,5,0", L"3,1,0", L"3,2,0", L"1,0,0"}, SERVICE_STOPPED));
  EXPECT_EQ(sleeps_.size(), 3u);
}

TEST_F(ServiceWait, CheckpointGoingBackwardsInTheSameStateEndsTheWaitAtOnce) {
  EXPECT_FALSE(WaitStepping(L"zyhok_test_wait_backwards", {L"2,5,0", L"2,3,0", L"4,0,0"}, SERVICE_RUNNING));
  EXPECT_EQ(GetLastError(), kUntouched) << "the wait sets no error of its own here";
  EXPECT_EQ(sleeps_.size(), 1u);
  EXPECT_EQ(service_->Status().dwCheckPoint, 3u);
  EXPECT_TRUE(log_.Has(2, L"<== WaitForServiceState,Is Service Ok: 0")) << log_.Dump();
}

TEST_F(ServiceWait, FailedQueryEndsTheWaitWithTheQueryError) {
  Start(L"zyhok_test_wait_noquery", {L"2,1,0", L"4,0,0"});
  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  zyhok::UniqueScHandle start_only(OpenServiceW(manager.get(), service_->name().c_str(), SERVICE_START));
  ASSERT_TRUE(start_only.valid()) << GetLastError();
  EXPECT_FALSE(zyhok::WaitForServiceState(start_only.get(), SERVICE_RUNNING, SteppingClock()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sleeps_.empty());
  EXPECT_TRUE(log_.Has(2, L"<== WaitForServiceState,Is Service Ok: 0")) << log_.Dump();
}

// A simulated clock reads the given ticks in turn (the last one repeats) and its sleeps pass no time:
// the deadline is 30000 ms after the first reading, a reading exactly on it is still in time, and the
// deadline may lie past the tick counter's wrap (0xFFFFF000 + 30000 = 0x6530).
TEST_F(ServiceWait, SimulatedClockTimesOutOnlyAfterMoreThan30000msAcrossTheWrap) {
  Start(L"zyhok_test_wait_clock", {L"2,1,0"});
  const std::vector<DWORD> scripts[] = {{1000, 20000, 31000, 31001},
                                        {0xFFFFF000, 0xFFFFFFFF, 0x10, 0x6530, 0x6531}};
  for (const std::vector<DWORD>& ticks : scripts) {
    SCOPED_TRACE(ticks[0]);
    size_t reading = 0;
    std::vector<DWORD> sleeps;
    const zyhok::ServiceWaitClock clock{[&] { return ticks[std::min(reading++, ticks.size() - 1)]; },
                                        [&](DWORD ms) { sleeps.push_back(ms); }};
    SetLastError(kUntouched);
    EXPECT_FALSE(zyhok::WaitForServiceState(service_->handle(), SERVICE_RUNNING, clock));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(sleeps, std::vector<DWORD>(ticks.size() - 2, 1000));
  }
}

// A stop whose wait fails: the test service answers the stop with STOP_PENDING at checkpoint 5 and
// falls back to 2 later.
TEST(TestServiceControl, StopWhoseWaitFailsGivesRequestTimeout) {
  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  TestService service(L"zyhok_test_control_back", {L"4,0,0"}, L"backwards");
  ASSERT_TRUE(service.created()) << GetLastError();
  ASSERT_TRUE(service.Start());
  LogCapture log;
  SetLastError(0);
  EXPECT_FALSE(zyhok::StopDriver(manager.get(), service.name().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_TRUE(log.Has(2, L"<== WaitForServiceState,Is Service Ok: 0")) << log.Dump();
}

}  // namespace
