// The uninstall of a driver-info record.
#pragma once

#include <stdint.h>

#include "plugin_interface.h"

namespace zyhok {

// Stops and removes the driver, or only gives up the platform's share in it. Returns a result code of
// plugin_interface.h.
uint32_t UninstallDrvFromDrvInfo(const DrvInfo& record);

// Retires every staged engine and add-on copy named in the registry, with their staging folders.
void RemoveStagedComponents();

}  // namespace zyhok
