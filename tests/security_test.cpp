// The DACL rewriting behind the driver service's access restriction, simulated on a registry key with a
// known DACL (Wine keeps none on services). The lifecycle rows check its course on the real service.
#include "support/test_support.h"
#include <aclapi.h>
#include <sddl.h>
#include <algorithm>
#include "util/util_PriviRestrict.h"

using namespace zyhok_test;
using zyhok::CSecurityInfo;
using zyhok::UniqueLocal;
using Texts = std::vector<std::wstring>;
// DACLs are written and compared as SDDL. Every test key starts with a Guests entry denying KEY_SET_VALUE,
// Administrators KEY_ALL_ACCESS, Everyone KEY_READ, SYSTEM KEY_ALL_ACCESS and Administrators DELETE again.
const std::wstring kStartDacl = L"D:(D;;0x2;;;BG)(A;;0xf003f;;;BA)(A;;0x20019;;;WD)(A;;0xf003f;;;SY)(A;;0x10000;;;BA)";
// The start DACL after a rewrite: the deny entry kept, both Administrators entries `admin`, SYSTEM
// `system`, Everyone read/execute.
static std::wstring Rewritten(DWORD admin, DWORD system = 0xA0000000) {
  wchar_t text[160];
  wsprintfW(text, L"D:(D;;0x2;;;BG)(A;;0x%x;;;BA)(A;;0xa0000000;;;WD)(A;;0x%x;;;SY)(A;;0x%x;;;BA)", admin,
            system, admin);
  return text;
}
static UniqueLocal Descriptor(const std::wstring& sddl) {
  UniqueLocal d;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), 1, d.put(), nullptr));
  return d;
}
// The DACL entries of a descriptor as SDDL (masks as the platform names them), sorted on request.
static Texts Entries(PSECURITY_DESCRIPTOR descriptor, bool sorted = false) {
  wchar_t* sddl = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                       &sddl, nullptr);
  UniqueLocal owned(sddl);
  const std::wstring text = sddl ? sddl : L"?";
  Texts entries;
  for (size_t open = text.find(L'('); open != std::wstring::npos; open = text.find(L'(', open + 1)) {
    entries.push_back(text.substr(open, text.find(L')', open) - open + 1));
  }
  if (sorted) std::sort(entries.begin(), entries.end());
  return entries;
}
static Texts Expected(const std::wstring& sddl, bool any_order = false) {
  return Entries(Descriptor(sddl).get(), any_order);
}
// A registry key of its own with the start DACL, removed afterwards.
// clang-format off
class DaclRewriteOnRegistryKey : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, subkey_.c_str(), nullptr, REG_SZ, L"", 2), ERROR_SUCCESS);
    ASSERT_EQ(WriteDacl(kStartDacl), ERROR_SUCCESS);
  }
  void TearDown() override {
    WriteDacl(L"D:(A;;0xf003f;;;WD)");  // full access back, so the key can go
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey_.c_str()), ERROR_SUCCESS);
  }
  DWORD WriteDacl(const std::wstring& sddl) {  // "" for a NULL DACL (full access to everyone)
    UniqueLocal descriptor = Descriptor(sddl.empty() ? L"D:" : sddl);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sddl.empty()) GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
    return SetNamedSecurityInfoW(&object_[0], SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, 0, 0, dacl, 0);
  }
  Texts Stored(bool sorted = false) const {  // {"NULL DACL"} for none
    PACL dacl = nullptr;
    UniqueLocal descriptor;
    const DWORD error = GetNamedSecurityInfoW(object_.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, &dacl, nullptr, descriptor.put());
    if (error != ERROR_SUCCESS || !dacl) return {error ? L"error " + std::to_wstring(error) : L"NULL DACL"};
    return Entries(descriptor.get(), sorted);
  }
  DWORD Read(CSecurityInfo& info, const std::wstring& name) {
    return info.RetrieveInfoByNameEx(name.c_str(), nullptr, KEY_QUERY_VALUE, 0xE01FF, 0xA0000000);
  }

  const std::wstring subkey_ = L"SOFTWARE\\ZyhokSecurityTest-" + std::to_wstring(GetCurrentProcessId());
  std::wstring object_ = L"MACHINE\\" + subkey_;
};
// One object through five rounds, each read dropping the earlier descriptor. The first three go through
// the service restriction itself, put on (administrators 0xE01FF) and lifted twice (GENERIC_ALL), on the
// registry key standing in for the service; every Administrators entry gets the admin mask, the other
// allowed entries read/execute (0xA0000000), the deny entry stays. The last two name a target SID: its
// entry gets the target access, and a target without an entry is merged in as a grant (SetEntriesInAclW
// chooses where, so those entries compare in any order). "Util COMMON" logs it from util_PriviRestrict.
TEST_F(DaclRewriteOnRegistryKey, EveryEntryGetsItsMaskOnEveryRound) {
  const std::wstring admin = L"2u Found administrators SID in DACL.", target = L"2u Found target SID in DACL.";
  const struct { const wchar_t* sid; int restrict; std::wstring dacl; Texts found; bool any_order; } rows[] = {
      {nullptr, 1, Rewritten(0xE01FF), {admin, admin}, false},
      {nullptr, 0, Rewritten(0x10000000), {admin, admin}, false},
      {nullptr, 0, Rewritten(0x10000000), {admin, admin}, false},
      {L"SY", -1, Rewritten(0xE01FF, KEY_QUERY_VALUE), {admin, target, admin}, false},
      {L"BU", -1, Rewritten(0xE01FF) + L"(A;;0x1;;;BU)", {admin, admin}, true}};
  CSecurityInfo info(SE_REGISTRY_KEY);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.dacl);
    PSID sid = nullptr;
    ASSERT_TRUE(!r.sid || ConvertStringSidToSidW(r.sid, &sid));
    UniqueLocal owned(sid);
    LogCapture log;
    const std::wstring act = L"CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,";
    Texts story = {L"2u ==> " + act + L"pwszServiceName=" + object_ + L", bRestrictAct=" + std::to_wstring(r.restrict),
                   L"2u ==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=" + object_,
                   L"2u [GetBuiltinSid] find account group name=Administrators, dwRID=0x220"};
    story.insert(story.end(), r.found.begin(), r.found.end());
    story.insert(story.end(), {L"2u <== CSecurityInfo::RetrieveInfoByNameEx,dwRet=0",
                               L"2u ==> CSecurityInfo::ApplyInfoByName,pObjectName=" + object_,
                               L"2u <== CSecurityInfo::ApplyInfoByName,dwRet=0", L"2u <== " + act + L" bRet=0x1"});
    if (r.restrict >= 0) {
      zyhok::CWorkOnSpecificAccount account(SE_REGISTRY_KEY);
      EXPECT_EQ(account.DoSecurityRestrictActionOnServiceObject(object_.c_str(), r.restrict), TRUE);
    } else {  // the read and write alone
      story = Texts(story.begin() + 1, story.end() - 1);
      ASSERT_EQ(info.RetrieveInfoByNameEx(object_.c_str(), sid, KEY_QUERY_VALUE, 0xE01FF, 0xA0000000), 0u);
      ASSERT_EQ(info.ApplyInfoByName(object_.c_str()), 0u);
    }
    EXPECT_EQ(Stored(r.any_order), Expected(r.dacl, r.any_order));
    EXPECT_EQ(log.Told(), story);
    for (auto& l : log.Lines()) EXPECT_EQ(l.module + L" " + l.source, L"Util COMMON util_PriviRestrict");
  }
}
// clang-format on

// A read that fails (missing object, empty name, NULL DACL: everyone may do everything) logs why, returns the error and
// drops the earlier read's result, so nothing is written; an object never read writes nothing either.
// clang-format off
TEST_F(DaclRewriteOnRegistryKey, FailedReadLeavesNothingToWrite) {
  CSecurityInfo fresh(SE_REGISTRY_KEY);
  EXPECT_EQ(fresh.ApplyInfoByName(object_.c_str()), 0x546u);
  const struct { std::wstring name; bool null_dacl; DWORD error; const wchar_t *line, *returned; } cases[] = {
      {object_ + L"\\missing", false, ERROR_FILE_NOT_FOUND, L"GetNamedSecurityInfo error. dwRet=0x2", L"0x2"},
      {L"", false, ERROR_INVALID_DATA, L"given pObjectName is not correct. pObjectName=", L"0xd"},
      {object_, true, 0x546u, L"GetNamedSecurityInfo error. dwRet=0", L"0x546"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    CSecurityInfo info(SE_REGISTRY_KEY);
    ASSERT_EQ(Read(info, object_), 0u);
    ASSERT_EQ(WriteDacl(c.null_dacl ? L"" : kStartDacl), ERROR_SUCCESS);
    LogCapture log;
    EXPECT_EQ(Read(info, c.name), c.error);
    EXPECT_EQ(log.Told(), Texts({L"2u ==> CSecurityInfo::RetrieveInfoByNameEx,pObjectName=" + c.name,
                                 L"5u " + std::wstring(c.line),
                                 L"2u <== CSecurityInfo::RetrieveInfoByNameEx,dwRet=" + std::wstring(c.returned)}));
    EXPECT_EQ(info.ApplyInfoByName(object_.c_str()), 0x546u);
    EXPECT_EQ(Stored(), c.null_dacl ? Texts({L"NULL DACL"}) : Expected(kStartDacl));
  }
}
// clang-format on
