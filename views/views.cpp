#include "views/views.h"

#include "base/bits.h"
#include "drawing/curve.h"
#include "history/hstore.h"
#include "views/proclist.h"
#include "sampling/heat.h"
#include "sampling/hw.h"
#include "drawing/layout.h"

namespace views {
namespace {

constexpr u64 power_bit = u64{1} << layout::view_power;
constexpr u8 hover_none = 255;
constexpr u32 compute_class = 5;  // GPU class bit of a compute engine

i16 to16(i64 v) { return static_cast<i16>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }

void clear_hover(ViewState* s) {
  s->hover_plot = hover_none;
  s->hover_column = 0;
  s->hover_cell = 0;
  for (i16& v : s->tip_box) v = 0;
  s->marker_slot = hover_none;
  s->marker_x = 0;
}

bool has_view(u64 mask, u32 id) { return id < 64 && ((mask >> id) & 1) != 0; }

// Views on the rail in rail order: 0-29, then power.
u32 rail_ids(u64 present, u32* out) {
  u32 n = 0;
  for (u32 id = 0; id < 30; ++id)
    if (has_view(present, id)) out[n++] = id;
  if (present & power_bit) out[n++] = layout::view_power;
  return n;
}

u32 gpu_of(u32 view) { return view - layout::view_gpus; }
u32 disk_of(u32 view) { return view - layout::view_disks; }
u32 nic_of(u32 view) { return view - layout::view_nics; }

u32 tallest_slot(const chart::Grid& g) {
  i32 most = 1;
  for (u32 i = 0; i < chart::slots; ++i)
    if (chart::has_row(g.bound, i) && g.height[i] > most) most = g.height[i];
  return static_cast<u32>(most);
}

void place_rail(ViewState* s) {
  u32 ids[31];
  u32 n = rail_ids(s->present, ids);
  for (u32 k = 0; k < n; ++k) {
    if (!rail_shows(*s, ids[k])) continue;
    chart::place(&s->grid, spark_row(ids[k]), 12, rail_row_top(*s, ids[k]) + 10, 60, 36, 1);
  }
}

u8 engines_key(const machine::Machine& m, u32 view) {
  if (!gpu_view(view)) return 0;
  return static_cast<u8>(engine_count(m, gpu_of(view)) | (unified(m, gpu_of(view)) ? 8 : 0));
}

}  // namespace

// ---- State

void init(ViewState* s) {
  *s = ViewState{};
  chart::init(&s->grid);
  s->flags = flag_grid;
  s->sheet.slot = -1;
  s->rail_fixed = fixed_entries;
  clear_hover(s);
  s->marker_slot = 0;
  s->frame_bottom = 0x7FFF;
  s->ranges = 2;
}

void reset(ViewState* s) {
  chart::forget(&s->grid);
  s->keys = Keys{};
  clear_hover(s);
  s->flags &= flag_grid | flag_long | flag_overview | flag_remote;
  s->view = layout::view_cpu;
  s->rail_first = 0;
  s->wheel_rest = 0;  // the top-process ring stays: it belongs to the machine shown, not to the arrangement
}

void attach(ViewState* s, draw::Surface* surface) {
  if (static_cast<u32>(s->sheet_generation) == s->bound_generation) return;
  draw::bind_sheet(surface, &s->sheet);
  s->bound_generation = static_cast<u32>(s->sheet_generation);
}

u64 sheet_bytes(i32 width, i32 height, i32 tallest) {
  u64 w = width < 0 ? 0 : static_cast<u64>(width), h = height < 0 ? 0 : static_cast<u64>(height);
  return w * h * 4 + chart::scratch_bytes(width, tallest) + 320;
}

void fit_sheet(ViewState* s) {
  draw::Size size = chart::pack(&s->grid);
  i32 tallest = static_cast<i32>(tallest_slot(s->grid));
  u64 bytes = sheet_bytes(size.width, size.height, tallest);
  if (bytes != s->sheet_bytes) {
    mem::release(&s->sheet_arena);
    s->sheet_arena = mem::Arena{};
    s->sheet_bytes = 0;
    s->sheet.pixels = nullptr;
    // A refused reservation leaves no sheet; the new generation lets the surface drop the old binding, whose pixels
    // were just returned.
    if (bytes > sheet_most || !mem::arena_init(&s->sheet_arena, bytes)) {
      s->sheet = draw::Sheet{nullptr, 0, 0, 0, s->sheet.slot};
      s->sheet_generation += 1;
      return;
    }
    s->sheet_bytes = bytes;
  }
  s->sheet_arena.used = 0;
  u64 pixel_bytes = u64(size.width) * u64(size.height) * 4;
  mem::Slice pixels = mem::alloc(&s->sheet_arena, pixel_bytes, 64);
  bool ok = pixels.ptr && chart::scratch(&s->grid, &s->sheet_arena, size.width, tallest);
  s->sheet.pixels = ok ? reinterpret_cast<u32*>(pixels.ptr) : nullptr;
  s->sheet.stride = static_cast<u32>(size.width);
  s->sheet.width = static_cast<u32>(size.width);
  s->sheet.height = static_cast<u32>(size.height);
  s->sheet_generation += 1;
}

void set_dpi(ViewState* s, u32 dpi) {
  s->grid.dpi = draw::dpi_of(dpi);
  s->flags &= static_cast<u8>(~flag_arranged);
  s->hover_plot = hover_none;
}

i32 fitted_step(const ViewState& s, i32 step) {
  i32 most = chart::most_step(s.grid.dpi);
  return step < most ? step : most;
}

bool set_fixed(ViewState* s, u32 entries) {
  if (entries > 16) entries = 16;
  if (entries == s->rail_fixed) return false;
  s->rail_fixed = static_cast<u8>(entries);
  s->flags &= static_cast<u8>(~flag_arranged);
  return true;
}

bool powered(const machine::Machine& m) { return machine::power_present(&m) != 0; }

u64 present(const machine::Machine& m) {
  return layout::present_of(m.disks, m.nics, m.gpus) | (powered(m) ? power_bit : 0);
}

bool power_view(u32 id) { return id == layout::view_power; }
bool gpu_view(u32 id) { return id >= layout::view_gpus && id < layout::view_processes; }
bool disk_view(u32 id) { return id >= layout::view_disks && id < layout::view_nics; }
bool nic_view(u32 id) { return id >= layout::view_nics && id < layout::view_gpus; }

u32 engine_count(const machine::Machine& m, u32 gpu) {
  return gpu < machine::max_gpus && (m.gpu_classes[gpu] & (1u << compute_class)) ? 5 : 4;
}

u32 engine_kind(u32 i) { return i + 1; }

bool long_range(const ViewState& s) { return (s.flags & flag_long) != 0; }
bool stored(const ViewState& s) { return s.range >= 2 && s.range < range_count; }
u32 range_of(const ViewState& s) { return s.range; }
u32 ranges(const ViewState& s) { return s.ranges; }

bool set_range(ViewState* s, u32 range) {
  u32 r = hist::clamp_range(range);
  if (r >= s->ranges) r = 0;
  bool changed = r != s->range;
  s->range = static_cast<u8>(r);
  s->flags = layout::put_flag(s->flags, flag_long, r == 1);
  if (changed) s->hover_plot = hover_none;
  return changed;
}

bool set_ranges(ViewState* s, u32 n) {
  u8 offered = n < 3 ? 2 : range_count;
  if (offered == s->ranges) return false;
  s->ranges = offered;
  s->flags &= static_cast<u8>(~flag_arranged);
  // A stored range that is no longer offered falls back to "60 s" at once rather than drawing a range the buttons
  // no longer show.
  set_range(s, s->range);
  return true;
}

void set_hist(ViewState* s, hist::Table* table) { s->history = table; }

draw::Rect range_rect(const ViewState& s, u32 i) {
  i32 width = s.ranges == 2 ? 64 : 48;
  if (!(s.flags & flag_arranged) || i >= s.ranges) return draw::Rect{s.content_right, 58, s.content_right, 82};
  i32 right = s.content_right - (width + 4) * static_cast<i32>(s.ranges - 1 - i);
  return draw::Rect{right - width, 58, right, 82};
}

bool overview(const ViewState& s) { return (s.flags & flag_overview) != 0; }

bool set_overview(ViewState* s, bool on) {
  bool old = overview(*s);
  if (old != on) {
    s->flags = layout::put_flag(s->flags, flag_overview, on);
    s->hover_plot = hover_none;
    for (i16& v : s->tip_box) v = 0;
    s->marker_slot = hover_none;
  }
  return old;
}

bool set_remote(ViewState* s, bool on) {
  bool old = (s->flags & flag_remote) != 0;
  s->flags = layout::put_flag(s->flags, flag_remote, on);
  return old != on;
}

bool synced(const ViewState& s) { return (s.flags & flag_synced) != 0; }

void unlay(ViewState* s, bool on) {
  if (on) s->flags &= static_cast<u8>(~flag_arranged);
}

void select(ViewState* s, u32 id) {
  s->view = static_cast<u8>(id);
  s->hover_plot = hover_none;
}

void toggle(ViewState* s) {
  s->flags ^= flag_multiples;
  s->hover_plot = hover_none;
}

// ---- Rail

u32 rail_order(const ViewState& s, u32 id) { return layout::order_of(s.present, id) + 1; }
u32 rail_count(const ViewState& s) { return bits::word_count(s.present) + 1; }

bool rail_shows(const ViewState& s, u32 id) {
  if (!has_view(s.present, id)) return false;
  u32 position = rail_order(s, id);
  return position >= s.rail_first && position - s.rail_first < s.rail_rows;
}

i32 rail_row_top(const ViewState& s, u32 id) { return layout::rail_at(s.present, id, s.rail_first) + 56; }
bool rail_scrolls(const ViewState& s) { return s.rail_rows < rail_count(s); }
i32 views_top(const ViewState& s) { return 64 + 56 * static_cast<i32>(s.rail_rows); }

bool rail_scroll(ViewState* s, i32 delta) {
  i64 rest = s->wheel_rest;
  if ((rest > 0 && delta < 0) || (rest < 0 && delta > 0)) rest = 0;
  i64 sum = rest + delta;
  i64 notches = sum / 120;
  s->wheel_rest = static_cast<i16>(sum - notches * 120);
  i64 wanted = i64{s->rail_first} - notches;
  if (wanted < 0) wanted = 0;
  if (wanted > 255) wanted = 255;
  u32 first = layout::rail_first(static_cast<u32>(wanted), rail_count(*s), s->rail_rows);
  bool changed = first != s->rail_first;
  s->rail_first = static_cast<u8>(first);
  return changed;
}

bool reveal(ViewState* s, u32 id) {
  u32 position;
  if (id == layout::view_overview) {
    position = 0;
  } else if (id <= layout::view_power && has_view(s->present, id)) {
    position = rail_order(*s, id);
  } else {
    return false;
  }
  u32 rows = s->rail_rows == 0 ? 1 : s->rail_rows;
  u32 first = static_cast<u32>(proclist::keep_visible(s->rail_first, position, rows));
  bool changed = first != s->rail_first;
  s->rail_first = static_cast<u8>(first);
  return changed;
}

u32 spark_row(u32 id) { return id == layout::view_power ? slot_power_spark : slot_rail + id; }

// ---- Rectangles

bool board_rect(const ViewState& s, draw::Rect* out) {
  bool shown = s.rail_first == 0;
  *out = shown ? draw::Rect{0, 48, 220, 104} : draw::Rect{0, 48, 0, 48};
  return shown;
}

draw::Rect rail_rect(const ViewState& s, u32 id) {
  i32 top = rail_row_top(s, id);
  return rail_shows(s, id) ? draw::Rect{0, top, 220, top + 56} : draw::Rect{0, top, 0, top};
}

draw::Rect toggle_rect(const ViewState& s) {
  i32 left = s.content_right - 240, top = s.cores_heading_y;
  bool shown = (s.flags & flag_arranged) && s.view == layout::view_cpu;
  return draw::Rect{left, top, shown ? s.content_right : left, top + 24};
}

draw::Rect plot_rect(const ViewState& s) {
  i32 right = gpu_view(s.view) ? s.content_right : chart::span_end(s.grid, slot_main) + 1;
  return draw::Rect{s.plot_x, s.plot_y, right, s.plot_y + s.plot_height};
}

draw::Rect cores_rect(const ViewState& s) {
  bool shown = (s.flags & flag_arranged) && s.view == layout::view_cpu;
  i32 right = shown ? chart::span_end(s.grid, slot_heat) : s.plot_x;
  return draw::Rect{s.plot_x, s.cores_top, right, s.cores_top + s.cores_height};
}

// ---- Arrangement

void layout(ViewState* s, const machine::Machine& m, i32 width, i32 height) {
  if (arrange(s, m, width, height)) fit_sheet(s);
}

void fit(ViewState* s) { fit_sheet(s); }

bool arrange(ViewState* s, const machine::Machine& m, i32 width, i32 height) {
  s->present = present(m);
  // A machine switch can take the shown view away (a disk or GPU the new machine lacks): show the CPU instead of
  // drawing clamped names and empty charts.
  if (!has_view(s->present, s->view)) select(s, layout::view_cpu);

  u32 items = rail_count(*s);
  u32 rows = layout::rail_rows(items, height, s->rail_fixed);
  u32 first = s->rail_first;
  if (rows != s->rail_rows) {
    u32 selected = overview(*s) ? 0 : rail_order(*s, s->view);
    first = static_cast<u32>(proclist::keep_visible(first, selected, rows));
  }
  s->rail_rows = static_cast<u8>(rows);
  s->rail_first = static_cast<u8>(layout::rail_first(first, items, rows));

  const u8 key_flags = s->flags & (flag_multiples | flag_overview);
  const u8 key_stored = stored(*s) ? 1 : 0;
  const u8 key_engines = engines_key(m, s->view);
  if ((s->flags & flag_arranged) && s->key_width == width && s->key_height == height && s->key_view == s->view &&
      s->key_flags == key_flags && s->key_present == s->present && s->key_cpus == m.cpus &&
      s->key_rail_first == s->rail_first && s->key_stored == key_stored && s->key_engines == key_engines)
    return false;

  s->flags |= flag_arranged;
  s->key_width = width;
  s->key_height = height;
  s->key_view = s->view;
  s->key_flags = key_flags;
  s->key_present = s->present;
  s->key_cpus = m.cpus;
  s->key_rail_first = s->rail_first;
  s->key_stored = key_stored;
  s->key_engines = key_engines;
  s->arrangements += 1;
  s->keys = Keys{};
  s->grid.bound[0] = s->grid.bound[1] = 0;
  place_rail(s);

  const bool live = !stored(*s);
  const u32 per_core = s->view == layout::view_cpu && live ? 1 : 0;
  const u32 cores = live ? m.cpus : 0;
  s->content_left = 244;
  s->content_right = to16(i64{width} - 24);
  s->tiles_top = to16(i64{height} - 76);
  if (overview(*s)) return false;
  if (gpu_view(s->view) && live) {
    layout_gpu(s, m, 244, width - 24);
    return true;
  }

  const i32 row_height = layout::core_fit(height, cores, layout::core_rows(cores, 160));
  const i32 cores_height = row_height * static_cast<i32>(cores);
  const bool panel = layout::details_fit(height, per_core, cores_height) && layout::details_wide(s->content_right - 244);
  s->flags = layout::put_flag(s->flags, flag_details, panel);

  const i32 plot_h = layout::plot_height(height, per_core, cores_height, panel);
  const i32 step = fitted_step(*s, layout::step_for(width - 24 - 72 - 316));
  s->plot_x = 316;
  s->plot_y = 112;
  s->plot_height = to16(plot_h);
  s->step = to16(step);
  chart::place(&s->grid, slot_main, 316, 112, 60 * step + 8, plot_h, step);

  s->cores_heading_y = to16(i64{plot_h} + 148);
  s->cores_top = to16(i64{plot_h} + 172);
  s->cores_height = to16(cores_height);
  s->core_row_height = to16(row_height);
  s->tiles_top = to16(i64{height} - 24 - 98 * i64{panel} - 52);
  s->details_top = to16(i64{s->tiles_top} + 60);
  if (!per_core) return true;
  if (!(s->flags & flag_multiples)) {
    chart::place(&s->grid, slot_heat, 316, s->cores_top, 60 * step, cores_height, step);
    return true;
  }
  // Small multiples: never more columns than charts of 60 columns fit in the plot's width, or neighbours would
  // overlap and the pointer would name the wrong processor; narrow windows get more rows instead.
  i32 fit_columns = (60 * step + 6) / 66;
  u32 columns = layout::multi_cols(cores);
  if (static_cast<i32>(columns) > fit_columns) columns = static_cast<u32>(fit_columns < 1 ? 1 : fit_columns);
  const u32 rows_n = layout::multi_rows(cores, columns);
  const i32 pitch = (60 * step + 6) / static_cast<i32>(columns);
  const i32 small_step = (pitch - 6) / 60 < 1 ? 1 : (pitch - 6) / 60;
  const i32 small_h = (cores_height - 6 * (static_cast<i32>(rows_n) - 1)) / static_cast<i32>(rows_n);
  s->small_columns = to16(columns);
  s->small_pitch = to16(pitch);
  s->small_step = to16(small_step);
  s->small_height = to16(small_h);
  for (u32 i = 0; i < cores && i < machine::max_cpus; ++i) {
    i32 x = 316 + pitch * static_cast<i32>(i % columns);
    i32 y = s->cores_top + static_cast<i32>(i / columns) * (small_h + 6);
    chart::place(&s->grid, slot_cores + i, x, y, 60 * small_step, small_h, small_step);
  }
  return true;
}

void layout_gpu(ViewState* s, const machine::Machine& m, i32 left, i32 right) {
  const u32 gpu = gpu_of(s->view);
  const u32 n = engine_count(m, gpu);
  s->engines = static_cast<u8>(n);
  const u32 c = layout::engine_cols(n);
  const u32 r = layout::multi_rows(n, c);
  const i32 engine_step = fitted_step(*s, layout::step_for((right - left + 8) / static_cast<i32>(c) - 8));
  const i32 memory_step = fitted_step(*s, layout::step_for(right - left));
  const i32 engine_w = 60 * engine_step;
  const i32 grid_w = static_cast<i32>(c) * engine_w + 8 * (static_cast<i32>(c) - 1);
  const i32 h = layout::gpu_chart_h(s->tiles_top - 128, r);
  const i32 pitch = h + 28;
  for (u32 i = 0; i < n; ++i) {
    i32 x = right - grid_w + static_cast<i32>(i % c) * (engine_w + 8);
    i32 y = 132 + static_cast<i32>(i / c) * pitch;
    chart::put(&s->grid, slot_cores + i, x, y, engine_w, h, engine_step, 1);
  }
  i32 first = 140 + pitch * static_cast<i32>(r), second = first + pitch;
  bool swap = unified(m, gpu);
  i32 mx = right - 60 * memory_step;
  chart::place_end(&s->grid, slot_dedicated, mx, swap ? second : first, 60 * memory_step, h, memory_step);
  chart::place_end(&s->grid, slot_shared, mx, swap ? first : second, 60 * memory_step, h, memory_step);
  s->plot_x = to16(left);
  s->plot_y = 112;
  s->plot_height = to16(i64{r} * pitch + 2 * i64{h} + 56);
  s->step = to16(memory_step);
}

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

// ---- Stored-history charts

u8 hist_field(u32 view, bool second) {
  if (nic_view(view)) return second ? 6 : 7;
  if (second) return hist::no_measure;
  if (view == layout::view_cpu) return 0;
  if (view == layout::view_memory) return 2;
  if (disk_view(view)) return 3;
  if (gpu_view(view)) return 4;
  if (power_view(view)) return hist::energy_measure;
  return hist::no_measure;
}

bool net_view(u32 view) { return nic_view(view); }

bool hist_ready(const ViewState& s) { return s.history != nullptr && s.history->count != nullptr; }

void hist_plot(chart::Look* look, const hist::Table& t, u32 view) {
  plot_base(look, slot_main, 0, 3);
  look->flags = chart::flag_no_stack | chart::flag_grid | chart::flag_long;
  look->margin = 2;
  look->thick = 256;
  look->thin = 0;
  look->max = 10000;
  if (power_view(view)) {
    look->count = 1;
    set_series(&look->sources[0], t.watts, 4, 0, 4);
    look->max = layout::watt_scale(hist::most_watts(&t));
    layer(look, 0, 0x7171F8, 0x7171F8, 64);
    return;
  }
  if (nic_view(view)) {
    look->kind = chart::kind_mirrored;
    look->count = 2;
    look->thin = 128;
    set_series(&look->sources[0], t.mean[0], 4, 0, 4);
    set_series(&look->sources[1], t.mean[1], 4, 0, 4);
    const u32 a = hist::most_avg(&t, 0), b = hist::most_avg(&t, 1);
    look->max = layout::bit_scale(a > b ? a : b);
    layer(look, 0, 0x4DD3FC, 0x4DD3FC, 64);
    layer(look, 1, 0x0677D9, 0x0677D9, 64);
    return;
  }
  const u32 light = light_of(view);
  set_series(&look->sources[0], t.max[0], 4, 0, 4);
  set_series(&look->sources[1], t.min[0], 4, 0, 4);
  set_series(&look->sources[2], t.mean[0], 4, 0, 4);
  layer(look, 0, light, light, 0);
  layer(look, 1, light, light, 38);
  layer(look, 2, light, light, 38);
}

// A track over the table's ring of columns: one row per column, so the chart spreads the range's own column count
// over its width and no range leaves a share of its chart blank.
chart::Track hist_track(const hist::Table& t) {
  return chart::Track{t.columns, t.start, t.columns, t.changes, t.columns, t.count};
}

bool hist_sync(ViewState* s, const machine::Machine&) {
  if (!hist_ready(*s)) return false;
  chart::Look look;
  hist_plot(&look, *s->history, s->view);
  return chart::sync_track(&s->grid, &s->sheet, look, hist_track(*s->history)) != 0;
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

bool ring_empty(const machine::Machine& m) { return m.ring.count == 0; }

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

// ======== Drawing of a resource page

namespace {

constexpr u64 fnv_prime = 0x100000001B3ull;
constexpr u64 fnv_basis = 0xCBF29CE484222325ull;

u64 mix(u64 h, u64 word) { return (h ^ word) * fnv_prime; }
u64 mix_bytes(u64 h, mem::Bytes b) {
  for (u64 i = 0; i < b.len; ++i) h = (h ^ b.ptr[i]) * fnv_prime;
  return h;
}
u64 pack(i32 a, i32 b) { return u64{static_cast<u32>(a)} << 32 | static_cast<u32>(b); }

mem::Bytes bytes_of(const words::Text& t) { return mem::Bytes(t.bytes, t.len); }

u32 cap(u32 v, u32 most) { return v < most ? v : most; }

// Text colours of the page.
constexpr u32 white = 0xE8E8E8, grey = 0xA0A0A0, dim = 0x808080;

}  // namespace

Pen drawing(draw::Surface* surface) { return Pen{surface, false, 0}; }
Pen keying(draw::Surface* surface) { return Pen{surface, true, fnv_basis}; }

i32 text(Pen* pen, u32 role, mem::Bytes t, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align) {
  if (!pen->keying) return chart::text(pen->surface, role, t, x, y, width, height, colour, align);
  u64 h = mix_bytes(mix(pen->key, t.len), t);
  h = mix(h, pack(x, y));
  h = mix(h, pack(width, height));
  pen->key = mix(h, u64{colour} << 8 | role << 4 | align);
  return chart::measure(pen->surface, role, t);
}

void rect(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour) {
  if (!pen->keying) return chart::rect(pen->surface, x, y, width, height, colour);
  pen->key = mix(mix(mix(pen->key, pack(x, y)), pack(width, height)), colour);
}

void frame(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour) {
  if (!pen->keying) return chart::frame(pen->surface, x, y, width, height, colour);
  pen->key = mix(mix(mix(pen->key, pack(x, y)), pack(width, height)), u64{colour} | u64{1} << 32);
}

u64 window_key(const chart::Look& look, const machine::Machine& m, u32 rows) {
  const u32 present = m.ring.count;
  const u32 n = cap(rows, present);
  u64 h = mix(mix(fnv_basis, chart::look_of(look)), n);
  const u32 series = look.kind == chart::kind_heat ? 1 : cap(look.count, chart::series_most);
  const u32 items = look.kind == chart::kind_heat ? cap(look.rows, 64) : 1;
  for (u32 k = 0; k < n; ++k) {
    const u32 row = machine::back_row(&m, k);
    for (u32 s = 0; s < series; ++s)
      for (u32 item = 0; item < items; ++item) h = mix(h, chart::cell(look.sources[s], row, item));
  }
  return h;
}

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
  const u32 rows = cap(n, m.ring.count);
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
  const u32 n = cap(window_of(long_range(s)), m.ring.count);
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
  const u32 cores = cap(m.cpus, machine::max_cpus);
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

// ---- Rail list

void board_item(const ViewState& s, Pen* pen) {
  if (s.rail_first != 0) return;
  frame(pen, 11, 57, 62, 38, 0x403630);
  rect(pen, 12, 58, 29, 17, 0x959F0F);
  rect(pen, 43, 58, 29, 17, 0xD68417);
  rect(pen, 12, 77, 29, 17, 0xE65F5A);
  rect(pen, 43, 77, 29, 17, 0xE04AB0);
  text(pen, 0, board_name(), 84, 56, 128, 20, white, 0);
  text(pen, 3, board_value((s.flags & flag_remote) != 0), 84, 76, 128, 18, grey, 0);
}

void rail_row(const ViewState& s, Pen* pen, const machine::Machine& m, u32 id) {
  const i32 y = rail_row_top(s, id);
  frame(pen, 11, y + 9, 62, 38, 0x403630);
  show(pen, s, spark_row(id));
  words::Text title{}, value{};
  title_of(m, id, &title);
  value_of(m, id, &value);
  text(pen, 0, bytes_of(title), 84, y + 8, 128, 20, white, 0);
  text(pen, 3, bytes_of(value), 84, y + 28, 128, 18, grey, 0);
}

void rail_items(const ViewState& s, Pen* pen, const machine::Machine& m) {
  board_item(s, pen);
  u32 ids[31];
  const u32 n = rail_ids(s.present, ids);
  for (u32 k = 0; k < n; ++k)
    if (rail_shows(s, ids[k])) rail_row(s, pen, m, ids[k]);
  rail_bar(s, pen);
}

void rail_bar(const ViewState& s, Pen* pen) {
  if (!rail_scrolls(s)) return;
  const u64 track = u64{s.rail_rows} * 56;
  const u64 items = rail_count(s);
  const u64 thumb = proclist::thumb_h(s.rail_rows, items, track, 16);
  const u64 top = proclist::thumb_y(s.rail_first, items, s.rail_rows, track, thumb);
  rect(pen, 216, 48, 3, static_cast<i32>(track), 0x303030);
  rect(pen, 216, 48 + static_cast<i32>(top), 3, static_cast<i32>(thumb), dim);
}

// ---- Heading

void hist_caption(words::Text* out, u32 view) {
  if (view == layout::view_cpu) words::put(out, mem::lit("% utilisation"));
  if (view == layout::view_memory) words::put(out, mem::lit("% of memory in use"));
  if (disk_view(view)) words::put(out, mem::lit("Busiest disk, % active time"));
  if (nic_view(view)) words::put(out, mem::lit("All adapters, send above, receive below"));
  if (gpu_view(view)) words::put(out, mem::lit("Busiest GPU, % utilisation"));
  if (power_view(view)) words::put(out, mem::lit("Average draw in watts per slot, energy in the tiles"));
  if (!nic_view(view) && !power_view(view)) words::put(out, mem::lit(", average with lowest to highest shaded"));
  words::put(out, mem::lit(", stored, "));
}

namespace {

void sub_title(const machine::Machine& m, u32 view, words::Text* out) {
  if (view == layout::view_cpu) return words::put(out, machine::name(&m, machine::slot_cpu));
  if (view == layout::view_memory) return words::gib(out, m.memory_total);
  if (disk_view(view)) return disk_heading(out, m, disk_of(view));
  if (nic_view(view))
    return words::put(out, machine::name(&m, machine::name_slot(machine::slot_descriptions, nic_of(view), m.nics)));
  if (gpu_view(view)) return gpu_total(out, m, gpu_of(view));
  power_source(out, m);
}

}  // namespace

void heading(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look) {
  const i32 left = s.content_left, w = s.content_right - s.content_left;
  words::Text title{};
  if (gpu_view(s.view)) {
    words::put(&title, gpu_name(m, gpu_of(s.view)));
  } else {
    title_of(m, s.view, &title);
  }
  const i32 t = text(pen, 0, bytes_of(title), left, 56, w, 28, white, 0) + 16;
  words::Text sub{}, heat{};
  sub_title(m, s.view, &sub);
  i32 tenths = 0;
  const u32 kind = heading_heat(m, s.view, &tenths);
  const bool warm = kind != 255 && !stored(s);
  i32 h = 0;
  if (warm) {
    heat_text(&heat, tenths);
    h = chart::measure(pen->surface, 0, bytes_of(heat)) + 16;
  }
  const i32 button = s.ranges == 2 ? 64 : 48;
  const i32 g = w - static_cast<i32>(s.ranges) * (button + 4) - 12 - t - h;
  if (disk_view(s.view) && g < chart::measure(pen->surface, 0, bytes_of(sub))) {
    sub.len = 0;
    words::gib(&sub, m.disk_capacity[disk_of(s.view) % machine::max_disks]);
  }
  // Below the width of the ellipsis there is no room to show anything of it, whatever the ranges offered.
  const bool drop = (g < 40 && s.ranges == range_count) || g < chart::measure(pen->surface, 0, ellipsis());
  if (!drop) {
    ellipsize(pen->surface, 0, &sub, g);
    text(pen, 0, bytes_of(sub), left + t, 56, g, 28, grey, 1);
  }
  if (warm) text(pen, 0, bytes_of(heat), left + t + (g > 0 ? g : 0), 56, h, 28, heat_color(kind, tenths), 1);
  range_control(s, pen);
  words::Text caption{};
  if (stored(s)) {
    hist_caption(&caption, s.view);
  } else {
    words::put(&caption, caption_of(s.view));
  }
  words::put(&caption, shown_words(s));
  const i32 cw = text(pen, 3, bytes_of(caption), left, 84, w, 20, dim, 0);
  if (!gpu_view(s.view) && !stored(s) && cw + legend_span(s, pen->surface, look) <= w) legend(s, pen, look, 84);
}

void range_control(const ViewState& s, Pen* pen) {
  for (u32 i = 0; i < s.ranges; ++i) {
    const draw::Rect r = range_rect(s, i);
    const bool chosen = i == s.range;
    rect(pen, r.left, r.top, r.right - r.left, r.bottom - r.top, chosen ? 0x463A2C : 0x241C17);
    if (chosen) rect(pen, r.left, r.bottom - 1, r.right - r.left, 1, 0xFFC14F);
    text(pen, 3, range_name(i), r.left, r.top, r.right - r.left, r.bottom - r.top, white, 2);
  }
}

i32 legend_span(const ViewState& s, draw::Surface* surface, const chart::Look& look) {
  i32 span = 0;
  for (u32 i = 0; i < look.count && i < chart::series_most; ++i)
    span += chart::measure(surface, 3, layer_name(s.view, i)) + 30;
  return span;
}

void legend(const ViewState& s, Pen* pen, const chart::Look& look, i32 y) {
  i32 x = s.content_right;
  for (u32 i = cap(look.count, chart::series_most); i-- > 0;) {
    const mem::Bytes name = layer_name(s.view, i);
    const i32 w = chart::measure(pen->surface, 3, name);
    x -= w;
    text(pen, 3, name, x, y, w, 20, grey, 0);
    rect(pen, x - 14, y + 6, 8, 8, look.line[i]);
    x -= 30;
  }
}

// ---- Axis and end labels

void axis(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look) {
  const i32 margin = look.margin;
  for (u32 i = 0; i < 5; ++i) {
    words::Text label{};
    axis_text(m, s.view, look.max, i, &label);
    const i32 centre = s.plot_y + margin + (2 + static_cast<i32>(i) * (s.plot_height - 2 * margin - 1)) / 4;
    text(pen, 3, bytes_of(label), s.content_left, centre - 10, 66, 20, dim, 1);
  }
  const i32 y = s.plot_y + s.plot_height, w = chart::span_end(s.grid, slot_main) - s.plot_x;
  text(pen, 3, range_words(long_range(s)), s.plot_x, y, w, 20, dim, 0);
  text(pen, 3, mem::lit("0"), s.plot_x, y, w, 20, dim, 1);
}

u32 bound_at(const chart::Look& look, const machine::Machine& m, u32 layer, u32 back) {
  const u32 row = machine::back_row(&m, back);
  const u32 l = cap(layer, chart::series_most - 1);
  if ((look.flags & chart::flag_no_stack) || look.kind == chart::kind_mirrored)
    return chart::cell(look.sources[l], row, 0);
  u32 sum = 0;
  for (u32 i = 0; i <= l; ++i) sum = curve::stack_add(sum, chart::cell(look.sources[i], row, 0));
  return sum;
}

void end_labels(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look) {
  const bool mirrored = look.kind == chart::kind_mirrored;
  const i32 x = s.grid.lx[slot_main] + s.grid.lwidth[slot_main] + 6;
  const i32 axis_y = s.plot_y + s.plot_height / 2;
  for (u32 i = 0; i < cap(look.count, chart::series_most); ++i) {
    if (!((look.dot_mask >> i) & 1)) continue;
    const u32 v = bound_at(look, m, i, 0);
    i32 y = s.plot_y + curve::plot_y(mirrored, i, v, look.max, s.plot_height, look.margin) / 256;
    if (mirrored) y = layout::label_center(1, i, y, axis_y, 10);
    words::Text label{};
    now_text(m, s.view, i, &label);
    text(pen, 3, bytes_of(label), x, y - 10, 58, 20, white, 0);
  }
}

// ---- Page rendering

u32 prepared(ViewState* s, draw::Surface* surface, const machine::Machine& m, bool rail_only) {
  attach(s, surface);
  if (!(s->flags & flag_grid) || !s->sheet.pixels) return 0;
  const bool changed = sync_all(s, m, rail_only);
  s->flags = layout::put_flag(s->flags, flag_synced, changed);
  return 1;
}

void set_frame_bottom(ViewState* s, i32 y) { s->frame_bottom = to16(y); }

void show(Pen* pen, const ViewState& s, u32 slot) {
  const u32 k = chart::row_of(slot);
  if (pen->keying) {
    // What a chart shows is its sheet, which the last preparation brought up to date; the band keys of the charts
    // come from their windows (window_key), so here only where it stands counts.
    pen->key = mix(mix(pen->key, k), pack(s.grid.lx[k], s.grid.ly[k]));
    return;
  }
  i32 limit = s.frame_bottom;
  const bool rail = (k >= slot_rail && k < slot_cores) || k == slot_power_spark;
  if (!rail && s.tiles_top < limit) limit = s.tiles_top;
  const bool marked = k == s.marker_slot;
  const draw::Rect keep_out{s.tip_box[0], s.tip_box[1], s.tip_box[2], s.tip_box[3]};
  chart::show(pen->surface, s.grid, s.sheet, k, synced(s), keep_out, marked ? s.marker_x : 0,
              marked ? s.marker_x + 1 : 0, limit);
}

void render(ViewState* s, draw::Surface* surface, const machine::Machine& m) {
  if (prepared(s, surface, m, false) != 1) return;
  chart::Look look;
  resource_plot(&look, m, s->view, slot_main, true, long_range(*s));
  const draw::Rect tip = tip_rect(*s, m, look.count);
  s->tip_box[0] = to16(tip.left);
  s->tip_box[1] = to16(tip.top);
  s->tip_box[2] = to16(tip.right);
  s->tip_box[3] = to16(tip.bottom);
  const Anchor a = anchor(*s);
  const bool tipped = tip.right != tip.left || tip.bottom != tip.top;
  s->marker_slot = static_cast<u8>(tipped && s->hover_plot != slot_heat ? hovered_row(*s) : hover_none);
  s->marker_x = to16(a.x);
  Pen pen = drawing(surface);
  rail_items(*s, &pen, m);
  heading(*s, &pen, m, look);
  if (stored(*s)) {
    hist_part(*s, &pen);
    tiles(*s, &pen, m);
    if (!gpu_view(s->view)) details(*s, surface, m);
  } else if (gpu_view(s->view)) {
    gpu_part(*s, &pen, m);
    tiles(*s, &pen, m);
  } else {
    show(&pen, *s, slot_main);
    axis(*s, &pen, m, look);
    end_labels(*s, &pen, m, look);
    if (s->view == layout::view_cpu) cores_part(*s, &pen, m);
    tiles(*s, &pen, m);
    details(*s, surface, m);
  }
  overlay(*s, &pen, m);
}

u32 render_rail(ViewState* s, draw::Surface* surface, const machine::Machine& m) {
  const u32 ready = prepared(s, surface, m, true);
  if (ready != 1) return ready;
  Pen pen = drawing(surface);
  rail_items(*s, &pen, m);
  return 1;
}

void forget(ViewState* s) {
  chart::forget(&s->grid);
  s->keys = Keys{};
}

// ---- Hit test

bool gpu_hover(const ViewState& s) { return gpu_view(s.view) && !stored(s) && s.hover_plot >= 32 && s.hover_plot != hover_none; }

namespace {

bool within(i32 v, i32 lo, i32 hi) { return v >= lo && v < hi; }

bool bucketed(const ViewState& s) { return long_range(s) || stored(s); }

}  // namespace

bool hover(ViewState* s, i32 x, i32 y) {
  const chart::Grid& g = s->grid;
  const bool live = !stored(*s), by_bucket = bucketed(*s);
  u32 plot = hover_none, column = 0, cell = 0;
  const bool gpu_live = gpu_view(s->view) && live;
  if (!gpu_live && within(x, s->plot_x, g.lx[slot_main] + g.lwidth[slot_main]) &&
      within(y, s->plot_y, s->plot_y + s->plot_height)) {
    plot = slot_main;
    column = static_cast<u32>(chart::index_at(g, slot_main, x, by_bucket));
  }
  if (s->view == layout::view_cpu && live && within(x, s->plot_x, chart::span_end(g, slot_main)) &&
      within(y, s->cores_top, s->cores_top + s->cores_height)) {
    if (!(s->flags & flag_multiples)) {
      plot = slot_heat;
      column = static_cast<u32>(chart::cell_at(g, slot_heat, x, by_bucket));
      cell = static_cast<u32>((y - s->cores_top) / (s->core_row_height > 1 ? s->core_row_height : 1));
    } else {
      const i32 pitch = s->small_pitch > 1 ? s->small_pitch : 1;
      const i32 gc = (x - s->plot_x) / pitch, gr = (y - s->cores_top) / (s->small_height + 6);
      const i32 inside = (x - s->plot_x) - gc * pitch;
      // Right of the last column of charts lies no processor of this row.
      if (gc < s->small_columns && inside < chart::span_end(g, slot_cores) - g.lx[slot_cores]) {
        plot = slot_cores;
        cell = static_cast<u32>(gc + gr * s->small_columns);
        column = static_cast<u32>(chart::index_at(g, slot_cores, g.lx[slot_cores] + inside, by_bucket));
      } else {
        plot = hover_none;
      }
    }
  }
  if (gpu_live) {
    u32 slots[7], n = 0;
    for (u32 e = 0; e < s->engines && e < 5; ++e) slots[n++] = slot_cores + e;
    slots[n++] = slot_dedicated;
    slots[n++] = slot_shared;
    for (u32 k = 0; k < n; ++k) {
      const u32 slot = slots[k];
      if (within(x, g.lx[slot], chart::span_end(g, slot)) && within(y, g.ly[slot], g.ly[slot] + g.lheight[slot])) {
        plot = slot;
        column = static_cast<u32>(chart::index_at(g, slot, x, by_bucket));
      }
    }
  }
  if (cell > hover_none) cell = hover_none;
  const bool changed = plot != s->hover_plot || column != s->hover_column || cell != s->hover_cell;
  s->hover_plot = static_cast<u8>(plot);
  s->hover_column = static_cast<u16>(column);
  s->hover_cell = static_cast<u8>(cell);
  return changed;
}

u32 hovered_row(const ViewState& s) {
  u32 row = s.hover_plot;
  if (s.hover_plot == slot_cores && !gpu_view(s.view)) row += s.hover_cell;
  return row < slot_power_spark ? row : slot_power_spark;
}

u32 hover_back(const ViewState& s) {
  if (long_range(s)) {
    const i32 b = chart::columns(s.grid, hovered_row(s));
    return layout::long_back(s.hover_column, static_cast<u32>(b < 1 ? 1 : b));
  }
  return s.hover_column <= 60 ? 60 - s.hover_column : 0;
}

u32 hover_count(const ViewState& s) {
  if (!long_range(s)) return 1;
  const i32 b = chart::columns(s.grid, hovered_row(s));
  return layout::bucket_count(s.hover_column, static_cast<u32>(b < 1 ? 1 : b));
}

u32 seconds_back(const machine::Machine& m, u32 back) {
  const u32 newest = m.ring.seconds[machine::back_row(&m, 0)];
  const u32 older = m.ring.seconds[machine::back_row(&m, back)];
  return older <= newest ? newest - older : back;
}

u32 most_at(const chart::Source& source, const machine::Machine& m, u32 first, u32 count) {
  u32 most = 0;
  for (u32 k = 0; k < count; ++k) {
    const u32 v = chart::cell(source, machine::back_row(&m, first + k), 0);
    most = v > most ? v : most;
  }
  return most;
}

u32 bound_most(const chart::Look& look, const machine::Machine& m, u32 layer, u32 first, u32 count) {
  u32 most = 0;
  for (u32 k = 0; k < count; ++k) {
    const u32 v = bound_at(look, m, layer, first + k);
    most = v > most ? v : most;
  }
  return most;
}

void layer_value(const machine::Machine& m, u32 view, const chart::Look& look, u32 layer, u32 first, u32 count,
                 words::Text* out) {
  const u32 l = cap(layer, chart::series_most - 1);
  u32 v = most_at(look.sources[l], m, first, count);
  if (view == layout::view_cpu && l == 1) {
    // The user share: what the total holds above the kernel part.
    v = 0;
    for (u32 k = 0; k < count; ++k) {
      const u32 row = machine::back_row(&m, first + k);
      const u32 total = chart::cell(look.sources[1], row, 0), kernel = chart::cell(look.sources[0], row, 0);
      const u32 user = total > kernel ? total - kernel : 0;
      v = user > v ? user : v;
    }
  }
  if (power_view(view)) return watts(out, v, true);
  if (view == layout::view_memory) return words::gib(out, v);
  if (nic_view(view)) return words::bit_rate(out, v);
  if (disk_view(view)) return words::byte_rate(out, v);
  words::percent(out, v);
}

Anchor anchor(const ViewState& s) {
  const chart::Grid& g = s.grid;
  const bool by_bucket = bucketed(s);
  const i32 column = s.hover_column;
  if (s.hover_plot == slot_heat) {
    const i32 h = s.core_row_height;
    return Anchor{chart::cell_x(g, slot_heat, column, by_bucket), s.cores_top + s.hover_cell * h, h,
                  by_bucket ? 1 : g.step[slot_heat]};
  }
  if (gpu_hover(s)) {
    const u32 slot = s.hover_plot;
    return Anchor{chart::boundary_x(g, slot, column, by_bucket), g.ly[slot], g.lheight[slot], 1};
  }
  if (s.hover_plot >= slot_cores && s.hover_plot != hover_none) {
    const i32 columns = s.small_columns < 1 ? 1 : s.small_columns;
    const i32 x = chart::boundary_x(g, slot_cores, column, by_bucket) + (s.hover_cell % columns) * s.small_pitch +
                  s.plot_x - g.lx[slot_cores];
    return Anchor{x, s.cores_top + (s.hover_cell / columns) * (s.small_height + 6), s.small_height, 1};
  }
  return Anchor{chart::boundary_x(g, slot_main, column, by_bucket), s.plot_y, s.plot_height, 1};
}

// The tooltip stands right of the anchor, or left of it when it would pass the page's right edge.
i32 tip_left(const ViewState& s, i32 anchor_x) {
  return anchor_x + 182 > s.content_right ? anchor_x - 182 : anchor_x + 14;
}

draw::Rect tip_rect(const ViewState& s, const machine::Machine& m, u32 layers) {
  const draw::Rect none{0, 0, 0, 0};
  if (s.hover_plot == hover_none) return none;
  bool shown = stored(s) ? s.hover_plot == slot_main && hist_known(s) : hover_back(s) < m.ring.count;
  if (s.hover_plot != slot_main && s.hover_cell >= m.cpus) shown = false;
  if (!shown) return none;
  const u32 lines = stored(s) ? hist_lines(s)
                    : s.hover_plot == slot_main ? hover_top_lines(s, m) + layers + 1
                                                : hover_top_lines(s, m) + 2;
  const Anchor a = anchor(s);
  const i32 x0 = tip_left(s, a.x);
  const i32 y0 = s.hover_plot == slot_main ? s.plot_y + 8 : layout::tip_top(a.y, a.height, lines, s.plot_y);
  return draw::Rect{x0, y0, x0 + 168, y0 + 16 + 18 * static_cast<i32>(lines)};
}

i32 dot_y(const ViewState& s, const machine::Machine& m, const chart::Look& look, u32 layer) {
  const u32 v = bound_most(look, m, layer, hover_back(s), hover_count(s));
  return s.plot_y + curve::plot_y(look.kind == chart::kind_mirrored, layer, v, look.max, s.plot_height, look.margin) / 256;
}

void hist_cells(const ViewState& s, u32* first, u32* last) {
  const u32 c = s.history ? s.history->columns : 0;
  const u32 b = static_cast<u32>(chart::columns(s.grid, slot_main));
  *first = layout::span_first(s.hover_column, b, c);
  *last = layout::span_last(s.hover_column, b, c);
}

bool hist_values(const ViewState& s, u32 measure, HistValues* out) {
  *out = HistValues{};
  if (!hist_ready(s)) return false;
  const hist::Table& t = *s.history;
  u32 first, last;
  hist_cells(s, &first, &last);
  u32 lowest = 0xFFFFFFFFu, known = 0;
  u64 means = 0;
  for (u32 c = first; c <= last && c < t.columns; ++c) {
    u32 lo, mid, hi;
    if (!hist::row_values(&t, c, measure, &lo, &mid, &hi)) continue;
    lowest = lo < lowest ? lo : lowest;
    out->max = hi > out->max ? hi : out->max;
    means += mid;
    ++known;
    out->end = t.first + t.column_seconds * (c + 1);
  }
  if (known == 0) return false;
  out->min = lowest;
  out->mean = hist::mean(means, known);
  out->known = true;
  return true;
}

bool hist_energy(const ViewState& s, HistValues* out) {
  *out = HistValues{};
  if (!hist_ready(s)) return false;
  const hist::Table& t = *s.history;
  u32 first, last;
  hist_cells(s, &first, &last);
  for (u32 c = first; c <= last && c < t.columns; ++c) {
    u64 energy;
    u32 seconds;
    if (!hist::row_energy(&t, c, &energy, &seconds) || seconds == 0) continue;
    out->energy += energy;
    out->seconds += seconds;
    out->end = t.first + t.column_seconds * (c + 1);
  }
  out->known = out->seconds != 0;
  return out->known;
}

bool hist_known(const ViewState& s) {
  if (!hist_ready(s)) return false;
  HistValues v;
  return s.history->energy ? hist_energy(s, &v) : hist_values(s, 0, &v);
}

u32 hist_lines(const ViewState& s) { return nic_view(s.view) ? 5 : 3; }

mem::Bytes hist_status(const ViewState& s) {
  if (!hist_ready(s)) return mem::lit("Not enough memory to show stored history.");
  switch (s.history->state) {
    case hist::state_asking: return mem::lit("Loading stored history...");
    case hist::state_empty:
      return s.history->energy ? mem::lit("No energy history in this range yet: the host or this computer does not "
                                          "record it.")
                               : mem::lit("No stored history in this range yet.");
    case hist::state_no_source: return mem::lit("No stored history: no host and no history files on this computer.");
    case hist::state_unreachable: return mem::lit("Stored history needs the host, which is not connected.");
    default: return mem::Bytes();
  }
}

void hist_ago(words::Text* out, u32 seconds) {
  if (seconds < 3600) {
    words::put_u64(out, seconds / 60);
    words::put(out, mem::lit(" min ago"));
  } else if (seconds > 172799) {
    words::put_u64(out, seconds / 86400);
    words::put(out, mem::lit(" days ago"));
  } else {
    words::put_u64(out, seconds / 3600);
    words::put(out, mem::lit(" h ago"));
  }
}

void hist_value(words::Text* out, u32 view, u32 value) {
  if (power_view(view)) return watts(out, value, value % 10 != 0);
  if (nic_view(view)) return words::bit_rate(out, value);
  words::percent(out, value);
}

mem::Bytes average_name(u32 view, u32 measure) {
  if (!nic_view(view)) return mem::lit("Average");
  return measure == 0 ? mem::lit("Send avg") : mem::lit("Receive avg");
}

mem::Bytes span_name(u32 view, u32 measure) {
  if (!nic_view(view)) return mem::lit("Lowest-highest");
  return measure == 0 ? mem::lit("Send peak") : mem::lit("Receive peak");
}

void hist_part(const ViewState& s, Pen* pen) {
  u32 top = 10000;
  if (hist_ready(s)) {
    show(pen, s, slot_main);
    chart::Look look;
    hist_plot(&look, *s.history, s.view);
    top = look.max;
  }
  static constexpr u8 mirrored[5] = {4, 2, 0, 2, 4};
  for (u32 i = 0; i < 5; ++i) {
    words::Text label{};
    const u64 k = nic_view(s.view) ? mirrored[i] : 4 - i;
    hist_value(&label, s.view, layout::saturate32(u64{top} * k / 4));
    const i32 centre = s.plot_y + 2 + (static_cast<i32>(i) * (s.plot_height - 5) + 2) / 4;
    text(pen, 3, bytes_of(label), s.content_left, centre - 10, 66, 20, dim, 1);
  }
  const i32 width = chart::span_end(s.grid, slot_main) - s.plot_x;
  text(pen, 3, stored_words(s.range), s.plot_x, s.plot_y + s.plot_height, width, 20, dim, 0);
  text(pen, 3, mem::lit("now"), s.plot_x, s.plot_y + s.plot_height, width, 20, dim, 1);
  const mem::Bytes status = hist_status(s);
  if (status.len) text(pen, 0, status, s.plot_x, s.plot_y, width, s.plot_height, grey, 2);
}

void hist_overlay(const ViewState& s, Pen* pen, u32 plot) {
  if (!hist_ready(s) || plot != slot_main) return;
  const draw::Rect tip{s.tip_box[0], s.tip_box[1], s.tip_box[2], s.tip_box[3]};
  if (tip.right == tip.left && tip.bottom == tip.top) return;
  const Anchor a = anchor(s);
  rect(pen, a.x, s.plot_y, 1, s.plot_height, 0x908880);
  tip_box(pen, tip.left, tip.top, hist_lines(s));
  const i32 x = tip.left + 8, y = tip.top + 8;
  const hist::Table& t = *s.history;
  u32 end = 0;
  if (t.energy) {
    HistValues v;
    hist_energy(s, &v);
    end = v.end;
    words::Text watt{}, energy{};
    watts(&watt, hist::row_watts(v.energy, v.seconds), true);
    energy_words(&energy, v.energy);
    tip_line(pen, x, y + 18, 0x7171F8, mem::lit("Average"), bytes_of(watt));
    tip_line(pen, x, y + 36, 0x7171F8, mem::lit("Energy"), bytes_of(energy));
  } else {
    const u32 measures = nic_view(s.view) ? 2 : 1;
    for (u32 k = 0; k < measures; ++k) {
      HistValues v;
      hist_values(s, k, &v);
      if (v.end > end) end = v.end;
      const u32 colour = k == 0 ? light_of(s.view) : 0x0677D9;
      words::Text mean{}, span{};
      hist_value(&mean, s.view, v.mean);
      if (!nic_view(s.view)) {
        hist_value(&span, s.view, v.min);
        words::put(&span, mem::lit("-"));
      }
      hist_value(&span, s.view, v.max);
      const i32 line = y + 18 + 36 * static_cast<i32>(k);
      tip_line(pen, x, line, colour, average_name(s.view, k), bytes_of(mean));
      tip_line(pen, x, line + 18, colour, span_name(s.view, k), bytes_of(span));
    }
  }
  words::Text header{};
  hist_ago(&header, t.newest > end ? t.newest - end : 0);
  text(pen, 3, bytes_of(header), x, y, 152, 18, white, 0);
}

// ---- Tooltips

void tip_box(Pen* pen, i32 x, i32 y, u32 lines) {
  const i32 h = 18 * static_cast<i32>(lines) + 16;
  rect(pen, x, y, 168, h, 0x302620);
  frame(pen, x, y, 168, h, 0x584C44);
}

void tip_line(Pen* pen, i32 x, i32 y, u32 colour, mem::Bytes label, mem::Bytes value) {
  rect(pen, x, y + 5, 8, 8, colour);
  text(pen, 3, label, x + 14, y, 168, 18, grey, 0);
  text(pen, 3, value, x, y, 152, 18, white, 1);
}

void gpu_tip(const ViewState& s, Pen* pen, const machine::Machine& m, i32 x, i32 y) {
  const u32 plot = s.hover_plot, gpu = gpu_of(s.view);
  chart::Look look;
  if (plot < slot_dedicated) {
    engine_plot(&look, m, gpu, plot - slot_cores, long_range(s));
  } else {
    memory_plot(&look, m, gpu, plot == slot_shared ? 1 : 0, long_range(s));
  }
  const u32 back = hover_back(s), most = most_at(look.sources[0], m, back, hover_count(s));
  words::Text header{}, value{};
  words::put(&header, plot == slot_shared       ? mem::lit("Shared")
                      : plot == slot_dedicated ? mem::lit("Dedicated")
                                               : engine_name(plot - 31));
  words::put(&header, mem::lit(", "));
  words::ago(&header, seconds_back(m, back));
  text(pen, 3, bytes_of(header), x, y, 152, 18, white, 0);
  if (plot < slot_dedicated) {
    words::percent(&value, most * 50);
    tip_line(pen, x, y + 18, look.line[0], mem::lit("Utilisation"), bytes_of(value));
  } else {
    words::gib(&value, most);
    tip_line(pen, x, y + 18, look.line[0], mem::lit("In use"), bytes_of(value));
  }
}

void overlay(const ViewState& s, Pen* pen, const machine::Machine& m) {
  if (s.hover_plot == hover_none) return;
  if (stored(s)) return hist_overlay(s, pen, s.hover_plot);
  const u32 back = hover_back(s), count = hover_count(s);
  const draw::Rect tip{s.tip_box[0], s.tip_box[1], s.tip_box[2], s.tip_box[3]};
  if (back >= m.ring.count || (tip.right == tip.left && tip.bottom == tip.top)) return;
  const u32 lines = static_cast<u32>((tip.bottom - tip.top - 16) / 18);
  const i32 x = tip.left + 8, y = tip.top + 8;
  const Anchor a = anchor(s);
  if (gpu_hover(s)) {
    rect(pen, a.x, a.y, 1, a.height, 0x908880);
    tip_box(pen, tip.left, tip.top, lines);
    gpu_tip(s, pen, m, x, y);
    hover_top_draw(s, pen, m, x, y + 36);
    return;
  }
  if (s.hover_plot != slot_main) {
    if (s.hover_plot == slot_heat) {
      const draw::Rect box{a.x - (bucketed(s) ? a.width : a.width / 2), a.y, 0, 0};
      frame(pen, box.left, box.top, a.width, a.height, white);
      if (!pen->keying) draw::mark(pen->surface, draw::Rect{box.left, box.top, box.left + a.width, box.top + a.height}, m.pushed);
    } else {
      rect(pen, a.x, a.y, 1, a.height, 0x908880);
    }
    tip_box(pen, tip.left, tip.top, lines);
    words::Text header{}, value{};
    words::put(&header, mem::lit("CPU "));
    words::put_u64(&header, s.hover_cell);
    words::put(&header, mem::lit(", "));
    words::ago(&header, seconds_back(m, back));
    text(pen, 3, bytes_of(header), x, y, 152, 18, white, 0);
    chart::Source core{};
    set_series(&core, &m.ring.core_load[0][s.hover_cell % machine::max_cpus], 64, 0, 1);
    words::percent(&value, most_at(core, m, back, count) * 50);
    tip_line(pen, x, y + 18, 0xD4EA5E, mem::lit("Utilisation"), bytes_of(value));
    return;
  }
  chart::Look look;
  resource_plot(&look, m, s.view, slot_main, true, long_range(s));
  const u32 layers = cap(look.count, chart::series_most);
  for (u32 i = 0; i < layers; ++i) {
    const i32 dy = dot_y(s, m, look, i);
    const draw::Rect dot{a.x - 3, dy - 3, a.x + 3, dy + 3};
    if (pen->keying) {
      rect(pen, dot.left, dot.top, 6, 6, look.line[i]);
    } else {
      draw::fill(pen->surface, dot, look.line[i]);
      draw::mark(pen->surface, dot, m.pushed);
    }
  }
  rect(pen, a.x, s.plot_y, 1, s.plot_height, 0x908880);
  tip_box(pen, tip.left, tip.top, lines);
  words::Text header{};
  words::ago(&header, seconds_back(m, back));
  text(pen, 3, bytes_of(header), x, y, 152, 18, white, 0);
  i32 line_y = y + 18;
  for (u32 i = layers; i-- > 0;) {
    words::Text value{};
    layer_value(m, s.view, look, i, back, count, &value);
    tip_line(pen, x, line_y, look.line[i], layer_name(s.view, i), bytes_of(value));
    line_y += 18;
  }
  hover_top_draw(s, pen, m, x, line_y);
}

// ---- Top processes of the hovered moment

u32 top_metric_of(u32 view, u32 plot) {
  if (plot == slot_main) {
    if (view == layout::view_cpu) return 0;
    if (view == layout::view_memory) return 1;
    if (disk_view(view)) return 2;
    if (nic_view(view)) return 5;
    return 255;
  }
  if (gpu_view(view) && plot >= slot_cores && plot < slot_dedicated) return 3;
  if (gpu_view(view) && plot == slot_dedicated) return 4;
  return 255;
}

u32 top_slot(u32 counter, u32 back) { return back > counter ? 0 : (counter - back) / 10; }

i32 top_at(const ptop::Ring* ring, const machine::Machine& m, u32 back) {
  if (!ring || back >= m.ring.count) return -1;
  return ptop::ring_find(ring, top_slot(m.pushed, back));
}

u32 top_count(const ptop::Ring* ring, i32 slot, u32 metric) {
  if (!ring || slot < 0 || metric >= ptop::ring_measures) return 0;
  return ptop::ring_filled(ring, static_cast<u32>(slot), metric);
}

u32 top_lines(const ptop::Ring* ring, i32 slot, u32 metric) {
  const u32 n = top_count(ring, slot, metric);
  return n + ((metric == 2 || metric == 5) && n != 0 ? 1 : 0);
}

mem::Bytes top_caption(u32 metric) {
  return metric == 2 ? mem::lit("Process I/O, all disks") : mem::lit("TCP connections");
}

void top_value(words::Text* out, u32 metric, u16 value) {
  switch (metric) {
    case 1: return words::gib(out, ptop::mib_of(value));
    case 2: return words::byte_rate(out, hstore::rate_of(value));
    case 4: return words::gib(out, u64{value} * 4);
    case 5:
      words::put_u64(out, value);
      return words::put(out, mem::lit(" conn."));
    default: return words::percent(out, value);
  }
}

void top_draw(Pen* pen, const ptop::Ring* ring, u32 metric, i32 slot, i32 x, i32 y) {
  const u32 n = top_count(ring, slot, metric);
  if (n == 0) return;
  if (metric == 2 || metric == 5) {
    text(pen, 3, top_caption(metric), x, y, 152, 18, dim, 0);
    y += 18;
  }
  const u32 k = static_cast<u32>(slot);
  for (u32 i = 0; i < n && i < ptop::ring_top; ++i) {
    words::Text value{};
    top_value(&value, metric, ring->value[k][metric][i]);
    text(pen, 3, ptop::ring_name(ring, ring->hash[k][metric][i]), x, y, 72, 18, grey, 0);
    text(pen, 3, bytes_of(value), x, y, 152, 18, white, 1);
    y += 18;
  }
}

u32 hover_top_lines(const ViewState& s, const machine::Machine& m) {
  if (stored(s) || s.hover_plot == hover_none) return 0;
  return top_lines(s.top_books, top_at(s.top_books, m, hover_back(s)), top_metric_of(s.view, s.hover_plot));
}

void hover_top_draw(const ViewState& s, Pen* pen, const machine::Machine& m, i32 x, i32 y) {
  if (stored(s) || s.hover_plot == hover_none) return;
  top_draw(pen, s.top_books, top_metric_of(s.view, s.hover_plot), top_at(s.top_books, m, hover_back(s)), x, y);
}

// ---- Dirty rectangles

void redo(draw::Surface* surface, i32 x0, i32 y0, i32 x1, i32 y1) { draw::redo(surface, draw::Rect{x0, y0, x1, y1}); }
void show_box(draw::Surface* surface, i32 x0, i32 y0, i32 x1, i32 y1) { draw::show(surface, draw::Rect{x0, y0, x1, y1}); }

void redo_shown(draw::Surface* surface, draw::Rect r) {
  if (r.right <= r.left || r.bottom <= r.top) return;
  draw::redo(surface, r);
  draw::show(surface, r);
}

namespace {

// Stores the band's new key; true when it differs from the one stored.
bool moved(u64* stored_key, u64 key) {
  const bool changed = *stored_key != key;
  *stored_key = key;
  return changed;
}

// The main plot's look, and whether the heading band changed.
// The live rows of the detail panel whose text changed.
void detail_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface) {
  for (u32 row = 0; row < details_shown(*s); ++row) {
    if (!detail_live(s->view, row)) continue;
    words::Text value{};
    detail_value(m, s->view, row, &value);
    if (moved(&s->keys.details[row], mix_bytes(fnv_basis, bytes_of(value)))) redo_shown(surface, detail_rect(*s, row));
  }
}

bool heading_moved(ViewState* s, const machine::Machine& m, draw::Surface* surface, chart::Look* look) {
  resource_plot(look, m, s->view, slot_main, true, long_range(*s));
  Pen pen = keying(surface);
  heading(*s, &pen, m, *look);
  return moved(&s->keys.heading, pen.key);
}

void tiles_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface, i32 right) {
  Pen pen = keying(surface);
  tiles(*s, &pen, m);
  if (moved(&s->keys.tiles, pen.key))
    redo_shown(surface, draw::Rect{s->content_left, s->tiles_top, right, s->tiles_top + 52});
}

u64 tip_key(const ViewState& s, const machine::Machine& m, draw::Surface* surface) {
  Pen pen = keying(surface);
  overlay(s, &pen, m);
  return pen.key;
}

}  // namespace

void overlay_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface, bool final) {
  if (s->hover_plot == hover_none) return;
  chart::Look look;
  resource_plot(&look, m, s->view, slot_main, true, long_range(*s));
  const draw::Rect tip = tip_rect(*s, m, look.count), last{s->tip_box[0], s->tip_box[1], s->tip_box[2], s->tip_box[3]};
  const Anchor a = anchor(*s);
  const bool same = tip.left == last.left && tip.top == last.top && tip.right == last.right && tip.bottom == last.bottom;
  if (final && same && s->hover_plot != slot_heat) {
    // The box stays: patch what a new second changes in it, and only when it changes what the box shows.
    if (!moved(&s->keys.tip, tip_key(*s, m, surface))) return;
    if (tip.right == tip.left) return;
    redo_shown(surface, draw::Rect{tip.right - 88, tip.top + 26, tip.right, tip.bottom});
    redo_shown(surface, draw::Rect{tip.left, tip.top, tip.right, tip.top + 26});
    if (s->hover_plot != slot_main || stored(*s)) return;
    const u32 layers = cap(look.count, chart::series_most);
    redo_shown(surface, draw::Rect{tip.left, tip.top + 26 + 18 * static_cast<i32>(layers), tip.right - 88, tip.bottom});
    for (u32 i = 0; i < layers; ++i) {
      const i32 dy = dot_y(*s, m, look, i);
      redo_shown(surface, draw::Rect{a.x - 6, dy - 6, a.x + 6, dy + 6});
    }
    return;
  }
  s->keys.tip = 0;
  redo_shown(surface, last);
  redo_shown(surface, tip);
  redo_shown(surface, draw::Rect{a.x - a.width - 6, a.y - 6, a.x + a.width + 7, a.y + a.height + 6});
}

void resource_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface) {
  if (stored(*s)) return hist_tick_parts(s, m, surface);
  const i32 left = s->content_left, end = chart::span_end(s->grid, slot_main);
  const i32 right = s->content_right > end + 72 ? s->content_right : end + 72;
  const i32 bottom = s->plot_y + s->plot_height;
  const bool longer = long_range(*s), live = !stored(*s);
  chart::Look look;
  const bool head = heading_moved(s, m, surface, &look);
  Pen pen = keying(surface);
  axis(*s, &pen, m, look);
  const bool labels = moved(&s->keys.axis, pen.key);
  pen = keying(surface);
  end_labels(*s, &pen, m, look);
  const bool ends = moved(&s->keys.ends, pen.key);
  const bool plot = moved(&s->keys.plot, live ? window_key(look, m, window_of(longer)) : 0);
  if (head) redo(surface, left, 56, right, 84);
  if (labels) redo(surface, left, s->plot_y - 20, s->plot_x, bottom + 20);
  if (ends) redo(surface, end, s->plot_y - 20, right, bottom + 20);
  if (head || labels || ends || plot) show_box(surface, left, 56, right, bottom + 20);
  if (s->view == layout::view_cpu && live) {
    u64 key = fnv_basis;
    if (s->flags & flag_multiples) {
      for (u32 c = 0; c < m.cpus && c < machine::max_cpus; ++c) {
        core_plot(&look, m, c, longer);
        key = mix(key, window_key(look, m, window_of(longer)));
      }
    } else {
      heat_plot(&look, m, longer);
      key = window_key(look, m, window_of(longer));
    }
    pen = keying(surface);
    cores_part(*s, &pen, m);
    if (moved(&s->keys.cores, mix(key, pen.key))) draw::show(surface, cores_rect(*s));
  }
  tiles_parts(s, m, surface, right);
  detail_parts(s, m, surface);
  overlay_parts(s, m, surface, true);
}

// A stored range: the heading, the chart with its axis and status when the table or its texts changed, the tiles
// and the live detail rows.
void hist_tick_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface) {
  const i32 left = s->content_left, right = s->content_right, bottom = s->plot_y + s->plot_height;
  chart::Look look;
  const bool head = heading_moved(s, m, surface, &look);
  Pen pen = keying(surface);
  hist_part(*s, &pen);
  const hist::Table* t = s->history;
  const u64 table = t ? mix(mix(reinterpret_cast<u64>(t), t->changes), t->state) : 0;
  const bool plot = moved(&s->keys.plot, mix(pen.key, table));
  if (head) redo(surface, left, 56, right, 84);
  if (plot) redo(surface, left, s->plot_y - 20, right, bottom + 20);
  if (head || plot) show_box(surface, left, 56, right, bottom + 20);
  tiles_parts(s, m, surface, right);
  detail_parts(s, m, surface);
  overlay_parts(s, m, surface, true);
}

void gpu_tick_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface) {
  const i32 left = s->content_left, right = s->content_right, bottom = s->plot_y + s->plot_height;
  const u32 gpu = gpu_of(s->view);
  const bool longer = long_range(*s);
  chart::Look look;
  const bool head = heading_moved(s, m, surface, &look);
  Pen pen = keying(surface);
  gpu_part(*s, &pen, m);
  u64 key = pen.key;
  for (u32 e = 0; e < s->engines && e < 5; ++e) {
    engine_plot(&look, m, gpu, e, longer);
    key = mix(key, window_key(look, m, window_of(longer)));
  }
  for (u32 which = 0; which < 2; ++which) {
    memory_plot(&look, m, gpu, which, longer);
    key = mix(key, window_key(look, m, window_of(longer)));
  }
  const bool charts = moved(&s->keys.plot, key);
  if (head) redo(surface, left, 56, right, 84);
  if (charts) {
    for (u32 slot = slot_cores; slot <= slot_shared; ++slot) {
      if (slot >= slot_cores + s->engines && slot < slot_dedicated) continue;
      const i32 x = s->grid.lx[slot], y = s->grid.ly[slot];
      redo(surface, x, y - 20, x + s->grid.lwidth[slot], y);
    }
  }
  if (head || charts) show_box(surface, left, 56, right, bottom + 20);
  tiles_parts(s, m, surface, right);
  overlay_parts(s, m, surface, true);
}

void rail_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface) {
  i32 top = s->key_height, bottom = 0;
  u32 ids[31];
  const u32 n = rail_ids(s->present, ids);
  chart::Look look;
  for (u32 k = 0; k < n; ++k) {
    const u32 id = ids[k];
    if (!rail_shows(*s, id)) continue;
    Pen pen = keying(surface);
    rail_row(*s, &pen, m, id);
    resource_plot(&look, m, id, spark_row(id), false, false);
    if (!moved(&s->keys.rail[id == layout::view_power ? 34 : id], mix(pen.key, window_key(look, m, window_of(false)))))
      continue;
    const i32 y = rail_row_top(*s, id);
    redo(surface, 84, y + 8, 220, y + 46);
    top = y < top ? y : top;
    bottom = y + 56 > bottom ? y + 56 : bottom;
  }
  if (bottom > top) show_box(surface, 0, top, 220, bottom);
}

void tick_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface) {
  rail_parts(s, m, surface);
  if (gpu_view(s->view) && !stored(*s)) return gpu_tick_parts(s, m, surface);
  resource_parts(s, m, surface);
}

bool hover_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface, i32 x, i32 y) {
  overlay_parts(s, m, surface, false);
  const bool changed = hover(s, x, y);
  overlay_parts(s, m, surface, false);
  return changed;
}

bool leave_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface) {
  overlay_parts(s, m, surface, false);
  const bool was = s->hover_plot != hover_none;
  s->hover_plot = hover_none;
  return was;
}

}  // namespace views
