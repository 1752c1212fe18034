#pragma once
// What both the sanitizer mutation test and the libFuzzer target do with one candidate font file: parse it and, when
// it parses, use every glyph the way the renderer would. Only crashes and sanitizer reports count as findings; the
// result codes are whatever the bytes deserve.
#include "drawing/font.h"

namespace exercise {

// The arena is reset first; it should hold a few MiB. Returns the parse code.
inline u32 font_bytes(const u8* data, u64 length, mem::Arena* arena) {
  mem::reset(arena);
  font::Face face;
  u32 code = font::parse(&face, data, length, arena);
  if (code != font::ok) return code;
  font::Outline outline;
  if (!font::outline_init(&outline, arena, 4096, 512)) return code;
  for (u32 g = 0; g < face.glyph_count; ++g) {
    font::outline(face, g, &outline);
    font::advance(face, g);
    font::bearing(face, g);
  }
  for (u32 cp = 0; cp < 0x300; ++cp) font::glyph_of(face, cp);
  for (u32 cp : {0xFFFFu, 0x10000u, 0x1F600u, 0x10FFFFu, 0xFFFFFFFFu}) font::glyph_of(face, cp);
  return code;
}

}  // namespace exercise
