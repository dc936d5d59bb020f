// Service control against Wine's real service control manager: the wait on a user-mode test service
// whose reported states the tests step through, and start, stop, query and existence on the real
// zyhok driver service of the fixture package.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "service/service.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr wchar_t kNoSuchService[] = L"zyhok_no_such_service";
constexpr DWORD kUntouched = 0xDEADBEEF;

TEST(ServicePollInterval, IsATenthOfTheWaitHintBetweenOneAndTenSeconds) {
  EXPECT_EQ(zyhok::ServicePollInterval(0), 1000u);
  EXPECT_EQ(zyhok::ServicePollInterval(9999), 1000u);
  EXPECT_EQ(zyhok::ServicePollInterval(10000), 1000u);
  EXPECT_EQ(zyhok::ServicePollInterval(10019), 1001u);
  EXPECT_EQ(zyhok::ServicePollInterval(50000), 5000u);
  EXPECT_EQ(zyhok::ServicePollInterval(100009), 10000u);
  EXPECT_EQ(zyhok::ServicePollInterval(100010), 10000u);
  EXPECT_EQ(zyhok::ServicePollInterval(500000), 10000u);
  EXPECT_EQ(zyhok::ServicePollInterval(0xFFFFFFFF), 10000u);
}

// Runs a test service through a script of steps, counts the clock readings and records the sleeps of
// a wait; a sleep lets the service report its next step instead of passing time.
class ServiceWait : public ::testing::Test {
 protected:
  void StartScript(const wchar_t* name, const std::vector<std::wstring>& steps) {
    service_ = std::make_unique<TestService>(name, steps);
    ASSERT_TRUE(service_->created()) << GetLastError();
    ASSERT_TRUE(service_->Start());
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
  BOOL WaitStepping(DWORD desired_state) {
    return zyhok::WaitForServiceState(service_->handle(), desired_state, SteppingClock());
  }
  // A clock that reads the given ticks in turn (the last one repeats); sleeps pass no time.
  BOOL WaitSimulated(DWORD desired_state, std::vector<DWORD> ticks) {
    ticks_ = std::move(ticks);
    const zyhok::ServiceWaitClock clock{
        [this] {
          const DWORD tick = ticks_[now_calls_ < ticks_.size() ? now_calls_ : ticks_.size() - 1];
          ++now_calls_;
          return tick;
        },
        [this](DWORD ms) { sleeps_.push_back(ms); }};
    return zyhok::WaitForServiceState(service_->handle(), desired_state, clock);
  }

  LogCapture log_;
  std::unique_ptr<TestService> service_;
  std::vector<DWORD> sleeps_;
  size_t now_calls_ = 0;
  std::vector<DWORD> ticks_;
};

TEST_F(ServiceWait, StateAlreadyReachedNeedsOneQueryAndNoSleep) {
  ASSERT_NO_FATAL_FAILURE(StartScript(L"zyhok_test_wait_ready", {L"4,0,0"}));
  EXPECT_TRUE(WaitStepping(SERVICE_RUNNING));
  EXPECT_TRUE(sleeps_.empty());
  EXPECT_EQ(now_calls_, 1u) << "only the deadline is read";
  EXPECT_EQ(log_.Texts(2), (std::vector<std::wstring>{L"==> WaitForServiceState,timeout value: 0x7530",
                                                       L"<== WaitForServiceState,Is Service Ok: 0x1"}))
      << log_.Dump();
}

TEST_F(ServiceWait, PollsEveryTenthOfTheReportedWaitHintWithinOneToTenSeconds) {
  ASSERT_NO_FATAL_FAILURE(StartScript(
      L"zyhok_test_wait_hints", {L"2,1,0", L"2,2,50000", L"2,3,500000", L"2,4,20000", L"4,0,0"}));
  EXPECT_TRUE(WaitStepping(SERVICE_RUNNING));
  EXPECT_EQ(sleeps_, (std::vector<DWORD>{1000, 5000, 10000, 2000}));
}

TEST_F(ServiceWait, ProgressKeepsTheWaitGoing) {
  // Unchanged and rising checkpoints in one state.
  ASSERT_NO_FATAL_FAILURE(
      StartScript(L"zyhok_test_wait_rising", {L"2,5,0", L"2,5,0", L"2,6,0", L"4,0,0"}));
  EXPECT_TRUE(WaitStepping(SERVICE_RUNNING));
  EXPECT_EQ(sleeps_.size(), 3u);

  // START_PENDING at checkpoint 5, then STOP_PENDING at 1 and 2: a lower checkpoint in another
  // state is progress, not a step back.
  sleeps_.clear();
  ASSERT_NO_FATAL_FAILURE(
      StartScript(L"zyhok_test_wait_newstate", {L"2,5,0", L"3,1,0", L"3,2,0", L"1,0,0"}));
  EXPECT_TRUE(WaitStepping(SERVICE_STOPPED));
  EXPECT_EQ(sleeps_.size(), 3u);
}

TEST_F(ServiceWait, CheckpointGoingBackwardsInTheSameStateEndsTheWaitAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartScript(L"zyhok_test_wait_backwards", {L"2,5,0", L"2,3,0", L"4,0,0"}));
  SetLastError(kUntouched);
  EXPECT_FALSE(WaitStepping(SERVICE_RUNNING));
  EXPECT_EQ(GetLastError(), kUntouched) << "the wait sets no error of its own here";
  EXPECT_EQ(sleeps_.size(), 1u);
  EXPECT_EQ(service_->Status().dwCheckPoint, 3u);
  EXPECT_TRUE(log_.Has(2, L"<== WaitForServiceState,Is Service Ok: 0")) << log_.Dump();
}

TEST_F(ServiceWait, FailedQueryEndsTheWaitWithTheQueryError) {
  ASSERT_NO_FATAL_FAILURE(StartScript(L"zyhok_test_wait_noquery", {L"2,1,0", L"4,0,0"}));
  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  zyhok::UniqueScHandle start_only(
      OpenServiceW(manager.get(), service_->name().c_str(), SERVICE_START));
  ASSERT_TRUE(start_only.valid()) << GetLastError();
  EXPECT_FALSE(zyhok::WaitForServiceState(start_only.get(), SERVICE_RUNNING, SteppingClock()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sleeps_.empty());
  EXPECT_TRUE(log_.Has(2, L"<== WaitForServiceState,Is Service Ok: 0")) << log_.Dump();
}

TEST_F(ServiceWait, SimulatedClockTimesOutOnlyAfterMoreThan30000ms) {
  ASSERT_NO_FATAL_FAILURE(StartScript(L"zyhok_test_wait_clock", {L"2,1,0"}));
  SetLastError(kUntouched);
  // Deadline 1000 + 30000: a reading of exactly 31000 is still in time, 31001 is late.
  EXPECT_FALSE(WaitSimulated(SERVICE_RUNNING, {1000, 20000, 31000, 31001}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(sleeps_, (std::vector<DWORD>{1000, 1000}));
}

TEST_F(ServiceWait, SimulatedClockKeepsWaitingAcrossTheTickCounterWrap) {
  ASSERT_NO_FATAL_FAILURE(StartScript(L"zyhok_test_wait_wrap", {L"2,1,0"}));
  // Deadline 0xFFFFF000 + 30000 wraps to 0x6530.
  EXPECT_FALSE(WaitSimulated(SERVICE_RUNNING, {0xFFFFF000, 0xFFFFFFFF, 0x10, 0x6530, 0x6531}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(sleeps_.size(), 3u);
}

// StartService and StopDriver on the user-mode test service (real waits, real sleeps).
class TestServiceControl : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(manager_.valid()) << GetLastError(); }
  zyhok::UniqueScHandle manager_{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  LogCapture log_;
};

TEST_F(TestServiceControl, StartWaitsUntilRunningAndStopUntilStopped) {
  TestService service(L"zyhok_test_control", {L"4,0,0"});
  ASSERT_TRUE(service.created()) << GetLastError();
  EXPECT_TRUE(zyhok::StartService(manager_.get(), service.name().c_str()));
  EXPECT_EQ(service.Status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(log_.Has(2, L"<== WaitForServiceState,Is Service Ok: 0x1")) << log_.Dump();
  EXPECT_TRUE(zyhok::StopDriver(manager_.get(), service.name().c_str()));
  EXPECT_EQ(service.Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(TestServiceControl, StopWhoseWaitFailsGivesRequestTimeout) {
  // The service answers the stop with STOP_PENDING at checkpoint 5 and falls back to 2 later.
  TestService service(L"zyhok_test_control_back", {L"4,0,0"}, L"backwards");
  ASSERT_TRUE(service.created()) << GetLastError();
  ASSERT_TRUE(service.Start());
  SetLastError(0);
  EXPECT_FALSE(zyhok::StopDriver(manager_.get(), service.name().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_TRUE(log_.Has(2, L"<== WaitForServiceState,Is Service Ok: 0")) << log_.Dump();
}

// The real zyhok driver service of the v1 package, installed for each case and removed afterwards.
class DriverServiceControl : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveDriverService();
    InstallDriverByInf(PackageDir(L"v1"));
    ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  }
  void TearDown() override { RemoveDriverService(PackageDir(L"v1")); }
};

TEST_F(DriverServiceControl, StartQueryAndStopTheDriver) {
  LogCapture log;
  EXPECT_TRUE(zyhok::IsDriverExist(L"zyhok"));
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"==> IsDriverExist,",
                                                    L"try to opens an existing service: zyhok",
                                                    L"<== IsDriverExist,The service: zyhok exists"}))
      << log.Dump();

  SERVICE_STATUS status = {};
  ASSERT_TRUE(zyhok::QueryDriverStatus(L"zyhok", &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  log.Clear();
  EXPECT_TRUE(zyhok::StartDriverService(L"zyhok"));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"==> StartDriverService,Driver Name:zyhok",
                                                    L"==> WaitForServiceState,timeout value: 0x7530",
                                                    L"<== WaitForServiceState,Is Service Ok: 0x1",
                                                    L"<== StartDriverService,bResult: 0x1"}))
      << log.Dump();
  ASSERT_TRUE(zyhok::QueryDriverStatus(L"zyhok", &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // Already running: success without a wait.
  log.Clear();
  EXPECT_TRUE(zyhok::StartDriverService(L"zyhok"));
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"==> StartDriverService,Driver Name:zyhok",
                                                    L"<== StartDriverService,bResult: 0x1"}))
      << log.Dump();

  EXPECT_FALSE(zyhok::IsDriverInstanceRunning(L"zyhok"));
  EXPECT_TRUE(zyhok::StopDriverService(L"zyhok"));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));

  // A second stop is refused by the service manager; the reason goes to standard output only.
  log.Clear();
  SetLastError(0);
  CaptureStdout();
  const BOOL stopped = zyhok::StopDriverService(L"zyhok");
  const DWORD error = GetLastError();
  EXPECT_EQ(GetCapturedStdout(), "ControlService failed! function:StopDriver Error = 1062 \n");
  EXPECT_FALSE(stopped);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST_F(DriverServiceControl, RefusedStartKeepsTheWindowsErrorOfTheDriver) {
  struct Case {
    DWORD ntstatus;
    DWORD error;
    const wchar_t* logged;
  } cases[] = {{0xC0000058, 1305, L"0x519"}, {0xC000036C, 1275, L"0x4fb"}, {0xC0000001, 31, L"0x1f"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    SetDriverEntryStatus(c.ntstatus);
    LogCapture log;
    SetLastError(0);
    CaptureStdout();
    const BOOL started = zyhok::StartDriverService(L"zyhok");
    const DWORD error = GetLastError();
    EXPECT_EQ(GetCapturedStdout(),
              "ControlService failed! function:StartService Error = " + std::to_string(c.error) + " \n");
    EXPECT_FALSE(started);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(log.Texts(5), (std::vector<std::wstring>{
                                std::wstring(L"ControlService failed! function:StartService, error code: ") +
                                c.logged}))
        << log.Dump();
    EXPECT_TRUE(log.Has(2, L"<== StartDriverService,bResult: 0")) << log.Dump();
    EXPECT_FALSE(log.HasPart(2, L"WaitForServiceState")) << log.Dump();
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  }
}

TEST_F(DriverServiceControl, StopIsRefusedWhileAClientInstanceMailslotExists) {
  ASSERT_TRUE(StartDriver());
  for (const wchar_t* slot : {L"\\\\.\\mailslot\\zyhok_INSTANCE15", L"\\\\.\\mailslot\\zyhok_INSTANCE0"}) {
    SCOPED_TRACE(WideToUtf8(slot));
    zyhok::UniqueFileHandle instance(CreateMailslotW(slot, 0, 0, nullptr));
    ASSERT_TRUE(instance.valid()) << GetLastError();
    EXPECT_TRUE(zyhok::IsDriverInstanceRunning(L"zyhok"));
    SetLastError(0);
    EXPECT_FALSE(zyhok::StopDriverService(L"zyhok"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING)) << "a control reached the driver";
  }
  EXPECT_FALSE(zyhok::IsDriverInstanceRunning(L"zyhok"));
  EXPECT_TRUE(zyhok::StopDriverService(L"zyhok"));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(ServiceControlBadInput, NullOrEmptyNamesGiveFalse) {
  LogCapture log;
  SERVICE_STATUS status = {};
  EXPECT_FALSE(zyhok::StartDriverService(nullptr));
  EXPECT_FALSE(zyhok::StartDriverService(L""));
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"==> StartDriverService,Driver Name:(NULL)",
                                                    L"==> StartDriverService,Driver Name:"}))
      << log.Dump();
  log.Clear();
  EXPECT_FALSE(zyhok::StopDriverService(nullptr));
  EXPECT_FALSE(zyhok::StopDriverService(L""));
  EXPECT_FALSE(zyhok::QueryDriverStatus(nullptr, &status));
  EXPECT_FALSE(zyhok::QueryDriverStatus(L"", &status));
  EXPECT_FALSE(zyhok::QueryDriverStatus(L"zyhok", nullptr));
  EXPECT_FALSE(zyhok::IsDriverInstanceRunning(nullptr));
  EXPECT_FALSE(zyhok::IsDriverInstanceRunning(L""));
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();

  EXPECT_FALSE(zyhok::IsDriverExist(nullptr));
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"==> IsDriverExist,",
                                                    L"<== IsDriverExist,The service: (NULL) does not exist"}))
      << log.Dump();

  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager.valid());
  EXPECT_FALSE(zyhok::StartService(manager.get(), nullptr));
  EXPECT_FALSE(zyhok::StopDriver(manager.get(), nullptr));
}

TEST(ServiceControlBadInput, UnknownServiceFailsWithServiceDoesNotExist) {
  LogCapture log;
  SERVICE_STATUS status = {};
  const DWORD expected = ERROR_SERVICE_DOES_NOT_EXIST;

  SetLastError(0);
  EXPECT_FALSE(zyhok::StartDriverService(kNoSuchService));
  EXPECT_EQ(GetLastError(), expected);
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{
                             L"==> StartDriverService,Driver Name:zyhok_no_such_service",
                             L"<== StartDriverService,bResult: 0"}))
      << log.Dump();

  SetLastError(0);
  EXPECT_FALSE(zyhok::StopDriverService(kNoSuchService));
  EXPECT_EQ(GetLastError(), expected);
  SetLastError(0);
  EXPECT_FALSE(zyhok::QueryDriverStatus(kNoSuchService, &status));
  EXPECT_EQ(GetLastError(), expected);

  log.Clear();
  SetLastError(0);
  EXPECT_FALSE(zyhok::IsDriverExist(kNoSuchService));
  EXPECT_EQ(GetLastError(), expected);
  EXPECT_EQ(log.Texts(5), (std::vector<std::wstring>{L"OpenService failed. error code: 0x424"}))
      << log.Dump();
  EXPECT_EQ(log.Texts(2), (std::vector<std::wstring>{
                              L"==> IsDriverExist,", L"try to opens an existing service: zyhok_no_such_service",
                              L"<== IsDriverExist,The service: zyhok_no_such_service does not exist"}))
      << log.Dump();
}

}  // namespace
