// The exports as the host resolves them, apart from what the lifecycle rows prove: the plug-in's
// identity, the refused batches, and the status record's fixed fields and callback contract.
#include <gtest/gtest.h>
#include <cstring>

#include "support/test_support.h"

using namespace zyhok_test;

// The owner ID and module version (three numbers, the fourth slot untouched, a null pointer ignored)
// match the DLL's version resource; a batch of no records or of a null pointer is refused without a
// line or a service; the status export calls back once with the context, sets the fixed fields and
// terminates the version within its buffer, and returns its own result, not the callback's.
TEST(PluginExports, IdentityRefusedBatchesAndTheStatusRecord) {
  const std::wstring path = BinDir() + L"helperZYHOKDriver.dll";
  zyhok::UniqueModule dll(LoadLibraryW(path.c_str()));
  ASSERT_TRUE(dll.valid()) << GetLastError();
  auto resolve = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll.get(), name)); };
  auto owner_id = reinterpret_cast<uint32_t (*)()>(resolve("Plugin_Interface_GetHelperOwnerModuleID"));
  auto module_version = reinterpret_cast<void (*)(uint32_t*)>(resolve("Plugin_Interface_GetModuleVersion"));
  auto do_action = reinterpret_cast<uint32_t (*)(const zyhok::DrvInfo*, uint32_t)>(
      resolve("Plugin_Interface_DriversDoAction"));
  auto enumerate = reinterpret_cast<uint32_t (*)(zyhok::DrvStatusCallback, void*)>(
      resolve("Plugin_Interface_EnumerateDriversInfo"));
  ASSERT_TRUE(owner_id && module_version && do_action && enumerate);
  EXPECT_EQ(owner_id(), 20020u);
  uint32_t version[4] = {7, 7, 7, 0xDEADBEEF}, resource[3] = {};
  module_version(version);
  module_version(nullptr);
  EXPECT_EQ(std::vector<uint32_t>(version, version + 4), std::vector<uint32_t>({1, 6, 1195, 0xDEADBEEF}));
  ASSERT_TRUE(zyhok::GetFileVersionNumbers(path.c_str(), &resource[0], &resource[1], &resource[2]));
  EXPECT_EQ(std::vector<uint32_t>(resource, resource + 3), std::vector<uint32_t>({1, 6, 1195}));
  ResetDriverMachineState();
  LogCapture log;
  const zyhok::DrvInfo install = MakeRecord(kInstall, PackageDir(L"v1"));
  EXPECT_EQ(do_action(&install, 0), kFailed);
  EXPECT_EQ(do_action(nullptr, 2), kFailed);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  EXPECT_EQ(ServiceState(), 0u);
  std::vector<zyhok::DrvStatusInfo> received;  // the context: what the callback was handed
  EXPECT_EQ(enumerate([](const zyhok::DrvStatusInfo* info, void* context) -> uint32_t {
              return static_cast<std::vector<zyhok::DrvStatusInfo>*>(context)->push_back(*info), 0xFFFFFFFF;
            }, &received), kSuccess);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].driver_id, 0x48000165u);
  EXPECT_EQ(received[0].flag, 1u);
  EXPECT_NE(std::memchr(received[0].version, 0, sizeof(received[0].version)), nullptr);
}
