#include "drawing/cpu.h"

#include "base/bits.h"

namespace cpu {

using bits::clamp;
using bits::greatest;
using bits::least;

namespace {

typedef u32 u32x4 __attribute__((vector_size(16)));
typedef u16 u16x16 __attribute__((vector_size(32)));

const u8x16 zero{};

// Pixels 0-1 and 2-3 of four as 16-bit channels.
u16x8 low_pair(u8x16 v) {
  return reinterpret_cast<u16x8>(
      __builtin_shufflevector(v, zero, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23));
}
u16x8 high_pair(u8x16 v) {
  return reinterpret_cast<u16x8>(
      __builtin_shufflevector(v, zero, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
}

u8x16 load4(const u32* pixels) {
  u8x16 v;
  __builtin_memcpy(&v, pixels, 16);
  return v;
}

void store4(u32* pixels, u8x16 v) { __builtin_memcpy(pixels, &v, 16); }

// Each pixel's alpha over its four channels.
u16x8 alphas(u16x8 v) { return __builtin_shufflevector(v, v, 3, 3, 3, 3, 7, 7, 7, 7); }

u32 word(const u8* p) {
  u32 v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

// Rows of one tile.
u32* row_of(const render::Renderer& r, u32* pixels, u32 y) { return pixels + u64{y} * r.target.stride; }

// Source-over of four pixels.
void over4(u32* destination, const u32* source) {
  u8x16 s = load4(source), d = load4(destination);
  u16x8 sl = low_pair(s), sh = high_pair(s);
  u16x8 low = sl + div255(low_pair(d) * (255 - alphas(sl)));
  u16x8 high = sh + div255(high_pair(d) * (255 - alphas(sh)));
  store4(destination, pack(low, high));
}

}  // namespace

u32 div255(u32 x) { return (x + 128 + ((x + 128) >> 8)) >> 8; }

u16x8 div255(u16x8 x) {
  x += 128;
  return (x + (x >> 8)) >> 8;
}

u16x8 paint_of(u32 colour) { return low_pair(reinterpret_cast<u8x16>(u32x4{colour, colour, 0, 0})); }

// Two interleaves, which every target does in one instruction each.
u8x16 expand(u32 coverage) {
  u8x16 c = reinterpret_cast<u8x16>(u32x4{coverage, 0, 0, 0});
  u16x8 twice = reinterpret_cast<u16x8>(__builtin_shufflevector(c, c, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7));
  return reinterpret_cast<u8x16>(__builtin_shufflevector(twice, twice, 0, 0, 1, 1, 2, 2, 3, 3));
}

u8x16 pack(u16x8 low, u16x8 high) {
  // Channels are at most 510 here: one above 255 becomes 0xFFFF, whose low byte is 255.
  low |= 0 - (low >> 8);
  high |= 0 - (high >> 8);
  u16x16 both = __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return __builtin_convertvector(both, u8x16);
}

u16x8 mix(u16x8 paint, u32 alpha, u16x8 k, u16x8 destination) {
  u16x8 keep = 255 - div255(k * static_cast<u16>(alpha));
  return div255(paint * k) + div255(destination * keep);
}

void blend(u32* row, const u8* coverage, u32 colour) {
  const u32 alpha = colour >> 24;
  const u16x8 paint = paint_of(colour);
  // Groups of four pixels: no coverage keeps them exactly, full coverage of an opaque colour replaces them.
  for (u32 g = 0; g < 16; g += 4) {
    u32 k = word(coverage + g);
    if (k == 0) continue;
    u32* at = row + g;
    if (k == 0xFFFFFFFF && alpha == 255) {
      at[0] = at[1] = at[2] = at[3] = colour;
      continue;
    }
    u8x16 d = load4(at), spreads = expand(k);
    u16x8 low = mix(paint, alpha, low_pair(spreads), low_pair(d));
    u16x8 high = mix(paint, alpha, high_pair(spreads), high_pair(d));
    store4(at, pack(low, high));
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
  over4(destination, source);
  over4(destination + 4, source + 4);
}

void over_row(u32* destination, const u32* source) {
  over8(destination, source);
  over8(destination + 8, source + 8);
}

void fill(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item) {
  const render::Rect& q = r.rects[item - r.base[render::kind_rect]];
  const i64 left = i64{tx} * 256, top = i64{ty} * 256;
  if (q.colour >> 24 == 255 && q.x0 <= left && q.x1 >= left + 4096 && q.y0 <= top && q.y1 >= top + 4096) {
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
  const i64 y_end = least(i64{ty} + 16, (i64{q.y1} + 255) >> 8);
  for (i64 y = greatest(ty, q.y0 >> 8); y < y_end; ++y) {
    i64 overlap = least(q.y1, 256 * y + 256) - greatest(q.y0, 256 * y);
    u32 cy = static_cast<u32>((overlap * 255 + 128) >> 8);
    u8 coverage[16];
    for (u32 i = 0; i < 16; ++i) coverage[i] = static_cast<u8>(div255(columns[i] * cy));
    blend(row_of(r, pixels, static_cast<u32>(y - ty)), coverage, q.colour);
  }
}

void glyph(const render::Renderer& r, u32* pixels, u32 tx, u32 ty, u32 item) {
  const render::Glyph& g = r.glyphs[item - r.base[render::kind_glyph]];
  const i64 first = clamp(greatest(g.pixel_x, g.clip.x0) - i64{tx}, 0, 16);
  const i64 end = clamp(least(i64{g.pixel_x} + g.width, g.clip.x1) - tx, 0, 16);
  u8x16 lanes;
  __builtin_memcpy(&lanes, r.lanes_u8, 16);
  const u8x16 inside = reinterpret_cast<u8x16>((lanes >= static_cast<u8>(first)) & (lanes < static_cast<u8>(end)));
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
    blend(row_of(r, pixels, static_cast<u32>(y - ty)), bytes, g.colour);
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
    u32 alpha = 0xFF000000u;
    for (i64 j = first; j < end; ++j) {
      source[j] = line[columns[j]];
      alpha &= source[j];
    }
    // Opaque pixels (a chart sheet's, an icon's middle) replace what is under them: over them is the same copy.
    u32* row = row_of(r, pixels, static_cast<u32>(y - ty));
    if (alpha == 0xFF000000u) {
      for (i64 j = first; j < end; ++j) row[j] = source[j];
    } else {
      over_row(row, source);
    }
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
