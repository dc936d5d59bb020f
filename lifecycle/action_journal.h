// The action journal: where it lives and what it holds is told in action_journal.cpp.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "lifecycle/previous_components.h"
#include "staging/staging_journal.h"

namespace zyhok {

// What an action must remember so that the next run finishes it as one clean run would have, should it
// not end as it should: a platform call that failed, or a process that died half-way (see
// action_journal.cpp for where it lives and what it holds). One object spans one action: it takes over the
// journal that an earlier run left ("inherited"), and removes it when the action commits (it ended as it
// should and nothing was left to repair); any other end keeps it. Its destructor never throws, also
// without memory.
class ActionJournal final : public StagingJournal {
 public:
  ActionJournal();
  ~ActionJournal() override;
  ActionJournal(const ActionJournal&) = delete;
  ActionJournal& operator=(const ActionJournal&) = delete;

  // The copies to retire once staging has replaced them: those registered when the first run of the
  // action that left the journal began, less those retired since; else the ones registered now, which
  // are then recorded.
  PreviousComponents Previous();

  // Staging tells it, through StagingJournal, of each file it is about to copy where one was missing, and
  // asks whether an earlier run copied (or began to copy) a file, so that it counts as copied by this
  // action; any step tells it of something left for the next action to repair (a registered path that
  // could not be read, a copy or folder that waits for the next reboot, a path refused): the journal then
  // outlives the action, and the next one tidies the staging trees.

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
  void OnStaging(const std::wstring& file) override;
  bool OnStagedBefore(const std::wstring& file) const override;
  void OnRepair() override;
  static std::wstring* Slot(PreviousComponents& copies, size_t index);
  void Append(const std::wstring& entry);  // once, and written at once
  const std::wstring path_;
  std::vector<std::wstring> inherited_;
  std::vector<std::wstring> entries_;
  bool keep_staging_ = false;
  bool committed_ = false;
  bool repair_noted_ = false;
};

}  // namespace zyhok
