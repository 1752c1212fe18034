#pragma once
// The desktop window: its state record, its model, and the road from main's call to the exit code (single
// instance and the hand-off to a running copy, the model carved from one arena, the start order of its parts, the
// window class and the window, the loop, and the tear-down that always runs).
//
// The namespace app spans shell/ and the widget layer below the pages (widgets/: hitmap, widgets, clipboard, texts);
// each file holds one side of the window, all working on the one AppState that gui_main keeps on its stack:
//   loop        the message loop and input dispatch      title       painting, the title strip, page dispatch
//   dpi         DPI and the client size                  snap        moving, sizing, maximizing and snapping
//   hitmap      geometry and the hit map                 widgets     text, fills, outlines and caption glyphs
//   fields      the text fields' pointer and keys        rules       show command, modifiers, scroll arithmetic
//   banner      the update banner and badge              quit        closing, and the window's side of an update
//   driver      the test driver's messages               clipboard   the one clipboard writer
//   pages       what Settings and Support share          texts       the fixed texts
//   processes, machinespage, settings_page, support_page, replacement: the shell's side of those pages and rows
#include "base/mem.h"
#include "wire/cluster.h"
#include "drawing/draw.h"
#include "views/histsource.h"
#include "history/localhist.h"
#include "history/ptop.h"
#include "internet/internet.h"
#include "internet/page.h"
#include "pages/machines.h"
#include "views/proclist.h"
#include "pages/procmenu.h"
#include "pages/clusterui.h"
#include "pages/procpage.h"
#include "pages/support.h"
#include "platform/window.h"
#include "sampling/machine.h"
#include "sampling/model.h"
#include "sampling/source.h"
#include "widgets/hitmap.h"
#include "shell/instance.h"
#include "update/background.h"
#include "update/controller.h"
#include "update/updstate.h"
#include "views/overview.h"
#include "views/views.h"

namespace app {

// ---- Window options: one bit per option word, in main's order.
enum : u32 {
  opt_gdi = 0x1,
  opt_test = 0x2,
  opt_live = 0x4,
  opt_short_ring = 0x8,
  opt_empty_ring = 0x10,
  opt_no_gpu = 0x20,
  opt_settings = 0x40,
  opt_full_ring = 0x80,
  opt_compute = 0x100,
  opt_churn = 0x200,
  opt_longest_name = 0x400,
  opt_feed = 0x800,
  opt_view = 0x1000,
  opt_unattended = 0x2000,
  opt_minimized = 0x4000,
  opt_as_shipped = 0x8000,
  opt_taskmgr = 0x10000,
  opt_dpi = 0x20000,
  opt_integrated = 0x40000,
  opt_long_notes = 0x80000,
  opt_tops = 0x100000,
  opt_power = 0x200000,
  opt_battery = 0x400000,
  opt_support = 0x800000,
  opt_temps = 0x1000000,
  opt_temps_pc = 0x2000000,
};
// What outside the test mode may act: --gdi, --view, --unattended, --minimized (and words that only act together
// with --test).
inline constexpr u32 kept_outside_test = 0xFC00F007;

// ---- State flags
enum : u8 {
  flag_maximized = 1,
  flag_test = 2,
  flag_leave_tracking = 4,
  flag_layout_changed = 8,
  flag_banner_dismissed = 16,
  flag_restart_pending = 32,
  flag_minimized_at_restart = 64,
  flag_animating = 128,
};

// Exit codes.
enum : u32 { exit_ok = 0, exit_no_window = 3, exit_loop_failed = 4, exit_init_failed = 5 };

// Timers of the window.
enum : u32 { timer_tick = 1, timer_fast = 2, timer_animate = 3, timer_link = 9 };
inline constexpr u32 tick_ms = 1000, fast_ms = 250, animate_ms = 50, link_ms = 100, test_wake_ms = 50;

inline constexpr u32 test_clock_start = 59961600;
inline constexpr u64 row_overview = u64{1} << 31;

// Cursors, in this order: arrow, north-west/south-east, north-east/south-west, west/east, north/south.
inline constexpr u32 cursor_count = 5;

// ---- The model

// The remote machine shown on the Machines page; none until that page exists.
struct RemoteView {
  const machine::Machine* machine;
  mem::Arena arena;
  u8 shown;
  u8 link_flags[2];
};

// The Task Manager replacement as the window last read it.
inline constexpr u32 debugger_text_most = 1600;
struct TaskManager {
  u8 state, last_result, test_result, saved_file;
  i32 read_error;
  u16 text_length;
  u8 text[debugger_text_most];
};

// The updater's part: the window's update controller (its settings record is what the banner and the Settings
// page show) and the urgent-notice flags (0 pending, 1 shown).
struct Updater : update::Controller {
  u8 notices[3];
};

// What the start made of publish.txt (the settings themselves live in the Settings page's controller, the one copy
// every reader takes) and the history writer's retry countdown.
struct ClusterSettings {
  u32 publish_state, id_state;
  u8 history_countdown;
};

// The Machines page's state with what the shell keeps for it: the file paths.
struct MachinesWork {
  machines::Page page;
  u8 key_path[cluster::path_capacity];
  u8 list_path[cluster::path_capacity];
  u32 key_length, list_length;
};

// The sub-records in their order. A record added later takes its room from the spare bytes at the end, so the
// model keeps its size.
struct ModelParts {
  RemoteView remote;
  TaskManager taskmgr;
  instance::Lock instance;
  machine::Machine machine;
  source::Source source;
  views::ViewState views;
  Updater updater;
  model::ProcTable procs;
  proclist::ListState list;
  ClusterSettings cluster;
  ptop::Ring tops;
  internet::Probe probe;
  internet::PageState internet_page;
  localhist::Writer history;
  procpage::PageLayout proc_page;
  procmenu::Menu proc_menu;
  MachinesWork machines;
  localhist::Source chart_source;  // the stored-history source of the charts
  overview::OverviewState overview;
  support::SupportState support;
  clusterui::ClusterState cluster_ui;
  mem::Bytes test_settings;  // the --settings file under --test: the test files stand beside it
  background::Control background;  // the background copy as the Settings page controls it
};
inline constexpr u64 model_bytes = 757512;
struct Model : ModelParts {
  u8 spare[model_bytes - sizeof(ModelParts)];
};
static_assert(sizeof(Model) == model_bytes, "the model is 757,512 bytes");
// The arena holds the model and the texts the parts copy at start (the internet probe's path).
inline constexpr u64 arena_bytes = 759560, test_arena_bytes = 761608;

// ---- The state record
struct AppState {
  win::Thread* thread;  // the window layer's queue, timers and windows
  win::Handle window;
  draw::Surface surface;
  i32 width, height;  // logical px
  u16 dpi;
  i32 pixel_width, pixel_height;  // physical px at the last layout
  HitMap map;  // the hit slots with their enabled, hover, pressed, selected and keyboard masks
  u8 flags;
  u8 drag;
  i32 press_x, press_y;
  win::Rect press_rect, saved_rect;
  u32 cursors[cursor_count];
  mem::Bytes version;
  Model* model;
  mem::Arena arena;
  u8 page;
  u8 page_ticks;
  u8 ticks;
  u8 link_timer;  // the link timer runs (outside a test it stops while no link is open: see pace_links)
  u8 quitting;
  u32 test_clock;
  i32 first_status;
  u8 first_taken;
  u32 options;
  u32 last_input;
  u32 notices;
  u64 swap_event;
  win::Region paint_regions[2];
  u8 paint_regions_made;
  i32 test_menu_choice;
  u32 test_counters[4];
  u8 test_menu_flag;
  u32 wake_message;
  u32 wakes;
  i16 pointer_x, pointer_y;
  u8 snap;
  win::Handle snap_preview;
  i16 test_work[4];
  i32 page_scroll;
  u32 content_height;
  u64 layout_hash;
  i32 notes_y;
  u16 notes_offset;
  i8 wheel_rest;
  // What the loop needs beside the fields above on this system.
  u8 phase;             // the animation phase, 0..11
  u64 quit_event;       // set by SIGTERM and SIGINT
  gdi::Handle icons[3];  // small and big of the window, the class's
  u8 start_row;  // the rail row asked with --view, + 1, while it waits for the first sample to list it; 0 none
  i32 message_x, message_y;  // the screen point of the mouse message being handled
  u8 message_left;           // its left button is down
  mem::Bytes settings;       // the --settings file under --test (its folder takes the test files), else empty
  u64 input_ticks;           // ticks() at the last input: idle time on the monotonic clock
};

// ---- Start-up

u32 keep_flags(u32 options);
// version, option word, font folder, settings file, start row (0xFFFFFFFF none), DPI (0 the monitor's), support file
// -> exit code.
u32 gui_main(mem::Bytes version, u32 options, mem::Bytes font_folder, mem::Bytes settings, u32 view, u32 dpi,
             mem::Bytes support);
// 1 when a running copy took the wake message.
u32 hand_off(instance::Lock* lock);
// Warm-up rows asked by the options.
u32 warm_rows(u32 options);
// 1 on success: arena reserved, model carved, sample source started, views and the process list ready.
u32 init(AppState* s, mem::Bytes version, bool demo, u32 ring_rows, bool gpu, bool compute, bool integrated,
         bool use_child, u32 power_mode);
u32 create_window(AppState* s, u32 options, mem::Bytes font_folder);
void load_cursors(AppState* s);
void load_settings(AppState* s, mem::Bytes settings);
void start_internet(AppState* s, mem::Bytes settings);
// The tear-down after the loop: history written and closed, probe and source stopped. Runs on every way out.
void tear_down(AppState* s);

// ---- Clocks and facts every part uses

// Seconds since 2025-01-01 (the test clock under --test).
u32 now(const AppState& s);
// Milliseconds since the system started; 0 under --test.
u64 ticks(const AppState& s);
bool in_test(const AppState& s);
bool minimized(const AppState& s);
// This computer's record and the one shown (a remote machine's copy when the Machines page opened one).
machine::Machine* own(AppState* s);
const machine::Machine& shown(const AppState& s);
bool remote_shown(const AppState& s);

// The wake message of a second start: the window comes to the front (restored when minimized).
void wake(AppState* s);

}  // namespace app
