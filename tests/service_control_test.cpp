// The service-state wait against Wine's service manager, on a test service whose reported states the
// tests step through, and with a simulated clock; the lifecycle rows prove the driver's start and stop.
#include "service/drivermanage.h"
#include "support/test_support.h"
#include <algorithm>
#include <thread>

using namespace zyhok_test;
using Ticks = std::vector<DWORD>;

// A user-mode service running this test program with "--service" (the test support's service side), created under
// `name` (with the process id, clear of a service of an earlier run still going away) for the object's lifetime.
// `steps` are the states it reports ("state,checkpoint,wait hint", the first at once, one more per Step(); a stopped
// state ends it): {L"2,5,0", L"4,0,0"} is START_PENDING at checkpoint 5, then RUNNING. Each step is asked for and told
// by the events "Global\<name>_step" and "Global\<name>_stepped".
class TestService {
 public:
  TestService(const std::wstring& name, const std::vector<std::wstring>& steps, const std::wstring& stop = L"quick")
      : name_(name + L"_" + std::to_wstring(GetCurrentProcessId())),
        manager_(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)),
        step_(CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + name_ + L"_step").c_str())),
        stepped_(CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + name_ + L"_stepped").c_str())) {
    std::wstring command = L"\"" + SelfPath() + L"\" --service " + stop;
    for (const std::wstring& word : steps) command += L" " + word;
    service_.reset(CreateServiceW(manager_.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  }
  ~TestService() {
    SERVICE_STATUS status = {};
    if (!service_ || !QueryServiceStatus(service_.get(), &status)) return;
    if (status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(service_.get(), SERVICE_CONTROL_STOP, &status);
      WaitForState(service_.get(), SERVICE_STOPPED, 15000);
    }
    DeleteService(service_.get());
    service_.reset();
    WaitUntilDeleted(name_);
  }
  const std::wstring& name() const { return name_; }
  SC_HANDLE handle() const { return service_.get(); }  // with SERVICE_ALL_ACCESS
  // Starts the service and waits until it reported its first step; false when it was not created.
  bool Start() {
    return service_ && ResetEvent(stepped_.get()) && StartServiceW(service_.get(), 0, nullptr) && Stepped();
  }
  // Lets the service report its next step and waits until it did.
  bool Step() { return ResetEvent(stepped_.get()) && SetEvent(step_.get()) && Stepped(); }

 private:
  bool Stepped() { return WaitForSingleObject(stepped_.get(), 10000) == WAIT_OBJECT_0; }
  const std::wstring name_;
  const zyhok::UniqueScHandle manager_;
  zyhok::UniqueScHandle service_;
  const zyhok::UniqueKernelHandle step_, stepped_;
};
// Each row steps a test service ("state,checkpoint,wait hint" per step; a sleep of the wait lets it
// report the next one). The wait reads the clock for the deadline and once per unmet poll; it sleeps a
// tenth of the reported hint (truncated) within 1 to 10 s; unchanged or rising checkpoints, and a lower
// one in a new state, are progress; a checkpoint going back in one state ends it at once, error untouched.
TEST(ServiceWait, PollsByTheWaitHintAndStopsWhenTheServiceGoesBack) {
  const struct { const wchar_t* name; std::vector<std::wstring> steps; DWORD desired; BOOL reached;
                 Ticks sleeps; size_t clock_reads; } rows[] = {
      {L"zyhok_test_ready", {L"4,0,0"}, SERVICE_RUNNING, TRUE, {}, 1},
      {L"zyhok_test_hints",
       {L"2,1,0", L"2,2,10019", L"2,3,50000", L"2,4,4294967295", L"2,5,100010", L"2,6,20000", L"4,0,0"},
       SERVICE_RUNNING, TRUE, {1000, 1001, 5000, 10000, 10000, 2000}, 7},
      {L"zyhok_test_rise", {L"2,5,0", L"2,5,0", L"2,6,0", L"4,0,0"}, SERVICE_RUNNING, 1, Ticks(3, 1000), 4},
      {L"zyhok_test_state", {L"2,5,0", L"3,1,0", L"3,2,0", L"1,0,0"}, SERVICE_STOPPED, 1, Ticks(3, 1000), 4},
      {L"zyhok_test_back", {L"2,5,0", L"2,3,0", L"4,0,0"}, SERVICE_RUNNING, FALSE, {1000}, 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.name));
    TestService service(row.name, row.steps);
    ASSERT_TRUE(service.Start()) << GetLastError();
    LogCapture log;
    Ticks sleeps;
    size_t reads = 0;
    const zyhok::ServiceWaitClock clock{[&] {
                                          ++reads;
                                          return GetTickCount();
                                        },
                                        [&](DWORD ms) {
                                          sleeps.push_back(ms);
                                          EXPECT_TRUE(service.Step()) << "polled past the last step";
                                        }};
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(zyhok::WaitForServiceState(service.handle(), row.desired, clock), row.reached);
    if (!row.reached) EXPECT_EQ(GetLastError(), 0xDEADBEEFu);
    EXPECT_EQ(sleeps, row.sleeps);
    EXPECT_EQ(reads, row.clock_reads);
    EXPECT_EQ(log.Told(), std::vector<std::wstring>({L"2z ==> WaitForServiceState,timeout value: 0x7530",
                                                     std::wstring(L"2z <== WaitForServiceState,Is Service Ok: ") +
                                                         (row.reached ? L"0x1" : L"0")}));
  }
}
// A failed query ends the wait at once with its error. With sleeps that pass no time, the wait times out
// only after more than 30000 ms from the first reading (one on the deadline is in time), also when the
// deadline lies past the tick counter's wrap (0x6530). A stop whose wait fails (the service answers
// STOP_PENDING at checkpoint 5, then 2) gives ERROR_SERVICE_REQUEST_TIMEOUT, and so does a start whose
// service goes back from checkpoint 5 to 3 while the wait polls it.
TEST(ServiceWait, FailedQueryTimeOutAcrossTheWrapAndFailedStopAndStart) {
  TestService service(L"zyhok_test_clock", {L"2,1,0"});
  TestService stopping(L"zyhok_test_stop", {L"4,0,0"}, L"backwards");
  ASSERT_TRUE(service.Start() && stopping.Start());
  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  zyhok::UniqueScHandle start_only(OpenServiceW(manager.get(), service.name().c_str(), SERVICE_START));
  ASSERT_TRUE(start_only.valid()) << GetLastError();
  size_t reading = 0;
  Ticks ticks, sleeps;
  const zyhok::ServiceWaitClock clock{[&] { return ticks[std::min(reading++, ticks.size() - 1)]; },
                                      [&](DWORD ms) { sleeps.push_back(ms); }};
  const struct { SC_HANDLE handle; Ticks ticks; DWORD error; Ticks sleeps; } runs[] = {
      {start_only.get(), {1000}, ERROR_ACCESS_DENIED, {}},
      {service.handle(), {1000, 20000, 31000, 31001}, ERROR_TIMEOUT, {1000, 1000}},
      {service.handle(), {0xFFFFF000, 0xFFFFFFFF, 0x10, 0x6530, 0x6531}, ERROR_TIMEOUT, {1000, 1000, 1000}}};
  for (const auto& run : runs) {
    ticks = run.ticks;
    reading = 0;
    sleeps.clear();
    SetLastError(0);
    EXPECT_FALSE(zyhok::WaitForServiceState(run.handle, SERVICE_RUNNING, clock)) << run.ticks[0];
    EXPECT_EQ(GetLastError(), run.error) << run.ticks[0];
    EXPECT_EQ(sleeps, run.sleeps) << run.ticks[0];
  }
  SetLastError(0);
  EXPECT_FALSE(zyhok::StopDriver(manager.get(), stopping.name().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  TestService back(L"zyhok_test_back_start", {L"2,5,0", L"2,3,0"});
  std::thread stepper([&] {  // the wait polls every second: it has seen checkpoint 5 when it goes back
    SERVICE_STATUS s = {};
    for (int i = 0; i < 1000 && !(QueryServiceStatus(back.handle(), &s) && s.dwCheckPoint == 5); ++i) Sleep(10);
    Sleep(1500), back.Step();
  });
  LogCapture log;
  EXPECT_FALSE(zyhok::StartService(manager.get(), back.name().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  stepper.join();
  EXPECT_EQ(log.Told(), std::vector<std::wstring>({L"2z ==> WaitForServiceState,timeout value: 0x7530",
                                                   L"2z <== WaitForServiceState,Is Service Ok: 0",
                                                   L"3z WaitForServiceState(SERVICE_RUNNING) timeout!"}));
}
