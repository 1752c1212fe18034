#pragma once
// The GDI road drawn in software, for systems without GDI: a back buffer in memory that takes fills, text in the
// fonts by role, pixel blocks and the icon, and that the drawing layer then presents whole to the window. Glyphs come
// from the program's own font parser and rasteriser with the own renderer's corrected coverage and blend and the pen
// on whole px, so a scene of fills, text and opaque images looks the same on both roads.
//
// Colours given here are 0x00BBGGRR; pixels are 0xFFRRGGBB, rows top-down. Memory comes from arenas the caller owns.
#include "base/mem.h"
#include "drawing/font.h"
#include "drawing/raster.h"

namespace soft {

inline constexpr i32 most_side = 16384;
inline constexpr u32 canvas_side = 256;  // the own renderer's glyph canvas: larger glyphs are drawn by neither road
inline constexpr u32 glyphs_most = 1024;  // glyphs kept drawn per font; others are drawn again at each use

struct Glyph {
  u32 id;
  u8 state;  // 0 free, 1 drawn, 2 cannot be drawn
  raster::GlyphBox box;
  u8* coverage;  // corrected coverage, box.width x box.height
};

// One role's font at one size, over a face that several roles may share.
struct Font {
  const font::Face* face;
  mem::Arena* arena;  // outline, canvas and kept glyphs
  font::Outline outline;
  raster::Canvas canvas;
  u32 px;
  i32 ascent, height;
  u8 gamma[256];
  u32 glyph_count;
  Glyph glyphs[glyphs_most];  // open addressing by glyph id
};

struct Back {
  i32 width, height;
  u32* pixels;
  mem::Arena arena;
};

// Sets the font up at a character height of px (1..2,048): 1, or 0 when the arena cannot give what it needs.
u32 font_init(Font* f, const font::Face* face, mem::Arena* arena, u32 px);
// Width and height in px of the units (width: the sum of whole-px advances); zeros for no font.
void text_extent(Font* f, const u16* units, u32 count, i32* width, i32* height);

// A back buffer of width x height (each cut to 1..16,384), cleared black: 1, or 0 when memory fails. A buffer of
// the same size is cleared and kept.
u32 back_size(Back* b, i32 width, i32 height);
void back_free(Back* b);

// A solid rectangle (right and bottom exclusive), cut to the buffer.
void fill(Back* b, i32 left, i32 top, i32 right, i32 bottom, u32 colorref);
// Text with its top-left corner at (x, y), clipped to the rectangle; advances, when not null, give each unit's
// advance in px.
void text(Back* b, Font* f, i32 x, i32 y, i32 clip_left, i32 clip_top, i32 clip_right, i32 clip_bottom, u32 colorref,
          const u16* units, u32 count, const i32* advances);
// A w x h block of a top-down 32-bit image at (x, y), replacing the pixels under it, cut to the buffer.
void blit(Back* b, i32 x, i32 y, i32 w, i32 h, const u32* pixels, u32 stride);
// An icon (straight alpha 0xAARRGGBB, width x height) stretched to side x side at (x, y), blended over the pixels.
void draw_icon(Back* b, const u32* icon, i32 width, i32 height, i32 x, i32 y, i32 side);

}  // namespace soft
