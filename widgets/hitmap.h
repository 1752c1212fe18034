#pragma once
// The window's geometry and its hit map. The window has no system frame: it draws its own title strip, caption
// buttons, rail and pages and decides itself what a pointer position means. Every control is one numbered
// rectangle (a slot) of one map, laid out again after every change of page, size, DPI or data; the widgets draw on
// the same rectangles the input dispatch tests, so a control's drawn box is its clickable box.
//
// All coordinates are logical px at 96 DPI in client coordinates. What the map is laid out from (page, size, the
// page scroll, what the updater, the pages and the data say) arrives in one Facts record that the application fills
// from its model; the resource views place their own rectangles.
#include "base/mem.h"
#include "drawing/draw.h"
#include "platform/window.h"
#include "views/views.h"

namespace app {

// ---- Geometry constants (logical px)
inline constexpr i32 title_height = 40;
inline constexpr i32 caption_width = 46;
inline constexpr i32 edge_band = 4;
inline constexpr i32 corner_band = 16;
inline constexpr i32 rail_width = 220;
inline constexpr i32 content_left = 244;
inline constexpr i32 content_margin = 24;
inline constexpr i32 value_column = 424;
inline constexpr i32 min_width = 640, min_height = 400;
inline constexpr i32 start_x = 120, start_y = 80, start_width = 1280, start_height = 800;
// The Settings rows of the two cluster fields, in content y (their labels are 32 px rows, the fields 28 px inside).
inline constexpr i32 target_row = 512, key_row = 548;

// The DPI of the start option and of the test driver's message: 96, 120, 144 or 192; anything else is 96.
u32 dpi_choice(u32 dpi);

// Pages (the state's page byte).
enum : u8 {
  page_view = 0,
  page_settings = 1,
  page_processes = 2,
  page_overview = 3,
  page_machines = 4,
  page_internet = 5,
  page_support = 6,
  page_sensors = 7,
};

// ---- Slots
inline constexpr u32 slot_count = 98;
enum : u32 {
  slot_processes = 30,     // rail entry "Processes"
  slot_board = 31,         // rail board item (opens the Overview)
  slot_overview = 32,      // Overview page content
  slot_settings = 33,      // rail entry "Settings"
  slot_minimize = 34,      // caption buttons 34, 35, 36
  slot_maximize = 35,
  slot_close = 36,
  slot_toggle = 37,        // per-core style toggle
  slot_plot = 38,
  slot_cores = 39,
  slot_check = 40,         // "Check for updates"
  slot_auto_check = 41,    // "Automatic check" Off/On
  slot_restart = 42,       // "Restart to update"
  slot_range0 = 43,        // range buttons 0 and 1
  slot_range1 = 44,
  slot_header0 = 45,       // Processes column headers 45-53
  slot_table = 54,         // Processes table body
  slot_banner0 = 55,       // title-strip banner buttons 55-57
  slot_update_mode = 58,
  slot_notice = 59,        // title-strip update notice
  slot_notes = 60,         // release-notes action
  slot_taskmgr = 61,       // Task Manager replacement
  slot_taskmgr_remove = 62,
  slot_taskmgr_open = 63,
  slot_publish = 64,
  slot_target_field = 65,  // "Server or share"
  slot_key_field = 66,     // "Cluster key"
  slot_machines = 67,      // rail entry "Machines"
  slot_machine_table = 68,
  slot_generate = 69,      // "Generate key" / "Replace"
  slot_copy_key = 70,
  slot_internet = 71,      // rail entry "Internet"
  slot_measure = 72,       // internet "Measure" Off/On
  slot_speed = 73,         // "Speed test" schedule
  slot_background0 = 74,   // background toggles 74-76
  slot_choose_file = 77,
  slot_range2 = 78,        // range buttons 2-5: 78-81
  slot_filter = 82,        // Machines filter field
  slot_machine_header0 = 83,  // Machines column headers 83-90
  slot_power = 91,         // rail row of the power view
  slot_support = 92,       // rail entry "Support us"
  slot_support_copy0 = 93, // Support "Copy" buttons 93-95
  slot_machine_button = 96,
  slot_sensors = 97,       // rail entry "Sensors"
};
// Bit of a slot in its mask word: slots 0-63 in the first word, 64-97 in the second.
constexpr u64 bit_a(u32 slot) { return u64{1} << slot; }
constexpr u64 bit_b(u32 slot) { return u64{1} << (slot - 64); }
// Focus bit 32 stands for the Machines rail entry (slot 32 itself, the Overview content, takes no focus).
inline constexpr u64 focus_machines = u64{1} << 32;

struct HitMap {
  i16 left[slot_count], top[slot_count], right[slot_count], bottom[slot_count];  // right and bottom exclusive
  u64 enabled_a, enabled_b;
  u64 hover_a, hover_b;
  u64 pressed_a, pressed_b;  // remembered at button-down
  u64 selected;              // the current page entry (slots 0-63)
  u64 focus;                 // keyboard focus: one bit of slots 0-63, bit 32 the Machines entry
  u8 changed;                // an edge changed value during layout; the page scroll re-measures
};

// ---- What the layout reads

// What the updater and the state say about an offered update.
struct UpdateFacts {
  u8 status;           // update status 0-7
  u8 flags;            // the updater's flags
  bool suppressed;     // the offered version is skipped or failed
  bool dismissed;      // the banner was dismissed
  bool restart_pending;  // the state's restart-pending flag (0x20)
  u8 notices[3];       // the updater's three notice bytes
};
// The banner offers an update.
bool banner_kind(const UpdateFacts& u);
bool has_notice(const UpdateFacts& u);
// The release-notes block of the Settings page shows.
bool banner_shown(const UpdateFacts& u);
bool update_pending(const UpdateFacts& u);
// The title strip shows the "updated to" notice: this is the first run of a version that an update installed.
bool notice_shown(const UpdateFacts& u);
// An update check runs (status 1 or 6).
bool check_runs(const UpdateFacts& u);

// The payment blocks of the Support page: the QR symbols of blocks 0 and 1 (block 2 takes block 0's), whether a
// block shows, and whether block 1's note shows.
struct SupportFacts {
  i32 modules[2];  // modules of a symbol's side
  i32 scale[2];    // its scale: 0 when the symbol is not built
  u8 shown;        // bit i: block i is present
  bool note;       // block 1's note shows
};

struct Facts {
  u8 page;
  i32 width, height;  // client size
  bool maximized;
  i32 scroll;         // the page scroll of the tall pages (Settings, Support, Sensors)
  const machine::Machine* shown;  // the shown machine
  bool remote;        // a remote machine is shown
  bool heat;          // the shown machine's temperature record holds a reading
  bool probe;         // the internet probe is on
  bool support;       // support data present
  UpdateFacts update;
  bool banner_narrow;  // the banner uses its short button labels
  u8 taskmgr_state;   // 0-5; 5 unknown
  bool taskmgr_absent;  // this system has no Task Manager to open or replace
  draw::Rect overview;  // the Overview content, from its cards' layout
  draw::Rect headers[9];  // Processes column headers and table body, from the Processes page's layout
  draw::Rect table;
  // Machines page: whether the list exists, a row is selected, the table's bottom, and the column headers (x
  // relative to the content left; a column not shown has left = right). members_only: the remote member table is
  // shown with data, so only headers 0 and 1 keep their width.
  bool machine_list;
  bool machine_selected;
  i32 machines_bottom;
  i16 column_left[8], column_right[8];
  bool members_only;
  SupportFacts blocks;
};

// The Machines page's columns are asked with this flag: the window is wider than 1269 px.
bool machines_wide(i32 width);
// The settings field width F, the narrow-layout offsets m and g, and whether the key buttons stand in the key
// field's row.
i32 field_width(i32 width);
i32 narrow_offset(i32 width);
i32 notes_offset(i32 width);
bool keys_in_row(i32 width);
// The fixed rail entries below the view rows: 5, plus one for Sensors, less one without support data.
u32 fixed_entries(const Facts& f);

// ---- The map

// Saturates the edges to 16 bits and stores them; an edge that changes sets the changed flag.
void set_hit(HitMap* map, u32 slot, i32 left, i32 top, i32 right, i32 bottom);
void set_hit_rect(HitMap* map, u32 slot, draw::Rect r);
draw::Rect slot_rect(const HitMap& map, u32 slot);
bool slot_empty(const HitMap& map, u32 slot);
// Lays out the whole map for the page, size and data: the resource views first (set_overview, set_remote,
// set_fixed and their layout for the client size), then every slot and both enabled masks.
void layout_hits(HitMap* map, views::ViewState* views, const Facts& f);
// Slots 0-63 (and 64-97, bit i = slot 64 + i) whose rectangles hold the point. In the title strip the page
// content slots that scroll beneath it are left out.
u64 hits_at(const HitMap& map, i32 x, i32 y);
u64 hits_at_b(const HitMap& map, i32 x, i32 y);

// ---- Frame edges, cursors, minimum size

enum : u32 { edge_left = 1, edge_right = 2, edge_top = 4, edge_bottom = 8 };
u32 edge_at(i32 x, i32 y, i32 width, i32 height, bool maximized);
// The cursor of the edge bits, as an index into the cursors loaded at window creation (cursor_ids order): 0 arrow,
// 1 north-west/south-east, 2 north-east/south-west, 3 west/east, 4 north/south.
u32 cursor_of(u32 edges);
u32 cursor_id(u32 index);  // the system cursor of an index
bool too_small(i32 width, i32 height, bool minimized, bool maximized);
// Given the client rectangle in device px after a size change: when it is too small at the DPI, the window is
// sized (not moved) to the larger of its size and 640 x 400 logical px, and the client rectangle is read again.
draw::Rect enforce_min_size(win::Thread* t, win::Handle window, draw::Rect client, u32 dpi, bool minimized,
                            bool maximized);

// ---- Invalidation (without erasing: the pages draw every pixel)

// Marks the surface changed and invalidates the whole client area; the caller sets its full-redraw flag.
void redraw_all(win::Thread* t, win::Handle window, draw::Surface* s);
// The bounding box of the slots in the mask (0-63); nothing for an empty mask.
void invalidate_slots(win::Thread* t, win::Handle window, draw::Surface* s, const HitMap& map, u64 mask);
void invalidate_rect(win::Thread* t, win::Handle window, u32 dpi, draw::Rect logical);
// Marks the surface changed and invalidates the client area under the title strip.
void invalidate_below_title(win::Thread* t, win::Handle window, draw::Surface* s);
// Marks the surface changed and invalidates each rectangle of its show list (the whole client area when the list
// overflowed, so nothing shown is left out).
void invalidate_shown(win::Thread* t, win::Handle window, draw::Surface* s);

// ---- Rail focus order for Up and Down (down false: Up)

// One step among the available bits (the enabled entries of slots 0-33 less 32): the board item first, then the
// view rows, then Processes. The focus stays when nothing lies that way.
u64 rail_next(u64 focus, u64 available, bool down);
// The fixed entries below the view rows: Processes, Machines (focus bit 32), Settings. 0 when the step is not one
// of these (the caller uses rail_next).
u64 rail_jump(u64 focus, bool down);

// ---- Support page geometry (block i of 0, 1, 2)

i32 support_qr_side(const SupportFacts& b, u32 i);
i32 support_qr_box(const SupportFacts& b, u32 i);
i32 support_widest_qr(const SupportFacts& b);
bool support_stacked(const SupportFacts& b, i32 width);
i32 support_note_gap(const SupportFacts& b, u32 i);
i32 support_block_height(const SupportFacts& b, u32 i, i32 width);
i32 support_blocks_height(const SupportFacts& b, i32 width);
i32 support_content_height(const SupportFacts& b, i32 width, u8 page);
i32 support_block_top(const SupportFacts& b, u32 i, i32 width);
i32 support_text_x(const SupportFacts& b, i32 width);
i32 support_text_top(const SupportFacts& b, u32 i, i32 width);
i32 support_after_qr(const SupportFacts& b, u32 i, i32 width);

}  // namespace app
