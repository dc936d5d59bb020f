// An action cut short at any step and run again leaves the machine as one uninterrupted run (the
// reference) does. For every line n of the reference's log: a run that the log library ends at line n
// (ZYJOURNAL_CUT), then a run without a cut, each in a fresh host process. Compared: result, service state,
// driver bytes, staging trees, service key values, package folders and the access change's entry lines
// (Wine keeps no DACL on services). No cut and no second run queues a deletion for the next reboot.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "support/test_support.h"

namespace {

using namespace zyhok_test;

struct Row {
  const char* name;
  const wchar_t* installed;  // the package the plug-in installs first (running), or none
  bool shared;               // another holder's share too: PermCount = 2
  uint32_t action;
  const wchar_t* package;
  // From the first line starting with `settled` on, the action has completed and left the machine as
  // the uninterrupted run does, so a second run is a second action. Where that does not converge,
  // `repair` (an action on the same package) must bring both machines to the same state.
  const wchar_t* settled = nullptr;
  uint32_t repair = 0;
};

const Row kRows[] = {
    {"InstallOnACleanMachine", nullptr, false, kInstall, L"v1"},
    {"UpdateOfTheRunningV1ToV2", L"v1", false, 1, L"v2"},
    // A second give-up of the share is a removal: only a new install brings the driver back.
    {"UninstallOfThePlatformsShareOfTheRunningV2", L"v2", true, kUninstall, L"v2", L"<== DoActionFromDrvInfo",
     kInstall},
};

class Interruption : public ::testing::TestWithParam<Row> {
 protected:
  void TearDown() override { ResetDriverMachineState(); }

  void Prepare() {
    ResetDriverMachineState();
    // A cut run leaves the lock marked held; taken over here, the next run starts as the reference did.
    { const zyhok::LifecycleLock settle; }
    if (GetParam().installed == nullptr) return;
    ASSERT_EQ(plugin_.Do(kInstall, Package(GetParam().installed)), kSuccess);
    ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    if (GetParam().shared) ASSERT_EQ(WriteHklmValue(kDriverServiceKey, L"PermCount", Dword(2)), ERROR_SUCCESS);
  }

  std::wstring Package(const std::wstring& version) const { return version == L"v1" ? v1_ : v2_; }

  // Runs a record on the row's package in a fresh host process.
  uint32_t Run(const std::wstring& log, const std::wstring& cut, uint32_t action) {
    return host_.Run({MakeRecord(action, Package(GetParam().package))}, log, {L"ZYJOURNAL_CUT=" + cut});
  }

  // The machine now, with the result and the access changes of the run that logged to `log`.
  std::string Machine(uint32_t result, const std::wstring& log) const {
    std::wostringstream out;
    out << L"result " << std::hex << result << L"\n" << DescribeMachine(packages_.path());
    out << L"access changes\n";
    for (const std::wstring& text : LogTexts(log)) {
      if (text.rfind(AccessChangeLine(true).substr(0, 60), 0) == 0) out << L"  " << text << L"\n";
    }
    return WideToUtf8(out.str());
  }

  LoadedPlugin plugin_;
  TempDir packages_, logs_;
  const std::wstring v1_ = CopyPackage(packages_, L"v1"), v2_ = CopyPackage(packages_, L"v2");
  HostProcess host_{L"zyhok_cut_host.exe"};
};

TEST_P(Interruption, EveryCutPointConvergesWhenTheActionIsRunAgain) {
  const Row& row = GetParam();
  ASSERT_TRUE(plugin_.loaded());
  ASSERT_NO_FATAL_FAILURE(Prepare());
  // The machine after an uninterrupted run of action `a` that logs to `log`.
  const auto run = [&](const std::wstring& log, uint32_t a) { return Machine(Run(log, L"", a), log); };
  const std::string reference = run(logs_ / L"reference", row.action);
  const std::vector<std::wstring> steps = LogTexts(logs_ / L"reference");
  ASSERT_TRUE(reference.rfind("result 201a0001\n", 0) == 0 && steps.size() > 2) << reference;
  size_t settled = steps.size();  // index of the line from which on the action has completed
  for (size_t i = steps.size(); row.settled != nullptr && i-- > 0;) {
    if (steps[i].rfind(row.settled, 0) == 0) settled = i;
  }
  const std::string repaired = row.settled ? run(logs_ / L"repair", row.repair) : "";

  // A cut that leaves the same machine as the cut before it (nothing but logging happened between the two
  // lines) is followed by the same second run: that run is made only after lines that follow a change.
  size_t converged = 0, queued_extra = 0, repairs = 0, same = 0;
  std::string after_previous_cut;
  bool previous_converged = false;
  for (size_t cut = 1; cut <= steps.size(); ++cut) {
    SCOPED_TRACE("cut at line " + std::to_string(cut) + ": " + WideToUtf8(steps[cut - 1]));
    ASSERT_NO_FATAL_FAILURE(Prepare());
    const size_t queued_before = PendingDeletions().size();
    const std::wstring log = logs_ / std::to_wstring(cut);
    EXPECT_EQ(Run(log + L".cut", std::to_wstring(cut), row.action), 0xDEADu);
    EXPECT_EQ(LogTexts(log + L".cut"), std::vector<std::wstring>(steps.begin(), steps.begin() + (cut - 1)));
    const std::string after_cut = Machine(0, L"") + std::to_string(PendingDeletions().size());
    if (after_cut == after_previous_cut && cut <= settled) {
      ++same;
      converged += previous_converged;
      continue;
    }
    after_previous_cut = after_cut;
    const std::string machine = run(log + L".again", row.action);
    previous_converged = machine == reference;
    queued_extra += PendingDeletions().size() - queued_before;
    if (machine != reference && cut > settled) {
      EXPECT_EQ(run(log + L".repair", row.repair), repaired) << "after the repair";
      ++repairs;
      continue;
    }
    EXPECT_EQ(machine, reference);
    if (machine == reference) ++converged;
  }
  std::cout << "[ cut points ] " << row.name << ": " << steps.size() << " cut points, " << converged
            << " converged (" << same << " left the machine as the cut before), " << repairs
            << " repaired by action " << row.repair << "; cut and second runs queued " << queued_extra
            << " entries for deletion at reboot\n";
  EXPECT_EQ(queued_extra, 0u) << "nothing here holds a file: nothing need wait for a reboot";
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Actions, Interruption, ::testing::ValuesIn(kRows), RowName);

}  // namespace
