// The current journal of each thread, which staging and retirement tell of what they do.
#include "staging/staging_journal.h"
#include "util/thread_pointer.h"

namespace zyhok {

namespace {
// The journal of the action running on this thread.
ThreadPointer<StagingJournal> g_current;
}  // namespace

StagingJournal::StagingJournal() : outer_(g_current.get()) { g_current.set(this); }

StagingJournal::~StagingJournal() { g_current.set(outer_); }

void StagingJournal::NoteStaging(const std::wstring& file) {
  if (StagingJournal* const current = g_current.get()) current->OnStaging(file);
}

bool StagingJournal::StagedByInterruptedRun(const std::wstring& file) {
  const StagingJournal* const current = g_current.get();
  return current != nullptr && current->OnStagedBefore(file);
}

void StagingJournal::NoteRepair() {
  if (StagingJournal* const current = g_current.get()) current->OnRepair();
}

}  // namespace zyhok
