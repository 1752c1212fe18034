// Battery state from /sys/class/power_supply below the reader's root.
#include "platform/power.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "platform/linux/reader.h"

namespace power {

namespace {

struct Supply {
  int folder;
  char buffer[128];
  std::string_view text;
  bool read(const char* name) { return sysinfo::read_small(folder, name, buffer, sizeof buffer, &text); }
  bool number(const char* name, int64_t* out) {
    if (!read(name) || text.empty()) return false;
    bool negative = text[0] == '-';
    uint64_t v = sysinfo::number_of(negative ? text.substr(1) : text);
    *out = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
  }
};

constexpr uint32_t unknown_time = 0xFFFFFFFFu;

}  // namespace

bool battery_state(sysinfo::Reader* r, sysrec::BatteryState* out) {
  *out = sysrec::BatteryState{};
  out->rate = sysrec::battery_rate_unknown;
  out->estimated_time = unknown_time;
  if (!r) return false;
  int supplies = sysinfo::open_folder(r->root, "sys/class/power_supply");
  if (supplies < 0) return true;  // no power-supply class: no battery
  int64_t rate_sum = 0;
  bool rate_known = false, any_discharging = false;
  for (const std::string& name : sysinfo::list_names(r->root, "sys/class/power_supply")) {
    Supply s{sysinfo::open_folder(supplies, name.c_str()), {}, {}};
    if (s.folder < 0) continue;
    int64_t v = 0;
    if (s.read("type") && s.text == "Mains") {
      if (s.number("online", &v) && v == 1) out->ac_online = 1;
    } else if (s.read("type") && s.text == "Battery" && (!s.number("present", &v) || v == 1) &&
               !(s.read("scope") && s.text == "Device")) {  // a mouse's or a headset's battery is not the system's
      out->present = 1;
      bool discharging = s.read("status") && s.text == "Discharging";
      bool charging = s.read("status") && s.text == "Charging";
      out->discharging |= discharging;
      out->charging |= charging;
      any_discharging |= discharging;
      // Energy in uWh, or charge in uAh times the design voltage; kept in mWh.
      int64_t full = 0, now = 0, voltage = 0;
      bool energy = s.number("energy_full", &full) && s.number("energy_now", &now);
      if (!energy && s.number("charge_full", &full) && s.number("charge_now", &now) &&
          (s.number("voltage_min_design", &voltage) || s.number("voltage_now", &voltage))) {
        full = full * voltage / 1000000;
        now = now * voltage / 1000000;
        energy = true;
      }
      if (energy) {
        out->max_capacity += static_cast<uint32_t>(std::clamp<int64_t>(full / 1000, 0, UINT32_MAX));
        out->remaining_capacity += static_cast<uint32_t>(std::clamp<int64_t>(now / 1000, 0, UINT32_MAX));
      }
      // Power in uW, or current in uA times voltage in uV; some drivers sign it, the status says the direction.
      int64_t power = 0, current = 0;
      bool known = s.number("power_now", &power);
      if (!known && s.number("current_now", &current) && s.number("voltage_now", &voltage)) {
        power = current * voltage / 1000000;
        known = true;
      }
      if (known && (charging || discharging)) {
        int64_t mw = (power < 0 ? -power : power) / 1000;
        rate_sum += discharging ? -mw : mw;
        rate_known = true;
      } else if (known) {
        rate_known = true;  // full or not charging: no flow
      }
    }
    close(s.folder);
  }
  close(supplies);
  if (rate_known) {
    out->rate = static_cast<uint32_t>(static_cast<int32_t>(std::clamp<int64_t>(rate_sum, INT32_MIN + 1, INT32_MAX)));
    if (any_discharging && rate_sum < 0) {
      out->estimated_time = static_cast<uint32_t>(
          std::min<int64_t>(static_cast<int64_t>(out->remaining_capacity) * 3600 / -rate_sum, unknown_time - 1));
    }
  }
  return true;
}

}  // namespace power
