// The platform's host as it calls the plug-in, played by this long-lived process: it loads the plug-in
// once and hands it batch after batch, reloading it when it is updated; and it loads it, hands it a
// record and unloads it, over and over. (A batch of another process after a takeover: concurrency_slow_test.)
#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <set>

#include "support/test_support.h"

namespace {

using namespace zyhok_test;

struct HostModel : ::testing::Test {
  void SetUp() override { ResetDriverMachineState(); }
  void TearDown() override { ResetDriverMachineState(); }
  TempDir packages_;
  const std::wstring v1_ = CopyPackage(packages_, L"v1"), v2_ = CopyPackage(packages_, L"v2");
  LogCapture log_;
};

// What the host sees after a batch: its result, the service state, the driver file, the share values, the
// engine and add-on versions staged in the 64-bit tree and the status record.
std::string Seen(uint32_t result, const LoadedPlugin& plugin) {
  std::wstring seen = L" service=" + std::to_wstring(ServiceState()) + L" driver=" + InstalledDriver();
  for (const wchar_t* name : {L"PermCount", L"InstalledByZefa"}) {
    const RegValue value = ReadHklmValue(kDriverServiceKey, name);
    seen += L" " + std::wstring(name) + (value.error ? L"=-" : value == Dword(1) ? L"=1" : L"=other");
  }
  seen += L" staged=";
  for (const wchar_t* component : {L"\\20019\\ZyMon", L"\\20019\\AddOn"}) {
    for (const std::wstring& version : ListFolder(StagingTree64() + component)) seen += version + L",";
  }
  const zyhok::DrvStatusInfo status = plugin.Status();
  char text[256];
  std::snprintf(text, sizeof(text), "%x%s status=%x/%s", result, WideToUtf8(seen).c_str(), status.status,
                status.version);
  return text;
}

// Install; the plug-in reloaded, as after its own update; update; uninstall; an uninstall with nothing
// installed: each batch's result, the machine after it and the status export, as a fresh host finds them,
// and no batch waits for the lock that the one before it held.
TEST_F(HostModel, BatchAfterBatchFromOneProcess) {
  auto plugin = std::make_unique<LoadedPlugin>();
  const std::string none = " service=0 driver=none PermCount=- InstalledByZefa=- staged= status=e01a0009/1.0";
  const struct { uint32_t action; std::wstring package; bool reload; std::string seen; } batches[] = {
      {kInstall, v1_, false, "201a0001 service=4 driver=v1 PermCount=1 InstalledByZefa=1 staged=2.5.1043,1.0.5, "
                             "status=e01a0004/1.6.1195"},
      {1, v2_, true, "201a0001 service=4 driver=v2 PermCount=1 InstalledByZefa=1 staged=2.6.1100,1.0.6, "
                     "status=e01a0004/1.6.1200"},
      {kUninstall, v2_, false, "201a0001" + none}, {kUninstall, v2_, false, "e01a000c" + none}};
  for (const auto& batch : batches) {
    if (batch.reload) plugin.reset(), plugin = std::make_unique<LoadedPlugin>();
    EXPECT_EQ(Seen(plugin->Do(batch.action, batch.package), *plugin), batch.seen) << log_.Dump();
  }
  for (const std::wstring& text : log_.Texts()) EXPECT_EQ(text.find(L"lifecycle lock"), text.npos) << WideToUtf8(text);
}

// Free thread-local slots, open handles, and bytes in use on the process's heaps.
void Probe(size_t (&out)[3]) {
  DWORD slots[1100], flags, heaps = GetProcessHeaps(0, nullptr);
  for (out[0] = 0; out[0] < 1100 && (slots[out[0]] = TlsAlloc()) != TLS_OUT_OF_INDEXES;) ++out[0];
  for (size_t i = 0; i < out[0]; ++i) TlsFree(slots[i]);
  out[1] = out[2] = 0;
  for (uintptr_t h = 4; h < 0x4000; h += 4) out[1] += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags);
  std::vector<HANDLE> heap(heaps);
  for (heap.resize(GetProcessHeaps(heaps, heap.data())); !heap.empty(); heap.pop_back()) {
    PROCESS_HEAP_ENTRY e = {};
    while (HeapWalk(heap.back(), &e)) out[2] += e.wFlags & PROCESS_HEAP_ENTRY_BUSY ? e.cbData : 0;
  }
}

// Load, one record, unload, 1,100 times (more than a process has thread-local slots): after cycle 10 and
// after the last, the same free slots and handles and the heap's bytes in use within 16 KB; each load
// builds the environment table once; the last cycle acts as the first. The record is an uninstall with
// nothing installed in cycles 1, 11, 21, ... and the last, and of action 7 (nothing but its two lines,
// through the batch's service-manager scope) in the others.
TEST_F(HostModel, LoadActUnloadOver1100Cycles) {
  const zyhok::DrvInfo uninstall = MakeRecord(kUninstall, v1_), nothing = MakeRecord(7, v1_);
  std::set<uint32_t> results;
  size_t probes[2][3];
  const DWORD start = GetTickCount();
  for (int cycle = 1; cycle <= 1100; ++cycle) {
    const bool real = cycle % 10 == 1 || cycle == 1100;
    const uint32_t result = LoadedPlugin().DoActions(real ? &uninstall : &nothing, 1);
    if (real) results.insert(result);
    if (cycle % 1090 == 10) Probe(probes[cycle / 1100]);
  }
  std::cout << "[ host ] 1100 cycles in " << GetTickCount() - start << " ms; free slots, handles, heap bytes: "
            << probes[0][0] << ", " << probes[0][1] << ", " << probes[0][2] << " after cycle 10, " << probes[1][0]
            << ", " << probes[1][1] << ", " << probes[1][2] << " after 1100\n";
  EXPECT_TRUE(probes[1][0] == probes[0][0] && probes[1][1] == probes[0][1] && probes[1][2] <= probes[0][2] + 16384);
  EXPECT_EQ(results, std::set<uint32_t>({kFailed}));
  // Each cycle's story from its load on: the first one's and the last one's.
  std::vector<std::wstring> story;
  std::vector<size_t> loads;
  const std::wstring load = L"5 regKey.Open() fail!\nopen  HKEY_LOCAL_MACHINE  fail!\nkey =SOFTWARE\\Velmora\\ZEFA";
  for (const LogLine& line : log_.Lines()) {
    if (story.emplace_back(std::to_wstring(line.level) + L" " + line.text) == load) loads.push_back(story.size() - 1);
  }
  ASSERT_EQ(loads.size(), 1100u);
  EXPECT_EQ(std::vector<std::wstring>(story.begin() + loads.back(), story.end()),
            std::vector<std::wstring>(story.begin(), story.begin() + loads[1]));
}

}  // namespace
