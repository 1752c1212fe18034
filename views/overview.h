#pragma once
// The Overview page, the window's start page: this computer over the last 60 seconds as cards right of the rail
// (CPU with its heat strip, memory, each GPU, each connected adapter, power, the disks with a ring of used and free
// space and their list, and the top five processes by CPU). A click on a card opens its resource view or a process.
// Its charts share the views' chart grid and sheet; the ring image takes a slot of the grid as well.
#include "base/mem.h"
#include "drawing/draw.h"
#include "drawing/pie.h"
#include "sampling/machine.h"
#include "views/views.h"
#include "views/pen.h"

namespace model {
struct ProcTable;
}

namespace overview {

enum : u8 { card_cpu = 0, card_memory = 1, card_gpu = 2, card_adapter = 3, card_disks = 4, card_tops = 5, card_power = 6 };
enum : u32 {
  slot_cpu = 0,
  slot_heat = 1,
  slot_memory = 32,
  slot_gpu = 33,         // + GPU: utilisation
  slot_gpu_memory = 37,  // + GPU
  slot_adapter = 41,     // + adapter
  slot_pie = 49,
  slot_power = 50,
};
enum : u8 { flag_pie_current = 1, flag_measuring = 2 };
constexpr u32 cards_most = 16;
constexpr u32 tops_most = 5;
constexpr u8 none = 255;
// Click targets beyond the view ids: a process row is 64 + row, a card that selects nothing 62, no card -1.
constexpr i32 target_rows = 64, target_other = 62;

struct OverviewState {
  u16 arrangement_seen;
  u32 adapters_seen;
  u8 power_seen;
  i32 width_seen, height_seen;
  u8 card_count;
  u8 card_kind[cards_most];
  u8 card_index[cards_most];
  i16 card_x[cards_most], card_y[cards_most], card_w[cards_most], card_h[cards_most];
  i16 content_left, content_right;
  i16 pie_x, pie_y, pie_size;
  i16 list_x, list_width, list_y;
  u8 disk_rows, more_disks;
  u32 not_placed;
  pie::Table pie;
  u32 pie_generation;
  u8 flags;
  u8 hovered_chart, hovered_column, hovered_sector;
  i16 pie_pointer_x, pie_pointer_y;
  i16 tip[4];
  i16 marker_x;
  u8 marker_slot;
  u64 fresh[2];  // the chart slots whose sheet the last sync drew again
  u64 top_keys[tops_most];
  u8 top_count;
  i16 top_list_y;
};

void init(OverviewState* s);

// ---- Top processes
void take_tops(OverviewState* s, const model::ProcTable* table, bool measuring);
void top_five(const model::ProcTable* table, u64 (&keys)[tops_most]);
// The handle of top process i, or all ones when there is none.
u64 top_row(const OverviewState& s, const model::ProcTable* table, u32 i);

// ---- Sizes (logical px; h is the page height less 128)
u32 adapter_mask(const machine::Machine& m);
i32 content_width(i32 w);
i32 content_left(i32 a, i32 w);
i32 disks_height(i32 h);
i32 small_row_height(i32 h);
i32 main_height(i32 h, bool small_row);
i32 small_columns(i32 w, i32 n);
i32 column_width(i32 w, i32 n);
i32 column_x(i32 left, i32 w, i32 n, i32 j);
i32 pie_size(i32 w, i32 h);
i32 heat_rows(i32 h, i32 p);

// ---- Layout and hit tests
// Lays the cards out when the page size, the views' arrangement, the connected adapters or the power reading
// changed; true when it did.
bool layout(OverviewState* s, views::ViewState* v, const machine::Machine& m, i32 width, i32 height);
void add_card(OverviewState* s, u8 kind, u8 index, i32 x, i32 y, i32 width, i32 height);
void place_card(OverviewState* s, views::ViewState* v, const machine::Machine& m, u32 card);
void place_chart(OverviewState* s, views::ViewState* v, u32 card, u32 slot, i32 x, i32 y, i32 width, i32 height);
u32 chart_slots(const OverviewState& s, u32 card, u32 (&slots)[2]);
draw::Rect content_rect(const OverviewState& s);
bool in_slot(const views::ViewState& v, u32 slot, i32 x, i32 y);
bool hover_at(OverviewState* s, const views::ViewState& v, i32 x, i32 y);
bool hover(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface, i32 x, i32 y);
bool leave(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface);
i32 view_at(const OverviewState& s, i32 x, i32 y);
i32 pie_at(const OverviewState& s, i32 x, i32 y);
void overlay_parts(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface);
void tick_parts(OverviewState* s, views::ViewState* v, const machine::Machine& m, draw::Surface* surface);

// ---- Drawing
void render(OverviewState* s, views::ViewState* v, draw::Surface* surface, const machine::Machine& m,
            const model::ProcTable* table);
u32 sync(OverviewState* s, views::ViewState* v, const machine::Machine& m);
void plot_of(chart::Look* look, const machine::Machine& m, u32 slot);
u32 pie_image(OverviewState* s, views::ViewState* v, const machine::Machine& m);
void pie_table(const machine::Machine& m, pie::Table* table);
draw::Rect tip_rect(const OverviewState& s, const views::ViewState& v, const machine::Machine& m);
draw::Rect marker(const OverviewState& s, const views::ViewState& v);
void overlay(const OverviewState& s, const views::ViewState& v, views::Pen* pen, const machine::Machine& m);

// ---- Texts and small rules
mem::Bytes title_text();
mem::Bytes subtitle_text();
mem::Bytes too_large_text();
void title_line(words::Text* out, const machine::Machine& m);
void card_texts(const machine::Machine& m, u8 kind, u8 index, words::Text* title, words::Text* value,
                words::Text* foot);
void power_note(words::Text* out, const machine::Machine& m);
void other_disks_text(words::Text* out, const machine::Machine& m, u32 owner);
// The first "(" of a name, and the first ")" from start on: the name's length when there is none.
u64 paren_start(mem::Bytes name);
u64 paren_end(mem::Bytes name, u64 start);
// The label of a disk name: the text inside its first parentheses, or the whole name.
mem::Bytes disk_label(mem::Bytes name);
u32 disk_colour(u32 disk);
u32 free_colour(u32 disk);
i32 pie_radius(i32 n);
i32 pie_text_half(i32 size);
u32 tip_rows(u32 slot);
u32 top_metric(u32 slot);
u32 tip_metric(const machine::Machine& m, u32 slot);
void tip_value(words::Text* out, const machine::Machine& m, u32 slot, u32 line, u32 back);
mem::Bytes tip_label(const machine::Machine& m, u32 slot, u32 line);
i32 disks_card(const OverviewState& s);

}  // namespace overview
