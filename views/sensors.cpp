#include "views/sensors.h"

#include "base/bits.h"
#include "drawing/chart.h"
#include "sampling/heat.h"
#include "drawing/layout.h"
#include "views/views.h"
#include "views/texts.h"

namespace sensors {
namespace {

constexpr u32 white = 0xE8E8E8, label_grey = 0xA0A0A0, missing_grey = 0x707070;
constexpr i32 left = 244, rows_top = 160, row_height = 32;
constexpr u32 kind_cpu = 0, kind_gpu = 1, kind_disk = 2, kind_sensor = 3;

mem::Bytes cpu_name(u8 source) {
  switch (source) {
    case 2: return mem::lit("CPU (hottest core)");
    case 3: return mem::lit("CPU (SoC)");
    default: return mem::lit("CPU");
  }
}

void set(Row* row, bool present, u32 kind, i32 value, bool fixed) {
  row->present = present;
  row->kind = kind;
  row->value = value;
  row->fixed = fixed;
}

}  // namespace

mem::Bytes title_text() { return mem::lit("Sensors"); }
mem::Bytes missing_text() { return mem::lit("not available on this machine"); }
// Worded for both systems: the page may show a Windows machine of the cluster from Linux, or the other way round,
// and the machine record does not say which system it runs.
mem::Bytes driver_note() {
  return mem::lit(
      "No CPU temperature: on Windows it needs a kernel driver, which Vimbrel does not install; on Linux a hwmon "
      "sensor driver.");
}
mem::Bytes driver_short() { return mem::lit("No CPU temperature: it needs a sensor driver."); }
mem::Bytes fixed_remark() { return mem::lit("  (fixed value, likely not a real sensor)"); }

u32 row_count(const machine::Machine& m) {
  return bits::min32(m.temps.named, sensors_most) + m.gpus + m.disks + 1;
}

mem::Bytes sensor_name(const machine::Machine& m, u32 i) {
  if (i >= sensors_most) return mem::Bytes();
  const u8* name = m.temps.name[i];
  u32 n = 0;
  while (n < heat::name_bytes && name[n] != 0) ++n;
  // A name filled to its last byte may end inside a character: drop that character's lead and continuation bytes.
  u32 end = n;
  while (end > 0 && (name[end - 1] & 0xC0) == 0x80) --end;
  if (end > 0 && name[end - 1] >= 0xC0) {
    const u8 lead = name[end - 1];
    const u32 need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (n - (end - 1) < need) n = end - 1;
  }
  return mem::Bytes(name, n);
}

bool row_at(const machine::Machine& m, u32 r, Row* out) {
  *out = Row{};
  const heat::Block& t = m.temps;
  if (r == 0) {
    words::put(&out->name, cpu_name(t.cpu_kind));
    set(out, t.cpu_kind != 0, kind_cpu, t.cpu, false);
    return true;
  }
  r -= 1;
  if (r < m.gpus) {
    const bool present = r < heat::gpu_slots && ((t.gpu_mask >> r) & 1);
    words::put(&out->name, views::gpu_name(m, r));
    // A GPU without a name reads as the rail calls it.
    if (out->name.len == 0) views::title_of(m, layout::view_gpus + r, &out->name);
    set(out, present, kind_gpu, present ? t.gpu[r] : 0, false);
    return true;
  }
  r -= m.gpus;
  if (r < m.disks) {
    const bool present = r < heat::disk_slots && ((t.disk_mask >> r) & 1);
    words::put(&out->name, machine::name(&m, machine::name_slot(machine::slot_disks, r, m.disks)));
    set(out, present, kind_disk, present ? t.disk[r] : 0, false);
    return true;
  }
  r -= m.disks;
  if (r < bits::min32(t.named, sensors_most)) {
    words::put(&out->name, sensor_name(m, r));
    set(out, true, kind_sensor, t.sensor[r], ((t.frozen_mask >> r) & 1) != 0);
    return true;
  }
  return false;
}

i32 extra_height(u8 page, const machine::Machine& m) {
  return page == 7 ? 184 + row_height * static_cast<i32>(row_count(m)) : 0;
}

bool note_shown(const machine::Machine& m) { return m.temps.cpu_kind == 0; }

i32 label_width(i32 width) {
  const i32 c = (width - 268) * 2 / 5;
  return c < 260 ? c : 260;
}

u32 value_text(const Row& row, words::Text* out) {
  if (!row.present) {
    words::put(out, missing_text());
    return missing_grey;
  }
  views::heat_text(out, row.value);
  if (row.fixed) words::put(out, fixed_remark());
  return views::heat_color(row.kind, row.value);
}

void sensor_rows(draw::Surface* surface, const Row& row, u32 r, i32 width, i32 scroll) {
  const i32 c = label_width(width);
  const i32 y = rows_top + row_height * static_cast<i32>(r) - scroll;
  chart::text(surface, 0, mem::Bytes(row.name.bytes, row.name.len), left, y, c, row_height, label_grey, 0);
  words::Text value{};
  const u32 colour = value_text(row, &value);
  chart::text(surface, 0, mem::Bytes(value.bytes, value.len), left + c, y, width - 24 - left - c, row_height, colour,
              0);
}

void render(draw::Surface* surface, const machine::Machine& m, i32 width, i32 scroll) {
  chart::text(surface, 0, mem::lit("Temperatures"), left, 56 - scroll, width - left, 28, white, 0);
  const u32 n = row_count(m);
  for (u32 r = 0; r < n; ++r) {
    Row row;
    if (!row_at(m, r, &row)) break;
    sensor_rows(surface, row, r, width, scroll);
  }
}

}  // namespace sensors
