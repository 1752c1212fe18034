#include "views/tiles.h"

#include "base/bits.h"
#include "drawing/curve.h"
#include "drawing/layout.h"
#include "views/plots.h"
#include "views/render.h"
#include "views/texts.h"

namespace views {

// ---- Figure tiles

u64 tile_classes(const machine::Machine& m, u32 view) {
  if (nic_view(view)) return classes_nic;
  if (power_view(view)) return classes_power;
  if (gpu_view(view)) return unified(m, gpu_of(view)) ? classes_gpu_unified : classes_gpu;
  return classes_cpu;
}

u32 tile_count(u32 view) {
  if (nic_view(view)) return 4;
  return gpu_view(view) ? 5 : 6;
}

u64 ring_energy(const machine::Machine& m, u32 n, u32* count) {
  const u32 rows = bits::min32(n, m.ring.count);
  u64 sum = 0;
  u32 counted = 0;
  for (u32 k = 0; k < rows; ++k) {
    const u32 row = machine::back_row(&m, k);
    if ((m.ring.power_flags[row] & 15) == 0) continue;
    sum += m.ring.power[row];
    counted += 1;
  }
  *count = counted;
  return sum;
}

void energy_words(words::Text* out, u64 tenths_joule) {
  const u64 shown = hist::energy_shown(tenths_joule);
  if (tenths_joule < 360000) {
    words::put_hundredths(out, shown);
    return words::put(out, mem::lit(" Wh"));
  }
  if (tenths_joule < 36000000) {
    words::put_tenths(out, shown);
    return words::put(out, mem::lit(" Wh"));
  }
  words::put_hundredths(out, shown);
  words::put(out, mem::lit(" kWh"));
}

void measured_words(words::Text* out, u32 seconds) {
  if (seconds < 120) {
    words::put_u64(out, seconds);
    return words::put(out, mem::lit(" s"));
  }
  if (seconds < 7200) {
    words::put_u64(out, seconds / 60);
    return words::put(out, mem::lit(" min"));
  }
  if (seconds <= 172799) {
    words::put_tenths(out, u64{seconds} * 10 / 3600);
    return words::put(out, mem::lit(" h"));
  }
  words::put_tenths(out, u64{seconds} * 10 / 86400);
  words::put(out, mem::lit(" days"));
}

u32 busiest_kind(const machine::Machine& m, u32 row, u32 gpu) {
  const u8* busy = m.ring.gpu_engines[row % ring::max_rows][gpu % machine::max_gpus];
  u32 kind = 1;
  for (u32 k = 1; k < 5; ++k)
    if (busy[k] > busy[kind - 1]) kind = k + 1;
  return kind;
}

void energy_tiles(const ViewState& s, const machine::Machine& m, u64* energy, u32* seconds) {
  *energy = 0;
  *seconds = 0;
  if (!stored(s)) {
    *energy = ring_energy(m, window_of(long_range(s)), seconds);
    return;
  }
  // Stored ranges count the table's energy once it holds the range's data; before that the sum is 0.
  const hist::Table* t = s.history;
  if (t && t->energy && t->range == s.range && t->state == hist::state_data) *energy = hist::energy_total(t, seconds);
}

void power_tiles(const ViewState& s, const machine::Machine& m, u32 index, mem::Bytes* label, words::Text* value) {
  const u32 at = latest_row(m);
  const u32 n = bits::min32(window_of(long_range(s)), m.ring.count);
  chart::Look look;
  switch (index) {
    case 0:
      *label = mem::lit("Now");
      return watts(value, m.ring.power[at], true);
    case 1:
      *label = mem::lit("Peak");
      resource_plot(&look, m, layout::view_power, slot_main, true, long_range(s));
      return watts(value, peak(look.sources[0], m, long_range(s)), true);
    case 2:
      *label = mem::lit("Average");
      return watts(value, machine::power_mean(&m, n), true);
    case 3:
      *label = mem::lit("Lowest");
      return watts(value, machine::power_least(&m, n), true);
    default: break;
  }
  u64 energy;
  u32 seconds;
  energy_tiles(s, m, &energy, &seconds);
  if (index == 4) {
    *label = mem::lit("Energy");
    energy_words(value, energy);
  } else {
    *label = mem::lit("Measured");
    measured_words(value, seconds);
  }
  blank_if(value, seconds == 0);
}

void gpu_tiles(const machine::Machine& m, u32 gpu, u32 index, mem::Bytes* label, words::Text* value) {
  const u32 g = gpu % machine::max_gpus, at = latest_row(m);
  const ring::Ring& r = m.ring;
  switch (index) {
    case 0:
      *label = mem::lit("Utilisation");
      words::percent(value, r.gpu_load[at][g]);
      break;
    case 1:
      *label = mem::lit("Dedicated");
      words::gib_pair(value, r.gpu_dedicated_mib[at][g], m.gpu_dedicated[g]);
      break;
    case 2:
      *label = mem::lit("Shared");
      words::gib_pair(value, r.gpu_shared_mib[at][g], m.gpu_shared[g]);
      break;
    case 3:
      *label = mem::lit("Total memory");
      words::gib_pair(value, curve::stack_add(r.gpu_dedicated_mib[at][g], r.gpu_shared_mib[at][g]),
                      curve::stack_add(m.gpu_dedicated[g], m.gpu_shared[g]));
      break;
    default:
      *label = mem::lit("Busiest");
      words::put(value, engine_name(busiest_kind(m, at, g)));
      break;
  }
  blank_if(value, ring_empty(m));
}

namespace {

// The labels of the CPU, memory, disk and adapter tiles.
mem::Bytes tile_label(u32 view, u32 index) {
  if (view == layout::view_cpu) {
    switch (index) {
      case 0: return mem::lit("Utilisation");
      case 1: return mem::lit("Speed");
      case 2: return mem::lit("Processes");
      case 3: return mem::lit("Threads");
      case 4: return mem::lit("Handles");
      default: return mem::lit("Up time");
    }
  }
  if (view == layout::view_memory) {
    switch (index) {
      case 0: return mem::lit("In use");
      case 1: return mem::lit("Available");
      case 2: return mem::lit("Committed");
      case 3: return mem::lit("Modified");
      case 4: return mem::lit("Standby");
      default: return mem::lit("Total");
    }
  }
  if (disk_view(view)) {
    switch (index) {
      case 0: return mem::lit("Active time");
      case 1: return mem::lit("Read");
      case 2: return mem::lit("Write");
      case 3: return mem::lit("Used");
      case 4: return mem::lit("Free");
      default: return mem::lit("Capacity");
    }
  }
  switch (index) {
    case 0: return mem::lit("Send");
    case 1: return mem::lit("Receive");
    case 2: return mem::lit("Peak send");
    default: return mem::lit("Peak receive");
  }
}

}  // namespace

void tile_texts(const ViewState& s, const machine::Machine& m, u32 index, mem::Bytes* label, words::Text* value) {
  const u32 view = s.view, at = latest_row(m);
  const ring::Ring& r = m.ring;
  const bool empty = ring_empty(m);
  *label = mem::Bytes();
  if (power_view(view)) return power_tiles(s, m, index, label, value);
  if (gpu_view(view)) return gpu_tiles(m, gpu_of(view), index, label, value);
  bool blank = true;
  *label = tile_label(view, index);
  if (view == layout::view_cpu) {
    switch (index) {
      case 0: words::percent(value, r.load[at]); break;
      case 1: words::ghz_known(value, r.clock_mhz[at]); break;
      case 2: words::put_u64(value, r.processes[at]); break;
      case 3: words::put_u64(value, r.threads[at]); break;
      case 4: words::count_known(value, r.handles[at]); break;
      default: words::uptime(value, r.uptime[at]); break;
    }
  } else if (view == layout::view_memory) {
    const u32 used = r.memory_mib[at];
    switch (index) {
      case 0: words::gib(value, used); break;
      case 1: words::gib(value, used < m.memory_total ? m.memory_total - used : 0); break;
      case 2: words::gib(value, r.commit_mib[at]); break;
      case 3: words::gib(value, r.modified_mib[at]); break;
      case 4: words::gib(value, r.standby_mib[at]); break;
      default: words::gib(value, m.memory_total); blank = false; break;
    }
  } else if (disk_view(view)) {
    const u32 d = disk_of(view) % machine::max_disks, used = r.disk_figure[at][d], capacity = m.disk_capacity[d];
    switch (index) {
      case 0: words::percent(value, u32{r.disk_busy[at][d]} * 50); break;
      case 1: words::byte_rate(value, r.disk_read[at][d]); break;
      case 2: words::byte_rate(value, r.disk_write[at][d]); break;
      case 3: words::gib(value, used); break;
      case 4: words::gib(value, used < capacity ? capacity - used : 0); break;
      default: words::gib(value, capacity); blank = false; break;
    }
  } else if (nic_view(view)) {
    const u32 a = nic_of(view) % machine::max_nics;
    chart::Look look;
    resource_plot(&look, m, view, slot_main, true, long_range(s));
    switch (index) {
      case 0: words::bit_rate(value, r.send[at][a]); break;
      case 1: words::bit_rate(value, r.receive[at][a]); break;
      case 2: words::bit_rate(value, peak(look.sources[0], m, long_range(s))); break;
      default: words::bit_rate(value, peak(look.sources[1], m, long_range(s))); break;
    }
  }
  if (blank) blank_if(value, empty);
}

void tile(Pen* pen, i32 x0, i32 y, i32 width, u32 index, u32 shown, mem::Bytes label, mem::Bytes t) {
  if (!((shown >> index) & 1)) return;
  const i32 x = x0 + width * static_cast<i32>(layout::tile_slot(shown, index));
  text(pen, 3, label, x, y, width, 18, dim, 0);
  text(pen, 0, t, x, y + 18, width, 34, white, 0);
}

void tiles(const ViewState& s, Pen* pen, const machine::Machine& m) {
  const i32 x0 = s.content_left, w = s.content_right - s.content_left;
  const u32 most = gpu_view(s.view) ? 5 : 6;
  const u32 n = layout::tile_cols(w, most);
  const i32 width = w / static_cast<i32>(n);
  const u32 count = tile_count(s.view);
  const u32 shown = layout::tiles_shown(n, tile_classes(m, s.view), count);
  for (u32 i = 0; i < count; ++i) {
    if (!((shown >> i) & 1)) continue;
    mem::Bytes label;
    words::Text value{};
    tile_texts(s, m, i, &label, &value);
    tile(pen, x0, s.tiles_top, width, i, shown, label, bytes_of(value));
  }
}

// ---- GPU part

void chart_label(const ViewState& s, Pen* pen, u32 slot, mem::Bytes name, mem::Bytes t) {
  const u32 k = chart::row_of(slot);
  const i32 x = s.grid.lx[k], y = s.grid.ly[k] - 20, w = s.grid.lwidth[k];
  text(pen, 3, name, x, y, w, 20, grey, 0);
  text(pen, 3, t, x, y, w, 20, white, 1);
}

void gpu_part(const ViewState& s, Pen* pen, const machine::Machine& m) {
  const u32 g = gpu_of(s.view) % machine::max_gpus, at = latest_row(m);
  const bool empty = ring_empty(m);
  for (u32 i = 0; i < s.engines && i < 5; ++i) {
    show(pen, s, slot_cores + i);
    words::Text value{};
    words::percent(&value, u32{m.ring.gpu_engines[at][g][i]} * 50);
    blank_if(&value, empty);
    chart_label(s, pen, slot_cores + i, engine_name(engine_kind(i)), bytes_of(value));
  }
  for (u32 which = 0; which < 2; ++which) {
    const u32 slot = which == 0 ? slot_dedicated : slot_shared;
    show(pen, s, slot);
    words::Text value{};
    if (which == 0) {
      words::gib_pair(&value, m.ring.gpu_dedicated_mib[at][g], m.gpu_dedicated[g]);
    } else {
      words::gib_pair(&value, m.ring.gpu_shared_mib[at][g], m.gpu_shared[g]);
    }
    blank_if(&value, empty);
    chart_label(s, pen, slot, which == 0 ? mem::lit("Dedicated GPU memory") : mem::lit("Shared GPU memory"),
                bytes_of(value));
  }
  const u32 lower = unified(m, g) ? slot_dedicated : slot_shared;
  const i32 x = s.grid.lx[lower], y = s.grid.ly[lower] + s.grid.lheight[lower], w = s.grid.lwidth[lower];
  text(pen, 3, range_words(long_range(s)), x, y, w, 20, dim, 0);
  text(pen, 3, mem::lit("0"), x, y, w, 20, dim, 1);
}

// ---- Logical processors part

i32 legend_w(draw::Surface* surface) {
  return chart::measure(surface, 3, mem::lit("0 %")) + chart::measure(surface, 3, mem::lit("100 %")) + 100;
}

void heat_legend(Pen* pen, i32 x, i32 y) {
  const i32 w0 = chart::measure(pen->surface, 3, mem::lit("0 %"));
  text(pen, 3, mem::lit("0 %"), x, y, 72, 24, dim, 0);
  for (u32 i = 0; i <= 10; ++i)
    rect(pen, x + w0 + 6 + 8 * static_cast<i32>(i), y + 8, 8, 8,
         curve::ramp(0x342A24, 0x959F0F, 0xD4EA5E, (200 * i + 5) / 10, 200));
  text(pen, 3, mem::lit("100 %"), x + w0 + 100, y, 72, 24, dim, 0);
}

void core_range(words::Text* out, u32 row, u32 columns, u32 cores) {
  const u32 first = row * columns;
  u32 last = first + columns - 1;
  // A short last row names the processors it holds, not the empty places after them.
  if (cores != 0 && last > cores - 1) last = cores - 1;
  words::put_u64(out, first);
  words::put(out, mem::lit("-"));
  words::put_u64(out, last);
}

u32 label_every(i32 row_height) {
  if (row_height >= 12) return 1;
  // Multiples of 4, as many as keep two labels at least 14 px apart.
  const i32 h = row_height < 1 ? 1 : row_height;
  const i32 groups = (14 + 4 * h - 1) / (4 * h);
  return static_cast<u32>(4 * groups);
}

void cores_part(const ViewState& s, Pen* pen, const machine::Machine& m) {
  const i32 left = s.content_left, w = s.content_right - s.content_left, y = s.cores_heading_y;
  const i32 c = text(pen, 3, mem::lit("Logical processors"), left, y, w, 24, grey, 0);
  const i32 d = s.content_right - 240;
  const bool multiples = (s.flags & flag_multiples) != 0;
  const i32 g = multiples ? d + 124 : d;
  rect(pen, g, y + 2, 116, 20, 0x463A2C);
  rect(pen, g, y + 21, 116, 1, 0xFFC14F);
  text(pen, 3, mem::lit("Heat strip"), d, y, 116, 24, white, 2);
  text(pen, 3, mem::lit("Small multiples"), d + 124, y, 116, 24, white, 2);
  if (!multiples && d >= left + c + 16 + legend_w(pen->surface) + 16) heat_legend(pen, left + c + 16, y);
  const u32 cores = bits::min32(m.cpus, machine::max_cpus);
  if (multiples) {
    const u32 columns = s.small_columns < 1 ? 1 : static_cast<u32>(s.small_columns);
    for (u32 i = 0; i < cores; ++i) show(pen, s, slot_cores + i);
    for (u32 r = 0; r * columns < cores; ++r) {
      words::Text label{};
      core_range(&label, r, columns, cores);
      text(pen, 3, bytes_of(label), left, s.cores_top + static_cast<i32>(r) * (s.small_height + 6), 66, 20, dim, 1);
    }
    return;
  }
  show(pen, s, slot_heat);
  const i32 h = s.core_row_height;
  const u32 every = label_every(h);
  for (u32 i = 0; i < cores; i += every) {
    words::Text label{};
    words::put_u64(&label, i);
    text(pen, 3, bytes_of(label), left, s.cores_top + static_cast<i32>(i) * h + h / 2 - 10, 66, 20, dim, 1);
  }
}

}  // namespace views
