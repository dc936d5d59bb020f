// The platform's host as it calls the plug-in: one long-lived process that loads it once, hands it batch
// after batch and reloads it when it is updated; and a host that loads it, hands it a record and unloads
// it, over and over. (A batch of another process after a takeover: concurrency_slow_test.)
#include <gtest/gtest.h>

#include <iostream>

#include "support/test_support.h"

namespace {

using namespace zyhok_test;

class HostModel : public ::testing::Test {
 protected:
  void SetUp() override { ResetDriverMachineState(); }
  void TearDown() override { ResetDriverMachineState(); }

  // "<level> <text>" of each line logged so far.
  std::vector<std::wstring> Story(size_t from = 0, size_t to = SIZE_MAX) const {
    std::vector<std::wstring> story;
    const std::vector<LogLine> lines = log_.Lines();
    for (size_t i = from; i < std::min(to, lines.size()); ++i) story.push_back(std::to_wstring(lines[i].level) + L" " + lines[i].text);
    return story;
  }

  TempDir packages_;
  const std::wstring v1_ = CopyPackage(packages_, L"v1"), v2_ = CopyPackage(packages_, L"v2");
  HostProcess host_{L"zyhok_long_host.exe"};
  LogCapture log_;
};

// Each load of the plug-in builds its environment table and, on a machine without the platform, says so.
const std::wstring kLoad = L"5 regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =SOFTWARE\\Velmora\\ZEFA";

// Install; the plug-in reloaded, as after its own update; update; uninstall; an uninstall with nothing
// installed: each batch's result, the machine after it and the status export, as a fresh host finds them.
TEST_F(HostModel, BatchAfterBatchFromOneProcess) {
  const std::wstring v1 = L" \"" + v1_ + L"\" ", v2 = L" \"" + v2_ + L"\" ";
  EXPECT_EQ(host_.Steps(L"0 0" + v1 + L"run reload 1 0" + v2 + L"run 2 0" + v2 + L"run 2 0" + v2 + L"run", log_.file()),
            std::vector<std::wstring>({
                L"result=201a0001 service=4 driver=v1 PermCount=1 InstalledByZefa=1 staged=2.5.1043,1.0.5, "
                L"status=e01a0004/1.6.1195",
                L"result=201a0001 service=4 driver=v2 PermCount=1 InstalledByZefa=1 staged=2.6.1100,1.0.6, "
                L"status=e01a0004/1.6.1200",
                L"result=201a0001 service=0 driver=none PermCount=- InstalledByZefa=- staged= status=e01a0009/1.0",
                L"result=e01a000c service=0 driver=none PermCount=- InstalledByZefa=- staged= status=e01a0009/1.0"}))
      << log_.Dump();
  for (const std::wstring& line : Story()) EXPECT_EQ(line.find(L"lifecycle lock"), line.npos) << WideToUtf8(line);
}

// Load, one record, unload, 1,100 times in one process (more than the process has thread-local slots):
// no slot, handle or memory is lost on the way, and the last cycle acts as the first. The record is an
// uninstall with nothing installed in cycles 1, 11, 21, ... and the last; action 7 (nothing but its two
// lines, through the batch's service-manager scope) in the others.
TEST_F(HostModel, LoadActUnloadOver1100Cycles) {
  const std::vector<std::wstring> out = host_.Steps(L"2 0 \"" + v1_ + L"\" cycles=1100", log_.file());
  ASSERT_EQ(out.size(), 114u) << WideToUtf8(out.empty() ? L"" : out.back());
  unsigned cycle[2], probe[2][4];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(std::swscanf(out[i ? 112 : 1].c_str(), L"cycle %u: slots=%u handles=%u heap=%u private=%u", &cycle[i],
                           &probe[i][0], &probe[i][1], &probe[i][2], &probe[i][3]), 5) << WideToUtf8(out[i ? 112 : 1]);
  }
  std::cout << "[ host ] " << WideToUtf8(out[1]) << "\n[ host ] " << WideToUtf8(out[112]) << "\n[ host ] "
            << WideToUtf8(out[113]) << "\n";
  EXPECT_EQ(cycle[1], 1100u);
  EXPECT_EQ(probe[1][0], probe[0][0]) << "free thread-local slots";
  EXPECT_EQ(probe[1][1], probe[0][1]) << "handles";
  EXPECT_LE(probe[1][2], probe[0][2] + 16384) << "heap bytes in use";
  EXPECT_LE(probe[1][3], probe[0][3] + 262144) << "committed private memory";
  size_t real = 0;
  for (const std::wstring& line : out) real += line.find(L": result=e01a000c") != line.npos;
  EXPECT_EQ(real, 111u);
  // The first cycle's story (from the load on) and the last one's.
  std::vector<size_t> batches;
  const std::vector<std::wstring> all = Story();
  for (size_t i = 1; i < all.size(); ++i) {
    if (all[i].rfind(L"2 ==> DoActionFromDrvInfo,", 0) == 0) batches.push_back(i - 1);
  }
  ASSERT_EQ(batches.size(), 1100u);
  const std::vector<std::wstring> first = Story(batches[0], batches[1]);
  EXPECT_EQ(first.front(), kLoad);
  EXPECT_EQ(Story(batches.back(), batches.back() + first.size()), first);
}

}  // namespace
