#pragma once
// The window's side of the test driver beyond the frame request and the tick: the driver's messages that set the
// updater's state, step the sample source, reset the views and feed the Task Manager row. Only under
// --test.
#include "platform/window.h"
#include "shell/app.h"

namespace app {

enum : u32 {
  driver_update_state = win::wm_app + 0x12,
  driver_collect_step = win::wm_app + 0x13,
  driver_reset_views = win::wm_app + 0x14,
  driver_sample_step = win::wm_app + 0x15,
  driver_ring_step = win::wm_app + 0x16,
  driver_sample_step_b = win::wm_app + 0x18,
  driver_taskmgr = win::wm_app + 0x1C,
};

// The driver messages above: true when the message was one of them.
bool test_message(AppState* s, const win::Msg& m);
// The updater's state from the driver: status, failure reason and flags (bit 0 inverted) in wParam bits 0-23,
// failure step and code in lParam bits 0-23.
void test_update_state(AppState* s, u64 wparam, i64 lparam);
void test_collect_step(AppState* s);
void test_reset_views(AppState* s);
void test_sample_step(AppState* s);
void test_ring_step(AppState* s, u32 processors);
void test_sample_step_b(AppState* s);
// The Task Manager row's test value by kind: 4 and 5 make the next change answer cancelled or not completed.
void taskmgr_action(AppState* s, u32 kind);

}  // namespace app
