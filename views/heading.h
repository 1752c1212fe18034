#pragma once
// What frames a resource page's charts: the rail's list (the Overview item, a row a view, the scroll bar), the
// page heading with its range control and legend, the axis labels and the end labels.
#include "views/views.h"
#include "views/pen.h"

namespace views {

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

}  // namespace views
