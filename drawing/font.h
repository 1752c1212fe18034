#pragma once
// TrueType fonts read by the program itself: the sfnt table directory, the code-point map (formats 4 and 12),
// horizontal metrics and quadratic glyph outlines (simple and composite) in font units. Font files are untrusted:
// every read goes through a bounded reader, and every offset sum is formed in 64 bits so that it cannot wrap.
// Hinting, kerning, CFF outlines and every other table are ignored.
#include "base/mem.h"

namespace font {

// Result codes of font::parse and font::outline.
enum : u32 {
  ok = 0,
  too_short = 1,          // file shorter than 12 bytes
  bad_directory = 2,      // not a TrueType sfnt, or a table record past the end of the file
  missing_table = 3,      // one of the seven required tables is absent
  table_past_end = 4,     // a required table runs past the end of the file
  bad_head = 5,
  bad_hhea = 6,
  bad_maxp = 7,
  bad_hmtx = 8,
  bad_loca = 9,
  bad_cmap = 10,
  no_memory = 11,         // the arena cannot supply an array
  bad_glyph = 12,
  too_deep = 13,          // composite nesting deeper than 8
  outline_full = 14,      // the outline's point or contour capacity is exceeded
  too_long = 15,          // file longer than 0x7FFFFFFF bytes; the rasteriser also uses it for a bad size or box
  too_many_components = 17,
};
// A fixed English text for a result code ("" for an unknown code).
mem::Bytes code_text(u32 code);

// A face: the file bytes (referenced, not copied; the caller keeps them alive) and what was read from them.
// Zeroed when parsing fails.
struct Face {
  const u8* bytes;
  u64 length;
  u32 glyph_count;       // maxp
  u32 units_per_em;      // head, 16..16384
  u32 long_metrics;      // hhea: number of long horizontal metrics, 1..glyph count
  u32 loca_format;       // 0 = 16-bit offsets halved, 1 = 32-bit offsets
  i32 ascender, descender, line_gap;
  u64 glyf_offset, glyf_length;
  u64 cmap_end;          // every read through the code-point map stays below this file offset
  u32* offsets;          // glyph count + 1 glyph offsets relative to glyf
  u16* advances;         // glyph count advance widths
  i16* bearings;         // glyph count left side bearings
  // Code-point ranges sorted by their last code point. position is the file offset of the range's first glyph-id
  // word, 0 when the range maps by delta alone.
  u32* range_first;
  u32* range_last;
  u32* range_delta;
  u32* range_position;
  u32 range_count;
  u32 glyph_mask;        // 0xFFFF for a format 4 map, 0xFFFFFFFF for a format 12 map
};

// 2.14 fixed-point matrix (0x4000 = 1.0) and an offset in font units:
// x' = ((x*m0 + y*m2 + 8192) >> 14) + dx, y' = ((x*m1 + y*m3 + 8192) >> 14) + dy.
struct Transform {
  i32 m0, m1, m2, m3;
  i32 dx, dy;
};
Transform identity();
i32 apply_x(const Transform& t, i32 x, i32 y);
i32 apply_y(const Transform& t, i32 x, i32 y);
// The transform of a component (local) placed inside its parent: parent applied after local.
Transform compose(const Transform& parent, const Transform& local);

// A glyph outline in font units (after font::outline) or in 1/256 px (after raster::measure). Owned by its user.
struct Outline {
  i32* x;
  i32* y;
  u8* flags;             // 1 on the curve, 0 off the curve
  u16* ends;             // absolute index of each contour's last point
  u32 point_capacity, contour_capacity;
  u32 point_count, contour_count, component_count;
};

// 1 when the arrays were taken from the arena; 0 for a point capacity of 0 or above 65,535, a contour capacity of 0,
// or a full arena.
u32 outline_init(Outline* outline, mem::Arena* arena, u32 point_capacity, u32 contour_capacity);

// Reads the font into the face; arrays come from the arena. On failure the face is zeroed.
u32 parse(Face* face, const u8* bytes, u64 length, mem::Arena* arena);
// Glyph id of a code point, 0 when unmapped.
u32 glyph_of(const Face& face, u32 code_point);
// Advance width and left side bearing in font units; 0 for a glyph id not below the glyph count.
u32 advance(const Face& face, u32 glyph);
i32 bearing(const Face& face, u32 glyph);
// Empties the outline and appends the glyph untransformed.
u32 outline(const Face& face, u32 glyph, Outline* outline);

// ---- The steps below are what parse and outline are made of.

// A bounded big-endian reader over the bytes below end. A read that would pass end yields 0 and sets bad, which the
// caller tests after its loop.
struct Reader {
  const u8* bytes;
  u64 end;
  u32 bad;
};
u32 be8(Reader* r, u64 at);
u32 be16(Reader* r, u64 at);
u32 be32(Reader* r, u64 at);
i32 s16(Reader* r, u64 at);
i32 s8(Reader* r, u64 at);

// Where a table lies in the file.
struct Table {
  u64 offset, length;
};
// The tables the parser reads, by font::table_slot.
enum : u32 { slot_cmap, slot_head, slot_hhea, slot_hmtx, slot_maxp, slot_loca, slot_glyf, slot_other };
struct Tables {
  Table at[slot_other];
  u32 found;  // bit per slot
};
u32 table_slot(u32 tag);

u32 parse_tables(Face* face, const u8* bytes, u64 length, mem::Arena* arena);
u32 read_head(Face* face, const Table& head);
u32 read_hhea(Face* face, const Table& hhea);
u32 read_maxp(Face* face, const Table& maxp);
u32 read_hmtx(Face* face, const Table& hmtx, mem::Arena* arena);
u32 read_loca(Face* face, const Table& loca, mem::Arena* arena);
u32 read_cmap(Face* face, const Table& cmap, mem::Arena* arena);
// 2 for a usable Unicode subtable of format 12, 1 for format 4, else 0.
u32 unicode_score(u32 platform, u32 encoding, u32 format);
u32 read_segments(Face* face, u64 subtable, mem::Arena* arena);
u32 read_groups(Face* face, u64 subtable, mem::Arena* arena);
// Takes the four range arrays of count entries; 0 when the arena is full.
u32 columns(Face* face, mem::Arena* arena, u32 count);
// Index of the first range whose last code point is not below the code point, or count.
u32 first_not_below(const u32* last, u32 count, u32 code_point);

u32* alloc_u32(mem::Arena* arena, u64 count);
u16* alloc_u16(mem::Arena* arena, u64 count);
i16* alloc_i16(mem::Arena* arena, u64 count);
i32* alloc_i32(mem::Arena* arena, u64 count);

u32 add_glyph(const Face& face, u32 glyph, const Transform& transform, u32 depth, Outline* outline);
u32 simple(Reader* glyph, u64 start, i32 contours, const Transform& transform, Outline* outline);
u32 composite(const Face& face, Reader* glyph, u64 start, const Transform& transform, u32 depth, Outline* outline);

}  // namespace font
