// The exports as the host resolves them, apart from what the lifecycle rows prove: the plug-in's
// identity, the refused batches, and the status record's fixed fields and callback contract.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/plugin_host.h"
#include "support/test_support.h"

namespace {

using namespace zyhok_test;

struct Received {
  int calls = 0;
  void* context = nullptr;
  zyhok::DrvStatusInfo info;
};

uint32_t OnStatus(const zyhok::DrvStatusInfo* info, void* context) {
  auto* received = static_cast<Received*>(context);
  ++received->calls;
  received->context = context;
  std::memcpy(&received->info, info, sizeof(received->info));
  return 0xFFFFFFFF;  // ignored by the plug-in
}

TEST(PluginExports, IdentityRefusedBatchesAndTheStatusRecord) {
  zyhok::UniqueModule dll(LoadLibraryW((BinDir() + L"helperZYHOKDriver.dll").c_str()));
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
  EXPECT_EQ(owner_id(), 20020u);
  uint32_t version[4] = {7, 7, 7, 0xDEADBEEF};
  module_version(version);
  EXPECT_EQ(std::vector<uint32_t>(version, version + 4), std::vector<uint32_t>({1, 6, 1195, 0xDEADBEEF}));
  module_version(nullptr);  // returns without touching anything
  // The DLL's own version resource agrees.
  uint32_t major = 0, minor = 0, build = 0;
  ASSERT_TRUE(zyhok::GetFileVersionNumbers((BinDir() + L"helperZYHOKDriver.dll").c_str(), &major, &minor, &build));
  EXPECT_EQ(std::vector<uint32_t>({major, minor, build}), std::vector<uint32_t>({1, 6, 1195}));

  // A count of 0 reads no record and logs nothing; a null pointer with a count is refused too.
  ResetDriverMachineState();
  LogCapture log;
  const zyhok::DrvInfo install = MakeRecord(kInstall, PackageDir(L"v1"));
  EXPECT_EQ(do_action(&install, 0), kFailed);
  EXPECT_EQ(do_action(nullptr, 0), kFailed);
  EXPECT_EQ(do_action(nullptr, 2), kFailed);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  EXPECT_EQ(ServiceState(), 0u);

  // One callback, the context handed through, the fixed fields set, the version terminated in its
  // buffer; the callback's own result is not the export's.
  Received received;
  std::memset(&received.info, 0xCC, sizeof(received.info));
  EXPECT_EQ(enumerate(&OnStatus, &received), kSuccess);
  EXPECT_EQ(received.calls, 1);
  EXPECT_EQ(received.context, &received);
  EXPECT_EQ(received.info.driver_id, 0x48000165u);
  EXPECT_EQ(received.info.flag, 1u);
  EXPECT_EQ(received.info.status, 0xE01A0009u);
  ASSERT_NE(std::memchr(received.info.version, 0, sizeof(received.info.version)), nullptr);
  EXPECT_STREQ(received.info.version, "1.0");
}

}  // namespace
