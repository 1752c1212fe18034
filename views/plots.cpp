#include "views/plots.h"

#include "base/bits.h"
#include "drawing/curve.h"
#include "drawing/layout.h"
#include "views/histchart.h"

namespace views {

// ---- Chart looks

void plot_base(chart::Look* look, u32 slot, u32 kind, u32 layers) {
  *look = chart::Look{};
  look->slot = slot;
  look->kind = kind;
  look->count = layers;
  look->margin = 1;
  look->thick = 128;
  look->thin = 0;
  look->max = 1;
  look->background = 0x241C17;
  look->grid = 0x342A24;
}

void set_series(chart::Source* series, const void* first, u32 stride, u32 heat_step, u32 width) {
  *series = chart::Source{static_cast<const u8*>(first), stride, heat_step, width};
}

void layer(chart::Look* look, u32 i, u32 line, u32 fill, u32 alpha) {
  if (i >= chart::series_most) return;
  look->line[i] = line;
  look->fill[i] = fill;
  look->alpha[i] = alpha;
}

u32 window_of(bool longer) { return 538 * (longer ? 1 : 0) + 62; }

u32 most_of(const chart::Source& a, const chart::Source& b, bool sum, const machine::Machine& m, u32 rows) {
  // Older rows than the ring holds repeat its oldest row, which cannot raise the largest value; with no rows at all
  // the largest is 0.
  const u32 n = bits::min32(rows, m.ring.count);
  u32 most = 0;
  for (u32 k = 0; k < n; ++k) {
    u32 row = machine::back_row(&m, k);
    u32 va = chart::cell(a, row, 0), vb = chart::cell(b, row, 0);
    u32 v = sum ? curve::stack_add(va, vb) : (va > vb ? va : vb);
    if (v > most) most = v;
  }
  return most;
}

u32 peak(const chart::Source& series, const machine::Machine& m, bool longer) {
  return most_of(series, series, false, m, window_of(longer));
}

u32 light_of(u32 view) {
  if (view == layout::view_cpu) return 0xD4EA5E;
  if (view == layout::view_memory) return 0xFCD37D;
  if (disk_view(view)) return 0xFCB4A5;
  if (nic_view(view)) return 0x4DD3FC;
  if (power_view(view)) return 0x7171F8;
  return 0xFCABF0;
}

u32 latest_row(const machine::Machine& m) { return machine::back_row(&m, 0); }

void resource_plot(chart::Look* look, const machine::Machine& m, u32 view, u32 slot, bool main, bool longer) {
  const ring::Ring& r = m.ring;
  const bool window = main && longer;
  const u32 rows = window_of(window);
  if (view == layout::view_cpu) {
    plot_base(look, slot, 0, 2);
    look->flags |= chart::flag_no_stack;
    set_series(&look->sources[0], &r.kernel[0], 2, 0, 2);
    set_series(&look->sources[1], &r.load[0], 2, 0, 2);
    layer(look, 0, 0x959F0F, 0x959F0F, 102);
    layer(look, 1, 0xD4EA5E, 0xD4EA5E, 38);
    look->max = 10000;
  } else if (view == layout::view_memory) {
    plot_base(look, slot, 0, 3);
    set_series(&look->sources[0], &r.memory_mib[0], 4, 0, 4);
    set_series(&look->sources[1], &r.modified_mib[0], 4, 0, 4);
    set_series(&look->sources[2], &r.standby_mib[0], 4, 0, 4);
    layer(look, 0, 0xD68417, 0xD68417, 102);
    layer(look, 1, 0xE9AB4A, 0xE9AB4A, 64);
    layer(look, 2, 0xFCD37D, 0xFCD37D, 38);
    // Until a remote machine's inventory arrives its total is 0; a top of 0 would flatten every value onto the base.
    look->max = m.memory_total != 0 ? m.memory_total : 1;
  } else if (disk_view(view)) {
    const u32 d = disk_of(view) % machine::max_disks;
    plot_base(look, slot, 0, 2);
    set_series(&look->sources[0], &r.disk_read[0][d], 64, 0, 4);
    set_series(&look->sources[1], &r.disk_write[0][d], 64, 0, 4);
    layer(look, 0, 0xE65F5A, 0xE65F5A, 102);
    layer(look, 1, 0xFCB4A5, 0xFCB4A5, 38);
    look->max = layout::byte_scale(most_of(look->sources[0], look->sources[1], true, m, rows));
  } else if (nic_view(view)) {
    const u32 a = nic_of(view) % machine::max_nics;
    plot_base(look, slot, chart::kind_mirrored, 2);
    set_series(&look->sources[0], &r.send[0][a], 32, 0, 4);
    set_series(&look->sources[1], &r.receive[0][a], 32, 0, 4);
    layer(look, 0, 0x4DD3FC, 0x4DD3FC, 64);
    layer(look, 1, 0x0677D9, 0x0677D9, 64);
    look->max = layout::bit_scale(most_of(look->sources[0], look->sources[1], false, m, rows));
  } else if (gpu_view(view)) {
    plot_base(look, slot, 0, 1);
    set_series(&look->sources[0], &r.gpu_load[0][gpu_of(view) % machine::max_gpus], 8, 0, 2);
    layer(look, 0, 0xFCABF0, 0xFCABF0, 38);
    look->max = 10000;
  } else {
    plot_base(look, slot, 0, 1);
    set_series(&look->sources[0], &r.power[0], 2, 0, 2);
    layer(look, 0, 0x7171F8, 0x7171F8, 64);
    look->max = layout::watt_scale(peak(look->sources[0], m, window));
  }
  if (main) {
    look->slot = slot_main;
    look->margin = 2;
    look->flags |= chart::flag_grid | (longer ? chart::flag_long : 0);
    look->dot_mask = layout::dots_of(view);
    look->thick = 256;
    look->thin = 128;
    return;
  }
  if (nic_view(view)) {
    look->kind = 0;
    look->max = layout::bit_scale(most_of(look->sources[0], look->sources[1], true, m, rows));
  }
  if (view == layout::view_memory) look->count = 1;
  const u32 light = light_of(view);
  for (u32 i = 0; i < look->count; ++i) layer(look, i, light, light, 51);
}

void engine_plot(chart::Look* look, const machine::Machine& m, u32 gpu, u32 engine, bool longer) {
  plot_base(look, slot_cores + engine, 0, 1);
  set_series(&look->sources[0], &m.ring.gpu_engines[0][gpu % machine::max_gpus][engine % 5], 20, 0, 1);
  look->max = 200;
  look->flags |= chart::flag_grid | (longer ? chart::flag_long : 0);
  layer(look, 0, 0xFCABF0, 0xFCABF0, 38);
}

u32 memory_full(u32 total, const chart::Source& series, const machine::Machine& m, bool longer) {
  if (total != 0) return total;
  return layout::saturate32(curve::nice_ceiling(peak(series, m, longer)));
}

void memory_plot(chart::Look* look, const machine::Machine& m, u32 gpu, u32 which, bool longer) {
  const u32 g = gpu % machine::max_gpus;
  plot_base(look, slot_dedicated + (which ? 1 : 0), 0, 1);
  if (which == 0) {
    set_series(&look->sources[0], &m.ring.gpu_dedicated_mib[0][g], 16, 0, 4);
  } else {
    set_series(&look->sources[0], &m.ring.gpu_shared_mib[0][g], 16, 0, 4);
  }
  look->flags |= chart::flag_grid | (longer ? chart::flag_long : 0);
  look->max = memory_full(which == 0 ? m.gpu_dedicated[g] : m.gpu_shared[g], look->sources[0], m, longer);
  u32 colour = which == 0 ? 0xE04AB0 : 0xFCABF0;
  layer(look, 0, colour, colour, 64);
}

void core_plot(chart::Look* look, const machine::Machine& m, u32 core, bool longer) {
  const u32 c = core % machine::max_cpus;
  plot_base(look, slot_cores + c, 0, 2);
  set_series(&look->sources[0], &m.ring.core_kernel[0][c], 64, 0, 1);
  set_series(&look->sources[1], &m.ring.core_load[0][c], 64, 0, 1);
  look->max = 200;
  look->flags |= chart::flag_no_stack | (longer ? chart::flag_long : 0);
  layer(look, 0, 0x959F0F, 0x959F0F, 102);
  layer(look, 1, 0xD4EA5E, 0xD4EA5E, 38);
}

void heat_plot(chart::Look* look, const machine::Machine& m, bool longer) {
  plot_base(look, slot_heat, chart::kind_heat, 1);
  set_series(&look->sources[0], &m.ring.core_load[0][0], 64, 1, 1);
  look->rows = m.cpus;
  look->flags |= longer ? chart::flag_long : 0;
  look->ramp_middle = 0x959F0F;
  look->ramp_last = 0xD4EA5E;
}

bool sync_all(ViewState* s, const machine::Machine& m, bool rail_only) {
  chart::Look look;
  const chart::Track track = chart::track_of(m.ring, m.pushed);
  bool changed = false;
  u32 ids[31];
  u32 n = rail_ids(s->present, ids);
  for (u32 k = 0; k < n; ++k) {
    if (!rail_shows(*s, ids[k])) continue;
    resource_plot(&look, m, ids[k], spark_row(ids[k]), false, false);
    changed |= chart::sync_track(&s->grid, &s->sheet, look, track) != 0;
  }
  if (rail_only || overview(*s)) return changed;
  if (stored(*s)) return hist_sync(s, m) || changed;
  const bool longer = long_range(*s);
  if (gpu_view(s->view)) {
    const u32 gpu = gpu_of(s->view);
    for (u32 e = 0; e < s->engines && e < 5; ++e) {
      engine_plot(&look, m, gpu, e, longer);
      changed |= chart::sync_track(&s->grid, &s->sheet, look, track) != 0;
    }
    for (u32 which = 0; which < 2; ++which) {
      memory_plot(&look, m, gpu, which, longer);
      changed |= chart::sync(&s->grid, &s->sheet, look, m.ring, m.pushed) != 0;
    }
    return changed;
  }
  resource_plot(&look, m, s->view, slot_main, true, longer);
  changed |= chart::sync(&s->grid, &s->sheet, look, m.ring, m.pushed) != 0;
  if (s->view != layout::view_cpu) return changed;
  if (s->flags & flag_multiples) {
    for (u32 c = 0; c < m.cpus && c < machine::max_cpus; ++c) {
      core_plot(&look, m, c, longer);
      changed |= chart::sync_track(&s->grid, &s->sheet, look, track) != 0;
    }
  } else {
    heat_plot(&look, m, longer);
    changed |= chart::sync(&s->grid, &s->sheet, look, m.ring, m.pushed) != 0;
  }
  return changed;
}

}  // namespace views
