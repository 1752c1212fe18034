#include "views/overview.h"

#include "base/bits.h"

#include "drawing/chart.h"
#include "drawing/curve.h"
#include "views/plots.h"
#include "views/proclist.h"
#include "views/render.h"
#include "views/texts.h"
#include "sampling/hw.h"
#include "sampling/model.h"
#include "sampling/usage.h"
#include "drawing/layout.h"

namespace overview {
namespace {

constexpr u32 white = 0xE8E8E8, grey = 0xA0A0A0, dim = 0x808080, track = 0x342A24, marker_colour = 0x908880;
constexpr u32 pie_background = 0xFF141820, pie_rest = 0xFF242A34;
constexpr i32 main_top = 104, gap = 16, head = 24, foot = 20, row = 18;
constexpr u32 disk_colours[5] = {0xE65F5A, 0x959F0F, 0x0677D9, 0xE04AB0, 0x808080};
constexpr u32 free_colours[5] = {0xFCB4A5, 0xD4EA5E, 0x4DD3FC, 0xFCABF0, 0xA0A0A0};

i32 min_i(i32 a, i32 b) { return a < b ? a : b; }
i32 max_i(i32 a, i32 b) { return a > b ? a : b; }
i32 clamp_i(i32 v, i32 lo, i32 hi) { return v < lo ? lo : v > hi ? hi : v; }
i16 to16(i64 v) { return static_cast<i16>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }
using bits::sat32;
mem::Bytes bytes_of(const words::Text& t) { return mem::Bytes(t.bytes, t.len); }
bool empty_rect(draw::Rect r) { return r.right <= r.left || r.bottom <= r.top; }
bool ring_empty(const machine::Machine& m) { return m.ring.count == 0; }
u32 newest(const machine::Machine& m) { return machine::back_row(&m, 0); }
u32 disk_count(const machine::Machine& m) { return m.disks < machine::max_disks ? m.disks : machine::max_disks; }
u32 used_of(const machine::Machine& m, u32 d) { return ring_empty(m) ? 0 : m.ring.disk_figure[newest(m)][d]; }
bool chart_card(u8 kind) { return kind != card_disks && kind != card_tops; }

bool in_box(const OverviewState& s, u32 card, i32 x, i32 y) {
  return x >= s.card_x[card] && x < s.card_x[card] + s.card_w[card] && y >= s.card_y[card] &&
         y < s.card_y[card] + s.card_h[card];
}

// The pointer relative to the ring's centre in 1/256 px (pixel centres), and the ring's radii.
void ring_point(const OverviewState& s, i32 x, i32 y, i32* dx, i32* dy, i32* outer, i32* inner) {
  const i32 half = s.pie_size / 2;
  *dx = (x - s.pie_x - half) * 256 + 128;
  *dy = (y - s.pie_y - half) * 256 + 128;
  *outer = pie_radius(s.pie_size);
  *inner = *outer * 62 / 100;
}

bool owned(const pie::Table& t, i32 sector) {
  return sector >= 0 && static_cast<u32>(sector) < t.count && t.series[sector] != pie::no_series;
}

// Used and whole capacity of the disks whose index, capped at 4, is the owner.
void owner_sums(const machine::Machine& m, u32 owner, u64* used, u64* total) {
  *used = *total = 0;
  for (u32 d = 0; d < disk_count(m); ++d) {
    if ((d < 4 ? d : 4) != owner) continue;
    const u32 cap = m.disk_capacity[d], u = used_of(m, d);
    *used += u < cap ? u : cap;
    *total += cap;
  }
}

// Only a sheet the last sync drew again is copied into the kept frame: the frame already holds the others, and at
// full screen the unchanged ones (the disks' ring most of all) are a large part of what would be copied each second.
bool fresh(const OverviewState& s, u32 slot) { return chart::has_row(s.fresh, slot); }
void set_fresh(OverviewState* s, u32 slot) { s->fresh[slot / 64] |= u64{1} << (slot % 64); }

void show_chart(const OverviewState& s, const views::ViewState& v, draw::Surface* surface, u32 slot, bool copying) {
  const draw::Rect keep_out{s.tip[0], s.tip[1], s.tip[2], s.tip[3]};
  const bool marked = slot == s.marker_slot;
  chart::show(surface, v.grid, v.sheet, slot, copying && fresh(s, slot), keep_out, marked ? s.marker_x : 0,
              marked ? s.marker_x + 1 : 0, v.frame_bottom);
}

void show_pie_part(const views::ViewState& v, draw::Surface* surface, i32 x0, i32 y0, i32 x1, i32 y1, bool copying,
                   draw::Rect keep_out) {
  const chart::Grid& g = v.grid;
  if (x1 <= x0 || y1 <= y0) return;
  draw::sheet_show(surface, v.sheet, g.canvas_x[slot_pie] + x0, g.canvas_y[slot_pie] + y0, x1 - x0, y1 - y0,
                   g.x[slot_pie] + x0, g.y[slot_pie] + y0, copying, keep_out, 0, 0, v.frame_bottom);
}

// The ring image around a hole for the centre text: above, left, right and below the hole, in device pixels.
void show_pie(const OverviewState& s, const views::ViewState& v, draw::Surface* surface, bool copying) {
  if (s.not_placed & (1u << disks_card(s))) return;
  const chart::Grid& g = v.grid;
  if (!chart::has_row(g.bound, slot_pie)) return;
  const i32 w = g.width[slot_pie], h = g.height[slot_pie];
  const i32 f = pie_text_half(s.pie_size), cx = s.pie_x + s.pie_size / 2, cy = s.pie_y + s.pie_size / 2;
  const i32 hx0 = clamp_i(draw::to_px(cx - f, g.dpi) - g.x[slot_pie], 0, w);
  const i32 hx1 = clamp_i(draw::to_px(cx + f, g.dpi) - g.x[slot_pie], 0, w);
  const i32 hy0 = clamp_i(draw::to_px(cy - 18, g.dpi) - g.y[slot_pie], 0, h);
  const i32 hy1 = clamp_i(draw::to_px(cy + 18, g.dpi) - g.y[slot_pie], 0, h);
  const draw::Rect keep_out{s.tip[0], s.tip[1], s.tip[2], s.tip[3]};
  copying = copying && fresh(s, slot_pie);
  show_pie_part(v, surface, 0, 0, w, hy0, copying, keep_out);
  show_pie_part(v, surface, 0, hy0, hx0, hy1, copying, keep_out);
  show_pie_part(v, surface, hx1, hy0, w, hy1, copying, keep_out);
  show_pie_part(v, surface, 0, hy1, w, h, copying, keep_out);
}

void pie_centre(const OverviewState& s, views::Pen* pen, const machine::Machine& m) {
  u64 used = 0, total = 0;
  for (u32 d = 0; d < disk_count(m); ++d) {
    const u32 cap = m.disk_capacity[d], u = used_of(m, d);
    used += u < cap ? u : cap;
    total += cap;
  }
  const u32 used32 = sat32(used), total32 = sat32(total);
  const i32 f = pie_text_half(s.pie_size), cx = s.pie_x + s.pie_size / 2, cy = s.pie_y + s.pie_size / 2;
  words::Text first{}, second{};
  if (!ring_empty(m)) words::gib(&first, used32);
  words::put(&second, mem::lit("of "));
  words::gib(&second, total32);
  if (chart::measure(pen->surface, 3, bytes_of(first)) > 2 * f ||
      chart::measure(pen->surface, 3, bytes_of(second)) > 2 * f) {
    first.len = second.len = 0;
    words::percent(&first, static_cast<u32>(u64{used32} * 10000 / (total32 ? total32 : 1)));
    words::put(&second, mem::lit("used"));
  }
  views::text(pen, 3, bytes_of(first), cx - f, cy - 18, 2 * f, 18, white, 2);
  views::text(pen, 3, bytes_of(second), cx - f, cy, 2 * f, 18, dim, 2);
}

void disk_list(const OverviewState& s, views::Pen* pen, const machine::Machine& m) {
  const i32 x = s.list_x, b = min_i(s.list_width, 288) - 168;
  for (u32 i = 0; i < s.disk_rows; ++i) {
    const i32 y = s.list_y + row * static_cast<i32>(i);
    const u32 colour = disk_colour(i);
    views::rect(pen, x, y + 5, 8, 8, colour);
    const mem::Bytes name = machine::name(&m, machine::name_slot(machine::slot_disks, i, m.disks));
    views::text(pen, 3, disk_label(name), x + 14, y, 30, row, white, 0);
    views::text(pen, 3, hw::media_text(hw::plane_value(m.details.media, 2, i)), x + 44, y, 36, row, grey, 0);
    words::Text size{};
    if (ring_empty(m)) {
      hw::dash(&size);
    } else {
      words::gib_pair(&size, used_of(m, i), m.disk_capacity[i]);
    }
    views::ellipsize(pen->surface, 3, &size, b);
    views::text(pen, 3, bytes_of(size), x + 80, y, b, row, grey, 0);
    const i32 bx = x + 80 + b + 8;
    const u32 a = ring_empty(m) ? 0 : m.ring.disk_busy[newest(m)][i];
    views::rect(pen, bx, y + 7, 40, 4, track);
    const i32 filled = static_cast<i32>(40 * (a < 200 ? a : 200) / 200);
    if (filled > 0) views::rect(pen, bx, y + 7, filled, 4, colour);
    words::Text busy{};
    words::percent(&busy, a * 50);
    views::text(pen, 3, bytes_of(busy), bx + 40, y, 40, row, grey, 1);
  }
  if (s.more_disks == 0) return;
  words::Text more{};
  words::put(&more, mem::lit("+"));
  words::put_u64(&more, s.more_disks);
  words::put(&more, mem::lit(" more"));
  views::text(pen, 3, bytes_of(more), x, s.list_y + row * s.disk_rows, s.list_width, row, dim, 0);
}

void top_list(const OverviewState& s, views::Pen* pen, u32 card, const model::ProcTable* table) {
  const i32 x = s.card_x[card], y = s.card_y[card], r = x + s.card_w[card] - 96;
  views::text(pen, 3, mem::lit("CPU"), r - 72, y, 64, head, dim, 1);
  views::text(pen, 3, mem::lit("Memory"), r, y, 96, head, dim, 1);
  if (s.flags & flag_measuring) {
    views::text(pen, 3, mem::lit("measuring..."), x, s.top_list_y, r - x - 80, row, dim, 0);
    return;
  }
  if (!table) return;
  for (u32 i = 0; i < s.top_count; ++i) {
    const u32 at = static_cast<u32>(s.top_keys[i] & 0xFFFF);
    const i32 ty = s.top_list_y + row * static_cast<i32>(i);
    words::Text name{}, cpu{}, memory{};
    proclist::cell_text(table, at, 0, &name);
    proclist::cell_text(table, at, 2, &cpu);
    proclist::cell_text(table, at, 3, &memory);
    views::ellipsize(pen->surface, 3, &name, r - x - 80);
    views::text(pen, 3, bytes_of(name), x, ty, r - x - 80, row, white, 0);
    views::text(pen, 3, bytes_of(cpu), r - 72, ty, 64, row, white, 1);
    views::text(pen, 3, bytes_of(memory), r, ty, 96, row, white, 1);
  }
}

void card_head(views::Pen* pen, i32 x, i32 y, i32 w, words::Text* title, const words::Text& value) {
  const i32 vw = views::text(pen, 0, bytes_of(value), x, y, w, head, white, 1);
  views::ellipsize(pen->surface, 3, title, w - vw - 6);
  views::text(pen, 3, bytes_of(*title), x, y, w - vw - 6, head, grey, 0);
}

void card_foot(views::Pen* pen, i32 x, i32 y, i32 w, words::Text* text) {
  views::ellipsize(pen->surface, 3, text, w);
  views::text(pen, 3, bytes_of(*text), x, y, w, foot, dim, 0);
}

void cards(const OverviewState& s, const views::ViewState& v, views::Pen* pen, const machine::Machine& m,
           const model::ProcTable* table, bool copying) {
  for (u32 c = 0; c < s.card_count; ++c) {
    const i32 x = s.card_x[c], y = s.card_y[c], w = s.card_w[c], h = s.card_h[c];
    const u8 kind = s.card_kind[c];
    words::Text title{}, value{}, foot_text{};
    card_texts(m, kind, s.card_index[c], &title, &value, &foot_text);
    card_head(pen, x, y, w, &title, value);
    if (chart_card(kind)) card_foot(pen, x, y + h - foot, w, &foot_text);
    const bool refused = (s.not_placed >> c) & 1;
    if (!pen->keying && !refused) {
      u32 slots[2];
      const u32 n = chart_slots(s, c, slots);
      for (u32 k = 0; k < n; ++k) show_chart(s, v, pen->surface, slots[k], copying);
    }
    if (kind == card_disks) {
      if (!pen->keying) show_pie(s, v, pen->surface, copying);
      pie_centre(s, pen, m);
      disk_list(s, pen, m);
    }
    if (kind == card_tops) top_list(s, pen, c, table);
    if (refused) views::text(pen, 3, too_large_text(), x, y + head, w, h - 44, dim, 2);
  }
}

void heading(const OverviewState& s, views::Pen* pen, const machine::Machine& m) {
  const i32 left = s.content_left, w = s.content_right - s.content_left;
  const i32 tw = views::text(pen, 0, title_text(), left, 56, w, 28, white, 0);
  words::Text line{};
  title_line(&line, m);
  views::ellipsize(pen->surface, 0, &line, w - tw - 12);
  views::text(pen, 0, bytes_of(line), left + tw + 12, 56, w - tw - 12, 28, grey, 1);
  views::text(pen, 3, subtitle_text(), left, 84, w, 20, dim, 0);
}

void chart_tip(const OverviewState& s, const views::ViewState& v, views::Pen* pen, const machine::Machine& m,
               i32 x, i32 y) {
  const u32 slot = s.hovered_chart, back = 60 - s.hovered_column;
  words::Text header{};
  if (slot == slot_cpu) words::put(&header, mem::lit("CPU"));
  if (slot == slot_memory) words::put(&header, mem::lit("Memory"));
  if (slot >= slot_gpu && slot < slot_adapter) {
    words::put(&header, mem::lit("GPU "));
    words::put_u64(&header, (slot - 1) % 4);
  }
  if (slot >= slot_adapter && slot < slot_pie) views::title_of(m, slot - 23, &header);
  if (slot == slot_power) words::put(&header, mem::lit("Power"));
  words::put(&header, mem::lit(", "));
  words::ago(&header, views::seconds_back(m, back));
  views::text(pen, 3, bytes_of(header), x, y, 152, row, white, 0);
  chart::Look look;
  plot_of(&look, m, slot);
  const u32 lines = tip_rows(slot);
  for (u32 i = 0; i + 1 < lines; ++i) {
    const u32 layer = slot == slot_cpu ? i + 1 : i;
    words::Text value{};
    tip_value(&value, m, slot, i, back);
    views::tip_line(pen, x, y + row * static_cast<i32>(i + 1), look.line[layer % chart::series_most],
                    tip_label(m, slot, i), bytes_of(value));
  }
  const u32 metric = tip_metric(m, slot);
  views::top_draw(pen, v.top_books, metric, views::top_at(v.top_books, m, back), x, y + row * static_cast<i32>(lines));
}

void pie_tip(const OverviewState& s, views::Pen* pen, const machine::Machine& m, i32 x, i32 y) {
  const u32 sector = s.hovered_sector;
  if (!owned(s.pie, static_cast<i32>(sector))) return;
  const u32 owner = s.pie.series[sector];
  const bool used_part = (s.pie.used_starts >> sector) & 1;
  u64 used, total;
  owner_sums(m, owner, &used, &total);
  words::Text header{}, amount{}, share{};
  other_disks_text(&header, m, owner);
  views::text(pen, 3, bytes_of(header), x, y, 152, row, white, 0);
  const u64 shown = used_part ? used : total - used;
  words::gib(&amount, sat32(shown));
  views::tip_line(pen, x, y + row, disk_colour(owner), used_part ? mem::lit("Used") : mem::lit("Free"),
                  bytes_of(amount));
  words::percent(&share, sat32(shown * 10000 / (total ? total : 1)));
  views::tip_line(pen, x, y + 2 * row, track, mem::lit("Share"), bytes_of(share));
}

}  // namespace

void init(OverviewState* s) {
  __builtin_memset(s, 0, sizeof *s);
  s->flags = flag_measuring;
  s->hovered_chart = none;
  s->marker_slot = none;
}

// ---- Top processes

void top_five(const model::ProcTable* table, u64 (&keys)[tops_most]) {
  for (u64& k : keys) k = 0;
  const u32 n = table->count < model::rows ? table->count : model::rows;
  for (u32 r = 0; r < n; ++r) {
    const u32 pid = table->pid[r];
    if (pid == 0) continue;
    const u64 key = u64{table->cpu[r]} << 48 | u64{static_cast<u32>(~pid)} << 16 | r;
    for (u32 i = 0; i < tops_most; ++i) {
      if (key <= keys[i]) continue;
      for (u32 j = tops_most - 1; j > i; --j) keys[j] = keys[j - 1];
      keys[i] = key;
      break;
    }
  }
}

void take_tops(OverviewState* s, const model::ProcTable* table, bool measuring) {
  s->flags = static_cast<u8>(measuring ? s->flags | flag_measuring : s->flags & ~flag_measuring);
  if (!table) return;
  top_five(table, s->top_keys);
  s->top_count = 0;
  for (u64 k : s->top_keys) s->top_count += k != 0;
}

u64 top_row(const OverviewState& s, const model::ProcTable* table, u32 i) {
  if (!table || i >= s.top_count) return model::no_handle;
  const u32 r = static_cast<u32>(s.top_keys[i] & 0xFFFF);
  if (r >= model::rows) return model::no_handle;
  const u32 slot = table->slot[r];
  return model::handle_make(slot, table->generation[slot % model::rows]);
}

// ---- Sizes

u32 adapter_mask(const machine::Machine& m) {
  u32 mask = 0;
  for (u32 i = 0; i < m.nics && i < machine::max_nics; ++i)
    if (m.link_mbps[i] != 0) mask |= 1u << i;
  return mask;
}

i32 content_width(i32 w) { return min_i(w, 2056); }
i32 content_left(i32 a, i32 w) { return a + (w - min_i(w, 2056)) / 2; }
i32 disks_height(i32 h) { return clamp_i(h * 3 / 10, 124, 240); }
i32 small_row_height(i32 h) { return h >= 520 ? min_i((h - disks_height(h) - 32) * 2 / 5, 208) : 0; }
i32 main_height(i32 h, bool small_row) {
  const i32 small = small_row && h >= 520 ? small_row_height(h) + 16 : 0;
  return min_i(h - disks_height(h) - 16 - small, 264);
}
i32 small_columns(i32 w, i32 n) { return min_i(max_i((w + 16) / 216, 1), n); }
i32 column_width(i32 w, i32 n) { return n == 0 ? w : (w - 16 * (n - 1)) / n; }
i32 column_x(i32 left, i32 w, i32 n, i32 j) { return left + j * (column_width(w, n) + 16); }
i32 pie_size(i32 w, i32 h) { return max_i(min_i(w * 2 / 5, h), 0) & ~1; }
i32 heat_rows(i32 h, i32 p) { return clamp_i(h / 4 / max_i(p, 1), 1, 3); }

// ---- Layout

bool layout(OverviewState* s, views::ViewState* v, const machine::Machine& m, i32 width, i32 height) {
  // The views arrange first (nothing when nothing changed): a new arrangement unbinds the cards' charts, and its
  // counter, compared below, lays the cards out again.
  views::layout(v, m, width, height);
  const u32 mask = adapter_mask(m);
  const u8 power = views::powered(m) ? 1 : 0;
  if (v->arrangements == s->arrangement_seen && width == s->width_seen && height == s->height_seen &&
      mask == s->adapters_seen && power == s->power_seen && s->card_count)
    return false;
  if (v->arrangements == s->arrangement_seen) v->flags &= static_cast<u8>(~views::flag_arranged);
  views::layout(v, m, width, height);
  s->arrangement_seen = v->arrangements;
  s->width_seen = width;
  s->height_seen = height;
  s->adapters_seen = mask;
  s->power_seen = power;
  s->card_count = 0;
  s->not_placed = 0;

  const i32 h = height - 128;
  const i32 cw = content_width(width - 24 - 244), left = content_left(244, width - 24 - 244);
  s->content_left = to16(left);
  s->content_right = to16(left + cw);
  const i32 half = column_width(cw, 2);
  const i32 gpus = m.gpus < machine::max_gpus ? m.gpus : machine::max_gpus;
  const i32 small = gpus + __builtin_popcount(mask) + power;
  const bool small_row = h >= 520 && small != 0;
  const i32 main_h = main_height(h, small_row);
  add_card(s, card_cpu, 0, left, main_top, half, main_h);
  add_card(s, card_memory, 0, column_x(left, cw, 2, 1), main_top, half, main_h);
  i32 y = main_top + main_h + gap;
  if (small_row) {
    const i32 n = small_columns(cw, small), w = column_width(cw, n), rh = small_row_height(h);
    i32 j = 0;
    for (i32 g = 0; g < gpus; ++g, ++j)
      if (j < n) add_card(s, card_gpu, static_cast<u8>(g), column_x(left, cw, n, j), y, w, rh);
    for (u32 k = 0; k < machine::max_nics; ++k) {
      if (!((mask >> k) & 1)) continue;
      if (j < n) add_card(s, card_adapter, static_cast<u8>(k), column_x(left, cw, n, j), y, w, rh);
      ++j;
    }
    if (power && j < n) add_card(s, card_power, 0, column_x(left, cw, n, j), y, w, rh);
    y += rh + gap;
  }
  const i32 dh = disks_height(h);
  if (cw >= 560) {
    add_card(s, card_disks, 0, left, y, half, dh);
    add_card(s, card_tops, 0, column_x(left, cw, 2, 1), y, half, dh);
  } else {
    add_card(s, card_disks, 0, left, y, cw, dh);
  }
  for (u32 c = 0; c < s->card_count; ++c) place_card(s, v, m, c);
  views::fit(v);
  s->hovered_chart = none;
  return true;
}

void add_card(OverviewState* s, u8 kind, u8 index, i32 x, i32 y, i32 width, i32 height) {
  if (s->card_count >= cards_most) return;
  const u32 c = s->card_count++;
  s->card_kind[c] = kind;
  s->card_index[c] = index;
  s->card_x[c] = to16(x);
  s->card_y[c] = to16(y);
  s->card_w[c] = to16(width);
  s->card_h[c] = to16(height);
}

void place_card(OverviewState* s, views::ViewState* v, const machine::Machine& m, u32 c) {
  const i32 x = s->card_x[c], y = s->card_y[c], w = s->card_w[c], h = s->card_h[c];
  const i32 top = y + head, ch = h - 44;
  const u32 index = s->card_index[c];
  switch (s->card_kind[c]) {
    case card_cpu: {
      const i32 p = m.cpus, heat_h = p * heat_rows(ch, p), cpu_h = ch - heat_h - 4;
      place_chart(s, v, c, slot_cpu, x, top, w, cpu_h);
      place_chart(s, v, c, slot_heat, x, top + cpu_h + 4, w, heat_h);
      break;
    }
    case card_memory: place_chart(s, v, c, slot_memory, x, top, w, ch); break;
    case card_adapter: place_chart(s, v, c, slot_adapter + index, x, top, w, ch); break;
    case card_power: place_chart(s, v, c, slot_power, x, top, w, ch); break;
    case card_gpu: {
      const i32 uh = (3 * h - 144) / 5;
      place_chart(s, v, c, slot_gpu + index, x, top, w, uh);
      place_chart(s, v, c, slot_gpu_memory + index, x, top + uh + 4, w, ch - uh - 4);
      break;
    }
    case card_disks: {
      const i32 size = pie_size(w, h - head);
      s->pie_x = to16(x);
      s->pie_y = to16(top);
      s->pie_size = to16(size);
      s->list_x = to16(x + size + 16);
      s->list_width = to16(w - size - 16);
      s->list_y = to16(top);
      const i32 fit = max_i((h - head) / row, 0), disks = static_cast<i32>(disk_count(m));
      i32 rows = min_i(fit, disks);
      if (rows < disks && rows != 0) rows -= 1;
      s->disk_rows = static_cast<u8>(rows);
      s->more_disks = static_cast<u8>(disks - rows);
      if (!chart::place(&v->grid, slot_pie, s->pie_x, s->pie_y, size, size, 1)) s->not_placed |= 1u << c;
      s->flags &= static_cast<u8>(~flag_pie_current);
      break;
    }
    default: s->top_list_y = to16(top); break;
  }
}

void place_chart(OverviewState* s, views::ViewState* v, u32 card, u32 slot, i32 x, i32 y, i32 width, i32 height) {
  const i32 step = min_i(layout::step_for(width), chart::most_step(v->grid.dpi));
  if (!chart::place(&v->grid, slot, x, y, 60 * step, height, step) && height > 0) s->not_placed |= 1u << card;
}

u32 chart_slots(const OverviewState& s, u32 card, u32 (&slots)[2]) {
  const u32 i = s.card_index[card];
  switch (s.card_kind[card]) {
    case card_cpu: slots[0] = slot_cpu; slots[1] = slot_heat; return 2;
    case card_memory: slots[0] = slot_memory; return 1;
    case card_gpu: slots[0] = slot_gpu + i; slots[1] = slot_gpu_memory + i; return 2;
    case card_adapter: slots[0] = slot_adapter + i; return 1;
    case card_power: slots[0] = slot_power; return 1;
    default: return 0;
  }
}

draw::Rect content_rect(const OverviewState& s) {
  return draw::Rect{s.content_left, main_top, s.content_right, s.height_seen - 24};
}

// ---- Hit tests

bool in_slot(const views::ViewState& v, u32 slot, i32 x, i32 y) {
  const chart::Grid& g = v.grid;
  if (!chart::has_row(g.bound, slot)) return false;
  return x >= g.lx[slot] && x < g.lx[slot] + g.lwidth[slot] && y >= g.ly[slot] && y < g.ly[slot] + g.lheight[slot];
}

bool hover_at(OverviewState* s, const views::ViewState& v, i32 x, i32 y) {
  u8 chart = none, column = 0, sector = s->hovered_sector;
  for (u32 c = 0; c < s->card_count; ++c) {
    u32 slots[2];
    const u32 n = chart_slots(*s, c, slots);
    for (u32 k = 0; k < n; ++k) {
      if (slots[k] == slot_heat || !in_slot(v, slots[k], x, y)) continue;
      chart = static_cast<u8>(slots[k]);
      column = static_cast<u8>(chart::index_at(v.grid, slots[k], x, false));
    }
    if (s->card_kind[c] != card_disks) continue;
    i32 dx, dy, outer, inner;
    ring_point(*s, x, y, &dx, &dy, &outer, &inner);
    const i64 d2 = i64{dx} * dx + i64{dy} * dy;
    if (d2 < i64{inner} * inner || d2 > i64{outer} * outer) continue;
    const u32 at = pie::sector_at(s->pie, pie::angle_of(dx, dy));
    if ((s->flags & flag_pie_current) && owned(s->pie, static_cast<i32>(at))) {
      chart = slot_pie;
      sector = static_cast<u8>(at);
    }
  }
  if (chart == slot_pie && (s->hovered_chart != slot_pie || sector != s->hovered_sector)) {
    s->pie_pointer_x = to16(x);
    s->pie_pointer_y = to16(y);
  }
  const bool changed = chart != s->hovered_chart || column != s->hovered_column ||
                       (chart == slot_pie && sector != s->hovered_sector);
  s->hovered_chart = chart;
  s->hovered_column = column;
  s->hovered_sector = sector;
  return changed;
}

bool hover(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface, i32 x, i32 y) {
  overlay_parts(s, v, m, surface);
  const bool changed = hover_at(s, *v, x, y);
  overlay_parts(s, v, m, surface);
  return changed;
}

bool leave(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface) {
  overlay_parts(s, v, m, surface);
  const bool was = s->hovered_chart != none;
  s->hovered_chart = none;
  return was;
}

i32 view_at(const OverviewState& s, i32 x, i32 y) {
  for (u32 c = 0; c < s.card_count; ++c) {
    if (!in_box(s, c, x, y)) continue;
    const i32 i = s.card_index[c];
    switch (s.card_kind[c]) {
      case card_cpu: return layout::view_cpu;
      case card_memory: return layout::view_memory;
      case card_gpu: return layout::view_gpus + i;
      case card_adapter: return layout::view_nics + i;
      case card_power: return layout::view_power;
      case card_disks: return pie_at(s, x, y);
      default: {
        const i32 r = y >= s.top_list_y ? (y - s.top_list_y) / row : -1;
        if (r >= 0 && r < s.top_count && !(s.flags & flag_measuring)) return target_rows + r;
        return target_other;
      }
    }
  }
  return -1;
}

i32 pie_at(const OverviewState& s, i32 x, i32 y) {
  i32 dx, dy, outer, inner;
  ring_point(s, x, y, &dx, &dy, &outer, &inner);
  const i32 sector = pie::sector_of_point(s.pie, dx, dy, outer, inner);
  if ((s.flags & flag_pie_current) && owned(s.pie, sector)) return layout::view_disks + s.pie.series[sector];
  if (x >= s.list_x && y >= s.list_y && (y - s.list_y) / row < s.disk_rows) return layout::view_disks + (y - s.list_y) / row;
  return layout::view_disks;
}

// ---- Dirty rectangles

void overlay_parts(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface) {
  if (s->hovered_chart == none) return;
  views::redo_shown(surface, tip_rect(*s, *v, m));
  views::redo_shown(surface, draw::Rect{s->tip[0], s->tip[1], s->tip[2], s->tip[3]});
  views::redo_shown(surface, marker(*s, *v));
}

void tick_parts(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface) {
  views::rail_parts(v, m, surface);
  views::redo(surface, s->content_left, 56, s->content_right, 84);
  for (u32 c = 0; c < s->card_count; ++c) {
    const i32 x = s->card_x[c], y = s->card_y[c], w = s->card_w[c], h = s->card_h[c];
    views::redo(surface, x, y, x + w, y + head);
    const u8 kind = s->card_kind[c];
    if (chart_card(kind)) views::redo(surface, x, y + h - foot, x + w, y + h);
    if (kind == card_disks) {
      views::redo(surface, s->pie_x, s->pie_y, s->pie_x + s->pie_size, s->pie_y + s->pie_size);
      views::redo(surface, s->list_x, s->list_y, x + w, y + h);
    }
    if (kind == card_tops) views::redo(surface, x, y + head, x + w, y + h);
  }
  views::show_box(surface, s->content_left, 56, s->content_right, v->frame_bottom);
  overlay_parts(s, v, m, surface);
}

// ---- Drawing

void render(OverviewState* s, views::ViewState* v, draw::Surface* surface, const machine::Machine& m,
            const model::ProcTable* table) {
  if (views::render_rail(v, surface, m) != 1) return;
  const u32 drew = sync(s, v, m);
  const bool copying = drew != 0 || views::synced(*v);
  const draw::Rect tip = tip_rect(*s, *v, m), mark = marker(*s, *v);
  s->tip[0] = to16(tip.left);
  s->tip[1] = to16(tip.top);
  s->tip[2] = to16(tip.right);
  s->tip[3] = to16(tip.bottom);
  s->marker_slot = !empty_rect(tip) && !empty_rect(mark) ? s->hovered_chart : none;
  s->marker_x = to16(mark.left);
  views::Pen pen = views::drawing(surface);
  heading(*s, &pen, m);
  cards(*s, *v, &pen, m, table, copying);
  overlay(*s, *v, &pen, m);
}

u32 sync(OverviewState* s, views::ViewState* v, const machine::Machine& m) {
  u32 result = 0;
  s->fresh[0] = s->fresh[1] = 0;
  const chart::Track track = chart::track_of(m.ring, m.pushed);
  for (u32 c = 0; c < s->card_count; ++c) {
    u32 slots[2];
    const u32 n = chart_slots(*s, c, slots);
    for (u32 k = 0; k < n; ++k) {
      chart::Look look;
      plot_of(&look, m, slots[k]);
      const u32 r = chart::sync_track(&v->grid, &v->sheet, look, track);
      if (r) {
        result = r;
        set_fresh(s, slots[k]);
      }
    }
  }
  const u32 ring = pie_image(s, v, m);
  if (ring) set_fresh(s, slot_pie);
  return ring ? ring : result;
}

void plot_of(chart::Look* look, const machine::Machine& m, u32 slot) {
  if (slot == slot_cpu) views::resource_plot(look, m, layout::view_cpu, slot, true, false);
  if (slot == slot_heat) views::heat_plot(look, m, false);
  if (slot == slot_memory) views::resource_plot(look, m, layout::view_memory, slot, true, false);
  if (slot >= slot_gpu && slot < slot_gpu_memory) views::resource_plot(look, m, layout::view_gpus + slot - slot_gpu, slot, true, false);
  if (slot >= slot_gpu_memory && slot < slot_adapter) {
    const u32 g = slot - slot_gpu_memory;
    views::memory_plot(look, m, g, views::unified(m, g) ? 1 : 0, false);
  }
  if (slot >= slot_adapter && slot < slot_pie) views::resource_plot(look, m, layout::view_nics + slot - slot_adapter, slot, true, false);
  if (slot == slot_power) views::resource_plot(look, m, layout::view_power, slot, true, false);
  look->slot = slot;
  look->flags &= ~(chart::flag_grid | chart::flag_long);
  look->margin = 1;
  look->thick = 128;
  look->thin = 0;
}

void pie_table(const machine::Machine& m, pie::Table* t) {
  u64 totals[machine::max_disks], used[machine::max_disks];
  const u32 n = disk_count(m);
  for (u32 d = 0; d < n; ++d) {
    totals[d] = m.disk_capacity[d];
    used[d] = used_of(m, d);
  }
  u32 used_argb[5], free_argb[5];
  for (u32 i = 0; i < 5; ++i) {
    used_argb[i] = draw::bgra(disk_colours[i]);
    free_argb[i] = curve::blend(pie_background, draw::bgra(free_colours[i]), 128);
  }
  pie::build(t, totals, n, used, used_argb, free_argb, pie_rest);
}

u32 pie_image(OverviewState* s, views::ViewState* v, const machine::Machine& m) {
  pie::Table t;
  pie_table(m, &t);
  const u32 generation = static_cast<u32>(v->sheet_generation);
  if ((s->flags & flag_pie_current) && generation == s->pie_generation && pie::same_table(t, s->pie)) return 0;
  const chart::Grid& g = v->grid;
  if (!v->sheet.pixels || (s->not_placed & (1u << disks_card(*s))) || !chart::has_row(g.bound, slot_pie)) return 0;
  const i32 w = g.width[slot_pie], h = g.height[slot_pie], n = min_i(w, h);
  const i32 cx = g.canvas_x[slot_pie], cy = g.canvas_y[slot_pie];
  if (n <= 0 || cx < 0 || cy < 0 || u64(cx) + w > v->sheet.width || u64(cy) + h > v->sheet.height) return 0;
  const i32 outer = pie_radius(n);
  u32* const corner = v->sheet.pixels + u64(cy) * v->sheet.stride + cx;
  pie::render(corner, v->sheet.stride, static_cast<u32>(n), t, pie_background, outer, outer * 62 / 100);
  // The square is the smaller side: at some DPIs the slot's rounded sides differ by a pixel, and that row or column
  // takes the ring's background instead of staying empty.
  for (i32 y = 0; y < h; ++y)
    for (i32 x = y < n ? n : 0; x < w; ++x) corner[u64(y) * v->sheet.stride + x] = pie_background;
  s->pie = t;
  s->flags |= flag_pie_current;
  s->pie_generation = generation;
  return 1;
}

draw::Rect tip_rect(const OverviewState& s, const views::ViewState& v, const machine::Machine& m) {
  const draw::Rect nothing{0, 0, 0, 0};
  const u32 slot = s.hovered_chart;
  if (slot == none) return nothing;
  const bool ring = slot == slot_pie;
  const u32 back = 60 - s.hovered_column;
  if (!ring && back >= m.ring.count) return nothing;
  const u32 tops = ring ? 0 : views::top_lines(v.top_books, views::top_at(v.top_books, m, back), tip_metric(m, slot));
  const i32 lines = static_cast<i32>(tip_rows(slot) + tops), height = row * lines + 16;
  i32 x = ring ? s.pie_pointer_x : chart::boundary_x(v.grid, slot, s.hovered_column, false);
  x = x + 182 > s.content_right ? x - 182 : x + 14;
  x = max_i(x, s.content_left);
  i32 y = ring ? s.pie_pointer_y + 14 : v.grid.ly[slot] + 8;
  y = min_i(y, v.frame_bottom - height);
  return draw::Rect{x, y, x + 168, y + height};
}

draw::Rect marker(const OverviewState& s, const views::ViewState& v) {
  const u32 slot = s.hovered_chart;
  if (slot == none || slot == slot_pie) return draw::Rect{0, 0, 0, 0};
  const i32 x = chart::boundary_x(v.grid, slot, s.hovered_column, false);
  return draw::Rect{x, v.grid.ly[slot], x + 1, v.grid.ly[slot] + v.grid.lheight[slot]};
}

void overlay(const OverviewState& s, const views::ViewState& v, views::Pen* pen, const machine::Machine& m) {
  const draw::Rect tip{s.tip[0], s.tip[1], s.tip[2], s.tip[3]};
  if (s.hovered_chart == none || empty_rect(tip)) return;
  const u32 lines = static_cast<u32>((tip.bottom - tip.top - 16) / row);
  if (s.hovered_chart != slot_pie) {
    const draw::Rect mark = marker(s, v);
    views::rect(pen, mark.left, mark.top, 1, mark.bottom - mark.top, marker_colour);
  }
  views::tip_box(pen, tip.left, tip.top, lines);
  if (s.hovered_chart == slot_pie) {
    pie_tip(s, pen, m, tip.left + 8, tip.top + 8);
  } else {
    chart_tip(s, v, pen, m, tip.left + 8, tip.top + 8);
  }
}

// ---- Texts and small rules

mem::Bytes title_text() { return mem::lit("Overview"); }
mem::Bytes subtitle_text() { return mem::lit("This computer, 60 seconds"); }
mem::Bytes too_large_text() { return mem::lit("Too large to draw at this window size"); }

void title_line(words::Text* out, const machine::Machine& m) {
  words::put(out, machine::name(&m, 0));
  words::put(out, mem::lit(" - "));
  hw::Hardware h{};
  __builtin_memcpy(&h, m.hardware, machine::hardware_head);
  words::put(out, hw::mem_text(h.memory.kind));
  words::put(out, mem::lit(" "));
  hw::mts_text(out, h.memory.speed);
  words::put(out, mem::lit(" - up "));
  if (ring_empty(m)) return hw::dash(out);
  words::uptime(out, m.ring.uptime[newest(m)]);
}

void card_texts(const machine::Machine& m, u8 kind, u8 index, words::Text* title, words::Text* value,
                words::Text* foot_text) {
  const ring::Ring& r = m.ring;
  const u32 at = newest(m), i = index;
  const bool empty = ring_empty(m);
  switch (kind) {
    case card_cpu:
      words::put(title, mem::lit("CPU"));
      words::cpu_line(value, r.load[at], r.clock_mhz[at]);
      views::blank_if(value, empty);
      words::put_u64(foot_text, m.cpus);
      words::put(foot_text, mem::lit(" logical processors"));
      return;
    case card_memory:
      words::put(title, mem::lit("Memory"));
      words::gib_pair(value, r.memory_mib[at], m.memory_total);
      views::blank_if(value, empty);
      words::put(foot_text, mem::lit("Committed "));
      if (m.commit_limit) {
        words::gib_pair(foot_text, r.commit_mib[at], m.commit_limit);
      } else {
        words::gib(foot_text, r.commit_mib[at]);
      }
      return;
    case card_gpu:
      views::title_of(m, layout::view_gpus + i, title);
      words::put(title, mem::lit(" - "));
      words::put(title, views::gpu_name(m, i));
      words::percent(value, r.gpu_load[at][i % machine::max_gpus]);
      views::blank_if(value, empty);
      if (views::unified(m, i)) {
        words::put(foot_text, mem::lit("Shared "));
        words::gib_pair(foot_text, r.gpu_shared_mib[at][i % machine::max_gpus], m.gpu_shared[i % machine::max_gpus]);
      } else {
        words::put(foot_text, mem::lit("Dedicated "));
        words::gib_pair(foot_text, r.gpu_dedicated_mib[at][i % machine::max_gpus],
                        m.gpu_dedicated[i % machine::max_gpus]);
      }
      return;
    case card_adapter:
      views::title_of(m, layout::view_nics + i, title);
      words::bit_pair(value, r.send[at][i % machine::max_nics], r.receive[at][i % machine::max_nics]);
      views::blank_if(value, empty);
      words::put(foot_text, mem::lit("Link "));
      hw::link_text(foot_text, m.link_mbps[i % machine::max_nics]);
      return;
    case card_disks:
      words::put(title, mem::lit("Disks"));
      words::put_u64(value, m.disks);
      words::put(value, mem::lit(" disks"));
      return;
    case card_power:
      words::put(title, mem::lit("Power"));
      views::watts(value, r.power[at], true);
      power_note(foot_text, m);
      return;
    default: words::put(title, mem::lit("Top processes by CPU")); return;
  }
}

void power_note(words::Text* out, const machine::Machine& m) {
  if (m.ring.power_flags[newest(m)] & usage::power_battery) return words::put(out, mem::lit("On battery"));
  const bool cpu = m.power_flags & 1, gpu = (m.power_flags >> 2) & 1;
  if (cpu) {
    words::put(out, mem::lit("CPU "));
    views::part_watts(out, m, 0);
  }
  if (cpu && gpu) words::put(out, mem::lit(", "));
  if (gpu) {
    words::put(out, mem::lit("GPU "));
    views::part_watts(out, m, 2);
  }
}

void other_disks_text(words::Text* out, const machine::Machine& m, u32 owner) {
  if (owner >= 4) return words::put(out, mem::lit("Other disks"));
  words::put(out, machine::name(&m, machine::name_slot(machine::slot_disks, owner, m.disks)));
}

u64 paren_start(mem::Bytes name) {
  for (u64 i = 0; i < name.len; ++i) {
    if (name.ptr[i] == '(') return i;
  }
  return name.len;
}

u64 paren_end(mem::Bytes name, u64 start) {
  for (u64 i = start; i < name.len; ++i) {
    if (name.ptr[i] == ')') return i;
  }
  return name.len;
}

mem::Bytes disk_label(mem::Bytes name) {
  const u64 open = paren_start(name);
  const u64 close = open == name.len ? name.len : paren_end(name, open + 1);
  if (close == name.len) return name;
  return mem::Bytes(name.ptr + open + 1, close - open - 1);
}

u32 disk_colour(u32 disk) { return disk_colours[disk < 4 ? disk : 4]; }
u32 free_colour(u32 disk) { return free_colours[disk < 4 ? disk : 4]; }
i32 pie_radius(i32 n) { return max_i(n * 128 - 256, 0); }
i32 pie_text_half(i32 size) { return (pie_radius(size) * 62 / 25600) * 70 / 100; }

// The ring's tooltip has a header and two lines (the used or free amount, and its share): three rows, or its last
// line would stand below the box.
u32 tip_rows(u32 slot) { return (slot >= slot_adapter && slot < slot_pie) || slot == slot_pie ? 3 : 2; }

u32 top_metric(u32 slot) {
  if (slot == slot_cpu) return 0;
  if (slot == slot_memory) return 1;
  if (slot >= slot_gpu && slot < slot_gpu_memory) return 3;
  if (slot >= slot_gpu_memory && slot < slot_adapter) return 4;
  if (slot >= slot_adapter && slot < slot_pie) return 5;
  return none;
}

u32 tip_metric(const machine::Machine& m, u32 slot) {
  if (slot >= slot_gpu_memory && slot < slot_adapter && views::unified(m, slot - slot_gpu_memory)) return none;
  return top_metric(slot);
}

void tip_value(words::Text* out, const machine::Machine& m, u32 slot, u32 line, u32 back) {
  chart::Look look;
  plot_of(&look, m, slot);
  const u32 layer = (slot == slot_cpu ? line + 1 : line) % chart::series_most;
  const u32 v = chart::value_at(look.sources[layer], m.ring, back, 0);
  if (slot == slot_cpu || (slot >= slot_gpu && slot < slot_gpu_memory)) return words::percent(out, v);
  if (slot >= slot_adapter && slot < slot_pie) return words::bit_rate(out, v);
  if (slot == slot_power) return views::watts(out, v, true);
  words::gib(out, v);
}

mem::Bytes tip_label(const machine::Machine& m, u32 slot, u32 line) {
  if (slot == slot_cpu || (slot >= slot_gpu && slot < slot_gpu_memory)) return mem::lit("Utilisation");
  if (slot == slot_power) return mem::lit("Power");
  if (slot == slot_memory) return mem::lit("In use");
  if (slot >= slot_gpu_memory && slot < slot_adapter)
    return views::unified(m, slot - slot_gpu_memory) ? mem::lit("Shared") : mem::lit("Dedicated");
  return line == 0 ? mem::lit("Send") : mem::lit("Receive");
}

i32 disks_card(const OverviewState& s) {
  for (u32 c = 0; c < s.card_count; ++c)
    if (s.card_kind[c] == card_disks) return static_cast<i32>(c);
  return 31;
}

}  // namespace overview
