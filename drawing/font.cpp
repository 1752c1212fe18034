#include "drawing/font.h"

namespace font {

namespace {

constexpr u32 tag_true = 0x74727565;  // "true", the old Apple name for a TrueType sfnt
constexpr u32 max_depth = 8;
constexpr u32 max_components = 1024;

// C++20 narrowing is modular, so hostile transforms wrap instead of overflowing.
i32 wrap32(i64 v) { return static_cast<i32>(v); }

// (v + 8192) >> 14 with an arithmetic shift: a 2.14 product rounded back to whole units.
i64 round14(i64 v) { return (v + 8192) >> 14; }

// x*a + y*b for 32-bit factors; the sum is formed without signed overflow (a wrapped value for hostile fonts).
i64 dot(i64 x, i64 a, i64 y, i64 b) {
  return static_cast<i64>(static_cast<u64>(x * a) + static_cast<u64>(y * b) + 8192u) >> 14;
}

Reader reader_below(const Face& face, u64 end) { return Reader{face.bytes, end, 0}; }

}  // namespace

mem::Bytes code_text(u32 code) {
  switch (code) {
    case ok: return mem::lit("success");
    case too_short: return mem::lit("the font file is shorter than 12 bytes");
    case bad_directory: return mem::lit("the file is not a TrueType font");
    case missing_table: return mem::lit("a required font table is missing");
    case table_past_end: return mem::lit("a font table runs past the end of the file");
    case bad_head: return mem::lit("the font header is refused");
    case bad_hhea: return mem::lit("the horizontal header is refused");
    case bad_maxp: return mem::lit("the glyph count is refused");
    case bad_hmtx: return mem::lit("the horizontal metrics are refused");
    case bad_loca: return mem::lit("the glyph locations are refused");
    case bad_cmap: return mem::lit("the character map is refused");
    case no_memory: return mem::lit("out of memory for the font");
    case bad_glyph: return mem::lit("the glyph data is refused");
    case too_deep: return mem::lit("composite glyphs nest too deeply");
    case outline_full: return mem::lit("the glyph outline is too large");
    case too_long: return mem::lit("the font file or glyph is too large");
    case too_many_components: return mem::lit("a composite glyph has too many parts");
    default: return mem::lit("");
  }
}

// ---- bounded readers

static const u8* take(Reader* r, u64 at, u64 n) {
  if (at > r->end || r->end - at < n) {
    r->bad = 1;
    return nullptr;
  }
  return r->bytes + at;
}

u32 be8(Reader* r, u64 at) {
  const u8* p = take(r, at, 1);
  return p ? p[0] : 0;
}

u32 be16(Reader* r, u64 at) {
  const u8* p = take(r, at, 2);
  return p ? static_cast<u32>(p[0]) << 8 | p[1] : 0;
}

u32 be32(Reader* r, u64 at) {
  const u8* p = take(r, at, 4);
  return p ? static_cast<u32>(p[0]) << 24 | static_cast<u32>(p[1]) << 16 | static_cast<u32>(p[2]) << 8 | p[3] : 0;
}

i32 s16(Reader* r, u64 at) { return static_cast<i16>(be16(r, at)); }
i32 s8(Reader* r, u64 at) { return static_cast<i8>(be8(r, at)); }

// ---- arrays

static void* alloc_array(mem::Arena* arena, u64 count, u64 size) {
  if (count == 0 || count > UINT64_MAX / size) return nullptr;
  return mem::alloc(arena, count * size, 64).ptr;
}

u32* alloc_u32(mem::Arena* arena, u64 count) { return static_cast<u32*>(alloc_array(arena, count, 4)); }
u16* alloc_u16(mem::Arena* arena, u64 count) { return static_cast<u16*>(alloc_array(arena, count, 2)); }
i16* alloc_i16(mem::Arena* arena, u64 count) { return static_cast<i16*>(alloc_array(arena, count, 2)); }
i32* alloc_i32(mem::Arena* arena, u64 count) { return static_cast<i32*>(alloc_array(arena, count, 4)); }

u32 columns(Face* face, mem::Arena* arena, u32 count) {
  face->range_first = alloc_u32(arena, count);
  face->range_last = alloc_u32(arena, count);
  face->range_delta = alloc_u32(arena, count);
  face->range_position = alloc_u32(arena, count);
  face->range_count = count;
  return face->range_first && face->range_last && face->range_delta && face->range_position;
}

// ---- transforms

Transform identity() { return Transform{0x4000, 0, 0, 0x4000, 0, 0}; }

i32 apply_x(const Transform& t, i32 x, i32 y) { return wrap32(dot(x, t.m0, y, t.m2) + t.dx); }
i32 apply_y(const Transform& t, i32 x, i32 y) { return wrap32(dot(x, t.m1, y, t.m3) + t.dy); }

Transform compose(const Transform& p, const Transform& l) {
  auto r = [](i64 a, i64 b) { return round14(a * b); };
  Transform out;
  out.m0 = wrap32(r(p.m0, l.m0) + r(p.m2, l.m1));
  out.m1 = wrap32(r(p.m1, l.m0) + r(p.m3, l.m1));
  out.m2 = wrap32(r(p.m0, l.m2) + r(p.m2, l.m3));
  out.m3 = wrap32(r(p.m1, l.m2) + r(p.m3, l.m3));
  out.dx = wrap32(r(p.m0, l.dx) + r(p.m2, l.dy) + p.dx);
  out.dy = wrap32(r(p.m1, l.dx) + r(p.m3, l.dy) + p.dy);
  return out;
}

// ---- table directory

u32 table_slot(u32 tag) {
  switch (tag) {
    case 0x636D6170: return slot_cmap;
    case 0x68656164: return slot_head;
    case 0x68686561: return slot_hhea;
    case 0x686D7478: return slot_hmtx;
    case 0x6D617870: return slot_maxp;
    case 0x6C6F6361: return slot_loca;
    case 0x676C7966: return slot_glyf;
    default: return slot_other;
  }
}

static u32 read_directory(Reader* r, Tables* tables) {
  u32 version = be32(r, 0);
  if (version != 0x00010000 && version != tag_true) return bad_directory;
  u32 count = be16(r, 4);
  for (u32 i = 0; i < count; ++i) {
    u64 at = 12 + 16 * static_cast<u64>(i);
    u32 tag = be32(r, at);
    u32 offset = be32(r, at + 8);
    u32 length = be32(r, at + 12);
    if (r->bad) return bad_directory;
    u32 slot = table_slot(tag);
    if (slot == slot_other) continue;
    tables->at[slot] = Table{offset, length};
    tables->found |= 1u << slot;
  }
  if (tables->found != (1u << slot_other) - 1) return missing_table;
  for (const Table& t : tables->at)
    if (t.offset + t.length > r->end) return table_past_end;
  return ok;
}

u32 parse_tables(Face* face, const u8* bytes, u64 length, mem::Arena* arena) {
  if (length < 12) return too_short;
  if (length > 0x7FFFFFFF) return too_long;
  face->bytes = bytes;
  face->length = length;
  Reader r{bytes, length, 0};
  Tables t{};
  u32 code = read_directory(&r, &t);
  if (code == ok) code = read_head(face, t.at[slot_head]);
  if (code == ok) code = read_hhea(face, t.at[slot_hhea]);
  if (code == ok) code = read_maxp(face, t.at[slot_maxp]);
  if (code == ok && (face->long_metrics == 0 || face->long_metrics > face->glyph_count)) code = bad_hhea;
  if (code == ok) code = read_hmtx(face, t.at[slot_hmtx], arena);
  face->glyf_offset = t.at[slot_glyf].offset;
  face->glyf_length = t.at[slot_glyf].length;
  if (code == ok) code = read_loca(face, t.at[slot_loca], arena);
  if (code == ok) code = read_cmap(face, t.at[slot_cmap], arena);
  return code;
}

u32 parse(Face* face, const u8* bytes, u64 length, mem::Arena* arena) {
  *face = Face{};
  u32 code = parse_tables(face, bytes, length, arena);
  if (code != ok) *face = Face{};
  return code;
}

// ---- head, hhea, maxp, hmtx, loca

u32 read_head(Face* face, const Table& head) {
  if (head.length < 54) return bad_head;
  Reader r = reader_below(*face, head.offset + head.length);
  u32 magic = be32(&r, head.offset + 12);
  face->units_per_em = be16(&r, head.offset + 18);
  face->loca_format = be16(&r, head.offset + 50);
  if (magic != 0x5F0F3CF5 || face->units_per_em < 16 || face->units_per_em > 16384 || face->loca_format > 1)
    return bad_head;
  return ok;
}

u32 read_hhea(Face* face, const Table& hhea) {
  if (hhea.length < 36) return bad_hhea;
  Reader r = reader_below(*face, hhea.offset + hhea.length);
  face->ascender = s16(&r, hhea.offset + 4);
  face->descender = s16(&r, hhea.offset + 6);
  face->line_gap = s16(&r, hhea.offset + 8);
  face->long_metrics = be16(&r, hhea.offset + 34);
  return ok;
}

u32 read_maxp(Face* face, const Table& maxp) {
  if (maxp.length < 6) return bad_maxp;
  Reader r = reader_below(*face, maxp.offset + maxp.length);
  face->glyph_count = be16(&r, maxp.offset + 4);
  return face->glyph_count == 0 ? bad_maxp : ok;
}

u32 read_hmtx(Face* face, const Table& hmtx, mem::Arena* arena) {
  face->advances = alloc_u16(arena, face->glyph_count);
  face->bearings = alloc_i16(arena, face->glyph_count);
  if (!face->advances || !face->bearings) return no_memory;
  Reader r = reader_below(*face, hmtx.offset + hmtx.length);
  u64 m = face->long_metrics;
  for (u64 i = 0; i < face->glyph_count; ++i) {
    if (i < m) {
      face->advances[i] = static_cast<u16>(be16(&r, hmtx.offset + 4 * i));
      face->bearings[i] = static_cast<i16>(s16(&r, hmtx.offset + 4 * i + 2));
    } else {
      face->advances[i] = face->advances[m - 1];
      face->bearings[i] = static_cast<i16>(s16(&r, hmtx.offset + 4 * m + 2 * (i - m)));
    }
  }
  return r.bad ? bad_hmtx : ok;
}

u32 read_loca(Face* face, const Table& loca, mem::Arena* arena) {
  face->offsets = alloc_u32(arena, static_cast<u64>(face->glyph_count) + 1);
  if (!face->offsets) return no_memory;
  Reader r = reader_below(*face, loca.offset + loca.length);
  u64 previous = 0;
  for (u64 i = 0; i <= face->glyph_count; ++i) {
    u64 at = face->loca_format == 0 ? 2 * static_cast<u64>(be16(&r, loca.offset + 2 * i))
                                    : be32(&r, loca.offset + 4 * i);
    if (r.bad || at < previous || at > face->glyf_length) return bad_loca;
    face->offsets[i] = static_cast<u32>(at);
    previous = at;
  }
  return ok;
}

// ---- cmap

u32 unicode_score(u32 platform, u32 encoding, u32 format) {
  bool usable = platform == 0 || (platform == 3 && (encoding == 1 || encoding == 10));
  if (!usable) return 0;
  return format == 12 ? 2 : format == 4 ? 1 : 0;
}

u32 read_cmap(Face* face, const Table& cmap, mem::Arena* arena) {
  if (cmap.length < 4) return bad_cmap;
  face->cmap_end = cmap.offset + cmap.length;
  Reader r = reader_below(*face, face->cmap_end);
  u32 count = be16(&r, cmap.offset + 2);
  u32 best = 0;
  u64 best_subtable = 0;
  for (u32 i = 0; i < count; ++i) {
    u64 at = cmap.offset + 4 + 8 * static_cast<u64>(i);
    u32 platform = be16(&r, at);
    u32 encoding = be16(&r, at + 2);
    u64 subtable = cmap.offset + be32(&r, at + 4);
    if (unicode_score(platform, encoding, 12) == 0) continue;
    u32 score = unicode_score(platform, encoding, be16(&r, subtable));
    if (score > best) {
      best = score;
      best_subtable = subtable;
    }
  }
  if (r.bad || best == 0) return bad_cmap;
  return best == 2 ? read_groups(face, best_subtable, arena) : read_segments(face, best_subtable, arena);
}

u32 read_segments(Face* face, u64 s, mem::Arena* arena) {
  Reader r = reader_below(*face, face->cmap_end);
  u64 seg_x2 = be16(&r, s + 6);
  // The four segment arrays must lie wholly inside the table before any of them is read.
  if (r.bad || seg_x2 == 0 || seg_x2 % 2 != 0 || s + 16 + 4 * seg_x2 > face->cmap_end) return bad_cmap;
  u32 count = static_cast<u32>(seg_x2 / 2);
  if (!columns(face, arena, count)) return no_memory;
  face->glyph_mask = 0xFFFF;
  for (u32 i = 0; i < count; ++i) {
    u32 last = be16(&r, s + 14 + 2 * i);
    u32 first = be16(&r, s + 16 + seg_x2 + 2 * i);
    u64 range_at = s + 16 + 3 * seg_x2 + 2 * i;
    u32 range_offset = be16(&r, range_at);
    if (last < first || (i > 0 && last <= face->range_last[i - 1])) return bad_cmap;
    face->range_first[i] = first;
    face->range_last[i] = last;
    face->range_delta[i] = be16(&r, s + 16 + 2 * seg_x2 + 2 * i);
    face->range_position[i] = range_offset ? static_cast<u32>(range_at + range_offset) : 0;
  }
  return r.bad ? bad_cmap : ok;
}

u32 read_groups(Face* face, u64 s, mem::Arena* arena) {
  if (s + 16 > face->cmap_end) return bad_cmap;
  Reader r = reader_below(*face, face->cmap_end);
  u64 count = be32(&r, s + 12);
  if (count == 0 || 12 * count > face->cmap_end - (s + 16)) return bad_cmap;
  if (!columns(face, arena, static_cast<u32>(count))) return no_memory;
  face->glyph_mask = 0xFFFFFFFF;
  for (u64 i = 0; i < count; ++i) {
    u64 at = s + 16 + 12 * i;
    u32 first = be32(&r, at);
    u32 last = be32(&r, at + 4);
    if (last < first || (i > 0 && first <= face->range_last[i - 1])) return bad_cmap;
    face->range_first[i] = first;
    face->range_last[i] = last;
    face->range_delta[i] = be32(&r, at + 8) - first;
    face->range_position[i] = 0;
  }
  return r.bad ? bad_cmap : ok;
}

u32 first_not_below(const u32* last, u32 count, u32 code_point) {
  if (count == 0) return 0;
  const u32* base = last;
  u32 n = count;
  while (n > 1) {
    u32 half = n / 2;
    base = base[half - 1] < code_point ? base + half : base;
    n -= half;
  }
  return static_cast<u32>(base - last) + (*base < code_point);
}

u32 glyph_of(const Face& face, u32 code_point) {
  u32 i = first_not_below(face.range_last, face.range_count, code_point);
  if (i >= face.range_count) return 0;
  u32 first = face.range_first[i];
  // Tested before any read: below first, the offset below would wrap.
  if (code_point < first) return 0;
  u32 glyph;
  if (face.range_position[i] != 0) {
    Reader r = reader_below(face, face.cmap_end);
    u32 word = be16(&r, face.range_position[i] + 2 * static_cast<u64>(code_point - first));
    if (word == 0) return 0;
    glyph = (word + face.range_delta[i]) & face.glyph_mask;
  } else {
    glyph = (code_point + face.range_delta[i]) & face.glyph_mask;
  }
  return glyph < face.glyph_count ? glyph : 0;
}

u32 advance(const Face& face, u32 glyph) { return glyph < face.glyph_count ? face.advances[glyph] : 0; }
i32 bearing(const Face& face, u32 glyph) { return glyph < face.glyph_count ? face.bearings[glyph] : 0; }

// ---- outlines

u32 outline_init(Outline* outline, mem::Arena* arena, u32 point_capacity, u32 contour_capacity) {
  *outline = Outline{};
  if (point_capacity == 0 || point_capacity > 65535 || contour_capacity == 0) return 0;
  Outline o{};
  o.x = alloc_i32(arena, point_capacity);
  o.y = alloc_i32(arena, point_capacity);
  o.flags = static_cast<u8*>(alloc_array(arena, point_capacity, 1));
  o.ends = alloc_u16(arena, contour_capacity);
  if (!o.x || !o.y || !o.flags || !o.ends) return 0;
  o.point_capacity = point_capacity;
  o.contour_capacity = contour_capacity;
  *outline = o;
  return 1;
}

u32 outline(const Face& face, u32 glyph, Outline* out) {
  out->point_count = out->contour_count = out->component_count = 0;
  return add_glyph(face, glyph, identity(), 0, out);
}

u32 add_glyph(const Face& face, u32 glyph, const Transform& transform, u32 depth, Outline* out) {
  if (depth > max_depth) return too_deep;
  if (glyph >= face.glyph_count) return bad_glyph;
  u64 start = face.offsets[glyph];
  u64 end = face.offsets[glyph + 1];
  if (start == end) return ok;
  if (end - start <= 9) return bad_glyph;
  Reader r = reader_below(face, face.glyf_offset + end);
  u64 base = face.glyf_offset + start;
  i32 contours = s16(&r, base);
  if (contours < 0) return composite(face, &r, base, transform, depth, out);
  return simple(&r, base, contours, transform, out);
}

// One coordinate pass of a simple glyph: a short form (one byte, sign in same_bit), an unchanged value (same_bit
// without short_bit) or a signed 16-bit delta, accumulated from 0.
static u64 read_coordinates(Reader* r, u64 at, const u8* flags, u32 count, u32 short_bit, u32 same_bit, i32* out) {
  i64 v = 0;
  for (u32 k = 0; k < count; ++k) {
    u32 f = flags[k];
    if (f & short_bit) {
      i64 d = be8(r, at++);
      v += (f & same_bit) ? d : -d;
    } else if (!(f & same_bit)) {
      v += s16(r, at);
      at += 2;
    }
    out[k] = wrap32(v);
  }
  return at;
}

u32 simple(Reader* r, u64 base, i32 contours, const Transform& t, Outline* out) {
  if (contours == 0) return ok;
  u32 n = static_cast<u32>(contours);
  if (static_cast<u64>(out->contour_count) + n > out->contour_capacity) return outline_full;
  u16* ends = out->ends + out->contour_count;
  i64 previous = -1;
  for (u32 i = 0; i < n; ++i) {
    i64 e = be16(r, base + 10 + 2 * static_cast<u64>(i));
    if (r->bad || e <= previous) return bad_glyph;
    ends[i] = static_cast<u16>(e);
    previous = e;
  }
  u32 first = out->point_count;
  u32 points = static_cast<u32>(previous) + 1;
  if (static_cast<u64>(first) + points > out->point_capacity) return outline_full;
  for (u32 i = 0; i < n; ++i) ends[i] = static_cast<u16>(first + ends[i]);

  u64 at = base + 10 + 2 * static_cast<u64>(n);
  at += 2 + static_cast<u64>(be16(r, at));  // instructions are not used
  u8* flags = out->flags + first;
  for (u32 k = 0; k < points && !r->bad;) {
    u32 f = be8(r, at++);
    u32 repeat = (f & 8) ? be8(r, at++) : 0;
    for (u32 j = 0; j <= repeat && k < points; ++j) flags[k++] = static_cast<u8>(f);
  }
  if (r->bad) return bad_glyph;
  at = read_coordinates(r, at, flags, points, 2, 0x10, out->x + first);
  if (r->bad) return bad_glyph;
  read_coordinates(r, at, flags, points, 4, 0x20, out->y + first);
  if (r->bad) return bad_glyph;

  for (u32 k = first; k < first + points; ++k) {
    i32 x = out->x[k], y = out->y[k];
    out->x[k] = apply_x(t, x, y);
    out->y[k] = apply_y(t, x, y);
    out->flags[k] &= 1;
  }
  out->point_count += points;
  out->contour_count += n;
  return ok;
}

// Reads one component's arguments and local transform; returns the offset after them.
static u64 read_component(Reader* r, u64 at, u32 flags, i32* a, i32* b, Transform* local) {
  bool offsets = flags & 2;
  if (flags & 1) {
    *a = offsets ? s16(r, at) : static_cast<i32>(be16(r, at));
    *b = offsets ? s16(r, at + 2) : static_cast<i32>(be16(r, at + 2));
    at += 4;
  } else {
    *a = offsets ? s8(r, at) : static_cast<i32>(be8(r, at));
    *b = offsets ? s8(r, at + 1) : static_cast<i32>(be8(r, at + 1));
    at += 2;
  }
  *local = identity();
  if (flags & 8) {
    local->m0 = local->m3 = s16(r, at);
    at += 2;
  } else if (flags & 0x40) {
    local->m0 = s16(r, at);
    local->m3 = s16(r, at + 2);
    at += 4;
  } else if (flags & 0x80) {
    local->m0 = s16(r, at);
    local->m1 = s16(r, at + 2);
    local->m2 = s16(r, at + 4);
    local->m3 = s16(r, at + 6);
    at += 8;
  }
  return at;
}

u32 composite(const Face& face, Reader* r, u64 base, const Transform& t, u32 depth, Outline* out) {
  u32 parent_base = out->point_count;
  u64 at = base + 10;
  u32 flags;
  do {
    if (out->component_count + 1 > max_components) return too_many_components;
    flags = be16(r, at);
    u32 glyph = be16(r, at + 2);
    i32 a, b;
    Transform local;
    at = read_component(r, at + 4, flags, &a, &b, &local);
    if (r->bad) return bad_glyph;
    if (flags & 2) {
      bool scaled = (flags & 0x800) && !(flags & 0x1000);
      local.dx = scaled ? wrap32(round14(static_cast<i64>(a) * local.m0 + static_cast<i64>(b) * local.m2)) : a;
      local.dy = scaled ? wrap32(round14(static_cast<i64>(a) * local.m1 + static_cast<i64>(b) * local.m3)) : b;
    }
    out->component_count++;
    u32 before = out->point_count;
    u32 code = add_glyph(face, glyph, compose(t, local), depth + 1, out);
    if (code != ok) return code;
    if (!(flags & 2)) {
      // Point matching: the component moves so that its point b lands on the parent's point a.
      u64 parent = static_cast<u64>(parent_base) + static_cast<u32>(a);
      u64 child = static_cast<u64>(before) + static_cast<u32>(b);
      if (parent >= before || child >= out->point_count) return bad_glyph;
      i64 mx = static_cast<i64>(out->x[parent]) - out->x[child];
      i64 my = static_cast<i64>(out->y[parent]) - out->y[child];
      for (u32 k = before; k < out->point_count; ++k) {
        out->x[k] = wrap32(out->x[k] + mx);
        out->y[k] = wrap32(out->y[k] + my);
      }
    }
  } while (flags & 0x20);
  return ok;
}

}  // namespace font
