// The window layer's rules that need no system: class names and the thread's class records, regions as lists of
// rectangles that never overlap, and the wire form of a posted message. Both backends share them.
#include "platform/window.h"

namespace win {
namespace {

i64 least(i64 a, i64 b) { return a < b ? a : b; }
i64 greatest(i64 a, i64 b) { return a > b ? a : b; }

bool empty_rect(const Rect& r) { return r.left >= r.right || r.top >= r.bottom; }

bool overlap(const Rect& a, const Rect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

Rect join(const Rect& a, const Rect& b) {
  if (empty_rect(a)) return b;
  if (empty_rect(b)) return a;
  return Rect{static_cast<i32>(least(a.left, b.left)), static_cast<i32>(least(a.top, b.top)),
              static_cast<i32>(greatest(a.right, b.right)), static_cast<i32>(greatest(a.bottom, b.bottom))};
}

// a minus b as at most four rectangles that do not overlap: bands above and below, then the sides.
u32 cut(const Rect& a, const Rect& b, Rect* out4) {
  if (!overlap(a, b)) {
    out4[0] = a;
    return 1;
  }
  u32 n = 0;
  if (a.top < b.top) out4[n++] = Rect{a.left, a.top, a.right, b.top};
  if (b.bottom < a.bottom) out4[n++] = Rect{a.left, b.bottom, a.right, a.bottom};
  const i32 top = static_cast<i32>(greatest(a.top, b.top)), bottom = static_cast<i32>(least(a.bottom, b.bottom));
  if (a.left < b.left) out4[n++] = Rect{a.left, top, b.left, bottom};
  if (b.right < a.right) out4[n++] = Rect{b.right, top, a.right, bottom};
  return n;
}

constexpr u32 pieces_most = region_most * 4;

void collapse(Region* r, Rect box) {
  r->count = empty_rect(box) ? 0 : 1;
  r->rects[0] = box;
}

}  // namespace

// ---- Classes

bool usable_class(mem::Bytes name) {
  if (name.len == 0 || name.len > class_name_most) return false;
  for (u64 i = 0; i < name.len; ++i) {
    u8 c = name.ptr[i];
    bool fine = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!fine) return false;
  }
  return true;
}

u32 keep_class(Thread* t, mem::Bytes name, u32 style, gdi::Handle icon, u32 cursor, u32 highlight) {
  if (!usable_class(name)) return refused;
  for (u32 i = 0; i < t->class_count; ++i)
    if (mem::eq(mem::Bytes(t->classes[i].name, t->classes[i].name_length), name)) return refused;
  if (t->class_count == classes_most) return full;
  Class& c = t->classes[t->class_count++];
  c = Class{};
  __builtin_memcpy(c.name, name.ptr, name.len);
  c.name_length = static_cast<u8>(name.len);
  c.style = style;
  c.icon = icon;
  c.cursor = cursor;
  c.highlight = highlight;
  return ok;
}

// ---- Regions

void region_clear(Region* r) { r->count = 0; }

bool region_empty(const Region& r) { return r.count == 0; }

void region_add(Region* r, Rect rect) {
  if (empty_rect(rect)) return;
  // The parts of the new rectangle that no kept one covers are added, so the list never overlaps.
  Rect a[pieces_most], b[pieces_most];
  Rect* pieces = a;
  Rect* next = b;
  u32 count = 1;
  pieces[0] = rect;
  for (u32 i = 0; i < r->count && count > 0; ++i) {
    u32 made = 0;
    for (u32 k = 0; k < count; ++k) {
      if (made + 4 > pieces_most) {
        collapse(r, join(region_box(*r), rect));
        return;
      }
      made += cut(pieces[k], r->rects[i], next + made);
    }
    Rect* swap = pieces;
    pieces = next;
    next = swap;
    count = made;
  }
  if (r->count + count > region_most) {
    collapse(r, join(region_box(*r), rect));
    return;
  }
  for (u32 k = 0; k < count; ++k) r->rects[r->count++] = pieces[k];
}

void region_add_region(Region* r, const Region& other) {
  for (u32 i = 0; i < other.count; ++i) region_add(r, other.rects[i]);
}

void region_subtract(Region* r, Rect rect) {
  if (empty_rect(rect)) return;
  Rect out[pieces_most];
  u32 n = 0;
  for (u32 i = 0; i < r->count; ++i) n += cut(r->rects[i], rect, out + n);
  if (n > region_most) {
    // Too many parts to keep: their bounding box stands for them, which may keep more than the exact difference
    // (an invalid region then paints a little more), never less.
    Rect box{};
    for (u32 i = 0; i < n; ++i) box = join(box, out[i]);
    collapse(r, box);
    return;
  }
  for (u32 i = 0; i < n; ++i) r->rects[i] = out[i];
  r->count = n;
}

void region_subtract_region(Region* r, const Region& other) {
  for (u32 i = 0; i < other.count && r->count > 0; ++i) region_subtract(r, other.rects[i]);
}

Rect region_box(const Region& r) {
  Rect box{};
  for (u32 i = 0; i < r.count; ++i) box = join(box, r.rects[i]);
  return box;
}

u64 region_area(const Region& r) {
  u64 area = 0;
  for (u32 i = 0; i < r.count; ++i)
    area += u64(i64{r.rects[i].right} - r.rects[i].left) * u64(i64{r.rects[i].bottom} - r.rects[i].top);
  return area;
}

bool region_contains(const Region& r, i32 x, i32 y) {
  for (u32 i = 0; i < r.count; ++i)
    if (x >= r.rects[i].left && x < r.rects[i].right && y >= r.rects[i].top && y < r.rects[i].bottom) return true;
  return false;
}

// ---- Wire format

void wire_put(u8* out, u32 message, u64 wparam, i64 lparam) {
  const u64 l = static_cast<u64>(lparam);
  for (u32 i = 0; i < 4; ++i) out[i] = static_cast<u8>(message >> (8 * i));
  for (u32 i = 4; i < 8; ++i) out[i] = 0;
  for (u32 i = 0; i < 8; ++i) out[8 + i] = static_cast<u8>(wparam >> (8 * i));
  for (u32 i = 0; i < 8; ++i) out[16 + i] = static_cast<u8>(l >> (8 * i));
}

u32 wire_get(const u8* bytes, u64 length, u32* message, u64* wparam, i64* lparam) {
  if (length != wire_bytes) return 0;
  u32 m = 0, zero = 0;
  u64 w = 0, l = 0;
  for (u32 i = 0; i < 4; ++i) m |= u32{bytes[i]} << (8 * i);
  for (u32 i = 4; i < 8; ++i) zero |= bytes[i];
  for (u32 i = 0; i < 8; ++i) w |= u64{bytes[8 + i]} << (8 * i);
  for (u32 i = 0; i < 8; ++i) l |= u64{bytes[16 + i]} << (8 * i);
  if (zero != 0) return 0;
  *message = m;
  *wparam = w;
  *lparam = static_cast<i64>(l);
  return 1;
}

}  // namespace win
