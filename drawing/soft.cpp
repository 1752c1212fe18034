#include "drawing/soft.h"

#include "base/bits.h"
#include "drawing/cpu.h"
#include "drawing/render.h"

namespace soft {
namespace {

using bits::greatest;
using bits::least;

u32 pixel_of(u32 colorref) {
  return 0xFF000000u | (colorref & 0xFF) << 16 | (colorref & 0xFF00) | (colorref >> 16 & 0xFF);
}

// ((value x px x 512 + upem) div (2 x upem) + 128) >> 8: font units to whole px, rounded.
i32 whole_px(i64 value, u32 px, u32 upem) {
  i64 scaled = raster::floor_div(value * px * 512 + upem, 2 * i64{upem});
  return static_cast<i32>((scaled + 128) >> 8);
}

// Whole-px advance of a glyph: the advance in 1/256 px rounded, then rounded to px.
i32 advance_px(const Font& f, u32 glyph) {
  u64 v = (u64{font::advance(*f.face, glyph)} * f.px * 256 + f.face->units_per_em / 2) / f.face->units_per_em;
  return static_cast<i32>((v + 128) >> 8);
}

// One unit or a surrogate pair: the code point and the units it takes.
u32 code_point(const u16* units, u32 count, u32 i, u32* step) {
  u32 hi = units[i], lo = i + 1 < count ? units[i + 1] : 0;
  *step = 1;
  if (hi >= 0xD800 && hi <= 0xDBFF && lo >= 0xDC00 && lo <= 0xDFFF) {
    *step = 2;
    return (hi - 0xD800) * 1024 + (lo - 0xDC00) + 0x10000;
  }
  return hi;
}

// Draws the glyph into the canvas: its box, 1 when its coverage is in the canvas.
bool draw_glyph(Font* f, u32 glyph, raster::GlyphBox* box) {
  return raster::measure(*f->face, glyph, f->px, &f->outline, box) == font::ok && box->width <= canvas_side &&
         box->height <= canvas_side && raster::draw(&f->canvas, f->outline, *box);
}

// The glyph's corrected coverage: kept when there is room, else in `scratch` (the canvas, valid until the next
// glyph). Null when the glyph cannot be drawn.
const u8* coverage_of(Font* f, u32 glyph, raster::GlyphBox* box) {
  u32 slot = (glyph * 2654435761u) % glyphs_most;
  for (u32 probe = 0; probe < glyphs_most; ++probe, slot = (slot + 1) % glyphs_most) {
    Glyph& g = f->glyphs[slot];
    if (g.state != 0 && g.id == glyph) {
      *box = g.box;
      return g.state == 1 ? g.coverage : nullptr;
    }
    if (g.state == 0) break;
  }
  if (!draw_glyph(f, glyph, box)) {
    if (f->glyph_count < glyphs_most / 2 && f->glyphs[slot].state == 0) {
      f->glyphs[slot] = Glyph{glyph, 2, *box, nullptr};
      f->glyph_count += 1;
    }
    return nullptr;
  }
  u8* canvas = f->canvas.coverage;
  const u64 n = u64{box->width} * box->height;
  for (u64 i = 0; i < n; ++i) canvas[i] = f->gamma[canvas[i]];
  // Kept while the table is at most half full and the arena has room.
  if (f->glyph_count < glyphs_most / 2 && f->glyphs[slot].state == 0) {
    u8* kept = mem::alloc(f->arena, n == 0 ? 1 : n, 1).ptr;
    if (kept) {
      __builtin_memcpy(kept, canvas, n);
      f->glyphs[slot] = Glyph{glyph, 1, *box, kept};
      f->glyph_count += 1;
      return kept;
    }
  }
  return canvas;
}

}  // namespace

u32 font_init(Font* f, const font::Face* face, mem::Arena* arena, u32 px) {
  if (!face || face->units_per_em == 0 || px < 1 || px > raster::largest_px) return 0;
  f->face = face;
  f->arena = arena;
  f->px = px;
  f->glyph_count = 0;
  for (Glyph& g : f->glyphs) g = Glyph{};
  if (!font::outline_init(&f->outline, arena, 4096, 512) ||
      !raster::canvas_init(&f->canvas, arena, canvas_side, canvas_side))
    return 0;
  for (u32 c = 0; c < 256; ++c) f->gamma[c] = render::gamma_level(c);
  const u32 upem = face->units_per_em;
  f->ascent = whole_px(face->ascender, px, upem);
  f->height = whole_px(i64{face->ascender} - face->descender, px, upem);
  return 1;
}

void text_extent(Font* f, const u16* units, u32 count, i32* width, i32* height) {
  *width = 0;
  *height = f ? f->height : 0;
  if (!f || !units) return;
  for (u32 i = 0, step = 1; i < count; i += step)
    *width += advance_px(*f, font::glyph_of(*f->face, code_point(units, count, i, &step)));
}

u32 back_size(Back* b, i32 width, i32 height) {
  width = static_cast<i32>(least(greatest(width, 1), most_side));
  height = static_cast<i32>(least(greatest(height, 1), most_side));
  const u64 bytes = u64(width) * u64(height) * 4;
  if (!b->pixels || b->arena.capacity < bytes) {
    back_free(b);
    if (!mem::arena_init(&b->arena, bytes)) return 0;
    b->pixels = mem::alloc_of<u32>(&b->arena, u64(width) * u64(height));
    if (!b->pixels) {
      back_free(b);
      return 0;
    }
  }
  b->width = width;
  b->height = height;
  for (u64 i = 0; i < u64(width) * u64(height); ++i) b->pixels[i] = 0xFF000000u;
  return 1;
}

void back_free(Back* b) {
  if (b->arena.capacity) mem::release(&b->arena);
  *b = Back{};
}

void fill(Back* b, i32 left, i32 top, i32 right, i32 bottom, u32 colorref) {
  if (!b->pixels) return;
  const u32 p = pixel_of(colorref);
  for (i64 y = greatest(top, 0); y < least(bottom, b->height); ++y)
    for (i64 x = greatest(left, 0); x < least(right, b->width); ++x) b->pixels[u64(y) * b->width + x] = p;
}

void text(Back* b, Font* f, i32 x, i32 y, i32 clip_left, i32 clip_top, i32 clip_right, i32 clip_bottom, u32 colorref,
          const u16* units, u32 count, const i32* advances) {
  if (!b->pixels || !f || !units) return;
  const i64 cx0 = greatest(clip_left, 0), cy0 = greatest(clip_top, 0);
  const i64 cx1 = least(clip_right, b->width), cy1 = least(clip_bottom, b->height);
  const u32 colour = pixel_of(colorref);
  const i64 baseline = i64{y} + f->ascent;
  i64 pen = x;
  for (u32 i = 0, step = 1; i < count; i += step) {
    const u32 glyph = font::glyph_of(*f->face, code_point(units, count, i, &step));
    raster::GlyphBox box{};
    if (const u8* coverage = coverage_of(f, glyph, &box)) {
      const i64 gx = pen + box.left, gy = baseline + box.top;
      for (i64 row = greatest(gy, cy0); row < least(gy + box.height, cy1); ++row)
        for (i64 col = greatest(gx, cx0); col < least(gx + box.width, cx1); ++col) {
          const u32 k = coverage[u64(row - gy) * box.width + u64(col - gx)];
          if (k == 0) continue;
          u32& d = b->pixels[u64(row) * b->width + col];
          const u32 keep = 255 - cpu::div255(k * 255);
          u32 out = 0;
          for (u32 s = 0; s < 32; s += 8) {
            const u32 v = cpu::div255(((colour >> s) & 0xFF) * k) + cpu::div255(((d >> s) & 0xFF) * keep);
            out |= (v > 255 ? 255 : v) << s;
          }
          d = out;
        }
    }
    if (advances) {
      pen += advances[i] + (step == 2 && i + 1 < count ? advances[i + 1] : 0);
    } else {
      pen += advance_px(*f, glyph);
    }
  }
}

void blit(Back* b, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride) {
  if (!b->pixels || !pixels || w <= 0 || h <= 0) return;
  const i64 x0 = greatest(x, 0), y0 = greatest(y, 0);
  const i64 x1 = least(i64{x} + w, b->width), y1 = least(i64{y} + h, b->height);
  if (x0 >= x1) return;
  for (i64 row = y0; row < y1; ++row)
    __builtin_memcpy(&b->pixels[u64(row) * b->width + x0], pixels + u64(row - y) * stride + (x0 - x),
                     u64(x1 - x0) * 4);
}

void draw_icon(Back* b, const u32* icon, i32 width, i32 height, i32 x, i32 y, i32 side) {
  if (!b->pixels || !icon || width <= 0 || height <= 0 || side <= 0) return;
  for (i64 row = greatest(y, 0); row < least(i64{y} + side, b->height); ++row)
    for (i64 col = greatest(x, 0); col < least(i64{x} + side, b->width); ++col) {
      const u64 sx = u64(width) * u64(col - x) / u64(side), sy = u64(height) * u64(row - y) / u64(side);
      const u32 p = icon[sy * u64(width) + sx], a = p >> 24;
      u32 pre = p & 0xFF000000u;
      for (u32 s = 0; s < 24; s += 8) pre |= cpu::div255(((p >> s) & 0xFF) * a) << s;
      u32& d = b->pixels[u64(row) * b->width + col];
      d = cpu::over(pre, d);
    }
}

}  // namespace soft
