// Values under the driver's service key, against Wine's real registry: the install-time settings, the
// registered component paths, the sharing values and the component registration values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "staging/staging.h"
#include "support/test_support.h"
#include "util/handle.h"

namespace {

using namespace zyhok_test;
using Texts = std::vector<std::wstring>;

const std::wstring kKey = L"SYSTEM\\CurrentControlSet\\Services\\zyhok";
const std::wstring kAddOn32 = kKey + L"\\AddOn\\ZyHkEvt";
const std::wstring kAddOn64 = kKey + L"\\AddOn\\ZyHkEvt64";

// Each case starts and ends without the zyhok service key (and without the service).
class ServiceKey : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveDriverService();
    DeleteHklmTree(kKey);
    ASSERT_FALSE(HklmKeyExists(kKey));
  }
  void TearDown() override { DeleteHklmTree(kKey); }

  static void Put(const std::wstring& key, const wchar_t* name, const RegValue& value) {
    ASSERT_EQ(WriteHklmValue(key, name, value), ERROR_SUCCESS);
  }
};

TEST_F(ServiceKey, SettingsCreateTheKeyAndAreRewrittenOnEveryCall) {
  wchar_t device[MAX_PATH] = {};
  ASSERT_NE(QueryDosDeviceW(SystemDir().substr(0, 2).c_str(), device, MAX_PATH), 0u);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(zyhok::SetDriverServiceSettings(), 1);
    EXPECT_EQ(ReadHklmValue(kKey, L"ZYHOKSystemDiskName"), Sz(device));
    EXPECT_EQ(ReadHklmValue(kKey, L"BootStatus"), Dword(0xFFFFFFFF));
    EXPECT_EQ(ReadHklmValue(kKey, L"GHSwitch"), Dword(1));
    EXPECT_EQ(ReadHklmValue(kKey, L"HokFlags"), Dword(0));
    // Whatever they hold before, the next call writes them again.
    Put(kKey, L"BootStatus", Dword(5));
    Put(kKey, L"GHSwitch", Dword(0));
    Put(kKey, L"HokFlags", Dword(3));
  }
}

// Each reader needs both values of its own bitness.
TEST_F(ServiceKey, RegisteredPathsNeedBothValuesOfTheirBitness) {
  std::wstring engine, addon;
  EXPECT_FALSE(zyhok::GetRegisteredComponentPaths(engine, addon));
  EXPECT_EQ(engine + addon, L"");
  Put(kKey, L"ZYHOKMonDllName", Sz(L"C:\\w\\zymon.dll"));
  EXPECT_FALSE(zyhok::GetRegisteredComponentPaths(engine, addon));
  EXPECT_EQ(engine + L"|" + addon, L"C:\\w\\zymon.dll|");
  Put(kAddOn32, L"path", Sz(L"C:\\a\\ZyHkEvt.dll"));
  engine.clear();
  EXPECT_TRUE(zyhok::GetRegisteredComponentPaths(engine, addon));
  EXPECT_EQ(engine + L"|" + addon, L"C:\\w\\zymon.dll|C:\\a\\ZyHkEvt.dll");

  std::wstring engine64, addon64;
  EXPECT_FALSE(zyhok::GetRegisteredComponentPaths64(engine64, addon64));
  Put(kKey, L"ZYHOKMonDll64Name", Sz(L"C:\\b\\zymon64.dll"));
  Put(kAddOn64, L"path", Sz(L"C:\\b\\ZyHkEvt64.dll"));
  EXPECT_TRUE(zyhok::GetRegisteredComponentPaths64(engine64, addon64));
  EXPECT_EQ(engine64 + L"|" + addon64, L"C:\\b\\zymon64.dll|C:\\b\\ZyHkEvt64.dll");
}

TEST_F(ServiceKey, DeleteFlagMarksTheServiceOnlyWhenNonZero) {
  LogCapture log;
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 0);  // no key at all
  EXPECT_EQ(log.Texts(), Texts({L"==> _CheckDeleteFlagRegistry,", L"<== _CheckDeleteFlagRegistry,bRet = 0"}))
      << log.Dump();
  Put(kKey, L"GHSwitch", Dword(1));
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 0);  // key without the value
  Put(kKey, L"DeleteFlag", Dword(0));
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 0);
  EXPECT_FALSE(log.HasPart(3, L"DeleteFlag")) << log.Dump();

  for (DWORD value : {1u, 0xFFFFFFFFu}) {
    Put(kKey, L"DeleteFlag", Dword(value));
    log.Clear();
    EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(L"zyhok"), 1);
    EXPECT_EQ(log.Texts(), Texts({L"==> _CheckDeleteFlagRegistry,",
                                  L"The DeleteFlag indicates the service: zyhok was marked for deletion on reboot",
                                  L"<== _CheckDeleteFlagRegistry,bRet = 0x1"}))
        << log.Dump();
    EXPECT_EQ(log.Texts(3).size(), 1u) << log.Dump();
  }
  EXPECT_EQ(ReadHklmValue(kKey, L"DeleteFlag"), Dword(0xFFFFFFFF)) << "the check must change nothing";
  EXPECT_EQ(zyhok::_CheckDeleteFlagRegistry(nullptr), 0);
}

// PermCount + 1 (1 when it cannot be read), DeleteFlag removed, InstalledByZefa = 1.
TEST_F(ServiceKey, TakingAShareCountsUpClearsTheDeleteMarkAndSetsOwnership) {
  Put(kKey, L"PermCount", Dword(3));
  Put(kKey, L"DeleteFlag", Dword(1));
  LogCapture log;
  EXPECT_TRUE(zyhok::ModifyZyhokRegistry());
  EXPECT_EQ(ReadHklmValue(kKey, L"PermCount"), Dword(4));
  EXPECT_EQ(ReadHklmValue(kKey, L"InstalledByZefa"), Dword(1));
  EXPECT_EQ(ReadHklmValue(kKey, L"DeleteFlag").error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(log.Texts(), Texts({L"==> ModifyZyhokRegistry,", L"<== ModifyZyhokRegistry,bRet = 0x1"})) << log.Dump();

  // Again without "PermCount": counted from 1, and no "DeleteFlag" to delete any more.
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKey.c_str(), L"PermCount");
  log.Clear();
  EXPECT_TRUE(zyhok::ModifyZyhokRegistry());
  EXPECT_EQ(ReadHklmValue(kKey, L"PermCount"), Dword(1));
  EXPECT_TRUE(log.Has(3, L"fail to query registry: " + kKey + L"\\PermCount")) << log.Dump();
  EXPECT_TRUE(log.Has(3, L"fail to delete registry: " + kKey + L"\\DeleteFlag")) << log.Dump();

  // Without a service key: failure, but the ownership is recorded (creating the key).
  DeleteHklmTree(kKey);
  log.Clear();
  EXPECT_FALSE(zyhok::ModifyZyhokRegistry());
  EXPECT_TRUE(log.Has(5, L"fail to open registry: " + kKey)) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== ModifyZyhokRegistry,bRet = 0")) << log.Dump();
  EXPECT_EQ(ReadHklmValue(kKey, L"InstalledByZefa"), Dword(1));
  EXPECT_EQ(ReadHklmValue(kKey, L"PermCount").error, ERROR_FILE_NOT_FOUND);
}

// The engine's file name is joined with one backslash whether or not the folder ends in one; the
// add-on's "path" keeps the folder as given (two backslashes), its "devpath" is the device form.
TEST_F(ServiceKey, RegistrationWritesBothFormsAndOverwritesThem) {
  const std::wstring sys = L"C:\\windows\\system32\\zyhok\\20019\\";
  const std::wstring wow = L"C:\\windows\\syswow64\\zyhok\\20019\\";
  ASSERT_EQ(zyhok::ConvertToDevicePath(L"C:\\").rfind(L"\\Device\\", 0), 0u) << "device form expected";
  Put(kKey, L"GHSwitch", Dword(1));
  EXPECT_EQ(zyhok::RegisterMonitorEngine64((sys + L"ZyMon\\2.5.1043").c_str()), 1);
  EXPECT_EQ(zyhok::RegisterMonitorEngine((wow + L"ZyMon\\2.5.1043\\").c_str()), 1);
  EXPECT_EQ(zyhok::RegisterEventAddOn64((sys + L"AddOn\\1.0.5").c_str(), L"1.0.5"), 1);
  EXPECT_EQ(zyhok::RegisterEventAddOn((wow + L"AddOn\\1.0.5\\").c_str(), L""), 1);
  const struct {
    std::wstring key;
    const wchar_t* name;
    std::wstring text;
  } expected[] = {
      {kKey, L"ZYHOKMonDll64Name", sys + L"ZyMon\\2.5.1043\\zymon64.dll"},
      {kKey, L"ZYHOKMonDll64NameDev", zyhok::ConvertToDevicePath((sys + L"ZyMon\\2.5.1043\\zymon64.dll").c_str())},
      {kKey, L"ZYHOKMonDllName", wow + L"ZyMon\\2.5.1043\\zymon.dll"},
      {kAddOn64, L"path", sys + L"AddOn\\1.0.5\\ZyHkEvt64.dll"},
      {kAddOn64, L"devpath", zyhok::ConvertToDevicePath((sys + L"AddOn\\1.0.5").c_str()) + L"\\ZyHkEvt64.dll"},
      {kAddOn64, L"version", L"1.0.5"},
      {kAddOn32, L"path", wow + L"AddOn\\1.0.5\\\\ZyHkEvt.dll"},
      {kAddOn32, L"version", L""},  // stored with its terminator
  };
  for (const auto& e : expected) EXPECT_EQ(ReadHklmValue(e.key, e.name), Sz(e.text)) << WideToUtf8(e.name);

  EXPECT_EQ(zyhok::RegisterMonitorEngine64((sys + L"ZyMon\\2.6.1100").c_str()), 1);
  EXPECT_EQ(ReadHklmValue(kKey, L"ZYHOKMonDll64Name"), Sz(sys + L"ZyMon\\2.6.1100\\zymon64.dll"));
}

}  // namespace
