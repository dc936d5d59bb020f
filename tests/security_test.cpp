// The DACL rewriting behind the access restriction of the driver's service object. Wine keeps no DACL
// on service objects (it reports an empty one and ignores writes) nor on files (it derives their DACL
// from the Unix mode), so it is checked on the object type Wine does secure: a registry key given a
// known DACL first. The lifecycle rows check the restriction's course on the real service.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "util/handle.h"
#include "util/util_PriviRestrict.h"

namespace {

using namespace zyhok_test;
using zyhok::CSecurityInfo;
using zyhok::UniqueLocal;

constexpr DWORD kRestricted = 0xE01FF;
constexpr DWORD kReadExecute = 0xA0000000;

// DACLs are written and compared as SDDL: "D:" ("D:P" when protected), then the entries in order.
// The DACL every test key starts with: a Guests entry denying KEY_SET_VALUE, Administrators
// KEY_ALL_ACCESS, Everyone KEY_READ, SYSTEM KEY_ALL_ACCESS and Administrators DELETE again.
const std::wstring kStartDacl = L"D:(D;;0x2;;;BG)(A;;0xf003f;;;BA)(A;;0x20019;;;WD)(A;;0xf003f;;;SY)(A;;0x10000;;;BA)";

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  wsprintfW(text, L"0x%x", value);
  return text;
}

// The start DACL after a rewrite: the deny entry kept, both Administrators entries `admin`, SYSTEM
// `system`, Everyone read/execute, and `extra` entries appended.
std::wstring Rewritten(DWORD admin, DWORD system = kReadExecute, const std::wstring& extra = L"") {
  return L"D:(D;;0x2;;;BG)(A;;" + Hex(admin) + L";;;BA)(A;;0xa0000000;;;WD)(A;;" + Hex(system) + L";;;SY)(A;;" +
         Hex(admin) + L";;;BA)" + extra;
}

std::wstring DaclSddl(PSECURITY_DESCRIPTOR descriptor) {
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr)) {
    return L"?";
  }
  UniqueLocal owned(text);
  return text;
}

UniqueLocal Descriptor(const std::wstring& sddl) {
  UniqueLocal descriptor;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                                   nullptr))
      << WideToUtf8(sddl);
  return descriptor;
}

// `sddl` as the platform writes it back (masks may be named), so that it compares with a stored DACL.
std::wstring Canonical(const std::wstring& sddl) { return DaclSddl(Descriptor(sddl).get()); }

// The entries of an SDDL text, sorted: for DACLs whose order the platform chooses.
std::vector<std::wstring> SortedEntries(const std::wstring& sddl) {
  std::vector<std::wstring> entries;
  for (size_t open = sddl.find(L'('); open != std::wstring::npos; open = sddl.find(L'(', open + 1)) {
    entries.push_back(sddl.substr(open, sddl.find(L')', open) - open + 1));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::wstring StoredDacl(const std::wstring& name) {
  PACL dacl = nullptr;
  UniqueLocal descriptor;
  const DWORD error = GetNamedSecurityInfoW(name.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, &dacl, nullptr, descriptor.put());
  if (error != ERROR_SUCCESS) return L"read error " + std::to_wstring(error);
  return dacl ? DaclSddl(descriptor.get()) : L"NULL DACL";  // the platform writes both as "D:"
}

DWORD WriteDacl(const std::wstring& name, const std::wstring& sddl,
                SECURITY_INFORMATION protection = UNPROTECTED_DACL_SECURITY_INFORMATION) {
  // An empty text stands for a NULL DACL (full access to everyone).
  UniqueLocal descriptor = Descriptor(sddl.empty() ? L"D:" : sddl);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!sddl.empty()) GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  return SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_REGISTRY_KEY,
                               DACL_SECURITY_INFORMATION | protection, nullptr, nullptr, dacl, nullptr);
}

// A registry key of its own with the start DACL, removed afterwards.
class DaclRewriteOnRegistryKey : public ::testing::Test {
 protected:
  void SetUp() override {
    subkey_ = L"SOFTWARE\\ZyhokSecurityTest-" + std::to_wstring(GetCurrentProcessId());
    object_ = L"MACHINE\\" + subkey_;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, subkey_.c_str(), nullptr, REG_SZ, L"", 2), ERROR_SUCCESS);
    // Wine 8's SetNamedSecurityInfoW does not hand PROTECTED_DACL_SECURITY_INFORMATION on to the
    // registry (the key's DACL is stored unprotected), so protection is checked only where the
    // platform stores it.
    ASSERT_EQ(WriteDacl(object_, kStartDacl, PROTECTED_DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    protection_ = StoredDacl(object_).rfind(L"D:P", 0) == 0 ? L"D:P" : L"D:";
    if (protection_ == L"D:") {
      std::cout << "[   NOTE   ] this platform stores no DACL protection through SetNamedSecurityInfoW\n";
    }
    ASSERT_EQ(WriteDacl(object_, kStartDacl), ERROR_SUCCESS);
    ASSERT_EQ(StoredDacl(object_), Canonical(kStartDacl));
  }

  void TearDown() override {
    // Whatever the test left, give full access back so the key can go.
    WriteDacl(object_, L"D:(A;;0xf003f;;;WD)");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey_.c_str()), ERROR_SUCCESS);
  }

  // Reads and rewrites the key's DACL with `info`; both steps must succeed.
  void Rewrite(CSecurityInfo& info, PSID target, DWORD target_access, DWORD admin_access) {
    ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), target, target_access, admin_access, kReadExecute), 0u);
    ASSERT_EQ(info.ApplyInfoByName(object_.c_str()), 0u);
  }
  // The stored DACL is `expected` and protected where the platform stores protection.
  void ExpectStored(const std::wstring& expected) const {
    EXPECT_EQ(StoredDacl(object_), Canonical(protection_ + expected.substr(2)));
  }

  std::wstring subkey_;
  std::wstring object_;
  std::wstring protection_;
};

// Restricting and then lifting the restriction twice with one object: every read drops the earlier
// descriptor, every Administrators entry gets the admin mask, the rest read/execute, the deny stays.
TEST_F(DaclRewriteOnRegistryKey, EveryAdministratorsEntryGetsTheAdminMaskOnEveryRound) {
  CSecurityInfo info(SE_REGISTRY_KEY);
  {
    LogCapture log;
    Rewrite(info, nullptr, GENERIC_ALL, kRestricted);
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
  ExpectStored(Rewritten(kRestricted));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Rewrite(info, nullptr, GENERIC_ALL, GENERIC_ALL);
    ExpectStored(Rewritten(GENERIC_ALL));
  }
}

// A target SID with an entry gets the target access there; one without an entry is merged in as a
// grant (SetEntriesInAclW chooses where the new entry goes, so the set of entries counts).
TEST_F(DaclRewriteOnRegistryKey, TargetSidGetsTheTargetAccessOrIsMergedIn) {
  LogCapture log;
  for (const wchar_t* target : {L"SY", L"BU"}) {
    SCOPED_TRACE(WideToUtf8(target));
    ASSERT_EQ(WriteDacl(object_, kStartDacl), ERROR_SUCCESS);
    log.Clear();
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(target, &sid));
    UniqueLocal owned(sid);
    CSecurityInfo info(SE_REGISTRY_KEY);
    Rewrite(info, sid, KEY_QUERY_VALUE, kRestricted);
    const bool found = std::wstring(target) == L"SY";
    EXPECT_EQ(SortedEntries(StoredDacl(object_)),
              SortedEntries(Canonical(found ? Rewritten(kRestricted, KEY_QUERY_VALUE)
                                            : Rewritten(kRestricted, kReadExecute, L"(A;;0x1;;;BU)"))));
    EXPECT_EQ(log.Has(2, L"Found target SID in DACL."), found) << log.Dump();
  }
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
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"GetNamedSecurityInfo error. dwRet=0x2"})) << log.Dump();
  EXPECT_TRUE(log.Has(2, L"<== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0x2")) << log.Dump();
  EXPECT_EQ(info.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  EXPECT_EQ(StoredDacl(object_), Canonical(kStartDacl));

  // A bad name on a later read drops the earlier result too.
  ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute), 0u);
  EXPECT_EQ(info.RetrieveInfoByNameEx(L"", nullptr, GENERIC_ALL, kRestricted, kReadExecute),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(info.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  // Never read at all.
  CSecurityInfo fresh(SE_REGISTRY_KEY);
  EXPECT_EQ(fresh.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  EXPECT_EQ(StoredDacl(object_), Canonical(kStartDacl));
}

TEST_F(DaclRewriteOnRegistryKey, ObjectWithNullDaclIsLeftAlone) {
  ASSERT_EQ(WriteDacl(object_, L""), ERROR_SUCCESS);
  ASSERT_EQ(StoredDacl(object_), L"NULL DACL");
  LogCapture log;
  CSecurityInfo info(SE_REGISTRY_KEY);
  EXPECT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), nullptr, GENERIC_ALL, kRestricted, kReadExecute),
            zyhok::kNoDaclError);
  EXPECT_EQ(log.Texts(5), std::vector<std::wstring>({L"GetNamedSecurityInfo error. dwRet=0"})) << log.Dump();
  EXPECT_EQ(info.ApplyInfoByName(object_.c_str()), zyhok::kNoDaclError);
  EXPECT_EQ(StoredDacl(object_), L"NULL DACL");
}

}  // namespace
