#pragma once
// Rendering of a resource page and its refresh: the page drawn whole, the hit test of the pointer, the marker and
// tooltips with the top processes of the hovered moment, and the bands a new second or a pointer move redraws.
#include "views/views.h"
#include "views/pen.h"

namespace views {

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
