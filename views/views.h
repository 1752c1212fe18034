#pragma once
// The resource views: the one state record behind every resource page and the rail's view list (chart grid, chart
// sheet, chosen view and range, rail scroll and page geometry), the chart looks of every view and their
// synchronisation with the sample ring, and every text of a resource page outside its charts (titles, rail values,
// captions, axis and end labels, temperatures, the detail panel).
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
  flag_copying = 8,    // the last preparation changed a chart sheet
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
  // Hover fields, kept by the page's hover step; reset here.
  u8 hover_column;  // 255 none
  u16 hover_value;
  u8 hover_kind;
  u8 engines;  // engines of the GPU shown, 4 or 5
  i16 tip_box[4];
  u8 tip_slot;
  i16 marker_x, marker_limit;
  u8 rail_first, rail_rows, rail_fixed, key_rail_first;
  i16 wheel_rest;
  u16 arrangements;
  u64 sheet_bytes;
  i32 sheet_generation;
  u32 bound_generation;
  const ptop::Ring* top_books;
  u8 range, ranges, key_stored;
  hist::Table* history;
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
bool copying(const ViewState& s);
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

// ---- Chart looks and synchronisation
void plot_base(chart::Look* look, u32 slot, u32 kind, u32 layers);
void set_series(chart::Source* series, const void* first, u32 stride, u32 heat_step, u32 width);
void layer(chart::Look* look, u32 i, u32 line, u32 fill, u32 alpha);
void resource_plot(chart::Look* look, const machine::Machine& m, u32 view, u32 slot, bool main, bool longer);
void engine_plot(chart::Look* look, const machine::Machine& m, u32 gpu, u32 engine, bool longer);
void memory_plot(chart::Look* look, const machine::Machine& m, u32 gpu, u32 which, bool longer);
u32 memory_full(u32 total, const chart::Source& series, const machine::Machine& m, bool longer);
void core_plot(chart::Look* look, const machine::Machine& m, u32 core, bool longer);
void heat_plot(chart::Look* look, const machine::Machine& m, bool longer);
u32 window_of(bool longer);
u32 most_of(const chart::Source& a, const chart::Source& b, bool sum, const machine::Machine& m, u32 rows);
u32 peak(const chart::Source& series, const machine::Machine& m, bool longer);
u32 light_of(u32 view);
u32 latest_row(const machine::Machine& m);
bool sync_all(ViewState* s, const machine::Machine& m, bool rail_only);
// The stored-range main chart; drawn by the stored-history charts, which are not built yet: draws nothing.
bool hist_sync(ViewState* s, const machine::Machine& m);

// ---- Texts
mem::Bytes engine_name(u32 kind);
mem::Bytes range_name(u32 i);
mem::Bytes range_words(bool longer);
mem::Bytes stored_words(u32 range);
mem::Bytes shown_words(const ViewState& s);
mem::Bytes layer_name(u32 view, u32 layer);
mem::Bytes caption_of(u32 view);
mem::Bytes board_name();
mem::Bytes board_value(bool remote);
mem::Bytes ellipsis();
void title_of(const machine::Machine& m, u32 view, words::Text* out);
// The rail value; true when the ring is empty and the placeholder stands instead.
bool value_of(const machine::Machine& m, u32 view, words::Text* out);
bool blank_if(words::Text* text, bool empty);
void watts(words::Text* out, u32 tenths, bool always_tenths);
mem::Bytes gpu_name(const machine::Machine& m, u32 gpu);
bool unified(const machine::Machine& m, u32 gpu);
void gpu_total(words::Text* out, const machine::Machine& m, u32 gpu);
void disk_heading(words::Text* out, const machine::Machine& m, u32 disk);
void axis_text(const machine::Machine& m, u32 view, u32 top, u32 i, words::Text* out);
void now_text(const machine::Machine& m, u32 view, u32 layer, words::Text* out);
u32 heat_color(u32 kind, i32 tenths);
void heat_text(words::Text* out, i32 tenths);
// The heading's temperature and its sensor kind (255 none).
u32 heading_heat(const machine::Machine& m, u32 view, i32* tenths);
void power_source(words::Text* out, const machine::Machine& m);
void part_watts(words::Text* out, const machine::Machine& m, u32 part);
void committed(words::Text* out, u32 used, u32 limit, bool empty);
void first_ipv4(words::Text* out, const machine::Machine& m, u32 adapter);
void first_ipv6(words::Text* out, const machine::Machine& m, u32 adapter);

// ---- Detail panel
u32 detail_count(u32 view);
u32 details_shown(const ViewState& s);
mem::Bytes detail_label(u32 view, u32 row);
void detail_value(const machine::Machine& m, u32 view, u32 row, words::Text* out);
bool detail_live(u32 view, u32 row);
draw::Rect detail_rect(const ViewState& s, u32 row);
void details(const ViewState& s, draw::Surface* surface, const machine::Machine& m);

// Text width in a font role; ellipsizing measures through it so that it can be tried without a window.
struct Measure {
  i32 (*width)(void* context, u32 role, mem::Bytes text);
  void* context;
};
Measure surface_measure(draw::Surface* surface);
// Shortens the text to the width: whole UTF-8 characters are dropped from the end until the rest and "..." fit.
void ellipsize(const Measure& measure, u32 role, words::Text* text, i32 width);
void ellipsize(draw::Surface* surface, u32 role, words::Text* text, i32 width);

}  // namespace views
