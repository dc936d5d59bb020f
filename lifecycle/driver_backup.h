// The driver file copied over, backed up and restored through the platform's installation utility.
#pragma once

#include <stdint.h>

namespace zyhok {

// Directions of CopyDriverFiles, for each driver name N of the driver list ("zyhok"):
// replace copies <first>N.sys over <second>N.sys, backup copies <first>N.sys to <second>N_backup.sys,
// rollback copies <first>N_backup.sys over <second>N.sys.
inline constexpr uint32_t kCopyReplace = 1;
inline constexpr uint32_t kCopyBackup = 2;
inline constexpr uint32_t kCopyRollback = 3;

// Copies the driver files in the direction `mode` through setupkit's Copy, replacing existing
// destination files. The folders are used as given: file names are appended directly, so they must end
// in "\". Returns 1 when every file was copied; 0 at the first failed copy (the error code logged at
// level 5, earlier copies kept), and 0 without touching or logging anything for a null folder or a mode
// other than 1, 2 or 3.
int CopyDriverFiles(const wchar_t* first_folder, const wchar_t* second_folder, uint32_t mode);

// Deletes <folder>N_backup.sys for each driver name. Returns 1 when all were deleted, 0 when at least
// one could not be (logged at level 2, also when it never existed); the others are still deleted.
int DeleteBackupFiles(const wchar_t* folder);

}  // namespace zyhok
