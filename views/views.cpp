#include "views/views.h"

#include "base/bits.h"
#include "drawing/layout.h"
#include "views/proclist.h"
#include "views/texts.h"

namespace views {
namespace {

constexpr u64 power_bit = u64{1} << layout::view_power;
constexpr u32 compute_class = 5;  // GPU class bit of a compute engine

void clear_hover(ViewState* s) {
  s->hover_plot = hover_none;
  s->hover_column = 0;
  s->hover_cell = 0;
  for (i16& v : s->tip_box) v = 0;
  s->marker_slot = hover_none;
  s->marker_x = 0;
}

bool has_view(u64 mask, u32 id) { return id < 64 && ((mask >> id) & 1) != 0; }

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

i16 to16(i64 v) { return static_cast<i16>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }

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

}  // namespace views
