#include "internet/page.h"

#include "base/bits.h"
#include "internet/request.h"
#include "views/plots.h"
#include "drawing/layout.h"

namespace internet {

namespace {

constexpr u32 max_u32 = 0xFFFFFFFFu;
constexpr i32 content_left = 244, right_margin = 24, first_block = 160, chart_x = 316;
constexpr i32 header_height = 20, block_gap = 66, fixed_height = 382;
constexpr u32 title_colour = 0xE8E8E8, value_colour = 0xA0A0A0, quiet_colour = 0x808080, mark_colour = 0x908880;
constexpr u32 light = 0x4DD3FC, deep = 0x0677D9;
constexpr u32 tip_back = 0x342A24, tip_edge = 0x5A4C44;
constexpr i32 tip_width = 168, tip_height = 70, loss_tip_height = 52;
constexpr u32 role_title = 0, role_small = 3;
constexpr u8 slots_of[page_charts] = {slot_latency, slot_loss, slot_speed};

u32 index_of(u32 slot) { return slot == slot_latency ? 0 : slot == slot_loss ? 1 : 2; }
bool probe_chart(u32 slot) { return slot != slot_speed; }
mem::Bytes bytes_of(const words::Text& t) { return mem::Bytes(t.bytes, t.len); }

// The newest entry of a ring or table of the capacity, i entries back.
u32 back_index(u32 next, u32 capacity, u32 back) { return (next + capacity - 1 - back % capacity) % capacity; }

// The chart's inner drawing height, between the insets.
i32 inner_of(i32 height, i32 inset) { return height - 2 * inset - 1; }

}  // namespace

// ---- State

void page_init(PageState* page) {
  *page = PageState{};
  page->hovered = no_chart;
  page->key = -1;
  page->mark_slot = no_chart;
}

void page_unhover(PageState* page, views::ViewState* views) {
  page->hovered = no_chart;
  if (page->key == -1) return;
  views->flags &= static_cast<u8>(~views::flag_arranged);
  page->key = -1;
}

bool page_click(PageState* page, views::ViewState*, Probe* probe, u32 actions, u32 now) {
  if (actions & action_open) {
    page->hovered = no_chart;
    page->mark_slot = no_chart;
    for (i16& v : page->tip) v = 0;
  }
  if (actions & action_toggle) toggle(probe, now);
  if (actions & action_schedule) cycle_schedule(probe, now);
  return (actions & (action_open | action_toggle | action_schedule)) != 0;
}

u32 net_rate(const machine::Machine& m) {
  if (m.ring.count == 0) return 0;
  u32 row = views::latest_row(m);
  u64 kib = 0;
  for (u32 a = 0; a < m.nics && a < machine::max_nics; a++) kib += u64(m.ring.receive[row][a]) + m.ring.send[row][a];
  u64 kbps = kib * 8192 / 1000;
  return kbps > max_u32 ? max_u32 : u32(kbps);
}

// ---- Layout

void page_layout(PageState* page, views::ViewState* views, const machine::Machine& m, i32 width, i32 height,
                 bool shown) {
  if (page->key == i32(views->arrangements) && page->width == width && page->height == height &&
      page->shown == (shown ? 1 : 0))
    return;
  views->flags &= static_cast<u8>(~views::flag_arranged);
  views::layout(views, m, width, height);
  page->width = width;
  page->height = height;
  page->shown = shown ? 1 : 0;
  page->left = content_left;
  page->right = static_cast<i16>(width - right_margin);
  page->first_top = first_block;
  const i32 spare = (height > fixed_height ? height : fixed_height) - fixed_height;
  const i32 weights[page_charts] = {2, 1, 2};
  i32 step = layout::step_for(width - 348);
  i32 most = chart::most_step(views->grid.dpi);
  if (step > most) step = most;
  i32 top = first_block;
  for (u32 i = 0; i < page_charts; i++) {
    i32 h = weights[i] * spare / 5;
    page->tops[i] = static_cast<i16>(top);
    page->chart_y[i] = static_cast<i16>(top + header_height + 10);
    page->chart_h[i] = static_cast<i16>(h);
    if (shown) chart::place(&views->grid, slots_of[i], chart_x, top + 30, 60 * step + (i == 2 ? 8 : 0), h, step);
    top += h + block_gap;
  }
  views::fit(views);
  page->key = i32(views->arrangements);
}

// ---- Texts

void put_ago(words::Text* line, u32 seconds) {
  if (seconds < 60) return words::put(line, mem::lit("less than a minute ago"));
  if (seconds < 3600) {
    words::put_u64(line, seconds / 60);
    return words::put(line, mem::lit(" min ago"));
  }
  words::put_u64(line, seconds / 3600);
  words::put(line, mem::lit(" h "));
  words::put_u64(line, seconds % 3600 / 60);
  words::put(line, mem::lit(" min ago"));
}

void put_age(words::Text* line, u32 seconds) {
  if (seconds < 60) return words::ago(line, seconds);
  put_ago(line, seconds);
}

void put_ms(words::Text* line, u32 tenths) {
  words::put_tenths(line, tenths);
  words::put(line, mem::lit(" ms"));
}

void put_next(words::Text* line, const Probe* probe, u32 now) {
  if (probe->settings.schedule == schedule_off || !probe->data) return words::put(line, mem::lit("Speed test off"));
  u32 next = probe->data->schedule.next_test;
  u32 left = has_come(now, next) ? 0 : next - now;
  words::put(line, mem::lit("Next test in "));
  if (left < 60) {
    words::put_u64(line, left);
    return words::put(line, mem::lit(" s"));
  }
  words::put_u64(line, (u64(left) + 59) / 60);
  words::put(line, mem::lit(" min"));
}

void page_status(words::Text* line, const Probe* probe) {
  if (probe->save_failed) return words::put(line, mem::lit("The internet settings file could not be saved."));
  if (!probe->settings.on) return words::put(line, mem::lit("Off: nothing is sent."));
  if (!probe->data) return words::put(line, mem::lit("Not enough memory for the internet probe."));
  if (probe->data->start_failed) return words::put(line, mem::lit("The internet probe could not start."));
  words::put(line, status_text(probe->data->schedule.probe_status));
}

void page_test_line(words::Text* line, const Probe* probe, u32 now) {
  const ProbeData* d = probe->data;
  if (!d) return;
  const Schedule& s = d->schedule;
  const bool known = (s.flags & flag_last_test_known) != 0;
  const u32 age = has_come(now, s.last_test) ? now - s.last_test : 0;
  if (s.pending == request_speed) {
    words::put(line, mem::lit("Testing..."));
  } else if (s.test_status == test_none && known) {
    words::put(line, mem::lit("Last test "));
    put_ago(line, age);
  } else {
    words::put(line, test_status_text(s.test_status));
    if (known) {
      words::put(line, mem::lit(", last test "));
      put_ago(line, age);
    }
  }
  words::put(line, mem::lit(". "));
  put_next(line, probe, now);
}

void put_endpoint(words::Text* line, const Endpoint* endpoint) {
  u32 length = endpoint->host_length < host_capacity ? endpoint->host_length : host_capacity;
  words::put(line, mem::lit("Cloudflare ("));
  words::put(line, mem::Bytes(endpoint->host, length));
  words::put(line, mem::lit("), anonymous HTTPS requests"));
}

void put_axis_ms(words::Text* line, u32 tenths) {
  if (tenths % 10 != 0) return put_ms(line, tenths);
  words::put_u64(line, tenths / 10);
  words::put(line, mem::lit(" ms"));
}

void put_axis_rate(words::Text* line, u32 kbps, u32 scale) {
  const bool giga = scale >= 1000000;
  u32 tenths = giga ? kbps / 100000 : kbps / 100;
  words::put_u64(line, tenths / 10);
  if (tenths % 10 != 0) {
    words::put(line, mem::lit("."));
    words::put_u64(line, tenths % 10);
  }
  words::put(line, giga ? mem::lit(" Gbps") : mem::lit(" Mbps"));
}

void put_axis(words::Text* line, u32 slot, u32 value, u32 scale) {
  if (slot == slot_latency) return put_axis_ms(line, value);
  if (slot == slot_speed) return put_axis_rate(line, value, scale);
  words::put_u64(line, value);
  words::put(line, mem::lit(" %"));
}

void chart_title(words::Text* title, words::Text* value, u32 slot, const ProbeData* d) {
  if (slot == slot_latency) {
    words::put(title, mem::lit("Latency and jitter (100 min)"));
    if (!d || d->ring.filled == 0) return;
    u32 i = back_index(d->ring.next, ring_capacity, 0);
    put_ms(value, d->ring.latency[i]);
    words::put(value, mem::lit(", jitter "));
    put_ms(value, d->ring.jitters[i]);
  } else if (slot == slot_loss) {
    words::put(title, mem::lit("Loss (100 min)"));
    if (!d || d->ring.filled == 0) return;
    words::put_u64(value, d->ring.loss[back_index(d->ring.next, ring_capacity, 0)]);
    words::put(value, mem::lit(" % of the last minute's probes"));
  } else {
    words::put(title, mem::lit("Download above, upload below (last 61 completed tests)"));
    if (!d || d->tests.filled == 0) return;
    u32 i = back_index(d->tests.next, table_capacity, 0);
    words::put(value, mem::lit("down "));
    put_kbps(value, d->tests.down[i]);
    words::put(value, mem::lit(", up "));
    put_kbps(value, d->tests.up[i]);
  }
}

// ---- Scales

u32 latency_scale(u32 tenths) {
  constexpr u32 steps[] = {200, 500, 1000, 2000, 5000, 10000, 20000};
  for (u32 s : steps)
    if (s >= tenths) return s;
  return 65535;
}

u32 rate_scale(u32 kbps) {
  u64 s = 1000;
  while (s < kbps) s = s * 2 >= kbps ? s * 2 : s * 5 >= kbps ? s * 5 : s * 10;
  return s > max_u32 ? max_u32 : u32(s);
}

u32 max_latency(const LatencyRing* ring) {
  u32 most = 0;
  for (u32 k = 0; k < ring->filled && k < ring_capacity; k++) {
    u32 i = back_index(ring->next, ring_capacity, k);
    most = bits::max32(most, u32(ring->latency[i]) + ring->jitters[i]);
  }
  return most;
}

u32 max_rate(const TestTable* table) {
  u32 most = 0;
  for (u32 k = 0; k < table->filled && k < table_capacity; k++) {
    u32 i = back_index(table->next, table_capacity, k);
    most = bits::max32(most, bits::max32(table->down[i], table->up[i]));
  }
  return most;
}

u32 axis_value(u32 slot, u32 scale, u32 level) {
  constexpr u32 mirrored[5] = {4, 2, 0, 2, 4};
  u32 f = slot == slot_speed ? mirrored[level % 5] : 4 - (level % 5);
  return u32(u64(scale) * f / 4);
}

u32 axis_every(i32 height) { return height >= 80 ? 1 : height >= 40 ? 2 : height >= 20 ? 4 : 5; }

// ---- Chart looks

chart::Track ring_track(const LatencyRing* ring) {
  return chart::Track{ring_capacity, ring->next, ring->filled, ring->total, ring_capacity, nullptr};
}

chart::Track table_track(const TestTable* table) {
  return chart::Track{table_capacity, table->next, table->filled, table->total, table_capacity, nullptr};
}

void latency_chart(chart::Look* look, const LatencyRing* ring) {
  views::plot_base(look, slot_latency, 0, 2);
  views::set_series(&look->sources[0], ring->latency, sizeof(u16), 0, sizeof(u16));
  views::set_series(&look->sources[1], ring->jitters, sizeof(u16), 0, sizeof(u16));
  look->flags = chart::flag_grid | chart::flag_long;
  look->margin = 2;
  look->thin = 128;
  look->thick = 256;  // the jitter, on top of the stack
  look->max = latency_scale(max_latency(ring));
  views::layer(look, 0, deep, deep, 102);
  views::layer(look, 1, light, light, 38);
}

void loss_chart(chart::Look* look, const LatencyRing* ring) {
  views::plot_base(look, slot_loss, 0, 1);
  views::set_series(&look->sources[0], ring->loss, sizeof(u8), 0, sizeof(u8));
  look->flags = chart::flag_grid | chart::flag_long;
  look->margin = 2;
  look->max = 100;
  views::layer(look, 0, light, light, 64);
}

void speed_chart(chart::Look* look, const TestTable* table) {
  views::plot_base(look, slot_speed, chart::kind_mirrored, 2);
  views::set_series(&look->sources[0], table->down, sizeof(u32), 0, sizeof(u32));
  views::set_series(&look->sources[1], table->up, sizeof(u32), 0, sizeof(u32));
  look->flags = chart::flag_grid;
  look->dot_mask = 3;
  look->margin = 2;
  look->thin = 128;
  look->max = rate_scale(max_rate(table));
  views::layer(look, 0, light, light, 64);
  views::layer(look, 1, deep, deep, 64);
}

// ---- Hover

bool pointer_in(PageState* page, const views::ViewState* views, const ProbeData* data, i32 x, i32 y) {
  u8 hovered = no_chart;
  u16 column = 0;
  if (data && page->key != -1 && page->shown) {
    for (u32 i = 0; i < page_charts; i++) {
      const u32 slot = slots_of[i];
      const chart::Grid& g = views->grid;
      if (!chart::has_row(g.bound, slot)) continue;
      i32 right = chart::span_end(g, slot);
      if (x < chart_x || x >= right || y < page->chart_y[i] || y >= page->chart_y[i] + page->chart_h[i]) continue;
      hovered = static_cast<u8>(slot);  // the later slot wins
      column = static_cast<u16>(chart::index_at(g, slot, x, probe_chart(slot)));
    }
  }
  bool changed = hovered != page->hovered || (hovered != no_chart && column != page->column);
  page->hovered = hovered;
  page->column = column;
  return changed;
}

bool hover_pick(const PageState* page, const views::ViewState* views, const ProbeData* d, u32* back, u32* count) {
  if (!d || page->hovered == no_chart) return false;
  if (page->hovered == slot_speed) {
    *back = page->column <= 60 ? 60 - page->column : 0;
    *count = 1;
    return *back < d->tests.filled;
  }
  u32 columns = u32(chart::columns(views->grid, page->hovered));
  *back = layout::long_back(page->column, columns);
  *count = layout::bucket_count(page->column, columns);
  return *back < d->ring.filled;
}

u32 loss_over(const LatencyRing* ring, u32 back, u32 count, u32 mode) {
  u32 most = 0;
  for (u32 k = back; k < back + count && k < ring->filled; k++) {
    u32 i = back_index(ring->next, ring_capacity, k);
    u32 v = mode == 0 ? ring->latency[i] : mode == 1 ? ring->jitters[i] : ring->loss[i];
    most = bits::max32(most, v);
  }
  return most;
}

bool hover_box(const PageState* page, const views::ViewState* views, const ProbeData* d, draw::Rect* box,
               i32* mark_x) {
  u32 back, count;
  if (!hover_pick(page, views, d, &back, &count)) return false;
  const u32 slot = page->hovered, i = index_of(slot);
  const i32 height = slot == slot_loss ? loss_tip_height : tip_height;
  *mark_x = chart::boundary_x(views->grid, slot, page->column, probe_chart(slot));
  i32 left = *mark_x + 14;
  if (left + tip_width > page->right) left = *mark_x - 182;
  if (left < page->left) left = page->left;
  i32 top = page->chart_y[i] + 8;
  if (top + height > page->height) top = page->height - height;
  *box = draw::Rect{left, top, left + tip_width, top + height};
  return true;
}

// ---- Drawing

namespace {

// A line of any length: one text call takes at most chart::text_most units, so a longer line is drawn in pieces that
// end after a blank (or, in a word that long, before a character's first byte), each after the one before.
void text_line(draw::Surface* s, const words::Text& t, i32 x, i32 y, i32 width, i32 height, u32 colour) {
  const mem::Bytes all = bytes_of(t);
  const i32 right = x + width;
  for (u64 at = 0; at < all.len && x < right;) {
    u64 end = all.len - at <= chart::text_most ? all.len : at + chart::text_most;
    if (end < all.len) {
      u64 blank = end;
      while (blank > at && all.ptr[blank - 1] != ' ') --blank;
      if (blank > at) {
        end = blank;
      } else {
        while (end > at + 1 && (all.ptr[end] & 0xC0) == 0x80) --end;
      }
    }
    x += chart::text(s, role_small, mem::Bytes(all.ptr + at, end - at), x, y, right - x, height, colour, 0);
    at = end;
  }
}

// One tooltip line: a colour mark, the label, and the value right-aligned in the box.
void tip_line(draw::Surface* s, i32 x, i32 y, u32 colour, mem::Bytes label, const words::Text& value) {
  chart::rect(s, x, y + 5, 8, 8, colour);
  chart::text(s, role_small, label, x + 14, y, 138 - 14, 18, title_colour, 0);
  chart::text(s, role_small, bytes_of(value), x + 14, y, 138, 18, title_colour, 1);
}

void draw_axes(draw::Surface* s, const PageState* page, u32 i, u32 scale) {
  const u32 slot = slots_of[i];
  const i32 y = page->chart_y[i], h = page->chart_h[i], inner = inner_of(h, 2);
  const u32 every = axis_every(h);
  for (u32 level = 0; level <= 4; level += every) {
    words::Text label{};
    put_axis(&label, slot, axis_value(slot, scale, level), scale);
    i32 at = y + 2 + (inner > 0 ? inner * i32(level) / 4 : 0);
    chart::text(s, role_small, bytes_of(label), page->left, at - 10, chart_x - 6 - page->left, 20, quiet_colour, 1);
  }
}

void under_chart(draw::Surface* s, const views::ViewState* views, const PageState* page, u32 i) {
  const u32 slot = slots_of[i];
  const i32 y = page->chart_y[i] + page->chart_h[i];
  const i32 right = chart::span_end(views->grid, slot);
  const i32 width = right - chart_x;
  chart::text(s, role_small, slot == slot_speed ? mem::lit("61 tests") : mem::lit("100 minutes"), chart_x, y, width,
              20, quiet_colour, 0);
  chart::text(s, role_small, slot == slot_speed ? mem::lit("latest") : mem::lit("0"), chart_x, y, width, 20,
              quiet_colour, 1);
}

void chart_header(draw::Surface* s, const PageState* page, u32 i, const ProbeData* d) {
  words::Text title{}, value{};
  chart_title(&title, &value, slots_of[i], d);
  const i32 top = page->tops[i];
  i32 w = chart::text(s, role_title, bytes_of(title), page->left, top, page->right - page->left, header_height,
                      title_colour, 0);
  if (value.len == 0) return;
  i32 x = page->left + w + 6;
  chart::text(s, role_title, bytes_of(value), x, top, page->right - x, header_height, value_colour, 1);
}

void draw_charts(draw::Surface* s, views::ViewState* views, const PageState* page, const ProbeData* d,
                 const draw::Rect& keep_out) {
  chart::Look look;
  bool changed = false;
  u32 scales[page_charts];
  for (u32 i = 0; i < page_charts; i++) {
    const u32 slot = slots_of[i];
    chart::Track track;
    if (slot == slot_latency) {
      latency_chart(&look, &d->ring);
      track = ring_track(&d->ring);
    } else if (slot == slot_loss) {
      loss_chart(&look, &d->ring);
      track = ring_track(&d->ring);
    } else {
      speed_chart(&look, &d->tests);
      track = table_track(&d->tests);
    }
    scales[i] = look.max;
    changed |= chart::sync_track(&views->grid, &views->sheet, look, track) != 0;
    chart_header(s, page, i, d);
    draw_axes(s, page, i, scales[i]);
    under_chart(s, views, page, i);
  }
  const bool write_through = changed || views::synced(*views);
  for (u32 i = 0; i < page_charts; i++)
    chart::show(s, views->grid, views->sheet, slots_of[i], write_through, keep_out, 0, 0x7FFF, page->height);
}

// The hovered chart's tooltip box and column mark, remembered so that a pointer move can redraw where they stood;
// false, and nothing remembered, when no tooltip shows.
bool hover_mark(PageState* page, const views::ViewState* views, const ProbeData* d, draw::Rect* box, i32* mark_x) {
  const bool tip = hover_box(page, views, d, box, mark_x);
  for (i16& v : page->tip) v = 0;
  page->mark_slot = no_chart;
  if (!tip) return false;
  page->tip[0] = static_cast<i16>(box->left);
  page->tip[1] = static_cast<i16>(box->top);
  page->tip[2] = static_cast<i16>(box->right);
  page->tip[3] = static_cast<i16>(box->bottom);
  page->mark_slot = static_cast<u8>(page->hovered);
  page->mark_x = static_cast<i16>(*mark_x);
  return true;
}

void test_tip(draw::Surface* s, const ProbeData* d, u32 back, u32 now, i32 tx, i32 ty) {
  words::Text head{}, a{}, b{};
  const u32 k = back_index(d->tests.next, table_capacity, back);
  words::put(&head, mem::lit("Test, "));
  put_age(&head, has_come(now, d->tests.time[k]) ? now - d->tests.time[k] : 0);
  text_line(s, head, tx, ty, 152, 18, title_colour);
  put_kbps(&a, d->tests.down[k]);
  put_kbps(&b, d->tests.up[k]);
  tip_line(s, tx, ty + 18, light, mem::lit("Download"), a);
  tip_line(s, tx, ty + 36, deep, mem::lit("Upload"), b);
}

// The latency and loss charts' tooltip: the highest values among the probes the column covers.
void probe_tip(draw::Surface* s, const ProbeData* d, u32 slot, u32 back, u32 count, i32 tx, i32 ty) {
  words::Text head{}, a{}, b{};
  words::put(&head, slot == slot_loss ? mem::lit("Loss, ") : mem::lit("Latency, "));
  put_age(&head, back * 10);
  text_line(s, head, tx, ty, 152, 18, title_colour);
  if (slot == slot_loss) {
    words::put_u64(&a, loss_over(&d->ring, back, count, 2));
    words::put(&a, mem::lit(" %"));
    tip_line(s, tx, ty + 18, light, mem::lit("Loss"), a);
    return;
  }
  put_ms(&a, loss_over(&d->ring, back, count, 0));
  put_ms(&b, loss_over(&d->ring, back, count, 1));
  tip_line(s, tx, ty + 18, deep, mem::lit("Latency"), a);
  tip_line(s, tx, ty + 36, light, mem::lit("Jitter"), b);
}

void draw_tip(const PageState* page, const views::ViewState* views, draw::Surface* s, const ProbeData* d,
              const draw::Rect& box, i32 mark_x, u32 now) {
  const u32 slot = page->hovered, i = index_of(slot);
  chart::rect(s, mark_x, page->chart_y[i], 1, page->chart_h[i], mark_colour);
  chart::rect(s, box.left, box.top, box.right - box.left, box.bottom - box.top, tip_back);
  chart::frame(s, box.left, box.top, box.right - box.left, box.bottom - box.top, tip_edge);
  u32 back = 0, count = 0;
  hover_pick(page, views, d, &back, &count);
  const i32 tx = box.left + 8, ty = box.top + 8;
  if (slot == slot_speed) {
    test_tip(s, d, back, now, tx, ty);
  } else {
    probe_tip(s, d, slot, back, count, tx, ty);
  }
}

}  // namespace

void draw_page(PageState* page, views::ViewState* views, draw::Surface* s, const Probe* probe, u32 now) {
  const i32 width = page->right - page->left;
  i32 w = chart::text(s, role_title, mem::lit("Internet"), page->left, 56, width, 28, title_colour, 0);
  words::Text line{};
  put_endpoint(&line, &probe->endpoint);
  const i32 x = page->left + w + 12, room = page->right - x;
  if (chart::measure(s, role_small, bytes_of(line)) <= room)
    chart::text(s, role_small, bytes_of(line), x, 56, room, 28, value_colour, 1);
  words::Text status{};
  page_status(&status, probe);
  text_line(s, status, page->left, 84, width, 20, quiet_colour);
  const ProbeData* d = probe->data;
  if (!d || !page->shown) return;
  words::Text tests{};
  page_test_line(&tests, probe, now);
  text_line(s, tests, page->left, 104, width, 20, quiet_colour);

  draw::Rect box{};
  i32 mark_x = 0;
  const bool tip = hover_mark(page, views, d, &box, &mark_x);
  draw_charts(s, views, page, d, tip ? box : draw::Rect{});
  if (tip) draw_tip(page, views, s, d, box, mark_x, now);
}

bool pointer(PageState* page, views::ViewState* views, const ProbeData* data, draw::Surface* surface, i32 x, i32 y) {
  draw::Rect old_box{};
  i32 old_mark = 0;
  bool had = hover_box(page, views, data, &old_box, &old_mark);
  u8 old_slot = page->hovered;
  if (!pointer_in(page, views, data, x, y)) return false;
  draw::Rect box{};
  i32 mark = 0;
  bool has = hover_box(page, views, data, &box, &mark);
  if (had) {
    draw::redo(surface, old_box);
    u32 i = index_of(old_slot);
    draw::redo(surface, draw::Rect{old_mark, page->chart_y[i], old_mark + 1, page->chart_y[i] + page->chart_h[i]});
  }
  if (has) {
    draw::redo(surface, box);
    u32 i = index_of(page->hovered);
    draw::redo(surface, draw::Rect{mark, page->chart_y[i], mark + 1, page->chart_y[i] + page->chart_h[i]});
  }
  return true;
}

void mark_overlay(const PageState* page, draw::Surface* s) {
  const i32 left = page->left, right = page->right;
  draw::redo(s, draw::Rect{left, 56, right, 124});
  for (u32 i = 0; i < page_charts; i++) {
    const i32 top = page->tops[i], y = page->chart_y[i], h = page->chart_h[i];
    draw::redo(s, draw::Rect{left, top, right, top + header_height});
    draw::redo(s, draw::Rect{left, y - 10, chart_x, y + h + 10});
    draw::redo(s, draw::Rect{left, y + h, right, y + h + 20});
  }
  draw::show(s, draw::Rect{left, 56, right, page->height});
  if (page->tip[2] > page->tip[0])
    draw::redo(s, draw::Rect{page->tip[0], page->tip[1], page->tip[2], page->tip[3]});
}

// ---- What the window calls

void window_start(Probe* probe, PageState* page, mem::Arena* shell, mem::Bytes test_folder, bool under_test,
                  u32 now) {
  page_init(page);
  u8 path[path_capacity];
  u32 length = under_test ? test_path(test_folder, mem::Slice{path, sizeof path})
                          : settings_path(mem::Slice{path, sizeof path});
  Endpoint endpoint = default_endpoint();
  load(probe, shell, mem::Bytes(path, length), &endpoint, !under_test, now);
}

bool window_tick(Probe* probe, PageState* page, views::ViewState* views, const machine::Machine& m, u32 now,
                 i32 width, i32 height, bool page_shown) {
  bool changed = tick(probe, now, net_rate(m));
  if (changed && page_shown) page_layout(page, views, m, width, height, probe->data != nullptr);
  return changed;
}

}  // namespace internet
