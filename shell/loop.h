#pragma once
// The message loop and input dispatch. The window's class has no procedure of its own, so everything the program
// does happens here: each message is offered to pre_dispatch, which paints, runs the timers and the one-second tick,
// routes keys, characters, the pointer and the wheel to the pages, closes, wakes, and serves the test driver.
#include "platform/window.h"
#include "shell/app.h"

namespace app {

// Virtual keys the dispatch knows.
enum : u32 {
  vk_back = 0x08,
  vk_return = 0x0D,
  vk_escape = 0x1B,
  vk_prior = 0x21,
  vk_next = 0x22,
  vk_end = 0x23,
  vk_home = 0x24,
  vk_up = 0x26,
  vk_down = 0x28,
  vk_delete = 0x2E,
  vk_r = 0x52,
  vk_apps = 0x5D,
  vk_f4 = 0x73,
  vk_f10 = 0x79,
};

// Test driver messages (WM_APP + n) served here.
enum : u32 {
  driver_frame = win::wm_app + 0x10,
  driver_tick = win::wm_app + 0x11,
  driver_char = win::wm_app + 0x17,
  driver_menu_choice = win::wm_app + 0x19,
  driver_menu_flag = win::wm_app + 0x1A,
  driver_hold = win::wm_app + 0x1B,
  driver_dpi = win::wm_app + 0x1D,
  driver_add_disk = win::wm_app + 0x1E,
  driver_cluster_char = win::wm_app + 0x20,
  driver_work_area = win::wm_app + 0x27,
  driver_history_source = win::wm_app + 0x28,
};
inline constexpr u64 driver_mark = 0x5642;

// The loop until the window is gone: 0, or -1 when waiting for messages failed.
i32 run(AppState* s);
// 1 when the message was handled.
u32 pre_dispatch(AppState* s, const win::Msg& m);
// Input messages pass outside --test; under it only with the driver mark in the high 32 bits of wParam.
bool is_input(u32 message);
bool input_allowed(const AppState& s, const win::Msg& m);

void tick(AppState* s);
void click(AppState* s, u64 bits);
// Acts on a click of hit slots 64-97 (bit i = slot 64 + i).
void click_b(AppState* s, u64 bits);
void open_page(AppState* s, u8 page);
// The click on the power row: the power view on the resource page.
void open_power_view(AppState* s);
void key_down(AppState* s, u32 key, u64 wparam);
void on_char(AppState* s, u32 c);
void mouse_move(AppState* s, i32 x, i32 y);
void mouse_down(AppState* s, i32 x, i32 y, bool twice);
void mouse_up(AppState* s, i32 x, i32 y);
void mouse_leave(AppState* s);
void wheel(AppState* s, i32 delta);
void wheel_page(AppState* s, i32 delta);
void wheel_proclist(AppState* s, i32 delta);
void rail_scrolled(AppState* s, bool moved);
bool page_key(AppState* s, u32 key);
void set_option(AppState* s, u32 range);
void overview_click(AppState* s, i32 x, i32 y);
bool shift_down(const AppState& s, u64 wparam);
void toggle_maximize(AppState* s);
void close(AppState* s);

// Sampling of processes and the animation of the process list.
bool page_animates(const AppState& s);
// Whether a link the 100 ms link timer serves is open, and the timer started or stopped to match (outside a test).
bool links_open(const AppState& s);
void pace_links(AppState* s);
void fast_sample(AppState* s);
void animate(AppState* s);
void animation_step(AppState* s);
void set_collect_mode(AppState* s, bool on);
void start_sampling(AppState* s);
void set_animating(AppState* s, bool on);

// What the tick compares before and after a sample.
struct Noted {
  bool failing, demo, due, child;
  u64 present;
  u8 cpus, disks, nics, gpus;
  u32 changes;
};
Noted note(const AppState& s);
void after_sample(AppState* s, const Noted& before);
// Opens the row that --view asked for once the first sample lists it (see open_start_row).
void take_start_row(AppState* s);
// Marks what a new second changed on the page shown and shows it.
void refresh_page(AppState* s);

// The page's scroll range (content height below the client height, never negative).
i32 scroll_range(const AppState& s);

// The driver's frame request: a pending paint is painted first, then the words, the request number last.
void frame_request(AppState* s, u32 number);

}  // namespace app
