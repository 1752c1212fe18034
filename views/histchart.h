#pragma once
// The stored-history charts of a resource page (ranges 1 hour to 2 years, drawn from the views' history table):
// the measures a view's table is filled with, the plot and its sheet kept in step with the table, the caption,
// the status sentence, the axis and the tooltip of a hovered column.
#include "views/views.h"
#include "views/pen.h"

namespace views {

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

// The stored-range caption, up to the range's words.
void hist_caption(words::Text* out, u32 view);
// The stored-history tooltip: known when a column under the pointer holds data.
bool hist_known(const ViewState& s);
u32 hist_lines(const ViewState& s);
// The stored chart with its axis, range words and status sentence; the tooltip of its hovered column.
void hist_part(const ViewState& s, Pen* pen);
void hist_overlay(const ViewState& s, Pen* pen, u32 plot);

}  // namespace views
