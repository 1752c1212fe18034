#include "views/heading.h"

#include "base/bits.h"
#include "drawing/curve.h"
#include "drawing/layout.h"
#include "views/histchart.h"
#include "views/proclist.h"
#include "views/render.h"
#include "views/texts.h"

namespace views {

// ---- Rail list

void board_item(const ViewState& s, Pen* pen) {
  if (s.rail_first != 0) return;
  frame(pen, 11, 57, 62, 38, 0x403630);
  rect(pen, 12, 58, 29, 17, 0x959F0F);
  rect(pen, 43, 58, 29, 17, 0xD68417);
  rect(pen, 12, 77, 29, 17, 0xE65F5A);
  rect(pen, 43, 77, 29, 17, 0xE04AB0);
  text(pen, 0, board_name(), 84, 56, 128, 20, white, 0);
  text(pen, 3, board_value((s.flags & flag_remote) != 0), 84, 76, 128, 18, grey, 0);
}

void rail_row(const ViewState& s, Pen* pen, const machine::Machine& m, u32 id) {
  const i32 y = rail_row_top(s, id);
  frame(pen, 11, y + 9, 62, 38, 0x403630);
  show(pen, s, spark_row(id));
  words::Text title{}, value{};
  title_of(m, id, &title);
  value_of(m, id, &value);
  text(pen, 0, bytes_of(title), 84, y + 8, 128, 20, white, 0);
  text(pen, 3, bytes_of(value), 84, y + 28, 128, 18, grey, 0);
}

void rail_items(const ViewState& s, Pen* pen, const machine::Machine& m) {
  board_item(s, pen);
  u32 ids[31];
  const u32 n = rail_ids(s.present, ids);
  for (u32 k = 0; k < n; ++k)
    if (rail_shows(s, ids[k])) rail_row(s, pen, m, ids[k]);
  rail_bar(s, pen);
}

void rail_bar(const ViewState& s, Pen* pen) {
  if (!rail_scrolls(s)) return;
  const u64 track = u64{s.rail_rows} * 56;
  const u64 items = rail_count(s);
  const u64 thumb = proclist::thumb_h(s.rail_rows, items, track, 16);
  const u64 top = proclist::thumb_y(s.rail_first, items, s.rail_rows, track, thumb);
  rect(pen, 216, 48, 3, static_cast<i32>(track), 0x303030);
  rect(pen, 216, 48 + static_cast<i32>(top), 3, static_cast<i32>(thumb), dim);
}

// ---- Heading

namespace {

void sub_title(const machine::Machine& m, u32 view, words::Text* out) {
  if (view == layout::view_cpu) return words::put(out, machine::name(&m, machine::slot_cpu));
  if (view == layout::view_memory) return words::gib(out, m.memory_total);
  if (disk_view(view)) return disk_heading(out, m, disk_of(view));
  if (nic_view(view))
    return words::put(out, machine::name(&m, machine::name_slot(machine::slot_descriptions, nic_of(view), m.nics)));
  if (gpu_view(view)) return gpu_total(out, m, gpu_of(view));
  power_source(out, m);
}

}  // namespace

void heading(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look) {
  const i32 left = s.content_left, w = s.content_right - s.content_left;
  words::Text title{};
  if (gpu_view(s.view)) {
    words::put(&title, gpu_name(m, gpu_of(s.view)));
  } else {
    title_of(m, s.view, &title);
  }
  const i32 t = text(pen, 0, bytes_of(title), left, 56, w, 28, white, 0) + 16;
  words::Text sub{}, heat{};
  sub_title(m, s.view, &sub);
  i32 tenths = 0;
  const u32 kind = heading_heat(m, s.view, &tenths);
  const bool warm = kind != 255 && !stored(s);
  i32 h = 0;
  if (warm) {
    heat_text(&heat, tenths);
    h = chart::measure(pen->surface, 0, bytes_of(heat)) + 16;
  }
  const i32 button = s.ranges == 2 ? 64 : 48;
  const i32 g = w - static_cast<i32>(s.ranges) * (button + 4) - 12 - t - h;
  if (disk_view(s.view) && g < chart::measure(pen->surface, 0, bytes_of(sub))) {
    sub.len = 0;
    words::gib(&sub, m.disk_capacity[disk_of(s.view) % machine::max_disks]);
  }
  // Below the width of the ellipsis there is no room to show anything of it, whatever the ranges offered.
  const bool drop = (g < 40 && s.ranges == range_count) || g < chart::measure(pen->surface, 0, ellipsis());
  if (!drop) {
    ellipsize(pen->surface, 0, &sub, g);
    text(pen, 0, bytes_of(sub), left + t, 56, g, 28, grey, 1);
  }
  if (warm) text(pen, 0, bytes_of(heat), left + t + (g > 0 ? g : 0), 56, h, 28, heat_color(kind, tenths), 1);
  range_control(s, pen);
  words::Text caption{};
  if (stored(s)) {
    hist_caption(&caption, s.view);
  } else {
    words::put(&caption, caption_of(s.view));
  }
  words::put(&caption, shown_words(s));
  const i32 cw = text(pen, 3, bytes_of(caption), left, 84, w, 20, dim, 0);
  if (!gpu_view(s.view) && !stored(s) && cw + legend_span(s, pen->surface, look) <= w) legend(s, pen, look, 84);
}

void range_control(const ViewState& s, Pen* pen) {
  for (u32 i = 0; i < s.ranges; ++i) {
    const draw::Rect r = range_rect(s, i);
    const bool chosen = i == s.range;
    rect(pen, r.left, r.top, r.right - r.left, r.bottom - r.top, chosen ? 0x463A2C : 0x241C17);
    if (chosen) rect(pen, r.left, r.bottom - 1, r.right - r.left, 1, 0xFFC14F);
    text(pen, 3, range_name(i), r.left, r.top, r.right - r.left, r.bottom - r.top, white, 2);
  }
}

i32 legend_span(const ViewState& s, draw::Surface* surface, const chart::Look& look) {
  i32 span = 0;
  for (u32 i = 0; i < look.count && i < chart::series_most; ++i)
    span += chart::measure(surface, 3, layer_name(s.view, i)) + 30;
  return span;
}

void legend(const ViewState& s, Pen* pen, const chart::Look& look, i32 y) {
  i32 x = s.content_right;
  for (u32 i = bits::min32(look.count, chart::series_most); i-- > 0;) {
    const mem::Bytes name = layer_name(s.view, i);
    const i32 w = chart::measure(pen->surface, 3, name);
    x -= w;
    text(pen, 3, name, x, y, w, 20, grey, 0);
    rect(pen, x - 14, y + 6, 8, 8, look.line[i]);
    x -= 30;
  }
}

// ---- Axis and end labels

void axis(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look) {
  const i32 margin = look.margin;
  for (u32 i = 0; i < 5; ++i) {
    words::Text label{};
    axis_text(m, s.view, look.max, i, &label);
    const i32 centre = s.plot_y + margin + (2 + static_cast<i32>(i) * (s.plot_height - 2 * margin - 1)) / 4;
    text(pen, 3, bytes_of(label), s.content_left, centre - 10, 66, 20, dim, 1);
  }
  const i32 y = s.plot_y + s.plot_height, w = chart::span_end(s.grid, slot_main) - s.plot_x;
  text(pen, 3, range_words(long_range(s)), s.plot_x, y, w, 20, dim, 0);
  text(pen, 3, mem::lit("0"), s.plot_x, y, w, 20, dim, 1);
}

u32 bound_at(const chart::Look& look, const machine::Machine& m, u32 layer, u32 back) {
  const u32 row = machine::back_row(&m, back);
  const u32 l = bits::min32(layer, chart::series_most - 1);
  if ((look.flags & chart::flag_no_stack) || look.kind == chart::kind_mirrored)
    return chart::cell(look.sources[l], row, 0);
  u32 sum = 0;
  for (u32 i = 0; i <= l; ++i) sum = curve::stack_add(sum, chart::cell(look.sources[i], row, 0));
  return sum;
}

void end_labels(const ViewState& s, Pen* pen, const machine::Machine& m, const chart::Look& look) {
  const bool mirrored = look.kind == chart::kind_mirrored;
  const i32 x = s.grid.lx[slot_main] + s.grid.lwidth[slot_main] + 6;
  const i32 axis_y = s.plot_y + s.plot_height / 2;
  for (u32 i = 0; i < bits::min32(look.count, chart::series_most); ++i) {
    if (!((look.dot_mask >> i) & 1)) continue;
    const u32 v = bound_at(look, m, i, 0);
    i32 y = s.plot_y + curve::plot_y(mirrored, i, v, look.max, s.plot_height, look.margin) / 256;
    if (mirrored) y = layout::label_center(1, i, y, axis_y, 10);
    words::Text label{};
    now_text(m, s.view, i, &label);
    text(pen, 3, bytes_of(label), x, y - 10, 58, 20, white, 0);
  }
}

}  // namespace views
