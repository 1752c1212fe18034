#pragma once
// Small rules that the window's start and its input path share: the show command at start, the modifier state of
// a key message, and the scroll arithmetic of the tall pages.
#include "base/mem.h"
#include "shell/app.h"

namespace app {

// The show command at start: 10 show default, 4 without activating when quiet (unattended or under --test), 7
// minimized without activating when minimized.
u32 show_command(bool quiet, bool minimized);
// A modifier of a key message: under --test the driver's bit in wParam (0x10000 Shift, 0x20000 Control, 0x40000
// Alt, 0x80000 the Windows key); otherwise the key's state.
bool key_state(const AppState& s, u64 wparam, u64 test_bit, u32 virtual_key);

i64 minus_or_zero(i64 a, i64 b);
i64 clamp_to(i64 v, i64 limit);
// Page Up and Page Down: the client height less 72, at least 32.
i32 page_step(i32 client_height);
// The scroll that keeps a row in view: at least row bottom + 20 - client height, at most row top - 60.
i64 keep_visible_scroll(i64 scroll, i64 row_top, i64 row_bottom, i64 client_height);

}  // namespace app
