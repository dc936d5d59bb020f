// Values under the driver's service key, against Wine's real registry: the install-time settings, the
// registered component paths, the sharing values and the component registration values.
#include <gtest/gtest.h>

#include <string>

#include "lifecycle/lifecycle.h"
#include "staging/staging.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;

const wchar_t kKey[] = L"SYSTEM\\CurrentControlSet\\Services\\zyhok";

// Raw registry access, independent of the code under test.
bool ReadDword(const std::wstring& key, const wchar_t* name, DWORD* out, DWORD* type = nullptr) {
  DWORD size = sizeof(DWORD), t = 0;
  LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_ANY, &t, out, &size);
  if (type) *type = t;
  return rc == ERROR_SUCCESS && t == REG_DWORD;
}

bool ReadRaw(const std::wstring& key, const wchar_t* name, std::wstring* out, DWORD* bytes = nullptr) {
  zyhok::UniqueHKey handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(handle.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  std::wstring data(size / 2 + 1, L'\0');
  if (RegQueryValueExW(handle.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) !=
      ERROR_SUCCESS || type != REG_SZ) {
    return false;
  }
  if (bytes) *bytes = size;
  data.resize(size / 2);
  if (!data.empty() && data.back() == L'\0') data.pop_back();
  *out = data;
  return true;
}

void WriteDword(const std::wstring& key, const wchar_t* name, DWORD value) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_DWORD, &value, sizeof(value)),
            ERROR_SUCCESS);
}

void WriteText(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                            static_cast<DWORD>((value.size() + 1) * 2)),
            ERROR_SUCCESS);
}

bool KeyExists(const std::wstring& key) {
  zyhok::UniqueHKey handle;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

// Each case starts and ends without the zyhok service key (and without the service).
class ServiceKey : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveDriverService();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    ASSERT_FALSE(KeyExists(kKey));
  }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
};

TEST_F(ServiceKey, SettingsCreateTheKeyAndAreRewrittenOnEveryCall) {
  wchar_t device[MAX_PATH] = {};
  ASSERT_NE(QueryDosDeviceW(SystemDir().substr(0, 2).c_str(), device, MAX_PATH), 0u);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(zyhok::SetDriverServiceSettings(), 1);
    std::wstring disk;
    ASSERT_TRUE(ReadRaw(kKey, L"ZYHOKSystemDiskName", &disk));
    EXPECT_EQ(disk, device);
    DWORD v = 7;
    ASSERT_TRUE(ReadDword(kKey, L"BootStatus", &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    ASSERT_TRUE(ReadDword(kKey, L"GHSwitch", &v));
    EXPECT_EQ(v, 1u);
    ASSERT_TRUE(ReadDword(kKey, L"HokFlags", &v));
    EXPECT_EQ(v, 0u);
    // Whatever they hold before, the next call writes them again.
    WriteDword(kKey, L"BootStatus", 5);
    WriteDword(kKey, L"GHSwitch", 0);
    WriteDword(kKey, L"HokFlags", 3);
  }
}

TEST_F(ServiceKey, RegisteredPathsNeedBothValuesOfTheirBitness) {
  std::wstring engine, addon;
  EXPECT_FALSE(zyhok::GetRegisteredComponentPaths(engine, addon));
  EXPECT_TRUE(engine.empty());
  EXPECT_TRUE(addon.empty());

  WriteText(kKey, L"ZYHOKMonDllName", L"C:\\windows\\syswow64\\zyhok\\20019\\ZyMon\\1\\zymon.dll");
  EXPECT_FALSE(zyhok::GetRegisteredComponentPaths(engine, addon));
  EXPECT_EQ(engine, L"C:\\windows\\syswow64\\zyhok\\20019\\ZyMon\\1\\zymon.dll");
  EXPECT_TRUE(addon.empty());

  WriteText(std::wstring(kKey) + L"\\AddOn\\ZyHkEvt", L"path", L"C:\\a\\ZyHkEvt.dll");
  engine.clear();
  EXPECT_TRUE(zyhok::GetRegisteredComponentPaths(engine, addon));
  EXPECT_EQ(addon, L"C:\\a\\ZyHkEvt.dll");

  // The 64-bit reader looks at its own values only.
  std::wstring engine64, addon64;
  EXPECT_FALSE(zyhok::GetRegisteredComponentPaths64(engine64, addon64));
  WriteText(kKey, L"ZYHOKMonDll64Name", L"C:\\b\\zymon64.dll");
  WriteText(std::wstring(kKey) + L"\\AddOn\\ZyHkEvt64", L"path", L"C:\\b\\ZyHkEvt64.dll");
  EXPECT_TRUE(zyhok::GetRegisteredComponentPaths64(engine64, addon64));
  EXPECT_EQ(engine64, L"C:\\b\\zymon64.dll");
  EXPECT_EQ(addon64, L"C:\\b\\ZyHkEvt64.dll");
}

TEST_F(ServiceKey, DeleteFlagMarksTheServiceOnlyWhenNonZero) {
  LogCapture log;
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 0);  // no key at all
  EXPECT_EQ(log.Texts(),
            (std::vector<std::wstring>{L"==> _CheckDeleteFlagRegistry,", L"<== _CheckDeleteFlagRegistry,bRet = 0"}))
      << log.Dump();

  WriteDword(kKey, L"GHSwitch", 1);
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 0);  // key without the value
  WriteDword(kKey, L"DeleteFlag", 0);
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 0);
  EXPECT_FALSE(log.HasPart(3, L"DeleteFlag")) << log.Dump();

  for (DWORD value : {1u, 0xFFFFFFFFu}) {
    WriteDword(kKey, L"DeleteFlag", value);
    log.Clear();
    EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 1);
    EXPECT_TRUE(log.Has(3, L"The DeleteFlag indicates the service: zyhok was marked for deletion on reboot"))
        << log.Dump();
    EXPECT_TRUE(log.Has(2, L"<== _CheckDeleteFlagRegistry,bRet = 0x1")) << log.Dump();
  }
  DWORD still = 0;
  ASSERT_TRUE(ReadDword(kKey, L"DeleteFlag", &still));
  EXPECT_EQ(still, 0xFFFFFFFFu) << "the check must change nothing";
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(nullptr), 0);
}

TEST_F(ServiceKey, TakingAShareCountsUpClearsTheDeleteMarkAndSetsOwnership) {
  const std::wstring path = kKey;
  WriteDword(kKey, L"PermCount", 3);
  WriteDword(kKey, L"DeleteFlag", 1);
  LogCapture log;
  EXPECT_TRUE(zyhok::ModifyZyhokRegistry());
  DWORD v = 0;
  ASSERT_TRUE(ReadDword(kKey, L"PermCount", &v));
  EXPECT_EQ(v, 4u);
  ASSERT_TRUE(ReadDword(kKey, L"InstalledByZefa", &v));
  EXPECT_EQ(v, 1u);
  EXPECT_FALSE(ReadDword(kKey, L"DeleteFlag", &v));
  EXPECT_EQ(log.Texts(), (std::vector<std::wstring>{L"==> ModifyZyhokRegistry,", L"<== ModifyZyhokRegistry,bRet = 0x1"}))
      << log.Dump();

  // Second time: no "PermCount" problem, but no "DeleteFlag" to delete any more.
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"PermCount");
  log.Clear();
  EXPECT_TRUE(zyhok::ModifyZyhokRegistry());
  ASSERT_TRUE(ReadDword(kKey, L"PermCount", &v));
  EXPECT_EQ(v, 1u);
  EXPECT_TRUE(log.Has(3, L"fail to query registry: " + path + L"\\PermCount")) << log.Dump();
  EXPECT_TRUE(log.Has(3, L"fail to delete registry: " + path + L"\\DeleteFlag")) << log.Dump();
}

TEST_F(ServiceKey, TakingAShareWithoutAServiceKeyFailsButRecordsOwnership) {
  LogCapture log;
  EXPECT_FALSE(zyhok::ModifyZyhokRegistry());
  EXPECT_TRUE(log.Has(5, L"fail to open registry: " + std::wstring(kKey))) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== ModifyZyhokRegistry,bRet = 0")) << log.Dump();
  DWORD v = 0;
  ASSERT_TRUE(ReadDword(kKey, L"InstalledByZefa", &v));
  EXPECT_EQ(v, 1u);
  EXPECT_FALSE(ReadDword(kKey, L"PermCount", &v));
}

TEST_F(ServiceKey, EngineRegistrationWritesBothFormsAndOverwritesThem) {
  const std::wstring device = zyhok::ConvertToDevicePath(L"C:\\");
  ASSERT_FALSE(device.empty());
  WriteDword(kKey, L"GHSwitch", 1);
  EXPECT_EQ(zyhok::RegisterMonitorEngine64(L"C:\\windows\\system32\\zyhok\\20019\\ZyMon\\2.5.1043"), 1);
  EXPECT_EQ(zyhok::RegisterMonitorEngine(L"C:\\windows\\syswow64\\zyhok\\20019\\ZyMon\\2.5.1043\\"), 1);
  std::wstring text;
  ASSERT_TRUE(ReadRaw(kKey, L"ZYHOKMonDll64Name", &text));
  EXPECT_EQ(text, L"C:\\windows\\system32\\zyhok\\20019\\ZyMon\\2.5.1043\\zymon64.dll");
  ASSERT_TRUE(ReadRaw(kKey, L"ZYHOKMonDll64NameDev", &text));
  EXPECT_EQ(text, zyhok::ConvertToDevicePath(L"C:\\windows\\system32\\zyhok\\20019\\ZyMon\\2.5.1043\\zymon64.dll"));
  EXPECT_EQ(text.rfind(L"\\Device\\", 0), 0u) << "device form expected";
  ASSERT_TRUE(ReadRaw(kKey, L"ZYHOKMonDllName", &text));
  EXPECT_EQ(text, L"C:\\windows\\syswow64\\zyhok\\20019\\ZyMon\\2.5.1043\\zymon.dll");  // one backslash

  EXPECT_EQ(zyhok::RegisterMonitorEngine64(L"C:\\windows\\system32\\zyhok\\20019\\ZyMon\\2.6.1100"), 1);
  ASSERT_TRUE(ReadRaw(kKey, L"ZYHOKMonDll64Name", &text));
  EXPECT_EQ(text, L"C:\\windows\\system32\\zyhok\\20019\\ZyMon\\2.6.1100\\zymon64.dll");
}

TEST_F(ServiceKey, AddOnRegistrationCreatesItsKeyAndKeepsTheFolderAsGiven) {
  const std::wstring key64 = std::wstring(kKey) + L"\\AddOn\\ZyHkEvt64";
  const std::wstring key32 = std::wstring(kKey) + L"\\AddOn\\ZyHkEvt";
  EXPECT_EQ(zyhok::RegisterEventAddOn64(L"C:\\windows\\system32\\zyhok\\20019\\AddOn\\1.0.5", L"1.0.5"), 1);
  EXPECT_EQ(zyhok::RegisterEventAddOn(L"C:\\windows\\syswow64\\zyhok\\20019\\AddOn\\1.0.5\\", L""), 1);
  std::wstring text;
  ASSERT_TRUE(ReadRaw(key64, L"path", &text));
  EXPECT_EQ(text, L"C:\\windows\\system32\\zyhok\\20019\\AddOn\\1.0.5\\ZyHkEvt64.dll");
  ASSERT_TRUE(ReadRaw(key64, L"devpath", &text));
  EXPECT_EQ(text, zyhok::ConvertToDevicePath(L"C:\\windows\\system32\\zyhok\\20019\\AddOn\\1.0.5") +
                      L"\\ZyHkEvt64.dll");
  ASSERT_TRUE(ReadRaw(key64, L"version", &text));
  EXPECT_EQ(text, L"1.0.5");
  ASSERT_TRUE(ReadRaw(key32, L"path", &text));
  EXPECT_EQ(text, L"C:\\windows\\syswow64\\zyhok\\20019\\AddOn\\1.0.5\\\\ZyHkEvt.dll");  // two backslashes
  DWORD bytes = 0;
  ASSERT_TRUE(ReadRaw(key32, L"version", &text, &bytes));
  EXPECT_EQ(text, L"");
  EXPECT_EQ(bytes, 2u) << "an empty version is stored with its terminator";
}

}  // namespace
