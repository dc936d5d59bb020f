#include "plugin_interface.h"
#include "util/log.h"
#include "util/text.h"
#include "util/util_PriviRestrict.h"

#include <windows.h>
#include <aclapi.h>

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"util_PriviRestrict";

// Target access handed along with no target SID, so that it takes no effect.
constexpr DWORD kTargetAccess = GENERIC_ALL;
// Buffers of LookupAccountSidW, in characters.
constexpr DWORD kAccountNameChars = 259;
constexpr DWORD kDomainNameChars = 260;

}  // namespace

CSecurityInfo::CSecurityInfo(SE_OBJECT_TYPE object_type)
    : security_info_(GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
      object_type_(object_type) {}

CSecurityInfo::~CSecurityInfo() { Release(); }

void CSecurityInfo::Release() {
  new_acl_.reset();
  descriptor_.reset();
  owner_ = nullptr;
  group_ = nullptr;
  dacl_ = nullptr;
  sacl_ = nullptr;
}

DWORD CSecurityInfo::RetrieveInfoByNameEx(const wchar_t* object_name, PSID target_sid,
                                          DWORD target_access, DWORD admin_access,
                                          DWORD other_access) {
  ZYLOG(kLogCommon, kLevelInfo) << L"==> CSecurityInfo::RetrieveInfoByNameEx," << L"pObjectName="
                                << object_name;
  // Dropped first, so that a read that fails for any reason leaves nothing behind to be written.
  Release();
  DWORD result = ERROR_SUCCESS;
  if (IsEmpty(object_name)) {
    ZYLOG(kLogCommon, kLevelError) << L"given pObjectName is not correct. pObjectName=" << object_name;
    result = ERROR_INVALID_DATA;
  } else {
    const DWORD read = GetNamedSecurityInfoW(const_cast<wchar_t*>(object_name), object_type_,
                                             security_info_, nullptr, &group_, &dacl_, nullptr,
                                             descriptor_.put());
    if (read != ERROR_SUCCESS || dacl_ == nullptr) {
      // A NULL DACL grants everyone everything; rewriting it would have nothing to start from.
      ZYLOG(kLogCommon, kLevelError) << L"GetNamedSecurityInfo error. dwRet=" << read;
      result = read != ERROR_SUCCESS ? read : kNoDaclError;
    }
  }

  if (result == ERROR_SUCCESS) {
    // Without the Administrators SID every allowed entry counts as "other".
    UniqueSid administrators;
    GetBuiltinSid(kAdministratorsRid, administrators.put());

    bool target_found = false;
    for (DWORD index = 0; index < dacl_->AceCount; ++index) {
      void* entry = nullptr;
      if (!GetAce(dacl_, index, &entry)) continue;
      if (static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      PSID entry_sid = &allowed->SidStart;
      if (target_sid != nullptr && EqualSid(target_sid, entry_sid)) {
        allowed->Mask = target_access;
        target_found = true;
        ZYLOG(kLogCommon, kLevelInfo) << L"Found target SID in DACL.";
      } else if (administrators && EqualSid(administrators.get(), entry_sid)) {
        allowed->Mask = admin_access;
        ZYLOG(kLogCommon, kLevelInfo) << L"Found administrators SID in DACL.";
      } else {
        allowed->Mask = other_access;
      }
    }

    if (target_sid != nullptr && !target_found) {
      EXPLICIT_ACCESS_W access = {};
      access.grfAccessPermissions = target_access;
      access.grfAccessMode = GRANT_ACCESS;
      access.grfInheritance = NO_INHERITANCE;
      access.Trustee.pMultipleTrustee = nullptr;
      access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
      access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
      access.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
      access.Trustee.ptstrName = static_cast<LPWSTR>(target_sid);
      PACL merged = nullptr;
      const DWORD set = SetEntriesInAclW(1, &access, dacl_, &merged);
      new_acl_.reset(merged);
      if (set != ERROR_SUCCESS) {
        ZYLOG(kLogCommon, kLevelError) << L"SetEntriesInAcl failed. dwRes=" << set;
        result = set;
      }
    }
    if (result != ERROR_SUCCESS) Release();
  }

  ZYLOG(kLogCommon, kLevelInfo) << L"<== CSecurityInfo::RetrieveInfoByNameEx," << L"dwRet=" << result;
  return result;
}

DWORD CSecurityInfo::ApplyInfoByName(const wchar_t* object_name) {
  ZYLOG(kLogCommon, kLevelInfo) << L"==> CSecurityInfo::ApplyInfoByName," << L"pObjectName="
                                << object_name;
  DWORD result = ERROR_SUCCESS;
  PACL acl = new_acl_ ? static_cast<PACL>(new_acl_.get()) : dacl_;
  if (IsEmpty(object_name)) {
    ZYLOG(kLogCommon, kLevelError) << L"given pObjectName is NULL or empty.";
    result = ERROR_INVALID_DATA;
  } else if (acl == nullptr) {
    // With DACL_SECURITY_INFORMATION a null ACL would be written as a NULL DACL (full access for
    // everyone), so nothing is written unless a read succeeded.
    ZYLOG(kLogCommon, kLevelError) << L"no DACL read to apply. pObjectName=" << object_name;
    result = kNoDaclError;
  } else {
    result = SetNamedSecurityInfoW(const_cast<wchar_t*>(object_name), object_type_,
                                   security_info_ | PROTECTED_DACL_SECURITY_INFORMATION, owner_, group_,
                                   acl, sacl_);
  }
  ZYLOG(kLogCommon, kLevelInfo) << L"<== CSecurityInfo::ApplyInfoByName," << L"dwRet=" << result;
  return result;
}

CWorkOnSpecificAccount::~CWorkOnSpecificAccount() {
  if (impersonating_ && !RevertToSelf()) {
    const DWORD error = GetLastError();
    ZYLOG(kLogCommon, kLevelError) << L"RevertToSelf failed. GetLastError=" << error;
  }
}

BOOL CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject(const wchar_t* service_name,
                                                                      bool restrict) {
  ZYLOG(kLogCommon, kLevelInfo) << L"==> CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
                                << L"pwszServiceName=" << service_name << L", bRestrictAct=" << restrict;
  BOOL result = TRUE;
  {
    CSecurityInfo info(object_type_);
    const DWORD admin_access = restrict ? kServiceAdminRestrictedAccess : kServiceAdminFullAccess;
    if (info.RetrieveInfoByNameEx(service_name, nullptr, kTargetAccess, admin_access,
                                  kServiceOtherAccess) == ERROR_SUCCESS) {
      const DWORD applied = info.ApplyInfoByName(service_name);
      if (applied != ERROR_SUCCESS) {
        result = FALSE;
        ZYLOG(kLogCommon, kLevelError) << L"Apply privilege to service obj failed. pwszServiceName="
                                       << service_name << L", dwErrSvc=" << applied;
      }
    }
  }
  ZYLOG(kLogCommon, kLevelInfo) << L"<== CWorkOnSpecificAccount::DoSecurityRestrictActionOnServiceObject,"
                                << L" bRet=" << result;
  return result;
}

BOOL GetBuiltinSid(DWORD relative_id, PSID* sid) {
  if (sid == nullptr) return FALSE;
  *sid = nullptr;
  UniqueSid allocated;
  BOOL made = FALSE;
  if (relative_id != 0) {
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    made = AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID, relative_id, 0, 0, 0,
                                    0, 0, 0, allocated.put());
  } else {
    SID_IDENTIFIER_AUTHORITY world_authority = SECURITY_WORLD_SID_AUTHORITY;
    made = AllocateAndInitializeSid(&world_authority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                    allocated.put());
  }
  if (!made) {
    const DWORD error = GetLastError();
    ZYLOG(kLogCommon, kLevelError) << L"[GetBuiltinSid] (Err) - can't AllocateAndInitializeSid. GetLastError="
                                   << error << L", dwRID=" << relative_id;
    return FALSE;
  }

  wchar_t name[kAccountNameChars] = {};
  wchar_t domain[kDomainNameChars] = {};
  DWORD name_chars = kAccountNameChars;
  DWORD domain_chars = kDomainNameChars;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, allocated.get(), name, &name_chars, domain, &domain_chars, &use)) {
    const DWORD error = GetLastError();
    ZYLOG(kLogCommon, kLevelError) << L"[GetBuiltinSid] (Err) - can't find account. GetLastError="
                                   << error << L", dwRID=" << relative_id;
    return FALSE;
  }
  ZYLOG(kLogCommon, kLevelInfo) << L"[GetBuiltinSid] find account group name=" << name << L", dwRID="
                                << relative_id;
  *sid = allocated.release();
  return TRUE;
}

void SetDriverServicePrivilege(BOOL restrict) {
  CWorkOnSpecificAccount account;
  if (!account.DoSecurityRestrictActionOnServiceObject(kDriverName, restrict != FALSE)) {
    ZYLOG(kLogInstall, kLevelError) << L"Failed to set service privilege for " << kDriverName;
  }
}

}  // namespace zyhok
