#pragma once
// What the window layer asks of its display backend (inside platform/linux only). The headless backend needs
// none of it; a display backend opens its connection in display_start, hands its connection's descriptor to the
// loop's poll, turns what arrives into the thread's queue (win::input, win::invalidate, win::pointer_left) in
// display_pump, and follows show commands, presents, the DPI and the work area.
#include "platform/window.h"

namespace win {

u32 display_start(Thread* t);
void display_finish(Thread* t);
// The connection's descriptor for poll, -1 when none.
int display_fd(Thread* t);
// Takes what the connection delivered: ok, or failed when the connection is lost (the loop answers -1).
u32 display_pump(Thread* t);
void display_show(Thread* t, Window* w);
u32 display_dpi(const Thread* t, i32 x, i32 y);
u32 display_work_area(const Thread* t, i32 x, i32 y, Rect* out);

}  // namespace win
