#include "shell/dpi.h"

#include "drawing/draw.h"
#include "shell/loop.h"
#include "shell/snap.h"
#include "shell/title.h"

namespace app {
namespace {

i16 clamp16(i64 v) { return static_cast<i16>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// The icon: a dark rounded tile with three rising bars, the middle one in the accent colour.
constexpr i32 icon_most = 128;

u32 icon_pixel(i32 x, i32 y, i32 side) {
  // In 1/64 of the side, so that every size draws the same shape.
  const i32 u = (x * 64 + 32) / side, v = (y * 64 + 32) / side;
  const i32 corner = 12;
  auto outside = [&](i32 cx, i32 cy) { return (u - cx) * (u - cx) + (v - cy) * (v - cy) > corner * corner; };
  if ((u < corner && v < corner && outside(corner, corner)) ||
      (u >= 64 - corner && v < corner && outside(63 - corner, corner)) ||
      (u < corner && v >= 64 - corner && outside(corner, 63 - corner)) ||
      (u >= 64 - corner && v >= 64 - corner && outside(63 - corner, 63 - corner)))
    return 0;
  struct Bar {
    i32 left, right, top;
    u32 colour;
  };
  const Bar bars[3] = {{12, 22, 36, 0xFF5C8DE0}, {27, 37, 22, 0xFF4DD3FC}, {42, 52, 12, 0xFF5C8DE0}};
  for (const Bar& b : bars)
    if (u >= b.left && u < b.right && v >= b.top && v < 52) return b.colour;
  return 0xFF202428;
}

}  // namespace

u32 dpi_at(const AppState& s, i32 x, i32 y) {
  if (s.thread->backend == win::backend_none) return 96;
  return draw::dpi_of(win::monitor_dpi(*s.thread, x, y));
}

void poll_dpi(AppState* s) {
  if (in_test(*s) || !s->window || minimized(*s)) return;
  win::Rect r{};
  if (!win::window_rect(*s->thread, s->window, &r)) return;
  const i32 cx = r.left + (r.right - r.left) / 2, cy = r.top + (r.bottom - r.top) / 2;
  set_dpi(s, dpi_at(*s, cx, cy));
}

u32 work_area_at(const AppState& s, i32 x, i32 y, win::Rect* out) {
  if (in_test(s)) {
    const i16* w = s.test_work;
    if (w[2] <= w[0] || w[3] <= w[1]) return 0;
    *out = win::Rect{w[0], w[1], w[2], w[3]};
    return 1;
  }
  return win::work_area(*s.thread, x, y, out);
}

win::Rect start_rect(u32 dpi, const win::Rect* area) {
  i32 width = draw::to_px(start_width, dpi), height = draw::to_px(start_height, dpi);
  i32 left = start_x, top = start_y;
  if (area && area->right > area->left && area->bottom > area->top) {
    if (width > area->right - area->left) width = area->right - area->left;
    if (height > area->bottom - area->top) height = area->bottom - area->top;
    left = keep_axis(left, width, area->left, area->right, width);
    top = keep_axis(top, height, area->top, area->bottom, height);
  }
  return win::Rect{left, top, left + width, top + height};
}

win::Rect center_in(win::Rect r, i32 width, i32 height) {
  const i32 left = r.left + ((r.right - r.left) - width) / 2, top = r.top + ((r.bottom - r.top) - height) / 2;
  return win::Rect{left, top, left + width, top + height};
}

i32 rescale(i32 length, u32 old_dpi, u32 new_dpi) {
  if (old_dpi == 0) return length;
  const i64 scaled = (static_cast<i64>(length) * new_dpi * 2 + old_dpi) / (2 * static_cast<i64>(old_dpi));
  return static_cast<i32>(scaled);
}

i32 keep_axis(i32 start, i32 length, i32 low, i32 high, i32 keep) {
  if (keep > length) keep = length;
  if (start > high - keep) start = high - keep;
  if (start + length < low + keep) start = low + keep - length;
  return start;
}

win::Rect keep_on_monitor(win::Rect r, win::Rect area, i32 title_px, i32 visible_px) {
  const i32 width = r.right - r.left, height = r.bottom - r.top;
  i32 left = keep_axis(r.left, width, area.left, area.right, visible_px);
  left = keep_axis(left, width, area.left, area.right, width / 2);
  // The title strip (and then half the window) stays inside, and the strip is never above the area's top.
  i32 top = r.top;
  if (top > area.bottom - title_px) top = area.bottom - title_px;
  if (top > area.bottom - height / 2) top = area.bottom - height / 2;
  if (top < area.top) top = area.top;
  return win::Rect{left, top, left + width, top + height};
}

gdi::Handle make_icon(i32 logical_side, u32 dpi) {
  i32 side = draw::to_px(logical_side, draw::dpi_of(dpi));
  if (side > icon_most) side = icon_most;
  if (side < 1) side = 1;
  u32 pixels[icon_most * icon_most];
  for (i32 y = 0; y < side; ++y)
    for (i32 x = 0; x < side; ++x) pixels[y * side + x] = icon_pixel(x, y, side);
  return gdi::icon_create(pixels, side, side);
}

gdi::Handle small_icon(u32 dpi) { return make_icon(16, dpi); }

void replace_icon(AppState* s, u32 which, gdi::Handle icon) {
  const gdi::Handle old = win::set_icon(s->thread, s->window, which, icon);
  if (old && old != icon && old != s->icons[2]) gdi::icon_delete(old);  // the class keeps its own
}

void set_icons(AppState* s, gdi::Handle big, gdi::Handle small) {
  if (big) replace_icon(s, 1, big);
  if (small) replace_icon(s, 0, small);
}

void set_window_icons(AppState* s, u32 dpi) {
  const gdi::Handle old[2] = {s->icons[0], s->icons[1]};
  s->icons[0] = small_icon(dpi);
  s->icons[1] = make_icon(32, dpi);
  // The surface draws the big icon; it stops using the old one before that goes.
  if (s->surface.icon == old[1]) s->surface.icon = s->icons[1];
  if (s->window) {
    set_icons(s, s->icons[1], s->icons[0]);
  } else {
    for (gdi::Handle h : old)
      if (h) gdi::icon_delete(h);
  }
}

void apply_dpi(AppState* s, u32 dpi, bool) {
  const u32 old = s->dpi;
  s->dpi = draw::dpi_of(dpi);
  if (s->pointer_y >= 0) {
    s->pointer_x = clamp16(draw::to_logical(draw::to_px(s->pointer_x, old), s->dpi));
    s->pointer_y = clamp16(draw::to_logical(draw::to_px(s->pointer_y, old), s->dpi));
  }
  draw::set_dpi(&s->surface, s->dpi, s->icons[1]);
  views::set_dpi(&s->model->views, s->dpi);
  relayout(s);
}

void set_dpi(AppState* s, u32 dpi) {
  dpi = draw::dpi_of(dpi);
  if (dpi == s->dpi || !s->window) return;
  const u32 old = s->dpi;
  win::Rect r{};
  win::window_rect(*s->thread, s->window, &r);
  const i32 cx = r.left + (r.right - r.left) / 2, cy = r.top + (r.bottom - r.top) / 2;
  win::Rect area{};
  const bool have_area = work_area_at(*s, cx, cy, &area) != 0;
  const i32 title_px = draw::to_px(title_height, dpi), visible_px = draw::to_px(138, dpi);

  const i32 width = rescale(r.right - r.left, old, dpi), height = rescale(r.bottom - r.top, old, dpi);
  win::Rect next = center_in(r, width, height);
  if (have_area) next = keep_on_monitor(next, area, title_px, visible_px);
  const u32 position = (s->flags & flag_maximized) ? position_maximized : snap_state(*s);
  if (position != 0 && have_area) {
    // The normal rectangle waits at the new scale; the window keeps its place in the work area (all of it, a half
    // or a quarter) as before, at the sizes of the new DPI.
    const win::Rect saved = s->saved_rect;
    const win::Rect normal =
        center_in(area, rescale(saved.right - saved.left, old, dpi), rescale(saved.bottom - saved.top, old, dpi));
    s->saved_rect = keep_on_monitor(normal, area, title_px, visible_px);
    next = snap_rect(position, area, dpi);
  }
  // The new icons first, so that the surface makes its icon image from the one for the new DPI.
  set_window_icons(s, dpi);
  apply_dpi(s, dpi, true);
  win::set_window_pos(s->thread, s->window, next.left, next.top, next.right - next.left, next.bottom - next.top);
  if (s->drag) {
    win::window_rect(*s->thread, s->window, &s->press_rect);
    win::cursor_pos(*s->thread, &s->press_x, &s->press_y);
  }
  s->pixel_width = -1;
  on_size(s);
  redraw_all(s);
}

void on_size(AppState* s) {
  if (!s->window) return;
  win::Rect c{};
  if (!win::client_rect(*s->thread, s->window, &c)) return;
  const draw::Rect client = enforce_min_size(s->thread, s->window, draw::Rect{c.left, c.top, c.right, c.bottom},
                                             s->dpi, minimized(*s), (s->flags & flag_maximized) != 0);
  const i32 pw = client.right - client.left, ph = client.bottom - client.top;
  const i32 lw = draw::logical_up(pw, s->dpi), lh = draw::logical_up(ph, s->dpi);
  if (pw == s->pixel_width && ph == s->pixel_height && lw == s->width && lh == s->height) return;
  s->pixel_width = pw;
  s->pixel_height = ph;
  s->width = lw;
  s->height = lh;
  relayout(s);
  refresh_hover(s);
  redraw_all(s);
}

void refresh_hover(AppState* s) {
  HitMap& map = s->map;
  const bool known = s->pointer_y >= 0;
  const u64 raw = known ? hits_at(map, s->pointer_x, s->pointer_y) : 0;
  map.hover_a = raw & map.enabled_a & hover_mask_a;
  map.hover_b = known ? hits_at_b(map, s->pointer_x, s->pointer_y) & map.enabled_b & hover_mask_b : 0;
  // The charts' own hover follows the pointer over a chart slot; it belongs to the resource page.
  if (!(raw & ((u64{1} << 38) | (u64{1} << 39)))) {
    views::ViewState* v = &s->model->views;
    v->hover_column = 255;
  }
}

}  // namespace app
