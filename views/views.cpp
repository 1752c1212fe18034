#include "views/views.h"

#include "base/bits.h"
#include "drawing/curve.h"
#include "pages/proclist.h"
#include "sampling/heat.h"
#include "sampling/hw.h"
#include "views/layout.h"

namespace views {
namespace {

constexpr u64 power_bit = u64{1} << layout::view_power;
constexpr u8 hover_none = 255;
constexpr u32 compute_class = 5;  // GPU class bit of a compute engine

i16 to16(i64 v) { return static_cast<i16>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }

void clear_hover(ViewState* s) {
  s->hover_column = hover_none;
  s->hover_value = 0;
  s->hover_kind = 0;
  for (i16& v : s->tip_box) v = 0;
  s->tip_slot = hover_none;
  s->marker_x = 0;
  s->marker_limit = 0x7FFF;
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
  s->tip_slot = 0;
  s->ranges = 2;
}

void reset(ViewState* s) {
  chart::forget(&s->grid);
  clear_hover(s);
  s->flags &= flag_grid | flag_long | flag_overview | flag_remote;
  s->view = layout::view_cpu;
  s->rail_first = 0;
  s->wheel_rest = 0;
  s->top_books = nullptr;
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
  s->hover_column = hover_none;
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
  if (changed) s->hover_column = hover_none;
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
    s->hover_column = hover_none;
    for (i16& v : s->tip_box) v = 0;
    s->tip_slot = hover_none;
  }
  return old;
}

bool set_remote(ViewState* s, bool on) {
  bool old = (s->flags & flag_remote) != 0;
  s->flags = layout::put_flag(s->flags, flag_remote, on);
  return old != on;
}

bool copying(const ViewState& s) { return (s.flags & flag_copying) != 0; }

void unlay(ViewState* s, bool on) {
  if (on) s->flags &= static_cast<u8>(~flag_arranged);
}

void select(ViewState* s, u32 id) {
  s->view = static_cast<u8>(id);
  s->hover_column = hover_none;
}

void toggle(ViewState* s) {
  s->flags ^= flag_multiples;
  s->hover_column = hover_none;
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

bool hist_sync(ViewState*, const machine::Machine&) { return false; }

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

}  // namespace views
