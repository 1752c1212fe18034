#include "drawing/render.h"

#include "base/bits.h"

namespace render {

namespace {

constexpr u32 most_items = 268435456;
constexpr u64 most_image_bytes = 1099511627776ull;
constexpr u64 rect_start = 0x298B6BAB842C5DA8ull;
constexpr u64 glyph_start = 0xC7C2E5650376D9BDull;
constexpr u64 image_start = 0x65FA5F1E82C155D2ull;

using bits::greatest;
using bits::least;
u64 round16(u64 v) { return (v + 15) & ~u64{15}; }
u32 chunks(u32 n) { return (n + 15) / 16; }
u64 finished(u64 h) { return h ^ (h >> 29); }

i32 clamp_i32(__int128 v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<i32>(v);
}

// A recorded coordinate in whole px: scaled, then rounded.
i32 whole(i32 v, i32 scale) { return static_cast<i32>((static_cast<i64>(scaled(v, scale)) + 128) >> 8); }

u32 limits_ok(const Limits& l) {
  return l.max_width >= 1 && l.max_width <= 16384 && l.max_height >= 1 && l.max_height <= 16384 &&
         l.rects <= most_items && l.glyphs <= most_items && l.images <= most_items && l.commands <= most_items &&
         l.layers <= most_items && l.image_bytes <= most_image_bytes && l.atlas_bytes >= 1 &&
         l.atlas_bytes <= 0xFFFF0000ull && l.canvas >= 1 && l.canvas <= raster::largest_px && l.points >= 1 &&
         l.points <= 65535 && l.contours >= 1 && l.slices >= 1 && l.slices <= 16 && l.workers >= 1 &&
         l.workers <= max_workers && l.groups >= 1 && l.groups <= 65536;
}

// The largest item count of any pass, so that the work order holds every pass.
u32 work_needed(const Limits& l) {
  u64 most = l.glyphs;  // one item per claimed glyph
  most = greatest(most, chunks(l.rects));
  most = greatest(most, chunks(l.images));
  most = greatest(most, u64{kinds} * l.slices);
  most = greatest(most, l.groups);
  return static_cast<u32>(most);
}

u32 set_up_workers(Renderer* r, mem::Arena* arena) {
  const Limits& l = r->limits;
  for (u32 w = 0; w < l.workers; ++w) {
    raster::Canvas& c = r->canvases[w];
    font::Outline& o = r->outlines[w];
    if (!raster::canvas_init(&c, arena, l.canvas, l.canvas) || !font::outline_init(&o, arena, l.points, l.contours))
      return 0;
    note(r, c.cells, u64{l.canvas} * (l.canvas + 2) * sizeof(i64), tag_worker);
    note(r, c.coverage, u64{l.canvas} * l.canvas, tag_worker);
    note(r, o.x, u64{l.points} * sizeof(i32), tag_worker);
    note(r, o.y, u64{l.points} * sizeof(i32), tag_worker);
    note(r, o.flags, l.points, tag_worker);
    note(r, o.ends, u64{l.contours} * sizeof(u16), tag_worker);
  }
  return 1;
}

u32 set_up_atlas(Renderer* r, mem::Arena* arena) {
  atlas::Atlas& a = r->atlas;
  if (!atlas::init(&a, arena, r->limits.atlas_bytes)) return 0;
  note(r, a.store, a.capacity, tag_shared);
  note(r, a.keys, atlas::max_keys * sizeof(u64), tag_shared);
  note(r, a.offsets, atlas::max_keys * sizeof(u32), tag_shared);
  note(r, a.hash, atlas::hash_size * sizeof(u16), tag_shared);
  return 1;
}

void build_tables(Renderer* r) {
  for (u32 c = 0; c < 256; ++c) r->gamma[c] = gamma_level(c);
  for (u32 i = 0; i < 16; ++i) {
    r->lanes_i32[i] = static_cast<i32>(i);
    r->lanes_u8[i] = static_cast<u8>(i);
  }
}

const Clip& top_clip(const Renderer& r) { return r.clips[r.depth - 1]; }

// Index of a (kind, slice) table entry for a tile.
u64 table_at(const Renderer& r, u32 table, u32 tile) { return u64{table} * r.row_length + tile; }

}  // namespace

// ---- Set-up

Limits defaults() {
  Limits l{};
  l.max_width = 3840;
  l.max_height = 2160;
  l.rects = 4096;
  l.glyphs = 65536;
  l.images = 256;
  l.commands = 16384;
  l.layers = 16384;
  l.tile_entries = 0x400000;
  l.image_bytes = 0x1000000;
  l.atlas_bytes = 0x400000;
  l.canvas = 256;
  l.points = 4096;
  l.contours = 512;
  l.slices = 8;
  l.workers = 1;
  l.groups = 64;
  return l;
}

u8 gamma_level(u32 c) { return static_cast<u8>((c * (765 - c) + 255) / 510); }

i32 scaled(i64 v, i32 scale) {
  if (scale == 256) return clamp_i32(v);  // the drawing layer's 1:1, without the wide product
  return clamp_i32(static_cast<__int128>(v) * scale >> 8);
}

u32 kind_base(const Renderer& r, u32 kind) { return kind < kinds ? r.base[kind] : r.item_total; }

void record(Renderer* r, void* ptr, u64 bytes, u8 tag) {
  if (!ptr || r->block_count >= max_blocks) {
    r->failed = 1;
    return;
  }
  r->blocks[r->block_count++] = Block{ptr, bytes, tag};
}

void note(Renderer* r, const void* ptr, u64 bytes, u8 tag) { record(r, const_cast<void*>(ptr), bytes, tag); }

void* take(Renderer* r, mem::Arena* arena, u64 bytes, u8 tag) {
  void* block = nullptr;
  u64 size = 64;
  if (bytes > UINT64_MAX - 63) {
    size = 0;
  } else if (bytes > 0) {
    size = (bytes + 63) & ~u64{63};
  }
  if (size) block = mem::alloc(arena, size, 64).ptr;
  record(r, block, size, tag);
  return block;
}

u32* take_u32(Renderer* r, mem::Arena* arena, u64 count) {
  return static_cast<u32*>(take(r, arena, count > UINT64_MAX / 4 ? UINT64_MAX : count * 4, tag_shared));
}
i32* take_i32(Renderer* r, mem::Arena* arena, u64 count) {
  return static_cast<i32*>(take(r, arena, count > UINT64_MAX / 4 ? UINT64_MAX : count * 4, tag_shared));
}
u64* take_u64(Renderer* r, mem::Arena* arena, u64 count) {
  return static_cast<u64*>(take(r, arena, count > UINT64_MAX / 8 ? UINT64_MAX : count * 8, tag_shared));
}

u32 init(Renderer* r, mem::Arena* arena, const Limits& limits) {
  mem::fill(mem::Slice{reinterpret_cast<u8*>(r), sizeof(Renderer)}, 0);
  r->limits = limits;
  if (!limits_ok(limits)) return 0;
  const Limits& l = r->limits;
  u64 rects = round16(l.rects), glyphs = round16(l.glyphs), images = round16(l.images);
  r->base[kind_rect] = 0;
  r->base[kind_glyph] = static_cast<u32>(rects);
  r->base[kind_image] = static_cast<u32>(rects + glyphs);
  r->item_total = static_cast<u32>(rects + glyphs + images);
  u64 tiles = u64{(l.max_width + 15) / 16} * ((l.max_height + 15) / 16);
  r->row_length = static_cast<u32>(round16(tiles));
  u64 table_entries = u64{kinds} * l.slices * r->row_length;
  r->work_capacity = work_needed(l);

  r->commands = static_cast<Command*>(take(r, arena, u64{l.commands} * sizeof(Command), tag_shared));
  r->layer_kinds = take_u32(r, arena, l.layers);
  r->rects = static_cast<Rect*>(take(r, arena, rects * sizeof(Rect), tag_shared));
  r->glyphs = static_cast<Glyph*>(take(r, arena, glyphs * sizeof(Glyph), tag_shared));
  r->draws = static_cast<ImageDraw*>(take(r, arena, images * sizeof(ImageDraw), tag_shared));
  r->item_layers = take_u32(r, arena, r->item_total);
  r->spans = static_cast<Span*>(take(r, arena, u64{r->item_total} * sizeof(Span), tag_shared));
  r->hashes = take_u64(r, arena, r->item_total);
  r->store_pixels = l.image_bytes / 4;
  r->store = take_u32(r, arena, r->store_pixels);
  r->claimed = static_cast<Claim*>(take(r, arena, u64{l.glyphs} * sizeof(Claim), tag_shared));
  r->counts = take_u32(r, arena, table_entries);
  r->starts = take_u32(r, arena, table_entries);
  r->cursors = take_u32(r, arena, table_entries);
  r->entries = take_u32(r, arena, l.tile_entries);
  r->group_bounds = take_u32(r, arena, u64{l.groups} + 1);
  r->previous_hashes = take_u64(r, arena, r->row_length);
  r->current_hashes = take_u64(r, arena, r->row_length);
  r->changed = take_u32(r, arena, r->row_length);
  r->work_order = take_u32(r, arena, r->work_capacity);
  r->gamma = static_cast<u8*>(take(r, arena, 256, tag_shared));
  r->lanes_i32 = take_i32(r, arena, 16);
  r->lanes_u8 = static_cast<u8*>(take(r, arena, 16, tag_shared));
  if (r->failed || !set_up_atlas(r, arena) || !set_up_workers(r, arena) || r->failed) return 0;
  build_tables(r);
  atlas::clear(&r->atlas);
  r->all_changed = 1;
  return 1;
}

i32 face_add(Renderer* r, mem::Arena* arena, const u8* bytes, u64 length) {
  if (r->face_count >= max_faces) return -1;
  font::Face face{};
  if (font::parse(&face, bytes, length, arena) != font::ok) return -1;
  r->faces[r->face_count] = face;
  return static_cast<i32>(r->face_count++);
}

void copy_image(Renderer* r, u32 index, const u32* pixels) {
  if (index >= max_images || !pixels) return;
  const Image& im = r->images[index];
  for (u32 y = 0; y < im.height; ++y) {
    u32* row = im.pixels + u64{y} * im.stride;
    __builtin_memcpy(row, pixels + u64{y} * im.width, u64{im.width} * 4);
    for (u32 x = im.width; x < im.stride; ++x) row[x] = 0;
  }
}

u32 image_add(Renderer* r, const u32* pixels, u64 count, u32 width, u32 height) {
  if (r->image_count >= max_images || !pixels || width == 0 || height == 0 || width > max_image_side ||
      height > max_image_side || count < u64{width} * height)
    return none;
  u32 stride = (width + 15) & ~15u;
  u64 need = u64{stride} * height;
  if (r->store_pixels - r->store_used < need) return none;
  u32 index = r->image_count;
  r->images[index] = Image{width, height, stride, 1, r->store_used, r->store + r->store_used};
  r->store_used += need;
  copy_image(r, index, pixels);
  r->image_count = index + 1;
  return index;
}

u32 image_update(Renderer* r, u32 index, const u32* pixels, u64 count) {
  if (index >= r->image_count || !pixels) return 0;
  Image& im = r->images[index];
  if (count < u64{im.width} * im.height) return 0;
  copy_image(r, index, pixels);
  im.version += 1;
  return 1;
}

// ---- Frame and recording

u32 begin(Renderer* r, const Target& t, i32 scale) {
  r->ready = 0;
  // A refused target leaves no frame open, so nothing is recorded against the last one.
  r->depth = 0;
  u64 rows = round16(t.height);
  if (!t.pixels || t.width == 0 || t.height == 0 || t.width > r->limits.max_width ||
      t.height > r->limits.max_height || t.stride % 16 != 0 || t.stride < t.width ||
      (reinterpret_cast<uintptr_t>(t.pixels) & 63) != 0 || t.count < u64{t.stride} * rows || scale == 0)
    return 0;
  if (t.pixels != r->previous_pixels || t.width != r->previous_width || t.height != r->previous_height)
    r->all_changed = 1;
  r->previous_pixels = t.pixels;
  r->previous_width = t.width;
  r->previous_height = t.height;
  r->target = t;
  r->width = t.width;
  r->height = t.height;
  r->scale = scale;
  r->tile_columns = (t.width + 15) / 16;
  r->tile_rows = (t.height + 15) / 16;
  r->tile_count = r->tile_columns * r->tile_rows;
  r->command_count = r->layer_count = r->rect_count = r->glyph_count = r->draw_count = r->claim_count = 0;
  r->overflow = r->dropped = r->refused = 0;
  r->clips[0] = Clip{0, 0, static_cast<i32>(t.width), static_cast<i32>(t.height)};
  r->depth = 1;
  return 1;
}

void push_clip(Renderer* r, i32 x0, i32 y0, i32 x1, i32 y1) {
  if (r->depth == 0) return;
  if (r->depth == clip_depth) {
    r->overflow += 1;
    return;
  }
  const Clip& top = top_clip(*r);
  Clip c;
  c.x0 = static_cast<i32>(greatest(top.x0, whole(x0, r->scale)));
  c.y0 = static_cast<i32>(greatest(top.y0, whole(y0, r->scale)));
  c.x1 = static_cast<i32>(greatest(c.x0, least(top.x1, whole(x1, r->scale))));
  c.y1 = static_cast<i32>(greatest(c.y0, least(top.y1, whole(y1, r->scale))));
  r->clips[r->depth++] = c;
}

void pop_clip(Renderer* r) {
  if (r->overflow > 0) {
    r->overflow -= 1;
  } else if (r->depth > 1) {
    r->depth -= 1;
  }
}

u32 command(Renderer* r, u32 kind, u32 first, u32 count) {
  if (kind >= kinds) {
    r->refused += count;
    return 0;
  }
  bool new_layer = r->layer_count == 0 || r->layer_kinds[r->layer_count - 1] != kind;
  if (r->command_count >= r->limits.commands || (new_layer && r->layer_count >= r->limits.layers)) {
    r->dropped += count;
    return 0;
  }
  r->commands[r->command_count++] = Command{kind, first, count};
  if (new_layer) r->layer_kinds[r->layer_count++] = kind;
  return 1;
}

void fill_rect(Renderer* r, i32 x0, i32 y0, i32 x1, i32 y1, u32 colour) {
  if (r->depth == 0) {
    r->refused += 1;
    return;
  }
  const Clip& c = top_clip(*r);
  i64 a = greatest(scaled(x0, r->scale), i64{c.x0} * 256), b = greatest(scaled(y0, r->scale), i64{c.y0} * 256);
  i64 e = least(scaled(x1, r->scale), i64{c.x1} * 256), f = least(scaled(y1, r->scale), i64{c.y1} * 256);
  if (a >= e || b >= f) return;
  if (r->rect_count >= r->limits.rects) {
    r->dropped += 1;
    return;
  }
  u32 index = r->rect_count;
  if (!command(r, kind_rect, index, 1)) return;
  // Non-empty after the cut means inside the frame, so the values fit.
  r->rects[index] = Rect{static_cast<i32>(a), static_cast<i32>(b), static_cast<i32>(e), static_cast<i32>(f), colour};
  r->item_layers[r->base[kind_rect] + index] = r->layer_count - 1;
  r->rect_count = index + 1;
}

u32 glyph_run(Renderer* r, u32 face, u32 size, i32 x, i32 y, const u32* ids, u32 id_count, const i32* x_offsets,
              u32 x_count, const i32* y_offsets, u32 y_count, u32 colour) {
  __int128 px = (static_cast<__int128>(size) * r->scale + 128) >> 8;
  bool bad = r->depth == 0 || face >= r->face_count || id_count != x_count || id_count != y_count || px < 1 ||
             px > raster::largest_px || (id_count > 0 && (!ids || !x_offsets || !y_offsets));
  for (u32 i = 0; !bad && i < id_count; ++i) bad = ids[i] > 0xFFFF;
  if (bad) {
    r->refused += id_count;
    return 0;
  }
  u32 n = static_cast<u32>(least(id_count, r->limits.glyphs - r->glyph_count));
  r->dropped += id_count - n;
  if (n == 0) return 0;
  u32 first = r->glyph_count;
  if (!command(r, kind_glyph, first, n)) return 0;
  const Clip& c = top_clip(*r);
  const u32 layer = r->layer_count - 1;
  for (u32 i = 0; i < n; ++i) {
    Glyph& g = r->glyphs[first + i];
    g.x = scaled(i64{x} + x_offsets[i], r->scale);
    g.y = scaled(i64{y} + y_offsets[i], r->scale);
    g.glyph = ids[i];
    g.face = face;
    g.px = static_cast<u32>(px);
    g.colour = colour;
    g.clip = c;
    g.atlas = atlas::absent;  // the placement is written by render::prepare
    r->item_layers[r->base[kind_glyph] + first + i] = layer;
  }
  r->glyph_count = first + n;
  return n;
}

void image(Renderer* r, u32 index, i32 sx, i32 sy, i32 sw, i32 sh, i32 x0, i32 y0, i32 x1, i32 y1) {
  if (r->depth == 0 || index >= r->image_count || sx < 0 || sy < 0 || sw <= 0 || sh <= 0 ||
      i64{sx} + sw > r->images[index].width || i64{sy} + sh > r->images[index].height) {
    r->refused += 1;
    return;
  }
  i32 dx0 = whole(x0, r->scale), dy0 = whole(y0, r->scale), dx1 = whole(x1, r->scale), dy1 = whole(y1, r->scale);
  if (dx0 >= dx1 || dy0 >= dy1) return;
  const Clip& c = top_clip(*r);
  if (greatest(dx0, c.x0) >= least(dx1, c.x1) || greatest(dy0, c.y0) >= least(dy1, c.y1)) return;
  if (r->draw_count >= r->limits.images) {
    r->dropped += 1;
    return;
  }
  u32 at = r->draw_count;
  if (!command(r, kind_image, at, 1)) return;
  r->draws[at] = ImageDraw{index, sx, sy, sw, sh, dx0, dy0, dx1, dy1, c};
  r->item_layers[r->base[kind_image] + at] = r->layer_count - 1;
  r->draw_count = at + 1;
}

// ---- Preparation

u32 each(Renderer* r, u32 work, u32 count, Pass pass) {
  (void)work;
  if (count > r->work_capacity) count = r->work_capacity;  // never: init sizes the order for every pass
  for (u32 i = 0; i < count; ++i) r->work_order[i] = i;
  for (u32 i = 0; i < count; ++i) pass(r, r->work_order[i], 0);
  return 0;
}

void span(Span* spans, u32 item, i64 x0, i64 y0, i64 x1, i64 y1) {
  if (x0 >= x1 || y0 >= y1) {
    spans[item] = Span{};
    return;
  }
  x0 = greatest(x0, 0);
  y0 = greatest(y0, 0);
  spans[item] = Span{static_cast<u32>(x0 / 16), static_cast<u32>(y0 / 16), static_cast<u32>((x1 + 15) / 16),
                     static_cast<u32>((y1 + 15) / 16)};
}

void key_parts(u64 key, u32* glyph, u32* px, u32* face) {
  *glyph = static_cast<u32>(key & 0xFFFF);
  *px = static_cast<u32>((key >> 16) & 0xFFFF);
  *face = static_cast<u32>(key >> 32);
}

void fill_columns(Renderer* r, u32 chunk, u32) {
  u32 last = static_cast<u32>(least(u64{chunk} * 16 + 16, r->rect_count));
  for (u32 i = chunk * 16; i < last; ++i) {
    const Rect& q = r->rects[i];
    u32 item = r->base[kind_rect] + i;
    span(r->spans, item, q.x0 >> 8, q.y0 >> 8, (i64{q.x1} + 255) >> 8, (i64{q.y1} + 255) >> 8);
    u64 h = mix(rect_start, pair(q.x0, q.y0));
    h = mix(h, pair(q.x1, q.y1));
    r->hashes[item] = finished(mix(h, q.colour));
  }
}

void lookup(Renderer* r, u32 chunk, u32) {
  u32 last = static_cast<u32>(least(u64{chunk} * 16 + 16, r->glyph_count));
  for (u32 i = chunk * 16; i < last; ++i) {
    Glyph& g = r->glyphs[i];
    g.atlas = atlas::find(r->atlas, atlas::key(g.glyph, g.px, g.face));
  }
}

void claim(Renderer* r) {
  r->claim_count = 0;
  for (u32 i = 0; i < r->glyph_count; ++i) {
    Glyph& g = r->glyphs[i];
    if (g.atlas != atlas::absent) continue;
    u32 fresh = 0;
    g.atlas = atlas::claim(&r->atlas, atlas::key(g.glyph, g.px, g.face), &fresh);
    if (fresh && r->claim_count < r->limits.glyphs) r->claimed[r->claim_count++] = Claim{g.atlas, 0, 0, 0};
  }
}

void measure(Renderer* r, u32 chunk, u32 worker) {
  u32 last = static_cast<u32>(least(u64{chunk} * 16 + 16, r->claim_count));
  for (u32 i = chunk * 16; i < last; ++i) {
    Claim& c = r->claimed[i];
    u32 glyph, px, face;
    key_parts(r->atlas.keys[c.key], &glyph, &px, &face);
    raster::GlyphBox box;
    u32 code = raster::measure(r->faces[face], glyph, px, &r->outlines[worker], &box);
    c.failed = code != font::ok || box.width > r->limits.canvas || box.height > r->limits.canvas;
    c.width = c.failed ? 0 : box.width;
    c.height = c.failed ? 0 : box.height;
  }
}

void reserve(Renderer* r) {
  for (u32 i = 0; i < r->claim_count; ++i) {
    const Claim& c = r->claimed[i];
    if (c.failed) {
      r->atlas.offsets[c.key] = atlas::no_slot;
    } else {
      atlas::reserve(&r->atlas, c.key, c.width, c.height);
    }
  }
}

void raster_glyph(Renderer* r, u32 index, u32 worker) {
  const Claim& c = r->claimed[index];
  if (r->atlas.offsets[c.key] >= atlas::no_slot) return;
  u32 glyph, px, face;
  key_parts(r->atlas.keys[c.key], &glyph, &px, &face);
  font::Outline& outline = r->outlines[worker];
  raster::Canvas& canvas = r->canvases[worker];
  raster::GlyphBox box;
  if (raster::measure(r->faces[face], glyph, px, &outline, &box) != font::ok) return;
  if (!raster::draw(&canvas, outline, box)) return;
  atlas::write(&r->atlas, c.key, box, canvas.coverage, r->gamma);
}

void place(Renderer* r, u32 chunk, u32) {
  u32 last = static_cast<u32>(least(u64{chunk} * 16 + 16, r->glyph_count));
  for (u32 i = chunk * 16; i < last; ++i) {
    Glyph& g = r->glyphs[i];
    u32 item = r->base[kind_glyph] + i;
    if (g.atlas == atlas::absent || r->atlas.offsets[g.atlas] >= atlas::no_slot) {
      g.pixel_x = g.pixel_y = 0;
      g.width = g.height = g.offset = g.stride = 0;
      r->spans[item] = Span{};
      r->hashes[item] = 0;
      continue;
    }
    raster::GlyphBox box;
    atlas::metrics(r->atlas, g.atlas, &box);
    g.width = box.width;
    g.height = box.height;
    g.offset = r->atlas.offsets[g.atlas] + atlas::first_pixel;
    g.stride = atlas::stride(r->atlas, g.atlas);
    i64 x = ((i64{g.x} + 128) >> 8) + box.left, y = ((i64{g.y} + 128) >> 8) + box.top;
    g.pixel_x = static_cast<i32>(x);
    g.pixel_y = static_cast<i32>(y);
    i64 vx0 = greatest(x, g.clip.x0), vy0 = greatest(y, g.clip.y0);
    i64 vx1 = least(x + g.width, g.clip.x1), vy1 = least(y + g.height, g.clip.y1);
    span(r->spans, item, vx0, vy0, vx1, vy1);
    u64 h = mix(glyph_start, r->atlas.keys[g.atlas]);
    h = mix(h, pair(x, y));
    h = mix(h, pair(vx0, vy0));
    h = mix(h, pair(vx1, vy1));
    r->hashes[item] = finished(mix(h, g.colour));
  }
}

void image_columns(Renderer* r, u32 chunk, u32) {
  u32 last = static_cast<u32>(least(u64{chunk} * 16 + 16, r->draw_count));
  for (u32 i = chunk * 16; i < last; ++i) {
    const ImageDraw& d = r->draws[i];
    u32 item = r->base[kind_image] + i;
    i64 vx0 = greatest(d.x0, d.clip.x0), vy0 = greatest(d.y0, d.clip.y0);
    i64 vx1 = least(d.x1, d.clip.x1), vy1 = least(d.y1, d.clip.y1);
    span(r->spans, item, vx0, vy0, vx1, vy1);
    u64 h = mix(image_start, pair(d.image, r->images[d.image].version));
    h = mix(h, pair(d.sx, d.sy));
    h = mix(h, pair(d.sw, d.sh));
    h = mix(h, pair(d.x0, d.y0));
    h = mix(h, pair(d.x1, d.y1));
    h = mix(h, pair(vx0, vy0));
    r->hashes[item] = finished(mix(h, pair(vx1, vy1)));
  }
}

u32 prepare(Renderer* r) {
  r->ready = 0;
  if (r->depth == 0) return 0;
  r->depth = 0;
  r->overflow = 0;
  each(r, 0, chunks(r->rect_count), fill_columns);
  each(r, 1, chunks(r->glyph_count), lookup);
  claim(r);
  each(r, 2, chunks(r->claim_count), measure);
  reserve(r);
  each(r, 3, r->claim_count, raster_glyph);
  each(r, 4, chunks(r->glyph_count), place);
  each(r, 5, chunks(r->draw_count), image_columns);
  return 1;
}

// ---- Binning

static u32 kind_count(const Renderer& r, u32 kind) {
  return kind == kind_rect ? r.rect_count : kind == kind_glyph ? r.glyph_count : r.draw_count;
}

u64 area(const Renderer& r) {
  u64 sum = 0;
  for (u32 kind = 0; kind < kinds; ++kind) {
    const Span* s = r.spans + r.base[kind];
    for (u32 i = 0, n = kind_count(r, kind); i < n; ++i)
      sum += u64{s[i].tx1 - s[i].tx0} * (s[i].ty1 - s[i].ty0);
  }
  return sum;
}

void chunk_rows(u32 n, u32 slices, u32 slice, u32* first, u32* last) {
  u64 per = (u64{n} + slices - 1) / slices;
  *first = static_cast<u32>(least(u64{slice} * per, n));
  *last = static_cast<u32>(least((u64{slice} + 1) * per, n));
}

void count(Renderer* r, u32 table, u32) {
  const u32 kind = table / r->limits.slices, slice = table % r->limits.slices;
  u32* counts = r->counts + table_at(*r, table, 0);
  for (u32 t = 0; t < r->tile_count; ++t) counts[t] = 0;
  u32 first, last;
  chunk_rows(kind_count(*r, kind), r->limits.slices, slice, &first, &last);
  for (u32 i = first; i < last; ++i) {
    const Span& s = r->spans[r->base[kind] + i];
    for (u32 ty = s.ty0; ty < s.ty1; ++ty)
      for (u32 tx = s.tx0; tx < s.tx1; ++tx) counts[ty * r->tile_columns + tx] += 1;
  }
}

u32 prefix(Renderer* r) {
  const u32 tables = kinds * r->limits.slices;
  u64 total = 0;
  for (u32 t = 0; t < r->tile_count; ++t)
    for (u32 table = 0; table < tables; ++table) {
      u64 at = table_at(*r, table, t);
      r->starts[at] = static_cast<u32>(total);
      total += round16(r->counts[at]);
      if (total > r->limits.tile_entries) return 0;
    }
  r->entries_used = static_cast<u32>(total);
  return 1;
}

void ranges(Renderer* r) {
  const u32 tables = kinds * r->limits.slices, tiles = r->tile_count, groups = r->limits.groups;
  u64 total = 0;
  for (u32 table = 0; table < tables; ++table)
    for (u32 t = 0; t < tiles; ++t) total += r->counts[table_at(*r, table, t)];
  u64 cost = 0;
  u32 placed = 0;
  r->group_bounds[0] = 0;
  for (u32 t = 0; t < tiles; ++t) {
    cost += 1;
    for (u32 table = 0; table < tables; ++table) cost += r->counts[table_at(*r, table, t)];
    u32 done = t + 1;
    if (done % 16 == 0 && done < tiles && placed + 1 < groups && u64{groups} * cost >= (total + tiles) * (placed + 1))
      r->group_bounds[++placed] = done;
  }
  r->group_bounds[placed + 1] = tiles;
  r->group_count = placed + 1;
}

void scatter(Renderer* r, u32 table, u32) {
  const u32 kind = table / r->limits.slices, slice = table % r->limits.slices;
  u32* cursors = r->cursors + table_at(*r, table, 0);
  const u32* starts = r->starts + table_at(*r, table, 0);
  for (u32 t = 0; t < r->tile_count; ++t) cursors[t] = starts[t];
  u32 first, last;
  chunk_rows(kind_count(*r, kind), r->limits.slices, slice, &first, &last);
  for (u32 i = first; i < last; ++i) {
    const u32 item = r->base[kind] + i;
    const Span& s = r->spans[item];
    for (u32 ty = s.ty0; ty < s.ty1; ++ty)
      for (u32 tx = s.tx0; tx < s.tx1; ++tx) r->entries[cursors[ty * r->tile_columns + tx]++] = item;
  }
}

u32 bin(Renderer* r) {
  const u32 tables = kinds * r->limits.slices;
  if (area(*r) > r->limits.tile_entries) {
    r->all_changed = 1;
    return 0;
  }
  each(r, 6, tables, count);
  if (!prefix(r)) {
    r->all_changed = 1;
    return 0;
  }
  ranges(r);
  each(r, 7, tables, scatter);
  return 1;
}

// ---- Hashing and commit

void tile_hash(Renderer* r, u32 group, u32) {
  for (u32 t = r->group_bounds[group]; t < r->group_bounds[group + 1]; ++t) {
    TileWalk w;
    walk_start(*r, t, &w);
    u64 h = tile_start;
    for (u32 layer = walk_layer(*r, &w); layer != none; layer = walk_layer(*r, &w)) {
      const u32 kind = r->layer_kinds[layer];
      for (u32 item = walk_next(*r, &w, kind, layer); item != none; item = walk_next(*r, &w, kind, layer))
        h = tile_step(h, r->hashes[item]);
    }
    r->changed[t] = h != r->previous_hashes[t] || r->all_changed;
    r->current_hashes[t] = h;
  }
}

u32 hash(Renderer* r) {
  each(r, 8, r->group_count, tile_hash);
  u32 changed = 0;
  for (u32 t = 0; t < r->tile_count; ++t) changed += r->changed[t];
  r->changed_count = changed;
  r->ready = 1;
  return 1;
}

u32 end(Renderer* r) {
  if (!prepare(r) || !bin(r)) return 0;
  return hash(r);
}

void commit(Renderer* r) {
  u64* previous = r->previous_hashes;
  r->previous_hashes = r->current_hashes;
  r->current_hashes = previous;
  r->all_changed = 0;
  r->ready = 0;
}

}  // namespace render
