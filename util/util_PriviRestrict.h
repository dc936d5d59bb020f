#pragma once

#include <windows.h>

namespace zyhok {

}  // namespace zyhok
