#pragma once
// DPI and the client size. Everything is drawn and hit-tested in logical px at 96 DPI; the window lives in physical
// px on a monitor whose DPI can change. The loop polls the DPI and the client size after every message, applies a
// new DPI around the window's centre and keeps the window on its monitor's work area.
#include "platform/window.h"
#include "shell/app.h"

namespace app {

// The normalised DPI of the monitor nearest the screen point; 96 when it cannot be read.
u32 dpi_at(const AppState& s, i32 x, i32 y);
void poll_dpi(AppState* s);
void set_dpi(AppState* s, u32 dpi);
void apply_dpi(AppState* s, u32 dpi, bool small_icon);
void on_size(AppState* s);
void refresh_hover(AppState* s);

// The program's icon as an image of side px a side (at most 128), drawn here: 0 when it cannot be made.
gdi::Handle make_icon(i32 logical_side, u32 dpi);
gdi::Handle small_icon(u32 dpi);
void set_window_icons(AppState* s, u32 dpi);
// Gives the window the icon (which 1 big, 0 small); the one it had goes unless it is the same.
void replace_icon(AppState* s, u32 which, gdi::Handle icon);
// Gives the window each icon that exists, the big one first.
void set_icons(AppState* s, gdi::Handle big, gdi::Handle small);

win::Rect center_in(win::Rect r, i32 width, i32 height);
// length * new / old, rounded to nearest (half up).
i32 rescale(i32 length, u32 old_dpi, u32 new_dpi);
// The start of a span of `length` moved so that at least `keep` of it lies within [low, high).
i32 keep_axis(i32 start, i32 length, i32 low, i32 high, i32 keep);
// The rectangle moved back onto the work area: its left so that the visible width (then half its width) stays
// inside; its top never above the area's top, and so that the title strip (then half its height) stays inside.
win::Rect keep_on_monitor(win::Rect r, win::Rect area, i32 title_px, i32 visible_px);

// The rectangle the window opens in (screen px) at the DPI: at the start point with the start size, cut to the
// work area and moved into it when one is given, so no part of a new window lies off its screen.
win::Rect start_rect(u32 dpi, const win::Rect* area);

// The work area that applies at a screen point: the driver's under --test; 0 when none is known.
u32 work_area_at(const AppState& s, i32 x, i32 y, win::Rect* out);

}  // namespace app
