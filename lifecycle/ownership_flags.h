// Whether the driver's service waits for deletion, and the platform's share in a driver another product
// installed.
#pragma once

#include <windows.h>

namespace zyhok {

// 1 when "DeleteFlag" under the service key of `service_name` exists, reads and is non-zero (the
// service is marked for deletion at the next reboot); 0 otherwise. Changes nothing.
int _CheckDeleteFlagRegistry(const wchar_t* service_name);

// Takes this platform's share in a driver that another product installed: "PermCount" + 1 (1 when it
// cannot be read), "DeleteFlag" removed, "InstalledByZefa" = 1 (creating the key when missing). True
// when the service key opened and "InstalledByZefa" was written.
bool ModifyZyhokRegistry();

}  // namespace zyhok
