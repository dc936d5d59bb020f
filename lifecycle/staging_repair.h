// Repair of the staging trees after a run that did not end as it should.
#pragma once

#include <string>
#include <vector>

#include "lifecycle/action_journal.h"

namespace zyhok {

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

// Once an install or update has ended as it should and retired what it replaced: after an earlier run that
// did not (the journal was inherited), the staging trees are tidied around the copies registered now; in
// any case the deletions queued in the trees that no longer apply are dropped.
// `registered`: the copies registered now, as RetireReplaced read them.
void SettleStaging(const ActionJournal& journal, const std::vector<std::wstring>& registered);

}  // namespace zyhok
