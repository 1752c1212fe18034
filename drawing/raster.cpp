#include "drawing/raster.h"

#include "base/bits.h"

namespace raster {

namespace {

i64 absolute(i64 v) { return v < 0 ? -v : v; }
using bits::greatest;
using bits::least;

// floor(base + k * step) / den for k = 0, 1, 2...: a quotient and a remainder moved by one addition per step, so
// the walk along an edge divides only when it starts.
struct Walk {
  i64 quotient, rest, step_quotient, step_rest, den;
};

Walk walk_start(i64 numerator, i64 step, i64 den) {
  Walk w;
  w.den = den;
  w.quotient = divide_floor(numerator, den, &w.rest);
  w.step_quotient = divide_floor(step, den, &w.step_rest);
  return w;
}

// value + rest/den += add + add_rest/den, with both rests in 0..den-1.
void add_carry(i64* value, i64* rest, i64 add, i64 add_rest, i64 den) {
  *value += add;
  *rest += add_rest;
  if (*rest >= den) {
    ++*value;
    *rest -= den;
  }
}

void walk_next(Walk* w) { add_carry(&w->quotient, &w->rest, w->step_quotient, w->step_rest, w->den); }

// One piece of an edge inside cell row r between two column boundaries: its area to the right goes to its column,
// the rest of its cover to the next one.
void piece(Canvas* c, i64 r, i64 xe, i64 ye, i64 xx, i64 yx, i64 d) {
  i64 h = yx - ye;
  i64 column = least(xe, xx) >> 8;
  i64 q = xe + xx - 512 * column;
  i64* cell = c->cells + r * c->stride + column;
  cell[0] += d * h * (512 - q);
  cell[1] += d * h * q;
}

// A downward edge (ya < yb) wholly inside the canvas; d is +1 or -1 for its original direction.
void accumulate(Canvas* c, i64 xa, i64 ya, i64 xb, i64 yb, i64 d) {
  i64 dy = yb - ya;
  i64 s = xb < xa ? -1 : 1;
  i64 dx = absolute(xb - xa);
  i64 first_row = ya >> 8, last_row = (yb - 1) >> 8;
  auto before = [s](i64 a, i64 b) { return s > 0 ? a < b : a > b; };
  // Where the edge crosses the row boundaries below first_row: xa + s * floor(dx * (Y - ya) / dy).
  Walk rows{};
  if (first_row < last_row) rows = walk_start(dx * (256 * (first_row + 1) - ya), dx * 256, dy);
  // Where it crosses the column boundaries X after xa in its direction: ya + floor(dy * |X - xa| / dx). Most short
  // edges cross neither, and then divide nothing.
  i64 cut_x = s > 0 ? ((xa >> 8) + 1) * 256 : ((xa - 1) >> 8) * 256;
  Walk cols{};
  if (before(cut_x, xb)) cols = walk_start(dy * absolute(cut_x - xa), dy * 256, dx);

  i64 x_in = xa, y_in = ya;
  for (i64 r = first_row; r <= last_row; ++r) {
    i64 x_out = xb, y_out = yb;
    if (r < last_row) {
      x_out = xa + s * rows.quotient;
      y_out = 256 * (r + 1);
      walk_next(&rows);
    }
    // A boundary that the previous row ended on is no cut in this row either.
    if (dx > 0 && cut_x == x_in) {
      cut_x += 256 * s;
      walk_next(&cols);
    }
    i64 x = x_in, y = y_in;
    while (dx > 0 && before(cut_x, x_out)) {
      i64 y_cut = ya + cols.quotient;
      piece(c, r, x, y, cut_x, y_cut, d);
      x = cut_x;
      y = y_cut;
      cut_x += 256 * s;
      walk_next(&cols);
    }
    piece(c, r, x, y, x_out, y_out, d);
    x_in = x_out;
    y_in = y_out;
  }
}

// The other coordinate where the segment (a0, b0)-(a1, b1) reaches a = at, rounded down; a0 != a1.
i64 cross(i64 a0, i64 b0, i64 a1, i64 b1, i64 at) {
  __extension__ __int128 num = static_cast<__int128>(b1 - b0) * (at - a0);
  __extension__ __int128 den = a1 - a0;
  if (den < 0) {
    num = -num;
    den = -den;
  }
  __extension__ __int128 q = num / den;
  if (num % den < 0) --q;
  return b0 + static_cast<i64>(q);
}

}  // namespace

i64 floor_div(i64 a, i64 b) {
  i64 rest;
  return divide_floor(a, b, &rest);
}

i64 divide_floor(i64 a, i64 b, i64* remainder) {
  i64 q = a / b, r = a % b;
  if (r < 0) {
    q--;
    r += b;
  }
  *remainder = r;
  return q;
}

i64 scale_units(i64 v, u32 px, u32 units_per_em) {
  return floor_div(v * px * 512 + units_per_em, 2 * static_cast<i64>(units_per_em));
}

u32 steps(i64 d) {
  for (u32 i = 1; i < 64; ++i)
    if (32 * static_cast<i64>(i) * i >= d) return i;
  return 64;
}

Stepper curve_start(i64 p0, i64 p1, i64 p2, u32 n) {
  Stepper s;
  i64 nn = static_cast<i64>(n) * n;
  i64 a = p0 - 2 * p1 + p2;
  s.denominator = 2 * nn;
  s.value = p0;
  s.value_rest = nn;  // the value starts half a unit up, so every point is rounded half up
  s.first = divide_floor(2 * a + 4 * static_cast<i64>(n) * (p1 - p0), s.denominator, &s.first_rest);
  s.second = divide_floor(4 * a, s.denominator, &s.second_rest);
  return s;
}

void curve_step(Stepper* s) {
  add_carry(&s->value, &s->value_rest, s->first, s->first_rest, s->denominator);
  add_carry(&s->first, &s->first_rest, s->second, s->second_rest, s->denominator);
}

u32 canvas_init(Canvas* canvas, mem::Arena* arena, u32 max_width, u32 max_height) {
  *canvas = Canvas{};
  if (max_width == 0 || max_height == 0 || max_width > largest_side || max_height > largest_side) return 0;
  u64 cells = static_cast<u64>(max_height) * (max_width + 2);
  i64* cell_array = reinterpret_cast<i64*>(mem::alloc(arena, cells * 8, 64).ptr);
  u8* coverage = mem::alloc(arena, static_cast<u64>(max_width) * max_height, 64).ptr;
  if (!cell_array || !coverage) return 0;
  mem::fill(mem::Slice{reinterpret_cast<u8*>(cell_array), cells * 8}, 0);
  canvas->cells = cell_array;
  canvas->coverage = coverage;
  canvas->max_width = max_width;
  canvas->max_height = max_height;
  return 1;
}

u32 begin(Canvas* canvas, u32 width, u32 height) {
  if (width > canvas->max_width || height > canvas->max_height) return 0;
  canvas->width = width;
  canvas->height = height;
  canvas->stride = width + 2;
  return 1;
}

void line(Canvas* c, i32 x0, i32 y0, i32 x1, i32 y1) {
  if (y0 == y1) return;
  i64 d = 1;
  i64 ux = x0, uy = y0, lx = x1, ly = y1;
  if (ly < uy) {
    ux = x1, uy = y1, lx = x0, ly = y0;
    d = -1;
  }
  const i64 w = static_cast<i64>(c->width) * 256, h = static_cast<i64>(c->height) * 256;
  if (ly <= 0 || uy >= h) return;
  // Cut at the top and bottom borders, from the original end points.
  i64 top_x = uy < 0 ? cross(uy, ux, ly, lx, 0) : ux;
  i64 bottom_x = ly > h ? cross(uy, ux, ly, lx, h) : lx;
  uy = greatest(uy, 0);
  ly = least(ly, h);
  ux = top_x;
  lx = bottom_x;
  // Split where the edge crosses the left or right border; each part then lies on one side and is projected.
  i64 ys[4] = {uy, 0, 0, ly};
  i64 xs[4] = {ux, 0, 0, lx};
  u32 n = 1;
  const i64 borders[2] = {0, w};
  for (i64 border : borders) {
    if ((ux < border && lx > border) || (ux > border && lx < border)) {
      ys[n] = cross(ux, uy, lx, ly, border);
      xs[n] = border;
      n++;
    }
  }
  if (n == 3 && ys[2] < ys[1]) {
    i64 t = ys[1];
    ys[1] = ys[2], ys[2] = t;
    t = xs[1];
    xs[1] = xs[2], xs[2] = t;
  }
  ys[n] = ly;
  xs[n] = lx;
  for (u32 i = 0; i < n; ++i) {
    if (ys[i + 1] == ys[i]) continue;
    i64 xa = least(greatest(xs[i], 0), w), xb = least(greatest(xs[i + 1], 0), w);
    accumulate(c, xa, ys[i], xb, ys[i + 1], d);
  }
}

void quad(Canvas* c, i32 x0, i32 y0, i32 cx, i32 cy, i32 x1, i32 y1) {
  i64 dd = absolute(static_cast<i64>(x0) - 2 * static_cast<i64>(cx) + x1) +
           absolute(static_cast<i64>(y0) - 2 * static_cast<i64>(cy) + y1);
  u32 n = steps(dd);
  if (n == 1) {
    line(c, x0, y0, x1, y1);
    return;
  }
  Stepper sx = curve_start(x0, cx, x1, n), sy = curve_start(y0, cy, y1, n);
  i32 px = x0, py = y0;
  for (u32 k = 0; k < n; ++k) {
    curve_step(&sx);
    curve_step(&sy);
    line(c, px, py, static_cast<i32>(sx.value), static_cast<i32>(sy.value));
    px = static_cast<i32>(sx.value);
    py = static_cast<i32>(sy.value);
  }
}

void finish(Canvas* c) {
  const u32 width = c->width;
  for (u32 r = 0; r < c->height; ++r) {
    i64* cells = c->cells + static_cast<u64>(r) * c->stride;
    u8* out = c->coverage + static_cast<u64>(r) * width;
    i64 sum = 0;
    u32 x = 0;
    // Blocks of 16: the running sums first, then the coverage of the whole block at once.
    for (; x + 16 <= width; x += 16) {
      i64 sums[16];
      for (u32 k = 0; k < 16; ++k) {
        sum += cells[x + k];
        sums[k] = sum;
        cells[x + k] = 0;
      }
      for (u32 k = 0; k < 16; ++k) {
        i64 a = least(absolute(sums[k]), full_cover);
        out[x + k] = static_cast<u8>((a * 255 + 65536) >> 17);
      }
    }
    for (; x < width; ++x) {
      sum += cells[x];
      cells[x] = 0;
      out[x] = static_cast<u8>((least(absolute(sum), full_cover) * 255 + 65536) >> 17);
    }
    cells[width] = 0;
    cells[width + 1] = 0;
  }
}

static i32 midpoint(i32 a, i32 b) { return static_cast<i32>((static_cast<i64>(a) + b) >> 1); }

void contour(Canvas* c, const font::Outline& o, u32 first, u32 last) {
  if (last <= first || last >= o.point_count) return;
  i32 sx, sy;
  if (o.flags[first]) {
    sx = o.x[first], sy = o.y[first];
  } else if (o.flags[last]) {
    sx = o.x[last], sy = o.y[last];
  } else {
    sx = midpoint(o.x[first], o.x[last]), sy = midpoint(o.y[first], o.y[last]);
  }
  i32 x = sx, y = sy, cx = 0, cy = 0;
  bool pending = false;
  for (u32 i = first; i <= last; ++i) {
    i32 px = o.x[i], py = o.y[i];
    if (o.flags[i]) {
      if (pending) {
        quad(c, x, y, cx, cy, px, py);
      } else {
        line(c, x, y, px, py);
      }
      x = px, y = py;
      pending = false;
    } else if (pending) {
      i32 mx = midpoint(cx, px), my = midpoint(cy, py);
      quad(c, x, y, cx, cy, mx, my);
      x = mx, y = my;
      cx = px, cy = py;
    } else {
      cx = px, cy = py;
      pending = true;
    }
  }
  if (pending) {
    quad(c, x, y, cx, cy, sx, sy);
  } else {
    line(c, x, y, sx, sy);
  }
}

u32 draw(Canvas* c, const font::Outline& o, const GlyphBox& box) {
  if (!begin(c, box.width, box.height)) return 0;
  u32 first = 0;
  for (u32 i = 0; i < o.contour_count; ++i) {
    u32 last = o.ends[i];
    contour(c, o, first, last);
    first = last + 1;
  }
  finish(c);
  return 1;
}

u32 measure(const font::Face& face, u32 glyph, u32 px, font::Outline* o, GlyphBox* box) {
  *box = GlyphBox{};
  if (px == 0 || px > largest_px) return font::too_long;
  u32 code = font::outline(face, glyph, o);
  if (code != font::ok) return code;
  const u32 em = face.units_per_em;
  box->advance = static_cast<i32>(scale_units(font::advance(face, glyph), px, em));
  if (o->point_count == 0) return font::ok;
  // The scaled points are kept as they are found; they may wrap in 32 bits, but only for boxes refused below.
  i64 min_x = INT64_MAX, min_y = INT64_MAX, max_x = INT64_MIN, max_y = INT64_MIN;
  for (u32 i = 0; i < o->point_count; ++i) {
    i64 x = scale_units(o->x[i], px, em), y = -scale_units(o->y[i], px, em);
    min_x = least(min_x, x), max_x = greatest(max_x, x);
    min_y = least(min_y, y), max_y = greatest(max_y, y);
    o->x[i] = static_cast<i32>(x);
    o->y[i] = static_cast<i32>(y);
  }
  i64 left = floor_div(min_x, 256), top = floor_div(min_y, 256);
  i64 width = -floor_div(-max_x, 256) - left, height = -floor_div(-max_y, 256) - top;
  if (width > largest_side || height > largest_side) return font::too_long;
  if (min_x < -8388352 || min_x >= 8388608 || min_y < -8388352 || min_y >= 8388608) return font::too_long;
  for (u32 i = 0; i < o->point_count; ++i) {
    o->x[i] = static_cast<i32>(o->x[i] - left * 256);
    o->y[i] = static_cast<i32>(o->y[i] - top * 256);
  }
  box->width = static_cast<u16>(width);
  box->height = static_cast<u16>(height);
  box->left = static_cast<i16>(left);
  box->top = static_cast<i16>(top);
  return font::ok;
}

}  // namespace raster
