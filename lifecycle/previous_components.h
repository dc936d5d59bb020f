// The component copies registered before an install or update stages its own, retired once replaced.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace zyhok {

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

}  // namespace zyhok
