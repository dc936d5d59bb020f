// An action cut short at any step and run again ends where the lifecycle table's uncut row ends: the
// row's result and its whole machine, with nothing queued for the next reboot. For every line n of the
// row's story, a host process that the log library ends at line n (ZYJOURNAL_CUT) must have told the
// story's first n - 1 lines; then a second host process runs the record again. Also, a different action
// after a dead one: it must finish the dead action's work as the uncut rows would have left the machine.
#include "support/test_support.h"
#include <algorithm>
#include <iostream>

namespace {

using namespace zyhok_test;

struct Row {
  const char* scenario;  // the lifecycle row whose action is cut
  // From the first line starting with `settled` on, the action has completed, so a second run is a second
  // action; `repair` (a record on the same package) must then bring the machine to the `repaired` one.
  const wchar_t* settled = nullptr;
  uint32_t repair = 0;
  const wchar_t* repaired = nullptr;
};
const Row kRows[] = {
    {"FreshInstall"},
    {"UpdateOfTheRunningDriver"},
    // A second give-up of the share is a removal: only a new install brings the driver back.
    {"UninstallGivesUpTheShareWhileAnotherHolderRemains", L"2z <== DoActionFromDrvInfo", kInstall, L"v1"},
};
class Interruption : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(plugin_.loaded()); }
  void TearDown() override { ResetDriverMachineState(); }

  // One record in a fresh host process, cut at line `cut` (0: not cut), logging to `log`.
  uint32_t Run(const Rec& rec, size_t cut, const std::wstring& log) {
    return host_.Run(world_.Records({rec}), log, {L"ZYJOURNAL_CUT=" + std::to_wstring(cut)});
  }

  LoadedPlugin plugin_;
  ScenarioMachine world_;
  TempDir logs_;
  HostProcess host_{L"zyhok_cut_host.exe"};
};
TEST_F(Interruption, EveryCutPointEndsAsTheUncutRowWhenTheActionIsRunAgain) {
  for (const Row& row : kRows) {
    const Scenario& s = LifecycleScenario(row.scenario);
    SCOPED_TRACE(s.name);
    const std::vector<std::wstring> story = world_.Story({L"load", L"row " + Utf8ToWide(s.name)});
    const auto settles = [&](const std::wstring& line) { return row.settled && line.rfind(row.settled, 0) == 0; };
    const size_t settled = std::find_if(story.begin(), story.end(), settles) - story.begin();
    size_t converged = 0, same = 0;
    std::string after_previous_cut;
    for (size_t cut = 1; cut <= story.size(); ++cut) {
      SCOPED_TRACE("cut at line " + std::to_string(cut) + ": " + WideToUtf8(story[cut - 1]));
      ASSERT_TRUE(world_.Begin(s.before, plugin_));
      const std::wstring log = logs_ / Utf8ToWide(s.name) + std::to_wstring(cut);
      EXPECT_EQ(Run(s.records[0], cut, log + L".cut"), 0xDEADu);
      EXPECT_TRUE(Told(log + L".cut") == std::vector<std::wstring>(story.begin(), story.begin() + (cut - 1)));
      // A cut that leaves the machine as the cut before it did (only logging happened in between) is
      // followed by the same second run: that run is made only after lines that follow a change.
      const std::string after_cut = MachineDiff({}, world_.Observe(plugin_, {}));
      if (after_cut == after_previous_cut && cut <= settled) {
        ++same;
        continue;
      }
      after_previous_cut = after_cut;
      if (cut > settled) {
        Run(s.records[0], 0, log + L".again");
        EXPECT_EQ(Run({row.repair, s.records[0].path}, 0, log + L".repair"), kSuccess);
        world_.ExpectMachine(row.repaired, plugin_);
        continue;
      }
      EXPECT_EQ(Run(s.records[0], 0, log + L".again"), s.result);
      world_.ExpectMachine(s.after, plugin_);
      converged += !HasFailure();
    }
    std::cout << "[ cut points ] " << s.name << ": " << story.size() << " cut points, " << converged << " run again ("
              << same << " left the machine as the cut before), " << story.size() - settled << " repaired\n";
  }
}
// A different action after a dead one finishes what the dead one left: an uninstall that only gives up the
// share after an update cut once the old driver was stopped, then the update again (which takes the share
// back), leave the updated driver running and no v1 copy. (An uninstall that removes the driver retires
// whatever its staging trees hold, journalled or not: the lifecycle rows.)
TEST_F(Interruption, ADifferentActionAfterADeadOneFinishesItsWork) {
  const std::vector<std::wstring> story = world_.Story({L"load", L"row UpdateOfTheRunningDriver"});
  const auto line = [&](const wchar_t* text) {
    return std::find(story.begin(), story.end(), text) - story.begin() + 1;
  };
  ASSERT_TRUE(world_.Begin(L"v1 PermCount=2", plugin_));
  EXPECT_EQ(Run({1, L"%V2%"}, line(L"2z Success to stop original driver: zyhok"), logs_ / L"update2"), 0xDEADu);
  EXPECT_EQ(Run({kUninstall, L"%V2%"}, 0, logs_ / L"uninstall2"), kSuccess);
  EXPECT_EQ(Run({1, L"%V2%"}, 0, logs_ / L"update3"), kSuccess);
  world_.ExpectMachine(L"v2 inf=v1 PermCount=2", plugin_);
}

}  // namespace
