#pragma once
// The Internet page of the window: a title naming the service asked, a status line, a line on the speed tests, and
// three charts on the views' chart grid (latency and jitter and loss over the last 100 minutes of probes, and the
// last completed speed tests, download above and upload below), with a tooltip for the column under the pointer.
// The page draws what the probe (internet.h) keeps; the window hands it its chart state, the machine shown, the
// window's size, the drawing surface and the clock. Coordinates are logical pixels, colours 0x00BBGGRR.
#include "base/mem.h"
#include "base/words.h"
#include "drawing/chart.h"
#include "drawing/draw.h"
#include "internet/internet.h"
#include "sampling/machine.h"
#include "views/views.h"

namespace internet {

// Chart slots of the page on the views' grid.
enum : u8 { slot_latency = 32, slot_loss = 33, slot_speed = 34, no_chart = 255 };
inline constexpr u32 page_charts = 3;

// Actions the window routes to the page (the Settings page's Internet section offers the last two).
enum : u32 { action_open = 0x80, action_toggle = 0x100, action_schedule = 0x200 };

struct PageState {
  u8 hovered;  // no_chart, or the hovered chart's slot
  u16 column;  // the hovered sample column (a pixel offset on the probe charts)
  // The layout and what it was made for: the views' arrangement count (-1 after a reset), window size, shown.
  i32 key;
  i32 width, height;
  u8 shown;
  i16 left, right;           // the content's edges: 244 and width - 24
  i16 first_top;             // 160
  i16 tops[page_charts];     // each chart block's top (its 20-px header row)
  i16 chart_y[page_charts];  // each chart's top and height
  i16 chart_h[page_charts];
  // The tooltip box of the last drawn hover (left, top, right, bottom; all 0 when none) and its mark.
  i16 tip[4];
  u8 mark_slot;
  i16 mark_x;
};

void page_init(PageState* page);
// The pointer left, or another page took over: no hover, and the next layout runs in full.
void page_unhover(PageState* page, views::ViewState* views);
// Opens the page (its hover cleared), switches the probe, or steps its schedule: true when the window must lay out
// and draw again. The window's own part of opening (its page choice, the views' hover, its timers) stays the
// window's.
bool page_click(PageState* page, views::ViewState* views, Probe* probe, u32 actions, u32 now);

// The traffic figure for the probe's busy test: every adapter's receive and send rate of the newest sample row, in
// kbit/s (KiB/s x 8,192 / 1,000, saturating); 0 while the ring is empty.
u32 net_rate(const machine::Machine& m);

// Lays the page out for the window (shown: the probe has data); nothing when nothing it depends on changed.
void page_layout(PageState* page, views::ViewState* views, const machine::Machine& m, i32 width, i32 height,
                 bool shown);
void draw_page(PageState* page, views::ViewState* views, draw::Surface* surface, const Probe* probe, u32 now);
// Hover at the pointer; marks the old and new tooltip regions for drawing again. True when the hover changed.
bool pointer(PageState* page, views::ViewState* views, const ProbeData* data, draw::Surface* surface, i32 x, i32 y);
bool pointer_in(PageState* page, const views::ViewState* views, const ProbeData* data, i32 x, i32 y);
// Marks what changes between two draws of the page for drawing again and showing.
void mark_overlay(const PageState* page, draw::Surface* surface);

// ---- What the window calls.

// At start: clears the page, builds the settings path (the test folder's under --test) and loads the probe with
// the default endpoint, live unless under --test.
void window_start(Probe* probe, PageState* page, mem::Arena* shell, mem::Bytes test_folder, bool under_test,
                  u32 now);
// Each second: the probe's tick with this machine's traffic; when it changed something while the page is shown,
// the page is laid out again. True when the page must be drawn again.
bool window_tick(Probe* probe, PageState* page, views::ViewState* views, const machine::Machine& m, u32 now,
                 i32 width, i32 height, bool page_shown);

// ---- Texts and scales.

void page_status(words::Text* line, const Probe* probe);
void page_test_line(words::Text* line, const Probe* probe, u32 now);
// "less than a minute ago", "12 min ago", "3 h 5 min ago".
void put_ago(words::Text* line, u32 seconds);
// Short ages as the views write them ("now", "40 s ago"), longer ones as put_ago.
void put_age(words::Text* line, u32 seconds);
// "Speed test off", "Next test in 40 s", "Next test in 3 min".
void put_next(words::Text* line, const Probe* probe, u32 now);
// Tenths of a millisecond: "12.3 ms".
void put_ms(words::Text* line, u32 tenths);
// Axis labels: "20 ms" or "2.5 ms"; "50 %"; "5 Mbps", "2.5 Mbps", "1 Gbps".
void put_axis_ms(words::Text* line, u32 tenths);
void put_axis_rate(words::Text* line, u32 kbps, u32 scale);
void put_axis(words::Text* line, u32 slot, u32 value, u32 scale);
void put_endpoint(words::Text* line, const Endpoint* endpoint);
void chart_title(words::Text* title, words::Text* value, u32 slot, const ProbeData* data);

u32 latency_scale(u32 tenths);
u32 rate_scale(u32 kbps);
u32 max_latency(const LatencyRing* ring);  // highest latency + jitter
u32 max_rate(const TestTable* table);      // highest download or upload rate
// The value of axis level i (0 top to 4 bottom) of the chart.
u32 axis_value(u32 slot, u32 scale, u32 level);
// Every k-th level is labelled: 1 for charts at least 80 high, 2 from 40, 4 from 20, 5 (the top alone) below.
u32 axis_every(i32 height);

// The chart looks and tracks.
void latency_chart(chart::Look* look, const LatencyRing* ring);
void loss_chart(chart::Look* look, const LatencyRing* ring);
void speed_chart(chart::Look* look, const TestTable* table);
chart::Track ring_track(const LatencyRing* ring);
chart::Track table_track(const TestTable* table);

// The hovered column's entries: how many back from the newest it ends and how many it covers; false when the
// tooltip does not show (no hover, or no entry there).
bool hover_pick(const PageState* page, const views::ViewState* views, const ProbeData* data, u32* back, u32* count);
// The highest latency (mode 0), jitter (1) or loss (2) over count probes from back.
u32 loss_over(const LatencyRing* ring, u32 back, u32 count, u32 mode);
// The tooltip's box for the hovered column, and the mark's x; false when none shows.
bool hover_box(const PageState* page, const views::ViewState* views, const ProbeData* data, draw::Rect* box,
               i32* mark_x);

}  // namespace internet
