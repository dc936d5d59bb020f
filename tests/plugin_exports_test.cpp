// The exports as the host resolves them, apart from what the lifecycle rows prove (the status record,
// its fixed fields and callback contract): the plug-in's identity and the refused batches.
#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace zyhok_test;

// The owner ID and module version (three numbers, the fourth slot untouched, a null pointer ignored)
// match the DLL's version resource; a batch of no records or of a null pointer is refused without a
// line or a service.
TEST(PluginExports, IdentityAndRefusedBatches) {
  const std::wstring path = BinDir() + L"helperZYHOKDriver.dll";
  zyhok::UniqueModule dll(LoadLibraryW(path.c_str()));
  ASSERT_TRUE(dll.valid()) << GetLastError();
  auto resolve = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll.get(), name)); };
  auto owner_id = reinterpret_cast<uint32_t (*)()>(resolve("Plugin_Interface_GetHelperOwnerModuleID"));
  auto module_version = reinterpret_cast<void (*)(uint32_t*)>(resolve("Plugin_Interface_GetModuleVersion"));
  auto do_action = reinterpret_cast<uint32_t (*)(const zyhok::DrvInfo*, uint32_t)>(
      resolve("Plugin_Interface_DriversDoAction"));
  ASSERT_TRUE(owner_id && module_version && do_action);
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
}
