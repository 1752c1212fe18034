#include "drawing/cpu.h"

namespace cpu {

namespace {

typedef u8 u8x8 __attribute__((vector_size(8)));

u16x8 load2(const u32* pixels) {
  u8x8 bytes;
  __builtin_memcpy(&bytes, pixels, 8);
  return __builtin_convertvector(bytes, u16x8);
}

// Each pixel's alpha over its four channels.
u16x8 alphas(u16x8 v) { return __builtin_shufflevector(v, v, 3, 3, 3, 3, 7, 7, 7, 7); }

u64 bytes8(const u8* p) {
  u64 v;
  __builtin_memcpy(&v, p, 8);
  return v;
}

// Rows of one tile.
u32* row_of(const render::Renderer& r, u32* pixels, u32 y) { return pixels + u64{y} * r.target.stride; }

}  // namespace

i64 clamp(i64 v, i64 lo, i64 hi) { return v < lo ? lo : v > hi ? hi : v; }
i64 least(i64 a, i64 b) { return a < b ? a : b; }
i64 greatest(i64 a, i64 b) { return a > b ? a : b; }

u32 div255(u32 x) { return (x + 128 + ((x + 128) >> 8)) >> 8; }

u16x8 div255(u16x8 x) {
  x += 128;
  return (x + (x >> 8)) >> 8;
}

u16x8 paint_of(u32 colour) {
  u16 b = colour & 0xFF, g = (colour >> 8) & 0xFF, r = (colour >> 16) & 0xFF, a = colour >> 24;
  return u16x8{b, g, r, a, b, g, r, a};
}

u16x8 expand(const u8* coverage, u32 p) {
  u16 k0 = coverage[2 * p], k1 = coverage[2 * p + 1];
  return u16x8{k0, k0, k0, k0, k1, k1, k1, k1};
}

void pack(u16x8 v, u32* pixels) {
  // Values are at most 510; one above 255 becomes 0xFFFF before the cut to a byte.
  v |= 0 - (v >> 8);
  u8x8 bytes = __builtin_convertvector(v, u8x8);
  __builtin_memcpy(pixels, &bytes, 8);
}

u16x8 mix(u16x8 paint, u32 alpha, u16x8 k, u16x8 destination) {
  u16x8 keep = 255 - div255(k * static_cast<u16>(alpha));
  return div255(paint * k) + div255(destination * keep);
}

void blend(u32* row, const u8* coverage, u16x8 paint, u32 alpha) {
  for (u32 half = 0; half < 16; half += 8) {
    if (bytes8(coverage + half) == 0) continue;  // coverage 0 keeps the pixels exactly
    for (u32 p = half / 2; p < half / 2 + 4; ++p) {
      u32* at = row + 2 * p;
      pack(mix(paint, alpha, expand(coverage, p), load2(at)), at);
    }
  }
}

u32 over(u32 source, u32 destination) {
  u32 keep = 255 - (source >> 24), out = 0;
  for (u32 shift = 0; shift < 32; shift += 8) {
    u32 v = ((source >> shift) & 0xFF) + div255(((destination >> shift) & 0xFF) * keep);
    out |= (v > 255 ? 255 : v) << shift;
  }
  return out;
}

void over8(u32* destination, const u32* source) {
  for (u32 p = 0; p < 8; p += 2) {
    u16x8 s = load2(source + p);
    pack(s + div255(load2(destination + p) * (255 - alphas(s))), destination + p);
  }
}

void over_row(u32* destination, const u32* source) {
  over8(destination, source);
  over8(destination + 8, source + 8);
}

void fill(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item) {
  const render::Rect& q = r.rects[item - r.base[render::kind_rect]];
  const u32 alpha = q.colour >> 24;
  const i64 left = i64{tx} * 256, top = i64{ty} * 256;
  if (alpha == 255 && q.x0 <= left && q.x1 >= left + 4096 && q.y0 <= top && q.y1 >= top + 4096) {
    for (u32 y = 0; y < 16; ++y) {
      u32* row = row_of(r, pixels, y);
      for (u32 x = 0; x < 16; ++x) row[x] = q.colour;
    }
    return;
  }
  // Column coverage once per tile, row coverage per row.
  u16 columns[16];
  for (u32 i = 0; i < 16; ++i) {
    i64 x = (i64{tx} + r.lanes_i32[i]) * 256;
    i64 overlap = clamp(least(q.x1, x + 256) - greatest(q.x0, x), 0, 256);
    columns[i] = static_cast<u16>((overlap * 255 + 128) >> 8);
  }
  const u16x8 paint = paint_of(q.colour);
  const i64 y_end = least(i64{ty} + 16, (i64{q.y1} + 255) >> 8);
  for (i64 y = greatest(ty, q.y0 >> 8); y < y_end; ++y) {
    i64 overlap = least(q.y1, 256 * y + 256) - greatest(q.y0, 256 * y);
    u32 cy = static_cast<u32>((overlap * 255 + 128) >> 8);
    u8 coverage[16];
    for (u32 i = 0; i < 16; ++i) coverage[i] = static_cast<u8>(div255(columns[i] * cy));
    blend(row_of(r, pixels, static_cast<u32>(y - ty)), coverage, paint, alpha);
  }
}

void glyph(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item) {
  const render::Glyph& g = r.glyphs[item - r.base[render::kind_glyph]];
  const i64 first = clamp(greatest(g.pixel_x, g.clip.x0) - i64{tx}, 0, 16);
  const i64 end = clamp(least(i64{g.pixel_x} + g.width, g.clip.x1) - tx, 0, 16);
  u8x16 lanes;
  __builtin_memcpy(&lanes, r.lanes_u8, 16);
  const u8x16 inside = reinterpret_cast<u8x16>((lanes >= static_cast<u8>(first)) & (lanes < static_cast<u8>(end)));
  const u16x8 paint = paint_of(g.colour);
  const i64 y_end = least(least(i64{ty} + 16, i64{g.pixel_y} + g.height), g.clip.y1);
  // The atlas keeps 16 spare bytes before and after every row, so a tile may read a whole row of 16 from the
  // column where the tile starts, even when that lies left of the glyph.
  const u8* column = r.atlas.store + g.offset + (i64{tx} - g.pixel_x);
  for (i64 y = greatest(greatest(ty, g.pixel_y), g.clip.y0); y < y_end; ++y) {
    u8x16 coverage;
    __builtin_memcpy(&coverage, column + (y - g.pixel_y) * g.stride, 16);
    coverage &= inside;
    u8 bytes[16];
    __builtin_memcpy(bytes, &coverage, 16);
    blend(row_of(r, pixels, static_cast<u32>(y - ty)), bytes, paint, g.colour >> 24);
  }
}

void image(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item) {
  const render::ImageDraw& d = r.draws[item - r.base[render::kind_image]];
  const render::Image& im = r.images[d.image];
  const i64 first = clamp(greatest(d.x0, d.clip.x0) - i64{tx}, 0, 16);
  const i64 end = clamp(least(d.x1, d.clip.x1) - i64{tx}, 0, 16);
  const i64 w = i64{d.x1} - d.x0, h = i64{d.y1} - d.y0;
  // Products in 64 bits and sources kept inside the image: destinations can be far larger than the source.
  u64 columns[16];
  for (i64 j = first; j < end; ++j) {
    i64 offset = least(w - 1, greatest(0, tx + j - d.x0));
    columns[j] = static_cast<u64>(clamp(d.sx + d.sw * offset / w, 0, i64{im.width} - 1));
  }
  const i64 y_end = least(least(i64{ty} + 16, d.y1), d.clip.y1);
  for (i64 y = greatest(greatest(ty, d.y0), d.clip.y0); y < y_end; ++y) {
    u64 source_row = static_cast<u64>(clamp(d.sy + (y - d.y0) * d.sh / h, 0, i64{im.height} - 1));
    const u32* line = im.pixels + source_row * im.stride;
    u32 source[16] = {};
    for (i64 j = first; j < end; ++j) source[j] = line[columns[j]];
    over_row(row_of(r, pixels, static_cast<u32>(y - ty)), source);
  }
}

void tile(render::Renderer* r, u32 t) {
  const u32 tx = t % r->tile_columns * 16, ty = t / r->tile_columns * 16;
  u32* pixels = r->target.pixels + u64{ty} * r->target.stride + tx;
  for (u32 y = 0; y < 16; ++y) __builtin_memset(row_of(*r, pixels, y), 0, 64);
  render::TileWalk w;
  render::walk_start(*r, t, &w);
  for (u32 layer = render::walk_layer(*r, &w); layer != render::none; layer = render::walk_layer(*r, &w)) {
    const u32 kind = r->layer_kinds[layer];
    for (u32 item = render::walk_next(*r, &w, kind, layer); item != render::none;
         item = render::walk_next(*r, &w, kind, layer)) {
      if (kind == render::kind_rect) {
        fill(*r, pixels, tx, ty, item);
      } else if (kind == render::kind_glyph) {
        glyph(*r, pixels, tx, ty, item);
      } else {
        image(*r, pixels, tx, ty, item);
      }
    }
  }
}

void resolve(render::Renderer* r, u32 group, u32) {
  for (u32 t = r->group_bounds[group]; t < r->group_bounds[group + 1]; ++t)
    if (r->changed[t]) tile(r, t);
}

u32 draw(render::Renderer* r) {
  if (!r->ready) return 0;
  render::each(r, 9, r->group_count, resolve);
  render::commit(r);
  return 1;
}

}  // namespace cpu
