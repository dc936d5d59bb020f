// The batch export's work: each record's action carried out under the lifecycle lock, with the batch's
// service-manager connection, and no exception let out.
#pragma once

#include <stdint.h>

#include "plugin_interface.h"

namespace zyhok {

// Carries out one record's action and returns its result code; any action outside 0..3 gives
// kResultInvalidRecord. No exception leaves it.
uint32_t DoActionFromDrvInfo(const DrvInfo& record);

// Carries out `count` records in array order; a record result of kResultFailed ends the batch.
// Returns the last record's result, or kResultFailed for a count of 0 or a null array.
uint32_t DriversDoAction(const DrvInfo* records, uint32_t count);

}  // namespace zyhok
