#include "drawing/chart.h"

#include "base/maths.h"
#include "base/words.h"
#include "drawing/curve.h"
#include "drawing/layout.h"

namespace chart {

namespace {

constexpr i32 side_most = 16385;  // px widths and heights stay below this
// Columns a scrolling chart can take before its drawing is moved back: one move of all its pixels in this many
// samples.
constexpr i32 scroll_room = 12;

i32 clamp_to(i32 v, i32 lo, i32 hi) { return v < lo ? lo : v > hi ? hi : v; }
i16 to16(i64 v) { return static_cast<i16>(curve::clamp16(static_cast<i32>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v))); }
void set_bit(u64* bits, u32 i, bool on) {
  u64 m = u64{1} << (i & 63);
  bits[i >> 6] = on ? bits[i >> 6] | m : bits[i >> 6] & ~m;
}

// Where a text goes in its box, and the box as the clip.
struct Placed {
  u16 units[text_most];
  u32 count;
  i32 x, y, width;
  draw::Rect clip;
};

Placed place_text(draw::Surface* s, u32 role, mem::Bytes text, i32 x, i32 y, i32 width, i32 height, u32 align) {
  Placed p{};
  p.count = units_of(text, p.units);
  draw::Size size = draw::measure(s, role, p.units, p.count);
  p.width = size.width;
  p.x = align == 1 ? x + width - size.width : align == 2 ? x + (width - size.width) / 2 : x;
  p.y = y + (height - size.height) / 2;
  p.clip = draw::Rect{x, y, x + width, y + height};
  return p;
}

}  // namespace

u32 cell(const Source& source, u32 row, u32 column) {
  if (!source.first) return 0;
  const u8* p = source.first + u64{row} * source.row_stride + u64{column} * source.column_stride;
  if (source.width == 1) return p[0];
  if (source.width == 2) {
    u16 v;
    __builtin_memcpy(&v, p, 2);
    return v;
  }
  u32 v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

u64 canvas_bytes(i32 height) { return u64(height < 1 ? 1 : height) * 664 + 128; }

// Everything chart::scratch takes: the coverage canvas, the span cache and the alignment between them.
u64 scratch_bytes(i32 width, i32 height) {
  return canvas_bytes(height) + u64{series_most} * span_most * 2 * sizeof(i16) + u64(width < 1 ? 1 : width) * 61 +
         u64(height < 1 ? 1 : height) + 128;
}

// ---- Layout

void init(Grid* g) {
  Scratch keep = g->scratch;
  *g = Grid{};
  g->scratch = keep;
  g->dpi = 96;
  for (u32 i = 0; i < slots; i++) g->span_at[i] = no_span;
}

bool even(i32 step, u32 dpi) { return (i64{step} * draw::dpi_of(dpi)) % 96 == 0; }

u32 fair_step(i32 step, u32 dpi) {
  if (step <= 0) return 0;
  i64 px = i64{step} * draw::dpi_of(dpi) / 96;
  return even(step, dpi) || px >= 8 ? static_cast<u32>(px) : 0;
}

u32 put(Grid* g, u32 slot, i32 x, i32 y, i32 width, i32 height, i32 step, u32 anchor_end) {
  slot = row_of(slot);
  set_bit(g->bound, slot, false);
  set_bit(g->drawn, slot, false);
  const u32 dpi = g->dpi;
  i32 px = draw::to_px(x, dpi), py = draw::to_px(y, dpi);
  i32 right = draw::to_px(x + width, dpi), bottom = draw::to_px(y + height, dpi);
  i32 stepped_end = draw::to_px(x + 60 * step, dpi);
  u32 ps = fair_step(step, dpi);
  // Steps are kept in bytes.
  if (width <= 0 || height <= 0 || step <= 0 || step > 255 || ps > 255) return 0;
  i64 pw = right - px;
  if (ps != 0) {
    i64 d = i64{px} + 60 * i64{ps} - stepped_end;
    pw = right + d - px;
    if (anchor_end) px = static_cast<i32>(px - d);
  }
  i64 ph = i64{bottom} - py;
  if (pw <= 0 || ph <= 0 || pw >= side_most || ph >= side_most) return 0;
  g->canvas_x[slot] = 0;
  g->canvas_y[slot] = 0;
  const i64 room = ps == 0 ? 0 : i64{scroll_room} * ps;
  g->room[slot] = static_cast<i16>(room < side_most - 1 - pw ? room : side_most - 1 - pw);
  g->slide[slot] = 0;
  g->lx[slot] = to16(x);
  g->ly[slot] = to16(y);
  g->lwidth[slot] = to16(i64{draw::logical_up(static_cast<i32>(px + pw), dpi)} - x);
  g->px_step[slot] = static_cast<u8>(ps);
  g->lheight[slot] = to16(height);
  g->x[slot] = to16(px);
  g->y[slot] = to16(py);
  g->width[slot] = to16(pw);
  g->height[slot] = to16(ph);
  g->step[slot] = static_cast<u8>(step);
  if (g->total + pw < side_most) {
    g->span_at[slot] = static_cast<u16>(g->total);
    g->total += static_cast<u32>(pw);
  } else {
    g->span_at[slot] = no_span;
  }
  set_bit(g->bound, slot, true);
  return 1;
}

u32 place(Grid* g, u32 slot, i32 x, i32 y, i32 width, i32 height, i32 step) {
  return put(g, slot, x, y, width, height, step, 0);
}

u32 place_end(Grid* g, u32 slot, i32 x, i32 y, i32 width, i32 height, i32 step) {
  return put(g, slot, x, y, width, height, step, 1);
}

draw::Size pack(Grid* g) {
  i32 most = 1;
  for (u32 i = 0; i < slots; i++) {
    if (has_row(g->bound, i) && canvas_width(*g, i) > most) most = canvas_width(*g, i);
  }
  i32 shelf_y = 0, shelf_h = 0, used = 0;
  // Span-cache columns are handed out again on every packing, so relayouts do not use the cache up.
  u32 total = 0;
  for (u32 i = 0; i < slots; i++) {
    if (!has_row(g->bound, i)) continue;
    if (used + canvas_width(*g, i) > most) {
      shelf_y += shelf_h;
      shelf_h = 0;
      used = 0;
    }
    // A slot whose area would lie below what canvas positions can name stays unbound rather than overlapping.
    if (shelf_y + g->height[i] > INT16_MAX) {
      set_bit(g->bound, i, false);
      continue;
    }
    // A slot that moves on the canvas, or in the span cache, must be drawn again there.
    u16 span = total + static_cast<u32>(g->width[i]) < side_most ? static_cast<u16>(total) : no_span;
    if (g->canvas_x[i] != used || g->canvas_y[i] != shelf_y || g->span_at[i] != span) set_bit(g->drawn, i, false);
    g->canvas_x[i] = static_cast<i16>(used);
    g->canvas_y[i] = static_cast<i16>(shelf_y);
    g->span_at[i] = span;
    if (span != no_span) total += static_cast<u32>(g->width[i]);
    used += canvas_width(*g, i);
    if (g->height[i] > shelf_h) shelf_h = g->height[i];
  }
  g->total = total;
  i32 h = shelf_y + shelf_h;
  return draw::Size{most, h < 1 ? 1 : h};
}

i32 drawing_x(const Grid& g, u32 slot) { return g.canvas_x[row_of(slot)] + g.slide[row_of(slot)]; }

i32 canvas_width(const Grid& g, u32 slot) { return g.width[row_of(slot)] + g.room[row_of(slot)]; }

i32 most_step(u32 dpi) { return draw::to_logical(71, dpi); }

u32 row_of(u32 i) { return i < slots - 1 ? i : slots - 1; }

void forget(Grid* g) { g->drawn[0] = g->drawn[1] = 0; }

bool has_row(const u64* bits, u32 i) { return ((bits[i >> 6] >> (i & 63)) & 1) != 0; }

// ---- Columns

i32 col(const Grid& g, u32 slot, i32 i) {
  slot = row_of(slot);
  if (g.px_step[slot] != 0) return i * g.px_step[slot];
  return draw::to_px(i * g.step[slot] + g.lx[slot], g.dpi) - g.x[slot];
}

i32 columns(const Grid& g, u32 slot) { return col(g, slot, 60); }

i32 span_end(const Grid& g, u32 slot) { return draw::logical_up(g.x[row_of(slot)] + col(g, slot, 60), g.dpi); }

i32 offset_px(const Grid& g, u32 slot, i32 x) { return draw::to_px(x, g.dpi) - g.x[row_of(slot)]; }

i32 index_at(const Grid& g, u32 slot, i32 x, bool want_px) {
  slot = row_of(slot);
  i32 offset = offset_px(g, slot, x);
  if (want_px) return clamp_to(offset, 0, g.width[slot] - 1);
  if (g.px_step[slot] != 0) return curve::nearest(offset, g.px_step[slot], 60);
  return curve::nearest(i64{x} - g.lx[slot], g.step[slot], 60);
}

i32 cell_at(const Grid& g, u32 slot, i32 x, bool want_px) {
  slot = row_of(slot);
  i32 offset = offset_px(g, slot, x);
  if (want_px) return clamp_to(offset, 0, g.width[slot] - 1);
  i32 step = g.step[slot] == 0 ? 1 : g.step[slot];
  i32 c = g.px_step[slot] != 0 ? offset / g.px_step[slot] : (x - g.lx[slot]) / step;
  return clamp_to(c + 1, 0, 60);
}

i32 boundary_x(const Grid& g, u32 slot, i32 i, bool is_px) {
  return draw::to_logical(g.x[row_of(slot)] + (is_px ? i : col(g, slot, i)), g.dpi);
}

i32 cell_x(const Grid& g, u32 slot, i32 i, bool is_px) {
  i32 a = is_px ? i - 1 : col(g, slot, i - 1), b = is_px ? i : col(g, slot, i);
  return draw::to_logical(g.x[row_of(slot)] + (a + b) / 2, g.dpi);
}

// ---- Tracks and values

Track track_of(const ring::Ring& r, u32 total) {
  return Track{ring::clamp_cap(r.capacity), r.next, r.count, total, long_rows, nullptr};
}

// As ring::back_row, without its cap of 600 rows: a long-range track over a history table has up to 730 columns.
u32 track_row(const Track& t, u32 i) {
  u32 last = t.available == 0 ? 0 : t.available - 1;
  u32 cap = t.capacity == 0 ? 1 : t.capacity;
  u32 back = (i < last ? i : last) % cap;
  return (t.position % cap + cap - back - 1) % cap;
}

u32 track_value(const Source& source, const Track& t, u32 i, u32 column) {
  return cell(source, track_row(t, i), column);
}

u32 value_at(const Source& source, const ring::Ring& r, u32 i, u32 column) {
  return track_value(source, track_of(r, 0), i, column);
}

void gather(const Source& source, const Track& t, u32 column, u32* out) {
  for (u32 i = 0; i < gathered - 1; i++) out[i] = t.available == 0 ? 0 : track_value(source, t, 61 - i, column);
  out[gathered - 1] = out[gathered - 2];
}

void show(draw::Surface* s, const Grid& g, const draw::Sheet& sheet, u32 slot, bool write_through,
          draw::Rect keep_out, i32 band_left, i32 band_right, i32 row_limit) {
  slot = row_of(slot);
  if (!has_row(g.bound, slot)) return;
  draw::sheet_show(s, sheet, drawing_x(g, slot), g.canvas_y[slot], g.width[slot], g.height[slot], g.x[slot],
                   g.y[slot], write_through, keep_out, band_left, band_right, row_limit);
}

// ---- Text and rectangles

u32 units_of(mem::Bytes text, u16* out) {
  u32 n = 0;
  for (u64 at = 0; at < text.len;) {
    u32 cp = words::next_code_point(text, &at);
    u32 need = cp >= 0x10000 ? 2 : 1;
    if (n + need > text_most) break;
    if (need == 2) {
      out[n++] = static_cast<u16>(0xD800 + ((cp - 0x10000) >> 10));
      out[n++] = static_cast<u16>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out[n++] = static_cast<u16>(cp);
    }
  }
  return n;
}

i32 measure(draw::Surface* s, u32 role, mem::Bytes text) {
  u16 units[text_most];
  u32 n = units_of(text, units);
  return draw::measure(s, role, units, n).width;
}

i32 text(draw::Surface* s, u32 role, mem::Bytes text, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align) {
  Placed p = place_text(s, role, text, x, y, width, height, align);
  draw::text(s, role, p.units, p.count, p.x, p.y, p.clip, colour, nullptr);
  return p.width;
}

u32 ink(draw::Surface* s, u32 role, mem::Bytes text, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align) {
  if (text.len == 0) return 1;
  Placed p = place_text(s, role, text, x, y, width, height, align);
  return draw::ink(s, role, p.units, p.count, p.x, p.y, p.clip, colour);
}

void rect(draw::Surface* s, i32 x, i32 y, i32 width, i32 height, u32 colour) {
  draw::fill(s, draw::Rect{x, y, x + width, y + height}, colour);
}

void frame(draw::Surface* s, i32 x, i32 y, i32 width, i32 height, u32 colour) {
  rect(s, x, y, width, 1, colour);
  rect(s, x, y + height - 1, width, 1, colour);
  rect(s, x, y, 1, height, colour);
  rect(s, x + width - 1, y, 1, height, colour);
}

// ---- Chart drawing

namespace {

// A slot's area of the canvas.
struct Area {
  u32* p;
  u32 stride;
  i32 w, h;
  u32* row(i32 y) const { return p + u64(y) * stride; }
};

// What every drawing step of one slot reads.
struct Ctx {
  const Grid& g;
  u32 slot;
  Area a;
  const Look& look;  // scaled
  Scratch& sc;
  const Track& t;
  u32 first;
};

constexpr i32 chunk = 64;      // px columns of a band rasterised at once (the coverage canvas is 72 wide)

u64 mix(u64 h, u64 w) { return (h ^ w) * 0x100000001B3ull; }
u64 pair(u32 a, u32 b) { return u64{a} << 32 | b; }
i32 floor256(i64 v) { return static_cast<i32>(curve::floor_div(v, 256)); }
i32 ceil256(i64 v) { return static_cast<i32>(-curve::floor_div(-v, 256)); }
i32 to_i32(i64 v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<i32>(v); }

void fill_span(u32* p, i32 n, u32 colour) {
  i32 i = 0;
  for (; i + 8 <= n; i += 8) {
    for (i32 k = 0; k < 8; k++) p[i + k] = colour;
  }
  for (; i < n; i++) p[i] = colour;
}

void fill_box(Area a, i32 x, i32 y, i32 w, i32 h, u32 colour) {
  i32 x0 = clamp_to(x, 0, a.w), x1 = clamp_to(x + w, 0, a.w), y0 = clamp_to(y, 0, a.h), y1 = clamp_to(y + h, 0, a.h);
  for (i32 r = y0; r < y1; r++) fill_span(a.row(r) + x0, x1 - x0, colour);
}

// The five grid rows of an area (with the grid flag), else none: their count.
u32 grid_rows(const Look& l, i32 height, i32* out5) {
  if ((l.flags & flag_grid) == 0) return 0;
  i32 m = l.margin, len = height - 2 * m;
  out5[0] = m;
  out5[1] = m + (len + 1) / 4;
  out5[2] = m + (2 * height - 4 * m) / 4;
  out5[3] = m + (3 * height - 6 * m - 1) / 4;
  out5[4] = m + (4 * len - 2) / 4;
  return 5;
}

bool is_grid_row(const i32* rows, u32 count, i32 y) {
  for (u32 i = 0; i < count; i++) {
    if (rows[i] == y) return true;
  }
  return false;
}

void background(const Look& l, Area a, i32 x0) {
  if (x0 >= a.w) return;
  i32 rows[5];
  u32 n = grid_rows(l, a.h, rows);
  for (i32 y = 0; y < a.h; y++) fill_span(a.row(y) + x0, a.w - x0, is_grid_row(rows, n, y) ? l.grid : l.background);
}

// The last blend of a run of pixels: a chart's rows are mostly one background, so most pixels repeat it.
struct LastBlend {
  bool have = false;
  u32 in = 0, weight = 0, out = 0;
  u32 of(u32 pixel, u32 colour, u32 w) {
    if (!have || pixel != in || w != weight) {
      have = true;
      in = pixel;
      weight = w;
      out = curve::blend(pixel, colour, w);
    }
    return out;
  }
};

void blend_row(u32* p, const u8* coverage, i32 n, u32 colour, u32 alpha) {
  LastBlend last;
  for (i32 i = 0; i < n; i++) {
    if (coverage[i] == 0) continue;
    u32 w = alpha * coverage[i] + 128;
    p[i] = last.of(p[i], colour, (w + (w >> 8)) >> 8);
  }
}

// Rows r0..r1 of the band between two curves over m px columns at x, through the coverage canvas.
void band_rows(Ctx& c, i32 x, const i32* upper, const i32* lower, i32 m, i32 r0, i32 r1, u32 colour, u32 alpha) {
  raster::Canvas& cv = c.sc.canvas;
  const i32 tall = static_cast<i32>(cv.max_height);
  for (i32 top = r0; top < r1; top += tall) {
    i32 rows = r1 - top < tall ? r1 - top : tall;
    if (!raster::begin(&cv, static_cast<u32>(m), static_cast<u32>(rows))) return;
    const i32 off = top * 256;
    for (i32 k = 0; k < m; k++) raster::line(&cv, k * 256, upper[k] - off, (k + 1) * 256, upper[k + 1] - off);
    raster::line(&cv, m * 256, upper[m] - off, m * 256, lower[m] - off);
    for (i32 k = m; k > 0; k--) raster::line(&cv, k * 256, lower[k] - off, (k - 1) * 256, lower[k - 1] - off);
    raster::line(&cv, 0, lower[0] - off, 0, upper[0] - off);
    raster::finish(&cv);
    for (i32 y = 0; y < rows; y++) blend_row(c.a.row(top + y) + x, cv.coverage + u64(y) * m, m, colour, alpha);
  }
}

// Fills between two curves of m + 1 vertices (1/256 px) over m px columns at x; rows wholly inside are blended
// solid, the rest rasterised. The curves may cross or lie either way round.
void fill_band(Ctx& c, i32 x, const i32* one, const i32* two, i32 m, u32 colour, u32 alpha) {
  i32 upper[chunk + 1], lower[chunk + 1];
  i32 min_up = INT32_MAX, max_up = INT32_MIN, min_lo = INT32_MAX, max_lo = INT32_MIN;
  for (i32 k = 0; k <= m; k++) {
    upper[k] = one[k] < two[k] ? one[k] : two[k];
    lower[k] = one[k] < two[k] ? two[k] : one[k];
    min_up = upper[k] < min_up ? upper[k] : min_up;
    max_up = upper[k] > max_up ? upper[k] : max_up;
    min_lo = lower[k] < min_lo ? lower[k] : min_lo;
    max_lo = lower[k] > max_lo ? lower[k] : max_lo;
  }
  const i32 h = c.a.h;
  i32 top = clamp_to(floor256(min_up), 0, h), bottom = clamp_to(ceil256(max_lo), 0, h);
  i32 solid_from = clamp_to(ceil256(max_up), top, bottom), solid_to = clamp_to(floor256(min_lo), top, bottom);
  if (solid_from >= solid_to) {
    band_rows(c, x, upper, lower, m, top, bottom, colour, alpha);
    return;
  }
  band_rows(c, x, upper, lower, m, top, solid_from, colour, alpha);
  LastBlend last;
  for (i32 y = solid_from; y < solid_to; y++) {
    u32* p = c.a.row(y) + x;
    for (i32 i = 0; i < m; i++) p[i] = last.of(p[i], colour, alpha);
  }
  band_rows(c, x, upper, lower, m, solid_to, bottom, colour, alpha);
}

void dot(Area a, i32 cx, i32 y256, u32 colour, u32 halo, u32 dpi) {
  const i32 reach = draw::to_px(8, dpi);
  const float s = static_cast<float>(draw::dpi_of(dpi)) / 96.0f;
  const float fx = static_cast<float>(cx), fy = static_cast<float>(y256) / 256.0f;
  const i32 cy = floor256(y256);
  for (i32 y = clamp_to(cy - reach, 0, a.h); y < clamp_to(cy + reach + 1, 0, a.h); y++) {
    for (i32 x = clamp_to(cx - reach, 0, a.w); x < clamp_to(cx + reach + 1, 0, a.w); x++) {
      float dx = static_cast<float>(x) + 0.5f - fx, dy = static_cast<float>(y) + 0.5f - fy;
      float d = maths::sqrt32(dx * dx + dy * dy);
      u32 p = curve::blend(a.row(y)[x], halo, curve::disc(d, 7.0f * s));
      p = curve::blend(p, colour, curve::scaled_alpha(128, curve::disc(d, 6.0f * s) - curve::disc(d, 4.5f * s)));
      a.row(y)[x] = curve::blend(p, colour, curve::disc(d, 3.5f * s));
    }
  }
}

bool mirrored(const Look& l) { return l.kind == kind_mirrored; }
bool stacks(const Look& l) { return (l.flags & flag_no_stack) == 0 && !mirrored(l); }
u32 series_of(const Look& l) { return l.count < series_most ? l.count : series_most; }
i32 half_width(const Look& l, u32 s) { return s + 1 == series_of(l) || mirrored(l) ? l.thick : l.thin; }

// The plotted points of every series: 62 samples and a straight continuation for the last tangent.
void plot_points(const Ctx& c, i32 (*pts)[gathered]) {
  const Look& l = c.look;
  u32 sum[gathered] = {};
  for (u32 s = 0; s < series_of(l); s++) {
    u32 v[gathered];
    gather(l.sources[s], c.t, 0, v);
    for (u32 i = 0; i < gathered; i++) {
      u32 value = v[i];
      if (stacks(l)) sum[i] = value = curve::stack_add(value, sum[i]);
      pts[s][i] = curve::plot_y(mirrored(l), s, value, l.max, c.a.h, l.margin);
    }
    pts[s][62] = to_i32(2 * i64{pts[s][61]} - pts[s][60]);
  }
}

// Vertices k0 .. k0 + m of one series' curve over column i; the column's n px carry n + 1 of them.
void verts(const i32* pts, u32 i, i32 k0, i32 m, i32 n, i32* ys) {
  for (i32 k = 0; k <= m; k++) ys[k] = curve::curve_at(pts[i], pts[i + 1], pts[i + 2], pts[i + 3], k0 + k, n);
}

// The outline over those vertices: a band as thick as the curve's slope asks, opaque in the line colour.
void stroke(Ctx& c, const i32* pts, u32 i, i32 x, i32 k0, i32 m, i32 n, const i32* ys, i32 w, u32 colour) {
  i32 up[chunk + 1], down[chunk + 1];
  for (i32 k = 0; k <= m; k++) {
    i32 t = curve::thickness(w, curve::curve_rise(pts[i], pts[i + 1], pts[i + 2], pts[i + 3], k0 + k, n));
    up[k] = ys[k] - t;
    down[k] = ys[k] + t;
  }
  fill_band(c, x, up, down, m, colour, 255);
}

// One live column (px from x0, n wide) of every series, in pieces the coverage canvas holds.
void area_column(Ctx& c, i32 (*pts)[gathered], u32 i, i32 x0, i32 n, i32 base) {
  const Look& l = c.look;
  const u32 count = series_of(l);
  for (i32 k0 = 0; k0 < n; k0 += chunk) {
    const i32 m = n - k0 < chunk ? n - k0 : chunk;
    i32 ys[series_most][chunk + 1], bases[chunk + 1];
    for (i32 k = 0; k <= m; k++) bases[k] = base;
    for (u32 s = 0; s < count; s++) verts(pts[s], i, k0, m, n, ys[s]);
    for (u32 s = 0; s < count; s++) {
      const i32* bottom = s == 0 || mirrored(l) ? bases : ys[s - 1];
      fill_band(c, x0 + k0, ys[s], bottom, m, l.fill[s], l.alpha[s]);
    }
    for (u32 s = 0; s < count; s++) {
      const i32 w = half_width(l, s);
      if (w > 0) stroke(c, pts[s], i, x0 + k0, k0, m, n, ys[s], w, l.line[s]);
    }
  }
}

void dots(Ctx& c, const i32* newest_y) {
  const Look& l = c.look;
  if (c.t.available == 0) return;
  for (u32 s = 0; s < series_of(l); s++) {
    if ((l.dot_mask >> s) & 1) dot(c.a, col(c.g, c.slot, 60), newest_y[s], l.line[s], l.background, c.g.dpi);
  }
}

void area(Ctx& c) {
  const Look& l = c.look;
  i32 pts[series_most][gathered];
  plot_points(c, pts);
  const i32 base = curve::base_y(mirrored(l), c.a.h, l.margin);
  background(l, c.a, col(c.g, c.slot, static_cast<i32>(c.first)));
  u32 start = layout::first_segment(c.t.available);
  for (u32 i = start > c.first ? start : c.first; i < columns_live; i++) {
    i32 x0 = col(c.g, c.slot, static_cast<i32>(i)), x1 = col(c.g, c.slot, static_cast<i32>(i) + 1);
    x1 = x1 < c.a.w ? x1 : c.a.w;
    // Columns that round to no px have nothing to draw.
    if (x1 > x0 && x0 >= 0) area_column(c, pts, i, x0, x1 - x0, base);
  }
  i32 newest[series_most];
  for (u32 s = 0; s < series_most; s++) newest[s] = pts[s][61];
  dots(c, newest);
}

void heat(Ctx& c) {
  const Look& l = c.look;
  const Grid& g = c.g;
  background(l, c.a, col(g, c.slot, static_cast<i32>(c.first)));
  const u32 rows = l.rows == 0 ? 1 : l.rows;
  const i32 cell_h = c.a.h / static_cast<i32>(rows);
  if (cell_h <= 0) return;  // more item rows than px rows: nothing fits
  const i32 gap = g.step[c.slot] >= 4 && g.lheight[c.slot] / static_cast<i32>(rows) > 3 ? 1 : 0;
  u32 start = layout::first_cell(c.t.available);
  start = start > c.first ? start : c.first;
  for (u32 r = 0; r < rows; r++) {
    u32 v[gathered];
    gather(l.sources[0], c.t, r, v);
    for (u32 i = start; i < columns_live; i++) {
      u32 colour = 0xFF000000u | curve::ramp(l.grid, l.ramp_middle, l.ramp_last, v[i + 2] < 200 ? v[i + 2] : 200, 200);
      i32 x0 = col(g, c.slot, static_cast<i32>(i)), x1 = col(g, c.slot, static_cast<i32>(i) + 1);
      fill_box(c.a, x0, static_cast<i32>(r) * cell_h, x1 - x0 - gap, cell_h - gap, colour);
    }
  }
}

// ---- Long ranges

// Per series of one long-range column: the rows of the filled area and of the line, and the y of the maximum, in
// 1/256 px.
struct Band {
  i32 fill_top, fill_bottom, line_top, line_bottom, most;
  bool line;
};

// Rows [lo, hi) of a column, the part that is composed.
struct Rows {
  i32 lo, hi;
};

// The share of pixel row y that [top, bottom) covers, in 1/256.
u32 edge_row(i32 y, i32 top, i32 bottom) {
  i64 a = top > y * 256 ? top : y * 256, b = bottom < (y + 1) * 256 ? bottom : (y + 1) * 256;
  return b > a ? static_cast<u32>(b - a) : 0;
}

// Blends the first and last row of [top, bottom) by their share, and with set_inner sets the rows between.
void marks(Area a, i32 x, Rows r, i32 top, i32 bottom, u32 colour, u32 alpha, bool set_inner) {
  if (bottom <= top) return;
  i32 first = floor256(top), last = ceil256(bottom) - 1;
  for (i32 y = first; y <= last; y += (last - first > 0 ? last - first : 1)) {
    if (y < r.lo || y >= r.hi) continue;
    a.row(y)[x] = curve::blend(a.row(y)[x], colour, (alpha * edge_row(y, top, bottom)) >> 8);
  }
  if (!set_inner) return;
  for (i32 y = clamp_to(first + 1, r.lo, r.hi); y < clamp_to(last, r.lo, r.hi); y++) a.row(y)[x] = colour;
}

// Rows strictly inside a filled area.
bool inside(const Band& b, i32 y) { return y > floor256(b.fill_top) && y < ceil256(b.fill_bottom) - 1; }

void compose(Ctx& c, i32 x, const Band* bands, u32 count, Rows r) {
  const Look& l = c.look;
  i32 rows[5];
  const u32 grid_count = grid_rows(l, c.a.h, rows);
  for (i32 y = r.lo; y < r.hi; y++) c.a.row(y)[x] = l.background;
  for (u32 s = 0; s < count; s++) {
    u32 band = curve::blend(l.background, l.fill[s], l.alpha[s]);
    i32 first = floor256(bands[s].fill_top), last = ceil256(bands[s].fill_bottom) - 1;
    for (i32 y = clamp_to(first + 1, r.lo, r.hi); y < clamp_to(last, r.lo, r.hi); y++) c.a.row(y)[x] = band;
  }
  for (u32 i = 0; i < grid_count; i++) {
    if (rows[i] < r.lo || rows[i] >= r.hi) continue;
    u32 colour = l.grid;
    for (u32 s = 0; s < count; s++) {
      if (inside(bands[s], rows[i])) colour = curve::blend(l.grid, l.fill[s], l.alpha[s]);
    }
    c.a.row(rows[i])[x] = colour;
  }
  for (u32 s = 0; s < count; s++) {
    marks(c.a, x, r, bands[s].fill_top, bands[s].fill_bottom, l.fill[s], l.alpha[s], false);
    if (bands[s].line) marks(c.a, x, r, bands[s].line_top, bands[s].line_bottom, l.line[s], 255, true);
  }
}

void gap_column(Ctx& c, i32 x) {
  i32 rows[5];
  const u32 n = grid_rows(c.look, c.a.h, rows);
  for (i32 y = 0; y < c.a.h; y++) c.a.row(y)[x] = is_grid_row(rows, n, y) ? c.look.grid : c.look.background;
}

// The stacked maximum and minimum of each series over a column's rows that hold a sample; false for a gap.
bool long_bands(Ctx& c, i32 x, i32 count_columns, Band* out) {
  const Look& l = c.look;
  const u32 count = series_of(l);
  u32 first_back, last_back;
  if (!bucket(c.t, x, count_columns, &first_back, &last_back)) return false;
  u32 most[series_most] = {}, least[series_most] = {UINT32_MAX, UINT32_MAX, UINT32_MAX};
  bool any = false;
  for (u32 back = first_back; back <= last_back; back++) {
    u32 row = track_row(c.t, back);
    if (c.t.presence && c.t.presence[row] == 0) continue;
    any = true;
    u32 sum = 0;
    for (u32 s = 0; s < count; s++) {
      u32 v = cell(l.sources[s], row, 0);
      if (stacks(l)) sum = v = curve::stack_add(v, sum);
      most[s] = v > most[s] ? v : most[s];
      least[s] = v < least[s] ? v : least[s];
    }
  }
  if (!any) return false;
  const i32 base = curve::base_y(mirrored(l), c.a.h, l.margin);
  for (u32 s = 0; s < count; s++) {
    i32 y_most = curve::plot_y(mirrored(l), s, most[s], l.max, c.a.h, l.margin);
    i32 y_least = curve::plot_y(mirrored(l), s, least[s], l.max, c.a.h, l.margin);
    i32 bottom = stacks(l) && s > 0 ? curve::plot_y(false, 0, most[s - 1], l.max, c.a.h, l.margin) : base;
    i32 w = half_width(l, s);
    out[s] = Band{y_most < bottom ? y_most : bottom, y_most < bottom ? bottom : y_most,
                  (y_most < y_least ? y_most : y_least) - w, (y_most < y_least ? y_least : y_most) + w, y_most, w > 0};
  }
  return true;
}

// The rows a series can change in its column: one above the maximum's row (or the line's first row) to two below
// it (or the line's last row).
Rows span_of(const Band& b, i32 height) {
  i32 row = floor256(b.most), top = row - 1, bottom = row + 2;
  if (b.line) {
    top = floor256(b.line_top) < top ? floor256(b.line_top) : top;
    bottom = ceil256(b.line_bottom) - 1 > bottom ? ceil256(b.line_bottom) - 1 : bottom;
  }
  return Rows{clamp_to(top, 0, height - 1), clamp_to(bottom, 0, height - 1)};
}

i16* span_cell(Ctx& c, u32 s, i32 x) {
  return c.sc.spans + (u64{s} * span_most + c.g.span_at[c.slot] + static_cast<u32>(x)) * 2;
}

// Remembers the rows drawn in a column; a gap stores -1.
void keep_spans(Ctx& c, i32 x, const Band* bands, bool gap) {
  for (u32 s = 0; s < series_of(c.look); s++) {
    Rows r = gap ? Rows{-1, -1} : span_of(bands[s], c.a.h);
    i16* cell = span_cell(c, s, x);
    cell[0] = static_cast<i16>(r.lo);
    cell[1] = static_cast<i16>(r.hi);
  }
}

// Columns of a whole drawing filled together: the inner rows of a filled area are mostly the same rows in
// neighbouring columns, so they are written row by row across a block rather than column by column.
constexpr i32 block = 8;

// The inner rows of every filled area of n columns from x (band colour, or the band-on-grid colour on a grid row),
// over a background already drawn. Series in order, so a grid row takes the colour of the last series that holds it,
// as composing a column does.
void fill_blocks(Ctx& c, i32 x, i32 n, const Band (*bands)[series_most], const bool* gap) {
  const Look& l = c.look;
  i32 rows[5];
  const u32 grid_count = grid_rows(l, c.a.h, rows);
  for (u32 s = 0; s < series_of(l); s++) {
    const u32 band = curve::blend(l.background, l.fill[s], l.alpha[s]);
    const u32 on_grid = curve::blend(l.grid, l.fill[s], l.alpha[s]);
    i32 lo[block], hi[block], top = c.a.h, bottom = 0;
    for (i32 k = 0; k < n; k++) {
      lo[k] = gap[k] ? 0 : clamp_to(floor256(bands[k][s].fill_top) + 1, 0, c.a.h);
      hi[k] = gap[k] ? 0 : clamp_to(ceil256(bands[k][s].fill_bottom) - 1, 0, c.a.h);
      if (lo[k] < hi[k]) {
        top = lo[k] < top ? lo[k] : top;
        bottom = hi[k] > bottom ? hi[k] : bottom;
      }
    }
    for (i32 y = top; y < bottom; y++) {
      u32* p = c.a.row(y) + x;
      const u32 colour = is_grid_row(rows, grid_count, y) ? on_grid : band;
      for (i32 k = 0; k < n; k++) {
        if (y >= lo[k] && y < hi[k]) p[k] = colour;
      }
    }
  }
}

// A whole drawing: background, the filled areas a block at a time, then each column's edge rows and lines.
void long_whole(Ctx& c, i32 count_columns, bool spans) {
  const Look& l = c.look;
  const u32 count = series_of(l);
  background(l, c.a, 0);
  for (i32 x0 = 0; x0 < count_columns; x0 += block) {
    const i32 n = count_columns - x0 < block ? count_columns - x0 : block;
    Band bands[block][series_most];
    bool gap[block];
    for (i32 k = 0; k < n; k++) gap[k] = !long_bands(c, x0 + k, count_columns, bands[k]);
    fill_blocks(c, x0, n, bands, gap);
    for (i32 k = 0; k < n; k++) {
      if (!gap[k]) {
        for (u32 s = 0; s < count; s++) {
          const Band& b = bands[k][s];
          marks(c.a, x0 + k, Rows{0, c.a.h}, b.fill_top, b.fill_bottom, l.fill[s], l.alpha[s], false);
          if (b.line) marks(c.a, x0 + k, Rows{0, c.a.h}, b.line_top, b.line_bottom, l.line[s], 255, true);
        }
      }
      if (spans) keep_spans(c, x0 + k, bands[k], gap[k]);
    }
  }
}

// An incremental drawing: each column composed again only over the rows its series drew before and draw now; a
// column whose gap state changed, and the columns under the dot, are composed whole; a column that stays a gap is
// left alone.
void long_changes(Ctx& c, i32 count_columns) {
  const u32 count = series_of(c.look);
  const i32 dot_from = count_columns - (draw::to_px(8, c.g.dpi) + 1);
  for (i32 x = 0; x < count_columns; x++) {
    Band bands[series_most];
    const bool gap = !long_bands(c, x, count_columns, bands);
    const bool was_gap = span_cell(c, 0, x)[0] < 0;
    // The dot is drawn again over the columns under it, so even a column that stays a gap is cleared there first.
    if (gap && was_gap && x < dot_from) continue;
    if (gap) {
      gap_column(c, x);
    } else if (was_gap || x >= dot_from) {
      compose(c, x, bands, count, Rows{0, c.a.h});
    } else {
      for (u32 s = 0; s < count; s++) {
        const i16* old = span_cell(c, s, x);
        Rows now = span_of(bands[s], c.a.h);
        compose(c, x, bands, count, Rows{old[0] < now.lo ? old[0] : now.lo, (old[1] > now.hi ? old[1] : now.hi) + 1});
      }
    }
    keep_spans(c, x, bands, gap);
  }
}

void long_area(Ctx& c, bool incremental) {
  const Look& l = c.look;
  const u32 count = series_of(l);
  const i32 count_columns = col(c.g, c.slot, 60) < c.a.w ? col(c.g, c.slot, 60) : c.a.w;
  const bool spans = c.g.span_at[c.slot] != no_span && c.sc.spans != nullptr;
  if (!incremental || !spans) {
    long_whole(c, count_columns, spans);
  } else {
    long_changes(c, count_columns);
  }
  background(l, c.a, count_columns);
  if (c.t.available == 0) return;
  i32 newest[series_most] = {};
  u32 row = track_row(c.t, 0), sum = 0;
  for (u32 s = 0; s < count; s++) {
    u32 v = cell(l.sources[s], row, 0);
    if (stacks(l)) sum = v = curve::stack_add(v, sum);
    newest[s] = curve::plot_y(mirrored(l), s, v, l.max, c.a.h, l.margin);
  }
  dots(c, newest);
}

void long_heat(Ctx& c) {
  const Look& l = c.look;
  u32 palette[201];
  for (u32 v = 0; v <= 200; v++) palette[v] = 0xFF000000u | curve::ramp(l.grid, l.ramp_middle, l.ramp_last, v, 200);
  fill_box(c.a, 0, 0, c.a.w, c.a.h, l.background);
  const u32 rows = l.rows == 0 ? 1 : l.rows;
  const i32 cell_h = c.a.h / static_cast<i32>(rows);
  const i32 drawn_h = cell_h - (c.g.lheight[c.slot] / static_cast<i32>(rows) > 3 ? 1 : 0);
  const i32 count_columns = col(c.g, c.slot, 60) < c.a.w ? col(c.g, c.slot, 60) : c.a.w;
  Source bytes = l.sources[0];
  bytes.width = 1;
  for (u32 r = 0; r < rows && drawn_h > 0; r++) {
    u32* run = c.a.row(static_cast<i32>(r) * cell_h);
    for (i32 x = 0; x < count_columns; x++) {
      u32 first_back, last_back, most = 0;
      if (!bucket(c.t, x, count_columns, &first_back, &last_back)) continue;
      for (u32 back = first_back; back <= last_back; back++) {
        u32 v = cell(bytes, track_row(c.t, back), r);
        most = v > most ? v : most;
      }
      run[x] = palette[most < 200 ? most : 200];
    }
    for (i32 y = 1; y < drawn_h; y++) __builtin_memcpy(c.a.row(static_cast<i32>(r) * cell_h + y), run, u64(count_columns) * 4);
  }
}

}  // namespace

u64 look_of(const Look& l) {
  u64 h = 0xCBF29CE484222325ull;
  h = mix(h, l.kind | u64{l.count} << 8 | u64{l.flags} << 16 | u64{l.dot_mask} << 20 | u64{l.rows} << 24);
  h = mix(h, pair(static_cast<u32>(l.margin), static_cast<u32>(l.thick)));
  h = mix(h, pair(static_cast<u32>(l.thin), l.max));
  h = mix(h, pair(l.background, l.grid));
  h = mix(h, pair(l.ramp_middle, l.ramp_last));
  for (u32 s = 0; s < series_most; s++) {
    const Source& src = l.sources[s];
    h = mix(h, __builtin_bit_cast(u64, src.first));
    h = mix(h, pair(src.row_stride, src.column_stride));
    h = mix(h, pair(l.alpha[s], src.width));
    h = mix(h, pair(l.fill[s], l.line[s]));
  }
  return h;
}

i32 scaled_sub(i32 v, u32 dpi) { return to_i32(i64{v} * draw::dpi_of(dpi) / 96); }

Look scaled_plot(u32 dpi, const Look& look) {
  Look l = look;
  l.margin = draw::to_px(look.margin, dpi);
  l.thick = scaled_sub(look.thick, dpi);
  l.thin = scaled_sub(look.thin, dpi);
  l.background = draw::bgra(look.background);
  l.grid = draw::bgra(look.grid);
  l.ramp_middle = draw::bgra(look.ramp_middle);
  l.ramp_last = draw::bgra(look.ramp_last);
  for (u32 s = 0; s < series_most; s++) {
    l.line[s] = draw::bgra(look.line[s]);
    l.fill[s] = draw::bgra(look.fill[s]);
    l.alpha[s] = look.alpha[s] < 255 ? look.alpha[s] : 255;
  }
  return l;
}

u32 scratch(Grid* g, mem::Arena* arena, i32 width, i32 height) {
  Scratch sc{};
  sc.width = static_cast<u32>(width < 1 ? 1 : width);
  sc.height = static_cast<u32>(height < 1 ? 1 : height);
  if (!raster::canvas_init(&sc.canvas, arena, canvas_columns, sc.height)) return 0;
  sc.spans = mem::alloc_of<i16>(arena, u64{series_most} * span_most * 2);
  if (!sc.spans) return 0;
  g->scratch = sc;
  return 1;
}

bool bucket(const Track& t, i32 c, i32 count, u32* first_back, u32* last_back) {
  const u32 rows = t.rows == 0 ? long_rows : t.rows;
  u32 s_first = layout::span_first(static_cast<u32>(c), static_cast<u32>(count), rows);
  u32 s_last = layout::span_last(static_cast<u32>(c), static_cast<u32>(count), rows);
  u32 from = rows - 1 - s_last, to = rows - 1 - s_first;
  if (t.available == 0 || from >= t.available) return false;
  *first_back = from;
  *last_back = to < t.available ? to : t.available - 1;
  return true;
}

namespace {

// Moves the slot's drawing px columns left: its kept columns end where the new ones start. Within the slot's room the
// drawing only slides right; at the room's end its kept columns are moved back to the canvas area's start.
void scroll(Grid* g, const draw::Sheet& sheet, u32 slot, i32 px) {
  const i32 w = g->width[slot], from = g->slide[slot] + px;
  if (px < w && from <= g->room[slot]) {
    g->slide[slot] = static_cast<i16>(from);
    return;
  }
  u32* start = sheet.pixels + u64(g->canvas_y[slot]) * sheet.stride + g->canvas_x[slot];
  for (i32 y = 0; px < w && y < g->height[slot]; y++) {
    u32* row = start + u64(y) * sheet.stride;
    __builtin_memmove(row, row + from, u64(w - px) * 4);
  }
  g->slide[slot] = 0;
}

}  // namespace

u32 sync_track(Grid* g, draw::Sheet* sheet, const Look& look, const Track& t) {
  const u32 slot = row_of(look.slot);
  if (!has_row(g->bound, slot) || !sheet || !sheet->pixels || !g->scratch.canvas.cells) return 0;
  if (sheet->stride < sheet->width) return 0;
  const i32 cx = g->canvas_x[slot], cy = g->canvas_y[slot], w = g->width[slot], h = g->height[slot];
  // The slot's area and its room must lie inside the sheet, and its height inside the coverage canvas.
  if (cx < 0 || cy < 0 || i64{cx} + canvas_width(*g, slot) > sheet->width || i64{cy} + h > sheet->height) return 0;
  if (u32(h) > g->scratch.height) return 0;
  const u64 hash = look_of(look);
  const u32 delta = t.total - g->totals[slot];
  const bool same = has_row(g->drawn, slot) && g->hashes[slot] == hash;
  if (same && delta == 0) return 0;
  u32 first = 0;
  const bool is_long = (look.flags & flag_long) != 0;
  if (same && delta < columns_live && !is_long && g->px_step[slot] != 0) {
    scroll(g, *sheet, slot, static_cast<i32>(delta * g->px_step[slot]));
    first = layout::redo_from(delta, g->step[slot], look.dot_mask != 0 ? 1 : 0);
  } else {
    g->slide[slot] = 0;
  }
  Area a{sheet->pixels + u64(cy) * sheet->stride + drawing_x(*g, slot), sheet->stride, w, h};
  const Look scaled = scaled_plot(g->dpi, look);
  Ctx c{*g, slot, a, scaled, g->scratch, t, first};
  if (is_long) {
    if (look.kind == kind_heat) long_heat(c);
    else long_area(c, same);
  } else if (look.kind == kind_heat) {
    heat(c);
  } else {
    area(c);
  }
  g->totals[slot] = t.total;
  g->hashes[slot] = hash;
  set_bit(g->drawn, slot, true);
  return 1;
}

u32 sync(Grid* g, draw::Sheet* sheet, const Look& look, const ring::Ring& r, u32 total) {
  return sync_track(g, sheet, look, track_of(r, total));
}

}  // namespace chart
