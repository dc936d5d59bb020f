// Platform utilities: the public operations of the utility subsystem.
#pragma once

#include "util/handle.h"
#include "util/log.h"
#include "util/registry.h"             // RegKey and the HKEY_LOCAL_MACHINE value functions
#include "util/thread_pointer.h"       // a pointer per thread
#include "util/util_PriviRestrict.h"   // access restriction of the driver's service object
#include "util/util_EnvironmentVar.h"  // environment and platform path variables
