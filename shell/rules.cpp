#include "shell/rules.h"

#include "platform/window.h"

namespace app {

u32 show_command(bool quiet, bool minimized) {
  if (minimized) return win::sw_showminnoactive;
  return quiet ? win::sw_shownoactivate : win::sw_showdefault;
}

bool key_state(const AppState& s, u64 wparam, u64 test_bit, u32 virtual_key) {
  return in_test(s) ? (wparam & test_bit) != 0 : win::key_state(*s.thread, virtual_key) < 0;
}

i64 minus_or_zero(i64 a, i64 b) { return a > b ? a - b : 0; }

i64 clamp_to(i64 v, i64 limit) { return v < 0 ? 0 : v > limit ? limit : v; }

i32 page_step(i32 client_height) { return client_height - 72 > 32 ? client_height - 72 : 32; }

i64 keep_visible_scroll(i64 scroll, i64 row_top, i64 row_bottom, i64 client_height) {
  const i64 least = row_bottom + 20 - client_height;
  if (scroll < least) scroll = least;
  if (scroll > row_top - 60) scroll = row_top - 60;
  return scroll;
}

}  // namespace app
