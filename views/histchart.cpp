#include "views/histchart.h"

#include "drawing/layout.h"
#include "views/plots.h"
#include "views/render.h"
#include "views/texts.h"
#include "views/tiles.h"

namespace views {

// ---- Stored-history charts

u8 hist_field(u32 view, bool second) {
  if (nic_view(view)) return second ? 6 : 7;
  if (second) return hist::no_measure;
  if (view == layout::view_cpu) return 0;
  if (view == layout::view_memory) return 2;
  if (disk_view(view)) return 3;
  if (gpu_view(view)) return 4;
  if (power_view(view)) return hist::energy_measure;
  return hist::no_measure;
}

bool net_view(u32 view) { return nic_view(view); }

bool hist_ready(const ViewState& s) { return s.history != nullptr && s.history->count != nullptr; }

void hist_plot(chart::Look* look, const hist::Table& t, u32 view) {
  plot_base(look, slot_main, 0, 3);
  look->flags = chart::flag_no_stack | chart::flag_grid | chart::flag_long;
  look->margin = 2;
  look->thick = 256;
  look->thin = 0;
  look->max = 10000;
  if (power_view(view)) {
    look->count = 1;
    set_series(&look->sources[0], t.watts, 4, 0, 4);
    look->max = layout::watt_scale(hist::most_watts(&t));
    layer(look, 0, 0x7171F8, 0x7171F8, 64);
    return;
  }
  if (nic_view(view)) {
    look->kind = chart::kind_mirrored;
    look->count = 2;
    look->thin = 128;
    set_series(&look->sources[0], t.mean[0], 4, 0, 4);
    set_series(&look->sources[1], t.mean[1], 4, 0, 4);
    const u32 a = hist::most_avg(&t, 0), b = hist::most_avg(&t, 1);
    look->max = layout::bit_scale(a > b ? a : b);
    layer(look, 0, 0x4DD3FC, 0x4DD3FC, 64);
    layer(look, 1, 0x0677D9, 0x0677D9, 64);
    return;
  }
  const u32 light = light_of(view);
  set_series(&look->sources[0], t.max[0], 4, 0, 4);
  set_series(&look->sources[1], t.min[0], 4, 0, 4);
  set_series(&look->sources[2], t.mean[0], 4, 0, 4);
  layer(look, 0, light, light, 0);
  layer(look, 1, light, light, 38);
  layer(look, 2, light, light, 38);
}

// A track over the table's ring of columns: one row per column, so the chart spreads the range's own column count
// over its width and no range leaves a share of its chart blank.
chart::Track hist_track(const hist::Table& t) {
  return chart::Track{t.columns, t.start, t.columns, t.changes, t.columns, t.count};
}

bool hist_sync(ViewState* s, const machine::Machine&) {
  if (!hist_ready(*s)) return false;
  chart::Look look;
  hist_plot(&look, *s->history, s->view);
  return chart::sync_track(&s->grid, &s->sheet, look, hist_track(*s->history)) != 0;
}

void hist_caption(words::Text* out, u32 view) {
  if (view == layout::view_cpu) words::put(out, mem::lit("% utilisation"));
  if (view == layout::view_memory) words::put(out, mem::lit("% of memory in use"));
  if (disk_view(view)) words::put(out, mem::lit("Busiest disk, % active time"));
  if (nic_view(view)) words::put(out, mem::lit("All adapters, send above, receive below"));
  if (gpu_view(view)) words::put(out, mem::lit("Busiest GPU, % utilisation"));
  if (power_view(view)) words::put(out, mem::lit("Average draw in watts per slot, energy in the tiles"));
  if (!nic_view(view) && !power_view(view)) words::put(out, mem::lit(", average with lowest to highest shaded"));
  words::put(out, mem::lit(", stored, "));
}

void hist_cells(const ViewState& s, u32* first, u32* last) {
  const u32 c = s.history ? s.history->columns : 0;
  const u32 b = static_cast<u32>(chart::columns(s.grid, slot_main));
  *first = layout::span_first(s.hover_column, b, c);
  *last = layout::span_last(s.hover_column, b, c);
}

bool hist_values(const ViewState& s, u32 measure, HistValues* out) {
  *out = HistValues{};
  if (!hist_ready(s)) return false;
  const hist::Table& t = *s.history;
  u32 first, last;
  hist_cells(s, &first, &last);
  u32 lowest = 0xFFFFFFFFu, known = 0;
  u64 means = 0;
  for (u32 c = first; c <= last && c < t.columns; ++c) {
    u32 lo, mid, hi;
    if (!hist::row_values(&t, c, measure, &lo, &mid, &hi)) continue;
    lowest = lo < lowest ? lo : lowest;
    out->max = hi > out->max ? hi : out->max;
    means += mid;
    ++known;
    out->end = t.first + t.column_seconds * (c + 1);
  }
  if (known == 0) return false;
  out->min = lowest;
  out->mean = hist::mean(means, known);
  out->known = true;
  return true;
}

bool hist_energy(const ViewState& s, HistValues* out) {
  *out = HistValues{};
  if (!hist_ready(s)) return false;
  const hist::Table& t = *s.history;
  u32 first, last;
  hist_cells(s, &first, &last);
  for (u32 c = first; c <= last && c < t.columns; ++c) {
    u64 energy;
    u32 seconds;
    if (!hist::row_energy(&t, c, &energy, &seconds) || seconds == 0) continue;
    out->energy += energy;
    out->seconds += seconds;
    out->end = t.first + t.column_seconds * (c + 1);
  }
  out->known = out->seconds != 0;
  return out->known;
}

bool hist_known(const ViewState& s) {
  if (!hist_ready(s)) return false;
  HistValues v;
  return s.history->energy ? hist_energy(s, &v) : hist_values(s, 0, &v);
}

u32 hist_lines(const ViewState& s) { return nic_view(s.view) ? 5 : 3; }

mem::Bytes hist_status(const ViewState& s) {
  if (!hist_ready(s)) return mem::lit("Not enough memory to show stored history.");
  switch (s.history->state) {
    case hist::state_asking: return mem::lit("Loading stored history...");
    case hist::state_empty:
      return s.history->energy ? mem::lit("No energy history in this range yet: the host or this computer does not "
                                          "record it.")
                               : mem::lit("No stored history in this range yet.");
    case hist::state_no_source: return mem::lit("No stored history: no host and no history files on this computer.");
    case hist::state_unreachable: return mem::lit("Stored history needs the host, which is not connected.");
    default: return mem::Bytes();
  }
}

void hist_ago(words::Text* out, u32 seconds) {
  if (seconds < 3600) {
    words::put_u64(out, seconds / 60);
    words::put(out, mem::lit(" min ago"));
  } else if (seconds > 172799) {
    words::put_u64(out, seconds / 86400);
    words::put(out, mem::lit(" days ago"));
  } else {
    words::put_u64(out, seconds / 3600);
    words::put(out, mem::lit(" h ago"));
  }
}

void hist_value(words::Text* out, u32 view, u32 value) {
  if (power_view(view)) return watts(out, value, value % 10 != 0);
  if (nic_view(view)) return words::bit_rate(out, value);
  words::percent(out, value);
}

mem::Bytes average_name(u32 view, u32 measure) {
  if (!nic_view(view)) return mem::lit("Average");
  return measure == 0 ? mem::lit("Send avg") : mem::lit("Receive avg");
}

mem::Bytes span_name(u32 view, u32 measure) {
  if (!nic_view(view)) return mem::lit("Lowest-highest");
  return measure == 0 ? mem::lit("Send peak") : mem::lit("Receive peak");
}

void hist_part(const ViewState& s, Pen* pen) {
  u32 top = 10000;
  if (hist_ready(s)) {
    show(pen, s, slot_main);
    chart::Look look;
    hist_plot(&look, *s.history, s.view);
    top = look.max;
  }
  static constexpr u8 mirrored[5] = {4, 2, 0, 2, 4};
  for (u32 i = 0; i < 5; ++i) {
    words::Text label{};
    const u64 k = nic_view(s.view) ? mirrored[i] : 4 - i;
    hist_value(&label, s.view, layout::saturate32(u64{top} * k / 4));
    const i32 centre = s.plot_y + 2 + (static_cast<i32>(i) * (s.plot_height - 5) + 2) / 4;
    text(pen, 3, bytes_of(label), s.content_left, centre - 10, 66, 20, dim, 1);
  }
  const i32 width = chart::span_end(s.grid, slot_main) - s.plot_x;
  text(pen, 3, stored_words(s.range), s.plot_x, s.plot_y + s.plot_height, width, 20, dim, 0);
  text(pen, 3, mem::lit("now"), s.plot_x, s.plot_y + s.plot_height, width, 20, dim, 1);
  const mem::Bytes status = hist_status(s);
  if (status.len) text(pen, 0, status, s.plot_x, s.plot_y, width, s.plot_height, grey, 2);
}

void hist_overlay(const ViewState& s, Pen* pen, u32 plot) {
  if (!hist_ready(s) || plot != slot_main) return;
  const draw::Rect tip{s.tip_box[0], s.tip_box[1], s.tip_box[2], s.tip_box[3]};
  if (tip.right == tip.left && tip.bottom == tip.top) return;
  const Anchor a = anchor(s);
  rect(pen, a.x, s.plot_y, 1, s.plot_height, 0x908880);
  tip_box(pen, tip.left, tip.top, hist_lines(s));
  const i32 x = tip.left + 8, y = tip.top + 8;
  const hist::Table& t = *s.history;
  u32 end = 0;
  if (t.energy) {
    HistValues v;
    hist_energy(s, &v);
    end = v.end;
    words::Text watt{}, energy{};
    watts(&watt, hist::row_watts(v.energy, v.seconds), true);
    energy_words(&energy, v.energy);
    tip_line(pen, x, y + 18, 0x7171F8, mem::lit("Average"), bytes_of(watt));
    tip_line(pen, x, y + 36, 0x7171F8, mem::lit("Energy"), bytes_of(energy));
  } else {
    const u32 measures = nic_view(s.view) ? 2 : 1;
    for (u32 k = 0; k < measures; ++k) {
      HistValues v;
      hist_values(s, k, &v);
      if (v.end > end) end = v.end;
      const u32 colour = k == 0 ? light_of(s.view) : 0x0677D9;
      words::Text mean{}, span{};
      hist_value(&mean, s.view, v.mean);
      if (!nic_view(s.view)) {
        hist_value(&span, s.view, v.min);
        words::put(&span, mem::lit("-"));
      }
      hist_value(&span, s.view, v.max);
      const i32 line = y + 18 + 36 * static_cast<i32>(k);
      tip_line(pen, x, line, colour, average_name(s.view, k), bytes_of(mean));
      tip_line(pen, x, line + 18, colour, span_name(s.view, k), bytes_of(span));
    }
  }
  words::Text header{};
  hist_ago(&header, t.newest > end ? t.newest - end : 0);
  text(pen, 3, bytes_of(header), x, y, 152, 18, white, 0);
}

}  // namespace views
