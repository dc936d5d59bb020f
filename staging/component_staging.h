// The monitor engine and event add-on copied from a package into versioned staging folders, and registered.
#pragma once

#include <stdint.h>

#include <string>

namespace zyhok {

// Stages zymon64.dll and zymon.dll from `package_folder` into
// <system>\zyhok\20019\ZyMon\<version> and <SysWOW64>\zyhok\20019\ZyMon\<version> (<version>: the
// FileVersion text of the package's zymon64.dll; left out when unreadable or when it names no folder,
// NamesVersionFolder) and registers both staged
// paths. *staged_flag ends at 1 only when both files were copied by this call (or at kStagedRepaired). Returns 0 for a
// null folder, else 1. File-system failures raise boost::filesystem::filesystem_error.
int StageMonitorEngine(const wchar_t* package_folder, uint32_t* staged_flag);

// The staged flag of a component whose files were found in place but whose registration held other
// copies (a run that did not end as it should lost it) and was written again: the copies registered before
// are replaced, yet, unlike a set flag, no empty path is handed to the retirement.
inline constexpr uint32_t kStagedRepaired = 2;

// Stages ZyHkEvt64.dll and ZyHkEvt.dll the same way into the AddOn branch, taking them from the
// add-on folder found beside the package (DeriveAddOnSourceFolder); a file is registered only when
// this call copied it. Returns 0 for a null folder or one without a "20019" component, else 1.
int StageEventAddOn(const wchar_t* package_folder, uint32_t* staged_flag);

// The add-on source folder of a package folder: up to and including its last "20019" component,
// then the component A that follows it twice, then "AddOn" (…\20019\A\A\AddOn). False when the
// folder has no "20019" component.
bool DeriveAddOnSourceFolder(const std::wstring& package_folder, std::wstring& source_folder);

}  // namespace zyhok
