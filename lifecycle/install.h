// The install of a driver-info record.
#pragma once

#include <stdint.h>

#include "plugin_interface.h"

namespace zyhok {

// Installs the record's driver package: INF, settings, staged components, start. Returns a result code of
// plugin_interface.h; a file-system error from component staging leaves it as a
// boost::filesystem::filesystem_error, which the dispatch turns into a result code.
uint32_t InstallDrvFromDrvInfo(const DrvInfo& record);

}  // namespace zyhok
