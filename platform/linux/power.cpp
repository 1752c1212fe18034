// Battery state and each battery from /sys/class/power_supply, thermal zones from /sys/class/thermal, below the
// reader's root.
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

// Calls f(supply, type) for each power supply.
template <typename F>
void each_supply(sysinfo::Reader* r, F f) {
  for (const std::string& name : sysinfo::class_names(r, "sys/class/power_supply")) {
    Supply s{sysinfo::open_folder(r->root, ("sys/class/power_supply/" + name).c_str()), {}, {}};
    if (s.folder < 0) continue;
    char type[32];
    std::string_view t;
    if (sysinfo::read_small(s.folder, "type", type, sizeof type, &t)) f(s, t);
    close(s.folder);
  }
}

// A battery of the system itself: a mouse's or a headset's battery is not one, nor an empty bay.
bool system_battery(Supply& s, std::string_view type) {
  int64_t v = 0;
  return type == "Battery" && (!s.number("present", &v) || v == 1) && !(s.read("scope") && s.text == "Device");
}

uint8_t state_of(Supply& s) {
  if (!s.read("status")) return sysrec::battery_unknown;
  if (s.text == "Charging") return sysrec::battery_charging;
  if (s.text == "Discharging") return sysrec::battery_discharging;
  if (s.text == "Full") return sysrec::battery_full;
  if (s.text == "Not charging") return sysrec::battery_not_charging;
  return sysrec::battery_unknown;
}

// Percent of full: the driver's own figure, else energy or charge now over full; 0 when nothing tells.
uint8_t charge_of(Supply& s) {
  int64_t percent = 0, now = 0, full = 0;
  if (!s.number("capacity", &percent)) {
    bool known = (s.number("energy_now", &now) && s.number("energy_full", &full)) ||
                 (s.number("charge_now", &now) && s.number("charge_full", &full));
    percent = known && full > 0 ? (now * 100 + full / 2) / full : 0;
  }
  return static_cast<uint8_t>(std::clamp<int64_t>(percent, 0, 255));
}

// thermal_zoneN -> N; false for any other name.
bool zone_number(const std::string& name, uint32_t* n) {
  const std::string_view head = "thermal_zone";
  if (name.size() <= head.size() || name.size() > head.size() + 9 || name.compare(0, head.size(), head) != 0) {
    return false;
  }
  uint32_t v = 0;
  for (size_t i = head.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    v = v * 10 + static_cast<uint32_t>(name[i] - '0');
  }
  *n = v;
  return true;
}

// Every zone whose temperature reads, by number.
void read_zones(sysinfo::Reader* r) {
  r->zones.clear();
  for (const std::string& name : sysinfo::class_names(r, "sys/class/thermal")) {
    uint32_t n = 0;
    if (!zone_number(name, &n)) continue;
    char buffer[32], path[64];
    std::string_view text;
    snprintf(path, sizeof path, "sys/class/thermal/%s/temp", name.c_str());
    if (!sysinfo::read_small(r->root, path, buffer, sizeof buffer, &text) || text.empty()) continue;
    bool negative = text[0] == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') continue;
    int64_t v = static_cast<int64_t>(std::min<uint64_t>(sysinfo::number_of(digits), INT32_MAX));
    r->zones.push_back(sysrec::ZoneEntry{n, static_cast<int32_t>(negative ? -v : v)});
  }
  std::sort(r->zones.begin(), r->zones.end(),
            [](const sysrec::ZoneEntry& a, const sysrec::ZoneEntry& b) { return a.number < b.number; });
}

}  // namespace

bool battery_state(sysinfo::Reader* r, sysrec::BatteryState* out) {
  *out = sysrec::BatteryState{};
  out->rate = sysrec::battery_rate_unknown;
  out->estimated_time = unknown_time;
  if (!r) return false;
  int64_t rate_sum = 0;
  bool rate_known = false, any_discharging = false;
  each_supply(r, [&](Supply& s, std::string_view type) {
    int64_t v = 0;
    if (type == "Mains") {
      if (s.number("online", &v) && v == 1) out->ac_online = 1;
      return;
    }
    if (!system_battery(s, type)) return;
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
  });
  if (rate_known) {
    out->rate = static_cast<uint32_t>(static_cast<int32_t>(std::clamp<int64_t>(rate_sum, INT32_MIN + 1, INT32_MAX)));
    if (any_discharging && rate_sum < 0) {
      out->estimated_time = static_cast<uint32_t>(
          std::min<int64_t>(static_cast<int64_t>(out->remaining_capacity) * 3600 / -rate_sum, unknown_time - 1));
    }
  }
  return true;
}

void battery_block(sysinfo::Reader* r, u64 now_ms, sysrec::BatteryBlock* out) {
  *out = sysrec::BatteryBlock{};
  if (!r) return;
  each_supply(r, [&](Supply& s, std::string_view type) {
    if (!system_battery(s, type)) return;
    if (out->batteries < sysrec::block_batteries) {
      out->battery[out->batteries] = sysrec::BatteryEntry{charge_of(s), state_of(s)};
    }
    ++out->batteries;
  });
  if (!r->zones_read || now_ms < r->zones_ms || now_ms - r->zones_ms >= zone_ms) {
    read_zones(r);
    r->zones_read = true;
    r->zones_ms = now_ms;
  }
  out->zones = static_cast<u32>(std::min<size_t>(r->zones.size(), UINT32_MAX));
  for (size_t i = 0; i < r->zones.size() && i < sysrec::block_zones; ++i) out->zone[i] = r->zones[i];
}

}  // namespace power
