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

// ---- Stored-history charts (ranges 1 hour to 2 years, drawn from the views' history table)

// The history measure of a view (255 none): the second flag asks for the second measure, which only adapters have.
u8 hist_field(u32 view, bool second);
bool net_view(u32 view);
bool hist_ready(const ViewState& s);
void hist_plot(chart::Look* look, const hist::Table& table, u32 view);
chart::Track hist_track(const hist::Table& table);
bool hist_sync(ViewState* s, const machine::Machine& m);
mem::Bytes hist_status(const ViewState& s);
void hist_cells(const ViewState& s, u32* first, u32* last);
// What the table knows under the hovered chart column.
struct HistValues {
  bool known;
  u32 min, mean, max;
  u64 energy;
  u32 seconds;
  u32 end;  // end time of the last known column
};
bool hist_values(const ViewState& s, u32 measure, HistValues* out);
bool hist_energy(const ViewState& s, HistValues* out);
void hist_ago(words::Text* out, u32 seconds);
void hist_value(words::Text* out, u32 view, u32 value);
mem::Bytes average_name(u32 view, u32 measure);
mem::Bytes span_name(u32 view, u32 measure);

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

// ---- Drawing of a resource page
//
// Every drawing step below runs through a Pen: drawing into the surface, or, with keying set, only folding what it
// would draw into a key (texts with their boxes and colours, rectangles, the charts shown), which is how a new sample
// finds the bands whose content changed. Measuring still reads the surface's fonts.
struct Pen {
  draw::Surface* surface;
  bool keying;
  u64 key;
};
Pen drawing(draw::Surface* surface);
Pen keying(draw::Surface* surface);
i32 text(Pen* pen, u32 role, mem::Bytes text, i32 x, i32 y, i32 width, i32 height, u32 colour, u32 align);
void rect(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour);
void frame(Pen* pen, i32 x, i32 y, i32 width, i32 height, u32 colour);
// The content of a chart as drawn: its look, the rows present and the values of the rows its window reads.
u64 window_key(const chart::Look& look, const machine::Machine& m, u32 rows);

// ---- Figure tiles, GPU part and logical processors part

// Size classes of the tiles, nibble i for tile i: the lower the class, the longer the tile stays on a narrow page.
constexpr u64 classes_cpu = 0x543210, classes_nic = 0x3310, classes_power = 0x514230;
constexpr u64 classes_gpu_unified = 0x23140, classes_gpu = 0x23410;
u64 tile_classes(const machine::Machine& m, u32 view);
u32 tile_count(u32 view);
// Label and value of tile i of the view shown.
void tile_texts(const ViewState& s, const machine::Machine& m, u32 index, mem::Bytes* label, words::Text* value);
void tiles(const ViewState& s, Pen* pen, const machine::Machine& m);
void tile(Pen* pen, i32 x0, i32 y, i32 width, u32 index, u32 shown, mem::Bytes label, mem::Bytes text);
void power_tiles(const ViewState& s, const machine::Machine& m, u32 index, mem::Bytes* label, words::Text* value);
void energy_tiles(const ViewState& s, const machine::Machine& m, u64* energy, u32* seconds);
void gpu_tiles(const machine::Machine& m, u32 gpu, u32 index, mem::Bytes* label, words::Text* value);
// Tenths of a joule over the newest min(n, rows) rows that carry a power reading, and how many rows did.
u64 ring_energy(const machine::Machine& m, u32 n, u32* count);
void energy_words(words::Text* out, u64 tenths_joule);
void measured_words(words::Text* out, u32 seconds);
// The engine kind 1-5 busiest in a ring row; the first strictly highest, 1 when all are idle.
u32 busiest_kind(const machine::Machine& m, u32 row, u32 gpu);
void chart_label(const ViewState& s, Pen* pen, u32 slot, mem::Bytes name, mem::Bytes text);
void gpu_part(const ViewState& s, Pen* pen, const machine::Machine& m);
i32 legend_w(draw::Surface* surface);
void heat_legend(Pen* pen, i32 x, i32 y);
void cores_part(const ViewState& s, Pen* pen, const machine::Machine& m);
// The small-multiple row label: first and last processor of the row, the last one present at most.
void core_range(words::Text* out, u32 row, u32 columns, u32 cores);
// Every k-th processor of the heat strip is numbered, k keeping the 20-px labels clear of each other.
u32 label_every(i32 row_height);

// ---- Rail list, page heading, axis and legend

void board_item(const ViewState& s, Pen* pen);
void rail_items(const ViewState& s, Pen* pen, const machine::Machine& m);
void rail_row(const ViewState& s, Pen* pen, const machine::Machine& m, u32 id);
void rail_bar(const ViewState& s, Pen* pen);
void heading(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look);
void range_control(const ViewState& s, Pen* pen);
i32 legend_span(const ViewState& s, draw::Surface* surface, const chart::Look& look);
void legend(const ViewState& s, Pen* pen, const chart::Look& look, i32 y);
void axis(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look);
// A layer's value as the chart draws it, rows back from the newest: its own value when layers are not stacked,
// else the top of its band.
u32 bound_at(const chart::Look& look, const machine::Machine& m, u32 layer, u32 back);
void end_labels(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look);
// The stored-range caption, up to the range's words.
void hist_caption(words::Text* out, u32 view);

// ---- Resource page rendering, hover and tooltips

// Where the marker of the hovered moment stands: x, top, height and width.
struct Anchor {
  i32 x, y, height, width;
};

void render(ViewState* s, draw::Surface* surface, const machine::Machine& m);
u32 render_rail(ViewState* s, draw::Surface* surface, const machine::Machine& m);
u32 prepared(ViewState* s, draw::Surface* surface, const machine::Machine& m, bool rail_only);
void set_frame_bottom(ViewState* s, i32 y);
bool hover(ViewState* s, i32 x, i32 y);
bool hover_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface, i32 x, i32 y);
bool leave_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface);
void forget(ViewState* s);
void tick_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface);
void rail_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface);
void resource_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface);
void gpu_tick_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface);
void hist_tick_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface);
void overlay_parts(ViewState* s, const machine::Machine& m, draw::Surface* surface, bool final);
void redo(draw::Surface* surface, i32 x0, i32 y0, i32 x1, i32 y1);
void show_box(draw::Surface* surface, i32 x0, i32 y0, i32 x1, i32 y1);
void redo_shown(draw::Surface* surface, draw::Rect r);
void tip_box(Pen* pen, i32 x, i32 y, u32 lines);
void tip_line(Pen* pen, i32 x, i32 y, u32 colour, mem::Bytes label, mem::Bytes value);
void show(Pen* pen, const ViewState& s, u32 slot);

bool gpu_hover(const ViewState& s);
u32 hovered_row(const ViewState& s);
u32 hover_back(const ViewState& s);
u32 hover_count(const ViewState& s);
// Seconds between the newest row and the row that many back; when the stamps restarted in between (a collector or
// agent restart), one second a row.
u32 seconds_back(const machine::Machine& m, u32 back);
u32 most_at(const chart::Source& source, const machine::Machine& m, u32 first, u32 count);
u32 bound_most(const chart::Look& look, const machine::Machine& m, u32 layer, u32 first, u32 count);
void layer_value(const machine::Machine& m, u32 view, const chart::Look& look, u32 layer, u32 first, u32 count,
                 words::Text* out);
Anchor anchor(const ViewState& s);
i32 tip_left(const ViewState& s, i32 anchor_x);
draw::Rect tip_rect(const ViewState& s, const machine::Machine& m, u32 layers);
i32 dot_y(const ViewState& s, const machine::Machine& m, const chart::Look& look, u32 layer);
void overlay(const ViewState& s, Pen* pen, const machine::Machine& m);
void gpu_tip(const ViewState& s, Pen* pen, const machine::Machine& m, i32 x, i32 y);
// The stored-history tooltip: known when a column under the pointer holds data.
bool hist_known(const ViewState& s);
u32 hist_lines(const ViewState& s);
// The stored chart with its axis, range words and status sentence; the tooltip of its hovered column.
void hist_part(const ViewState& s, Pen* pen);
void hist_overlay(const ViewState& s, Pen* pen, u32 plot);

// ---- Top processes of the hovered moment
u32 top_metric_of(u32 view, u32 plot);
u32 top_slot(u32 counter, u32 back);
i32 top_at(const ptop::Ring* ring, const machine::Machine& m, u32 back);
u32 top_count(const ptop::Ring* ring, i32 slot, u32 metric);
u32 top_lines(const ptop::Ring* ring, i32 slot, u32 metric);
mem::Bytes top_caption(u32 metric);
void top_value(words::Text* out, u32 metric, u16 value);
void top_draw(Pen* pen, const ptop::Ring* ring, u32 metric, i32 slot, i32 x, i32 y);
u32 hover_top_lines(const ViewState& s, const machine::Machine& m);
void hover_top_draw(const ViewState& s, Pen* pen, const machine::Machine& m, i32 x, i32 y);

}  // namespace views
