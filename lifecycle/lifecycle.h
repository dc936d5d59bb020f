// Driver lifecycle: install, update and uninstall from a driver-info record, and their file and
// registry steps.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace zyhok {

// ---- Driver path normalisation and file retirement ----

// Units of the normalised driver folder buffer, terminator included.
inline constexpr size_t kNormalizedPathUnits = MAX_PATH;

// Turns the record's driver path into the normalised driver folder: the first "\\.\" in the path is
// collapsed into one backslash (C:\a\\.\b -> C:\a\b); everything else is kept as it stands.
// Reads at most the record's 1024 units of `record_path`, so a path without a terminator is safe.
// Returns 1 with `out` (kNormalizedPathUnits units) filled; 0 when `out` or `record_path` is null or
// the result does not fit in `out` with its terminator (then `out`, if given, is left empty).
int NormalizeDriverPath(const wchar_t* record_path, wchar_t* out);

// The text before the last '\' of `path`, or before the last '/' when there is no '\'. False, and
// `folder` untouched, for an empty path or one without a separator.
bool GetParentFolder(const std::wstring& path, std::wstring& folder);

// The name a file is renamed to when it cannot be deleted: path + "." + the tick count printed as a
// signed decimal number, cut to the 259 units that fit in MAX_PATH with the terminator.
std::wstring RetirementName(const std::wstring& path, DWORD tick_count);

// Deletes the file; when that is refused (a process has it loaded), renames it to its retirement
// name and schedules the renamed file for deletion at the next reboot, so the file's own name is free
// at once. When the rename fails too, logs a warning and schedules the file under its own name.
// Best effort: reports nothing.
void RetireFile(const std::wstring& path);

// Removes the folder, or schedules it for deletion at the next reboot when it cannot be removed now (a
// folder that is not there is left alone).
void RemoveFolderOrDefer(const std::wstring& folder);

// Whether `path` names a component file that staging may have written: zymon64.dll, zymon.dll,
// ZyHkEvt64.dll or ZyHkEvt.dll (case ignored) directly in <root>\zyhok\20019\ZyMon or ...\AddOn, or
// in one folder below either, where <root> is the system folder or SysWOW64. The path must be in its
// plain full form: a drive-letter path that GetFullPathNameW leaves as it is (no "." or ".." element,
// "/" or doubled separator), not a "\\?\", "\\.\" or UNC path, at most 259 units. The one doubled
// separator allowed is the form an add-on with an empty version text is registered in, right after
// "AddOn" (<root>\zyhok\20019\AddOn\\ZyHkEvt64.dll).
bool IsStagedComponentPath(const std::wstring& path);

// The two below retire a registered or journalled copy. Those paths are read from the registry, so
// each is an input: a non-empty path that IsStagedComponentPath refuses is left alone with a level-3
// line that names it. An empty path goes through, as nothing that exists.
// RetireFile, then RemoveFolderOrDefer on the file's folder.
void RetireFileAndFolder(const std::wstring& path);

// RetireFile, then RemoveFolderOrDefer on the file's folder and then on the folder above it
// (X\ZyMon\1\zymon.dll: the file, X\ZyMon\1, X\ZyMon).
void RetireFileAndTwoFolders(const std::wstring& path);

// The four registered component paths, as GetRegisteredComponentPaths and ...64 read them (32-bit engine and
// add-on, 64-bit engine and add-on); a path that cannot be read is empty.
std::vector<std::wstring> RegisteredComponentPaths();

// Repair after a run that did not end as it should, inside the staging tree of `root` only: every component
// copy in its ZyMon and AddOn folders, or one version folder below, that is not in `registered` is retired
// (a level-3 line names it), files that a retirement renamed aside are deleted where they can be, and
// version folders that hold nothing registered are removed when empty. Nothing for an unusable root.
void TidyStagingTree(const std::wstring& root, const std::vector<std::wstring>& registered);

// Drops the deletions queued for the next reboot, inside the two staging trees, that no longer apply: a path
// that is gone (a later run removed it; a file staged there again would be deleted at the reboot), and a
// registered copy or a folder that holds one. A level-3 line names each; other entries stay as they are.
void DropStaleQueuedDeletions(const std::vector<std::wstring>& registered);

// ---- end of driver path normalisation and file retirement ----

// ---- Driver file backup, replace and rollback ----

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

// ---- end of driver file backup, replace and rollback ----

// ---- Driver service key settings ----

// "SYSTEM\CurrentControlSet\Services\zyhok": the driver's service key under HKEY_LOCAL_MACHINE.
std::wstring DriverServiceKeyPath();

// Writes "ZYHOKSystemDiskName" (device of the system directory's drive, empty when it cannot be
// queried), "BootStatus" = 0xFFFFFFFF, "GHSwitch" = 1 and "HokFlags" = 0 under the service key,
// creating it when missing. Every write is attempted; none is reported. Always returns 1.
int SetDriverServiceSettings();

// Read the registered 32-bit (64-bit) engine path ("ZYHOKMonDllName" / "ZYHOKMonDll64Name") and
// add-on path ("path" under "AddOn\ZyHkEvt" / "AddOn\ZyHkEvt64") of the service key into the
// out-strings; a missing value leaves its string as it was. True when both strings are non-empty.
bool GetRegisteredComponentPaths(std::wstring& engine_path, std::wstring& addon_path);
bool GetRegisteredComponentPaths64(std::wstring& engine_path, std::wstring& addon_path);

// ---- end of driver service key settings ----

// ---- Service deletion and ownership flags ----

// 1 when "DeleteFlag" under the service key of `service_name` exists, reads and is non-zero (the
// service is marked for deletion at the next reboot); 0 otherwise. Changes nothing.
int _CheckDeleteFlagRegistry(const wchar_t* service_name);

// Takes this platform's share in a driver that another product installed: "PermCount" + 1 (1 when it
// cannot be read), "DeleteFlag" removed, "InstalledByZefa" = 1 (creating the key when missing). True
// when the service key opened and "InstalledByZefa" was written.
bool ModifyZyhokRegistry();

// ---- end of service deletion and ownership flags ----

// ---- Install, update, uninstall ----

struct DrvInfo;

// The record's driver path, read no further than its 1024 units.
std::wstring RecordDriverPath(const DrvInfo& record);
// `folder` with "\\" appended unless it already ends in "\\" or "/".
std::wstring WithTrailingSeparator(const std::wstring& folder);
// The INF file of driver `name` in `folder`: folder, a separator unless it ends in one, name, ".inf".
std::wstring InfPathFor(const std::wstring& folder, const wchar_t* name);
// Whether two paths name the same file, compared as Windows compares names (ordinal, ignoring case), a
// run of backslashes after the first two units counting as one (an add-on with an empty version text is
// registered as "...\AddOn\\ZyHkEvt64.dll").
bool SamePath(const std::wstring& a, const std::wstring& b);

// The three actions of a driver-info record. Each returns a result code of plugin/plugin.h. A
// file-system error from component staging leaves install and update as a
// boost::filesystem::filesystem_error; the dispatch turns it into a result code.
uint32_t InstallDrvFromDrvInfo(const DrvInfo& record);
uint32_t UninstallDrvFromDrvInfo(const DrvInfo& record);
uint32_t UpdateDrvFromDrvInfo(const DrvInfo& record);

// The engine and add-on copies registered before an install or update stages the package's own
// (the 64-bit paths are read only when both 32-bit ones are set). Once staging has put new copies
// in place, RetireReplaced retires the old ones, each with its version folder, but never a path that is
// registered now (the action's own copy, staged again where a lost one was).
struct PreviousComponents {
  std::wstring engine32, addon32, engine64, addon64;

  static PreviousComponents Read();
  // A staged flag of kStagedRepaired retires only the non-empty paths. Returns the copies registered now
  // (RegisteredComponentPaths), which it read to know them.
  std::vector<std::wstring> RetireReplaced(uint32_t engine_staged, uint32_t addon_staged) const;
  // Empties the staged-component paths whose file and folder are both gone: an interrupted run
  // retired them already.
  void ForgetRetired();
};

// Retires every staged engine and add-on copy named in the registry, with their staging folders.
void RemoveStagedComponents();

// What an action must remember so that the next run finishes it as one clean run would have, should it
// not end as it should: a platform call that failed, or a process that died half-way (see
// action_journal.cpp for where it lives and what it holds). One object spans one action: it takes over the
// journal that an earlier run left ("inherited"), and removes it when the action commits (it ended as it
// should and nothing was left to repair); any other end keeps it. Its destructor never throws, also
// without memory.
class ActionJournal {
 public:
  ActionJournal();
  ~ActionJournal();
  ActionJournal(const ActionJournal&) = delete;
  ActionJournal& operator=(const ActionJournal&) = delete;

  // The copies to retire once staging has replaced them: those registered when the first run of the
  // action that left the journal began, less those retired since; else the ones registered now, which
  // are then recorded.
  PreviousComponents Previous();

  // For staging, during the action that holds a journal: a file about to be copied into a staging
  // folder where it was missing; and whether an earlier run copied (or began to copy) this file, so
  // that it counts as copied by this action.
  static void NoteStaging(const std::wstring& file);
  static bool StagedByInterruptedRun(const std::wstring& file);
  // For any step of the action that holds a journal: something was left for the next action to repair
  // (a registered path that could not be read, a copy or folder that waits for the next reboot, a path
  // refused); the journal outlives the action, and the next one tidies the staging trees.
  static void NoteRepair();

  // Whether an earlier run left a journal: that run did not end as it should, so this one, once its own
  // work is done, also tidies the staging trees.
  bool Inherited() const { return !inherited_.empty(); }
  // The action ended as it should: the journal goes with this object, unless a repair was noted.
  void Commit() { committed_ = true; }

  // For the uninstall's share: "PermCount" as an interrupted give-up found it, when `count_now` shows
  // that give-up already took effect; else `count_now`. NoteShare records the count about to be lowered.
  DWORD ShareCountBefore(DWORD count_now);
  void NoteShare(DWORD count);
  // The copies an interrupted install or update had yet to retire.
  std::vector<std::wstring> OrphanedCopies() const;
  // Whether the entries of an earlier install or update outlive a committed action (an uninstall that
  // only gives up the platform's share leaves them for the next install or update).
  void KeepStaging(bool keep) { keep_staging_ = keep; }

 private:
  static std::wstring* Slot(PreviousComponents& copies, size_t index);
  void Append(const std::wstring& entry);  // once, and written at once
  const std::wstring path_;
  std::vector<std::wstring> inherited_;
  std::vector<std::wstring> entries_;
  ActionJournal* outer_;
  bool keep_staging_ = false;
  bool committed_ = false;
  bool repair_noted_ = false;
};

// Once an install or update has ended as it should and retired what it replaced: after an earlier run that
// did not (the journal was inherited), the staging trees are tidied around the copies registered now; in
// any case the deletions queued in the trees that no longer apply are dropped.
// `registered`: the copies registered now, as RetireReplaced read them.
void SettleStaging(const ActionJournal& journal, const std::vector<std::wstring>& registered);

// Whether the system reports version 10 or above (a program without a compatibility manifest sees
// 6.2 on Windows 10).
BOOL IsWin10OrAbove();

// ---- end of install, update, uninstall ----

}  // namespace zyhok
