// Driver lifecycle: install, update and uninstall from a driver-info record, and their file and
// registry steps.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

namespace zyhok {

// ---- Driver path normalisation and file retirement ----

// ---- end of driver path normalisation and file retirement ----

// ---- Driver file backup, replace and rollback ----

// ---- end of driver file backup, replace and rollback ----

// ---- Driver service key settings ----

// ---- end of driver service key settings ----

// ---- Service deletion and ownership flags ----

// ---- end of service deletion and ownership flags ----

// ---- Install, update, uninstall ----

// ---- end of install, update, uninstall ----

}  // namespace zyhok
