#pragma once
// Moving, sizing, maximizing and snapping the window. It has no system frame, so nothing outside moves it: a press
// on the empty title strip starts a move, a press on a frame edge a resize, a double-click on the strip (or the
// maximize button) toggles maximized, and the Windows key with the arrows steps through halves and quarters of the
// work area. While a move brings the pointer near an edge of the work area, a translucent preview behind the window
// shows where it will land; releasing the button there snaps it.
//
// All rectangles and points here are screen px. The snap state is the low nibble of AppState::snap, the position the
// preview shows the high nibble; the floating rectangle is AppState::saved_rect.
#include "platform/window.h"
#include "shell/app.h"

namespace app {

// Snap positions: edge bits. In use: 0 floating, 1 left half, 2 right half, 5 and 6 the top quarters, 9 and 10 the
// bottom ones. Maximized is the state's maximized flag; where a position is passed around, 4 means maximized.
enum : u32 { snap_left = 1, snap_right = 2, snap_top = 4, snap_bottom = 8, position_maximized = 4 };
// The drag kinds: 0 none, 1-15 the edge bits of a resize, 16 a move.
inline constexpr u8 drag_moving = 16;
// Logical px: the band along the work area's edges that snaps, how far a corner region reaches along each edge, and
// how far a snapped window must be pulled before it comes loose.
inline constexpr i32 snap_band = 8, snap_reach = 80, unsnap_distance = 4;
// The preview's opacity (of 255).
inline constexpr u8 preview_alpha = 72;

u32 snap_state(const AppState& s);
u32 preview_state(const AppState& s);
bool is_floating(const AppState& s);
// The monitor's DPI at a point; under --test the window's own.
u32 dpi_for_point(const AppState& s, i32 x, i32 y);

// Where a position lies inside the work area at a DPI: halves and quarters never narrower than 640 nor lower than
// 400 logical px; the left half takes the smaller half of an odd width.
win::Rect snap_rect(u32 position, win::Rect area, u32 dpi);
// Moves the window to a position (0: back to the floating rectangle), saving `window` as the floating rectangle
// when it is floating now.
void apply_snap(AppState* s, u32 position, win::Rect area, u32 dpi, win::Rect window);
// The Windows key with an arrow: true when handled (every arrow is, also when nothing changes).
bool snap_key(AppState* s, u32 key);
bool win_key_down(const AppState& s, u64 wparam);

// The zone a pointer is in during a move: a position, or 0 for none.
u32 snap_zone(i32 x, i32 y, win::Rect area, u32 dpi);
void begin_drag(AppState* s, u8 kind, i32 x, i32 y);
// A pointer move while dragging: moves or sizes the window, and while moving updates the preview.
void drag_move(AppState* s, i32 x, i32 y);
// A snapped or maximized window being moved comes loose once the pointer is far enough from the press: false
// while it is not.
bool drag_to(AppState* s, i32 x, i32 y);
void snap_preview(AppState* s, i32 x, i32 y);
void make_snap_preview(AppState* s, u32 zone, win::Rect area, u32 dpi);
void drop_snap_preview(AppState* s);
// The button release that ends a move: the previewed position is applied.
void end_drag_snap(AppState* s, i32 x, i32 y);
void cancel_drag(AppState* s);
bool has_capture(const AppState& s);
// The screen point of a mouse message: under --test, where the driver posts client points, the window's top-left
// corner plus the message's point; otherwise where the pointer was when the message was queued.
void message_point(const AppState& s, const win::Msg& m, i32* x, i32* y);

// What the mouse handlers call: a press that starts a drag (edge bits, or 16 on the empty title strip), a move and
// a release during one. The move and the release report whether a drag took them.
void press_drag(AppState* s, u8 kind);
bool drag_pointer(AppState* s);
bool release_drag(AppState* s);
// The screen point and left button of the mouse message being handled, kept for the handlers above.
void note_pointer(AppState* s, const win::Msg& m);

}  // namespace app
