#include "shell/snap.h"

#include "drawing/draw.h"
#include "shell/dpi.h"
#include "shell/loop.h"
#include "shell/rules.h"
#include "widgets/texts.h"
#include "shell/title.h"

namespace app {
namespace {

constexpr u32 vk_left = 0x25, vk_right = 0x27;  // beside vk_up and vk_down of the loop
constexpr u8 no_change = 0xFF, minimize = 0xFE;

i32 width_of(win::Rect r) { return r.right - r.left; }
i32 height_of(win::Rect r) { return r.bottom - r.top; }

win::Rect window_now(const AppState& s) {
  win::Rect r{};
  win::window_rect(*s.thread, s.window, &r);
  return r;
}

void set_snap_state(AppState* s, u32 position) { s->snap = static_cast<u8>((s->snap & 0xF0) | (position & 0xF)); }
void set_preview_state(AppState* s, u32 zone) { s->snap = static_cast<u8>((s->snap & 0x0F) | ((zone & 0xF) << 4)); }

// Moves the window (screen px) and lays everything out again for its new client size.
void move_window(AppState* s, win::Rect r) {
  win::set_window_pos(s->thread, s->window, r.left, r.top, width_of(r), height_of(r));
  s->pixel_width = -1;
  on_size(s);
  redraw_all(s);
}

// The row of the Windows key + arrow table for a position; 8 for one not in use.
u32 row_of(u32 position) {
  static constexpr u8 positions[8] = {0, 1, 2, 4, 5, 6, 9, 10};
  for (u32 i = 0; i < 8; ++i)
    if (positions[i] == position) return i;
  return 8;
}

// Left, right, up, down from each position (rows in row_of's order).
constexpr u8 key_table[8][4] = {
    {1, 2, 4, minimize},                  // floating
    {no_change, 0, 5, 9},                 // left half
    {0, no_change, 6, 10},                // right half
    {1, 2, no_change, 0},                 // maximized
    {no_change, 0, no_change, 1},         // top-left quarter
    {0, no_change, no_change, 2},         // top-right quarter
    {no_change, 0, 1, no_change},         // bottom-left quarter
    {0, no_change, 2, no_change},         // bottom-right quarter
};

bool left_down(const AppState& s, const win::Msg& m) {
  if (in_test(s)) return (m.wparam & 1) != 0;  // MK_LBUTTON in the driver's message
  return win::key_state(*s.thread, win::vk_lbutton) < 0;
}

bool is_mouse_message(u32 message) { return message >= win::wm_mousemove && message <= 0x020E; }

}  // namespace

u32 snap_state(const AppState& s) { return s.snap & 0xF; }
u32 preview_state(const AppState& s) { return s.snap >> 4; }
bool is_floating(const AppState& s) { return !(s.flags & flag_maximized) && snap_state(s) == 0; }

u32 dpi_for_point(const AppState& s, i32 x, i32 y) { return in_test(s) ? s.dpi : dpi_at(s, x, y); }

win::Rect snap_rect(u32 position, win::Rect area, u32 dpi) {
  if (position == position_maximized) return area;
  const i32 w = width_of(area), h = height_of(area);
  i32 width = (position & snap_left) ? w / 2 : (position & snap_right) ? w - w / 2 : w;
  const bool quarter = (position & snap_top) && (position & (snap_left | snap_right));
  i32 height = quarter ? h / 2 : (position & snap_bottom) ? h - h / 2 : h;
  const i32 least_width = draw::to_px(min_width, dpi), least_height = draw::to_px(min_height, dpi);
  if (width < least_width) width = least_width;
  if (height < least_height) height = least_height;
  const i32 x = (position & snap_right) ? area.right - width : area.left;
  const i32 y = (position & snap_bottom) ? area.bottom - height : area.top;
  return win::Rect{x, y, x + width, y + height};
}

void apply_snap(AppState* s, u32 position, win::Rect area, u32 dpi, win::Rect window) {
  if (is_floating(*s)) s->saved_rect = window;
  const win::Rect target = position == 0 ? s->saved_rect : snap_rect(position, area, dpi);
  if (position == position_maximized) {
    s->flags |= flag_maximized;
    set_snap_state(s, 0);
  } else {
    s->flags &= static_cast<u8>(~flag_maximized);
    set_snap_state(s, position);
  }
  if (width_of(target) > 0 && height_of(target) > 0) move_window(s, target);
}

void toggle_maximize(AppState* s) {
  if (!s->window) return;
  const win::Rect r = window_now(*s);
  win::Rect area{};
  const bool valid = work_area_at(*s, r.left + width_of(r) / 2, r.top + height_of(r) / 2, &area) != 0;
  if (s->flags & flag_maximized) {
    apply_snap(s, 0, area, s->dpi, r);
  } else if (valid) {
    apply_snap(s, position_maximized, area, s->dpi, r);
  }
}

bool win_key_down(const AppState& s, u64 wparam) {
  return key_state(s, wparam, 0x80000, win::vk_lwin) || key_state(s, wparam, 0x80000, win::vk_rwin);
}

bool snap_key(AppState* s, u32 key) {
  const u32 column = key == vk_left ? 0 : key == vk_right ? 1 : key == vk_up ? 2 : key == vk_down ? 3 : 4;
  if (column == 4) return false;
  if (!s->window) return true;
  const u32 current = (s->flags & flag_maximized) ? position_maximized : snap_state(*s);
  const u32 row = row_of(current);
  const u8 next = row < 8 ? key_table[row][column] : no_change;
  if (next == no_change) return true;
  if (next == minimize) {
    win::show_window(s->thread, s->window, in_test(*s) ? win::sw_showminnoactive : win::sw_minimize);
    return true;
  }
  const win::Rect r = window_now(*s);
  const i32 cx = r.left + width_of(r) / 2, cy = r.top + height_of(r) / 2;
  win::Rect area{};
  if (work_area_at(*s, cx, cy, &area)) apply_snap(s, next, area, dpi_for_point(*s, cx, cy), r);
  return true;
}

u32 snap_zone(i32 x, i32 y, win::Rect area, u32 dpi) {
  const i32 b = draw::to_px(snap_band, dpi), e = draw::to_px(snap_reach, dpi);
  u32 zone = 0;
  if (x < area.left + b) {
    zone |= snap_left;
  } else if (x >= area.right - b) {
    zone |= snap_right;
  }
  if (y < area.top + b) {
    zone |= snap_top;
  } else if (y >= area.bottom - b) {
    zone |= snap_bottom;
  }
  if ((zone & (snap_left | snap_right)) && !(zone & (snap_top | snap_bottom))) {
    if (y < area.top + e) {
      zone |= snap_top;
    } else if (y >= area.bottom - e) {
      zone |= snap_bottom;
    }
  }
  if ((zone & (snap_top | snap_bottom)) && !(zone & (snap_left | snap_right))) {
    if (x < area.left + e) {
      zone |= snap_left;
    } else if (x >= area.right - e) {
      zone |= snap_right;
    }
  }
  return zone == snap_bottom ? 0 : zone;
}

void begin_drag(AppState* s, u8 kind, i32 x, i32 y) {
  s->drag = kind;
  s->press_x = x;
  s->press_y = y;
  s->press_rect = window_now(*s);
  // A resized window no longer counts as snapped.
  if (kind != drag_moving) set_snap_state(s, 0);
  win::set_capture(s->thread, s->window);
}

bool drag_to(AppState* s, i32 x, i32 y) {
  const i64 dx = x - s->press_x, dy = y - s->press_y, reach = draw::to_px(unsnap_distance, s->dpi);
  if (dx * dx + dy * dy < reach * reach) return false;
  const win::Rect now = window_now(*s);
  win::Rect floating = s->saved_rect;
  if (width_of(floating) <= 0 || height_of(floating) <= 0)
    floating = win::Rect{0, 0, draw::to_px(start_width, s->dpi), draw::to_px(start_height, s->dpi)};
  const i32 fw = width_of(floating), fh = height_of(floating);
  const i32 current = width_of(now) > 0 ? width_of(now) : 1;
  i64 offset = static_cast<i64>(x - now.left) * fw / current;
  if (offset > fw - 1) offset = fw - 1;
  if (offset < 0) offset = 0;
  // The pointer keeps its place across the window, scaled to the floating width, and its height in it.
  const i32 left = x - static_cast<i32>(offset);
  s->press_rect = win::Rect{left, now.top, left + fw, now.top + fh};
  s->press_x = x;
  s->press_y = y;
  s->flags &= static_cast<u8>(~flag_maximized);
  set_snap_state(s, 0);
  move_window(s, s->press_rect);
  return true;
}

void drag_move(AppState* s, i32 x, i32 y) {
  if (s->drag == drag_moving && !is_floating(*s) && !drag_to(s, x, y)) return;
  const i32 dx = x - s->press_x, dy = y - s->press_y;
  win::Rect r = s->press_rect;
  if (s->drag == drag_moving) {
    r = win::Rect{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
  } else {
    const i32 least_width = draw::to_px(min_width, s->dpi), least_height = draw::to_px(min_height, s->dpi);
    if (s->drag & edge_left) r.left = r.left + dx > r.right - least_width ? r.right - least_width : r.left + dx;
    if (s->drag & edge_right) r.right = r.right + dx < r.left + least_width ? r.left + least_width : r.right + dx;
    if (s->drag & edge_top) r.top = r.top + dy > r.bottom - least_height ? r.bottom - least_height : r.top + dy;
    if (s->drag & edge_bottom)
      r.bottom = r.bottom + dy < r.top + least_height ? r.top + least_height : r.bottom + dy;
  }
  move_window(s, r);
  if (s->drag == drag_moving) snap_preview(s, x, y);
}

void snap_preview(AppState* s, i32 x, i32 y) {
  win::Rect area{};
  const bool valid = work_area_at(*s, x, y, &area) != 0;
  const u32 dpi = dpi_for_point(*s, x, y);
  make_snap_preview(s, valid ? snap_zone(x, y, area, dpi) : 0, area, dpi);
}

void make_snap_preview(AppState* s, u32 zone, win::Rect area, u32 dpi) {
  if (zone == preview_state(*s)) return;
  if (zone == 0) {
    drop_snap_preview(s);
    return;
  }
  const win::Rect r = snap_rect(zone, area, dpi);
  if (!s->snap_preview) {
    // Never takes the pointer or the focus: no activation, layered, a tool window, transparent to input.
    const u32 ex = win::ws_ex_noactivate | win::ws_ex_layered | win::ws_ex_toolwindow | win::ws_ex_transparent;
    s->snap_preview = win::create_window(s->thread, snap_class_name(), 0x80000000u, ex, r.left, r.top, width_of(r),
                                         height_of(r));
    if (!s->snap_preview) {
      set_preview_state(s, 0);  // no preview shown, so nothing snaps at the release
      return;
    }
    win::set_opacity(s->thread, s->snap_preview, preview_alpha);
  }
  set_preview_state(s, zone);
  win::set_window_pos(s->thread, s->snap_preview, r.left, r.top, width_of(r), height_of(r));
  win::place_below(s->thread, s->snap_preview, s->window);
  win::show_window(s->thread, s->snap_preview, win::sw_shownoactivate);
}

void drop_snap_preview(AppState* s) {
  if (s->snap_preview) win::destroy_window(s->thread, s->snap_preview);
  s->snap_preview = 0;
  set_preview_state(s, 0);
}

void end_drag_snap(AppState* s, i32 x, i32 y) {
  const u32 zone = preview_state(*s);
  drop_snap_preview(s);
  win::Rect area{};
  if (zone && work_area_at(*s, x, y, &area)) apply_snap(s, zone, area, dpi_for_point(*s, x, y), s->press_rect);
}

void cancel_drag(AppState* s) {
  drop_snap_preview(s);
  s->drag = 0;
  win::release_capture(s->thread);
}

bool has_capture(const AppState& s) {
  return in_test(s) || (s.window && win::get_capture(*s.thread) == s.window);
}

void message_point(const AppState& s, const win::Msg& m, i32* x, i32* y) {
  if (!in_test(s)) {
    *x = m.pt_x;
    *y = m.pt_y;
    return;
  }
  const win::Rect r = window_now(s);
  *x = r.left + static_cast<i16>(m.lparam & 0xFFFF);
  *y = r.top + static_cast<i16>((m.lparam >> 16) & 0xFFFF);
}

void note_pointer(AppState* s, const win::Msg& m) {
  if (!is_mouse_message(m.message) || m.message == win::wm_mousewheel) return;
  message_point(*s, m, &s->message_x, &s->message_y);
  s->message_left = left_down(*s, m) ? 1 : 0;
}

void press_drag(AppState* s, u8 kind) { begin_drag(s, kind, s->message_x, s->message_y); }

bool drag_pointer(AppState* s) {
  if (!s->drag) return false;
  if (has_capture(*s) && s->message_left) {
    drag_move(s, s->message_x, s->message_y);
  } else {
    cancel_drag(s);
  }
  return true;
}

bool release_drag(AppState* s) {
  if (!s->drag) return false;
  if (s->drag == drag_moving) end_drag_snap(s, s->message_x, s->message_y);
  cancel_drag(s);
  return true;
}

}  // namespace app
