#include "views/texts.h"

#include "drawing/curve.h"
#include "drawing/layout.h"
#include "sampling/heat.h"
#include "sampling/hw.h"
#include "views/plots.h"

namespace views {

// ---- Texts

mem::Bytes engine_name(u32 kind) {
  switch (kind) {
    case 1: return mem::lit("3D");
    case 2: return mem::lit("Copy");
    case 3: return mem::lit("Video Decode");
    case 4: return mem::lit("Video Encode");
    default: return mem::lit("Compute");
  }
}

mem::Bytes range_name(u32 i) {
  switch (i) {
    case 1: return mem::lit("10 min");
    case 2: return mem::lit("1 h");
    case 3: return mem::lit("24 h");
    case 4: return mem::lit("30 d");
    case 5: return mem::lit("2 y");
    default: return mem::lit("60 s");
  }
}

mem::Bytes range_words(bool longer) { return longer ? mem::lit("10 minutes") : mem::lit("60 seconds"); }

mem::Bytes stored_words(u32 range) {
  switch (range) {
    case 2: return mem::lit("1 hour");
    case 3: return mem::lit("24 hours");
    case 4: return mem::lit("30 days");
    default: return mem::lit("2 years");
  }
}

mem::Bytes shown_words(const ViewState& s) { return stored(s) ? stored_words(s.range) : range_words(long_range(s)); }

mem::Bytes layer_name(u32 view, u32 layer) {
  if (power_view(view)) return mem::lit("Power");
  if (view == layout::view_cpu) return layer == 0 ? mem::lit("Kernel") : mem::lit("User");
  if (view == layout::view_memory) {
    if (layer == 0) return mem::lit("In use");
    return layer == 1 ? mem::lit("Modified") : mem::lit("Standby");
  }
  if (disk_view(view)) return layer == 0 ? mem::lit("Read") : mem::lit("Write");
  if (nic_view(view)) return layer == 0 ? mem::lit("Send") : mem::lit("Receive");
  return mem::Bytes();
}

mem::Bytes caption_of(u32 view) {
  if (power_view(view)) return mem::lit("Power draw in watts, ");
  if (view == layout::view_cpu) return mem::lit("% utilisation, kernel under user, ");
  if (view == layout::view_memory) return mem::lit("In use, modified and standby, ");
  if (disk_view(view)) return mem::lit("Read and write, ");
  if (nic_view(view)) return mem::lit("Send above, receive below the axis, ");
  if (gpu_view(view)) return mem::lit("Engines and memory, ");
  return mem::Bytes();
}

mem::Bytes board_name() { return mem::lit("Overview"); }
mem::Bytes board_value(bool remote) { return remote ? mem::lit("Back to this computer") : mem::lit("This computer"); }
mem::Bytes ellipsis() { return mem::lit("..."); }

void title_of(const machine::Machine& m, u32 view, words::Text* out) {
  if (power_view(view)) return words::put(out, mem::lit("Power"));
  if (view == layout::view_cpu) return words::put(out, mem::lit("CPU"));
  if (view == layout::view_memory) return words::put(out, mem::lit("Memory"));
  if (gpu_view(view)) {
    words::put(out, mem::lit("GPU "));
    return words::put_u64(out, gpu_of(view));
  }
  if (disk_view(view)) return words::put(out, machine::name(&m, machine::name_slot(machine::slot_disks, disk_of(view), m.disks)));
  if (nic_view(view)) words::put(out, machine::name(&m, machine::name_slot(machine::slot_nics, nic_of(view), m.nics)));
}

bool blank_if(words::Text* text, bool empty) {
  if (!empty) return false;
  text->len = 0;
  hw::dash(text);
  return true;
}

void watts(words::Text* out, u32 tenths, bool always_tenths) {
  if (always_tenths || tenths % 10 != 0) {
    words::put_tenths(out, tenths);
  } else {
    words::put_u64(out, tenths / 10);
  }
  words::put(out, mem::lit(" W"));
}

mem::Bytes gpu_name(const machine::Machine& m, u32 gpu) {
  return machine::name(&m, machine::name_slot(machine::slot_gpus, gpu, m.gpus));
}

bool unified(const machine::Machine& m, u32 gpu) {
  return gpu < machine::max_gpus && m.gpu_dedicated[gpu] < 513 && m.gpu_shared[gpu] != 0;
}

void gpu_total(words::Text* out, const machine::Machine& m, u32 gpu) {
  const u32 g = gpu % machine::max_gpus;
  if (unified(m, g)) {
    words::gib(out, m.gpu_shared[g]);
    return words::put(out, mem::lit(" shared"));
  }
  words::gib(out, m.gpu_dedicated[g]);
}

void disk_heading(words::Text* out, const machine::Machine& m, u32 disk) {
  mem::Bytes model = machine::name(&m, machine::name_slot(machine::slot_drive_models, disk, m.disks));
  words::put(out, model);
  if (model.len != 0) words::put(out, mem::lit(" - "));
  words::gib(out, m.disk_capacity[disk % machine::max_disks]);
}

namespace {

u32 disk_media(const machine::Machine& m, u32 d) { return hw::plane_value(m.details.media, 2, d); }
u32 disk_bus(const machine::Machine& m, u32 d) { return hw::plane_value(m.details.bus, 3, d); }

// Figures of a view in the formatter its axis and labels use.
void view_figure(words::Text* out, u32 view, u64 v) {
  u32 v32 = layout::saturate32(v);
  if (power_view(view)) return watts(out, v32, false);
  if (view == layout::view_memory) return words::gib(out, v32);
  if (nic_view(view)) return words::bit_rate(out, v32);
  if (disk_view(view)) return words::byte_rate(out, v32);
  words::percent(out, v32);
}

}  // namespace

bool ring_empty(const machine::Machine& m) { return m.ring.count == 0; }

bool value_of(const machine::Machine& m, u32 view, words::Text* out) {
  const ring::Ring& r = m.ring;
  const u32 at = latest_row(m);
  if (power_view(view)) {
    watts(out, r.power[at], true);
  } else if (view == layout::view_cpu) {
    words::cpu_line(out, r.load[at], r.clock_mhz[at]);
  } else if (view == layout::view_memory) {
    words::gib_pair(out, r.memory_mib[at], m.memory_total);
  } else if (gpu_view(view)) {
    words::percent(out, r.gpu_load[at][gpu_of(view) % machine::max_gpus]);
    words::put(out, mem::lit(" - "));
    words::put(out, gpu_name(m, gpu_of(view)));
  } else if (nic_view(view)) {
    const u32 a = nic_of(view) % machine::max_nics;
    words::bit_pair(out, r.send[at][a], r.receive[at][a]);
  } else if (disk_view(view)) {
    const u32 d = disk_of(view) % machine::max_disks;
    const u32 media = disk_media(m, d), bus = disk_bus(m, d), busy = u32{r.disk_busy[at][d]} * 50;
    if (media != 0 || bus != 0) {
      hw::disk_type(out, media, bus);
      words::put(out, mem::lit(" - "));
      words::percent(out, busy);
    } else {
      words::percent(out, busy);
      words::put(out, mem::lit(" - "));
      words::byte_rate(out, curve::stack_add(r.disk_read[at][d], r.disk_write[at][d]));
    }
  }
  return blank_if(out, ring_empty(m));
}

void axis_text(const machine::Machine& m, u32 view, u32 top, u32 i, words::Text* out) {
  (void)m;
  static constexpr u8 mirrored[5] = {4, 2, 0, 2, 4};
  const u32 k = i > 4 ? 4 : i;
  const u64 q = nic_view(view) ? mirrored[k] : 4 - k;
  view_figure(out, view, u64{top} * q / 4);
}

void now_text(const machine::Machine& m, u32 view, u32 layer, words::Text* out) {
  const ring::Ring& r = m.ring;
  const u32 at = latest_row(m);
  if (power_view(view)) {
    watts(out, r.power[at], true);
  } else if (view == layout::view_cpu) {
    words::percent(out, r.load[at]);
  } else if (view == layout::view_memory) {
    words::gib(out, r.memory_mib[at]);
  } else if (nic_view(view)) {
    const u32 a = nic_of(view) % machine::max_nics;
    words::bit_rate(out, layer == 0 ? r.send[at][a] : r.receive[at][a]);
  } else if (disk_view(view)) {
    const u32 d = disk_of(view) % machine::max_disks;
    words::byte_rate(out, curve::stack_add(r.disk_read[at][d], r.disk_write[at][d]));
  } else if (gpu_view(view)) {
    words::percent(out, r.gpu_load[at][gpu_of(view) % machine::max_gpus]);
  }
  blank_if(out, ring_empty(m));
}

u32 heat_color(u32 kind, i32 tenths) {
  switch (heat::level(kind, tenths)) {
    case 2: return 0x4F5AFF;
    case 1: return 0x24A5F5;
    default: return 0xE8E8E8;
  }
}

void heat_text(words::Text* out, i32 tenths) {
  // Worked in 64 bits: the magnitude of the lowest 16-bit reading does not fit 16 bits.
  i64 v = tenths;
  if (v < 0) {
    words::put(out, mem::lit("-"));
    v = -v;
  }
  words::put_u64(out, static_cast<u64>(v) / 10);
  words::put(out, mem::lit("."));
  words::put_u64(out, static_cast<u64>(v) % 10);
  words::put(out, mem::lit(" \xC2\xB0" "C"));
}

u32 heading_heat(const machine::Machine& m, u32 view, i32* tenths) {
  *tenths = 0;
  if (view == layout::view_cpu && m.temps.cpu_kind != 0) {
    *tenths = m.temps.cpu;
    return 0;
  }
  if (gpu_view(view) && heat::has_gpu(&m.temps, gpu_of(view))) {
    *tenths = m.temps.gpu[gpu_of(view)];
    return 1;
  }
  if (disk_view(view) && heat::has_disk(&m.temps, disk_of(view))) {
    *tenths = m.temps.disk[disk_of(view)];
    return 2;
  }
  return 255;
}

void power_source(words::Text* out, const machine::Machine& m) {
  const u8 flags = m.ring.power_flags[latest_row(m)];
  if (flags & usage::power_battery) {
    words::put(out, mem::lit("Battery discharge"));
  } else if ((flags & 15) == 8) {
    words::put(out, mem::lit("System meter"));
  } else {
    words::put(out, mem::lit("Energy meters"));
  }
  if (flags & usage::power_saturated) words::put(out, mem::lit(", saturated"));
}

void part_watts(words::Text* out, const machine::Machine& m, u32 part) {
  if (part >= usage::parts || !(m.power_flags & (1u << part))) return hw::dash(out);
  i32 v = m.power[part];
  watts(out, v < 0 ? 0 : static_cast<u32>(v), true);
}

void committed(words::Text* out, u32 used, u32 limit, bool empty) {
  if (empty) return hw::dash(out);
  if (limit == 0) return words::gib(out, used);
  words::gib_pair(out, used, limit);
}

void first_ipv4(words::Text* out, const machine::Machine& m, u32 adapter) {
  if (adapter >= machine::max_nics || m.details.ipv4_count[adapter] == 0) return hw::dash(out);
  hw::ipv4_text(out, m.details.ipv4[adapter][0]);
}

void first_ipv6(words::Text* out, const machine::Machine& m, u32 adapter) {
  if (adapter >= machine::max_nics || m.details.ipv6_count[adapter] == 0) return hw::dash(out);
  hw::ipv6_text(out, m.details.ipv6[adapter][0]);
}

// ---- Detail panel

u32 detail_count(u32 view) {
  if (view == layout::view_cpu || view == layout::view_memory) return 10;
  if (disk_view(view)) return 3;
  if (power_view(view)) return 5;
  if (nic_view(view)) return 9;
  return 0;
}

u32 details_shown(const ViewState& s) { return (s.flags & flag_details) ? detail_count(s.view) : 0; }

mem::Bytes detail_label(u32 view, u32 row) {
  if (row >= detail_count(view)) return mem::Bytes();
  if (view == layout::view_cpu) {
    switch (row) {
      case 0: return mem::lit("Base speed");
      case 1: return mem::lit("Sockets");
      case 2: return mem::lit("Cores");
      case 3: return mem::lit("Logical processors");
      case 4: return mem::lit("Virtualisation");
      case 5: return mem::lit("L1 cache");
      case 6: return mem::lit("L2 cache");
      case 7: return mem::lit("L3 cache");
      case 8: return mem::lit("Vendor");
      default: return mem::lit("Instruction sets");
    }
  }
  if (view == layout::view_memory) {
    switch (row) {
      case 0: return mem::lit("Speed");
      case 1: return mem::lit("Slots used");
      case 2: return mem::lit("Form factor");
      case 3: return mem::lit("Hardware reserved");
      case 4: return mem::lit("Type");
      case 5: return mem::lit("Committed");
      case 6: return mem::lit("Cached");
      case 7: return mem::lit("Paged pool");
      case 8: return mem::lit("Non-paged pool");
      default: return mem::lit("Compressed");
    }
  }
  if (disk_view(view)) {
    if (row == 0) return mem::lit("Type");
    return row == 1 ? mem::lit("Model") : mem::lit("Capacity");
  }
  if (nic_view(view)) {
    switch (row) {
      case 0: return mem::lit("Adapter");
      case 1: return mem::lit("Connection type");
      case 2: return mem::lit("Link speed");
      case 3: return mem::lit("IPv4 address");
      case 4: return mem::lit("IPv6 address");
      case 5: return mem::lit("MAC address");
      case 6: return mem::lit("DNS suffix");
      case 7: return mem::lit("Sent");
      default: return mem::lit("Received");
    }
  }
  switch (row) {
    case 0: return mem::lit("CPU package");
    case 1: return mem::lit("DRAM");
    case 2: return mem::lit("GPU");
    case 3: return mem::lit("System");
    default: return mem::lit("Source");
  }
}

bool detail_live(u32 view, u32 row) {
  if (nic_view(view)) return row == 2 || row == 7 || row == 8;
  if (view == layout::view_memory) return row >= 5 && row <= 8;
  return power_view(view);
}

namespace {

void cpu_value(const hw::Hardware& h, u32 row, words::Text* out) {
  switch (row) {
    case 0: return words::ghz_known(out, h.base_mhz);
    case 1: return words::count_known(out, h.sockets);
    case 2: return words::count_known(out, h.cores);
    case 3: return words::count_known(out, h.logical);
    case 4: return words::put(out, hw::virt_text(hw::virt_state(h.features, h.known)));
    case 5: return hw::cache_text(out, h.l1_kib);
    case 6: return hw::cache_text(out, h.l2_kib);
    case 7: return hw::cache_text(out, h.l3_kib);
    case 8:
      words::put(out, hw::vendor_text(h.vendor));
      if (h.family == 0) return;
      words::put(out, mem::lit(", "));
      return hw::family_text(out, &h);
    default: return hw::features_line(out, h.features, h.known, 0x0BFF);  // SSE2 to SHA, and RDRAND
  }
}

void memory_value(const machine::Machine& m, const hw::Hardware& h, u32 row, words::Text* out) {
  const bool empty = ring_empty(m);
  const u32 at = latest_row(m);
  switch (row) {
    case 0: return hw::mts_text(out, h.memory.speed);
    case 1: return hw::slots_text(out, h.memory.slots_used, h.memory.slots);
    case 2: return words::put(out, hw::form_text(h.memory.form));
    case 3: return hw::mb_text(out, hw::reserved_mib(h.memory.installed_mib, m.memory_total), h.memory.installed_mib != 0);
    case 4: return words::put(out, hw::mem_text(h.memory.kind));
    case 5: return committed(out, m.ring.commit_mib[at], m.commit_limit, empty);
    case 6: return hw::mb_text(out, curve::stack_add(m.ring.modified_mib[at], m.ring.standby_mib[at]), !empty);
    case 7: return hw::mb_text(out, m.paged_pool, m.paged_pool != 0);
    case 8: return hw::mb_text(out, m.nonpaged_pool, m.nonpaged_pool != 0);
    default: return hw::mb_text(out, h.memory.compressed_mib, h.memory.compressed_mib != 0);
  }
}

void nic_value(const machine::Machine& m, u32 a, u32 row, words::Text* out) {
  switch (row) {
    case 0: return hw::known_text(out, machine::name(&m, machine::name_slot(machine::slot_descriptions, a, m.nics)));
    case 1: return words::put(out, hw::conn_text(hw::plane_value(m.details.conn, 2, a)));
    case 2: return hw::link_text(out, m.link_mbps[a]);
    case 3: return first_ipv4(out, m, a);
    case 4: return first_ipv6(out, m, a);
    case 5: return hw::mac_text(out, m.details.mac[a]);
    case 6: return hw::known_text(out, machine::name(&m, machine::name_slot(machine::slot_suffixes, a, m.nics)));
    case 7: return hw::total_text(out, m.sent[a]);
    default: return hw::total_text(out, m.received[a]);
  }
}

}  // namespace

void detail_value(const machine::Machine& m, u32 view, u32 row, words::Text* out) {
  if (row >= detail_count(view)) return;
  hw::Hardware h{};
  __builtin_memcpy(&h, m.hardware, machine::hardware_head);
  if (view == layout::view_cpu) {
    cpu_value(h, row, out);
  } else if (view == layout::view_memory) {
    memory_value(m, h, row, out);
  } else if (disk_view(view)) {
    const u32 d = disk_of(view) % machine::max_disks;
    if (row == 0) hw::disk_type(out, disk_media(m, d), disk_bus(m, d));
    if (row == 1) hw::known_text(out, machine::name(&m, machine::name_slot(machine::slot_drive_models, d, m.disks)));
    if (row == 2) words::gib(out, m.disk_capacity[d]);
  } else if (nic_view(view)) {
    nic_value(m, nic_of(view) % machine::max_nics, row, out);
  } else if (row < 4) {
    part_watts(out, m, row);
  } else {
    power_source(out, m);
  }
  if (detail_live(view, row)) blank_if(out, ring_empty(m));
}

draw::Rect detail_rect(const ViewState& s, u32 row) {
  const i32 left = layout::detail_left(s.content_left, s.content_right, row);
  const i32 column = (s.content_right - s.content_left) / 2;
  const i32 top = layout::detail_top(s.details_top, row);
  return draw::Rect{left + 150, top, left + column - 4, top + 18};
}

void details(const ViewState& s, draw::Surface* surface, const machine::Machine& m) {
  const u32 n = details_shown(s);
  for (u32 row = 0; row < n; ++row) {
    const draw::Rect box = detail_rect(s, row);
    chart::text(surface, 3, detail_label(s.view, row), box.left - 150, box.top, 150, 18, 0x808080, 0);
    words::Text value{};
    detail_value(m, s.view, row, &value);
    ellipsize(surface, 3, &value, box.right - box.left);
    chart::text(surface, 3, mem::Bytes(value.bytes, value.len), box.left, box.top, box.right - box.left, 18, 0xE8E8E8, 0);
  }
}

namespace {

i32 surface_width(void* context, u32 role, mem::Bytes text) {
  return chart::measure(static_cast<draw::Surface*>(context), role, text);
}

}  // namespace

Measure surface_measure(draw::Surface* surface) { return Measure{surface_width, surface}; }

void ellipsize(const Measure& measure, u32 role, words::Text* text, i32 width) {
  if (measure.width(measure.context, role, mem::Bytes(text->bytes, text->len)) <= width) return;
  const i32 room = width - measure.width(measure.context, role, ellipsis());
  u32 len = text->len;
  while (len > 0 && measure.width(measure.context, role, mem::Bytes(text->bytes, len)) > room) {
    // Whole characters only: a cut inside a UTF-8 sequence would leave text that no font can show.
    do --len;
    while (len > 0 && (text->bytes[len] & 0xC0) == 0x80);
  }
  text->len = len;
  words::put(text, ellipsis());
}

void ellipsize(draw::Surface* surface, u32 role, words::Text* text, i32 width) {
  ellipsize(surface_measure(surface), role, text, width);
}

}  // namespace views
