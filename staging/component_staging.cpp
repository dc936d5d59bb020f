// Staging of the monitor engine and the event add-on: their files are copied out of the package into
// versioned folders under the system folder (64-bit files) and SysWOW64 (32-bit files), and the
// registry values that point the driver at them are rewritten.
//
// The layout under each root is staging/staging_layout.h's. Paths are
// joined with boost::filesystem's append rule (a separator only where neither side has one).
// File-system failures leave these functions as boost::filesystem::filesystem_error.
#include <windows.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cwchar>
#include <cwctype>
#include <string>

#include "staging/Utilities.h"
#include "staging/component_registry.h"
#include "staging/component_staging.h"
#include "staging/path_rules.h"
#include "staging/staging_journal.h"
#include "staging/staging_layout.h"
#include "util/log.h"

namespace zyhok {

namespace {
constexpr const wchar_t* kLogSource = L"helperZYHOKDriver";

namespace fs = boost::filesystem;

// The staging root `root`, as a path; a root that the platform could not name stops the staging, as any
// other file-system failure does, rather than stage below the current drive's root.
fs::path UsableRoot(const std::wstring& root) {
  if (!IsUsableRoot(root)) {
    throw fs::filesystem_error("the system folder cannot be read", fs::path(root),
                               boost::system::error_code(ERROR_PATH_NOT_FOUND, boost::system::system_category()));
  }
  return fs::path(root);
}

// root\zyhok\20019\<branch><version_part>, each level created alone when missing. Each level is appended
// with its leading backslash ("\zyhok", "\20019", "\ZyMon"); `version_part` is empty or "\" + the version text.
fs::path MakeStagingFolder(const std::wstring& root, const wchar_t* branch, const std::wstring& version_part) {
  fs::path folder = UsableRoot(root);
  const std::wstring levels = std::wstring(kStagingFolder) + L"\\" + branch;
  for (size_t start = 0; start < levels.size();) {
    const size_t next = std::min(levels.find(L'\\', start + 1), levels.size());
    folder /= levels.substr(start, next - start);
    if (!fs::exists(folder)) fs::create_directory(folder);
    start = next;
  }
  folder /= version_part;
  if (!fs::exists(folder)) fs::create_directory(folder);
  return folder;
}

// What StageFile did with one file.
enum class Staged { kCopied, kFoundInPlace, kNoSource };

// Copies `source`\`file` to `staged`\`file` unless the source is missing or the file is already
// staged (the copy fails rather than overwrite). A file that an interrupted run of the same action was
// copying counts as missing: it is copied again over whatever part of it arrived, as that run would have
// left it whole.
Staged StageFile(const fs::path& source, const fs::path& staged, const wchar_t* file) {
  const fs::path from = source / file;
  const fs::path to = staged / file;
  if (!fs::exists(from)) return Staged::kNoSource;
  if (!fs::exists(to)) {
    StagingJournal::NoteStaging(to.wstring());
    fs::copy_file(from, to, fs::copy_options::none);
    return Staged::kCopied;
  }
  if (!StagingJournal::StagedByInterruptedRun(to.wstring())) return Staged::kFoundInPlace;
  // A copy held open by a process that loaded it since stays as it is: it came from this package.
  boost::system::error_code held;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, held);
  return Staged::kCopied;
}

// Reads the version text of `source`\`file64` into `version`; logs `failure_text` when it cannot, or
// when the text cannot name a folder (it would place the copies elsewhere). Returns whether it read one
// (`version` then holds it, possibly empty; else it is empty).
bool ReadComponentVersion(const fs::path& source, const wchar_t* file64, const wchar_t* failure_text,
                          std::wstring& version) {
  const fs::path file = (source / L"\\") / file64;
  if (GetFileVersionString(file.wstring(), version) && NamesVersionFolder(version, file64)) return true;
  version.clear();
  ZYLOG(kLogInstall, kLevelError) << failure_text << version;
  return false;
}

// Stages one component from `source_text`: version, folders, both files, and after each file its
// registration callback, told how StageFile went; a callback returns whether it repaired a registration
// of a file found in place. *staged_flag ends at 1 when both files were copied, else at kStagedRepaired
// when a registration was repaired, else at 0.
template <typename Register64, typename Register32>
void StageComponent(const std::wstring& source_text, const ComponentLayout& component, const wchar_t* version_failure,
                    uint32_t* staged_flag, Register64 register64, Register32 register32) {
  const fs::path source(source_text);
  std::wstring version;
  // A text that was read, even an empty one, is appended after a backslash: an empty text leaves the
  // staging folder ending in one.
  const bool read = ReadComponentVersion(source, component.file64, version_failure, version);
  const std::wstring version_part = read ? L"\\" + version : std::wstring();
  ZYLOG(kLogInstall, kLevelInfo) << L"Engine Path is:" << source_text;
  ZYLOG(kLogInstall, kLevelInfo) << L"Engine Version is:" << version;
  ZYLOG(kLogInstall, kLevelInfo) << L"fsTargetPath is:" << source_text;

  const fs::path native = MakeStagingFolder(GetSystemDirPath(), component.branch, version_part);
  ZYLOG(kLogInstall, kLevelInfo) << L"fsOurPath is:" << native.wstring();
  const Staged staged64 = StageFile(source, native, component.file64);
  if (staged64 != Staged::kCopied) {
    *staged_flag = 0;
    ZYLOG(kLogInstall, kLevelInfo) << L"The file has been exists." << L"\n" << L"TargetPath: "
                                   << source_text << L"\n" << L"OurPath: " << native.wstring();
  }
  bool repaired = register64(native.wstring(), version, staged64);

  const fs::path wow64 = MakeStagingFolder(GetSysWow64DirPath(), component.branch, version_part);
  ZYLOG(kLogInstall, kLevelInfo) << L"fsOurPathWow64 is:" << wow64.wstring();
  const Staged staged32 = StageFile(source, wow64, component.file32);
  if (staged32 != Staged::kCopied) {
    *staged_flag = 0;
    ZYLOG(kLogInstall, kLevelInfo) << L"The file has been exists.";
  }
  repaired = register32(wow64.wstring(), version, staged32) || repaired;
  if (*staged_flag == 0 && repaired) *staged_flag = kStagedRepaired;
}

}  // namespace

bool DeriveAddOnSourceFolder(const std::wstring& package_folder, std::wstring& source_folder) {
  std::wstring rest = package_folder;
  std::wstring after;  // the component that follows the last "20019"
  for (;;) {
    const size_t slash = rest.rfind(L'\\');
    if (rest.empty() || slash == std::wstring::npos) return false;
    const std::wstring last = rest.substr(slash + 1);
    if (last == kPackageMarker) break;
    after = last;
    rest.erase(slash);
  }
  source_folder = rest + L"\\" + after + L"\\" + after + L"\\" + kAddOnLayout.branch;
  return true;
}

int StageMonitorEngine(const wchar_t* package_folder, uint32_t* staged_flag) {
  *staged_flag = 1;
  if (package_folder == nullptr) {
    ZYLOG(kLogInstall, kLevelError) << L"The input folder path is null.";
    *staged_flag = 0;
    return 0;
  }
  // The engine is registered whether or not its file was copied: the package's version is always
  // the registered one afterwards. A file found in place whose values held something else had lost its
  // registration (a run that did not end as it should): registering it repairs that.
  StageComponent(
      package_folder, kEngineLayout, L"Retrieve engine version number failed:", staged_flag,
      [](const std::wstring& folder, const std::wstring&, Staged staged) {
        bool changed = false;
        RegisterMonitorEngine64(folder.c_str(), staged == Staged::kFoundInPlace ? &changed : nullptr);
        return changed;
      },
      [](const std::wstring& folder, const std::wstring&, Staged staged) {
        bool changed = false;
        RegisterMonitorEngine(folder.c_str(), staged == Staged::kFoundInPlace ? &changed : nullptr);
        return changed;
      });
  return 1;
}

int StageEventAddOn(const wchar_t* package_folder, uint32_t* staged_flag) {
  *staged_flag = 1;
  if (package_folder == nullptr) {
    ZYLOG(kLogInstall, kLevelError) << L"The input folder path is null.";
    *staged_flag = 0;
    return 0;
  }
  std::wstring source;
  if (!DeriveAddOnSourceFolder(package_folder, source)) {
    ZYLOG(kLogInstall, kLevelError) << L"The input folder path for AddOn is invalid.";
    *staged_flag = 0;
    return 0;
  }
  // An add-on file is registered when this call copied it, and when it was found in place but its values
  // hold something else (its registration was lost): otherwise the values stay as they are.
  const auto register_addon = [](auto register_one) {
    return [register_one](const std::wstring& folder, const std::wstring& version, Staged staged) {
      bool changed = false;
      if (staged == Staged::kCopied) register_one(folder.c_str(), version, nullptr);
      if (staged == Staged::kFoundInPlace) register_one(folder.c_str(), version, &changed);
      return changed;
    };
  };
  StageComponent(source, kAddOnLayout, L"Retrieve addon version number failed:", staged_flag,
                 register_addon(RegisterEventAddOn64), register_addon(RegisterEventAddOn));
  return 1;
}

}  // namespace zyhok
