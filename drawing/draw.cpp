#include "drawing/draw.h"

#include "base/bits.h"
#include "base/fmt.h"
#include "drawing/atlas.h"
#include "drawing/cpu.h"
#include "drawing/font.h"
#include "platform/fs.h"
#include "platform/os.h"

namespace draw {

namespace {

constexpr u64 most_font = 67108864;  // 64 MiB
constexpr u32 path_most = 1100;
const u8 frame_prefix[] = "Local\\VimbrelFrame-";

using bits::greatest;
using bits::least;
i32 clamp_i32(i64 v) { return static_cast<i32>(least(greatest(v, INT32_MIN), INT32_MAX)); }
i16 clamp_i16(i64 v) { return static_cast<i16>(least(greatest(v, -32768), 32767)); }
u32 round16(u32 v) { return (v + 15) & ~15u; }

bool empty(const Rect& r) { return r.left >= r.right || r.top >= r.bottom; }

// Strict overlap of a rectangle with entry i of a list.
bool meets(const List& l, u32 i, i32 left, i32 top, i32 right, i32 bottom) {
  return greatest(left, l.left[i]) < least(right, l.right[i]) && greatest(top, l.top[i]) < least(bottom, l.bottom[i]);
}

bool same_columns(const List& l, u32 i, u32 j) { return l.left[i] == l.left[j] && l.right[i] == l.right[j]; }
bool rows_touch(const List& l, u32 i, u32 j) { return l.top[i] <= l.bottom[j] && l.top[j] <= l.bottom[i]; }

// Entry i, just grown, joins every entry of the same columns whose rows it meets or touches: their union.
void join_rows(List* l, u8* count, u32 i) {
  for (u32 j = 0; j < *count; ++j) {
    if (j == i || !same_columns(*l, i, j) || !rows_touch(*l, i, j)) continue;
    l->top[j] = static_cast<i16>(least(l->top[i], l->top[j]));
    l->bottom[j] = static_cast<i16>(greatest(l->bottom[i], l->bottom[j]));
    // Entry i goes; the last entry takes its place.
    const u32 last = *count - 1u;
    l->left[i] = l->left[last], l->top[i] = l->top[last], l->right[i] = l->right[last], l->bottom[i] = l->bottom[last];
    *count = static_cast<u8>(last);
    i = j == last ? i : j;
    j = static_cast<u32>(-1);
  }
}

// Appends a rectangle (already in px), or widens an entry of the same rows that lies within 32 px of it, or lengthens
// one of the same columns whose rows it meets or touches; a grown entry joins those of its columns that it now
// touches, so that the same cells of many rows stay one entry.
void add(Surface* s, List* l, u8* count, Rect r) {
  const i16 left = clamp_i16(r.left), top = clamp_i16(r.top), right = clamp_i16(r.right), bottom = clamp_i16(r.bottom);
  for (u32 i = 0; i < *count; ++i) {
    if (l->left[i] == left && l->right[i] == right && top <= l->bottom[i] && l->top[i] <= bottom) {
      l->top[i] = static_cast<i16>(least(top, l->top[i]));
      l->bottom[i] = static_cast<i16>(greatest(bottom, l->bottom[i]));
      join_rows(l, count, i);
      return;
    }
    if (l->top[i] != top || l->bottom[i] != bottom) continue;
    if (left > i32{l->right[i]} + 32 || l->left[i] > i32{right} + 32) continue;
    l->left[i] = static_cast<i16>(least(left, l->left[i]));
    l->right[i] = static_cast<i16>(greatest(right, l->right[i]));
    join_rows(l, count, i);
    return;
  }
  if (*count >= list_size) {
    s->overflow = 1;
    return;
  }
  l->left[*count] = left;
  l->top[*count] = top;
  l->right[*count] = right;
  l->bottom[*count] = bottom;
  *count += 1;
}

render::Renderer* renderer_of(const Surface& s) { return s.vimb ? s.vimb->renderer : nullptr; }

u32* word(const Surface& s, u32 offset) { return reinterpret_cast<u32*>(s.record.view + offset); }

void put_word(const Surface& s, u32 offset, u32 value) {
  if (s.record.view && s.record.size >= frame_header) __atomic_store_n(word(s, offset), value, __ATOMIC_RELEASE);
}

u32 get_word(const Surface& s, u32 offset) {
  return s.record.view && s.record.size >= frame_header ? __atomic_load_n(word(s, offset), __ATOMIC_ACQUIRE) : 0;
}

// The busy word around every write of the kept pixels, for an outside reader of the record.
void busy(const Surface& s, u32 on) { put_word(s, word_busy, on); }

u64 micros_of(u64 ticks) {
  u64 frequency = os::ticks_per_second();
  if (frequency == 0) frequency = 1;
  return static_cast<u64>(static_cast<unsigned __int128>(ticks) * 1000000 / frequency);
}

u32 kind_count(const render::Renderer& r, u32 kind) {
  return kind == render::kind_rect ? r.rect_count : kind == render::kind_glyph ? r.glyph_count : r.draw_count;
}

u64 table_at(const render::Renderer& r, u32 kind, u32 tile) { return u64{kind} * r.row_length + tile; }

// The tile range of an item cut to a box of tiles; false when they do not meet.
bool span_in(const render::Span& sp, const Rect& box, Rect* out) {
  *out = Rect{static_cast<i32>(greatest(sp.tx0, box.left)), static_cast<i32>(greatest(sp.ty0, box.top)),
              static_cast<i32>(least(sp.tx1, box.right)), static_cast<i32>(least(sp.ty1, box.bottom))};
  return !empty(*out);
}

// Whole-px advance of a glyph at px per em.
i32 advance_px(const font::Face& face, u32 glyph, i32 px) {
  u64 v = (u64{font::advance(face, glyph)} * static_cast<u32>(px) * 256 + face.units_per_em / 2) / face.units_per_em;
  return static_cast<i32>((v + 128) >> 8);
}

// ((value x px x 512 + upem) div (2 x upem) + 128) >> 8, floor division: font units to whole px.
i32 units_px(i64 value, i32 px, u32 upem) {
  i64 a = value * px * 512 + upem, b = 2 * i64{upem};
  i64 q = a / b - (a % b != 0 && a < 0 ? 1 : 0);
  return static_cast<i32>((q + 128) >> 8);
}

// The code point at unit i and the units it takes.
u32 unit_at(const u16* text, u32 count, u32 i, u32* step) {
  u32 cp = code_point(text[i], i + 1 < count ? text[i + 1] : 0);
  *step = cp > 0xFFFF ? 2 : 1;
  return cp;
}

// The 64-byte header-only record of a failed start, so that the driver can read why.
void small_record(Surface* s) { open_frame(s, frame_header); }

void release_vimb(Surface* s) {
  s->vimb = nullptr;
  mem::release(&s->arena);
}

// A u32 array of count from the arena (64-aligned).
template <typename T>
T* take(mem::Arena* arena, u64 count) {
  return reinterpret_cast<T*>(mem::alloc(arena, count * sizeof(T), 64).ptr);
}

}  // namespace

mem::Bytes status_text(u32 status) {
  switch (status) {
    case fine: return mem::lit("fine");
    case font_refused: return mem::lit("a font file cannot be read or was refused");
    case no_memory: return mem::lit("memory, the renderer or the frame record could not be set up");
    case frame_failed: return mem::lit("the last frame of the own renderer failed");
    case record_refused: return mem::lit("the frame record is refused");
    case no_fonts: return mem::lit("no usable font folder");
    case hash_disagrees: return mem::lit("the tile hash check failed; partial frames are off");
  }
  return mem::lit("");
}

// ---- Coordinates

u16 dpi_of(u32 dpi) { return static_cast<u16>(dpi == 0 ? 96 : dpi > 960 ? 960 : dpi); }

i32 to_px(i32 x, u32 dpi) {
  i64 p = i64{x} * dpi_of(dpi);
  return clamp_i32(p >= 0 ? (p + 95) / 96 : p / 96);
}

i32 to_logical(i32 x, u32 dpi) {
  i64 p = i64{x} * 96, d = dpi_of(dpi);
  return static_cast<i32>(p >= 0 ? p / d : -((-p + d - 1) / d));
}

i32 logical_up(i32 x, u32 dpi) {
  i64 p = i64{x} * 96, d = dpi_of(dpi);
  return static_cast<i32>(p >= 0 ? (p + d - 1) / d : p / d);
}

Rect scale_rect(u32 dpi, Rect r) {
  return Rect{to_px(r.left, dpi), to_px(r.top, dpi), to_px(r.right, dpi), to_px(r.bottom, dpi)};
}

i32 tile_floor(i32 x) { return static_cast<i32>(greatest(x, 0) & ~i64{15}); }
i32 tile_ceil(i32 x) { return static_cast<i32>((greatest(x, 0) + 15) & ~i64{15}); }

i32 band_top(i32 limit, u32 row) {
  if (row >= (1u << 28)) return limit;
  return static_cast<i32>(least(limit, i64{16} * row));
}

i32 band_bottom(i32 low, u32 row, u32 any, i32 height) {
  return static_cast<i32>(least(height, greatest(low, (i64{row} + 1) * 16 * any)));
}

bool rows_even(i32 x, u32 dpi) { return i64{x} * dpi_of(dpi) % 96 == 0; }

// ---- Dirty lists

void redo_px(Surface* s, Rect r) {
  if (empty(r)) return;
  const Rect tiles{tile_floor(r.left), tile_floor(r.top), tile_ceil(r.right), tile_ceil(r.bottom)};
  add(s, &s->redo, &s->redo_count, tiles);
}

void redo(Surface* s, Rect r) { redo_px(s, scale_rect(s->dpi, r)); }

void show_px(Surface* s, Rect r) {
  if (empty(r)) return;
  add(s, &s->shows, &s->show_count, r);
}

void show(Surface* s, Rect r) { show_px(s, scale_rect(s->dpi, r)); }

bool wanted_px(const Surface& s, i32 left, i32 top, i32 right, i32 bottom) {
  if (!s.partial) return true;
  for (u32 i = 0; i < s.redo_count; ++i)
    if (meets(s.redo, i, left, top, right, bottom)) return true;
  return false;
}

bool wanted(const Surface& s, i32 left, i32 top, i32 right, i32 bottom) {
  Rect p = scale_rect(s.dpi, Rect{left, top, right, bottom});
  return wanted_px(s, p.left, p.top, p.right, p.bottom);
}

Rect shows_box(const Surface& s) {
  Rect b{32767, 32767, -32768, -32768};
  for (u32 i = 0; i < s.show_count; ++i) {
    b.left = static_cast<i32>(least(b.left, s.shows.left[i]));
    b.top = static_cast<i32>(least(b.top, s.shows.top[i]));
    b.right = static_cast<i32>(greatest(b.right, s.shows.right[i]));
    b.bottom = static_cast<i32>(greatest(b.bottom, s.shows.bottom[i]));
  }
  return b;
}

bool covered(const Surface& s, i32 x, i32 y, i32 width, i32 height) {
  const i64 right = least(i64{x} + 16, width), bottom = least(i64{y} + 16, height);
  for (u32 i = 0; i < s.show_count; ++i)
    if (s.shows.left[i] <= x && s.shows.top[i] <= y && s.shows.right[i] >= right && s.shows.bottom[i] >= bottom)
      return true;
  return false;
}

void changed(Surface* s) {
  if (render::Renderer* r = renderer_of(*s)) r->change_count += 1;
}

void invalidate(Surface* s) {
  if (render::Renderer* r = renderer_of(*s)) {
    r->all_changed = 1;
    r->change_count += 1;
  }
}

// ---- Paint pipeline

void limit_box(Surface* s, Rect paint, bool dirty_only) {
  s->box_top = paint.top;
  s->box_bottom = paint.bottom;
  s->box_left = paint.left;
  s->box_right = paint.right;
  s->box_set = 1;
  s->dirty_only = dirty_only ? 1 : 0;
}

namespace {
u32 resend(Surface* s, gdi::Handle window, Rect area, i32 width, i32 height);
}  // namespace

u32 again(Surface* s, gdi::Handle window, i32 width, i32 height) {
  render::Renderer* r = renderer_of(*s);
  if (!s->use_vimb || !r || !s->kept || r->change_count != s->present_count || width != s->present_width ||
      height != s->present_height)
    return 0;
  s->frame_start = os::ticks();
  s->mode = 1;
  busy(*s, 1);
  // The window keeps what it was sent, so only the area it asked to be painted goes again, with what was changed in
  // place since the last send.
  const Rect area = s->box_set ? Rect{s->box_left, s->box_top, s->box_right, s->box_bottom} : Rect{0, 0, width, height};
  s->box_set = 0;
  gdi::begin_frame(window);
  u32 sent = resend(s, window, area, width, height);
  sent &= gdi::end_frame(window);
  if (!sent) {
    // The window did not take it: draw a whole frame, which sends every tile.
    busy(*s, 0);
    s->kept = 0;
    r->all_changed = 1;
    return 0;
  }
  put_word(*s, word_frames, get_word(*s, word_frames) + 1);
  put_word(*s, word_micros, static_cast<u32>(micros_of(s->frame_ticks[1])));
  busy(*s, 0);
  return 1;
}

void begin(Surface* s, gdi::Handle window, i32 width, i32 height) {
  s->frame_start = os::ticks();
  s->mode = 0;
  s->partial = 0;
  const u8 last_failed = s->failed;
  s->failed = 0;
  render::Renderer* r = renderer_of(*s);
  if (s->use_vimb && r && !last_failed && width > 0 && height > 0) {
    const bool repeated = s->failed_before && r->change_count == s->failed_count && width == s->failed_width &&
                          height == s->failed_height;
    const Vimb& v = *s->vimb;
    render::Target t{v.pixels, v.pixel_count, static_cast<u32>(width), static_cast<u32>(height), v.stride};
    if (!repeated && static_cast<u32>(width) <= r->limits.max_width &&
        static_cast<u32>(height) <= r->limits.max_height && render::begin(r, t, 256)) {
      s->mode = 1;
      // Partial binning keeps one list per kind, which holds only with one binning slice.
      s->partial = !s->overflow && s->show_count > 0 && s->kept && width == s->present_width &&
                   height == s->present_height && !r->all_changed && !s->hash_mismatch && r->limits.slices == 1 &&
                   !s->whole_only;
      return;
    }
  }
  ensure_back(s, window, width, height);
}

bool hash_agrees(const render::Renderer& r) {
  return r.limits.slices == 1 && r.tile_count >= 1 && tile_sum(r, 0) == r.current_hashes[0];
}

u64 tile_sum(const render::Renderer& r, u32 tile) {
  render::TileWalk w;
  render::walk_start(r, tile, &w);
  u64 h = render::tile_start;
  for (u32 layer = render::walk_layer(r, &w); layer != render::none; layer = render::walk_layer(r, &w)) {
    const u32 kind = r.layer_kinds[layer];
    for (u32 item = render::walk_next(r, &w, kind, layer); item != render::none;
         item = render::walk_next(r, &w, kind, layer))
      h = render::tile_step(h, r.hashes[item]);
  }
  return h;
}

u32 blit(Surface* s, gdi::Handle window, Rect r, i32 width, i32 height) {
  r.left = static_cast<i32>(greatest(r.left, 0));
  r.top = static_cast<i32>(greatest(r.top, 0));
  r.right = static_cast<i32>(least(r.right, width));
  r.bottom = static_cast<i32>(least(r.bottom, height));
  if (empty(r)) return 1;
  const Vimb& v = *s->vimb;
  return gdi::present(window, r.left, r.top, r.right - r.left, r.bottom - r.top,
                      v.pixels + u64(r.top) * v.stride + r.left, v.stride);
}

namespace {

constexpr u32 sends_most = 128;

// The rectangles of a frame's send, in px.
struct Sends {
  u32 count;
  Rect rects[sends_most];
};

// A run of tiles to send joins the rectangle of the row above when that has the same columns; else it is a new one.
// False when the list is full.
bool add_run(Sends* out, Rect run) {
  for (u32 i = 0; i < out->count; ++i) {
    Rect& r = out->rects[i];
    if (r.left == run.left && r.right == run.right && r.bottom == run.top) {
      r.bottom = run.bottom;
      return true;
    }
  }
  if (out->count == sends_most) return false;
  out->rects[out->count++] = run;
  return true;
}

// What the window must be sent: the tiles whose kept pixels were written since the last send (composed by this
// frame when `composed`, written through from a sheet or changed in place), as runs of tiles joined down the rows.
// False when there are more rectangles than the list holds.
bool changed_rects(const Surface& s, bool composed, Sends* out) {
  out->count = 0;
  const render::Renderer& r = *s.vimb->renderer;
  const u32* touched = s.vimb->touched;
  const u32 epoch = s.vimb->send_epoch;
  for (u32 row = 0; row < r.tile_rows; ++row) {
    const u64 at = u64{row} * r.tile_columns;
    auto sent = [&](u32 column) { return (composed && r.changed[at + column]) || touched[at + column] == epoch; };
    for (u32 column = 0; column < r.tile_columns;) {
      if (!sent(column)) {
        column += 1;
        continue;
      }
      u32 end = column;
      while (end < r.tile_columns && sent(end)) end += 1;
      const Rect run{static_cast<i32>(column * 16), static_cast<i32>(row * 16),
                     static_cast<i32>(least(i64{end} * 16, r.width)), static_cast<i32>(least(i64{row} * 16 + 16, r.height))};
      if (!add_run(out, run)) return false;
      column = end;
    }
  }
  return true;
}

// The next send starts a new epoch of touched tiles; after 2^32 sends the old marks could match again.
void next_send(Vimb* v, const render::Renderer& r) {
  v->send_epoch += 1;
  if (v->send_epoch == 0) {
    __builtin_memset(v->touched, 0, u64{r.row_length} * sizeof(u32));
    v->send_epoch = 1;
  }
}

// The changed tile rows decide one band of full width, widened to the paint box: the send when the changed
// rectangles are too many to list.
u32 present_band(Surface* s, gdi::Handle window, i32 width, i32 height) {
  const render::Renderer& r = *s->vimb->renderer;
  u32 first = r.tile_rows, last = 0;
  for (u32 t = 0; t < r.tile_count; ++t) {
    if (!r.changed[t]) continue;
    const u32 row = t / r.tile_columns;
    first = static_cast<u32>(least(first, row));
    last = static_cast<u32>(greatest(last, row));
  }
  const i32 paint_top = s->box_set ? s->box_top : 0, paint_bottom = s->box_set ? s->box_bottom : height;
  const i32 top = static_cast<i32>(greatest(band_top(paint_top, first), 0));
  const i32 bottom = band_bottom(paint_bottom, last, last >= first ? 1 : 0, height);
  if (top >= bottom) return 1;
  const Vimb& v = *s->vimb;
  return gdi::present(window, 0, top, width, bottom - top, v.pixels + u64(top) * v.stride, v.stride);
}

// Sends an own-renderer frame: the whole frame when the window may show something else (the last frame went down
// the GDI road, or the size changed), else only the changed rectangles.
u32 send_frame(Surface* s, gdi::Handle window, i32 width, i32 height) {
  if (!s->kept || width != s->present_width || height != s->present_height)
    return blit(s, window, Rect{0, 0, width, height}, width, height);
  Sends sends;
  if (!changed_rects(*s, true, &sends)) return present_band(s, window, width, height);
  u32 ok = 1;
  for (u32 i = 0; i < sends.count; ++i) ok &= blit(s, window, sends.rects[i], width, height);
  return ok;
}

u32 resend(Surface* s, gdi::Handle window, Rect area, i32 width, i32 height) {
  Sends sends;
  u32 ok = blit(s, window, area, width, height);
  if (!changed_rects(*s, false, &sends)) {
    ok &= blit(s, window, Rect{0, 0, width, height}, width, height);
  } else {
    for (u32 i = 0; i < sends.count; ++i) ok &= blit(s, window, sends.rects[i], width, height);
  }
  next_send(s->vimb, *s->vimb->renderer);
  return ok;
}

u32 own_frame(Surface* s) {
  render::Renderer* r = s->vimb->renderer;
  u32 ok = !r->failed;
  if (s->partial) {
    ok = ok && render::prepare(r) && bin_parts(s);
  } else {
    ok = ok && render::end(r);
    if (ok && !s->hash_mismatch && !hash_agrees(*r)) s->hash_mismatch = 1;
  }
  return ok && cpu::draw(r);
}

}  // namespace

u32 present(Surface* s, gdi::Handle window, i32 width, i32 height) {
  u32 ok = 0;
  if (s->mode == 1 && s->vimb) {
    render::Renderer* r = s->vimb->renderer;
    busy(*s, 1);
    ok = own_frame(s);
    if (ok) {
      // A window that did not take the pixels fails the frame like a failed drawing, and the next own frame
      // redraws every tile so that they are all sent again.
      gdi::begin_frame(window);
      ok = send_frame(s, window, width, height);
      ok &= gdi::end_frame(window);
      next_send(s->vimb, *r);
      if (!ok) r->all_changed = 1;
    }
    s->status = !ok ? frame_failed : s->hash_mismatch ? hash_disagrees : fine;
    s->failed = s->failed_before = ok ? 0 : 1;
    s->failed_count = r->change_count;
    s->failed_width = width;
    s->failed_height = height;
    s->kept = static_cast<u8>(ok);
    s->present_count = r->change_count;
  } else {
    ok = s->system ? gdi::road_present(s->system, window)
                   : s->back.pixels && gdi::present(window, 0, 0, s->back.width, s->back.height, s->back.pixels,
                                                    static_cast<u32>(s->back.width));
    s->kept = 0;
    if (render::Renderer* r = renderer_of(*s)) s->present_count = r->change_count;
  }
  const u8 mode = s->mode == 1 && s->vimb ? 1 : 0;
  s->frame_ticks[mode] = os::ticks() - s->frame_start;
  s->box_set = s->partial = s->overflow = 0;
  s->redo_count = s->show_count = 0;
  s->present_width = width;
  s->present_height = height;
  if (ok) {
    put_word(*s, word_frames, get_word(*s, word_frames) + 1);
    put_word(*s, word_mode, mode);
    put_word(*s, word_width, static_cast<u32>(width));
    put_word(*s, word_height, static_cast<u32>(height));
    put_word(*s, word_micros, static_cast<u32>(micros_of(s->frame_ticks[mode])));
    put_word(*s, word_status, s->status);
  }
  if (mode == 1) busy(*s, 0);
  return ok;
}

// ---- Partial binning

Rect mark_parts(Surface* s) {
  Vimb& v = *s->vimb;
  const render::Renderer& r = *v.renderer;
  Rect box{INT32_MAX, INT32_MAX, 0, 0};
  for (u32 i = 0; i < s->redo_count; ++i) {
    const i32 tx0 = s->redo.left[i] / 16, ty0 = s->redo.top[i] / 16;
    const i32 tx1 = static_cast<i32>(least(s->redo.right[i] / 16, r.tile_columns));
    const i32 ty1 = static_cast<i32>(least(s->redo.bottom[i] / 16, r.tile_rows));
    if (tx0 >= tx1 || ty0 >= ty1) continue;
    for (i32 ty = ty0; ty < ty1; ++ty)
      for (i32 tx = tx0; tx < tx1; ++tx) v.marks[u64(ty) * r.tile_columns + tx] = v.epoch;
    box = Rect{static_cast<i32>(least(box.left, tx0)), static_cast<i32>(least(box.top, ty0)),
               static_cast<i32>(greatest(box.right, tx1)), static_cast<i32>(greatest(box.bottom, ty1))};
  }
  if (empty(box)) box = Rect{0, 0, 0, 0};
  return box;
}

void count_parts(Surface* s, Rect box) {
  const Vimb& v = *s->vimb;
  render::Renderer& r = *v.renderer;
  for (i32 ty = box.top; ty < box.bottom; ++ty)
    for (i32 tx = box.left; tx < box.right; ++tx) {
      const u32 t = static_cast<u32>(ty) * r.tile_columns + static_cast<u32>(tx);
      if (v.marks[t] != v.epoch) continue;
      for (u32 kind = 0; kind < render::kinds; ++kind) r.counts[table_at(r, kind, t)] = 0;
    }
  for (u32 kind = 0; kind < render::kinds; ++kind)
    for (u32 i = 0, n = kind_count(r, kind); i < n; ++i) {
      Rect in;
      if (!span_in(r.spans[r.base[kind] + i], box, &in)) continue;
      for (i32 ty = in.top; ty < in.bottom; ++ty)
        for (i32 tx = in.left; tx < in.right; ++tx) {
          const u32 t = static_cast<u32>(ty) * r.tile_columns + static_cast<u32>(tx);
          if (v.marks[t] == v.epoch) r.counts[table_at(r, kind, t)] += 1;
        }
    }
}

u32 place_parts(Surface* s, Rect box) {
  const Vimb& v = *s->vimb;
  render::Renderer& r = *v.renderer;
  u64 sum = 0;
  for (i32 ty = box.top; ty < box.bottom; ++ty)
    for (i32 tx = box.left; tx < box.right; ++tx) {
      const u32 t = static_cast<u32>(ty) * r.tile_columns + static_cast<u32>(tx);
      if (v.marks[t] != v.epoch) continue;
      for (u32 kind = 0; kind < render::kinds; ++kind) {
        const u64 at = table_at(r, kind, t);
        r.starts[at] = r.cursors[at] = static_cast<u32>(sum);
        sum += r.counts[at];
        if (sum > r.limits.tile_entries) return 0;
      }
    }
  r.entries_used = static_cast<u32>(sum);
  return 1;
}

void scatter_parts(Surface* s, Rect box) {
  const Vimb& v = *s->vimb;
  render::Renderer& r = *v.renderer;
  for (u32 kind = 0; kind < render::kinds; ++kind)
    for (u32 i = 0, n = kind_count(r, kind); i < n; ++i) {
      const u32 item = r.base[kind] + i;
      Rect in;
      if (!span_in(r.spans[item], box, &in)) continue;
      for (i32 ty = in.top; ty < in.bottom; ++ty)
        for (i32 tx = in.left; tx < in.right; ++tx) {
          const u32 t = static_cast<u32>(ty) * r.tile_columns + static_cast<u32>(tx);
          if (v.marks[t] == v.epoch) r.entries[r.cursors[table_at(r, kind, t)]++] = item;
        }
    }
}

void hash_parts(Surface* s, Rect box) {
  const Vimb& v = *s->vimb;
  render::Renderer& r = *v.renderer;
  __builtin_memcpy(r.current_hashes, r.previous_hashes, u64{r.tile_count} * sizeof(u64));
  __builtin_memset(r.changed, 0, u64{r.tile_count} * sizeof(u32));
  u32 count = 0;
  s->shows_cover = 1;
  for (i32 ty = box.top; ty < box.bottom; ++ty)
    for (i32 tx = box.left; tx < box.right; ++tx) {
      const u32 t = static_cast<u32>(ty) * r.tile_columns + static_cast<u32>(tx);
      if (v.marks[t] != v.epoch) continue;
      const u64 h = tile_sum(r, t);
      r.current_hashes[t] = h;
      if (h == r.previous_hashes[t]) continue;
      r.changed[t] = 1;
      count += 1;
      if (!covered(*s, tx * 16, ty * 16, static_cast<i32>(r.width), static_cast<i32>(r.height))) s->shows_cover = 0;
    }
  r.changed_count = count;
}

u32 bin_parts(Surface* s) {
  Vimb& v = *s->vimb;
  render::Renderer& r = *v.renderer;
  v.epoch += 1;
  if (v.epoch == 0) {
    // After 2^32 frames the old marks could match again.
    __builtin_memset(v.marks, 0, u64{r.row_length} * sizeof(u32));
    v.epoch = 1;
  }
  const Rect box = mark_parts(s);
  count_parts(s, box);
  if (!place_parts(s, box)) return 0;
  scatter_parts(s, box);
  r.group_count = 1;
  r.group_bounds[0] = 0;
  r.group_bounds[1] = r.tile_count;
  hash_parts(s, box);
  r.ready = 1;
  return 1;
}

// ---- Colours and text units

i32 font_height(u32 role) {
  switch (role) {
    case 1: return -16;
    case 2: return -10;
    case 3: return -12;
  }
  return -15;
}

i32 font_px(u32 role, u32 dpi) { return to_px(-font_height(role), dpi); }

const char* font_face(u32 role) {
  switch (role) {
    case 1: return "Consolas";
    case 2: return "Segoe MDL2 Assets";
  }
  return "Segoe UI";
}

// Variable pitch and Swiss for the text roles, fixed pitch and modern for numbers, the default for icon glyphs.
u32 font_pitch(u32 role) {
  switch (role) {
    case 1: return 49;
    case 2: return 0;
  }
  return 34;
}

u32 bgra(u32 c) { return 0xFF000000u | (c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF); }

u32 div255(u32 x) { return ((x + 128) + ((x + 128) >> 8)) >> 8; }

u32 premultiply(u32 p) {
  const u32 a = p >> 24;
  u32 out = p & 0xFF000000u;
  for (u32 shift = 0; shift < 24; shift += 8) out |= div255(((p >> shift) & 0xFF) * a) << shift;
  return out;
}

u32 code_point(u32 hi, u32 lo) {
  if (hi >= 0xD800 && hi <= 0xDBFF && lo >= 0xDC00 && lo <= 0xDFFF)
    return (hi - 0xD800) * 1024 + (lo - 0xDC00) + 0x10000;
  return hi;
}

// ---- Drawing calls

namespace {

constexpr u64 kept_glyph_bytes = 4u << 20;  // kept glyph coverage per role; beyond it glyphs are drawn each time
constexpr u64 icon_most = 256 * 256;

// The size of a font file in the folder, 0 when it cannot be read or is above the limit.
u64 font_size(mem::Bytes folder, mem::Bytes name) {
  u8 path[path_most];
  if (folder.len + 1 + name.len + 1 > path_most) return 0;
  __builtin_memcpy(path, folder.ptr, folder.len);
  path[folder.len] = '/';
  __builtin_memcpy(path + folder.len + 1, name.ptr, name.len);
  u64 size = 0, time = 0;
  if (!fs::size_and_time(mem::Bytes(path, folder.len + 1 + name.len), &size, &time) || size > most_font) return 0;
  return size;
}

}  // namespace

void make_fonts(Surface* s) {
  for (u32 role = 0; role < roles; ++role) s->fonts[role] = nullptr;
  s->icon_scratch = nullptr;
  if (s->road.capacity) mem::release(&s->road);
  if (s->system) {
    for (u32 role = 0; role < roles; ++role)
      gdi::road_font(s->system, role, font_face(role), font_px(role, s->dpi), font_pitch(role));
    return;
  }
  u8 folder_bytes[folder_most];
  const u32 n = fonts_dir(s->test_folder.ptr, static_cast<u32>(s->test_folder.len), folder_bytes);
  if (n == 0) return;
  const mem::Bytes folder(folder_bytes, n);
  const bool test_fonts = s->test_folder.len > 0;
  // A file named by several roles is read and parsed once; every role has its own size and kept glyphs.
  mem::Bytes names[roles];
  u64 bytes = icon_most * 4 + 4096;
  for (u32 role = 0; role < roles; ++role) {
    names[role] = font_file(role, test_fonts);
    bool seen = false;
    for (u32 before = 0; before < role; ++before) seen = seen || mem::eq(names[before], names[role]);
    if (!seen) bytes += font_size(folder, names[role]) * 5 + (1u << 20);
    bytes += sizeof(soft::Font) + (2u << 20) + kept_glyph_bytes;
  }
  if (!mem::arena_init(&s->road, bytes)) return;
  s->icon_scratch = mem::alloc_of<u32>(&s->road, icon_most);
  const font::Face* faces[roles] = {};
  for (u32 role = 0; role < roles; ++role) {
    for (u32 before = 0; before < role; ++before)
      if (mem::eq(names[before], names[role])) faces[role] = faces[before];
    if (!faces[role]) {
      const mem::Bytes file = read_font(&s->road, folder, names[role]);
      font::Face* face = mem::alloc_of<font::Face>(&s->road);
      if (file.len == 0 || !face || font::parse(face, file.ptr, file.len, &s->road) != font::ok) continue;
      faces[role] = face;
    }
    soft::Font* f = mem::alloc_of<soft::Font>(&s->road);
    const i32 px = font_px(role, s->dpi);
    if (f && px > 0 && soft::font_init(f, faces[role], &s->road, static_cast<u32>(px))) s->fonts[role] = f;
  }
}

void init(Surface* s, gdi::Handle window, gdi::Handle icon, mem::Bytes test_folder) {
  *s = Surface{};
  s->window = window;
  s->icon = icon;
  s->dpi = 96;
  s->test_folder = test_folder;
  s->bad_font = no_role;
  // The system's GDI where it has one; with a test folder the road draws the folder's font itself, as the own
  // renderer does, so that a test sees the same text on both roads and on every system.
  s->system = test_folder.len == 0 ? gdi::road_open(window) : 0;
  make_fonts(s);
}

void close(Surface* s) {
  // The window is not told: it may be gone already (it owns what it shares, and goes first).
  soft::back_free(&s->back);
  gdi::road_close(s->system);
  if (s->road.capacity) mem::release(&s->road);
  section::close(&s->record);
  release_vimb(s);
  *s = Surface{};
}

Size cell(const Surface& s) {
  const u16 m = 'M';
  Size size{};
  if (s.system) {
    gdi::road_extent(s.system, 1, &m, 1, &size.width, &size.height);
  } else {
    soft::text_extent(s.fonts[1], &m, 1, &size.width, &size.height);
  }
  return size;
}

void set_dpi(Surface* s, u32 dpi, gdi::Handle icon) {
  // The icon belongs to the window that gave it: the surface only stops using the old one.
  s->icon = icon;
  s->dpi = dpi_of(dpi);
  make_fonts(s);
  s->overflow = 1;
  if (s->vimb) {
    vimb_metrics(s->vimb, *s);
    copy_icon(s);
    invalidate(s);
  }
}

void fill(Surface* s, Rect r, u32 colour) {
  const Rect p = scale_rect(s->dpi, r);
  if (empty(p) || !wanted_px(*s, p.left, p.top, p.right, p.bottom)) return;
  if (s->mode == 1) {
    render::fill_rect(s->vimb->renderer, p.left * 256, p.top * 256, p.right * 256, p.bottom * 256, bgra(colour));
  } else if (s->system) {
    gdi::road_fill(s->system, p.left, p.top, p.right, p.bottom, colour);
  } else {
    soft::fill(&s->back, p.left, p.top, p.right, p.bottom, colour);
  }
}

void text(Surface* s, u32 role, const u16* units, u32 count, i32 x, i32 y, Rect clip, u32 colour,
          const i32* advances) {
  if (count == 0 || role >= roles) return;
  const Rect c = scale_rect(s->dpi, clip);
  if (!wanted_px(*s, c.left, c.top, c.right, c.bottom)) return;
  const i32 px = to_px(x, s->dpi), py = to_px(y, s->dpi);
  if (s->mode == 1) {
    vimb_text(s->vimb, role, units, count, px, py, c, colour, advances);
  } else if (s->system) {
    gdi::road_text(s->system, role, px, py, c.left, c.top, c.right, c.bottom, colour, units, count, advances);
  } else {
    soft::text(&s->back, s->fonts[role], px, py, c.left, c.top, c.right, c.bottom, colour, units, count, advances);
  }
}

Size measure(Surface* s, u32 role, const u16* units, u32 count) {
  Size size{};
  if (role >= roles) return size;
  if (s->mode == 1 && s->vimb) {
    size = vimb_measure(*s->vimb, role, units, count);
  } else if (s->system) {
    gdi::road_extent(s->system, role, units, count, &size.width, &size.height);
  } else {
    soft::text_extent(s->fonts[role], units, count, &size.width, &size.height);
  }
  return Size{logical_up(size.width, s->dpi), logical_up(size.height, s->dpi)};
}

void icon(Surface* s, i32 x, i32 y, i32 size) {
  const i32 left = to_px(x, s->dpi), top = to_px(y, s->dpi), right = to_px(x + size, s->dpi);
  const i32 side = right - left;
  if (!s->icon || !wanted_px(*s, left, top, right, top + side)) return;
  if (s->mode == 1) {
    const Vimb& v = *s->vimb;
    if (v.icon_image == render::none || v.icon_width <= 0 || v.icon_height <= 0) return;
    // The icon's own pixels, which fill only the corner of the 128 x 128 image when it is smaller.
    render::image(v.renderer, v.icon_image, 0, 0, v.icon_width, v.icon_height, left * 256, top * 256, right * 256,
                  (top + side) * 256);
  } else if (s->system) {
    gdi::road_icon(s->system, s->icon, left, top, side);
  } else {
    i32 w = 0, h = 0;
    if (s->icon_scratch && gdi::icon_pixels(s->icon, nullptr, 0, &w, &h) && w >= 1 && h >= 1 &&
        u64(w) * u64(h) <= icon_most && gdi::icon_pixels(s->icon, s->icon_scratch, icon_most, &w, &h))
      soft::draw_icon(&s->back, s->icon_scratch, w, h, left, top, side);
  }
}

void mark(Surface* s, Rect r, u32 value) {
  if (s->mode != 1) return;
  const Rect p = scale_rect(s->dpi, r);
  if (empty(p) || !wanted_px(*s, p.left, p.top, p.right, p.bottom)) return;
  render::fill_rect(s->vimb->renderer, p.left * 256, p.top * 256, p.right * 256,
                    p.bottom * 256 - static_cast<i32>(value & 0x7F) - 1, 0);
}

void ensure_back(Surface* s, gdi::Handle, i32 width, i32 height) {
  if (s->system) {
    gdi::road_back(s->system, width, height);
    return;
  }
  if (s->back.pixels && width == s->back.width && height == s->back.height) return;
  soft::back_size(&s->back, width, height);
}

// ---- Own-renderer start

i32 virtual_side(i32 metric, i32 floor) { return static_cast<i32>(least(greatest(metric, floor), 16384)); }

bool local_folder(mem::Bytes p) {
  if (p.len < 2 || p.len > 900) return false;
  for (u64 i = 0; i < p.len; ++i)
    if (p.ptr[i] >= 128) return false;
  if (p.ptr[0] == '/') return true;
  const u8 letter = p.ptr[0] | 0x20;
  return p.len >= 3 && letter >= 'a' && letter <= 'z' && p.ptr[1] == ':' && (p.ptr[2] == '\\' || p.ptr[2] == '/');
}

u32 fonts_dir(const u8* folder, u32 length, u8* out) {
  if (length == 0) return gdi::system_fonts(out, folder_most);
  const mem::Bytes path(folder, length);
  if (!local_folder(path) || length >= folder_most || !gdi::local_drive(path)) return 0;
  __builtin_memcpy(out, folder, length);
  return length;
}

mem::Bytes font_file(u32 role, bool test_fonts) {
  return test_fonts ? mem::lit("Lato-Regular.ttf") : gdi::system_font_file(role);
}

mem::Bytes read_font(mem::Arena* arena, mem::Bytes folder, mem::Bytes name) {
  u8 path[path_most];
  if (folder.len + 1 + name.len + 1 > path_most) return mem::Bytes();
  __builtin_memcpy(path, folder.ptr, folder.len);
  path[folder.len] = '/';
  __builtin_memcpy(path + folder.len + 1, name.ptr, name.len);
  const mem::Bytes whole(path, folder.len + 1 + name.len);
  u64 size = 0, time = 0;
  if (!fs::size_and_time(whole, &size, &time) || size == 0 || size > most_font) return mem::Bytes();
  mem::Slice bytes;
  if (fs::read_file(whole, arena, &bytes) != fs::ok || bytes.len == 0 || bytes.len > most_font) return mem::Bytes();
  return bytes;
}

u32 frame_cells(i32 width, i32 height, i32 cell_width, i32 cell_height) {
  const i64 cw = cell_width <= 0 ? 1 : cell_width, ch = cell_height <= 0 ? 1 : cell_height;
  return static_cast<u32>(least((width / cw + 2) * (height / ch + 2), 0x7FFFFFF));
}

render::Limits vimb_limits(i32 width, i32 height, i32 cell_width, i32 cell_height, u32 rect_limit) {
  render::Limits l = render::defaults();
  const u32 cells = frame_cells(width, height, cell_width, cell_height);
  l.slices = 1;
  l.max_width = static_cast<u32>(width);
  l.max_height = static_cast<u32>(height);
  l.image_bytes = 1048576;
  l.rects = cells + 4096;
  l.glyphs = cells + 16384;
  l.commands = cells * 2 + 8192;
  if (rect_limit) l.rects = l.glyphs = l.commands = rect_limit;
  l.layers = l.commands;
  const u64 tiles = u64{(l.max_width + 15) / 16} * ((l.max_height + 15) / 16);
  l.tile_entries = static_cast<u32>(least((u64{l.rects} + l.glyphs) * 6 + tiles * 64, UINT32_MAX));
  return l;
}

u64 arena_bytes(const render::Limits& l) {
  const u64 tiles = u64{(l.max_width + 15) / 16} * ((l.max_height + 15) / 16);
  return l.atlas_bytes + l.image_bytes + u64{l.slices} * 3 * tiles * 12 + tiles * 64 + u64{l.tile_entries} * 4 +
         (u64{l.rects} + l.glyphs + l.images) * 192 + u64{l.commands} * 16 + 33554432;
}

u32 frame_name(gdi::Handle window, u8* out64) {
  const u32 n = sizeof frame_prefix - 1;
  __builtin_memcpy(out64, frame_prefix, n);
  u8 digits[fmt::hex_size];
  const mem::Slice hex = fmt::hex(window, digits);
  __builtin_memcpy(out64 + n, hex.ptr, hex.len);
  return n + static_cast<u32>(hex.len);
}

u32 open_frame(Surface* s, u64 bytes) {
  u8 name[64];
  const u32 n = frame_name(gdi::window_id(s->window), name);
  section::close(&s->record);
  // The section is made owner-only and exclusively: a record of that name held by a live owner is refused.
  const u32 code = section::create(mem::Bytes(name, n), bytes, &s->record);
  if (code == section::bad_name || code == section::in_use) return record_refused;
  if (code != section::ok) return no_memory;
  put_word(*s, word_magic, frame_magic);
  return fine;
}

namespace {

// Reads each role's font (a file named by two roles is read once) and adds its face. 0, or the failing code with
// bad_font set.
u32 add_faces(Surface* s, Vimb* v, mem::Bytes folder) {
  mem::Bytes names[roles], bytes[roles];
  for (u32 role = 0; role < roles; ++role) {
    names[role] = font_file(role, s->test_fonts);
    v->face[role] = -1;
    for (u32 before = 0; before < role; ++before)
      if (mem::eq(names[before], names[role])) {
        bytes[role] = bytes[before];
        v->face[role] = v->face[before];
      }
    if (v->face[role] >= 0) continue;
    bytes[role] = read_font(&s->arena, folder, names[role]);
    if (bytes[role].len == 0) {
      s->bad_font = role;
      return font_refused;
    }
    v->face[role] = render::face_add(v->renderer, &s->arena, bytes[role].ptr, bytes[role].len);
    if (v->face[role] < 0) {
      s->bad_font = role;
      return font_refused;
    }
  }
  return fine;
}

// The run buffers, the mark table and the icon buffers.
u32 take_buffers(Surface* s, Vimb* v) {
  v->run_ids = take<u32>(&s->arena, run_size);
  v->run_x = take<i32>(&s->arena, run_size);
  v->run_y = take<i32>(&s->arena, run_size);
  v->marks = take<u32>(&s->arena, v->renderer->row_length);
  v->touched = take<u32>(&s->arena, v->renderer->row_length);
  v->icon_pixels = take<u32>(&s->arena, icon_side * icon_side);
  v->icon_scratch = take<u32>(&s->arena, icon_side * icon_side);
  if (!v->run_ids || !v->run_x || !v->run_y || !v->marks || !v->touched || !v->icon_pixels || !v->icon_scratch)
    return 0;
  __builtin_memset(v->run_y, 0, run_size * sizeof(i32));
  __builtin_memset(v->marks, 0, u64{v->renderer->row_length} * sizeof(u32));
  __builtin_memset(v->touched, 0, u64{v->renderer->row_length} * sizeof(u32));
  v->epoch = 0;
  v->send_epoch = 1;
  return 1;
}

u32 failed_start(Surface* s, u32 code, bool small) {
  release_vimb(s);
  if (small) small_record(s);
  return code;
}

}  // namespace

u32 start_vimb(Surface* s, i32 width, i32 height, i32 cell_width, i32 cell_height, u32 rect_limit, const u8* folder,
               u32 folder_length) {
  u8 dir[folder_most];
  const u32 dir_length = fonts_dir(folder, folder_length, dir);
  if (dir_length == 0) return failed_start(s, no_fonts, true);
  const mem::Bytes fonts(dir, dir_length);
  const render::Limits limits = vimb_limits(width, height, cell_width, cell_height, rect_limit);
  // Room for the font files too: they are read into the same arena.
  u64 font_bytes = 0;
  for (u32 role = 0; role < roles; ++role) {
    u64 size = 0, time = 0;
    u8 path[path_most];
    const mem::Bytes name = font_file(role, s->test_fonts);
    if (dir_length + 1 + name.len > sizeof path) continue;
    __builtin_memcpy(path, dir, dir_length);
    path[dir_length] = '/';
    __builtin_memcpy(path + dir_length + 1, name.ptr, name.len);
    if (fs::size_and_time(mem::Bytes(path, dir_length + 1 + name.len), &size, &time) && size <= most_font)
      font_bytes += size + 64;
  }
  if (!mem::arena_init(&s->arena, arena_bytes(limits) + font_bytes)) return failed_start(s, no_memory, false);
  Vimb* v = mem::alloc_of<Vimb>(&s->arena);
  render::Renderer* r = v ? reinterpret_cast<render::Renderer*>(mem::alloc(&s->arena, sizeof(render::Renderer), 64).ptr)
                          : nullptr;
  if (!v || !r) return failed_start(s, no_memory, false);
  *v = Vimb{};
  v->renderer = r;
  v->icon_image = render::none;
  v->sheet_slot = -1;
  s->vimb = v;
  // The renderer first: faces added to a renderer that failed would be refused and blamed on the font.
  if (!render::init(r, &s->arena, limits)) return failed_start(s, no_memory, false);
  const u32 faces = add_faces(s, v, fonts);
  if (faces != fine) return failed_start(s, faces, true);
  if (!take_buffers(s, v)) return failed_start(s, no_memory, false);
  v->frame_width = static_cast<u32>(width);
  v->frame_height = static_cast<u32>(height);
  v->stride = round16(v->frame_width);
  v->rows = round16(v->frame_height);
  const u32 record = open_frame(s, u64{v->stride} * v->rows * 4 + frame_header);
  if (record != fine) return failed_start(s, record, false);
  v->pixels = reinterpret_cast<u32*>(s->record.view + frame_header);
  v->pixel_count = u64{v->stride} * v->rows;
  // The window system may read the kept frame from the record itself.
  gdi::share_memory(s->window, s->record);
  put_word(*s, word_stride, v->stride);
  vimb_metrics(v, *s);
  load_icon(s);
  v->sheet_slot = sheet_add(r);
  return fine;
}

u32 select(Surface* s, u32 use_own, const u8* folder, u32 folder_length, i32 cell_width, i32 cell_height,
           u32 rect_limit) {
  s->use_vimb = 0;
  if (!use_own) return 0;
  if (!s->vimb) {
    // A start that failed is not tried again: the window stays on the GDI road for its life.
    if (s->start_tried) return s->status;
    s->start_tried = 1;
    s->test_fonts = folder_length != 0;
    const i32 width = virtual_side(gdi::virtual_width(s->window), 3840);
    const i32 height = virtual_side(gdi::virtual_height(s->window), 2160);
    const u32 code = start_vimb(s, width, height, cell_width, cell_height, rect_limit, folder, folder_length);
    s->status = static_cast<u8>(code);
    put_word(*s, word_status, code);
    if (code != fine) return code;
  }
  s->status = fine;
  s->use_vimb = 1;
  return 0;
}

void vimb_metrics(Vimb* v, const Surface& s) {
  for (u32 role = 0; role < roles; ++role) {
    const font::Face& face = v->renderer->faces[v->face[role]];
    const i32 px = font_px(role, s.dpi);
    v->px[role] = px;
    // The face's own metrics, as the system fonts' metrics are not at hand on every system.
    v->ascent[role] = units_px(face.ascender, px, face.units_per_em);
    v->line_height[role] = units_px(i64{face.ascender} - face.descender, px, face.units_per_em);
  }
}

void vimb_text(Vimb* v, u32 role, const u16* units, u32 count, i32 x, i32 y, Rect clip, u32 colour,
               const i32* advances) {
  render::Renderer* r = v->renderer;
  const font::Face& face = r->faces[v->face[role]];
  render::push_clip(r, clip.left * 256, clip.top * 256, clip.right * 256, clip.bottom * 256);
  const i32 pen = x * 256, baseline = (y + v->ascent[role]) * 256;
  const u32 paint = bgra(colour), face_index = static_cast<u32>(v->face[role]), px = static_cast<u32>(v->px[role]);
  i64 offset = 0;
  u32 n = 0;
  for (u32 i = 0, step = 1; i < count; i += step) {
    const u32 glyph = font::glyph_of(face, unit_at(units, count, i, &step));
    if (n == run_size) {
      render::glyph_run(r, face_index, px, pen, baseline, v->run_ids, n, v->run_x, n, v->run_y, n, paint);
      n = 0;
    }
    v->run_ids[n] = glyph;
    v->run_x[n] = clamp_i32(offset);
    n += 1;
    const i64 advance = advances ? i64{advances[i]} + (step == 2 ? advances[i + 1] : 0)
                                 : advance_px(face, glyph, v->px[role]);
    offset += advance * 256;
  }
  if (n) render::glyph_run(r, face_index, px, pen, baseline, v->run_ids, n, v->run_x, n, v->run_y, n, paint);
  render::pop_clip(r);
}

Size vimb_measure(const Vimb& v, u32 role, const u16* units, u32 count) {
  const font::Face& face = v.renderer->faces[v.face[role]];
  i64 width = 0;
  for (u32 i = 0, step = 1; i < count; i += step)
    width += advance_px(face, font::glyph_of(face, unit_at(units, count, i, &step)), v.px[role]);
  return Size{clamp_i32(width), v.line_height[role]};
}

u32 fill_icon(Vimb* v, gdi::Handle icon, bool update) {
  __builtin_memset(v->icon_pixels, 0, icon_side * icon_side * sizeof(u32));
  v->icon_width = v->icon_height = 0;
  i32 w = 0, h = 0;
  if (icon && gdi::icon_pixels(icon, nullptr, 0, &w, &h) && w >= 1 && h >= 1 && w <= 128 && h <= 128 &&
      gdi::icon_pixels(icon, v->icon_scratch, icon_side * icon_side, &w, &h)) {
    for (i32 y = 0; y < h; ++y)
      for (i32 x = 0; x < w; ++x)
        v->icon_pixels[u64(y) * icon_side + x] = premultiply(v->icon_scratch[u64(y) * w + x]);
    v->icon_width = w;
    v->icon_height = h;
  }
  if (update && v->icon_image != render::none)
    return render::image_update(v->renderer, v->icon_image, v->icon_pixels, icon_side * icon_side);
  v->icon_image = render::image_add(v->renderer, v->icon_pixels, icon_side * icon_side, icon_side, icon_side);
  return v->icon_image != render::none;
}

u32 load_icon(Surface* s) { return fill_icon(s->vimb, s->icon, false); }

u32 copy_icon(Surface* s) { return fill_icon(s->vimb, s->icon, true); }

// ---- Sheets

i32 sheet_add(render::Renderer* r) {
  if (r->image_count >= render::max_images) return -1;
  r->images[r->image_count] = render::Image{0, 0, 0, 1, 0, nullptr};
  return static_cast<i32>(r->image_count++);
}

void bind_sheet(Surface* s, Sheet* sheet) {
  render::Renderer* r = renderer_of(*s);
  if (!r || s->vimb->sheet_slot < 0 || !sheet->pixels || sheet->width == 0 || sheet->height == 0 ||
      sheet->width > render::max_image_side || sheet->height > render::max_image_side || sheet->stride < sheet->width) {
    sheet->slot = -1;
    return;
  }
  // Each image slot reads its own pixels, so the sheet needs no common base with the renderer's image store.
  render::Image& im = r->images[s->vimb->sheet_slot];
  im.width = sheet->width;
  im.height = sheet->height;
  im.stride = sheet->stride;
  im.pixels = sheet->pixels;
  im.offset = 0;
  im.version += 1;
  sheet->slot = s->vimb->sheet_slot;
}

void copy_span(u32* to, const u32* from, u32 count) {
  u32 i = 0;
  for (; i + 8 <= count; i += 8) __builtin_memcpy(to + i, from + i, 32);
  for (; i < count; ++i) to[i] = from[i];
}

void copy_rows(Surface* s, const Sheet& sheet, i32 source_x, i32 source_y, i32 width, i32 height, i32 x, i32 y,
               Rect keep_out, i32 band_left, i32 band_right, i32 row_limit) {
  render::Renderer* r = renderer_of(*s);
  if (!r) return;
  const Vimb& v = *s->vimb;
  const Rect keep = scale_rect(s->dpi, keep_out);
  const i64 x0 = greatest(x, 0), x1 = least(i64{x} + width, r->width);
  const i64 b0 = least(greatest(to_px(band_left, s->dpi), x0), x1);
  const i64 b1 = least(greatest(to_px(band_right, s->dpi), b0), x1);
  const i64 y0 = greatest(y, 0), y1 = least(least(i64{y} + height, r->height), row_limit);
  busy(*s, 1);
  for (i64 row = y0; row < y1; ++row) {
    u32* to = v.pixels + u64(row) * v.stride;
    const u32* from = sheet.pixels + u64(source_y + (row - y)) * sheet.stride + source_x;
    // The columns left out: the band on every row, the keep-out on the rows it covers.
    const bool keeps = row >= keep.top && row < keep.bottom && keep.left < keep.right;
    const i64 cuts[2][2] = {{b0, b1}, {keeps ? keep.left : 0, keeps ? keep.right : 0}};
    for (i64 col = x0; col < x1;) {
      i64 stop = x1, skip_to = col;
      for (const auto& cut : cuts) {
        if (cut[0] >= cut[1]) continue;
        if (col >= cut[0] && col < cut[1]) skip_to = greatest(skip_to, cut[1]);
        if (cut[0] > col) stop = least(stop, cut[0]);
      }
      if (skip_to > col) {
        col = skip_to;
        continue;
      }
      copy_span(to + col, from + (col - x), static_cast<u32>(stop - col));
      col = stop;
    }
  }
  busy(*s, 0);
  touch(s, static_cast<i32>(x0), static_cast<i32>(y0), static_cast<i32>(x1), static_cast<i32>(y1));
}

void sheet_show(Surface* s, const Sheet& sheet, i32 source_x, i32 source_y, i32 width, i32 height, i32 x, i32 y,
                bool write_through, Rect keep_out, i32 band_left, i32 band_right, i32 row_limit) {
  if (width <= 0 || height <= 0 || !sheet.pixels || source_x < 0 || source_y < 0) return;
  // Only the sheet's own pixels are ever read.
  width = static_cast<i32>(least(width, i64{sheet.width} - source_x));
  height = static_cast<i32>(least(height, i64{sheet.height} - source_y));
  if (width <= 0 || height <= 0) return;
  if (s->mode != 1) {
    const u32* from = sheet.pixels + u64(source_y) * sheet.stride + source_x;
    if (s->system) {
      gdi::road_image(s->system, x, y, width, height, from, sheet.stride);
    } else {
      soft::blit(&s->back, x, y, width, height, from, sheet.stride);
    }
    return;
  }
  if (sheet.slot < 0) return;
  if (wanted_px(*s, x, y, x + width, y + height))
    render::image(s->vimb->renderer, static_cast<u32>(sheet.slot), source_x, source_y, width, height, x * 256,
                  y * 256, (x + width) * 256, (y + height) * 256);
  if (write_through)
    copy_rows(s, sheet, source_x, source_y, width, height, x, y, keep_out, band_left, band_right, row_limit);
}

// ---- In-place changes

bool pending_in(const Surface& s, Rect p) {
  for (u32 i = 0; i < s.redo_count; ++i)
    if (meets(s.redo, i, p.left, p.top, p.right, p.bottom)) return true;
  for (u32 i = 0; i < s.show_count; ++i)
    if (meets(s.shows, i, p.left, p.top, p.right, p.bottom)) return true;
  return false;
}

bool touchable(const Surface& s, Rect r) {
  const render::Renderer* rr = renderer_of(s);
  return s.use_vimb && rr && s.kept && !s.overflow && !pending_in(s, scale_rect(s.dpi, r)) &&
         rr->change_count == s.present_count && !rr->all_changed;
}

void touch(Surface* s, i32 left, i32 top, i32 right, i32 bottom) {
  render::Renderer* r = renderer_of(*s);
  if (!r || left >= right || top >= bottom) return;
  const i64 c0 = tile_floor(left) / 16, c1 = least(tile_ceil(right) / 16, r->tile_columns);
  const i64 r0 = tile_floor(top) / 16, r1 = least(tile_ceil(bottom) / 16, r->tile_rows);
  for (i64 row = r0; row < r1; ++row)
    for (i64 column = c0; column < c1; ++column) s->vimb->touched[row * r->tile_columns + column] = s->vimb->send_epoch;
}

void sheet_changed(Surface* s, const Sheet& sheet) {
  render::Renderer* r = renderer_of(*s);
  if (r && sheet.slot >= 0 && static_cast<u32>(sheet.slot) < r->image_count) r->images[sheet.slot].version += 1;
}

void poison(Surface* s, i32 left, i32 top, i32 right, i32 bottom) {
  touch(s, left, top, right, bottom);
  render::Renderer* r = renderer_of(*s);
  if (!r) return;
  const i64 c0 = tile_floor(left) / 16, c1 = least(tile_ceil(right) / 16, r->tile_columns);
  const i64 r0 = tile_floor(top) / 16, r1 = least(tile_ceil(bottom) / 16, r->tile_rows);
  for (i64 row = r0; row < r1; ++row)
    for (i64 col = c0; col < c1; ++col) r->previous_hashes[row * r->tile_columns + col] = 0;
}

namespace {

// A scaled rectangle cut to the kept frame.
Rect kept_cut(const Surface& s, Rect r) {
  const Rect p = scale_rect(s.dpi, r);
  return Rect{static_cast<i32>(greatest(p.left, 0)), static_cast<i32>(greatest(p.top, 0)),
              static_cast<i32>(least(p.right, s.present_width)), static_cast<i32>(least(p.bottom, s.present_height))};
}

}  // namespace

u32 paint(Surface* s, Rect r, u32 colour) {
  // Only over a kept frame: without one there are no valid pixels to change.
  if (!renderer_of(*s) || !s->kept) return 0;
  const Rect c = kept_cut(*s, r);
  if (empty(c)) return 1;
  const u32 p = bgra(colour);
  // The row and the colour in locals: a store through the frame's pixels may not reload them (nothing here is
  // strict about aliasing), so the rows fill as wide stores.
  u32* const pixels = s->vimb->pixels;
  const u64 stride = s->vimb->stride;
  busy(*s, 1);
  for (i32 y = c.top; y < c.bottom; ++y) {
    u32* const row = pixels + u64(y) * stride;
    for (i32 x = c.left; x < c.right; ++x) row[x] = p;
  }
  busy(*s, 0);
  poison(s, c.left, c.top, c.right, c.bottom);
  return 1;
}

u32 ink_mix(u32 pixel, u32 colour, u32 c) {
  const u32 k = 255 - div255(c * (colour >> 24));
  u32 out = 0;
  for (u32 shift = 0; shift < 32; shift += 8) {
    const u32 v = div255(c * ((colour >> shift) & 0xFF)) + div255(((pixel >> shift) & 0xFF) * k);
    out |= (v > 255 ? 255 : v) << shift;
  }
  return out;
}

u32 ink(Surface* s, u32 role, const u16* units, u32 count, i32 x, i32 y, Rect clip, u32 colour) {
  render::Renderer* r = renderer_of(*s);
  if (count > ink_most || !r || role >= roles || !s->kept) return 0;
  const Vimb& v = *s->vimb;
  // The frame's scale is 1:1, so the text's size is the role's px.
  const u32 size = static_cast<u32>((i64{v.px[role]} * 256 + 128) >> 8);
  if (size == 0 || size > 2048) return 0;
  const font::Face& face = r->faces[v.face[role]];
  u32 keys[ink_most];
  i32 pens[ink_most];
  u32 glyphs = 0;
  i64 pen = to_px(x, s->dpi);
  for (u32 i = 0, step = 1; i < count; i += step) {
    const u32 glyph = font::glyph_of(face, unit_at(units, count, i, &step));
    if (glyph >= 0x10000) return 0;
    const u32 key = atlas::find(r->atlas, atlas::key(glyph, size, static_cast<u32>(v.face[role])));
    if (key == atlas::absent || r->atlas.offsets[key] == atlas::no_slot_yet) return 0;
    keys[glyphs] = key;
    pens[glyphs++] = clamp_i32(pen);
    pen += advance_px(face, glyph, static_cast<i32>(size));
  }
  const Rect c = kept_cut(*s, clip);
  if (empty(c)) return 1;
  const u32 paint_colour = bgra(colour);
  const i64 baseline = i64{to_px(y, s->dpi)} + v.ascent[role];
  busy(*s, 1);
  for (u32 g = 0; g < glyphs; ++g) {
    const u32 offset = r->atlas.offsets[keys[g]];
    if (offset >= atlas::no_slot) continue;  // a glyph that has no coverage (a blank) draws nothing
    raster::GlyphBox box;
    atlas::metrics(r->atlas, keys[g], &box);
    const u32 stride = atlas::stride(r->atlas, keys[g]);
    const u8* rows = r->atlas.store + offset + atlas::first_pixel;
    const i64 gx = i64{pens[g]} + box.left, gy = baseline + box.top;
    for (i64 row = greatest(gy, c.top); row < least(gy + box.height, c.bottom); ++row)
      for (i64 col = greatest(gx, c.left); col < least(gx + box.width, c.right); ++col) {
        const u32 k = rows[u64(row - gy) * stride + u64(col - gx)];
        if (k == 0) continue;
        u32& p = v.pixels[u64(row) * v.stride + col];
        p = ink_mix(p, paint_colour, k);
      }
  }
  busy(*s, 0);
  poison(s, c.left, c.top, c.right, c.bottom);
  return 1;
}

u64 band_pixels(i32 left, i32 right, i32 last_width, i32 row_px) {
  const i64 columns = least(right, last_width) - greatest(left, 0);
  return columns <= 0 || row_px <= 0 ? 0 : static_cast<u64>(columns) * static_cast<u64>(row_px);
}

u64 move_pixels(const Surface& s, Rect region, i32 row_height) {
  return band_pixels(to_px(region.left, s.dpi), to_px(region.right, s.dpi), s.present_width, to_px(row_height, s.dpi));
}

namespace {

struct Bands {
  u32* pixels;
  u32 stride;
  i64 left, right, top, bottom, height;
};

// Rows of band i within the region, [first, end).
void band_rows(const Bands& b, u32 i, i64* first, i64* end) {
  *first = b.top + i64{i} * b.height;
  *end = least(*first + b.height, b.bottom);
}

void copy_band(const Bands& b, u32 to, u32 from) {
  i64 t0, t1, f0, f1;
  band_rows(b, to, &t0, &t1);
  band_rows(b, from, &f0, &f1);
  for (i64 k = 0; k < least(t1 - t0, f1 - f0); ++k)
    __builtin_memmove(b.pixels + u64(t0 + k) * b.stride + b.left, b.pixels + u64(f0 + k) * b.stride + b.left,
                      u64(b.right - b.left) * 4);
}

void band_out(const Bands& b, u32 from, u32* scratch) {
  i64 f0, f1;
  band_rows(b, from, &f0, &f1);
  const u64 w = u64(b.right - b.left);
  for (i64 k = 0; k < f1 - f0; ++k)
    __builtin_memcpy(scratch + u64(k) * w, b.pixels + u64(f0 + k) * b.stride + b.left, w * 4);
}

void band_in(const Bands& b, u32 to, const u32* scratch, i64 rows) {
  i64 t0, t1;
  band_rows(b, to, &t0, &t1);
  const u64 w = u64(b.right - b.left);
  for (i64 k = 0; k < least(t1 - t0, rows); ++k)
    __builtin_memcpy(b.pixels + u64(t0 + k) * b.stride + b.left, scratch + u64(k) * w, w * 4);
}

}  // namespace

u32 move_rows(Surface* s, Rect region, i32 row_height, const i32* order, u32 count, u32* scratch,
              u64 scratch_pixels) {
  if (!rows_even(row_height, s->dpi) || !touchable(*s, region)) return 0;
  const Vimb& v = *s->vimb;
  Bands b{v.pixels, v.stride, greatest(to_px(region.left, s->dpi), 0),
          least(to_px(region.right, s->dpi), s->present_width), to_px(region.top, s->dpi),
          least(to_px(region.bottom, s->dpi), s->present_height), to_px(row_height, s->dpi)};
  if (b.left >= b.right || b.top < 0 || count > move_most || b.height <= 0 ||
      scratch_pixels < u64(b.right - b.left) * u64(b.height))
    return 0;
  u8 moving[move_most] = {}, needs[move_most] = {};
  for (u32 i = 0; i < count; ++i) {
    // Only sources inside the region move a row.
    moving[i] = order[i] >= 0 && static_cast<u32>(order[i]) < count && static_cast<u32>(order[i]) != i;
    if (moving[i]) needs[order[i]] += 1;
  }
  busy(*s, 1);
  // Rows no other row still needs take their new pixels first.
  for (bool progress = true; progress;) {
    progress = false;
    for (u32 i = 0; i < count; ++i) {
      if (!moving[i] || needs[i] != 0) continue;
      copy_band(b, i, static_cast<u32>(order[i]));
      moving[i] = 0;
      needs[order[i]] -= 1;
      progress = true;
    }
  }
  // What is left are cycles: the first row's pixels wait in the scratch while the others move round.
  for (u32 i = 0; i < count; ++i) {
    if (!moving[i]) continue;
    band_out(b, i, scratch);
    u32 j = i;
    while (static_cast<u32>(order[j]) != i) {
      const u32 from = static_cast<u32>(order[j]);
      copy_band(b, j, from);
      moving[j] = 0;
      j = from;
    }
    band_in(b, j, scratch, b.height);
    moving[j] = 0;
  }
  busy(*s, 0);
  poison(s, static_cast<i32>(b.left), static_cast<i32>(b.top), static_cast<i32>(b.right), static_cast<i32>(b.bottom));
  return 1;
}

}  // namespace draw
