// The update of a driver-info record.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "plugin_interface.h"

namespace zyhok {

// Replaces the running driver with the record's package and restores the original when the new one does
// not start. Returns a result code of plugin_interface.h; a file-system error from component staging leaves
// it as a boost::filesystem::filesystem_error, which the dispatch turns into a result code.
uint32_t UpdateDrvFromDrvInfo(const DrvInfo& record);

// Whether the system reports version 10 or above (a program without a compatibility manifest sees
// 6.2 on Windows 10).
BOOL IsWin10OrAbove();

}  // namespace zyhok
