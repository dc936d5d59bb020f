// The service-state wait against Wine's service manager, on a test service that never gets ready, with a
// simulated clock. The lifecycle rows prove the waits of the driver's start and stop; a kernel driver reports
// no checkpoints or wait hints (it runs once its DriverEntry has returned, and stops when it is unloaded), so
// what is left to prove here is that a wait ends: at a failed query, and after 30 s.
#include "service/drivermanage.h"
#include "support/test_support.h"
#include <algorithm>

using namespace zyhok_test;
using Ticks = std::vector<DWORD>;

// A user-mode service running this test program with "--service" (the test support's service side, which stays
// START_PENDING until it is stopped), created under `name` (with the process id, clear of a service of an earlier
// run still going away) for the object's lifetime.
class TestService {
 public:
  explicit TestService(const std::wstring& name)
      : name_(name + L"_" + std::to_wstring(GetCurrentProcessId())),
        manager_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    const std::wstring command = L"\"" + SelfPath() + L"\" --service";
    service_.reset(CreateServiceW(manager_.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  }
  ~TestService() {
    SERVICE_STATUS status = {};
    if (!service_) return;
    ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
    WaitForState(service_.get(), SERVICE_STOPPED, 15000);
    DeleteService(service_.get());
    service_.reset();
    WaitUntilDeleted(name_);
  }
  // Starts the service; false when it was not created or did not report itself pending.
  bool Start() {
    return service_ && StartServiceW(service_.get(), 0, nullptr) &&
           WaitForState(service_.get(), SERVICE_START_PENDING, 10000);
  }
  const std::wstring& name() const { return name_; }
  SC_HANDLE handle() const { return service_.get(); }  // with SERVICE_ALL_ACCESS

 private:
  const std::wstring name_;
  const zyhok::UniqueScHandle manager_;
  zyhok::UniqueScHandle service_;
};
// With sleeps that pass no time, the wait for a service that stays pending times out only after more than 30000 ms
// from the first reading (one on the deadline is in time), also when the deadline lies past the tick counter's wrap
// (0x6530), sleeping 1 s a poll (the service gives no wait hint); a query that fails (a handle without the right to
// query) ends the wait at once with its error. Each wait logs its entry and its exit, which says it failed.
TEST(ServiceWait, EndsAtAFailedQueryAndAfter30sAcrossTheWrap) {
  TestService service(L"zyhok_test_pending");
  ASSERT_TRUE(service.Start()) << GetLastError();
  const zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const zyhok::UniqueScHandle start_only(OpenServiceW(manager.get(), service.name().c_str(), SERVICE_START));
  ASSERT_TRUE(start_only.valid()) << GetLastError();
  size_t reading = 0;
  Ticks ticks, sleeps;
  const zyhok::ServiceWaitClock clock{[&] { return ticks[std::min(reading++, ticks.size() - 1)]; },
                                      [&](DWORD ms) { sleeps.push_back(ms); }};
  const struct {
    SC_HANDLE handle;
    Ticks ticks;
    DWORD error;
    Ticks sleeps;
  } runs[] = {{start_only.get(), {1000}, ERROR_ACCESS_DENIED, {}},
              {service.handle(), {1000, 20000, 31000, 31001}, ERROR_TIMEOUT, {1000, 1000}},
              {service.handle(), {0xFFFFF000, 0xFFFFFFFF, 0x10, 0x6530, 0x6531}, ERROR_TIMEOUT, {1000, 1000, 1000}}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.ticks[0]);
    ticks = run.ticks;
    reading = 0;
    sleeps.clear();
    LogCapture log;
    SetLastError(0);
    EXPECT_FALSE(zyhok::WaitForServiceState(run.handle, SERVICE_RUNNING, clock));
    EXPECT_EQ(GetLastError(), run.error);
    EXPECT_EQ(sleeps, run.sleeps);
    EXPECT_EQ(log.Told(), std::vector<std::wstring>({L"2z ==> WaitForServiceState,timeout value: 0x7530",
                                                     L"2z <== WaitForServiceState,Is Service Ok: 0"}));
  }
}
