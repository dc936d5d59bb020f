// The lifecycle as the host drives it: every row of the table puts the machine into a state, hands its records to the
// loaded plug-in's batch export (or, for a Windows version of its own, to a fresh host process), and compares the
// result, the whole machine after and the whole story with the row's. Everything runs against Wine's service manager,
// SetupAPI, registry and file system, with the test driver, whose DriverEntry result a row chooses, and copies of the
// two fixture packages.
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

class Lifecycle : public ::testing::TestWithParam<Scenario> {
 protected:
  void TearDown() override { ResetDriverMachineState(); }
  LoadedPlugin plugin_;
  ScenarioMachine world_;
};
TEST_P(Lifecycle, Scenario) {
  const Scenario& row = GetParam();
  ASSERT_TRUE(plugin_.loaded());
  ASSERT_TRUE(world_.Begin(row.before, plugin_));

  LogCapture log;
  const std::vector<zyhok::DrvInfo> records = world_.Records(row.records);
  if (!world_.host().empty()) {
    HostProcess host(L"zyhok_update_host.exe");
    ASSERT_NO_FATAL_FAILURE(
        host.SetWindows(world_.host().substr(0, 5), world_.host().find(L"manifest") != std::wstring::npos));
    EXPECT_EQ(host.Run(records, log.file()), row.result);
  } else if (!records.empty()) {
    EXPECT_EQ(plugin_.DoActions(records), row.result);
  } else {
    plugin_.Status();
  }
  world_.Release();
  world_.ExpectStory(log.file(), row.story);
  log.SetLevels(L"*=0");
  world_.ExpectMachine(row.after, plugin_);
}
std::string RowName(const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Rows, Lifecycle, ::testing::ValuesIn(LifecycleScenarios()), RowName);

}  // namespace
