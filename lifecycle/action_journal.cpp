// The action journal: what an install, update or uninstall must remember so that, when it does not end as
// it should (a platform call that failed, a process that died half-way), the next run of an action finishes
// the work as one clean run would have done it.
//
// It lives in the file "journal" of the lifecycle lock's folder under the system folder (see LifecycleLock:
// only SYSTEM and Administrators may write there), as NUL-terminated UTF-16 entries followed by one more NUL.
// A new version is written beside it and moved over it, so a reader finds one whole version or the other.
// An action that ends as it should removes it; any other end leaves it for the next action. Entries:
//   previous.engine32=<path> (and addon32, engine64, addon64): the registered copies at the start of the
//       install or update, before staging rewrote their registry values;
//   staged=<path>: a staging file that the action found missing and was about to copy;
//   share=<count>: "PermCount" as an uninstall found it before it gave up the platform's share;
//   repair: a step could not do its work in full (a failed read of a registered path, a copy that had to
//       wait for the next reboot, a path refused); the next install, update or uninstall tidies the
//       staging trees.
#include <windows.h>

#include <string>
#include <vector>

#include "lifecycle/action_journal.h"
#include "lifecycle/lifecycle_lock.h"
#include "lifecycle/previous_components.h"
#include "staging/Utilities.h"
#include "staging/path_rules.h"
#include "util/handle.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kPreviousNames[] = {L"previous.engine32=", L"previous.addon32=", L"previous.engine64=",
                                             L"previous.addon64="};
constexpr const wchar_t* kStaged = L"staged=";
constexpr const wchar_t* kShare = L"share=";
constexpr const wchar_t* kRepair = L"repair";
// The largest journal read back: four previous copies, the staged files of two components in two
// roots, a share and the repair mark, each at most a path long, many times over.
constexpr DWORD kMaxJournalBytes = 64 * 1024;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

// <system folder>\<lock folder>\journal, or empty when the system folder cannot be read.
std::wstring JournalPath() {
  const std::wstring system = GetSystemDirPath();
  return system.empty() ? std::wstring() : system + L"\\" + kLifecycleLockFolder + L"\\journal";
}

std::vector<std::wstring> ReadJournal(const std::wstring& path) {
  std::vector<std::wstring> entries;
  if (path.empty()) return entries;
  const UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size = {};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxJournalBytes) return entries;
  // Two spare units keep the walk below inside the buffer whatever the stored data ends with.
  std::vector<wchar_t> data(static_cast<size_t>(size.QuadPart) / sizeof(wchar_t) + 2, L'\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), data.data(), static_cast<DWORD>(size.QuadPart), &read, nullptr)) return entries;
  const wchar_t* end = data.data() + read / sizeof(wchar_t);
  for (const wchar_t* at = data.data(); at < end && *at != L'\0'; at += wcslen(at) + 1) entries.emplace_back(at);
  return entries;
}

// Stores `entries`, or removes the journal when there are none.
void WriteJournal(const std::wstring& path, const std::vector<std::wstring>& entries) {
  if (path.empty()) return;
  if (entries.empty()) {
    DeleteFileW(path.c_str());
    return;
  }
  std::wstring data;
  for (const std::wstring& entry : entries) data += entry + L'\0';
  data += L'\0';
  const std::wstring next = path + L".new";
  UniqueFileHandle file(
      CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  const DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
  const bool whole = file && WriteFile(file.get(), data.data(), bytes, &written, nullptr) && written == bytes;
  file.reset();
  if (!whole || !MoveFileExW(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(next.c_str());
  }
}

}  // namespace

ActionJournal::ActionJournal() : path_(JournalPath()), inherited_(ReadJournal(path_)), entries_(inherited_) {}

ActionJournal::~ActionJournal() {
  // An action that did not end as it should keeps every entry, as written along the way.
  if (!committed_ || repair_noted_) return;
  try {
    std::vector<std::wstring> kept;
    for (const std::wstring& entry : entries_) {
      if (keep_staging_ && !StartsWith(entry, kShare)) kept.push_back(entry);
    }
    WriteJournal(path_, kept);
  } catch (...) {
    // No memory for the entries to keep: the journal goes whole, without allocating, rather than outlive
    // the action with entries that would steer the next one (a share already given up). Staging entries
    // meant to be kept go with it, and the copies they name are not retired.
    DeleteFileW(path_.c_str());
  }
}

void ActionJournal::Append(const std::wstring& entry) {
  for (const std::wstring& held : entries_) {
    if (held == entry) return;
  }
  entries_.push_back(entry);
  WriteJournal(path_, entries_);
}

void ActionJournal::OnRepair() {
  repair_noted_ = true;
  Append(kRepair);
}

std::wstring* ActionJournal::Slot(PreviousComponents& copies, size_t index) {
  std::wstring* slots[] = {&copies.engine32, &copies.addon32, &copies.engine64, &copies.addon64};
  return slots[index];
}

PreviousComponents ActionJournal::Previous() {
  PreviousComponents previous;
  bool recorded = false;
  for (const std::wstring& entry : inherited_) {
    for (size_t i = 0; i < 4; ++i) {
      if (!StartsWith(entry, kPreviousNames[i])) continue;
      *Slot(previous, i) = entry.substr(wcslen(kPreviousNames[i]));
      recorded = true;
    }
  }
  if (recorded) {
    previous.ForgetRetired();
    return previous;
  }
  previous = PreviousComponents::Read();
  for (size_t i = 0; i < 4; ++i) entries_.push_back(kPreviousNames[i] + *Slot(previous, i));
  WriteJournal(path_, entries_);
  return previous;
}

void ActionJournal::OnStaging(const std::wstring& file) { Append(kStaged + file); }

bool ActionJournal::OnStagedBefore(const std::wstring& file) const {
  for (const std::wstring& entry : inherited_) {
    if (StartsWith(entry, kStaged) && SamePath(entry.substr(wcslen(kStaged)), file)) return true;
  }
  return false;
}

DWORD ActionJournal::ShareCountBefore(DWORD count_now) {
  for (const std::wstring& entry : inherited_) {
    if (!StartsWith(entry, kShare)) continue;
    const DWORD before = wcstoul(entry.c_str() + wcslen(kShare), nullptr, 10);
    if (before > 1 && count_now == before - 1) return before;
  }
  return count_now;
}

void ActionJournal::NoteShare(DWORD count) { Append(kShare + std::to_wstring(count)); }

std::vector<std::wstring> ActionJournal::OrphanedCopies() const {
  std::vector<std::wstring> orphans;
  for (const std::wstring& entry : inherited_) {
    for (size_t i = 0; i < 4; ++i) {
      if (StartsWith(entry, kPreviousNames[i])) orphans.push_back(entry.substr(wcslen(kPreviousNames[i])));
    }
  }
  return orphans;
}

}  // namespace zyhok
