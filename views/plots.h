#pragma once
// The chart looks of the resource views: the plot of each view, GPU engine, memory part and processor and the
// heat strip, the axis tops they take from the sample ring, and the synchronisation of the chart sheet with the
// ring on every tick.
#include "views/views.h"

namespace views {

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

}  // namespace views
