#pragma once
// The resource views: the one state record behind every resource page and the rail's view list (chart grid, chart
// sheet, chosen view and range, rail scroll and page geometry), the view set a machine offers, the rail's scrolling,
// the rectangles of the hit map and the arrangement of a page from the window size.
//
// The rest of the views namespace stands beside it, a file for each part of a page: plots (chart looks and their
// synchronisation), texts (titles, values, detail panel), pen (drawing steps and band keys), tiles (figure tiles,
// GPU and processors parts), heading (rail list, heading, axis and legend), render (rendering, hover, tooltips and
// the bands a tick redraws) and histchart (stored-history charts).
//
// The application model holds one ViewState; the shell passes the machine shown, the window size and DPI, clicks and
// wheel turns. All coordinates are logical pixels at 96 DPI.
#include "base/mem.h"
#include "base/words.h"
#include "drawing/chart.h"
#include "drawing/draw.h"
#include "history/hist.h"
#include "history/ptop.h"
#include "sampling/machine.h"

namespace views {

// Flag bits of ViewState::flags.
enum : u8 {
  flag_grid = 1,       // chart grid ready
  flag_arranged = 2,   // geometry valid
  flag_multiples = 4,  // the per-core part shows small multiples (clear: heat strip)
  flag_synced = 8,     // the last preparation brought a chart sheet up to date (it changed)
  flag_long = 16,      // ten-minute range
  flag_details = 32,   // detail panel shown
  flag_overview = 64,  // the Overview page is shown
  flag_remote = 128,   // a remote machine is shown
};

// Chart slots of the grid.
enum : u32 {
  slot_main = 0,
  slot_heat = 1,
  slot_rail = 2,       // + view id, for views 0-29
  slot_cores = 32,     // + logical processor; on a GPU view + engine
  slot_dedicated = 37,
  slot_shared = 38,
  slot_power_spark = 96,
};

constexpr u32 range_count = 6;
constexpr u32 fixed_entries = 4;  // fixed 32-px rail entries below the list, until the shell says otherwise
constexpr u32 detail_rows = 10;
// Above this a sheet counts as a failed reservation: the page then draws its texts without charts.
constexpr u64 sheet_most = u64{256} << 20;

// Keys of the bands a new sample may change: texts drawn, chart windows shown.
struct Keys {
  u64 heading, axis, ends, plot, cores, tiles, tip;
  u64 details[detail_rows];
  u64 rail[35];
};

struct ViewState {
  chart::Grid grid;
  draw::Sheet sheet;
  mem::Arena sheet_arena;
  u8 flags;
  u8 key_flags;  // flags bits 2 and 6 at the last arrangement
  i32 key_width, key_height;
  u8 view;
  u8 key_view;
  u64 key_present;
  u8 key_cpus;
  u8 key_engines;  // engine count and unified bit of the GPU shown at the last arrangement
  u64 present;     // bit 34 power
  i16 content_left, content_right;
  i16 plot_x, plot_y, plot_height, step;
  i16 cores_top, cores_height, core_row_height;
  i16 small_pitch, small_height, small_step, small_columns;
  i16 cores_heading_y, tiles_top, details_top;
  // Hover: the plot under the pointer (255 none; 0 main plot, 1 heat strip, 32 a small multiple, 32-38 the charts of
  // a GPU page), the column under it and the processor row or small multiple (255 none).
  u8 hover_plot;
  u16 hover_column;
  u8 hover_cell;
  u8 engines;  // engines of the GPU shown, 4 or 5
  // What the last render drew over the charts, read by the next refresh: the tooltip box (x0, y0, x1, y1; all 0 for
  // none), the slot under the marker (255 none) and its x.
  i16 tip_box[4];
  u8 marker_slot;
  i16 marker_x;
  i16 frame_bottom;  // charts are shown down to here at most
  u8 rail_first, rail_rows, rail_fixed, key_rail_first;
  i16 wheel_rest;
  u16 arrangements;
  u64 sheet_bytes;
  i32 sheet_generation;
  u32 bound_generation;
  const ptop::Ring* top_books;
  u8 range, ranges, key_stored;
  hist::Table* history;
  // What each refreshed band showed at the last tick, so that a second that changed nothing in a band queues nothing
  // for it; 0 forces the band at the next tick.
  Keys keys;
};

// ---- State
void init(ViewState* s);
// Back to the first view with everything drawn forgotten, keeping the sheet arena, the DPI and the chosen and
// offered ranges (a mid-session reset must not leak the sheet or lose the monitor's scale).
void reset(ViewState* s);
void attach(ViewState* s, draw::Surface* surface);
u64 sheet_bytes(i32 width, i32 height, i32 tallest);
void fit_sheet(ViewState* s);
void set_dpi(ViewState* s, u32 dpi);
i32 fitted_step(const ViewState& s, i32 step);
// Fixed rail entries below the list; a change re-arranges.
bool set_fixed(ViewState* s, u32 entries);

bool powered(const machine::Machine& m);
u64 present(const machine::Machine& m);
bool power_view(u32 id);
bool gpu_view(u32 id);
bool disk_view(u32 id);
bool nic_view(u32 id);
u32 engine_count(const machine::Machine& m, u32 gpu);
u32 engine_kind(u32 i);

bool long_range(const ViewState& s);
bool stored(const ViewState& s);
u32 range_of(const ViewState& s);
u32 ranges(const ViewState& s);
bool set_range(ViewState* s, u32 range);
bool set_ranges(ViewState* s, u32 n);
void set_hist(ViewState* s, hist::Table* table);
draw::Rect range_rect(const ViewState& s, u32 i);
bool overview(const ViewState& s);
bool set_overview(ViewState* s, bool on);
bool set_remote(ViewState* s, bool on);
bool synced(const ViewState& s);
void unlay(ViewState* s, bool on);
void select(ViewState* s, u32 id);
void toggle(ViewState* s);

// ---- Rail
u32 rail_order(const ViewState& s, u32 id);
u32 rail_count(const ViewState& s);
bool rail_shows(const ViewState& s, u32 id);
i32 rail_row_top(const ViewState& s, u32 id);
bool rail_scrolls(const ViewState& s);
i32 views_top(const ViewState& s);
bool rail_scroll(ViewState* s, i32 delta);
bool reveal(ViewState* s, u32 id);
u32 spark_row(u32 id);

// ---- Rectangles for the hit map
bool board_rect(const ViewState& s, draw::Rect* out);
draw::Rect rail_rect(const ViewState& s, u32 id);
draw::Rect toggle_rect(const ViewState& s);
draw::Rect plot_rect(const ViewState& s);
draw::Rect cores_rect(const ViewState& s);

// ---- Arrangement
void layout(ViewState* s, const machine::Machine& m, i32 width, i32 height);
void fit(ViewState* s);
bool arrange(ViewState* s, const machine::Machine& m, i32 width, i32 height);
void layout_gpu(ViewState* s, const machine::Machine& m, i32 left, i32 right);

// ---- Helpers the view modules share
constexpr u8 hover_none = 255;  // nothing under the pointer
i16 to16(i64 v);                 // clamped to int16
u32 rail_ids(u64 present, u32* out);
u32 gpu_of(u32 view);
u32 disk_of(u32 view);
u32 nic_of(u32 view);

}  // namespace views
