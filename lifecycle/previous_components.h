// The package's components staged by an install or update, and the copies registered before, retired once
// replaced.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace zyhok {

// How an install or update staged the package's components: the staged flags that StageMonitorEngine and
// StageEventAddOn leave, which tell the retirement what they replaced.
struct StagedComponents {
  uint32_t engine = 0;
  uint32_t addon = 0;
};

// Stages the package's engine, then its add-on (StageMonitorEngine, StageEventAddOn), a failure of either
// with its warning line; `between`, when given, runs between the two.
StagedComponents StagePackageComponents(const std::wstring& folder, void (*between)() = nullptr);

// The engine and add-on copies registered before an install or update stages the package's own
// (the 64-bit paths are read only when both 32-bit ones are set). Once staging has put new copies
// in place, RetireReplaced retires the old ones, each with its version folder, but never a path that is
// registered now (the action's own copy, staged again where a lost one was).
struct PreviousComponents {
  std::wstring engine32, addon32, engine64, addon64;

  static PreviousComponents Read();
  // A staged flag of kStagedRepaired retires only the non-empty paths. Returns the copies registered now
  // (RegisteredComponentPaths), which it read to know them.
  std::vector<std::wstring> RetireReplaced(const StagedComponents& staged) const;
  // Empties the staged-component paths whose file and folder are both gone: an interrupted run
  // retired them already.
  void ForgetRetired();
};

}  // namespace zyhok
