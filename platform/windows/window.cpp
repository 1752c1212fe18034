// The window layer of this build: no window can be made (start answers "no display", the shell's "window cannot be
// made" exit), so the other calls meet no window and answer as for an unknown one. The region arithmetic is whole:
// callers use it on their own records.
#include "platform/window.h"

#include <windows.h>

namespace win {

mem::Bytes code_text(u32 code) {
  const char* const texts[] = {"ok",     "no display", "no X library", "refused",     "full",
                               "failed", "gone",       "busy",         "display lost"};
  return code <= display_lost ? mem::cstr(texts[code]) : mem::lit("unknown");
}

u32 start(Thread* t, u32) {
  *t = Thread{};
  return no_display;
}

void finish(Thread* t) { *t = Thread{}; }

u32 register_class(Thread*, mem::Bytes, u32, gdi::Handle, u32, u32) { return refused; }

Handle create_window(Thread*, mem::Bytes, u32, u32, i32, i32, i32, i32, u32* code) {
  if (code) *code = refused;
  return 0;
}

u32 destroy_window(Thread*, Handle) { return refused; }
bool is_window(const Thread&, Handle) { return false; }
gdi::Handle sink(const Thread&, Handle) { return 0; }
u32 post_remote(Handle, u32, u64, i64) { return gone; }

void post_quit(Thread* t, i32 code) {
  t->quit = 1;
  t->quit_code = code;
}

i32 get_message(Thread* t, Msg* out) {
  *out = Msg{};
  out->wparam = static_cast<u64>(static_cast<i64>(t->quit_code));
  return 0;
}

u32 peek_message(Thread* t, Msg* out, Handle, u32, u32, bool remove) {
  *out = Msg{};
  if (!t->quit) return 0;
  out->message = 0x12;  // the quit request
  out->wparam = static_cast<u64>(static_cast<i64>(t->quit_code));
  if (remove) t->quit = 0;
  return 1;
}

u32 register_message(mem::Bytes name) {
  wchar_t wide[256];
  if (name.len == 0 || name.len >= 256) return 0;
  for (u64 i = 0; i < name.len; ++i) wide[i] = name.ptr[i];
  wide[name.len] = 0;
  return RegisterWindowMessageW(wide);
}

u32 set_timer(Thread*, Handle, u32, u32) { return 0; }
u32 kill_timer(Thread*, Handle, u32) { return 0; }

// ---- Regions: rectangles that never overlap.

namespace {
bool empty_rect(Rect r) { return r.right <= r.left || r.bottom <= r.top; }
i32 max32(i32 a, i32 b) { return a > b ? a : b; }
i32 min32(i32 a, i32 b) { return a < b ? a : b; }

// What of a is not in b: at most four bands (above, below, left, right of the overlap).
u32 cut(Rect a, Rect b, Rect* out) {
  Rect o{max32(a.left, b.left), max32(a.top, b.top), min32(a.right, b.right), min32(a.bottom, b.bottom)};
  if (empty_rect(o)) {
    out[0] = a;
    return 1;
  }
  u32 n = 0;
  if (a.top < o.top) out[n++] = Rect{a.left, a.top, a.right, o.top};
  if (o.bottom < a.bottom) out[n++] = Rect{a.left, o.bottom, a.right, a.bottom};
  if (a.left < o.left) out[n++] = Rect{a.left, o.top, o.left, o.bottom};
  if (o.right < a.right) out[n++] = Rect{o.right, o.top, a.right, o.bottom};
  return n;
}
}  // namespace

void region_clear(Region* r) { r->count = 0; }
bool region_empty(const Region& r) { return r.count == 0; }

void region_subtract(Region* r, Rect rect) {
  if (empty_rect(rect)) return;
  Rect out[region_most * 4];
  u32 n = 0;
  for (u32 i = 0; i < r->count; ++i) n += cut(r->rects[i], rect, out + n);
  if (n > region_most) {
    // Too many parts to keep: their bounding box stands for them (never less than the exact difference).
    Rect box = out[0];
    for (u32 i = 1; i < n; ++i) {
      box = Rect{min32(box.left, out[i].left), min32(box.top, out[i].top), max32(box.right, out[i].right),
                 max32(box.bottom, out[i].bottom)};
    }
    r->rects[0] = box;
    r->count = 1;
    return;
  }
  for (u32 i = 0; i < n; ++i) r->rects[i] = out[i];
  r->count = n;
}

void invalidate(Thread*, Handle, const Rect*) {}
void validate(Thread*, Handle, const Rect*) {}
void pump(Thread*) {}
u32 set_title(Thread*, Handle, mem::Bytes) { return 0; }

u32 update_region(const Thread&, Handle, Region* out) {
  out->count = 0;
  return refused;
}

u32 begin_paint(Thread*, Handle, Rect* paint) {
  *paint = Rect{};
  return refused;
}

void end_paint(Thread*, Handle) {}

u32 window_rect(const Thread&, Handle, Rect* out) {
  *out = Rect{};
  return refused;
}

u32 client_rect(const Thread&, Handle, Rect* out) {
  *out = Rect{};
  return refused;
}

u32 set_window_pos(Thread*, Handle, i32, i32, i32, i32) { return refused; }
u32 show_window(Thread*, Handle, u32) { return refused; }
bool is_visible(const Thread&, Handle) { return false; }
u32 set_opacity(Thread*, Handle, u8) { return refused; }
u32 place_below(Thread*, Handle, Handle) { return refused; }
bool is_iconic(const Thread&, Handle) { return false; }
u32 set_foreground(Thread*, Handle) { return refused; }
gdi::Handle set_icon(Thread*, Handle, u32, gdi::Handle) { return 0; }

Handle set_capture(Thread* t, Handle window) {
  Handle before = t->capture;
  t->capture = window;
  return before;
}

void release_capture(Thread* t) { t->capture = 0; }
Handle get_capture(const Thread& t) { return t.capture; }

u32 set_cursor(Thread* t, u32 cursor) {
  u32 before = t->cursor;
  t->cursor = cursor;
  return before;
}

i16 key_state(const Thread& t, u32 virtual_key) {
  if (virtual_key > 255) return 0;
  u8 k = t.keys[virtual_key];
  return static_cast<i16>((k & 0x80 ? 0x8000 : 0) | (k & 1));
}

u32 track_leave(Thread*, Handle) { return refused; }

u32 cursor_pos(const Thread& t, i32* x, i32* y) {
  *x = t.pointer_x;
  *y = t.pointer_y;
  return ok;
}

u32 monitor_dpi(const Thread&, i32, i32) { return 96; }

u32 work_area(const Thread&, i32, i32, Rect* out) {
  RECT r{};
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0)) {
    *out = Rect{};
    return failed;
  }
  *out = Rect{r.left, r.top, r.right, r.bottom};
  return ok;
}

u32 clipboard_open(Thread*, Handle) { return refused; }
u32 clipboard_empty(Thread*) { return refused; }
u32 clipboard_set_text(Thread*, const u16*, u32) { return refused; }
u32 clipboard_mark(Thread*, u32) { return refused; }
void clipboard_close(Thread*) {}

u32 clipboard_format(mem::Bytes name) {
  wchar_t wide[256];
  if (name.len == 0 || name.len >= 256) return 0;
  for (u64 i = 0; i < name.len; ++i) wide[i] = name.ptr[i];
  wide[name.len] = 0;
  return RegisterClipboardFormatW(wide);
}

u32 clipboard_read(Thread*, u8*, u32, u32* length) {
  *length = 0;
  return refused;
}

Handle find_window(mem::Bytes, Handle) { return 0; }

}  // namespace win
