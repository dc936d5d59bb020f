#include <windows.h>

#include <string>

#include "plugin_interface.h"
#include "lifecycle/driver_backup.h"
#include "setupkit.h"
#include "util/log.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

constexpr const wchar_t* kDriverSuffix = L".sys";
constexpr const wchar_t* kBackupSuffix = L"_backup.sys";

}  // namespace

int CopyDriverFiles(const wchar_t* first_folder, const wchar_t* second_folder, uint32_t mode) {
  if (first_folder == nullptr || second_folder == nullptr) return 0;
  const std::wstring first(first_folder);
  const std::wstring second(second_folder);
  if (mode != kCopyReplace && mode != kCopyBackup && mode != kCopyRollback) return 0;

  for (const wchar_t* name : kDriverList) {
    const std::wstring source = first + name + (mode == kCopyRollback ? kBackupSuffix : kDriverSuffix);
    const std::wstring destination = second + name + (mode == kCopyBackup ? kBackupSuffix : kDriverSuffix);
    const wchar_t* what = mode == kCopyReplace  ? L"replace old drivers with new drivers from: "
                          : mode == kCopyBackup ? L"backup old drivers from: "
                                                : L"rollback to old drivers from: ";
    ZYLOG(kLogInstall, kLevelInfo) << what << source << L" to " << destination;

    uint32_t error = 0;
    if (!Copy(destination, source, true, &error)) {
      ZYLOG(kLogInstall, kLevelError) << L"Copy file failed." << error;
      return 0;
    }
  }
  return 1;
}

int DeleteBackupFiles(const wchar_t* folder) {
  if (folder == nullptr) return 0;
  int result = 1;
  for (const wchar_t* name : kDriverList) {
    const std::wstring backup = std::wstring(folder) + name + kBackupSuffix;
    if (!DeleteFileW(backup.c_str())) {
      ZYLOG(kLogInstall, kLevelInfo) << L"delete backup file " << backup << L" failed";
      result = 0;
    }
  }
  return result;
}

}  // namespace zyhok
