// The status export's work: the driver's service state and the version of its installed file.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "plugin_interface.h"

namespace zyhok {

// A driver file's version numbers: major, minor, a third word that is always 0, build.
struct DrvVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t reserved;
  uint32_t build;
};

// Version of the file `name` + ".sys" in the system's drivers folder. An empty name or a null `out`
// gives FALSE; `name` must not be null.
BOOL QueryDriverVersion(const wchar_t* name, DrvVersion* out);

// Major and minor (high and low words of dwFileVersionMS) and build (low word of dwFileVersionLS)
// from a file's fixed version information. The out-parameters are only written on success.
BOOL GetFileVersionNumbers(const wchar_t* path, uint32_t* major, uint32_t* minor, uint32_t* build);

// Fills `info` with the driver's service state and file version, as the status export reports it.
void FillDriverStatus(DrvStatusInfo* info);

}  // namespace zyhok
