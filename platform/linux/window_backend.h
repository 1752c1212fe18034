#pragma once
// What the window layer asks of its display backend (inside platform/linux only). The headless backend needs
// none of it; a display backend opens its connection in display_start, hands its connection's descriptor to the
// loop's poll, turns what arrives into the thread's queue (win::input, win::invalidate, win::pointer_left,
// win::moved) in display_pump, and follows windows, show commands, presents, the DPI and the work area.
#include "platform/window.h"

namespace win {

// ok, no_x_library or display_lost.
u32 display_start(Thread* t);
void display_finish(Thread* t);
// The connection's descriptor for poll, -1 when none.
int display_fd(Thread* t);
// Takes what the connection delivered: ok, or display_lost when the connection broke (the loop answers -1).
u32 display_pump(Thread* t);
// Makes the display's window for a new window record (its sink is open): ok or failed.
u32 display_create(Thread* t, Window* w);
void display_destroy(Thread* t, Window* w);
void display_show(Thread* t, Window* w);
// The record's rectangle changed by the program's own move or size.
void display_move(Thread* t, Window* w);
void display_title(Thread* t, Window* w, mem::Bytes title);
void display_icons(Thread* t, Window* w);
void display_activate(Thread* t, Window* w);
void display_opacity(Thread* t, Window* w);
void display_place_below(Thread* t, Window* w, const Window* above);
// Follows the thread's capture (0: let go) and cursor.
void display_capture(Thread* t);
void display_cursor(Thread* t);
u32 display_dpi(const Thread* t, i32 x, i32 y);
// Makes the window the owner of the CLIPBOARD selection with the text (UTF-8), served to other programs as
// UTF8_STRING, STRING and TEXT; a secret also answers the password-manager hint that asks clipboard histories to
// leave it alone. ok, full (longer than the backend keeps) or failed (the server gave the selection to another).
u32 display_clipboard_put(Thread* t, Window* w, mem::Bytes utf8, bool secret);
// The thread's clipboard was emptied: the display's copy goes too (the selection is taken again by the next put).
void display_clipboard_forget(Thread* t);
// The text on the clipboard is a secret: the password-manager hint is offered with it from now on.
void display_clipboard_secret(Thread* t);
// The CLIPBOARD text (UTF-8, at most `most` bytes) into out: ok (length 0 when there is none), failed when its
// owner did not answer within a second, display_lost.
u32 display_clipboard_get(Thread* t, Window* w, u8* out, u32 most, u32* length);
u32 display_work_area(const Thread* t, i32 x, i32 y, Rect* out);

// From the backend: the display moved or sized the window (the window manager, the user); a new size resizes the
// sink and invalidates the whole client area, as the program's own set_window_pos does. False when the sink
// cannot take the size (the record keeps its rectangle).
bool moved(Thread* t, Window* w, Rect rect);
// As win::input, with the pointer's screen position as the display reported it (a window being moved lags behind
// the pointer, so its rectangle cannot give it).
void input_at(Thread* t, Handle window, u32 message, u64 wparam, i64 lparam, i32 screen_x, i32 screen_y);

}  // namespace win
