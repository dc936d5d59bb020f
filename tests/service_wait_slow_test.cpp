// The one long service wait: a service that keeps reporting START_PENDING with a rising checkpoint is
// polled until the 30000 ms time-out has passed, and the start then fails.
#include <gtest/gtest.h>

#include "service/service.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;

TEST(ServiceWaitTimeout, StartOfAServiceThatNeverRunsFailsWithRequestTimeout) {
  TestService service(L"zyhok_test_wait_slow", {L"rise,0"});
  ASSERT_TRUE(service.created()) << GetLastError();
  zyhok::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager.valid()) << GetLastError();
  LogCapture log;
  SetLastError(0);
  EXPECT_FALSE(zyhok::StartService(manager.get(), service.name().c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"==> WaitForServiceState,timeout value: 0x7530",
                                                    L"<== WaitForServiceState,Is Service Ok: 0",
                                                    L"WaitForServiceState(SERVICE_RUNNING) timeout!"}))
      << log.Dump();
  EXPECT_EQ(log.Texts(3).size(), 1u) << log.Dump();
  // The service was still making progress: it timed out, it did not go backwards.
  const SERVICE_STATUS status = service.Status();
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_GT(status.dwCheckPoint, 1u);
}

}  // namespace
