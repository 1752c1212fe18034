#pragma once
// The system's battery state (sysrec::BatteryState: capacities in mWh, rate in mW, negative while discharging), and
// the battery block of a system sample (sysrec::BatteryBlock: each battery, and the thermal zones).
#include "base/mem.h"
#include "platform/sysinfo.h"

namespace power {

// True when the system answered (also when there is no battery: then present is 0).
bool battery_state(sysinfo::Reader* reader, sysrec::BatteryState* out);

// The system's batteries (charge and state each) and its thermal zones (number and value in thousandths of a
// degree), in the sample's battery block; zero counts where there are none. Zones are read again only when
// zone_ms have passed since their last read (now_ms is the sample's time): reading one may run firmware code.
constexpr u64 zone_ms = 5000;
void battery_block(sysinfo::Reader* reader, u64 now_ms, sysrec::BatteryBlock* out);

}  // namespace power
