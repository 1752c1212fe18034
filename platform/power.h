#pragma once
// The system's battery state (sysrec::BatteryState: capacities in mWh, rate in mW, negative while discharging).
#include "base/mem.h"
#include "platform/sysinfo.h"

namespace power {

// True when the system answered (also when there is no battery: then present is 0).
bool battery_state(sysinfo::Reader* reader, sysrec::BatteryState* out);

}  // namespace power
