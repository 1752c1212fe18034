#include "drawing/chart.h"

#include "drawing/curve.h"

namespace chart {

namespace {

constexpr i32 side_most = 16385;  // px widths and heights stay below this

i32 clamp_to(i32 v, i32 lo, i32 hi) { return v < lo ? lo : v > hi ? hi : v; }
i16 to16(i64 v) { return static_cast<i16>(curve::clamp16(static_cast<i32>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v))); }
void set_bit(u64* bits, u32 i, bool on) {
  u64 m = u64{1} << (i & 63);
  bits[i >> 6] = on ? bits[i >> 6] | m : bits[i >> 6] & ~m;
}

// The next code point of UTF-8 text and its length; a malformed sequence is one byte of U+FFFD.
u32 decode(const u8* p, u64 left, u32* length) {
  u32 b = p[0];
  u32 need = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 4;
  *length = 1;
  if (need == 0) return b;
  if (need == 4 || need >= left) return 0xFFFD;
  u32 cp = b & (0x3F >> need);
  for (u32 k = 1; k <= need; k++) {
    if ((p[k] & 0xC0) != 0x80) return 0xFFFD;
    cp = cp << 6 | (p[k] & 0x3F);
  }
  constexpr u32 least[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < least[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0xFFFD;
  *length = need + 1;
  return cp;
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

u64 scratch_bytes(i32 width, i32 height) {
  return canvas_bytes(height) + u64(width < 1 ? 1 : width) * 61 + u64(height < 1 ? 1 : height) + 128;
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
    if (has_row(g->bound, i) && g->width[i] > most) most = g->width[i];
  }
  i32 shelf_y = 0, shelf_h = 0, used = 0;
  for (u32 i = 0; i < slots; i++) {
    if (!has_row(g->bound, i)) continue;
    if (used + g->width[i] > most) {
      shelf_y += shelf_h;
      shelf_h = 0;
      used = 0;
    }
    // A slot whose area would lie below what canvas positions can name stays unbound rather than overlapping.
    if (shelf_y + g->height[i] > INT16_MAX) {
      set_bit(g->bound, i, false);
      continue;
    }
    g->canvas_x[i] = static_cast<i16>(used);
    g->canvas_y[i] = static_cast<i16>(shelf_y);
    used += g->width[i];
    if (g->height[i] > shelf_h) shelf_h = g->height[i];
  }
  i32 h = shelf_y + shelf_h;
  return draw::Size{most, h < 1 ? 1 : h};
}

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

u32 track_row(const Track& t, u32 i) {
  u32 last = t.available == 0 ? 0 : t.available - 1;
  return ring::back_row(t.position, t.capacity, i < last ? i : last);
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
  draw::sheet_show(s, sheet, g.canvas_x[slot], g.canvas_y[slot], g.width[slot], g.height[slot], g.x[slot],
                   g.y[slot], write_through, keep_out, band_left, band_right, row_limit);
}

// ---- Text and rectangles

u32 units_of(mem::Bytes text, u16* out) {
  u32 n = 0;
  for (u64 at = 0; at < text.len;) {
    u32 length;
    u32 cp = decode(text.ptr + at, text.len - at, &length);
    u32 need = cp >= 0x10000 ? 2 : 1;
    if (n + need > text_most) break;
    if (need == 2) {
      out[n++] = static_cast<u16>(0xD800 + ((cp - 0x10000) >> 10));
      out[n++] = static_cast<u16>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out[n++] = static_cast<u16>(cp);
    }
    at += length;
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

}  // namespace chart
