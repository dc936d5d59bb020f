// What staging and retirement tell the action that runs on this thread, so that the action can keep a
// journal of it without staging knowing that journal (see lifecycle/action_journal.h).
#pragma once

#include <string>

namespace zyhok {

// The base of the journal an action holds while it runs. Constructing one makes it the current journal of
// the calling thread (an inner one hides the outer until it ends); the static operations below tell the
// current journal, and do nothing on a thread without one.
class StagingJournal {
 public:
  StagingJournal(const StagingJournal&) = delete;
  StagingJournal& operator=(const StagingJournal&) = delete;

  // A file about to be copied into a staging folder where it was missing.
  static void NoteStaging(const std::wstring& file);
  // Whether an earlier run copied (or began to copy) this file, so that it counts as copied by this action.
  static bool StagedByInterruptedRun(const std::wstring& file);
  // Something was left for the next action to repair (a registered path that could not be read, a copy or
  // folder that waits for the next reboot, a path refused).
  static void NoteRepair();

 protected:
  StagingJournal();
  virtual ~StagingJournal();

  virtual void OnStaging(const std::wstring& file) = 0;
  virtual bool OnStagedBefore(const std::wstring& file) const = 0;
  virtual void OnRepair() = 0;

 private:
  StagingJournal* const outer_;
};

}  // namespace zyhok
