#pragma once
// What both the sanitizer mutation test and the libFuzzer target do with one candidate font file: parse it and, when
// it parses, use its glyphs the way the renderer would (outline every glyph; measure, rasterise and store the
// printable ones at two sizes). Only crashes and sanitizer reports count as findings; the result codes are whatever
// the bytes deserve.
#include "drawing/atlas.h"
#include "drawing/font.h"
#include "drawing/raster.h"

namespace exercise {

// The arena is reset first; it should hold at least 4 MiB. Returns the parse code.
inline u32 font_bytes(const u8* data, u64 length, mem::Arena* arena) {
  mem::reset(arena);
  font::Face face;
  u32 code = font::parse(&face, data, length, arena);
  if (code != font::ok) return code;
  font::Outline outline;
  raster::Canvas canvas;
  atlas::Atlas store;
  u8 gamma[256];
  for (u32 c = 0; c < 256; ++c) gamma[c] = static_cast<u8>((c * (765 - c) + 255) / 510);
  if (!font::outline_init(&outline, arena, 4096, 512) || !raster::canvas_init(&canvas, arena, 256, 256) ||
      !atlas::init(&store, arena, 1 << 18))
    return code;
  for (u32 g = 0; g < face.glyph_count; ++g) {
    font::outline(face, g, &outline);
    font::advance(face, g);
    font::bearing(face, g);
  }
  const u32 far_code_points[] = {0xFFFF, 0x10000, 0x1F600, 0x10FFFF, 0xFFFFFFFF};
  for (u32 cp : far_code_points) font::glyph_of(face, cp);
  const u32 sizes[] = {12, 100};
  for (u32 px : sizes) {
    for (u32 cp = 0x20; cp < 0x7F; ++cp) {
      u32 glyph = font::glyph_of(face, cp);
      raster::GlyphBox box;
      if (raster::measure(face, glyph, px, &outline, &box) != font::ok) continue;
      if (!raster::draw(&canvas, outline, box)) continue;
      u32 fresh;
      u32 index = atlas::claim(&store, atlas::key(glyph, px, 0), &fresh);
      if (index == atlas::absent || !fresh || !atlas::reserve(&store, index, box.width, box.height)) continue;
      atlas::write(&store, index, box, canvas.coverage, gamma);
    }
  }
  return code;
}

}  // namespace exercise
