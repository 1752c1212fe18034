#include "views/render.h"

#include "base/bits.h"
#include "drawing/curve.h"
#include "drawing/layout.h"
#include "history/hstore.h"
#include "views/heading.h"
#include "views/histchart.h"
#include "views/plots.h"
#include "views/texts.h"
#include "views/tiles.h"

namespace views {

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
  const u32 l = bits::min32(layer, chart::series_most - 1);
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
  const u32 layers = bits::min32(look.count, chart::series_most);
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
    const u32 layers = bits::min32(look.count, chart::series_most);
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
