// The battery state from the power information call and the system battery from the power status; thermal zones
// are the thermal counter query's on Windows, so the block carries none.
#include "platform/power.h"

#include <windows.h>
#include <powrprof.h>

#include "platform/windows/reader.h"

namespace power {

static_assert(sizeof(SYSTEM_BATTERY_STATE) == sizeof(sysrec::BatteryState));

bool battery_state(sysinfo::Reader* reader, sysrec::BatteryState* out) {
  *out = sysrec::BatteryState{};
  if (!reader) return false;
  SYSTEM_BATTERY_STATE state{};
  if (CallNtPowerInformation(SystemBatteryState, nullptr, 0, &state, sizeof state) != 0) return false;
  __builtin_memcpy(out, &state, sizeof state);
  return true;
}

void battery_block(sysinfo::Reader* reader, u64, sysrec::BatteryBlock* out) {
  *out = sysrec::BatteryBlock{};
  SYSTEM_POWER_STATUS status{};
  if (!reader || !GetSystemPowerStatus(&status)) return;
  // 128: no system battery; 255: the system does not know.
  if (status.BatteryFlag & 128 || status.BatteryFlag == 255) return;
  u8 state = status.BatteryFlag & 8             ? sysrec::battery_charging
             : status.ACLineStatus == 0         ? sysrec::battery_discharging
             : status.BatteryLifePercent == 100 ? sysrec::battery_full
             : status.ACLineStatus == 1         ? sysrec::battery_not_charging
                                                : sysrec::battery_unknown;
  u8 charge = status.BatteryLifePercent <= 100 ? status.BatteryLifePercent : 0;
  out->batteries = 1;
  out->battery[0] = sysrec::BatteryEntry{charge, state};
}

}  // namespace power
