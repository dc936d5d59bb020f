// The exports as the host resolves them, apart from what the lifecycle rows prove (the status record,
// its fixed fields and callback contract): the plug-in's identity and the refused batches; and its
// delay-load hook's answer to a system library that cannot be loaded, and to one planted beside the program.
#include "plugin_interface.h"
#include "plugin/driver_status.h"
#include "plugin/late_imports.h"
#include "support/test_support.h"
#include <delayimp.h>
#include <stdexcept>

using namespace zyhok_test;
extern "C" IMAGE_DOS_HEADER __ImageBase;
// The owner ID and module version (three numbers, the fourth slot untouched, a null pointer ignored) match the DLL's
// version resource; a batch of no records or of a null pointer is refused without a line or a service.
TEST(PluginExports, IdentityAndRefusedBatches) {
  const LoadedPlugin plugin;
  const auto owner_id = plugin.Export<uint32_t (*)()>("Plugin_Interface_GetHelperOwnerModuleID");
  const auto module_version = plugin.Export<void (*)(uint32_t*)>("Plugin_Interface_GetModuleVersion");
  ASSERT_TRUE(plugin.loaded() && owner_id && module_version);
  EXPECT_EQ(owner_id(), 20020u);
  uint32_t version[4] = {7, 7, 7, 0xDEADBEEF}, resource[3] = {};
  module_version(version);
  module_version(nullptr);
  EXPECT_EQ(std::vector<uint32_t>(version, version + 4), std::vector<uint32_t>({1, 6, 1195, 0xDEADBEEF}));
  const std::wstring path = BinDir() + L"helperZYHOKDriver.dll";
  ASSERT_TRUE(zyhok::GetFileVersionNumbers(path.c_str(), &resource[0], &resource[1], &resource[2]));
  EXPECT_EQ(std::vector<uint32_t>(resource, resource + 3), std::vector<uint32_t>({1, 6, 1195}));
  ResetDriverMachineState();
  LogCapture log;
  const zyhok::DrvInfo install = MakeRecord(kInstall, PackageDir(L"v1"));
  EXPECT_EQ(plugin.DoActions(&install, 0), kFailed);
  EXPECT_EQ(plugin.DoActions(nullptr, 2), kFailed);
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  EXPECT_EQ(ServiceState(), 0u);
}
// Simulated, since none of Wine's system libraries can be made to fail: a late-loaded function that the system
// folder lacks. The plug-in's delay-load hook logs it and hands over a stand-in that throws into its caller (an
// action, which then fails), instead of leaving the loader's helper to raise an exception through the host.
TEST(PluginExports, SimulatedMissingLateImportThrowsIntoItsCaller) {
  static HMODULE modules[2];  // the module slots of two delay-import descriptors, inside this program's image
  ImgDelayDescr descriptors[2] = {};
  for (int i : {0, 1}) descriptors[i].rvaHmod = static_cast<RVA>((BYTE*)&modules[i] - (BYTE*)&__ImageBase);
  FARPROC slot = nullptr;
  DelayLoadInfo info = {sizeof(info), &descriptors[0], &slot, "zyhok-nx.dll", {TRUE, {"Nothing"}}, nullptr, nullptr, 0};
  LogCapture log;
  const FARPROC stand_in = zyhok::ResolveLateImport(dliStartProcessing, &info);
  ASSERT_TRUE(stand_in != nullptr && slot == nullptr);
  EXPECT_THROW(reinterpret_cast<void (*)()>(stand_in)(), std::runtime_error);
  EXPECT_EQ(log.Told(), std::vector<std::wstring>(
                            {L"5z fail to load zyhok-nx.dll (Nothing) from the system folder, error code: 0x7e"}));
  // A library found is loaded from the system folder, though one of its name lies where a search by name looks
  // first (beside the program); the call goes there, and its module is kept for the next.
  const std::wstring planted = BinDir() + L"msi.dll";
  ASSERT_TRUE(CopyFileW((FixturesDir() + L"\\planted.dll").c_str(), planted.c_str(), FALSE));
  info.pidd = &descriptors[1];
  info.szDll = "MSI.dll";
  info.dlp.szProcName = "MsiCloseHandle";
  EXPECT_EQ(zyhok::ResolveLateImport(dliStartProcessing, &info), slot);
  const HMODULE msi = GetModuleHandleW((SystemDir() + L"\\msi.dll").c_str());
  EXPECT_TRUE(slot && slot == GetProcAddress(msi, "MsiCloseHandle") && !modules[0] && modules[1] == msi);
  DeleteFileW(planted.c_str());
  DeleteFileW((planted + L".loaded").c_str());
}
