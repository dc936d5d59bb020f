// Component staging: the monitor engine and event add-on copied into versioned staging folders, the
// registry values that point the driver at them, and the system paths and file versions they use.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

namespace zyhok {

// ---- System paths and file versions ----

// ---- end of system paths and file versions ----

// ---- Monitor DLL registry values ----

// ---- end of monitor DLL registry values ----

// ---- Monitor engine and event add-on staging ----

// ---- end of monitor engine and event add-on staging ----

}  // namespace zyhok
