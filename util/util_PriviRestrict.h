// Access restriction of the driver's service object.
//
// While the restriction is on, administrators hold every right on the service except DELETE
// (kServiceAdminRestrictedAccess); lifting it gives them GENERIC_ALL back. Every other access-allowed
// entry gets GENERIC_READ | GENERIC_EXECUTE in both modes; access-denied and other entry kinds are
// never touched. The DACL is written back protected from inheritance.
//
// The DACL is rewritten read-modify-write: a read that fails (bad name, no access, no DACL) leaves the
// object without any pending write, so nothing is ever written from a failed read and no empty or
// NULL DACL is ever written in place of one that could not be read.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <string>

#include "util/handle.h"

namespace zyhok {

// Administrators while restricted: every service right except DELETE.
inline constexpr DWORD kServiceAdminRestrictedAccess = 0xE01FF;
// Administrators while not restricted.
inline constexpr DWORD kServiceAdminFullAccess = GENERIC_ALL;
// Every other access-allowed entry, in both modes.
inline constexpr DWORD kServiceOtherAccess = GENERIC_READ | GENERIC_EXECUTE;
// Relative identifier of the builtin Administrators alias (S-1-5-32-544).
inline constexpr DWORD kAdministratorsRid = DOMAIN_ALIAS_RID_ADMINS;
// What RetrieveInfoByNameEx returns when the object was read but carries no DACL, and what
// ApplyInfoByName returns when no DACL has been read to write back.
inline constexpr DWORD kNoDaclError = ERROR_NO_SECURITY_ON_OBJECT;

// The group and DACL of one named object of one type, read, rewritten in memory and written back.
// Logs under "Util COMMON".
class CSecurityInfo {
 public:
  // `object_type` is SE_SERVICE for the driver's service; any type GetNamedSecurityInfoW accepts works.
  explicit CSecurityInfo(SE_OBJECT_TYPE object_type);
  virtual ~CSecurityInfo();
  CSecurityInfo(const CSecurityInfo&) = delete;
  CSecurityInfo& operator=(const CSecurityInfo&) = delete;

  // Reads the group and DACL of `object_name`, dropping whatever an earlier read held, and rewrites the
  // masks of the access-allowed entries in memory: an entry for `target_sid` (may be null) gets
  // `target_access`, an Administrators entry `admin_access`, every other one `other_access`. When a
  // target SID is given but has no entry, a granting entry for it is merged into a new ACL. Returns 0,
  // or the Windows error: 13 for a null or empty name, the GetNamedSecurityInfoW error, kNoDaclError
  // when the object has no DACL, the SetEntriesInAclW error. After a non-zero result nothing is held.
  DWORD RetrieveInfoByNameEx(const wchar_t* object_name, PSID target_sid, DWORD target_access,
                             DWORD admin_access, DWORD other_access);

  // Writes the group and the rewritten DACL to `object_name`, protected from inheritance. Returns the
  // SetNamedSecurityInfoW result, 13 for a null or empty name, or kNoDaclError (nothing written) when
  // no successful read precedes it.
  DWORD ApplyInfoByName(const wchar_t* object_name);

 private:
  // Frees the new ACL and the security descriptor and clears the pointers into them.
  void Release();

  SECURITY_INFORMATION security_info_;
  SE_OBJECT_TYPE object_type_;
  PSID owner_ = nullptr;  // not requested; stays null
  PSID group_ = nullptr;  // points into descriptor_
  PACL dacl_ = nullptr;   // points into descriptor_
  UniqueLocal new_acl_;   // built by SetEntriesInAclW when a target entry was added
  PACL sacl_ = nullptr;   // not requested; stays null
  UniqueLocal descriptor_;
};

// Puts the restriction on a service object or takes it off.
class CWorkOnSpecificAccount {
 public:
  // The object the restriction works on is a service; another type (a registry key, whose DACL a test
  // can read back where the platform keeps none on services) gets exactly the same rewriting.
  explicit CWorkOnSpecificAccount(SE_OBJECT_TYPE object_type = SE_SERVICE) : object_type_(object_type) {}
  // Ends an impersonation that is still in force (logs a failing RevertToSelf at level 5).
  virtual ~CWorkOnSpecificAccount();
  CWorkOnSpecificAccount(const CWorkOnSpecificAccount&) = delete;
  CWorkOnSpecificAccount& operator=(const CWorkOnSpecificAccount&) = delete;

  // Rewrites the service's DACL for `restrict` (see the file comment). Returns FALSE only when the
  // write fails; a failed read writes nothing and still returns TRUE (the read logs its error).
  BOOL DoSecurityRestrictActionOnServiceObject(const wchar_t* service_name, bool restrict);

 private:
  std::wstring account_name_;
  std::wstring domain_name_;
  UniqueSid account_sid_;
  bool impersonating_ = false;
  SE_OBJECT_TYPE object_type_;
};

// Allocates the builtin alias SID S-1-5-32-<relative_id>, or the world SID S-1-1-0 for 0, and checks
// that the local system knows the account. On TRUE the caller owns *sid (free with FreeSid; pass
// UniqueSid::put()); on FALSE *sid is null. Logs under "Util COMMON".
BOOL GetBuiltinSid(DWORD relative_id, PSID* sid);

// Puts the restriction on the driver's service `zyhok` (TRUE) or takes it off (FALSE). A failure is
// logged at level 5 under "ZYHOK Driver Installation"; callers go on either way.
void SetDriverServicePrivilege(BOOL restrict);

}  // namespace zyhok
