// The access restriction of the driver's service object.
//
// Wine keeps no DACL on service objects (it reports an empty one and ignores writes) nor on files
// (it derives their DACL from the Unix mode), so the DACL rewriting itself is checked on the object
// type Wine does secure: a registry key given a known DACL first. The service-level operation is
// checked against Wine's real service manager for its result and log lines.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_support.h"
#include "util/handle.h"
#include "util/util_PriviRestrict.h"

namespace {

using namespace zyhok_test;
using zyhok::CSecurityInfo;
using zyhok::UniqueLocal;
using zyhok::UniqueSid;

constexpr DWORD kRestricted = 0xE01FF;
constexpr DWORD kReadExecute = 0xA0000000;

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  UniqueLocal owned(text);
  return text;
}

std::wstring SidText(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid = WellKnownSid(type);
  return SidText(sid.data());
}

struct Entry {
  BYTE type;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
  WELL_KNOWN_SID_TYPE who;
  DWORD mask;
};

// A DACL of the given entries, in order.
std::vector<BYTE> BuildAcl(const std::vector<Entry>& entries) {
  std::vector<BYTE> acl(1024);
  InitializeAcl(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(acl.size()), ACL_REVISION);
  for (const Entry& e : entries) {
    std::vector<BYTE> sid = WellKnownSid(e.who);
    if (e.type == ACCESS_ALLOWED_ACE_TYPE) {
      AddAccessAllowedAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, e.mask, sid.data());
    } else {
      AddAccessDeniedAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, e.mask, sid.data());
    }
  }
  return acl;
}

// One DACL entry as read back: type, mask, SID in text form.
struct Ace {
  BYTE type;
  DWORD mask;
  std::wstring sid;
  bool operator==(const Ace& o) const { return type == o.type && mask == o.mask && sid == o.sid; }
};

std::ostream& operator<<(std::ostream& out, const Ace& ace) {
  return out << "{type " << int(ace.type) << ", mask 0x" << std::hex << ace.mask << std::dec << ", "
             << WideToUtf8(ace.sid) << "}";
}

std::vector<Ace> Sorted(std::vector<Ace> entries) {
  std::sort(entries.begin(), entries.end(), [](const Ace& a, const Ace& b) {
    return std::tie(a.type, a.mask, a.sid) < std::tie(b.type, b.mask, b.sid);
  });
  return entries;
}

Ace Allowed(WELL_KNOWN_SID_TYPE who, DWORD mask) { return {ACCESS_ALLOWED_ACE_TYPE, mask, SidText(who)}; }
Ace Denied(WELL_KNOWN_SID_TYPE who, DWORD mask) { return {ACCESS_DENIED_ACE_TYPE, mask, SidText(who)}; }

// The DACL of a named object as it is stored now.
struct StoredDacl {
  DWORD read_error = ERROR_GEN_FAILURE;
  bool present = false;  // false: NULL DACL
  bool is_protected = false;
  std::vector<Ace> entries;
};

StoredDacl ReadDacl(const std::wstring& name, SE_OBJECT_TYPE type) {
  StoredDacl out;
  PACL dacl = nullptr;
  UniqueLocal descriptor;
  out.read_error = GetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), type,
                                         DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                         descriptor.put());
  if (out.read_error != ERROR_SUCCESS) return out;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor.get(), &control, &revision);
  out.is_protected = (control & SE_DACL_PROTECTED) != 0;
  out.present = dacl != nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);  // allowed and denied entries share the layout
    out.entries.push_back({ace->Header.AceType, ace->Mask, SidText(&ace->SidStart)});
  }
  return out;
}

DWORD WriteDacl(const std::wstring& name, SE_OBJECT_TYPE type, PACL dacl) {
  return SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), type,
                               DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, dacl, nullptr);
}

// The DACL every test object starts with: two Administrators entries, Everyone and SYSTEM allowed, and
// a Guests entry that denies writing.
const std::vector<Entry> kStartEntries = {
    {ACCESS_DENIED_ACE_TYPE, WinBuiltinGuestsSid, KEY_SET_VALUE},
    {ACCESS_ALLOWED_ACE_TYPE, WinBuiltinAdministratorsSid, KEY_ALL_ACCESS},
    {ACCESS_ALLOWED_ACE_TYPE, WinWorldSid, KEY_READ},
    {ACCESS_ALLOWED_ACE_TYPE, WinLocalSystemSid, KEY_ALL_ACCESS},
    {ACCESS_ALLOWED_ACE_TYPE, WinBuiltinAdministratorsSid, DELETE},
};

// A registry key of its own with the start DACL, removed afterwards.
class DaclRewriteOnRegistryKey : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t name[96];
    wsprintfW(name, L"SOFTWARE\\ZyhokSecurityTest-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    subkey_ = name;
    object_ = L"MACHINE\\" + subkey_;
    zyhok::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    start_acl_ = BuildAcl(kStartEntries);
    // Wine 8's SetNamedSecurityInfoW does not hand PROTECTED_DACL_SECURITY_INFORMATION on to the
    // registry (the key's DACL is stored unprotected), so protection is checked only where the
    // platform stores it.
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(object_.c_str()), SE_REGISTRY_KEY,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, reinterpret_cast<PACL>(start_acl_.data()), nullptr),
              ERROR_SUCCESS);
    platform_stores_protection_ = Stored().is_protected;
    ASSERT_EQ(WriteDacl(object_, SE_REGISTRY_KEY, reinterpret_cast<PACL>(start_acl_.data())),
              ERROR_SUCCESS);
    start_ = ReadDacl(object_, SE_REGISTRY_KEY);
    ASSERT_EQ(start_.read_error, ERROR_SUCCESS);
    ASSERT_EQ(start_.entries,
              std::vector<Ace>({Denied(WinBuiltinGuestsSid, KEY_SET_VALUE),
                                Allowed(WinBuiltinAdministratorsSid, KEY_ALL_ACCESS),
                                Allowed(WinWorldSid, KEY_READ), Allowed(WinLocalSystemSid, KEY_ALL_ACCESS),
                                Allowed(WinBuiltinAdministratorsSid, DELETE)}));
    ASSERT_FALSE(start_.is_protected);
  }

  void TearDown() override {
    // Whatever the test left, give full access back so the key can go.
    std::vector<BYTE> open = BuildAcl({{ACCESS_ALLOWED_ACE_TYPE, WinWorldSid, KEY_ALL_ACCESS}});
    WriteDacl(object_, SE_REGISTRY_KEY, reinterpret_cast<PACL>(open.data()));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey_.c_str()), ERROR_SUCCESS);
  }

  StoredDacl Stored() const { return ReadDacl(object_, SE_REGISTRY_KEY); }

  void ExpectProtected(const StoredDacl& dacl) const {
    if (platform_stores_protection_) {
      EXPECT_TRUE(dacl.is_protected);
    } else {
      std::cout << "[   NOTE   ] this platform stores no DACL protection through SetNamedSecurityInfoW\n";
    }
  }

  std::wstring subkey_;
  std::wstring object_;
  std::vector<BYTE> start_acl_;
  StoredDacl start_;
  bool platform_stores_protection_ = false;
};

TEST_F(DaclRewriteOnRegistryKey, RestrictGivesEveryAdministratorsEntryTheServiceMask) {
  LogCapture log;
  CSecurityInfo info(SE_REGISTRY_KEY);
  ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute), 0u)
      << log.Dump();
  ASSERT_EQ(info.ApplyInfoByName(object_.c_str()), 0u) << log.Dump();

  StoredDacl now = Stored();
  ASSERT_EQ(now.read_error, ERROR_SUCCESS);
  EXPECT_EQ(now.entries, std::vector<Ace>({Denied(WinBuiltinGuestsSid, KEY_SET_VALUE),
                                           Allowed(WinBuiltinAdministratorsSid, kRestricted),
                                           Allowed(WinWorldSid, kReadExecute),
                                           Allowed(WinLocalSystemSid, kReadExecute),
                                           Allowed(WinBuiltinAdministratorsSid, kRestricted)}));
  ExpectProtected(now);

  EXPECT_EQ(log.Texts(2), std::vector<std::wstring>({
                              L"==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=" + object_,
                              L"[GetBuiltinSid] find account group name=Administrators, dwRID=0x220",
                              L"Found administrators SID in DACL.",
                              L"Found administrators SID in DACL.",
                              L"<== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0",
                              L"==> CSecurityInfo::ApplyInfoByName,pObjectName=" + object_,
                              L"<== CSecurityInfo::ApplyInfoByName,dwRet=0",
                          }))
      << log.Dump();
  for (const auto& line : log.Lines()) {
    EXPECT_EQ(line.module, L"Util COMMON");
    EXPECT_EQ(line.source, L"util_PriviRestrict");
  }
}

TEST_F(DaclRewriteOnRegistryKey, UnrestrictAfterRestrictGivesAdministratorsGenericAll) {
  {
    CSecurityInfo info(SE_REGISTRY_KEY);
    ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute),
              0u);
    ASSERT_EQ(info.ApplyInfoByName(object_.c_str()), 0u);
  }
  // The same object reads again after a write: the earlier descriptor is dropped, not reused.
  CSecurityInfo info(SE_REGISTRY_KEY);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, GENERIC_ALL, kReadExecute),
              0u);
    ASSERT_EQ(info.ApplyInfoByName(object_.c_str()), 0u);
    StoredDacl now = Stored();
    EXPECT_EQ(now.entries, std::vector<Ace>({Denied(WinBuiltinGuestsSid, KEY_SET_VALUE),
                                             Allowed(WinBuiltinAdministratorsSid, GENERIC_ALL),
                                             Allowed(WinWorldSid, kReadExecute),
                                             Allowed(WinLocalSystemSid, kReadExecute),
                                             Allowed(WinBuiltinAdministratorsSid, GENERIC_ALL)}));
    ExpectProtected(now);
  }
}

TEST_F(DaclRewriteOnRegistryKey, TargetSidEntryGetsTheTargetAccess) {
  std::vector<BYTE> system = WellKnownSid(WinLocalSystemSid);
  LogCapture log;
  CSecurityInfo info(SE_REGISTRY_KEY);
  ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), system.data(), KEY_QUERY_VALUE, kRestricted,
                                      kReadExecute),
            0u);
  ASSERT_EQ(info.ApplyInfoByName(object_.c_str()), 0u);
  EXPECT_EQ(Stored().entries, std::vector<Ace>({Denied(WinBuiltinGuestsSid, KEY_SET_VALUE),
                                                Allowed(WinBuiltinAdministratorsSid, kRestricted),
                                                Allowed(WinWorldSid, kReadExecute),
                                                Allowed(WinLocalSystemSid, KEY_QUERY_VALUE),
                                                Allowed(WinBuiltinAdministratorsSid, kRestricted)}));
  EXPECT_TRUE(log.Has(2, L"Found target SID in DACL.")) << log.Dump();
}

TEST_F(DaclRewriteOnRegistryKey, MissingTargetSidIsMergedInAsAGrant) {
  std::vector<BYTE> users = WellKnownSid(WinBuiltinUsersSid);
  LogCapture log;
  CSecurityInfo info(SE_REGISTRY_KEY);
  ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), users.data(), KEY_QUERY_VALUE, kRestricted,
                                      kReadExecute),
            0u)
      << log.Dump();
  ASSERT_EQ(info.ApplyInfoByName(object_.c_str()), 0u);
  // SetEntriesInAclW chooses where the new entry goes; what counts is the set of entries.
  EXPECT_EQ(Sorted(Stored().entries),
            Sorted({Denied(WinBuiltinGuestsSid, KEY_SET_VALUE), Allowed(WinBuiltinAdministratorsSid, kRestricted),
                    Allowed(WinWorldSid, kReadExecute), Allowed(WinLocalSystemSid, kReadExecute),
                    Allowed(WinBuiltinAdministratorsSid, kRestricted),
                    Allowed(WinBuiltinUsersSid, KEY_QUERY_VALUE)}));
  EXPECT_FALSE(log.Has(2, L"Found target SID in DACL.")) << log.Dump();
}

TEST_F(DaclRewriteOnRegistryKey, FailedReadLeavesNothingToWrite) {
  LogCapture log;
  CSecurityInfo info(SE_REGISTRY_KEY);
  ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute), 0u);
  // A second read of a key that does not exist replaces the first one's result with nothing.
  const std::wstring missing = object_ + L"\\missing";
  log.Clear();
  EXPECT_EQ(info.RetrieveInfoByNameEx(missing.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"GetNamedSecurityInfo error. dwRet=0x2"}))
      << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0x2")) << log.Dump();

  EXPECT_EQ(info.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  StoredDacl now = Stored();
  EXPECT_EQ(now.entries, start_.entries);
  EXPECT_TRUE(now.present);
  EXPECT_FALSE(now.is_protected);

  // A bad name on a later read drops the earlier result too.
  ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute), 0u);
  EXPECT_EQ(info.RetrieveInfoByNameEx(L"", nullptr, GENERIC_ALL, kRestricted, kReadExecute),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(info.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  EXPECT_EQ(Stored().entries, start_.entries);

  // Never read at all.
  CSecurityInfo fresh(SE_REGISTRY_KEY);
  EXPECT_EQ(fresh.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  EXPECT_EQ(Stored().entries, start_.entries);
}

TEST_F(DaclRewriteOnRegistryKey, ObjectWithNullDaclIsLeftAlone) {
  ASSERT_EQ(WriteDacl(object_, SE_REGISTRY_KEY, nullptr), ERROR_SUCCESS);
  ASSERT_FALSE(Stored().present);
  LogCapture log;
  CSecurityInfo info(SE_REGISTRY_KEY);
  EXPECT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute),
            zyhok::kNoDaclError);
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"GetNamedSecurityInfo error. dwRet=0"}))
      << log.Dump();
  EXPECT_EQ(info.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  StoredDacl now = Stored();
  EXPECT_FALSE(now.present);
  EXPECT_FALSE(now.is_protected);
}

TEST(DaclRewriteNames, NullOrEmptyNamesAreRefused) {
  LogCapture log;
  CSecurityInfo info(SE_REGISTRY_KEY);
  EXPECT_EQ(info.RetrieveInfoByNameEx(nullptr, nullptr, GENERIC_ALL, kRestricted, kReadExecute),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(info.RetrieveInfoByNameEx(L"", nullptr, GENERIC_ALL, kRestricted, kReadExecute),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(info.ApplyInfoByName(nullptr), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(info.ApplyInfoByName(L""), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({
                              L"given pObjectName is not correct. pObjectName=(NULL)",
                              L"given pObjectName is not correct. pObjectName=",
                              L"given pObjectName is NULL or empty.",
                              L"given pObjectName is NULL or empty.",
                          }))
      << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0xd")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== CSecurityInfo::ApplyInfoByName,dwRet=0xd")) << log.Dump();
}

TEST(BuiltinSid, AdministratorsAndWorldAreFoundAndOwnedByTheCaller) {
  LogCapture log;
  UniqueSid admins;
  ASSERT_TRUE(zyhok::GetBuiltinSid(zyhok::kAdministratorsRid, admins.put()));
  ASSERT_TRUE(admins.valid());
  EXPECT_EQ(SidText(admins.get()), L"S-1-5-32-544");
  UniqueSid world;
  ASSERT_TRUE(zyhok::GetBuiltinSid(0, world.put()));
  ASSERT_TRUE(world.valid());
  EXPECT_EQ(SidText(world.get()), L"S-1-1-0");
  EXPECT_EQ(log.Texts(), std::vector<std::wstring>({
                             L"[GetBuiltinSid] find account group name=Administrators, dwRID=0x220",
                             L"[GetBuiltinSid] find account group name=Everyone, dwRID=0",
                         }))
      << log.Dump();
}

TEST(BuiltinSid, UnknownAliasIsRefusedAndNothingIsHandedOut) {
  LogCapture log;
  PSID sid = reinterpret_cast<PSID>(1);
  EXPECT_FALSE(zyhok::GetBuiltinSid(0x7FFF, &sid));
  EXPECT_EQ(sid, nullptr);
  ASSERT_EQ(log.Texts(5).size(), 1u) << log.Dump();
  EXPECT_EQ(log.Texts(5)[0].rfind(L"[GetBuiltinSid] (Err) - can't find account. GetLastError=0x", 0), 0u)
      << log.Dump();
  EXPECT_TRUE(log.HasPart(5, L", dwRID=0x7fff")) << log.Dump();
}

// The driver's real service in Wine's service manager. Wine reports an empty DACL for a service and
// ignores writes, so these tests check the operation's course and result, not a stored DACL.
class DriverServicePrivilege : public ::testing::Test {
 protected:
  void TearDown() override { RemoveDriverService(PackageDir(L"v1")); }
};

std::vector<std::wstring> ServiceActionLines(bool restrict) {
  return {
      std::wstring(L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
                   L"pwszServiceName=zyhok, bRestrictAct=") + (restrict ? L"1" : L"0"),
      L"==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=zyhok",
      L"[GetBuiltinSid] find account group name=Administrators, dwRID=0x220",
      L"<== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0",
      L"==> CSecurityInfo::ApplyInfoByName,pObjectName=zyhok",
      L"<== CSecurityInfo::ApplyInfoByName,dwRet=0",
      L"<== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1",
  };
}

TEST_F(DriverServicePrivilege, RestrictAndUnrestrictTheInstalledService) {
  InstallDriverByInf(PackageDir(L"v1"));
  ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  LogCapture log;
  zyhok::SetDriverServicePrivilege(TRUE);
  EXPECT_EQ(log.Texts(), ServiceActionLines(true)) << log.Dump();
  for (const auto& line : log.Lines()) EXPECT_EQ(line.module, L"Util COMMON");

  log.Clear();
  zyhok::SetDriverServicePrivilege(FALSE);
  EXPECT_EQ(log.Texts(), ServiceActionLines(false)) << log.Dump();

  // The service is still usable by the installer afterwards.
  EXPECT_TRUE(StartDriver());
  EXPECT_TRUE(StopDriver());
}

TEST_F(DriverServicePrivilege, MissingServiceWritesNothingAndStillSucceeds) {
  RemoveDriverService();
  ASSERT_EQ(ServiceState(), 0u);
  LogCapture log;
  zyhok::CWorkOnSpecificAccount account;
  EXPECT_TRUE(account.DoSecurityRestrictActionOnServiceObject(L"zyhok", true));
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"GetNamedSecurityInfo error. dwRet=0x424"}))
      << log.Dump();
  EXPECT_FALSE(log.HasPart(2, L"ApplyInfoByName")) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject, bRet=0x1"))
      << log.Dump();

  log.Clear();
  zyhok::SetDriverServicePrivilege(FALSE);
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"GetNamedSecurityInfo error. dwRet=0x424"}))
      << log.Dump();
  EXPECT_FALSE(log.HasPart(5, L"Failed to set service privilege")) << log.Dump();
}

TEST(ServiceObjectRestriction, EmptyServiceNameReadsNothingAndSucceeds) {
  LogCapture log;
  zyhok::CWorkOnSpecificAccount account;
  EXPECT_TRUE(account.DoSecurityRestrictActionOnServiceObject(L"", false));
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"given pObjectName is not correct. pObjectName="}))
      << log.Dump();
  EXPECT_FALSE(log.HasPart(2, L"ApplyInfoByName")) << log.Dump();
}

}  // namespace
