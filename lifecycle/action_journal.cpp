// The action journal: what an install, update or uninstall must remember so that, when its process
// dies half-way (a crash, a kill, lost power), the next run of an action finishes the work as one
// uninterrupted run would have done it.
//
// It lives in the REG_MULTI_SZ value "ZYHOKActionJournal" under the driver's service key, exists only
// while an action runs (every return and every exception of the action removes it), and is written
// only into a service key that already exists, so an action that ends normally leaves the key exactly
// as it would be without the journal. Entries:
//   previous.engine32=<path> (and addon32, engine64, addon64): the registered copies at the start of the
//       install or update, before staging rewrote their registry values;
//   staged=<path>: a staging file that the action found missing and was about to copy;
//   share=<count>: "PermCount" as an uninstall found it before it gave up the platform's share.
#include <windows.h>

#include <string>
#include <vector>

#include "lifecycle/lifecycle.h"
#include "util/handle.h"
#include "util/registry.h"
#include "util/thread_pointer.h"

namespace zyhok {

namespace {

constexpr const wchar_t* kJournalValue = L"ZYHOKActionJournal";
constexpr const wchar_t* kPreviousNames[] = {L"previous.engine32=", L"previous.addon32=", L"previous.engine64=",
                                             L"previous.addon64="};
constexpr const wchar_t* kStaged = L"staged=";
constexpr const wchar_t* kShare = L"share=";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

std::vector<std::wstring> ReadJournal() {
  std::vector<std::wstring> entries;
  UniqueHKey key;
  DWORD size = 0, type = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DriverServiceKeyPath().c_str(), 0, KEY_QUERY_VALUE, key.put()) !=
          ERROR_SUCCESS ||
      RegQueryValueExW(key.get(), kJournalValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_MULTI_SZ) {
    return entries;
  }
  // Two spare units keep the walk below inside the buffer whatever the stored data ends with.
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
  if (RegQueryValueExW(key.get(), kJournalValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS) {
    return entries;
  }
  const wchar_t* end = data.data() + size / sizeof(wchar_t);
  for (const wchar_t* at = data.data(); at < end && *at != L'\0'; at += wcslen(at) + 1) entries.emplace_back(at);
  return entries;
}

// Stores `entries`, or removes the value when there are none. Never creates the service key.
void WriteJournal(const std::vector<std::wstring>& entries) {
  UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DriverServiceKeyPath().c_str(), 0, KEY_SET_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  if (entries.empty()) {
    RegDeleteValueW(key.get(), kJournalValue);
    return;
  }
  std::wstring data;
  for (const std::wstring& entry : entries) data += entry + L'\0';
  data += L'\0';
  RegSetValueExW(key.get(), kJournalValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                 static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

// The journal of the action running on this thread, for staging.
ThreadPointer<ActionJournal> g_current;

}  // namespace

ActionJournal::ActionJournal() : inherited_(ReadJournal()), entries_(inherited_), outer_(g_current.get()) {
  g_current.set(this);
}

ActionJournal::~ActionJournal() {
  g_current.set(outer_);
  try {
    std::vector<std::wstring> kept;
    for (const std::wstring& entry : entries_) {
      if (keep_staging_ && !StartsWith(entry, kShare)) kept.push_back(entry);
    }
    WriteJournal(kept);
  } catch (...) {
    // No memory for the entries to keep: the value goes whole, without allocating, rather than outlive
    // the action with entries that would steer the next one (a share already given up). Staging entries
    // meant to be kept go with it, and the copies they name are not retired.
    UniqueHKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\zyhok", 0, KEY_SET_VALUE, key.put()) ==
        ERROR_SUCCESS) {
      RegDeleteValueW(key.get(), kJournalValue);
    }
  }
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
  WriteJournal(entries_);
  return previous;
}

void ActionJournal::NoteStaging(const std::wstring& file) {
  ActionJournal* const current = g_current.get();
  if (current == nullptr) return;
  current->entries_.push_back(kStaged + file);
  WriteJournal(current->entries_);
}

bool ActionJournal::StagedByInterruptedRun(const std::wstring& file) {
  const ActionJournal* const current = g_current.get();
  if (current == nullptr) return false;
  for (const std::wstring& entry : current->inherited_) {
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

void ActionJournal::NoteShare(DWORD count) {
  entries_.push_back(kShare + std::to_wstring(count));
  WriteJournal(entries_);
}

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
